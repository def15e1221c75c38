// The tone analysis that the real-device tests rely on, checked against generated signals.
#include "support/tone.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

namespace voxl::test {
namespace {

// A tone with a DC offset and noise at -40 dB below it still reads within 0.1%; silence and
// signals too short to measure read as 0.
TEST(ToneFrequency, EstimatesWithinATenthOfAPercent) {
  for (const auto& [frequency, rate] : {std::pair{1000.0, 44100.0},
                                        {440.0, 8000.0},
                                        {3000.0, 48000.0},
                                        {50.0, 11025.0},
                                        {7919.0, 22050.0}}) {
    std::vector<int16_t> samples = MakeTone(frequency, -6.0, rate, 1, size_t(rate / 2));
    std::mt19937 random(7);
    std::uniform_int_distribution<int> noise(-160, 160);
    for (int16_t& s : samples) s = static_cast<int16_t>(s + 300 + noise(random));
    EXPECT_NEAR(EstimateFrequency(Channel(samples, 1, 0), rate), frequency, frequency * 0.001);
  }
  std::vector<int16_t> silence(1000, 0), onePeriod = MakeTone(100, -6.0, 8000, 1, 80);
  EXPECT_EQ(EstimateFrequency(Channel(silence, 1, 0), 44100), 0.0);
  EXPECT_EQ(EstimateFrequency(Channel(onePeriod, 1, 0), 8000), 0.0);
  EXPECT_EQ(EstimateFrequency(Channel({}, 1, 0), 8000), 0.0);
}

TEST(ToneLevels, MatchTheirDefinitionOnTheChosenChannel) {
  const std::vector<int16_t> left = MakeTone(500, -6.0, 44100, 1, 22050);
  const std::vector<int16_t> right = MakeTone(1500, -12.0, 44100, 1, 22050);
  std::vector<int16_t> stereo;
  for (size_t i = 0; i < left.size(); ++i) stereo.insert(stereo.end(), {left[i], right[i]});
  const ChannelView l = Channel(stereo, 2, 0), r = Channel(stereo, 2, 1);
  EXPECT_NEAR(EstimateFrequency(l, 44100), 500, 0.5);
  EXPECT_NEAR(EstimateFrequency(r, 44100), 1500, 1.5);
  EXPECT_NEAR(PeakDbfs(l), -6.0, 0.01);
  EXPECT_NEAR(PeakDbfs(r), -12.0, 0.05);
  EXPECT_NEAR(RmsDbfs(l), -6.0 - 3.0103, 0.01);
  EXPECT_NEAR(ToneDbfs(l, 500, 44100), -6.0, 0.01);
  EXPECT_GT(ToneShare(l, 500, 44100), 0.999);
  EXPECT_LT(ToneDbfs(l, 550, 44100), -60.0) << "the neighbour frequencies carry nothing";
  EXPECT_LT(ToneShare(l, 1500, 44100), 0.001);

  std::vector<int16_t> square(4410), silence(100, 0);
  for (size_t i = 0; i < square.size(); ++i) square[i] = (i / 22) % 2 ? -32768 : 32767;
  EXPECT_NEAR(PeakDbfs(Channel(square, 1, 0)), 0.0, 0.001);
  EXPECT_NEAR(RmsDbfs(Channel(square, 1, 0)), 0.0, 0.001);
  const ChannelView quiet = Channel(silence, 1, 0);
  EXPECT_TRUE(std::isinf(PeakDbfs(quiet)) && std::isinf(RmsDbfs(quiet)));
  EXPECT_TRUE(std::isinf(ToneDbfs(quiet, 1000, 44100)));
  EXPECT_EQ(ToneShare(quiet, 1000, 44100), 0.0);
}

TEST(ToneRanges, FindTheLoudStretchesBetweenSilence) {
  std::vector<int16_t> samples(1000, 0);
  const std::vector<int16_t> burst = MakeTone(1000, -6.0, 8000, 1, 200);
  std::copy(burst.begin(), burst.end(), samples.begin() + 100);
  std::copy(burst.begin(), burst.end(), samples.begin() + 600);
  const ChannelView view = Channel(samples, 1, 0);
  const FrameRange hull = LoudRange(view, -20.0);
  EXPECT_TRUE(hull.begin >= 100 && hull.begin <= 104 && hull.end >= 796 && hull.end <= 800);
  const std::vector<FrameRange> ranges = LoudRanges(view, -20.0, 50);
  ASSERT_EQ(ranges.size(), 2u);
  EXPECT_NEAR(static_cast<double>(ranges[0].size()), 200, 8);
  EXPECT_NEAR(static_cast<double>(ranges[1].begin), 600, 4);
  EXPECT_EQ(LoudRange(Channel(std::vector<int16_t>(10, 0), 1, 0), -20.0).size(), 0u);
  EXPECT_EQ(view.Slice(900, 5000).frames, 100u);
  EXPECT_EQ(view.Slice(5000, 6000).frames, 0u);
  // Little-endian 16-bit samples; an odd byte at the end is left out.
  const std::vector<int16_t> read = SamplesFromBytes({0x01, 0x80, 0xFF, 0x7F, 0x34, 0x12, 0x99});
  EXPECT_EQ(read, (std::vector<int16_t>{-32767, 32767, 0x1234}));
}

}  // namespace
}  // namespace voxl::test
