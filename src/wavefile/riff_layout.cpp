// The layout of the RIFF/WAVE files the recorder writes.
#include "wavefile/riff_layout.h"

#include <algorithm>

#include "platform/system/system.h"
#include "wavefile/riff_io.h"

namespace voxl {
namespace {

// The chunk records of a new file: "WAVE" form, "fmt ", "fact" and "data", sizes 0.
void PresetChunks(Recorder& r) {
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

}  // namespace

uint16_t CreateWaveFile(Recorder& r, char* name, const void* format, uint32_t formatBytes,
                        bool withFact) {
  r.fileHandle = mmioOpenA(name, nullptr, MMIO_CREATE | MMIO_READWRITE);
  if (r.fileHandle == nullptr) return ErrFileOpen;
  PresetChunks(r);
  if (r.fileKind != 0) return ErrNone;  // headerless: dataChunk says data from byte 0, size 0
  if (WriteHeader(r, format, formatBytes, withFact)) return ErrNone;
  mmioClose(r.fileHandle, 0);
  r.fileHandle = nullptr;
  DeleteFileA(name);
  return ErrRiffWrite;
}

void SeekToDataEnd(HMMIO h, uint64_t end) {
  if (!SeekTo(h, end)) mmioSeek(h, 0, SEEK_END);
}

void WriteChunkSizes(Recorder& r, uint64_t dataEnd, const uint32_t* factCount) {
  HMMIO h = r.fileHandle;
  SeekToDataEnd(h, dataEnd);
  mmioAscend(h, &r.dataChunk, 0);
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
      WriteU32(h, *factCount);
      mmioAscend(h, &fact, 0);
    } else {
      // The search continues from the first chunk of the form, behind the form type.
      SeekTo(h, formBody);
    }
    MMCKINFO data{};
    data.ckid = kDataChunk;
    if (mmioDescend(h, &data, &form, MMIO_FINDCHUNK) == 0) mmioAscend(h, &data, 0);
  }
  mmioAscend(h, &r.riffChunk, 0);
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
