// Signals of the virtual input devices.  The WAVE reader walks the RIFF chunks with 64-bit
// offsets, takes the first "fmt " chunk, clamps the data chunk to the bytes present and reads
// whole frames only, so a damaged file gives less audio, never a bad read.
#include "platform/wave/virtual/virtual_signal.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <numbers>
#include <optional>
#include <string_view>

namespace voxl::virtualaudio {
namespace {

// Largest data chunk taken from a microphone file (bytes); longer files are cut there.
constexpr uint64_t kMaxFileData = uint64_t{1} << 30;

uint32_t Le32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}
uint16_t Le16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | p[1] << 8);
}

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};

// A sample of the file as a 16-bit value.
int ReadSample(const uint8_t* p, int bits) {
  return bits == 16 ? static_cast<int16_t>(Le16(p)) : (int{p[0]} - 128) * 256;
}

void WriteSample(uint8_t* p, int bits, int value) {
  if (bits == 16) {
    const auto v = static_cast<uint16_t>(static_cast<int16_t>(value));
    p[0] = static_cast<uint8_t>(v & 0xFF);
    p[1] = static_cast<uint8_t>(v >> 8);
  } else {
    p[0] = static_cast<uint8_t>(std::clamp((value >> 8) + 128, 0, 255));
  }
}

uint8_t SilenceByte(const WAVEFORMATEX& format) {
  return format.wBitsPerSample == 8 ? 128 : 0;
}

// A whole field of decimal text as a finite number (the same in every locale).
std::optional<double> ParseNumber(std::string_view text) {
  double value = 0.0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc{} || end != text.data() + text.size() || !std::isfinite(value)) {
    return std::nullopt;
  }
  return value;
}

constexpr double kDefaultToneHz = 440.0;
constexpr double kDefaultToneDbfs = -12.0;

}  // namespace

Signal ParseInputSetting(const char* text) {
  const Signal silence;
  if (text == nullptr) return silence;
  const std::string_view setting(text);
  if (setting.starts_with("file:")) {
    if (setting.size() == 5) return silence;
    Signal file;
    file.kind = Signal::Kind::File;
    file.path = std::string(setting.substr(5));
    return file;
  }
  if (setting != "tone" && !setting.starts_with("tone:")) return silence;
  double hertz = kDefaultToneHz;
  double dbfs = kDefaultToneDbfs;
  if (setting.size() > 4) {
    std::string_view rest = setting.substr(5);
    const size_t colon = rest.find(':');
    const std::optional<double> f = ParseNumber(rest.substr(0, colon));
    if (!f || *f <= 0.0) return silence;
    hertz = *f;
    if (colon != std::string_view::npos) {
      const std::optional<double> level = ParseNumber(rest.substr(colon + 1));
      if (!level || *level > 0.0) return silence;
      dbfs = *level;
    }
  }
  Signal tone;
  tone.kind = Signal::Kind::Sine;
  for (int c = 0; c < 2; ++c) {
    tone.frequency[c] = hertz;
    tone.amplitude[c] = std::pow(10.0, dbfs / 20.0);
  }
  return tone;
}

int SampleValue(const Signal& signal, const WAVEFORMATEX& format, uint64_t frame, int channel) {
  const bool eight = format.wBitsPerSample == 8;
  if (signal.kind != Signal::Kind::Sine || format.nSamplesPerSec == 0) return eight ? 128 : 0;
  const int c = std::clamp(channel, 0, 1);
  const double t = static_cast<double>(frame) / format.nSamplesPerSec;
  const double v = signal.amplitude[c] *
                   std::sin(2.0 * std::numbers::pi * signal.frequency[c] * t + signal.phase[c]);
  if (eight) return static_cast<int>(std::clamp(128L + std::lround(v * 127.0), 0L, 255L));
  return static_cast<int>(std::clamp(std::lround(v * 32767.0), -32768L, 32767L));
}

MMRESULT LoadFileSignal(const std::string& path, const WAVEFORMATEX& format, FileAudio* audio) {
  std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
  if (!file) return MMSYSERR_ERROR;
  std::FILE* f = file.get();
  if (std::fseek(f, 0, SEEK_END) != 0) return MMSYSERR_ERROR;
  const long endPos = std::ftell(f);
  if (endPos < 0) return MMSYSERR_ERROR;
  const auto fileSize = static_cast<uint64_t>(endPos);
  uint8_t head[12];
  if (std::fseek(f, 0, SEEK_SET) != 0 || std::fread(head, 1, 12, f) != 12 ||
      std::memcmp(head, "RIFF", 4) != 0 || std::memcmp(head + 8, "WAVE", 4) != 0) {
    return WAVERR_BADFORMAT;
  }

  bool haveFmt = false;
  uint16_t tag = 0, channels = 0, align = 0, bits = 0;
  uint32_t rate = 0;
  uint64_t dataOffset = 0, dataSize = 0;
  bool haveData = false;
  uint64_t pos = 12;
  while (pos + 8 <= fileSize) {
    uint8_t chunk[8];
    if (std::fseek(f, static_cast<long>(pos), SEEK_SET) != 0 || std::fread(chunk, 1, 8, f) != 8) {
      break;
    }
    const uint64_t size = Le32(chunk + 4);
    const uint64_t body = pos + 8;
    if (std::memcmp(chunk, "fmt ", 4) == 0 && !haveFmt) {
      uint8_t fmt[16];
      if (size < 16 || std::fread(fmt, 1, 16, f) != 16) return WAVERR_BADFORMAT;
      tag = Le16(fmt);
      channels = Le16(fmt + 2);
      rate = Le32(fmt + 4);
      align = Le16(fmt + 12);
      bits = Le16(fmt + 14);
      haveFmt = true;
    } else if (std::memcmp(chunk, "data", 4) == 0 && !haveData) {
      dataOffset = body;
      dataSize = std::min(size, fileSize - body);
      haveData = true;
    }
    pos = body + size + (size & 1);
  }
  if (!haveFmt || !haveData || tag != WAVE_FORMAT_PCM || (bits != 8 && bits != 16) ||
      channels < 1 || channels > 2 || align != channels * bits / 8) {
    return WAVERR_BADFORMAT;
  }
  if (rate != format.nSamplesPerSec) return WAVERR_BADFORMAT;
  if (audio == nullptr) return MMSYSERR_NOERROR;

  dataSize = std::min(dataSize, kMaxFileData);
  const size_t frames = static_cast<size_t>(dataSize / align);
  std::vector<uint8_t> raw(frames * align);
  if (std::fseek(f, static_cast<long>(dataOffset), SEEK_SET) != 0 ||
      std::fread(raw.data(), 1, raw.size(), f) != raw.size()) {
    return MMSYSERR_ERROR;
  }
  const int outBits = format.wBitsPerSample;
  const int outBytes = outBits / 8;
  audio->frames = frames;
  audio->bytes.assign(frames * format.nBlockAlign, 0);
  for (size_t i = 0; i < frames; ++i) {
    const uint8_t* in = raw.data() + i * align;
    int left = ReadSample(in, bits);
    int right = channels == 2 ? ReadSample(in + bits / 8, bits) : left;
    uint8_t* out = audio->bytes.data() + i * format.nBlockAlign;
    if (format.nChannels == 1) {
      WriteSample(out, outBits, (left + right) / 2);
    } else {
      WriteSample(out, outBits, left);
      WriteSample(out + outBytes, outBits, right);
    }
  }
  return MMSYSERR_NOERROR;
}

void GenerateSignal(const Signal& signal, const FileAudio& file, const WAVEFORMATEX& format,
                    uint64_t frame, uint8_t* data, size_t bytes) {
  const size_t block = format.nBlockAlign;
  const size_t frames = bytes / block;
  switch (signal.kind) {
    case Signal::Kind::Silence:
      std::memset(data, SilenceByte(format), bytes);
      return;
    case Signal::Kind::Callback:
      if (signal.fill) {
        signal.fill(format, frame, data, bytes);
      } else {
        std::memset(data, SilenceByte(format), bytes);
      }
      return;
    case Signal::Kind::File:
      for (size_t i = 0; i < frames; ++i) {
        uint64_t n = frame + i;
        uint8_t* out = data + i * block;
        if (file.frames > 0 && signal.loop) n %= file.frames;
        if (n < file.frames) {
          std::memcpy(out, file.bytes.data() + n * block, block);
        } else {
          std::memset(out, SilenceByte(format), block);
        }
      }
      return;
    case Signal::Kind::Sine:
      for (size_t i = 0; i < frames; ++i) {
        for (int c = 0; c < format.nChannels; ++c) {
          WriteSample(data + i * block + c * (format.wBitsPerSample / 8), format.wBitsPerSample,
                      format.wBitsPerSample == 16
                          ? SampleValue(signal, format, frame + i, c)
                          : (SampleValue(signal, format, frame + i, c) - 128) * 256);
        }
      }
      return;
  }
}

}  // namespace voxl::virtualaudio
