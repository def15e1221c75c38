// Opening existing files: the RIFF/WAVE chunk walk, the headerless kinds and the common end that
// makes the file the current recording with the position at its end.
#include "wavefile/open_file.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "formats/conversion.h"
#include "formats/pcm_format.h"
#include "platform/mmio/mmio.h"
#include "wavefile/cue_chunk.h"
#include "wavefile/edit_journal.h"
#include "wavefile/frames.h"
#include "wavefile/mpeg_scan.h"
#include "wavefile/recording_close.h"
#include "wavefile/recording_file.h"
#include "wavefile/recording_settings.h"
#include "wavefile/riff_io.h"
#include "wavefile/riff_layout.h"

namespace voxl {

namespace {

// Sample rates of PCM, A-law and mu-law files the recorder works with.
constexpr uint32_t kOpenableRates[] = {6000,  8000,  11025, 16000, 22050, 32000,
                                       44100, 48000, 64000, 88200, 96000, 192000};

// A "fmt " chunk holds a format record: at least the 16 bytes up to wBitsPerSample, at most the
// 18-byte record with 65535 extra bytes.
constexpr uint32_t kMinFormatBytes = 16;
constexpr uint32_t kMaxFormatBytes = sizeof(WAVEFORMATEX) + 0xFFFF;

// Ends a failed open: the file is closed again and nothing stays open (state 1).
void FailOpen(Recorder& r, uint16_t* error, uint16_t code) {
  ReleaseConversion(r);
  if (r.fileHandle != nullptr) {
    mmioClose(r.fileHandle, 0);
    r.fileHandle = nullptr;
  }
  r.fileName[0] = '\0';
  r.length = 0;
  r.position = 0;
  r.state = StateIdle;
  ReportError(r, error, code);
}

// MPEG Layer-3 frames beyond the stated delay by which a length that is the frames recorded may
// fall short of the data: the padding of the last frame, and the frames the encoder's flush adds.
constexpr int64_t kMpegFramesSlack = 4;

// A length that is the frames recorded falls short of the frames the data's bytes give at the
// bitrate by the decoder's delay and the padding of the last frame: positions then map onto the
// data in that proportion, so that the length ends where the data does.  A count short by more
// is kept as it is, on the usual mapping.
void MapFramesRecordedOntoData(Recorder& r, uint64_t dataFrames, uint64_t recorded,
                               uint64_t dataBytes) {
  if (!LengthIsFramesRecorded(r) || recorded == 0 || dataBytes == 0) return;
  const uint32_t delay = MpegLayer3StatedDelay(r.fileFormat, static_cast<size_t>(r.fileFormatSize));
  const int64_t shortBy = static_cast<int64_t>(dataFrames) - static_cast<int64_t>(recorded);
  if (shortBy < -kMpegFramesSlack * 1152 || shortBy > int64_t{delay} + kMpegFramesSlack * 1152) {
    return;
  }
  r.samplesPerBlock =
      static_cast<double>(recorded) * r.fileFormat->nBlockAlign / static_cast<double>(dataBytes);
}

// Frames held by `bytes` of data: whole frames, or whole compressed blocks.
uint64_t FramesInData(const Recorder& r, uint64_t bytes) {
  if (r.compressed.load() != 0 && r.fileFormat != nullptr && r.fileFormat->nBlockAlign != 0) {
    bytes -= bytes % r.fileFormat->nBlockAlign;
  }
  return ByteToFrames(r, bytes);
}

// The common end of a successful open: the file becomes the current recording with the
// position at the end of its `frames`.
void EnterOpenedFile(Recorder& r, const char* name, uint64_t frames, bool rateFromDevice) {
  std::strncpy(r.fileName, name, kNameBytes - 1);
  r.fileName[kNameBytes - 1] = '\0';
  r.deleteOnClose = 0;
  r.length = frames;
  r.position = static_cast<int64_t>(std::min(frames, kMaxFrames));
  if (rateFromDevice) r.sampleRate = r.pcmFormat.nSamplesPerSec;
  SetMaxLengthSeconds(r, r.maxLengthSeconds.load());
  r.recordedLength = 0;
  r.state = StateOpen;
}

// The offset of the file's end, or false.
bool FindFileEnd(HMMIO h, uint64_t* end) {
  return mmio::Length64(h, end);
}

// An ID3v1 tag: "TAG" and 125 bytes of text, the last 128 bytes of an MPEG audio stream.
constexpr uint64_t kId3v1TagBytes = 128;

// Whether the stream ending at `end` and starting at `start` closes with an ID3v1 tag, which is
// no audio.  The file is left at `end`.
bool EndsWithId3v1Tag(HMMIO h, uint64_t end, uint64_t start) {
  if (end < start + kId3v1TagBytes || !SeekTo(h, end - kId3v1TagBytes)) return false;
  char tag[3] = {};
  const bool found = ReadAll(h, tag, sizeof tag) && std::memcmp(tag, "TAG", 3) == 0;
  SeekTo(h, end);
  return found;
}

// A RIFF "WAVE" form at the start of the file whose size field is too small to hold even the
// form type (writers that stream leave it 0): found by its first 12 bytes, its size left for
// the caller to set.  The file is left behind the form type.
bool FindUnsizedForm(HMMIO h, MMCKINFO* riff) {
  uint8_t head[12];
  if (!SeekTo(h, 0) || !ReadAll(h, head, sizeof head)) return false;
  if (std::memcmp(head, "RIFF", 4) != 0 || std::memcmp(head + 8, "WAVE", 4) != 0) return false;
  const uint32_t size = head[4] | (head[5] << 8) | (head[6] << 16) | (uint32_t{head[7]} << 24);
  if (size >= 4) return false;  // a form of that size the chunk walk would have found
  riff->ckid = FOURCC_RIFF;
  riff->fccType = kWaveForm;
  riff->cksize = size;
  riff->dwDataOffset = 8;
  riff->dwFlags = 0;
  return true;
}

// An RF64 form at the start of the file ("RF64" <size> "WAVE" with a "ds64" chunk first): the
// 64-bit sizes into r.large, riffChunk as for a RIFF form (its size capped at 0xFFFFFFFF), and
// the handle allowed past 4 GiB.  In a RIFF form, a "JUNK" chunk at the same place that can
// become "ds64" is noted as the room for them.  The file is left behind the form type.
bool FindLargeForm(Recorder& r, MMCKINFO* riff) {
  HMMIO h = r.fileHandle;
  uint8_t head[kLargeSizesAt + kLargeSizesBytes];
  if (!SeekTo(h, 0) || !ReadAll(h, head, sizeof head)) return false;
  const FOURCC form = LoadLe32(head);
  const FOURCC first = LoadLe32(head + kLargeSizesAt - 8);
  const bool room =
      LoadLe32(head + 8) == kWaveForm && LoadLe32(head + kLargeSizesAt - 4) >= kLargeSizesBytes &&
      ((form == kRf64Form && first == kDs64Chunk) || (form == FOURCC_RIFF && first == kJunkChunk));
  if (room) {
    r.large.room = true;
    mmio::AllowLargeOffsets(h);
  }
  SeekTo(h, 12);
  if (!room || form != kRf64Form) return false;
  r.large.active = true;
  r.large.form = LoadLe64(head + kLargeSizesAt);
  r.large.data = LoadLe64(head + kLargeSizesAt + 8);
  r.large.samples = LoadLe64(head + kLargeSizesAt + 16);
  riff->ckid = FOURCC_RIFF;
  riff->fccType = kWaveForm;
  riff->cksize = static_cast<DWORD>(std::min<uint64_t>(r.large.form, 0xFFFFFFFFu));
  riff->dwDataOffset = 8;
  riff->dwFlags = 0;
  return true;
}

// Walks the RIFF/WAVE chunks: the "fmt " content into `format` (zero-padded to at least a whole
// format record), the "fact" count into *factCount when the chunk follows "fmt ", and dataChunk,
// its size cut to the bytes the file holds.  Leaves the file behind the data.  ErrNone or
// ErrNotRiffWave.
uint16_t ReadWaveChunks(Recorder& r, std::vector<uint8_t>& format, uint64_t* factCount) {
  HMMIO h = r.fileHandle;
  r.riffChunk = MMCKINFO{};
  r.riffChunk.fccType = kWaveForm;
  r.fmtChunk = MMCKINFO{};
  r.fmtChunk.ckid = kFmtChunk;
  r.factChunk = MMCKINFO{};
  r.factChunk.ckid = kFactChunk;
  r.dataChunk = MMCKINFO{};
  r.dataChunk.ckid = kDataChunk;
  r.hasFactChunk = 0;
  r.large = LargeSizes{};

  uint64_t fileEnd = 0;
  if (!FindFileEnd(h, &fileEnd)) return ErrNotRiffWave;
  const bool large = FindLargeForm(r, &r.riffChunk);
  if (!SeekTo(h, 0)) return ErrNotRiffWave;
  if (!large && mmioDescend(h, &r.riffChunk, nullptr, MMIO_FINDRIFF) != MMSYSERR_NOERROR &&
      !FindUnsizedForm(h, &r.riffChunk)) {
    return ErrNotRiffWave;
  }
  if (large) {
    SeekTo(h, 12);
    r.large.form = std::min(r.large.form, fileEnd - 8);
  }
  // The form size is advisory: a form that claims more than the file holds (streaming writers
  // leave 0xFFFFFFFF, or a size the file never reached) or too little to hold its chunks (0)
  // ends at the file's end.
  const uint64_t formEnd = uint64_t{r.riffChunk.dwDataOffset} + r.riffChunk.cksize;
  if (formEnd > fileEnd || r.riffChunk.cksize <= 4) {
    r.riffChunk.cksize = static_cast<DWORD>(std::min<uint64_t>(
        fileEnd - std::min<uint64_t>(fileEnd, r.riffChunk.dwDataOffset), 0xFFFFFFFFu));
  }
  if (mmioDescend(h, &r.fmtChunk, &r.riffChunk, MMIO_FINDCHUNK) != MMSYSERR_NOERROR) {
    return ErrNotRiffWave;
  }
  const uint32_t formatBytes = r.fmtChunk.cksize;
  if (formatBytes < kMinFormatBytes || formatBytes > kMaxFormatBytes) return ErrNotRiffWave;
  format.assign(std::max<size_t>(formatBytes, sizeof(WAVEFORMATEX)), 0);
  if (!ReadAll(h, format.data(), formatBytes)) return ErrNotRiffWave;
  if (mmioAscend(h, &r.fmtChunk, 0) != MMSYSERR_NOERROR) return ErrNotRiffWave;

  // A "fact" chunk counts only when it follows "fmt ".
  const LONG behindFormat = mmioSeek(h, 0, SEEK_CUR);
  if (behindFormat == -1) return ErrNotRiffWave;
  if (mmioDescend(h, &r.factChunk, &r.riffChunk, MMIO_FINDCHUNK) == MMSYSERR_NOERROR) {
    uint8_t count[4];
    if (!ReadAll(h, count, sizeof count)) return ErrNotRiffWave;
    *factCount = count[0] | (count[1] << 8) | (count[2] << 16) | (uint32_t{count[3]} << 24);
    if (r.large.active && *factCount == 0xFFFFFFFFu) *factCount = r.large.samples;
    r.hasFactChunk = 1;
    if (mmioAscend(h, &r.factChunk, 0) != MMSYSERR_NOERROR) return ErrNotRiffWave;
  } else if (!SeekTo(h, static_cast<DWORD>(behindFormat))) {
    return ErrNotRiffWave;
  }

  if (mmioDescend(h, &r.dataChunk, &r.riffChunk, MMIO_FINDCHUNK) != MMSYSERR_NOERROR) {
    // A form that ends before its data (a size written too small) is taken to the file's end.
    const uint64_t riffEnd = uint64_t{r.riffChunk.dwDataOffset} + r.riffChunk.cksize;
    if (riffEnd >= fileEnd) return ErrNotRiffWave;
    r.riffChunk.cksize =
        static_cast<DWORD>(std::min<uint64_t>(fileEnd - r.riffChunk.dwDataOffset, 0xFFFFFFFFu));
    if (mmioDescend(h, &r.dataChunk, &r.riffChunk, MMIO_FINDCHUNK) != MMSYSERR_NOERROR) {
      return ErrNotRiffWave;
    }
  }
  // A file cut short (or written with a placeholder size) holds only what is there.
  const uint64_t dataStart = r.dataChunk.dwDataOffset;
  const uint64_t held = fileEnd > dataStart ? fileEnd - dataStart : 0;
  if (r.large.active) {
    r.large.data = std::min(r.large.data, held);
    r.dataChunk.cksize = static_cast<DWORD>(std::min<uint64_t>(r.large.data, 0xFFFFFFFFu));
  }
  if (r.dataChunk.cksize > held) r.dataChunk.cksize = static_cast<DWORD>(held);
  if (!SeekTo(h, dataStart + DataBytesHeld(r))) return ErrNotRiffWave;
  return ErrNone;
}

// Takes the "fmt " content as the file's format: compressed formats through the conversion set,
// PCM, A-law and mu-law as the device format.  ErrNone or the error of the open.
uint16_t TakeWaveFormat(Recorder& r, std::vector<uint8_t>& content) {
  auto* format = reinterpret_cast<WAVEFORMATEX*>(content.data());
  const WORD tag = format->wFormatTag;
  if (tag == WAVE_FORMAT_PCM &&
      (format->nChannels == 0 || format->nBlockAlign == 0 || format->wBitsPerSample == 0)) {
    return ErrNotRiffWave;
  }
  // Linear PCM of 8 or 16 bits in one or two channels goes to the devices as it is; any other
  // layout (24 or 32 bits, float, extensible, more channels) and every codec through the
  // conversion set.
  const bool direct =
      tag == WAVE_FORMAT_ALAW || tag == WAVE_FORMAT_MULAW ||
      (tag == WAVE_FORMAT_PCM && (format->wBitsPerSample == 8 || format->wBitsPerSample == 16) &&
       format->nChannels <= 2);
  if (!direct) {
    if (ApplyTargetFormat(r, format, static_cast<int32_t>(content.size())) != kAccepted) {
      return ErrFormatUnusable;
    }
    uint16_t setUpError = ErrNone;
    SetUpConversion(r, &setUpError);
    if (setUpError != ErrNone) return setUpError;
    r.sampleFormat = 100;
    return ErrNone;
  }

  std::memcpy(&r.pcmFormat, format, sizeof(WAVEFORMATEX));  // zero-padded beyond the chunk
  r.pcmFormat.cbSize = 0;
  // Without channels, a block size or (for PCM) a sample size no frame can be counted or played.
  const WORD bits = r.pcmFormat.wBitsPerSample;
  if (r.pcmFormat.nChannels == 0 || r.pcmFormat.nBlockAlign == 0 ||
      (tag == WAVE_FORMAT_PCM && bits == 0)) {
    return ErrNotRiffWave;
  }
  const uint32_t rate = r.pcmFormat.nSamplesPerSec;
  if (std::find(std::begin(kOpenableRates), std::end(kOpenableRates), rate) ==
      std::end(kOpenableRates)) {
    return ErrFormatUnusable;
  }
  r.sampleFormat = tag == WAVE_FORMAT_ALAW ? 106 : tag == WAVE_FORMAT_MULAW ? 107 : bits;
  r.channels = r.pcmFormat.nChannels;
  return ErrNone;
}

}  // namespace

uint32_t OpenFile(Recorder& r, BSTR name, uint16_t* error) {
  char narrow[kNameBytes];
  if (!CloseForNewTarget(r, name, narrow, error)) return 0;
  if (narrow[0] == '\0') return NewRecording(r, name, error);
  if (mmioOpenA(narrow, nullptr, MMIO_EXIST) == nullptr) {
    if (r.readOnly != 0) {
      ReportError(r, error, ErrReadOnly);
      return 0;
    }
    return NewRecording(r, name, error);
  }

  r.fileHandle = mmioOpenA(narrow, nullptr, r.readOnly != 0 ? MMIO_READ : MMIO_READWRITE);
  if (r.fileHandle == nullptr) {
    FailOpen(r, error, mmio::IsNoFile(narrow) ? ErrNotAFile : ErrFileOpen);
    return 0;
  }
  // An RF64 file reaches past 4 GiB (and so may the edit a kill left in it); what a recording
  // may write there is decided by DataEndLimit.
  mmio::AllowLargeOffsets(r.fileHandle);
  if (r.readOnly == 0) {
    // One writer at a time; then whatever an edit killed in the middle left behind is finished
    // or undone before the file is read.
    uint16_t code = mmio::LockForWriting(r.fileHandle) ? ErrNone : ErrFileInUse;
    if (code == ErrNone) code = RecoverEdit(r.fileHandle, narrow);
    if (code != ErrNone) {
      FailOpen(r, error, code);
      return 0;
    }
  }
  if (r.fileKind != 0) {
    OpenRawFile(r, narrow, error);
    return 0;
  }

  std::vector<uint8_t> format;
  uint64_t factCount = 0;
  uint16_t code = ReadWaveChunks(r, format, &factCount);
  if (code == ErrNone) code = TakeWaveFormat(r, format);
  if (code != ErrNone) {
    FailOpen(r, error, code);
    return 0;
  }

  const uint64_t dataBytes = DataBytesHeld(r);
  uint64_t frames = FramesInData(r, dataBytes);
  // Linear samples take their length from the data size: a "fact" count there is only a copy,
  // and editors that rewrite the data often leave it stale.  Close writes it again.
  const auto* fmt = reinterpret_cast<const WAVEFORMATEX*>(format.data());
  if (r.hasFactChunk != 0 && !IsLinearLayout(*fmt, format.size()) &&
      FrameToByte64(r, factCount) <= dataBytes) {
    MapFramesRecordedOntoData(r, frames, factCount, dataBytes);
    frames = factCount;
  }
  ReadCueChunks(r);
  EnterOpenedFile(r, narrow, frames, true);
  ReportError(r, error, ErrNone);
  return 0;
}

void OpenRawFile(Recorder& r, const char* name, uint16_t* error) {
  HMMIO h = r.fileHandle;
  uint64_t dataStart = r.fileKind < 0 ? static_cast<uint64_t>(-int32_t{r.fileKind}) : 0;
  r.riffChunk = MMCKINFO{};
  r.fmtChunk = MMCKINFO{};
  r.factChunk = MMCKINFO{};
  r.dataChunk = MMCKINFO{};
  r.dataChunk.ckid = kDataChunk;
  r.hasFactChunk = 0;
  r.large = LargeSizes{};
  uint32_t statedFrames = 0;  // by an Info frame in front of an MPEG stream
  if (r.fileKind == 2) {
    uint16_t scanError = ErrNone;
    dataStart = ScanMpegStream(r, &scanError, &statedFrames);
    if (scanError != ErrNone) {
      FailOpen(r, error, scanError);
      return;
    }
  }

  const LONG last = mmioSeek(h, 0, SEEK_END);
  if (last == -1) {
    FailOpen(r, error, ErrFileOpen);
    return;
  }
  uint64_t fileEnd = static_cast<DWORD>(last);
  if (r.fileKind == 2 && EndsWithId3v1Tag(h, fileEnd, dataStart)) fileEnd -= kId3v1TagBytes;
  dataStart = std::min(dataStart, fileEnd);
  r.dataChunk.dwDataOffset = static_cast<DWORD>(dataStart);
  r.dataChunk.cksize = static_cast<DWORD>(fileEnd - dataStart);
  SeekTo(h, fileEnd);  // behind the data, as for every opened file

  const bool viaConversion = r.sampleFormat == 100;
  if (viaConversion) {
    uint16_t setUpError = ErrNone;
    SetUpConversion(r, &setUpError);
    if (setUpError != ErrNone) {
      FailOpen(r, error, setUpError);
      return;
    }
  } else {
    r.pcmFormat = StoredFormat(r.sampleFormat, r.channels, r.sampleRate);
  }
  uint64_t frames = FramesInData(r, r.dataChunk.cksize);
  if (statedFrames > 0) {
    MapFramesRecordedOntoData(r, frames, statedFrames, r.dataChunk.cksize);
    if (FramesInData(r, r.dataChunk.cksize) == statedFrames) frames = statedFrames;
  }
  EnterOpenedFile(r, name, frames, viaConversion);
  ReportError(r, error, ErrNone);
}

}  // namespace voxl
