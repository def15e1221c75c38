// Recording targets: creating new RIFF/WAVE and headerless files and streaming targets, finishing
// a file after a capture run, and the closing steps of a target.
#include "wavefile/recording_file.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "core/wide_text.h"
#include "formats/conversion.h"
#include "formats/pcm_format.h"
#include "platform/mmio/mmio.h"
#include "platform/system/system.h"
#include "platform/wave/wave.h"
#include "wavefile/cue_chunk.h"
#include "wavefile/frames.h"
#include "wavefile/mpeg_scan.h"
#include "wavefile/recording_close.h"
#include "wavefile/riff_io.h"
#include "wavefile/riff_layout.h"

namespace voxl {

namespace {

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

// A headerless MPEG Layer-3 recording begins with an Info frame, so that decoders that read it
// play the frames recorded and no more: written at creation with nothing counted, and again
// with the counts at the end of the run.  A constant-bitrate stream of `audioBytes` holds
// their frames at the stream's average frame size (padded frames keep the average), and the
// decoded stream is its frames x samples per frame; delay and padding are what lies around the
// `recorded` frames in it (kAllDecoded: all of it after the delay, when runs or edits that came
// later leave the frames recorded unknown).  False when the frame could not be written.
constexpr uint32_t kAllDecoded = UINT32_MAX;
bool WriteMpegInfoFrame(Recorder& r, uint64_t audioBytes, uint32_t recorded) {
  const WAVEFORMATEX& f = *r.fileFormat;
  const uint32_t delay = MpegLayer3StatedDelay(&f, static_cast<size_t>(r.fileFormatSize));
  const uint64_t perFrame = (f.nSamplesPerSec >= 32000 ? 1152u : 576u);
  const uint64_t bitsPerFrame = perFrame * f.nAvgBytesPerSec * 8;  // x rate: 8 x frame bytes
  MpegInfoTag tag;
  tag.statesDelays = true;
  tag.delay = delay > kMpegLayer3DecoderDelay ? delay - kMpegLayer3DecoderDelay : 0;
  if (recorded > 0 && bitsPerFrame > 0) {
    const uint64_t scaled = audioBytes * 8 * f.nSamplesPerSec;
    tag.frames = static_cast<uint32_t>(
        std::min<uint64_t>((2 * scaled + bitsPerFrame) / (2 * bitsPerFrame), UINT32_MAX));
    tag.bytes = static_cast<uint32_t>(std::min<uint64_t>(audioBytes, UINT32_MAX));
    const uint64_t decoded = tag.frames * perFrame;
    if (recorded == kAllDecoded) recorded = 0;
    tag.padding = recorded > 0 && decoded > uint64_t{tag.delay} + recorded
                      ? static_cast<uint32_t>(decoded - tag.delay - recorded)
                      : 0;
  }
  const std::vector<uint8_t> frame = MakeMpegInfoFrame(f, tag);
  if (frame.empty() ||
      (r.dataChunk.dwDataOffset != 0 && frame.size() != r.dataChunk.dwDataOffset)) {
    return false;
  }
  return SeekTo(r.fileHandle, 0) &&
         WriteAll(r.fileHandle, frame.data(), static_cast<uint32_t>(frame.size()));
}

bool HasMpegInfoFrame(const Recorder& r) {
  return r.fileHandle != nullptr && r.fileKind == 1 && r.dataChunk.dwDataOffset > 0 &&
         LengthIsFramesRecorded(r);
}

// The end of a run that encoded the whole data of a file whose length is the frames recorded:
// the length becomes the frames the encoder took (the data also holds the encoder's delay and
// the padding of the last frame), and positions map onto the data's bytes in that proportion,
// so the length still ends where the data does.  True when it did.
bool SettleFramesRecorded(Recorder& r) {
  if (r.encodesWholeFile.exchange(0) == 0 || r.fileFormat == nullptr ||
      !LengthIsFramesRecorded(r)) {
    return false;
  }
  const uint64_t oldLength = r.length.load();
  const uint64_t bytes = FrameToByte64(r, oldLength);
  const uint64_t frames = r.encoderFramesIn.load();
  if (bytes == 0 || frames == 0 || frames > kMaxFrames) return false;
  r.samplesPerBlock =
      static_cast<double>(frames) * r.fileFormat->nBlockAlign / static_cast<double>(bytes);
  const int64_t position = r.position.load();
  r.length = frames;
  if (position >= 0 && static_cast<uint64_t>(position) == oldLength) {
    r.position = static_cast<int64_t>(frames);
  }
  if (HasMpegInfoFrame(r)) {
    WriteMpegInfoFrame(r, bytes, static_cast<uint32_t>(std::min<uint64_t>(frames, UINT32_MAX)));
  }
  return true;
}

}  // namespace

bool CloseForNewTarget(Recorder& r, BSTR name, char* narrow, uint16_t* error) {
  uint16_t closeError = ErrNone;
  Close(r, &closeError);
  if (closeError != ErrNone) {
    ReportError(r, error, closeError);
    return false;
  }
  if (!NameToNarrow(name, narrow)) {
    ReportError(r, error, ErrFileOpen);
    return false;
  }
  return true;
}

bool CreateTempFile(char* name) {
  char directory[kNameBytes];
  const DWORD directoryLength = GetTempPathA(kNameBytes, directory);
  if (directoryLength == 0 || directoryLength >= static_cast<DWORD>(kNameBytes)) return false;
  // The name is formed in a larger buffer: a long temporary folder must not overrun the
  // recorder's fixed one, and a name that does not fit it is not used.
  char made[kNameBytes + MAX_PATH] = {};
  if (GetTempFileNameA(directory, "VOX", 0, made) == 0) return false;
  const size_t length = std::strlen(made);
  if (length >= static_cast<size_t>(kNameBytes)) {
    DeleteFileA(made);
    return false;
  }
  std::memcpy(name, made, length + 1);
  return true;
}

uint16_t CheckCaptureFormat(Recorder& r) {
  if (r.sampleFormat == 100 || r.withoutDevices != 0) return 0;
  WAVEFORMATEX f = DeviceFormat(StoredFormat(r.sampleFormat, r.channels, r.sampleRate));
  return waveInOpen(nullptr, WAVE_MAPPER, &f, 0, 0, WAVE_FORMAT_QUERY) == MMSYSERR_NOERROR ? 0 : 1;
}

uint32_t NewRecording(Recorder& r, BSTR name, uint16_t* error) {
  if (r.readOnly != 0) {
    ReportError(r, error, ErrReadOnly);
    return 0;
  }
  char narrow[kNameBytes];
  if (!CloseForNewTarget(r, name, narrow, error)) return 0;
  if (r.sampleFormat == 100) {
    NewCompressedRecording(r, narrow, error);
    return 0;
  }

  r.pcmFormat = StoredFormat(r.sampleFormat, r.channels, r.sampleRate);
  const bool withFact = r.pcmFormat.wFormatTag != WAVE_FORMAT_PCM;
  if (narrow[0] == '\0') {  // streaming: the data goes only to the host
    r.fileHandle = nullptr;
    EnterOpenTarget(r, "", 0);
    ReportError(r, error, ErrNone);
    return 0;
  }

  const uint16_t created = CreateWaveFile(r, narrow, &r.pcmFormat, sizeof(WAVEFORMATEX), withFact);
  if (created != ErrNone) {
    ReportError(r, error, created);
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
  const auto formatBytes = static_cast<uint32_t>(sizeof(WAVEFORMATEX) + format->cbSize);

  char narrow[kNameBytes];
  std::strncpy(narrow, name, kNameBytes - 1);
  narrow[kNameBytes - 1] = '\0';
  r.fileHandle = nullptr;
  if (narrow[0] != '\0') {
    uint16_t created = CreateWaveFile(r, narrow, format, formatBytes, true);
    if (created == ErrNone && r.fileKind == 1 && LengthIsFramesRecorded(r)) {
      if (WriteMpegInfoFrame(r, 0, 0)) {
        r.dataChunk.dwDataOffset = static_cast<DWORD>(mmioSeek(r.fileHandle, 0, SEEK_CUR));
      } else {
        mmioClose(r.fileHandle, 0);
        r.fileHandle = nullptr;
        created = ErrRiffWrite;
      }
    }
    if (created != ErrNone) {
      ReleaseConversion(r);
      ReportError(r, error, created);
      return;
    }
  }
  r.sampleRate = r.pcmFormat.nSamplesPerSec;
  r.maxLengthSamples = SecondsToFrames(r.maxLengthSeconds.load(), r.sampleRate);
  EnterOpenTarget(r, narrow, 1);
  ReportError(r, error, ErrNone);
}

uint32_t NewTempRecording(Recorder& r, uint16_t* error) {
  if (r.readOnly != 0) {
    ReportError(r, error, ErrReadOnly);
    return 0;
  }
  char tempName[kNameBytes];
  if (!CreateTempFile(tempName)) {
    ReportError(r, error, ErrFileOpen);
    return 0;
  }

  uint16_t result = ErrFileOpen;
  // The name was made here from text of the code page, so it converts whole.
  if (BSTR bstr = ToWideString(tempName); bstr != nullptr) {
    if (bstr[0] != 0) NewRecording(r, bstr, &result);
    SysFreeString(bstr);
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
  if (SettleFramesRecorded(r)) r.fileChanged = 1;
  // The end of the recorded data, while the conversion set still describes the file.
  const uint64_t dataEnd = riffFile ? FrameToFileOffset(r, r.length.load()) : 0;

  ReleaseConversion(r);

  if (riffFile && r.fileChanged.load() != 0) {
    const uint64_t samples = r.length.load();
    const bool countSamples = r.hasFactChunk != 0 && r.readOnly == 0;
    WriteChunkSizes(r, dataEnd, countSamples ? &samples : nullptr);
    if (r.readOnly == 0) AppendCueChunks(r);
  }
  r.marks.list.clear();
  r.marks.storedAt = 0;
  r.large = LargeSizes{};

  if (h != nullptr) {
    mmioClose(h, 0);
    r.fileHandle = nullptr;
    if (r.deleteOnClose != 0) DeleteFileA(r.fileName);
  }
  r.fileName[0] = '\0';
  r.fileChanged = 0;
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
    // The engine has written the "fact" count as the run went; a settled length writes it anew.
    const bool settled = SettleFramesRecorded(r);
    const uint64_t samples = r.length.load();
    const uint64_t dataEnd = FrameToFileOffset(r, samples);
    if (r.fileKind == 0) {
      const bool countSamples = settled && r.hasFactChunk != 0 && r.readOnly == 0;
      WriteChunkSizes(r, dataEnd, countSamples ? &samples : nullptr);
      RereadChunks(r);
    } else {
      const LONG here = SeekToDataEnd(h, dataEnd) ? mmioSeek(h, 0, SEEK_CUR) : -1;
      if (here != -1 && static_cast<DWORD>(here) >= r.dataChunk.dwDataOffset) {
        r.dataChunk.cksize = static_cast<DWORD>(here) - r.dataChunk.dwDataOffset;
      }
      if (!settled && HasMpegInfoFrame(r)) {
        WriteMpegInfoFrame(r, r.dataChunk.cksize, kAllDecoded);
      }
    }
    SeekTo(h, PositionFileOffset(r));
  }
  r.silent = 0;
  if (r.callbacks.captureEnded != nullptr) r.callbacks.captureEnded(r.stopReason.load());
}

}  // namespace voxl
