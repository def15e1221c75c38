// Recording targets: creating new RIFF/WAVE and headerless files and streaming targets, finishing
// a file after a capture run, and the closing steps of a target.
#include "wavefile/recording_file.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>

#include "engine/transport.h"
#include "formats/conversion.h"
#include "platform/mmio/mmio.h"
#include "platform/system/system.h"
#include "platform/wave/wave.h"

namespace voxl {

namespace {

constexpr FOURCC kWave = mmioFOURCC('W', 'A', 'V', 'E');
constexpr FOURCC kFmt = mmioFOURCC('f', 'm', 't', ' ');
constexpr FOURCC kFact = mmioFOURCC('f', 'a', 'c', 't');
constexpr FOURCC kData = mmioFOURCC('d', 'a', 't', 'a');

// Seeks to an absolute file offset; false (and no seek) when RIFF files cannot address it.
bool SeekTo(HMMIO h, uint64_t offset) {
  if (offset > kMaxRiffOffset) return false;
  return mmioSeek(h, static_cast<LONG>(static_cast<uint32_t>(offset)), SEEK_SET) != -1;
}

// Places the file at the end of the recorded data.  The data chunk is the last chunk of every
// file we write, so when the computed end lies beyond what a RIFF file can address, the end of
// the file is the best stand-in (never a wrapped offset).
void SeekToDataEnd(HMMIO h, uint64_t end) {
  if (!SeekTo(h, end)) mmioSeek(h, 0, SEEK_END);
}

// Writes the 32-bit value little-endian; true when all 4 bytes were written.
bool WriteU32(HMMIO h, uint32_t value) {
  const char bytes[4] = {static_cast<char>(value & 0xFF), static_cast<char>((value >> 8) & 0xFF),
                         static_cast<char>((value >> 16) & 0xFF),
                         static_cast<char>((value >> 24) & 0xFF)};
  return mmioWrite(h, bytes, 4) == 4;
}

// The chunk records of a new file: "WAVE" form, "fmt ", "fact" and "data", sizes 0.
void PresetChunks(Recorder& r) {
  r.riffChunk = MMCKINFO{FOURCC_RIFF, 0, kWave, 0, 0};
  r.fmtChunk = MMCKINFO{kFmt, 0, 0, 0, 0};
  r.factChunk = MMCKINFO{kFact, 0, 0, 0, 0};
  r.dataChunk = MMCKINFO{kData, 0, 0, 0, 0};
}

// Writes the header of a new RIFF/WAVE file: the form, "fmt " holding `format` (`formatBytes`
// bytes, padded to even), "fact" with a zero count when `withFact`, and the start of "data".
// Leaves the file at the first data byte.  False at the first step that fails.
bool WriteHeader(Recorder& r, const void* format, LONG formatBytes, bool withFact) {
  HMMIO h = r.fileHandle;
  if (mmioCreateChunk(h, &r.riffChunk, MMIO_CREATERIFF) != 0) return false;
  if (mmioCreateChunk(h, &r.fmtChunk, 0) != 0) return false;
  if (mmioWrite(h, static_cast<const char*>(format), formatBytes) != formatBytes) return false;
  if (mmioAscend(h, &r.fmtChunk, 0) != 0) return false;
  if (withFact) {
    if (mmioCreateChunk(h, &r.factChunk, 0) != 0) return false;
    if (!WriteU32(h, 0)) return false;
    if (mmioAscend(h, &r.factChunk, 0) != 0) return false;
  }
  return mmioCreateChunk(h, &r.dataChunk, 0) == 0;
}

// The fields every successful new target sets; `name` empty for streaming.
void EnterOpenTarget(Recorder& r, const char* name, uint16_t hasFact) {
  std::strcpy(r.fileName, name);  // callers hold it in a kNameBytes buffer
  r.deleteOnClose = 0;
  r.position = 0;
  r.length = 0;
  r.recordedLength = 0;
  r.hasFactChunk = hasFact;
  r.state = StateOpen;
}

// Opens (creating or emptying) the named file for a new recording.
HMMIO CreateRecordingFile(char* name) {
  return mmioOpenA(name, nullptr, MMIO_CREATE | MMIO_READWRITE);
}

// A new file whose header could not be written (a full disk) is closed and deleted: a recording
// file either has its whole header or does not exist.  A file of that name that existed before
// was already emptied when it was created, so nothing of it is lost here.
void DiscardNewFile(Recorder& r, const char* name) {
  mmioClose(r.fileHandle, 0);
  r.fileHandle = nullptr;
  DeleteFileA(name);
}

// The recording limit in frames for `seconds` at `rate`, rounded to nearest; saturates instead
// of overflowing the 32-bit field.
uint32_t LimitFrames(uint32_t rate, double seconds) {
  const double frames = static_cast<double>(rate) * seconds + 0.5;
  if (!(frames > 0.0)) return 0;
  if (frames >= 4294967295.0) return 0xFFFFFFFFu;
  return static_cast<uint32_t>(frames);
}

// The name in UTF-8 into `out` (kNameBytes).  A null or empty BSTR gives "".  False when the
// name does not fit with its terminator, or holds a NUL character or an unpaired surrogate (the
// file would get another name than the one asked for).
bool NameToNarrow(BSTR name, char* out) {
  out[0] = '\0';
  if (name == nullptr) return true;
  const UINT chars = SysStringLen(name);
  if (chars == 0) return true;
  for (UINT i = 0; i < chars; ++i) {
    if (name[i] == 0) return false;
  }
  if (chars >= static_cast<UINT>(kNameBytes)) return false;  // each character takes >= 1 byte
  BOOL replaced = FALSE;  // an unpaired surrogate would come out as another character
  const int written = WideCharToMultiByte(CP_ACP, 0, name, static_cast<int>(chars), out,
                                          kNameBytes - 1, nullptr, &replaced);
  if (written <= 0 || written >= kNameBytes || replaced) {
    out[0] = '\0';
    return false;
  }
  out[written] = '\0';
  return true;
}

}  // namespace

uint64_t FrameToByte64(const Recorder& r, uint32_t frames) {
  if (r.compressed.load() != 0 && r.fileFormat != nullptr) {
    const double perBlock = r.samplesPerBlock;
    if (!(perBlock > 0.0) || !std::isfinite(perBlock)) return 0;
    const double blocks = std::trunc(static_cast<double>(frames) / perBlock + 0.5);
    // frames < 2^32 and perBlock > 0 keep `blocks` finite; the product is done in 64 bits.
    const uint64_t whole =
        blocks >= 18446744073709551615.0 ? ~uint64_t{0} : static_cast<uint64_t>(blocks);
    const uint64_t align = r.fileFormat->nBlockAlign;
    if (align != 0 && whole > (~uint64_t{0}) / align) return ~uint64_t{0};
    return whole * align;
  }
  return static_cast<uint64_t>(frames) * r.pcmFormat.nBlockAlign;
}

uint32_t FrameToByte(const Recorder& r, uint32_t frames) {
  const uint64_t bytes = FrameToByte64(r, frames);
  return bytes > kMaxRiffOffset ? static_cast<uint32_t>(kMaxRiffOffset)
                                : static_cast<uint32_t>(bytes);
}

uint64_t FrameToFileOffset(const Recorder& r, uint32_t frames) {
  const uint64_t bytes = FrameToByte64(r, frames);
  const uint64_t base = r.dataChunk.dwDataOffset;
  return bytes > ~uint64_t{0} - base ? ~uint64_t{0} : base + bytes;
}

void BuildPcmFormat(Recorder& r) {
  WAVEFORMATEX f{};
  if (r.sampleFormat == 106 || r.sampleFormat == 107) {
    f.wFormatTag = r.sampleFormat == 106 ? WAVE_FORMAT_ALAW : WAVE_FORMAT_MULAW;
    f.wBitsPerSample = 8;
    f.nBlockAlign = r.channels;
  } else {
    f.wFormatTag = WAVE_FORMAT_PCM;
    f.wBitsPerSample = r.sampleFormat;
    f.nBlockAlign = static_cast<WORD>((r.sampleFormat / 8) * r.channels);
  }
  f.nChannels = r.channels;
  f.nSamplesPerSec = r.sampleRate;
  const uint64_t perSecond = static_cast<uint64_t>(f.nBlockAlign) * r.sampleRate;
  f.nAvgBytesPerSec = perSecond > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<DWORD>(perSecond);
  f.cbSize = 0;
  r.pcmFormat = f;
}

uint16_t CheckCaptureFormat(Recorder& r) {
  if (r.sampleFormat == 100) return 0;
  const WORD bits = (r.sampleFormat == 106 || r.sampleFormat == 107) ? 16 : r.sampleFormat;
  WAVEFORMATEX f{};
  f.wFormatTag = WAVE_FORMAT_PCM;
  f.nChannels = r.channels;
  f.nSamplesPerSec = r.sampleRate;
  f.nBlockAlign = static_cast<WORD>((bits / 8) * r.channels);
  f.wBitsPerSample = bits;
  const uint64_t perSecond = static_cast<uint64_t>(f.nBlockAlign) * r.sampleRate;
  f.nAvgBytesPerSec = perSecond > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<DWORD>(perSecond);
  f.cbSize = 0;
  return waveInOpen(nullptr, WAVE_MAPPER, &f, 0, 0, WAVE_FORMAT_QUERY) == MMSYSERR_NOERROR ? 0 : 1;
}

uint32_t NewRecording(Recorder& r, BSTR name, uint16_t* error) {
  if (r.readOnly != 0) {
    ReportError(r, error, ErrReadOnly);
    return 0;
  }
  uint16_t closeError = ErrNone;
  Close(r, &closeError);
  if (closeError != ErrNone) {
    ReportError(r, error, closeError);
    return 0;
  }

  char narrow[kNameBytes];
  if (!NameToNarrow(name, narrow)) {
    ReportError(r, error, ErrFileOpen);
    return 0;
  }
  if (r.sampleFormat == 100) {
    NewCompressedRecording(r, narrow, error);
    return 0;
  }

  BuildPcmFormat(r);
  const bool withFact = r.pcmFormat.wFormatTag != WAVE_FORMAT_PCM;
  if (narrow[0] == '\0') {  // streaming: the data goes only to the host
    r.fileHandle = nullptr;
    EnterOpenTarget(r, "", 0);
    ReportError(r, error, ErrNone);
    return 0;
  }

  r.fileHandle = CreateRecordingFile(narrow);
  if (r.fileHandle == nullptr) {
    ReportError(r, error, ErrFileOpen);
    return 0;
  }
  PresetChunks(r);
  if (r.fileKind != 0) {
    // Headerless: the data starts at byte 0 and nothing is written until recording.
    r.dataChunk.cksize = 0;
    r.dataChunk.dwDataOffset = 0;
  } else if (!WriteHeader(r, &r.pcmFormat, sizeof(WAVEFORMATEX), withFact)) {
    DiscardNewFile(r, narrow);
    ReportError(r, error, ErrRiffWrite);
    return 0;
  }
  EnterOpenTarget(r, narrow, withFact ? 1 : 0);
  ReportError(r, error, ErrNone);
  return 0;
}

void NewCompressedRecording(Recorder& r, const char* name, uint16_t* error) {
  uint16_t setUpError = ErrNone;
  SetUpConversion(r, &setUpError);
  if (setUpError != ErrNone) {
    ReportError(r, error, setUpError);
    return;
  }
  // The "fmt " chunk holds the format record with exactly the extra bytes it announces; a
  // record whose cbSize claims more than was allocated cannot be written truthfully.
  const WAVEFORMATEX* format = r.fileFormat;
  if (format == nullptr || r.fileFormatSize < static_cast<int32_t>(sizeof(WAVEFORMATEX)) ||
      static_cast<int64_t>(sizeof(WAVEFORMATEX)) + format->cbSize > r.fileFormatSize) {
    ReleaseConversion(r);
    ReportError(r, error, ErrFormatUnusable);
    return;
  }
  const LONG formatBytes = static_cast<LONG>(sizeof(WAVEFORMATEX) + format->cbSize);

  char narrow[kNameBytes];
  std::strncpy(narrow, name, kNameBytes - 1);
  narrow[kNameBytes - 1] = '\0';
  r.fileHandle = nullptr;
  if (narrow[0] != '\0') {
    r.fileHandle = CreateRecordingFile(narrow);
    if (r.fileHandle == nullptr) {
      ReleaseConversion(r);
      ReportError(r, error, ErrFileOpen);
      return;
    }
    PresetChunks(r);
    if (r.fileKind != 0) {
      r.dataChunk.cksize = 0;
      r.dataChunk.dwDataOffset = 0;
    } else if (!WriteHeader(r, format, formatBytes, true)) {
      DiscardNewFile(r, narrow);
      ReleaseConversion(r);
      ReportError(r, error, ErrRiffWrite);
      return;
    }
  }
  r.sampleRate = r.pcmFormat.nSamplesPerSec;
  r.maxLengthSamples = LimitFrames(r.sampleRate, r.maxLengthSeconds.load());
  EnterOpenTarget(r, narrow, 1);
  ReportError(r, error, ErrNone);
}

uint32_t NewTempRecording(Recorder& r, uint16_t* error) {
  if (r.readOnly != 0) {
    ReportError(r, error, ErrReadOnly);
    return 0;
  }
  char directory[kNameBytes];
  const DWORD directoryLength = GetTempPathA(kNameBytes, directory);
  if (directoryLength == 0 || directoryLength >= static_cast<DWORD>(kNameBytes)) {
    ReportError(r, error, ErrFileOpen);
    return 0;
  }
  // Room for the directory, the prefix, the number and ".tmp"; names that end up longer than
  // kNameBytes are refused by NewRecording (and the file removed below).
  char tempName[kNameBytes + MAX_PATH];
  std::memset(tempName, 0, sizeof tempName);
  if (GetTempFileNameA(directory, "VOX", 0, tempName) == 0) {
    ReportError(r, error, ErrFileOpen);
    return 0;
  }

  uint16_t result = ErrFileOpen;
  const int wideCount = MultiByteToWideChar(CP_ACP, 0, tempName, -1, nullptr, 0);
  if (wideCount > 0) {
    std::u16string wide(static_cast<size_t>(wideCount), u'\0');
    if (MultiByteToWideChar(CP_ACP, 0, tempName, -1, wide.data(), wideCount) == wideCount) {
      BSTR bstr = SysAllocString(wide.c_str());
      if (bstr != nullptr) {
        NewRecording(r, bstr, &result);
        SysFreeString(bstr);
      }
    }
  }
  if (result != ErrNone) {
    // The recording could not be prepared: the empty temporary file must not stay behind.
    DeleteFileA(tempName);
    ReportError(r, error, result);
    return 0;
  }
  r.deleteOnClose = 1;
  ReportError(r, error, ErrNone);
  return 0;
}

void CloseRecordingTarget(Recorder& r) {
  HMMIO h = r.fileHandle;
  const bool riffFile = h != nullptr && r.fileKind == 0;
  // The end of the recorded data, while the conversion set still describes the file.
  const uint64_t dataEnd = riffFile ? FrameToFileOffset(r, r.length.load()) : 0;

  ReleaseConversion(r);

  if (riffFile) {
    SeekToDataEnd(h, dataEnd);
    mmioAscend(h, &r.dataChunk, 0);
    if (r.hasFactChunk != 0 && r.readOnly == 0) {
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
      fact.ckid = kFact;
      if (mmioDescend(h, &fact, &form, MMIO_FINDCHUNK) == 0) {
        WriteU32(h, r.length.load());
        mmioAscend(h, &fact, 0);
      } else {
        // The search continues from the first chunk of the form, behind the form type.
        SeekTo(h, formBody);
      }
      MMCKINFO data{};
      data.ckid = kData;
      if (mmioDescend(h, &data, &form, MMIO_FINDCHUNK) == 0) mmioAscend(h, &data, 0);
    }
    mmioAscend(h, &r.riffChunk, 0);
  }

  if (h != nullptr) {
    mmioClose(h, 0);
    r.fileHandle = nullptr;
    if (r.deleteOnClose != 0) DeleteFileA(r.fileName);
  }
  r.fileName[0] = '\0';
  r.state = StateIdle;
  r.length = 0;
  r.position = 0;
}

void FinishRecordingFile(Recorder& r) {
  HMMIO h = r.fileHandle;
  // The end of a run is handled when the host's thread gets to it.  When the host has already
  // started the next run, the engine owns the file again: touching it here would race with the
  // engine's writes.  That run's own end (or Close) writes the sizes.
  const uint16_t state = r.state.load();
  const bool engineOwnsFile = state == StateRecording || state == StatePlaying;
  if (h != nullptr && !engineOwnsFile) {
    SeekToDataEnd(h, FrameToFileOffset(r, r.length.load()));
    if (r.fileKind == 0) {
      mmioAscend(h, &r.dataChunk, 0);
      mmioAscend(h, &r.riffChunk, 0);
      // Reread the records as they now stand on disk (kept as they were if a search fails).
      mmioSeek(h, 0, SEEK_SET);
      MMCKINFO riff{};
      riff.fccType = kWave;
      if (mmioDescend(h, &riff, nullptr, MMIO_FINDRIFF) == 0) {
        r.riffChunk = riff;
        MMCKINFO data{};
        data.ckid = kData;
        if (mmioDescend(h, &data, &r.riffChunk, MMIO_FINDCHUNK) == 0) r.dataChunk = data;
      }
    } else {
      const LONG here = mmioSeek(h, 0, SEEK_CUR);
      if (here != -1 && static_cast<DWORD>(here) >= r.dataChunk.dwDataOffset) {
        r.dataChunk.cksize = static_cast<DWORD>(here) - r.dataChunk.dwDataOffset;
      }
    }
    const int32_t position = r.position.load();
    SeekTo(h, FrameToFileOffset(r, position < 0 ? 0u : static_cast<uint32_t>(position)));
  }
  r.silent = 0;
  if (r.callbacks.captureEnded != nullptr) r.callbacks.captureEnded(r.stopReason.load());
}

}  // namespace voxl
