// The tone analysis that the real-device tests rely on, checked against generated signals.
#include "support/tone.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

namespace voxl::test {
namespace {

struct FrequencyCase {
  double frequency;
  double rate;
};

class ToneFrequencyTest : public ::testing::TestWithParam<FrequencyCase> {};

// A tone with a DC offset and noise at -40 dB below it still reads within 0.1%.
TEST_P(ToneFrequencyTest, EstimatesWithinATenthOfAPercent) {
  const auto [frequency, rate] = GetParam();
  std::vector<int16_t> samples = MakeTone(frequency, -6.0, rate, 1, static_cast<size_t>(rate / 2));
  std::mt19937 random(7);
  std::uniform_int_distribution<int> noise(-160, 160);
  for (int16_t& s : samples) s = static_cast<int16_t>(s + 300 + noise(random));
  EXPECT_NEAR(EstimateFrequency(Channel(samples, 1, 0), rate), frequency, frequency * 0.001);
}

INSTANTIATE_TEST_SUITE_P(Rates, ToneFrequencyTest,
                         ::testing::Values(FrequencyCase{1000, 44100}, FrequencyCase{440, 8000},
                                           FrequencyCase{3000, 48000}, FrequencyCase{50, 11025},
                                           FrequencyCase{7919, 22050}));

TEST(ToneFrequency, ReadsTheChosenChannelOfInterleavedAudio) {
  std::vector<int16_t> left = MakeTone(500, -6.0, 44100, 1, 22050);
  std::vector<int16_t> right = MakeTone(1500, -12.0, 44100, 1, 22050);
  std::vector<int16_t> stereo;
  for (size_t i = 0; i < left.size(); ++i) {
    stereo.push_back(left[i]);
    stereo.push_back(right[i]);
  }
  EXPECT_NEAR(EstimateFrequency(Channel(stereo, 2, 0), 44100), 500, 0.5);
  EXPECT_NEAR(EstimateFrequency(Channel(stereo, 2, 1), 44100), 1500, 1.5);
  EXPECT_NEAR(PeakDbfs(Channel(stereo, 2, 1)), -12.0, 0.05);
}

TEST(ToneFrequency, SilenceAndTooShortSignalsGiveZero) {
  std::vector<int16_t> silence(1000, 0);
  EXPECT_EQ(EstimateFrequency(Channel(silence, 1, 0), 44100), 0.0);
  std::vector<int16_t> onePeriod = MakeTone(100, -6.0, 8000, 1, 80);
  EXPECT_EQ(EstimateFrequency(Channel(onePeriod, 1, 0), 8000), 0.0);
  EXPECT_EQ(EstimateFrequency(Channel({}, 1, 0), 8000), 0.0);
}

TEST(ToneLevels, SineLevelsMatchTheirDefinition) {
  std::vector<int16_t> tone = MakeTone(1000, -6.0, 44100, 2, 44100);
  const ChannelView view = Channel(tone, 2, 0);
  EXPECT_NEAR(PeakDbfs(view), -6.0, 0.01);
  EXPECT_NEAR(RmsDbfs(view), -6.0 - 3.0103, 0.01);
  EXPECT_NEAR(ToneDbfs(view, 1000, 44100), -6.0, 0.01);
  EXPECT_GT(ToneShare(view, 1000, 44100), 0.999);
  // The neighbour frequencies carry nothing.
  EXPECT_LT(ToneDbfs(view, 1100, 44100), -60.0);
  EXPECT_LT(ToneShare(view, 1500, 44100), 0.001);
}

TEST(ToneLevels, ExtremesAndSilence) {
  std::vector<int16_t> square(4410);
  for (size_t i = 0; i < square.size(); ++i) square[i] = (i / 22) % 2 ? -32768 : 32767;
  EXPECT_NEAR(PeakDbfs(Channel(square, 1, 0)), 0.0, 0.001);
  EXPECT_NEAR(RmsDbfs(Channel(square, 1, 0)), 0.0, 0.001);

  std::vector<int16_t> silence(100, 0);
  EXPECT_TRUE(std::isinf(PeakDbfs(Channel(silence, 1, 0))));
  EXPECT_TRUE(std::isinf(RmsDbfs(Channel(silence, 1, 0))));
  EXPECT_TRUE(std::isinf(ToneDbfs(Channel(silence, 1, 0), 1000, 44100)));
  EXPECT_EQ(ToneShare(Channel(silence, 1, 0), 1000, 44100), 0.0);
}

TEST(ToneRanges, FindTheLoudStretchesBetweenSilence) {
  std::vector<int16_t> samples(1000, 0);
  std::vector<int16_t> burst = MakeTone(1000, -6.0, 8000, 1, 200);
  std::copy(burst.begin(), burst.end(), samples.begin() + 100);
  std::copy(burst.begin(), burst.end(), samples.begin() + 600);
  const ChannelView view = Channel(samples, 1, 0);

  const FrameRange hull = LoudRange(view, -20.0);
  EXPECT_GE(hull.begin, 100u);
  EXPECT_LE(hull.begin, 104u);
  EXPECT_GE(hull.end, 796u);
  EXPECT_LE(hull.end, 800u);

  const std::vector<FrameRange> ranges = LoudRanges(view, -20.0, 50);
  ASSERT_EQ(ranges.size(), 2u);
  EXPECT_NEAR(static_cast<double>(ranges[0].size()), 200, 8);
  EXPECT_NEAR(static_cast<double>(ranges[1].begin), 600, 4);

  EXPECT_EQ(LoudRange(Channel(std::vector<int16_t>(10, 0), 1, 0), -20.0).size(), 0u);
  EXPECT_EQ(view.Slice(900, 5000).frames, 100u);
  EXPECT_EQ(view.Slice(5000, 6000).frames, 0u);
}

TEST(ToneBytes, ReadsLittleEndianSamples) {
  const std::vector<uint8_t> bytes = {0x01, 0x80, 0xFF, 0x7F, 0x34, 0x12, 0x99};
  const std::vector<int16_t> samples = SamplesFromBytes(bytes);
  ASSERT_EQ(samples.size(), 3u);
  EXPECT_EQ(samples[0], -32767);
  EXPECT_EQ(samples[1], 32767);
  EXPECT_EQ(samples[2], 0x1234);
}

}  // namespace
}  // namespace voxl::test
