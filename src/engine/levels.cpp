// The level meter and the silence detector (engine thread).
//
// Each device buffer is measured in one pass: per channel the smallest and largest sample.  The
// largest square is the square of whichever has the larger magnitude, and a channel clipped when
// either lies beyond the clip bounds, so the loop needs neither a multiplication nor a branch
// per sample and the compiler vectorises it; the decibel level is one log10 per channel.
#include "engine/levels.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "engine/engine.h"

namespace voxl {
namespace {

constexpr int16_t kClipHold = 10;  // measurements a clip stays indicated

// Sample layouts of the device side.
enum class Layout { Signed16, Unsigned8, None };

Layout LayoutOf(const WAVEFORMATEX& format) {
  if (format.wFormatTag == WAVE_FORMAT_ALAW || format.wFormatTag == WAVE_FORMAT_MULAW) {
    return Layout::Signed16;  // the device side of a G.711 recording is 16-bit PCM
  }
  if (format.wBitsPerSample == 8) return Layout::Unsigned8;
  if (format.wBitsPerSample == 16) return Layout::Signed16;
  return Layout::None;
}

// Smallest and largest sample value of one channel, as centred integers.
struct Extremes {
  int32_t low = 0;
  int32_t high = 0;
};

// Clip bounds and the scale of the squared normalised sample for one layout.
struct Scale {
  int32_t clip;      // |x| above this clips
  double squareOne;  // x^2 * squareOne = (x / full scale)^2
};

constexpr Scale kScale16{30000, 1.0 / 1073741824.0};  // 2^-30
constexpr Scale kScale8{115, 1.0 / 16384.0};

template <typename Sample, int kChannels>
void ScanFrames(const Sample* samples, int32_t frames, Extremes* out) {
  // Local accumulators so the compiler keeps them in registers; 8-bit samples are unsigned
  // bytes centred on 128, compared before centring.
  Sample low[kChannels];
  Sample high[kChannels];
  for (int c = 0; c < kChannels; ++c) low[c] = high[c] = samples[c];
  for (int32_t i = 0; i < frames; ++i) {
    for (int c = 0; c < kChannels; ++c) {
      const Sample x = samples[i * kChannels + c];
      low[c] = std::min(low[c], x);
      high[c] = std::max(high[c], x);
    }
  }
  const int32_t centre = sizeof(Sample) == 1 ? 128 : 0;
  for (int c = 0; c < kChannels; ++c) {
    out[c].low = static_cast<int32_t>(low[c]) - centre;
    out[c].high = static_cast<int32_t>(high[c]) - centre;
  }
}

// Folds one channel's extremes into its peak and clip hold.
void Apply(const Extremes& e, const Scale& scale, double& peak, std::atomic<int16_t>& clipHold) {
  if (e.high > scale.clip || e.low < -scale.clip) clipHold = kClipHold;
  const int64_t magnitude = std::max<int64_t>(e.high, -static_cast<int64_t>(e.low));
  const double p = static_cast<double>(magnitude * magnitude) * scale.squareOne;
  if (p > peak) peak = p;
}

uint32_t TakeClip(std::atomic<int16_t>& clipHold) {
  const int16_t hold = clipHold;
  if (hold <= 0) return 0;
  clipHold = static_cast<int16_t>(hold - 1);
  return 1;
}

float LevelOf(double peak) {
  return peak > 0.0 ? static_cast<float>(10.0 * std::log10(peak)) : kNoLevel;
}

// Sets silent and posts notification 6 when it changes.
void SetSilent(Recorder& r, uint16_t value) {
  r.silent = value;
  PostNotification(r, NotifySilenceChanged, 0);
}

void DetectSilence(Recorder& r, uint16_t channels) {
  uint16_t mode = r.silenceMode;
  if (channels == 1 && mode > 1) mode = 1;
  if (mode < 1 || mode > 3 || (mode >= 2 && channels < 2)) return;
  const float sound = r.soundThreshold;
  const float quiet = r.silenceThreshold;
  const float left = r.levelLeft;
  const float right = r.levelRight;
  // A watched level at or above a threshold; with both watched, right is tested first.
  auto reaches = [&](float threshold) {
    switch (mode) {
      case 1:
        return left >= threshold;
      case 2:
        return right >= threshold;
      default:
        return right >= threshold || left >= threshold;
    }
  };
  if (reaches(sound)) {
    r.silenceCountdown = 0;
    if (r.silent == 1) SetSilent(r, 0);
  } else if (reaches(quiet)) {
    r.silenceCountdown = 0;
  } else if (r.silent == 0) {
    const uint16_t countdown = r.silenceCountdown;
    if (countdown == 0) {
      r.silenceCountdown = r.silenceHold.load();
    } else {
      r.silenceCountdown = static_cast<uint16_t>(countdown - 1);
      if (countdown == 1) SetSilent(r, 1);
    }
  }
}

}  // namespace

void ResetLevels(Recorder& r) {
  r.levelLeft = -100.0f;
  r.levelRight = -100.0f;
  r.clipLeft = 0;
  r.clipRight = 0;
  r.peakLeft = 0.0;
  r.peakRight = 0.0;
  r.clipHoldLeft = 0;
  r.clipHoldRight = 0;
}

void MeasureLevels(Recorder& r, const WAVEHDR& header, int32_t frames) {
  const WAVEFORMATEX& format = r.pcmFormat;
  const Layout layout = LayoutOf(format);
  const uint16_t channels = format.nChannels;
  if (layout != Layout::None) {
    r.peakLeft = 0.0;
    r.peakRight = 0.0;
    const uint32_t sampleBytes = layout == Layout::Signed16 ? 2 : 1;
    // Never read past the buffer, whatever the caller asked for.
    int32_t available = 0;
    if (header.lpData != nullptr && (channels == 1 || channels == 2)) {
      available = static_cast<int32_t>(
          std::min<uint32_t>(header.dwBufferLength / (sampleBytes * channels), INT32_MAX));
    }
    const int32_t n = std::clamp(frames, 0, available);
    if (n > 0) {
      Extremes e[2];
      const Scale& scale = layout == Layout::Signed16 ? kScale16 : kScale8;
      if (layout == Layout::Signed16) {
        const auto* s = reinterpret_cast<const int16_t*>(header.lpData);
        if (channels == 1) {
          ScanFrames<int16_t, 1>(s, n, e);
        } else {
          ScanFrames<int16_t, 2>(s, n, e);
        }
      } else {
        const auto* s = reinterpret_cast<const uint8_t*>(header.lpData);
        if (channels == 1) {
          ScanFrames<uint8_t, 1>(s, n, e);
        } else {
          ScanFrames<uint8_t, 2>(s, n, e);
        }
      }
      Apply(e[0], scale, r.peakLeft, r.clipHoldLeft);
      if (channels == 2) Apply(e[1], scale, r.peakRight, r.clipHoldRight);
    }
  }
  r.clipLeft = TakeClip(r.clipHoldLeft);
  r.clipRight = TakeClip(r.clipHoldRight);
  r.levelLeft = LevelOf(r.peakLeft);
  r.levelRight = LevelOf(r.peakRight);
  DetectSilence(r, channels);
  PostNotification(r, NotifyLevels, static_cast<LPARAM>(r.run.load()));
}

void ReadLevels(const Recorder& r, float* levelLeft, uint16_t* clipLeft, float* levelRight,
                uint16_t* clipRight) {
  const uint16_t state = r.state.load();
  if (state != StateRecording && state != StatePlaying) {
    *levelLeft = 0.0f;
    *clipLeft = 0;
    *levelRight = 0.0f;
    *clipRight = 0;
    return;
  }
  *levelLeft = r.levelLeft.load();
  *clipLeft = static_cast<uint16_t>(r.clipLeft.load());
  if (r.channels == 1) {
    *levelRight = *levelLeft;
    *clipRight = *clipLeft;
  } else {
    *levelRight = r.levelRight.load();
    *clipRight = static_cast<uint16_t>(r.clipRight.load());
  }
}

uint32_t SetSilenceHold(Recorder& r, int16_t measurements) {
  if (measurements < 0) return kRefused;
  r.silenceHold = static_cast<uint16_t>(measurements);
  return kAccepted;
}

// Both refuse not-a-number (every comparison with it is false).
uint32_t SetSilenceThreshold(Recorder& r, float dB) {
  if (!(dB <= 0.0f)) return kRefused;
  r.silenceThreshold = dB;
  return kAccepted;
}

uint32_t SetSoundThreshold(Recorder& r, float dB) {
  if (!(dB <= 0.0f)) return kRefused;
  r.soundThreshold = dB;
  return kAccepted;
}

uint32_t SetSilenceMode(Recorder& r, int16_t mode) {
  if (r.state.load() == StateRecording || mode < 0 || mode > 3) return kRefused;
  r.silenceMode = static_cast<uint16_t>(mode);
  return kAccepted;
}

uint32_t SetMeterOption(Recorder& r, uint16_t option) {
  if (option > 1) return kRefused;
  r.meterOption = option;
  return kAccepted;
}

uint32_t SetMeterStyle(Recorder& r, int16_t style) {
  if (style < 0 || style > 3) return kRefused;
  r.meterStyle = static_cast<uint16_t>(style);
  return kAccepted;
}

uint32_t SetMeterSegments(Recorder& r, int16_t segments) {
  if (segments < 1 || segments > 20) return kRefused;
  r.meterSegments = static_cast<uint16_t>(segments);
  return kAccepted;
}

}  // namespace voxl
