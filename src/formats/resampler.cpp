// The windowed-sinc resampler and the channel mapping of file conversion.
//
// Output frame k stands at input time t = k x in/out.  Its samples are the input around t
// weighted by the kernel h(d) = 2 fc sinc(2 fc d) w(d / half), d = t - n, with the cutoff fc at
// 0.95 of the lower rate's Nyquist frequency and w a Kaiser window over `half` input samples on
// each side.  The table holds h for every fraction of t the ratio gives (each row scaled to a sum
// of 1, so a constant stays exactly constant); the input is kept per channel as floats.
#include "formats/resampler.h"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace voxl {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kBeta = 10.0;          // Kaiser window: about 100 dB of stopband attenuation
constexpr double kCutoff = 0.95;        // of the lower rate's Nyquist frequency
constexpr double kHalfLowSamples = 65;  // half the filter, in samples of the lower rate

// The modified Bessel function of the first kind, order 0 (its series converges fast here).
double BesselI0(double x) {
  double sum = 1.0, term = 1.0;
  for (int k = 1; k < 64; ++k) {
    term *= (x / (2.0 * k)) * (x / (2.0 * k));
    sum += term;
    if (term < sum * 1e-17) break;
  }
  return sum;
}

float Dot(const float* a, const float* b, size_t n) {
  float s0 = 0, s1 = 0, s2 = 0, s3 = 0;
  size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    s0 += a[i] * b[i];
    s1 += a[i + 1] * b[i + 1];
    s2 += a[i + 2] * b[i + 2];
    s3 += a[i + 3] * b[i + 3];
  }
  for (; i < n; ++i) s0 += a[i] * b[i];
  return (s0 + s1) + (s2 + s3);
}

int16_t ToSample(float v) {
  const long s = std::lrint(v);
  return static_cast<int16_t>(std::clamp<long>(s, -32768, 32767));
}

}  // namespace

bool Resampler::Init(uint32_t inRate, uint32_t outRate, uint16_t channels) {
  if (inRate == 0 || outRate == 0 || channels == 0) return false;
  const uint64_t g = std::gcd(uint64_t{inRate}, uint64_t{outRate});
  up_ = outRate / g;
  down_ = inRate / g;
  channels_ = channels;
  const double ratio = std::min(1.0, static_cast<double>(outRate) / inRate);
  const double fc = kCutoff * 0.5 * ratio;  // cycles per input sample
  half_ = static_cast<uint32_t>(std::ceil(kHalfLowSamples / ratio));
  interpolate_ = up_ > kExactPhases;
  phases_ = interpolate_ ? kExactPhases : static_cast<uint32_t>(up_);
  const uint32_t rows = phases_ + (interpolate_ ? 1 : 0);
  const uint32_t taps = 2 * half_;
  table_.assign(size_t{rows} * taps, 0.0f);
  const double i0Beta = BesselI0(kBeta);
  for (uint32_t p = 0; p < rows; ++p) {
    const double f = static_cast<double>(p) / phases_;
    float* row = &table_[size_t{p} * taps];
    double sum = 0.0;
    std::vector<double> h(taps);
    for (uint32_t j = 0; j < taps; ++j) {
      const double d = f + half_ - 1.0 - j;
      const double x = d / half_;
      const double window =
          std::abs(x) >= 1.0 ? 0.0 : BesselI0(kBeta * std::sqrt(1 - x * x)) / i0Beta;
      const double arg = 2.0 * fc * d;
      const double sinc = std::abs(arg) < 1e-12 ? 1.0 : std::sin(kPi * arg) / (kPi * arg);
      h[j] = 2.0 * fc * sinc * window;
      sum += h[j];
    }
    for (uint32_t j = 0; j < taps; ++j) row[j] = static_cast<float>(h[j] / sum);
  }
  // The first output stands at input 0: the half before it is silence.
  history_.assign(size_t{channels_} * (half_ - 1), 0.0f);
  held_ = half_ - 1;
  start_ = -static_cast<int64_t>(half_ - 1);
  inFrames_ = outFrames_ = base_ = phase_ = 0;
  scratch_.assign(taps, 0.0f);
  return true;
}

void Resampler::Process(const int16_t* in, size_t frames, std::vector<int16_t>& out) {
  Append(in, frames);
  inFrames_ += frames;
  Produce(out, false);
}

void Resampler::Append(const int16_t* in, size_t frames) {
  // history_ holds each channel's samples in a run of its own: channel c at c * held_.
  std::vector<float> grown(size_t{channels_} * (held_ + frames));
  for (uint16_t c = 0; c < channels_; ++c) {
    float* to = &grown[c * (held_ + frames)];
    std::copy_n(&history_[c * held_], held_, to);
    for (size_t i = 0; i < frames; ++i) to[held_ + i] = in[i * channels_ + c];
  }
  history_.swap(grown);
  held_ += frames;
}

void Resampler::Finish(std::vector<int16_t>& out) {
  // Silence behind the input completes the last frames' filters.
  std::vector<int16_t> zeros(size_t{half_ + 1} * channels_, 0);
  Append(zeros.data(), half_ + 1);
  Produce(out, true);
}

void Resampler::Produce(std::vector<int16_t>& out, bool end) {
  const uint32_t taps = 2 * half_;
  const uint64_t total = (inFrames_ * up_ + down_ - 1) / down_;
  for (;;) {
    if (end && outFrames_ >= total) break;
    const int64_t last = static_cast<int64_t>(base_) + half_;
    if (last >= start_ + static_cast<int64_t>(held_)) break;
    const float* row;
    if (!interpolate_) {
      row = &table_[phase_ * taps];
    } else {
      const double position = static_cast<double>(phase_) / up_ * phases_;
      const auto i0 = std::min<uint32_t>(static_cast<uint32_t>(position), phases_ - 1);
      const auto w = static_cast<float>(position - i0);
      const float* a = &table_[size_t{i0} * taps];
      const float* b = a + taps;
      for (uint32_t j = 0; j < taps; ++j) scratch_[j] = a[j] + w * (b[j] - a[j]);
      row = scratch_.data();
    }
    const size_t first = static_cast<size_t>(static_cast<int64_t>(base_) - half_ + 1 - start_);
    for (uint16_t c = 0; c < channels_; ++c) {
      out.push_back(ToSample(Dot(&history_[c * held_ + first], row, taps)));
    }
    ++outFrames_;
    phase_ += down_;
    base_ += phase_ / up_;
    phase_ %= up_;
  }
  // What no later output reaches goes.
  const int64_t keepFrom = static_cast<int64_t>(base_) - half_ + 1;
  const auto drop = static_cast<size_t>(std::clamp<int64_t>(keepFrom - start_, 0, held_));
  if (drop == 0) return;
  const size_t kept = held_ - drop;
  for (uint16_t c = 0; c < channels_; ++c) {
    std::copy_n(&history_[c * held_ + drop], kept, &history_[c * kept]);
  }
  history_.resize(size_t{channels_} * kept);
  held_ = kept;
  start_ += static_cast<int64_t>(drop);
}

void MapChannels(const int16_t* in, size_t frames, uint16_t inChannels, uint16_t outChannels,
                 std::vector<int16_t>& out) {
  const size_t at = out.size();
  out.resize(at + frames * outChannels);
  int16_t* to = &out[at];
  if (inChannels <= outChannels) {
    for (size_t f = 0; f < frames; ++f) {
      for (uint16_t c = 0; c < outChannels; ++c) to[c] = in[c % inChannels];
      in += inChannels;
      to += outChannels;
    }
    return;
  }
  for (size_t f = 0; f < frames; ++f) {
    for (uint16_t c = 0; c < outChannels; ++c) {
      int32_t sum = 0;
      int count = 0;
      for (uint16_t i = c; i < inChannels; i += outChannels, ++count) sum += in[i];
      // The mean, rounded half away from zero.
      to[c] =
          static_cast<int16_t>(sum >= 0 ? (sum + count / 2) / count : (sum - count / 2) / count);
    }
    in += inChannels;
    to += outChannels;
  }
}

}  // namespace voxl
