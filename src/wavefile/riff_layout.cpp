// The layout of the RIFF/WAVE files the recorder writes.
#include "wavefile/riff_layout.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <vector>

#include "platform/system/system.h"
#include "wavefile/frames.h"
#include "wavefile/riff_io.h"

namespace voxl {
namespace {

std::atomic<bool> gSizeUpdates{true};

// Largest header BeginSizeUpdates keeps a copy of.
constexpr uint64_t kMaxHeaderCopy = 0x10000;

// Writes `value` at `offset` (the field of a chunk record).
bool WriteU32At(HMMIO h, uint64_t offset, uint32_t value) {
  return SeekTo(h, offset) && WriteU32(h, value);
}

// The chunk records of a new file: "WAVE" form, "fmt ", "fact" and "data", sizes 0.
void PresetChunks(Recorder& r) {
  r.large = LargeSizes{};
  r.riffChunk = MMCKINFO{FOURCC_RIFF, 0, kWaveForm, 0, 0};
  r.fmtChunk = MMCKINFO{kFmtChunk, 0, 0, 0, 0};
  r.factChunk = MMCKINFO{kFactChunk, 0, 0, 0, 0};
  r.dataChunk = MMCKINFO{kDataChunk, 0, 0, 0, 0};
}

// The header of a new RIFF/WAVE file, up to the first data byte.  False at the first step that
// fails.
bool WriteHeader(Recorder& r, const void* format, uint32_t formatBytes, bool withFact) {
  HMMIO h = r.fileHandle;
  if (mmioCreateChunk(h, &r.riffChunk, MMIO_CREATERIFF) != 0) return false;
  if (r.largeFileMode.load() == VOXL_LARGE_FILE_RF64) {
    MMCKINFO junk{kJunkChunk, 0, 0, 0, 0};
    const uint8_t zeros[kLargeSizesBytes] = {};
    if (mmioCreateChunk(h, &junk, 0) != 0 || !WriteAll(h, zeros, sizeof zeros) ||
        mmioAscend(h, &junk, 0) != 0) {
      return false;
    }
    r.large.room = true;
    mmio::AllowLargeOffsets(h);
  }
  if (mmioCreateChunk(h, &r.fmtChunk, 0) != 0) return false;
  if (!WriteAll(h, format, formatBytes)) return false;
  if (mmioAscend(h, &r.fmtChunk, 0) != 0) return false;
  if (withFact) {
    if (mmioCreateChunk(h, &r.factChunk, 0) != 0) return false;
    if (!WriteU32(h, 0)) return false;
    if (mmioAscend(h, &r.factChunk, 0) != 0) return false;
  }
  return mmioCreateChunk(h, &r.dataChunk, 0) == 0;
}

// The header from byte 0 to the data size field as an RF64 file has it (see WriteSizesInPlace),
// with the 64-bit sizes `form`, `data` and `samples`, written in one piece.  The bytes come from
// the header copy of BeginSizeUpdates, or are read from the file.  On success r.large holds the
// sizes and the chunk records the same capped at 0xFFFFFFFF; the position is left anywhere.
bool WriteLargeHeader(Recorder& r, uint64_t form, uint64_t data, uint64_t samples) {
  HMMIO h = r.fileHandle;
  const uint64_t dataStart = r.dataChunk.dwDataOffset;
  if (h == nullptr || dataStart < kLargeSizesAt + kLargeSizesBytes + 8 ||
      dataStart > kMaxHeaderCopy) {
    return false;
  }
  std::vector<uint8_t> read;
  uint8_t* header = r.sizeHeader;
  if (header == nullptr || r.sizeHeaderBytes < dataStart) {
    read.resize(dataStart);
    if (!SeekTo(h, 0) || !ReadAll(h, read.data(), static_cast<uint32_t>(dataStart))) return false;
    header = read.data();
  }
  StoreLe32(header, kRf64Form);
  StoreLe32(header + 4, 0xFFFFFFFFu);
  StoreLe32(header + kLargeSizesAt - 8, kDs64Chunk);
  StoreLe32(header + kLargeSizesAt - 4, kLargeSizesBytes);
  StoreLe64(header + kLargeSizesAt, form);
  StoreLe64(header + kLargeSizesAt + 8, data);
  StoreLe64(header + kLargeSizesAt + 16, samples);
  StoreLe32(header + kLargeSizesAt + 24, 0);  // no table of other chunks' sizes
  const uint64_t factAt = r.factChunk.dwDataOffset;
  if (r.hasFactChunk != 0 && factAt >= 8 && factAt + 4 <= dataStart) {
    StoreLe32(header + factAt, 0xFFFFFFFFu);
  }
  StoreLe32(header + dataStart - 4, 0xFFFFFFFFu);
  if (!SeekTo(h, 0) || !WriteAll(h, header, static_cast<uint32_t>(dataStart))) return false;
  r.large.room = true;
  r.large.active = true;
  r.large.form = form;
  r.large.data = data;
  r.large.samples = samples;
  r.riffChunk.cksize = static_cast<DWORD>(std::min<uint64_t>(form, 0xFFFFFFFFu));
  r.dataChunk.cksize = static_cast<DWORD>(std::min<uint64_t>(data, 0xFFFFFFFFu));
  return true;
}

// The zero pad byte behind odd-sized data, then the RF64 header of WriteLargeHeader; the header
// is written even when the pad byte is not.  False when either failed.
bool WriteLargeSizes(Recorder& r, uint64_t form, uint64_t data, uint64_t samples) {
  const char pad = 0;
  const bool padded = (data & 1u) == 0 || (SeekTo(r.fileHandle, r.dataChunk.dwDataOffset + data) &&
                                           WriteAll(r.fileHandle, &pad, 1));
  return WriteLargeHeader(r, form, data, samples) && padded;
}

// Whether sizes for these fields need the RF64 form (or the file is RF64 already): a size past
// 32 bits, or a "fact" count past 32 bits where the file may become RF64 (a codec of less than
// a byte a frame gets there before its data reaches 4 GiB).
bool NeedsLargeForm(const Recorder& r, const SizeFields& s) {
  return r.large.active || s.form > kMaxRiffOffset || s.data > kMaxRiffOffset ||
         (s.fact > UINT32_MAX && DataEndLimit(r) == kMaxLargeDataEnd);
}

// A "fact" count as its 32-bit field holds it (a plain RIFF file never holds more).
uint32_t FactField(uint64_t count) {
  return static_cast<uint32_t>(std::min<uint64_t>(count, UINT32_MAX));
}

}  // namespace

uint64_t DataEndLimit(const Recorder& r) {
  const bool large =
      r.large.active || (r.large.room && r.largeFileMode.load() == VOXL_LARGE_FILE_RF64);
  return large ? kMaxLargeDataEnd : kMaxDataEnd;
}

uint64_t DataBytesHeld(const Recorder& r) {
  return r.large.active ? r.large.data : r.dataChunk.cksize;
}

uint64_t FormBytesHeld(const Recorder& r) {
  return r.large.active ? r.large.form : r.riffChunk.cksize;
}

uint16_t CreateWaveFile(Recorder& r, char* name, const void* format, uint32_t formatBytes,
                        bool withFact) {
  // Only regular files are recordings; an existing one is emptied only once it is known to be
  // no other writer's (its lock is taken first), and a failed header never removes a file that
  // was there before this call.
  if (mmio::IsNoFile(name)) return ErrNotAFile;
  const bool existed = mmioOpenA(name, nullptr, MMIO_EXIST) != nullptr;
  r.fileHandle = mmioOpenA(name, nullptr, existed ? MMIO_READWRITE : MMIO_CREATE | MMIO_READWRITE);
  if (r.fileHandle == nullptr) return mmio::IsNoFile(name) ? ErrNotAFile : ErrFileOpen;
  uint16_t code = mmio::LockForWriting(r.fileHandle) ? ErrNone : ErrFileInUse;
  if (code == ErrNone && existed && !mmio::Truncate(r.fileHandle, 0)) code = ErrFileOpen;
  if (code == ErrNone) {
    DropEditJournal(name);  // the old content it described is gone
    r.fileChanged = 1;
    PresetChunks(r);
    if (r.fileKind != 0) return ErrNone;  // headerless: dataChunk says data from byte 0, size 0
    if (WriteHeader(r, format, formatBytes, withFact)) return ErrNone;
    code = ErrRiffWrite;
  }
  mmioClose(r.fileHandle, 0);
  r.fileHandle = nullptr;
  if (!existed && code == ErrRiffWrite) DeleteFileA(name);
  return code;
}

bool SeekToDataEnd(HMMIO h, uint64_t end) {
  if (end > kMaxRiffOffset) return mmioSeek(h, 0, SEEK_END) != -1;
  return SeekTo(h, end);
}

void WriteChunkSizes(Recorder& r, uint64_t dataEnd, const uint64_t* factCount) {
  HMMIO h = r.fileHandle;
  const SizeFields large =
      InPlaceSizes(r, std::max(dataEnd, r.dataChunk.dwDataOffset + DataBytesHeld(r)), factCount, 0);
  if (large.dataAt != 0 && NeedsLargeForm(r, large)) {
    // An RF64 file: the pad byte of odd-sized data, then the 64-bit sizes.
    const uint64_t dataStart = large.dataAt + 4;
    WriteLargeSizes(r, large.form, large.data, factCount != nullptr ? *factCount : r.length.load());
    SeekTo(h, dataStart + large.data + (large.data & 1u));
    r.riffChunk.dwFlags &= ~MMIO_DIRTY;
    r.dataChunk.dwFlags &= ~MMIO_DIRTY;
    return;
  }
  // An ascend takes a chunk's size from the position.  Here sizes only grow: the data keeps
  // what it held beyond `dataEnd` (the rest of a last compressed block), the form the chunks
  // that follow the data.  Away from the data's end (a failed seek) they could claim bytes that
  // are no audio (the old tail of a cut), so they stay unwritten.
  const uint64_t dataHeld = uint64_t{r.dataChunk.dwDataOffset} + r.dataChunk.cksize;
  const bool atDataEnd = SeekToDataEnd(h, std::max(dataEnd, dataHeld));
  if (atDataEnd) mmioAscend(h, &r.dataChunk, 0);
  if (factCount != nullptr) {
    // The searches are bounded by the form; its recorded size may still be the 0 of a new
    // file, so the bound reaches at least to the end of the data just written.
    MMCKINFO form = r.riffChunk;
    const LONG behindData = mmioSeek(h, 0, SEEK_CUR);
    if (behindData != -1 && static_cast<DWORD>(behindData) > form.dwDataOffset) {
      form.cksize =
          std::max<DWORD>(form.cksize, static_cast<DWORD>(behindData) - form.dwDataOffset);
    }
    const uint64_t formBody = static_cast<uint64_t>(r.riffChunk.dwDataOffset) + 4;
    SeekTo(h, formBody);
    MMCKINFO fact{};
    fact.ckid = kFactChunk;
    if (mmioDescend(h, &fact, &form, MMIO_FINDCHUNK) == 0) {
      WriteU32(h, FactField(*factCount));
      mmioAscend(h, &fact, 0);
    } else {
      // The search continues from the first chunk of the form, behind the form type.
      SeekTo(h, formBody);
    }
    MMCKINFO data{};
    data.ckid = kDataChunk;
    if (mmioDescend(h, &data, &form, MMIO_FINDCHUNK) == 0) mmioAscend(h, &data, 0);
  }
  if (!atDataEnd) return;
  const LONG behindData = mmioSeek(h, 0, SEEK_CUR);
  const uint64_t formHeld = uint64_t{r.riffChunk.dwDataOffset} + r.riffChunk.cksize;
  if (behindData != -1 && (formHeld <= static_cast<DWORD>(behindData) || SeekTo(h, formHeld))) {
    mmioAscend(h, &r.riffChunk, 0);
  }
}

bool WriteSizeFields(Recorder& r, uint64_t dataSize, uint64_t formSize, const uint64_t* factCount) {
  HMMIO h = r.fileHandle;
  const uint64_t dataStart = r.dataChunk.dwDataOffset;
  const uint64_t formStart = r.riffChunk.dwDataOffset;
  if (h == nullptr || dataStart < 8 || formStart < 8) return false;
  if (r.large.active) {
    // The count stays when the data does (chunks added behind it).
    const uint64_t samples = factCount != nullptr       ? *factCount
                             : dataSize == r.large.data ? r.large.samples
                                                        : ByteToFrames(r, dataSize);
    return WriteLargeSizes(r, formSize, dataSize, samples);
  }
  if (dataSize > kMaxRiffOffset || formSize > kMaxRiffOffset) return false;
  const uint64_t factAt = r.factChunk.dwDataOffset;
  const bool withFact =
      factCount != nullptr && r.hasFactChunk != 0 && r.factChunk.cksize >= 4 && factAt >= 8;
  bool written = WriteU32At(h, dataStart - 4, static_cast<uint32_t>(dataSize));
  if ((dataSize & 1u) != 0 && dataStart + dataSize < kMaxRiffOffset) {
    const char pad = 0;
    written = SeekTo(h, dataStart + dataSize) && WriteAll(h, &pad, 1) && written;
  }
  if (withFact) written = WriteU32At(h, factAt, FactField(*factCount)) && written;
  written = WriteU32At(h, formStart - 4, static_cast<uint32_t>(formSize)) && written;
  if (written) {
    r.dataChunk.cksize = static_cast<DWORD>(dataSize);
    r.riffChunk.cksize = static_cast<DWORD>(formSize);
  }
  return written;
}

SizeFields InPlaceSizes(const Recorder& r, uint64_t dataEnd, const uint64_t* factCount,
                        uint64_t formEndAtLeast) {
  SizeFields s;
  const uint64_t dataStart = r.dataChunk.dwDataOffset;
  const uint64_t formStart = r.riffChunk.dwDataOffset;
  // A size field lies in the 4 bytes before its chunk's data.
  if (dataStart < 8 || formStart < 8) return s;
  const uint64_t limit = DataEndLimit(r);
  const uint64_t end = std::min(dataEnd, limit);
  const uint64_t dataSize =
      std::max<uint64_t>(DataBytesHeld(r), end > dataStart ? end - dataStart : 0);
  const uint64_t formEnd = std::max(dataStart + dataSize + (dataSize & 1u), formEndAtLeast);
  const uint64_t formSize =
      std::max<uint64_t>(FormBytesHeld(r), formEnd > formStart ? formEnd - formStart : 0);
  if (limit == kMaxDataEnd && (dataSize > kMaxRiffOffset || formSize > kMaxRiffOffset)) return s;
  s.formAt = formStart - 4;
  s.form = formSize;
  s.dataAt = dataStart - 4;
  s.data = dataSize;
  const uint64_t factAt = r.factChunk.dwDataOffset;
  if (factCount != nullptr && r.hasFactChunk != 0 && r.factChunk.cksize >= 4 && factAt >= 8) {
    s.factAt = factAt;
    s.fact = *factCount;
  }
  return s;
}

bool WriteSizesInPlace(Recorder& r, uint64_t dataEnd, const uint64_t* factCount,
                       uint64_t formEndAtLeast) {
  if (!gSizeUpdates.load(std::memory_order_relaxed)) return true;
  HMMIO h = r.fileHandle;
  const SizeFields sizes = InPlaceSizes(r, dataEnd, factCount, formEndAtLeast);
  if (h == nullptr || sizes.dataAt == 0) return false;
  const uint64_t dataStart = sizes.dataAt + 4;
  const uint64_t formStart = sizes.formAt + 4;
  const uint64_t dataSize = sizes.data;
  const uint64_t formSize = sizes.form;
  const uint64_t factAt = sizes.factAt;
  const bool withFact = factAt != 0;

  const uint64_t here = TellAt(h);
  bool written = here != UINT64_MAX;
  uint8_t* header = r.sizeHeader;
  if (NeedsLargeForm(r, sizes)) {
    const uint64_t samples = withFact ? sizes.fact : r.length.load();
    if (r.large.active && dataSize == r.large.data && formSize == r.large.form &&
        samples == r.large.samples) {
      return true;
    }
    written = written && WriteLargeHeader(r, formSize, dataSize, samples);
  } else if (header != nullptr && r.sizeHeaderBytes >= dataStart && formStart <= dataStart &&
             (!withFact || factAt + 4 <= dataStart)) {
    const bool changed = dataSize != r.dataChunk.cksize || formSize != r.riffChunk.cksize ||
                         (withFact && LoadLe32(header + factAt) != FactField(sizes.fact));
    if (!changed) return true;
    StoreLe32(header + formStart - 4, static_cast<uint32_t>(formSize));
    StoreLe32(header + dataStart - 4, static_cast<uint32_t>(dataSize));
    if (withFact) StoreLe32(header + factAt, FactField(sizes.fact));
    const uint64_t from = formStart - 4;
    written = written && SeekTo(h, from) &&
              WriteAll(h, header + from, static_cast<uint32_t>(dataStart - from));
  } else {
    if (written && dataSize != r.dataChunk.cksize) {
      written = WriteU32At(h, dataStart - 4, static_cast<uint32_t>(dataSize));
    }
    if (written && withFact) written = WriteU32At(h, factAt, FactField(sizes.fact));
    if (written && formSize != r.riffChunk.cksize) {
      written = WriteU32At(h, formStart - 4, static_cast<uint32_t>(formSize));
    }
  }
  if (written && !r.large.active) {
    r.dataChunk.cksize = static_cast<DWORD>(dataSize);
    r.riffChunk.cksize = static_cast<DWORD>(formSize);
  } else if (!written) {
    EndSizeUpdates(r);  // the copy may no longer be what the file holds
  }
  if (here != UINT64_MAX) written = SeekTo(h, here) && written;
  return written;
}

void BeginSizeUpdates(Recorder& r) {
  EndSizeUpdates(r);
  const uint64_t bytes = r.dataChunk.dwDataOffset;
  if (r.fileHandle == nullptr || bytes < 8 || bytes > kMaxHeaderCopy) return;
  auto* header = static_cast<uint8_t*>(std::malloc(bytes));
  if (header == nullptr) return;
  const uint64_t here = TellAt(r.fileHandle);
  const bool read = SeekTo(r.fileHandle, 0) && ReadAll(r.fileHandle, header, bytes);
  if (here != UINT64_MAX) SeekTo(r.fileHandle, here);
  if (!read) {
    std::free(header);
    return;
  }
  r.sizeHeader = header;
  r.sizeHeaderBytes = static_cast<uint32_t>(bytes);
}

void EndSizeUpdates(Recorder& r) {
  std::free(r.sizeHeader);
  r.sizeHeader = nullptr;
  r.sizeHeaderBytes = 0;
}

void SetSizeUpdatesForTesting(bool on) {
  gSizeUpdates.store(on, std::memory_order_relaxed);
}

void RereadChunks(Recorder& r) {
  HMMIO h = r.fileHandle;
  SeekTo(h, 0);
  MMCKINFO riff{};
  riff.fccType = kWaveForm;
  if (mmioDescend(h, &riff, nullptr, MMIO_FINDRIFF) != 0) return;
  r.riffChunk = riff;
  MMCKINFO data{};
  data.ckid = kDataChunk;
  if (mmioDescend(h, &data, &r.riffChunk, MMIO_FINDCHUNK) == 0) r.dataChunk = data;
}

}  // namespace voxl
