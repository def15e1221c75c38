// The level meter and the silence detector (engine thread).
//
// Each device buffer is measured in one pass: per channel the smallest and largest sample.  The
// largest square is the square of whichever has the larger magnitude, and a channel clipped when
// either lies beyond the clip bounds, so the loop needs neither a multiplication nor a branch
// per sample; the decibel level is one log10 per channel.
//
// Where SSE2 is there (every x86-64 machine) the pass takes whole 16-byte vectors of interleaved
// samples (32-byte ones on x86-64 processors with AVX2, chosen at run time) and keeps the
// extremes per lane; since a vector holds an even number of samples, lane k only ever sees
// channel k % channels, so the channels are told apart once, when the lanes are folded at the
// end, instead of de-interleaving every vector.  The samples after the last whole vector, and
// every sample on other machines (the 32-bit build without SSE2), go through the plain loop.
// Minimum and maximum are exact, so every path gives the same levels bit for bit.
#include "engine/levels.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <cpuid.h>
#include <immintrin.h>
#define VOXL_LEVELS_AVX2 1
#endif

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

#if defined(__SSE2__)
// Per-lane minimum and maximum of 16-bit signed or 8-bit unsigned samples.
inline __m128i LaneMin(__m128i a, __m128i b, int16_t) {
  return _mm_min_epi16(a, b);
}
inline __m128i LaneMax(__m128i a, __m128i b, int16_t) {
  return _mm_max_epi16(a, b);
}
inline __m128i LaneMin(__m128i a, __m128i b, uint8_t) {
  return _mm_min_epu8(a, b);
}
inline __m128i LaneMax(__m128i a, __m128i b, uint8_t) {
  return _mm_max_epu8(a, b);
}
inline __m128i Splat(int16_t v) {
  return _mm_set1_epi16(v);
}
inline __m128i Splat(uint8_t v) {
  return _mm_set1_epi8(static_cast<char>(v));
}

// The extremes of each lane over the whole vectors at the start of `samples` (`count` samples)
// into low and high (16 bytes each); returns the samples covered, a multiple of the lane count.
// Two pairs of accumulators, so consecutive vectors do not wait on each other.
template <typename Sample>
size_t ScanVectors(const Sample* samples, size_t count, Sample* low, Sample* high) {
  constexpr size_t kLanes = 16 / sizeof(Sample);
  const Sample tag{};
  __m128i low0 = Splat(std::numeric_limits<Sample>::max());
  __m128i high0 = Splat(std::numeric_limits<Sample>::min());
  __m128i low1 = low0;
  __m128i high1 = high0;
  const auto load = [samples](size_t i) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(samples + i));
    // Held in a register: both the minimum and the maximum use it, and the compiler would
    // otherwise read the memory twice.
    __asm__("" : "+x"(v));
    return v;
  };
  size_t i = 0;
  for (; i + 4 * kLanes <= count; i += 4 * kLanes) {
    const __m128i a = load(i);
    const __m128i b = load(i + kLanes);
    const __m128i c = load(i + 2 * kLanes);
    const __m128i d = load(i + 3 * kLanes);
    low0 = LaneMin(low0, LaneMin(a, b, tag), tag);
    high0 = LaneMax(high0, LaneMax(a, b, tag), tag);
    low1 = LaneMin(low1, LaneMin(c, d, tag), tag);
    high1 = LaneMax(high1, LaneMax(c, d, tag), tag);
  }
  for (; i + kLanes <= count; i += kLanes) {
    const __m128i a = load(i);
    low0 = LaneMin(low0, a, tag);
    high0 = LaneMax(high0, a, tag);
  }
  _mm_storeu_si128(reinterpret_cast<__m128i*>(low), LaneMin(low0, low1, tag));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(high), LaneMax(high0, high1, tag));
  return i;
}
#endif

#if defined(VOXL_LEVELS_AVX2)
// The same over 32-byte vectors, for processors with AVX2 (chosen at run time): the lanes of
// both 16-byte halves fold into one 16-byte result, so lane k still sees only sample k % lanes.
__attribute__((target("avx2"))) inline __m256i WideMin(__m256i a, __m256i b, int16_t) {
  return _mm256_min_epi16(a, b);
}
__attribute__((target("avx2"))) inline __m256i WideMax(__m256i a, __m256i b, int16_t) {
  return _mm256_max_epi16(a, b);
}
__attribute__((target("avx2"))) inline __m256i WideMin(__m256i a, __m256i b, uint8_t) {
  return _mm256_min_epu8(a, b);
}
__attribute__((target("avx2"))) inline __m256i WideMax(__m256i a, __m256i b, uint8_t) {
  return _mm256_max_epu8(a, b);
}

template <typename Sample>
__attribute__((target("avx2"))) size_t ScanWideVectors(const Sample* samples, size_t count,
                                                       Sample* low, Sample* high) {
  constexpr size_t kLanes = 32 / sizeof(Sample);
  const Sample tag{};
  __m256i low0 = sizeof(Sample) == 2 ? _mm256_set1_epi16(std::numeric_limits<Sample>::max())
                                     : _mm256_set1_epi8(static_cast<char>(0xFF));
  __m256i high0 = sizeof(Sample) == 2 ? _mm256_set1_epi16(std::numeric_limits<Sample>::min())
                                      : _mm256_setzero_si256();
  __m256i low1 = low0;
  __m256i high1 = high0;
  const auto load = [samples](size_t i) __attribute__((target("avx2"))) {
    __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(samples + i));
    // Held in a register: both the minimum and the maximum use it, and the compiler would
    // otherwise read the memory twice.
    __asm__("" : "+x"(v));
    return v;
  };
  size_t i = 0;
  for (; i + 4 * kLanes <= count; i += 4 * kLanes) {
    const __m256i a = load(i);
    const __m256i b = load(i + kLanes);
    const __m256i c = load(i + 2 * kLanes);
    const __m256i d = load(i + 3 * kLanes);
    low0 = WideMin(low0, WideMin(a, b, tag), tag);
    high0 = WideMax(high0, WideMax(a, b, tag), tag);
    low1 = WideMin(low1, WideMin(c, d, tag), tag);
    high1 = WideMax(high1, WideMax(c, d, tag), tag);
  }
  for (; i + kLanes <= count; i += kLanes) {
    const __m256i a = load(i);
    low0 = WideMin(low0, a, tag);
    high0 = WideMax(high0, a, tag);
  }
  low0 = WideMin(low0, low1, tag);
  high0 = WideMax(high0, high1, tag);
  const __m128i lowHalves =
      LaneMin(_mm256_castsi256_si128(low0), _mm256_extracti128_si256(low0, 1), tag);
  const __m128i highHalves =
      LaneMax(_mm256_castsi256_si128(high0), _mm256_extracti128_si256(high0, 1), tag);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(low), lowHalves);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(high), highHalves);
  return i;
}

// Whether the processor and the system both support AVX2: the processor has it and the system
// saves the 256-bit registers (OSXSAVE, and XCR0 holds the SSE and AVX state).  Asked on the
// first scan, not at load: a processor query traps to the host under a hypervisor, and most
// programs that load the library (voxl info, cut, compact) never meter a buffer.
bool HasAvx2() {
  static const bool has = [] {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) return false;
    const bool avx = (ecx & bit_OSXSAVE) != 0 && (ecx & bit_AVX) != 0;
    if (!avx) return false;
    unsigned low = 0, high = 0;
    __asm__("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
    if ((low & 6u) != 6u) return false;
    return __get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) != 0 && (ebx & bit_AVX2) != 0;
  }();
  return has;
}
// Whether the 32-byte scan may be used; a test turns it off to check the 16-byte one.
std::atomic<bool> useWide{true};
#endif

template <typename Sample, int kChannels>
void ScanFrames(const Sample* samples, int32_t frames, Extremes* out) {
  // Local accumulators so the compiler keeps them in registers; 8-bit samples are unsigned
  // bytes centred on 128, compared before centring.  frames > 0, so every channel meets at
  // least one sample and the starting values never survive.
  Sample low[kChannels];
  Sample high[kChannels];
  for (int c = 0; c < kChannels; ++c) {
    low[c] = std::numeric_limits<Sample>::max();
    high[c] = std::numeric_limits<Sample>::min();
  }
  int32_t first = 0;  // the first frame the plain loop takes
#if defined(__SSE2__)
  constexpr size_t kLanes = 16 / sizeof(Sample);
  static_assert(kLanes % kChannels == 0, "a vector holds whole frames");
  Sample laneLow[kLanes];
  Sample laneHigh[kLanes];
  const size_t count = static_cast<size_t>(frames) * kChannels;
#if defined(VOXL_LEVELS_AVX2)
  const size_t covered = useWide.load(std::memory_order_relaxed) && HasAvx2()
                             ? ScanWideVectors(samples, count, laneLow, laneHigh)
                             : ScanVectors(samples, count, laneLow, laneHigh);
#else
  const size_t covered = ScanVectors(samples, count, laneLow, laneHigh);
#endif
  for (size_t k = 0; k < kLanes; ++k) {
    low[k % kChannels] = std::min(low[k % kChannels], laneLow[k]);
    high[k % kChannels] = std::max(high[k % kChannels], laneHigh[k]);
  }
  first = static_cast<int32_t>(covered / kChannels);
#endif
  for (int32_t i = first; i < frames; ++i) {
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

bool UseWideLevelScanForTesting(bool on) {
#if defined(VOXL_LEVELS_AVX2)
  useWide = on && HasAvx2();
  return useWide;
#else
  (void)on;
  return false;
#endif
}

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
