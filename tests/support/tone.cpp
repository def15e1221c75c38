#include "tone.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <numbers>

namespace voxl::test {
namespace {

constexpr double kFullScale = 32768.0;

double ToDbfs(double amplitude) {
  if (amplitude <= 0.0) return -std::numeric_limits<double>::infinity();
  return 20.0 * std::log10(amplitude / kFullScale);
}

// Frames [begin, end) of a channel.
struct FrameRange {
  size_t begin = 0;
  size_t end = 0;
  size_t size() const { return end - begin; }
};

double Mean(const ChannelView& view) {  // of a view with frames
  double sum = 0.0;
  for (size_t i = 0; i < view.frames; ++i) sum += view[i];
  return sum / static_cast<double>(view.frames);
}

}  // namespace

ChannelView ChannelView::Slice(size_t begin, size_t end) const {
  end = std::min(end, frames);
  begin = std::min(begin, end);
  ChannelView slice = *this;
  slice.samples = samples + begin * static_cast<size_t>(channels);
  slice.frames = end - begin;
  return slice;
}

ChannelView Channel(const std::vector<int16_t>& interleaved, int channels, int channel) {
  return {interleaved.data(), interleaved.size() / static_cast<size_t>(channels), channels,
          channel};
}

std::vector<int16_t> SamplesFromBytes(const std::vector<uint8_t>& bytes) {
  std::vector<int16_t> samples(bytes.size() / 2);
  std::memcpy(samples.data(), bytes.data(), samples.size() * 2);  // a little-endian machine
  return samples;
}

double EstimateFrequency(const ChannelView& view, double rate) {
  if (view.frames < 2 || rate <= 0.0) return 0.0;
  const double mean = Mean(view);
  double peak = 0.0;
  for (size_t i = 0; i < view.frames; ++i) peak = std::max(peak, std::abs(view[i] - mean));
  // Hysteresis: a crossing counts only after the signal went clearly negative, so noise near
  // zero cannot add crossings.
  const double arm = -0.1 * peak;
  bool armed = false;
  double first = -1.0, last = -1.0;
  size_t crossings = 0;
  for (size_t i = 1; i < view.frames; ++i) {
    const double prev = view[i - 1] - mean;
    const double cur = view[i] - mean;
    if (cur < arm) armed = true;
    if (armed && prev < 0.0 && cur >= 0.0) {
      const double at = static_cast<double>(i - 1) + prev / (prev - cur);
      if (crossings == 0) first = at;
      last = at;
      ++crossings;
      armed = false;
    }
  }
  if (crossings < 2 || last <= first) return 0.0;
  return static_cast<double>(crossings - 1) * rate / (last - first);
}

double PeakDbfs(const ChannelView& view) {
  double peak = 0.0;
  for (size_t i = 0; i < view.frames; ++i)
    peak = std::max(peak, std::abs(static_cast<double>(view[i])));
  return ToDbfs(peak);
}

// Goertzel, DC removed.
double ToneDbfs(const ChannelView& view, double frequency, double rate) {
  if (view.frames == 0 || rate <= 0.0) return ToDbfs(0.0);
  const double mean = Mean(view);
  const double w = 2.0 * std::numbers::pi * frequency / rate;
  const double coeff = 2.0 * std::cos(w);
  double s1 = 0.0, s2 = 0.0;
  for (size_t i = 0; i < view.frames; ++i) {
    const double s = (view[i] - mean) + coeff * s1 - s2;
    s2 = s1;
    s1 = s;
  }
  const double power = std::max(0.0, s1 * s1 + s2 * s2 - coeff * s1 * s2);
  return ToDbfs(2.0 * std::sqrt(power) / static_cast<double>(view.frames));
}

void ExpectToneStretches(const ChannelView& view, double rate, double hertz, size_t wholeFrames) {
  const double threshold = kFullScale * 0.1;
  const auto frames = [rate](double seconds) { return static_cast<size_t>(rate * seconds); };
  std::vector<FrameRange> stretches;
  for (size_t i = 0; i < view.frames; ++i) {
    if (std::abs(static_cast<double>(view[i])) < threshold) continue;
    if (stretches.empty() || i - stretches.back().end >= frames(0.002)) stretches.push_back({i, i});
    stretches.back().end = i + 1;
  }
  size_t sounding = 0, measured = 0;
  for (const FrameRange& s : stretches) sounding += s.size();
  ASSERT_GT(sounding, wholeFrames) << "the tone did not come back whole";
  if (stretches.size() > 1) {
    std::printf("note: the player fell behind: the tone came in %zu stretches\n", stretches.size());
  }
  for (size_t i = 0; i < stretches.size(); ++i) {
    const size_t begin = stretches[i].begin + (i == 0 ? frames(0.1) : frames(0.005));
    const size_t end = stretches[i].end - (i + 1 == stretches.size() ? frames(0.1) : frames(0.005));
    if (end < begin + frames(0.05)) continue;
    const ChannelView middle = view.Slice(begin, end);
    measured += middle.frames;
    EXPECT_NEAR(EstimateFrequency(middle, rate), hertz, hertz * 0.01) << "stretch " << i;
    EXPECT_NEAR(ToneDbfs(middle, hertz, rate), -6.0, 1.0) << "stretch " << i;
  }
  EXPECT_GT(measured, frames(0.5)) << "the tone came in too many short pieces to be measured";
}

std::vector<int16_t> MakeTone(double frequency, double peakDbfs, double rate, int channels,
                              size_t frames) {
  const double amplitude = std::min(32767.0, kFullScale * std::pow(10.0, peakDbfs / 20.0));
  const size_t width = static_cast<size_t>(std::max(channels, 1));
  std::vector<int16_t> samples(frames * width);
  for (size_t n = 0; n < frames; ++n) {
    const double value =
        amplitude * std::sin(2.0 * std::numbers::pi * frequency * static_cast<double>(n) / rate);
    const auto sample = static_cast<int16_t>(std::lround(value));
    for (size_t c = 0; c < width; ++c) samples[n * width + c] = sample;
  }
  return samples;
}

}  // namespace voxl::test
