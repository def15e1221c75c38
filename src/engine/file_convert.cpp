// Converting a sound file into a recording of another format: the input recorder reads, the PCM
// is brought to the output's rate and channels, the output recorder stores.
#include "engine/file_convert.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/recorder.h"
#include "core/wide_text.h"
#include "engine/engine.h"
#include "formats/conversion.h"
#include "formats/pcm_format.h"
#include "formats/resampler.h"
#include "platform/mmio/mmio.h"
#include "platform/system/system.h"
#include "wavefile/edit_journal.h"
#include "wavefile/open_file.h"
#include "wavefile/recording_close.h"
#include "wavefile/recording_file.h"
#include "wavefile/recording_settings.h"
#include "wavefile/riff_layout.h"

namespace voxl {
namespace {

// Audio moves in pieces of about this many frames: few calls and writes per second of audio.
constexpr uint32_t kPieceFrames = 65536;

// A recorder of the call: no engine thread, no window, no device.
struct FileRecorder {
  Recorder r;
  FileRecorder() { r.withoutDevices = 1; }
  ~FileRecorder() {
    CloseConversionStreams(r);
    if (r.state.load() > StateIdle) {
      uint16_t ignored = ErrNone;
      Close(r, &ignored);
    }
    std::free(r.chosenFormat);
    std::free(r.fileFormat);
  }
  FileRecorder(const FileRecorder&) = delete;
  FileRecorder& operator=(const FileRecorder&) = delete;
};

// A name as the recorder's methods take it.
struct WideName {
  explicit WideName(const char* text) : bstr(ToWideString(text)) {}
  ~WideName() { SysFreeString(bstr); }
  WideName(const WideName&) = delete;
  WideName& operator=(const WideName&) = delete;
  BSTR bstr;
};

bool NameFits(const char* name) {
  return name != nullptr && name[0] != '\0' && std::strlen(name) < static_cast<size_t>(kNameBytes);
}

// Whether `output` names the file `input` has open (through any link).
bool IsSameFile(HMMIO input, const char* output) {
  if (mmioOpenA(const_cast<LPSTR>(output), nullptr, MMIO_EXIST) == nullptr) return false;
  HMMIO other = mmioOpenA(const_cast<LPSTR>(output), nullptr, MMIO_READ);
  if (other == nullptr) return false;
  uint64_t device = 0, inode = 0, otherDevice = 0, otherInode = 0;
  const bool same = mmio::FileIdentity(input, &device, &inode) &&
                    mmio::FileIdentity(other, &otherDevice, &otherInode) && device == otherDevice &&
                    inode == otherInode;
  mmioClose(other, 0);
  return same;
}

// Opens the input read-only as the options say.
uint16_t OpenInput(Recorder& r, const char* name, const VoxlConvertOptions& o) {
  if (mmio::IsNoFile(name)) return ErrNotAFile;
  if (mmioOpenA(const_cast<LPSTR>(name), nullptr, MMIO_EXIST) == nullptr) return ErrFileOpen;
  SetReadOnly(r, 1);
  if (SetFileKind(r, o.inputKind) != kAccepted) return ErrFormatUnusable;
  if (o.inputKind != 0 && o.inputKind != 2 &&
      (SetSampleFormat(r, o.inputSampleFormat) != kAccepted || o.inputSampleFormat == 100 ||
       SetSampleRate(r, o.inputSampleRate) != kAccepted ||
       SetChannels(r, o.inputChannels) != kAccepted)) {
    return ErrFormatUnusable;
  }
  WideName wide(name);
  if (wide.bstr == nullptr) return ErrFileOpen;
  uint16_t error = ErrNone;
  OpenFile(r, wide.bstr, &error);
  if (error != ErrNone) return error;
  r.position = 0;
  return ErrNone;
}

// Sets the output's format on the fresh recorder.  `pcm` is the decoded input.
uint16_t SetOutputFormat(Recorder& r, const VoxlConvertOptions& o, const WAVEFORMATEX& pcm) {
  if (SetFileKind(r, o.outputKind != 0 ? 1 : 0) != kAccepted) return ErrFormatUnusable;
  if (o.sampleFormat == 100) {
    if (o.format == nullptr || o.formatSize < sizeof(WAVEFORMATEX) || o.formatSize > 0x7FFFFFFF) {
      return ErrNoTargetFormat;
    }
    if (SetTargetFormat(r, o.format, static_cast<int32_t>(o.formatSize), true) != kAccepted) {
      return ErrFormatUnusable;
    }
    SetSampleFormat(r, 100);
    return ErrNone;
  }
  const uint16_t format = o.sampleFormat == 0 ? 16 : o.sampleFormat;
  const uint16_t channels =
      o.channels != 0 ? o.channels : static_cast<uint16_t>(std::min<WORD>(pcm.nChannels, 2));
  if (SetSampleFormat(r, format) != kAccepted || SetChannels(r, channels) != kAccepted) {
    return ErrFormatUnusable;
  }
  // The input's own rate is kept whatever it is; a rate asked for must be one the recorder
  // offers, so that the file opens again.
  if (o.sampleRate == 0) {
    if (pcm.nSamplesPerSec == 0) return ErrFormatUnusable;
    r.sampleRate = pcm.nSamplesPerSec;
  } else if (SetSampleRate(r, o.sampleRate) != kAccepted) {
    return ErrFormatUnusable;
  }
  return ErrNone;
}

// The decoded input on its way to the output's PCM: 8- or 16-bit samples in, the same out.
class PcmBridge {
 public:
  bool Init(const WAVEFORMATEX& in, const WAVEFORMATEX& out) {
    in_ = in;
    out_ = out;
    const auto bitsOk = [](const WAVEFORMATEX& f) {
      return f.wFormatTag == WAVE_FORMAT_PCM && (f.wBitsPerSample == 8 || f.wBitsPerSample == 16) &&
             f.nChannels > 0 && f.nBlockAlign == f.nChannels * f.wBitsPerSample / 8;
    };
    if (!bitsOk(in) || !bitsOk(out)) return false;
    direct_ = in.wBitsPerSample == out.wBitsPerSample && in.nChannels == out.nChannels &&
              in.nSamplesPerSec == out.nSamplesPerSec;
    resample_ = in.nSamplesPerSec != out.nSamplesPerSec;
    return !resample_ || resampler_.Init(in.nSamplesPerSec, out.nSamplesPerSec, out.nChannels);
  }

  // The output PCM for `bytes` of input (whole frames), or the rest at the end (`data` null).
  // The result stays valid until the next call.
  std::vector<uint8_t>& Convert(const uint8_t* data, uint32_t bytes) {
    bytesOut_.clear();
    if (direct_) {
      if (data != nullptr) bytesOut_.assign(data, data + bytes);
      return bytesOut_;
    }
    mapped_.clear();
    if (data != nullptr) {
      const size_t samples = bytes / (in_.wBitsPerSample / 8);
      wide_.resize(samples);
      if (in_.wBitsPerSample == 8) {
        for (size_t i = 0; i < samples; ++i) wide_[i] = static_cast<int16_t>((data[i] - 128) << 8);
      } else {
        std::memcpy(wide_.data(), data, samples * 2);
      }
      const size_t frames = samples / in_.nChannels;
      if (in_.nChannels == out_.nChannels) {
        mapped_.swap(wide_);
      } else {
        MapChannels(wide_.data(), frames, in_.nChannels, out_.nChannels, mapped_);
      }
    }
    const std::vector<int16_t>* samples = &mapped_;
    if (resample_) {
      resampled_.clear();
      if (data != nullptr) {
        resampler_.Process(mapped_.data(), mapped_.size() / out_.nChannels, resampled_);
      } else {
        resampler_.Finish(resampled_);
      }
      samples = &resampled_;
    }
    if (out_.wBitsPerSample == 16) {
      bytesOut_.resize(samples->size() * 2);
      std::memcpy(bytesOut_.data(), samples->data(), bytesOut_.size());
    } else {
      bytesOut_.resize(samples->size());
      for (size_t i = 0; i < samples->size(); ++i) {
        const int v = std::min(((*samples)[i] + 128) >> 8, 127);
        bytesOut_[i] = static_cast<uint8_t>(v + 128);
      }
    }
    return bytesOut_;
  }

 private:
  WAVEFORMATEX in_{}, out_{};
  bool direct_ = false, resample_ = false;
  Resampler resampler_;
  std::vector<int16_t> wide_, mapped_, resampled_;
  std::vector<uint8_t> bytesOut_;
};

// Stores `bytes` in the output as a run stores a filled device buffer.  False when the run
// ended (its code in stopReason).
bool Store(Recorder& r, std::vector<uint8_t>& bytes) {
  if (!bytes.empty()) StoreRecorded(r, bytes.data(), static_cast<uint32_t>(bytes.size()));
  return r.engineStage.load() == Capturing;
}

// The code of an output run that stopped.
uint16_t StopCode(const Recorder& r) {
  const uint16_t code = r.stopReason.load();
  return code == ErrNone ? static_cast<uint16_t>(ErrCaptureWrite) : code;
}

// Reads, converts and stores everything: ErrNone or the error.
uint16_t Pump(Recorder& in, Recorder& out, const VoxlConvertOptions& o) {
  const WAVEFORMATEX decoded = DeviceFormat(in.pcmFormat);
  const WAVEFORMATEX stored = DeviceFormat(out.pcmFormat);
  PcmBridge bridge;
  if (!bridge.Init(decoded, stored)) return ErrFormatUnusable;

  // A piece: whole frames, and room for whole conversion blocks of a compressed input.
  const uint32_t align = decoded.nBlockAlign;
  const uint32_t block = in.compressed != 0 ? in.pcmBlockBytes : 0;
  uint32_t pieceBytes = std::max(kPieceFrames * align, 4 * block);
  pieceBytes -= pieceBytes % align;
  std::vector<uint8_t> piece(pieceBytes);
  BeginPlaybackRead(in, pieceBytes);

  out.engineStage = Capturing;
  out.stopReason = ErrNone;
  if (!BeginStoring(out)) return ErrCaptureWrite;
  // A run that ends early skips EndStoring: the header copy of the size updates goes here.
  struct SizeUpdates {
    Recorder& r;
    ~SizeUpdates() { EndSizeUpdates(r); }
  } sizeUpdates{out};
  const double length = std::max<double>(in.length.load(), 1.0);
  bool ended = false;
  while (!ended) {
    uint32_t filled = 0;
    // An uncompressed input fills the piece at once; a decoder gives a block at a time.
    do {
      WAVEHDR header{};
      header.lpData = reinterpret_cast<LPSTR>(piece.data() + filled);
      header.dwBufferLength = pieceBytes - filled;
      const int32_t frames = ReadPlayBuffer(in, header);
      if (frames < 0) return ErrPlaybackRead;
      if (frames == 0) {
        ended = true;
        break;
      }
      filled += header.dwBufferLength;
    } while (block != 0 && filled + block <= pieceBytes);
    if (filled > 0 && !Store(out, bridge.Convert(piece.data(), filled))) return StopCode(out);
    if (o.progress != nullptr && !ended) {
      const double done = std::clamp(in.readPosition.load() / length, 0.0, 1.0);
      if (o.progress(done, o.progressContext) == FALSE) return ErrCancelled;
    }
  }
  if (!Store(out, bridge.Convert(nullptr, 0))) return StopCode(out);
  EndStoring(out);
  if (out.stopReason.load() != ErrNone) return StopCode(out);
  out.engineStage = Idle;
  return ErrNone;
}

}  // namespace

uint16_t ConvertFile(const char* input, const char* output, const VoxlConvertOptions& o) {
  if (!NameFits(input) || !NameFits(output)) return ErrFileOpen;
  FileRecorder in;
  uint16_t code = OpenInput(in.r, input, o);
  if (code != ErrNone) return code;
  // Never into the input itself, whatever names it; never over a device, FIFO or folder.
  if (IsSameFile(in.r.fileHandle, output)) return ErrSameFile;
  if (mmio::IsNoFile(output)) return ErrNotAFile;

  FileRecorder out;
  code = SetOutputFormat(out.r, o, DeviceFormat(in.r.pcmFormat));
  if (code != ErrNone) return code;

  // The recording grows under a temporary name in the output's folder: the unique name that
  // GetTempFileNameA claims (its file is private, mode 0600), with "~" behind it, so that the
  // recording is created as any new recording is, with the permissions new files get.
  char claimed[kNameBytes + MAX_PATH] = {};
  if (GetTempFileNameA(FolderOf(output).c_str(), "VOX", 0, claimed) == 0) return ErrFileOpen;
  const std::string temporary = std::string(claimed) + "~";
  const auto fail = [&](uint16_t error) {
    CloseConversionStreams(out.r);
    uint16_t ignored = ErrNone;
    if (out.r.state.load() > StateIdle) Close(out.r, &ignored);
    DeleteFileA(temporary.c_str());
    DeleteFileA(claimed);
    return error;
  };
  if (temporary.size() >= static_cast<size_t>(kNameBytes)) return fail(ErrFileOpen);
  {
    WideName wide(temporary.c_str());
    if (wide.bstr == nullptr) return fail(ErrFileOpen);
    NewRecording(out.r, wide.bstr, &code);
  }
  if (code != ErrNone) return fail(code);

  code = Pump(in.r, out.r, o);
  CloseConversionStreams(in.r);
  if (code != ErrNone) return fail(code);
  uint16_t closeError = ErrNone;
  Close(out.r, &closeError);
  if (closeError != ErrNone) return fail(closeError);
  if (!MoveFileExA(temporary.c_str(), output, MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED)) {
    return fail(ErrFileOpen);
  }
  DeleteFileA(claimed);
  if (o.progress != nullptr) o.progress(1.0, o.progressContext);
  return ErrNone;
}

}  // namespace voxl
