// The level meter and the silence detector.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "api/helper_window.h"
#include "engine/engine_fixture.h"

namespace voxl {
namespace {

class LevelsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Use(WAVE_FORMAT_PCM, 2, 16);
    ResetLevels(r_);
  }
  void Use(uint16_t tag, uint16_t channels, uint16_t bits) {
    const auto align = uint16_t(channels * bits / 8);
    r_.pcmFormat = WAVEFORMATEX{tag, channels, 44100, align * 44100u, align, bits, 0};
  }
  // Measures interleaved frames of 16-bit or 8-bit samples (`frames` of them if given, in a
  // buffer of `bytes` if given).
  template <typename Sample = int16_t>
  void Measure(std::vector<Sample> samples, int32_t frames = 0, DWORD bytes = 0) {
    WAVEHDR h{};
    h.lpData = reinterpret_cast<LPSTR>(samples.data());
    h.dwBufferLength = bytes ? bytes : DWORD(samples.size() * sizeof(Sample));
    MeasureLevels(r_, h, frames ? frames : int32_t(samples.size()) / r_.pcmFormat.nChannels);
  }
  // A stereo buffer with the given peak on the left and right channels.
  void MeasureStereo(int16_t left, int16_t right) { Measure({0, 0, left, right, -3, 0}); }

  Recorder r_;
};

// The level is the peak in dB of full scale, on the 16-bit device side for companded formats.
// (Every PCM layout against a plain scan, extremes included: MatchesAPlainScanOfRandomBuffers.)
TEST_F(LevelsTest, LevelIsThePeakInDecibelsOfFullScale) {
  MeasureStereo(16384, 0);
  EXPECT_NEAR(r_.levelLeft, -6.0206, 1e-3);
  EXPECT_EQ(r_.levelRight, kNoLevel);  // a zero peak has no level
  for (const uint16_t tag : {WAVE_FORMAT_ALAW, WAVE_FORMAT_MULAW}) {
    Use(tag, 1, 8);
    Measure({100, -16384, 5});
    EXPECT_NEAR(r_.levelLeft, -6.0206, 1e-3) << "tag " << tag;
  }
}

// A clip is a sample beyond +-30000 (16 bits) or 128 +- 115 (8 bits); it stays indicated for ten
// measurements, and a new clip restarts the hold.
TEST_F(LevelsTest, ClipsOnlyBeyondTheBoundAndHoldsForTenMeasurements) {
  const struct {
    uint16_t bits;
    int sample;  // 16-bit value, or 8-bit byte
    bool clips;
  } cases[] = {{16, 30000, false}, {16, 30001, true}, {16, -30000, false}, {16, -30001, true},
               {8, 243, false},    {8, 244, true},    {8, 13, false},      {8, 12, true}};
  for (const auto& c : cases) {
    ResetLevels(r_);
    Use(WAVE_FORMAT_PCM, 2, c.bits);
    c.bits == 16 ? Measure({0, int16_t(c.sample)}) : Measure<uint8_t>({128, uint8_t(c.sample)});
    EXPECT_EQ(std::tuple(r_.clipLeft.load(), r_.clipRight.load(), r_.clipHoldRight.load()),
              std::tuple(0u, c.clips ? 1u : 0u, int16_t(c.clips ? 9 : 0)))
        << c.bits << " bits, " << c.sample;
  }
  Use(WAVE_FORMAT_PCM, 2, 16);
  MeasureStereo(32000, 0);
  for (int i = 0; i < 5; ++i) MeasureStereo(100, 0);
  MeasureStereo(-32000, 0);  // restarts the hold
  for (int i = 0; i < 9; ++i) MeasureStereo(100, 0);
  EXPECT_EQ(r_.clipLeft, 1u);
  MeasureStereo(100, 0);
  EXPECT_EQ(r_.clipLeft, 0u);
}

// Layouts that are not measured keep the previous peaks (three channels: no level on both); the
// meter never reads past the buffer, and a negative frame count examines nothing.
TEST_F(LevelsTest, UnmeasuredLayoutsAndShortBuffersReadNothingMore) {
  MeasureStereo(16384, 32000);
  Use(WAVE_FORMAT_PCM, 2, 24);
  Measure({0, 0, 0, 0, 0, 0});
  EXPECT_NEAR(r_.levelLeft, -6.0206, 1e-3);
  EXPECT_EQ(std::tuple(r_.clipRight.load(), r_.clipHoldRight.load()), std::tuple(1u, int16_t{8}));
  Use(WAVE_FORMAT_PCM, 3, 16);
  Measure({16384, 16384, 16384});
  EXPECT_EQ(std::tuple(r_.levelLeft.load(), r_.levelRight.load()), std::tuple(kNoLevel, kNoLevel));

  Use(WAVE_FORMAT_PCM, 2, 16);
  const std::vector<int16_t> samples = {100, 100, 100, 100, 32767, 32767, 32767, 32767};
  Measure(samples, 4, 8);  // a buffer of the first two frames only
  EXPECT_NEAR(r_.levelLeft, 20 * std::log10(100.0 / 32768), 1e-3);
  EXPECT_EQ(r_.clipLeft, 0u);
  Measure(samples, -5);
  EXPECT_EQ(r_.levelLeft, kNoLevel);
}

// Random buffers of every measured layout, of lengths around the vector sizes and starting at
// every position within a vector, give the levels and clips of a plain per-sample scan bit for
// bit, with the extremes anywhere, in the last samples too.
TEST_F(LevelsTest, MatchesAPlainScanOfRandomBuffers) {
  std::mt19937 random(310);
  for (const bool wide : {false, true}) {
    UseWideLevelScanForTesting(wide);
    for (const uint16_t bits : {16, 8}) {
      for (const uint16_t channels : {1, 2}) {
        Use(WAVE_FORMAT_PCM, channels, bits);
        const int centre = bits == 8 ? 128 : 0;
        const int top = bits == 8 ? 255 : 32767, bottom = bits == 8 ? 0 : -32768;
        for (const int frames : {1, 3, 7, 8, 9, 16, 17, 31, 33, 63, 64, 65, 130, 257, 4410}) {
          for (int skip = 0; skip < 32 / (bits / 8); skip += 3) {
            // A random loudness per channel, and now and then a sample at the very edge.
            std::vector<int> values(size_t(skip + frames * channels));
            int spread[2] = {int(random() % (top - centre + 1)),
                             int(random() % (top - centre + 1))};
            for (size_t i = 0; i < values.size(); ++i) {
              const int c = int(i % channels), u = int(random() % 1000);
              values[i] = std::clamp(centre + int(random() % (2 * spread[c] + 1)) - spread[c] +
                                         (u == 0   ? top
                                          : u == 1 ? -top
                                                   : 0),
                                     bottom, top);
            }
            int magnitude[2] = {0, 0};
            for (int i = skip; i < int(values.size()); ++i) {
              int& m = magnitude[(i - skip) % channels];
              m = std::max(m, std::abs(values[i] - centre));
            }
            ResetLevels(r_);
            std::vector<uint8_t> bytes(values.size() * bits / 8);
            for (size_t i = 0; i < values.size(); ++i) {
              const auto sample = int16_t(values[i]);
              bits == 8 ? void(bytes[i] = uint8_t(sample))
                        : void(std::memcpy(&bytes[2 * i], &sample, 2));
            }
            WAVEHDR h{};
            h.lpData = reinterpret_cast<LPSTR>(bytes.data() + skip * bits / 8);
            h.dwBufferLength = DWORD(frames * channels * bits / 8);
            MeasureLevels(r_, h, frames);
            const double squareOne = bits == 8 ? 1.0 / 16384.0 : 1.0 / 1073741824.0;
            const int clip = bits == 8 ? 115 : 30000;
            for (int c = 0; c < 2; ++c) {
              const int m = magnitude[channels == 2 ? c : 0];
              const double peak = double(int64_t{m} * m) * squareOne;
              const float level = peak > 0 ? float(10.0 * std::log10(peak)) : kNoLevel;
              const bool clipped = m > clip && (c == 0 || channels == 2);
              EXPECT_EQ((c == 0 ? r_.levelLeft : r_.levelRight).load(),
                        c == 0 || channels == 2 ? level : kNoLevel)
                  << bits << " bits, " << channels << " ch, " << frames << " frames at " << skip
                  << (wide ? ", 32-byte scan" : "");
              EXPECT_EQ((c == 0 ? r_.clipLeft : r_.clipRight).load(), clipped ? 1u : 0u);
            }
          }
        }
      }
    }
  }
  UseWideLevelScanForTesting(true);
}

// Silence detector.  Quiet below -60 dB, sound at -20 dB and above.
class SilenceTest : public LevelsTest {
 protected:
  void SetUp() override {
    LevelsTest::SetUp();
    r_.soundThreshold = -20.0f, r_.silenceThreshold = -60.0f;
    r_.silenceMode = 3, r_.silenceHold = 1;
  }
  // Measures a stereo buffer with these peaks `times` times; returns the silent flag.
  int SilentAfter(int16_t left, int16_t right, int times = 1) {
    for (int i = 0; i < times; ++i) MeasureStereo(left, right);
    return r_.silent;
  }
  static constexpr int16_t kQuiet = 10;      // about -70 dB
  static constexpr int16_t kBetween = 1000;  // about -30 dB
  static constexpr int16_t kLoud = 16384;
};

// Declared on the quiet measurement after the hold (never with a hold of 0) and cleared by sound;
// a level between the thresholds restarts the count but does not end silence.  Only the channels
// of the mode are watched.
TEST_F(SilenceTest, DeclaredAfterTheHoldAndClearedBySound) {
  r_.silenceHold = 0;
  EXPECT_EQ(SilentAfter(kQuiet, kQuiet, 50), 0);
  r_.silenceHold = 3;
  for (int i = 1; i <= 3; ++i) EXPECT_EQ(SilentAfter(kQuiet, kQuiet), 0) << "quiet " << i;
  EXPECT_EQ(SilentAfter(kQuiet, kQuiet), 1);
  EXPECT_EQ(SilentAfter(kLoud, kQuiet), 0);
  EXPECT_EQ(r_.silenceCountdown, 0);
  SilentAfter(kQuiet, kQuiet, 3);
  SilentAfter(kBetween, kQuiet);
  EXPECT_EQ(SilentAfter(kQuiet, kQuiet, 3), 0);
  EXPECT_EQ(SilentAfter(kQuiet, kQuiet), 1);
  EXPECT_EQ(SilentAfter(kBetween, kBetween), 1);

  // A level equal to the sound threshold is sound; one equal to the silence threshold is not quiet.
  const float level = r_.levelLeft;
  r_.soundThreshold = level;
  EXPECT_EQ(SilentAfter(kBetween, kBetween), 0);
  r_.soundThreshold = 0.0f;
  r_.silenceThreshold = level;
  EXPECT_EQ(SilentAfter(kBetween, kBetween, 5), 0);

  r_.silenceThreshold = -60.0f, r_.soundThreshold = -20.0f, r_.silenceHold = 1;
  r_.silenceMode = 2;  // right only: a loud left channel does not count
  EXPECT_EQ(SilentAfter(kLoud, kQuiet, 2), 1);
  r_.silenceMode = 3;  // both: sound on either channel ends silence
  EXPECT_EQ(SilentAfter(kQuiet, kLoud), 0);
  r_.silenceMode = 0;  // off: nothing changes
  EXPECT_EQ(SilentAfter(kQuiet, kQuiet, 5), 0);
  r_.silenceMode = 3;  // mono: the left level
  Use(WAVE_FORMAT_PCM, 1, 16);
  Measure({kQuiet, 0});
  Measure({kQuiet, 0});
  EXPECT_EQ(r_.silent, 1);
  Measure({kLoud, 0});
  EXPECT_EQ(r_.silent, 0);
}

// Every measurement, measured or not, ends with notification 3; each change of silent adds
// notification 6.
TEST_F(SilenceTest, NotifiesTheHostAfterEachMeasurement) {
  std::unique_ptr<HelperWindow> window(HelperWindow::Create(r_));
  r_.notifyWindow = window->handle();
  static int levels, changes;
  levels = changes = 0;
  r_.callbacks.levels = [](FLOAT, DWORD, FLOAT, DWORD) { ++levels; };
  r_.callbacks.notify = [] { ++changes; };
  SilentAfter(kQuiet, kQuiet, 2);  // silent
  MeasureStereo(kLoud, kLoud);     // sound again
  Use(WAVE_FORMAT_PCM, 2, 24);
  MeasureStereo(kLoud, kLoud);
  testing::Pump();
  EXPECT_EQ(std::tuple(levels, changes), std::tuple(4, 2));
  r_.notifyWindow = nullptr;
}

}  // namespace
}  // namespace voxl
