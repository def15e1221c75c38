// The wave services on the ALSA driver and a real PulseAudio server: capture through
// waveInOpen(WAVE_MAPPER) while pacat plays a tone into the null sink, with completions arriving
// on the test thread (CALLBACK_THREAD).  Skipped (with the reason) when no PulseAudio server
// answers.
#include <unistd.h>

#include <cstdio>
#include <functional>

#include "platform/wave/wave_fixture.h"
#include "support/tone.h"
#include "support/tone_pulse.h"

namespace {

using voxl::test::Channel;
using voxl::test::ChannelView;
using voxl::test::ChildProcess;
using voxl::wave::testing::MakeBuffers;
using voxl::wave::testing::NextMessage;
using Clock = std::chrono::steady_clock;

struct Format {
  DWORD rate;
  WORD channels, bits;
  double frequency;  // of the test tone
  WAVEFORMATEX Wave() const { return voxl::wave::testing::Pcm(rate, channels, bits); }
};

std::vector<int16_t> Samples16(const Format& f, const std::vector<uint8_t>& bytes) {
  if (f.bits == 16) return voxl::test::SamplesFromBytes(bytes);
  std::vector<int16_t> samples;
  for (uint8_t b : bytes) samples.push_back(static_cast<int16_t>((b - 128) * 256));
  return samples;
}

void ExpectTone(const ChannelView& view, const Format& f) {
  EXPECT_NEAR(voxl::test::EstimateFrequency(view, f.rate), f.frequency, f.frequency * 0.01);
  EXPECT_NEAR(voxl::test::ToneDbfs(view, f.frequency, f.rate), -6.0, 1.0);
}

// Whether a message of kind `kind` arrives within five seconds (others are dropped).
bool Arrives(UINT kind) {
  MSG msg;
  while (NextMessage(&msg, 5000)) {
    if (msg.message == kind) return true;
  }
  return false;
}

class AlsaWaveTest : public ::testing::TestWithParam<Format> {
 protected:
  void SetUp() override {
    std::string why;
    if (!voxl::test::PulseAnswers(&why)) GTEST_SKIP() << why;
    lock_ = std::make_unique<voxl::test::NullSinkLock>();
    ASSERT_TRUE(lock_->held()) << "the null sink stayed busy";
    ASSERT_TRUE(voxl::wave::SelectDriverForTesting("alsa")) << "ALSA finds no device";
    ASSERT_STREQ(VoxlWaveDriverName(), "alsa");
    MSG msg;  // nothing of an earlier test stays in this thread's queue
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    }
  }
  void TearDown() override { voxl::wave::SelectDriverForTesting(nullptr); }

  std::unique_ptr<voxl::test::NullSinkLock> lock_;
};

TEST_P(AlsaWaveTest, CapturesATonePlayedIntoTheSink) {
  const Format f = GetParam();
  const WAVEFORMATEX format = f.Wave();
  HWAVEIN in = nullptr;
  ASSERT_EQ(waveInOpen(&in, WAVE_MAPPER, &format, GetCurrentThreadId(), 0, CALLBACK_THREAD),
            MMSYSERR_NOERROR);
  ASSERT_TRUE(Arrives(MM_WIM_OPEN));

  // Buffers of 100 ms, as the recorder uses them.
  auto buffers = MakeBuffers(in, waveInPrepareHeader, 8,
                             format.nAvgBytesPerSec / 10 / format.nBlockAlign * format.nBlockAlign);
  for (auto& b : buffers) {
    ASSERT_EQ(waveInAddBuffer(in, &b->header, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
  }
  ASSERT_EQ(waveInStart(in), MMSYSERR_NOERROR);

  // Takes the filled buffers: keeps their audio and queues them again.
  std::vector<uint8_t> captured;
  const auto pumpUntil = [&](const std::function<bool()>& done, int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    MSG msg;
    while (!done()) {
      if (Clock::now() >= deadline) return false;
      if (!NextMessage(&msg, 50) || msg.message != MM_WIM_DATA) continue;
      auto* h = reinterpret_cast<WAVEHDR*>(msg.lParam);
      captured.insert(captured.end(), h->lpData, h->lpData + h->dwBytesRecorded);
      EXPECT_EQ(waveInAddBuffer(in, h, sizeof *h), MMSYSERR_NOERROR);
    }
    return true;
  };
  ASSERT_TRUE(pumpUntil([&] { return !captured.empty(); }, 5000)) << "no buffer came back";

  const std::string tone =
      ::testing::TempDir() + "voxl_wave_capture_" + std::to_string(getpid()) + ".raw";
  ASSERT_TRUE(
      voxl::test::WriteRawFile(tone, voxl::test::MakeTone(f.frequency, -6.0, 44100, 2, 44100)));
  ChildProcess pacat;
  ASSERT_TRUE(
      pacat.Start({"pacat", "--playback", "--raw", "--format=s16le", "--rate=44100", "--channels=2",
                   "--device=" + voxl::test::NullSinkName(), "--latency-msec=50"},
                  tone));
  int status = -1;
  ASSERT_TRUE(pumpUntil([&] { return (status = pacat.WaitExit(0)) >= 0; }, 15000));
  ASSERT_EQ(status, 0) << "pacat did not play the tone";
  const size_t after = captured.size();
  ASSERT_TRUE(
      pumpUntil([&] { return captured.size() >= after + format.nAvgBytesPerSec * 3 / 10; }, 5000));
  std::remove(tone.c_str());

  // Reset returns every buffer, so the device closes.
  ASSERT_EQ(waveInReset(in), MMSYSERR_NOERROR);
  ASSERT_EQ(waveInClose(in), MMSYSERR_NOERROR);
  EXPECT_TRUE(Arrives(MM_WIM_CLOSE));

  const std::vector<int16_t> samples = Samples16(f, captured);
  for (int c = 0; c < f.channels; ++c) {
    const ChannelView view = Channel(samples, f.channels, c);
    const voxl::test::FrameRange loud = voxl::test::LoudRange(view, -20.0);
    ASSERT_GT(loud.size(), f.rate * 9 / 10) << "the tone did not come back whole";
    ExpectTone(view.Slice(loud.begin + f.rate / 10, loud.end - f.rate / 10), f);
  }
}

INSTANTIATE_TEST_SUITE_P(Formats, AlsaWaveTest,
                         ::testing::Values(Format{44100, 2, 16, 1000.0},
                                           Format{22050, 1, 8, 600.0}),
                         [](const auto& info) {
                           return std::to_string(info.param.rate) + "Hz_" +
                                  std::to_string(info.param.bits) + "bit";
                         });

}  // namespace
