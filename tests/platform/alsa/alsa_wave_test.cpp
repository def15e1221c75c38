// The wave services on the ALSA driver and a real PulseAudio server: capture through
// waveInOpen(WAVE_MAPPER) while pacat plays a tone into the null sink, and playback through
// waveOutWrite recorded by parec from the sink's monitor, with completions arriving on the
// test thread (CALLBACK_THREAD).  Skipped (with the reason) when no PulseAudio server answers.
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/wave/wave.h"
#include "platform/wave/wave_driver.h"
#include "support/tone.h"
#include "support/tone_pulse.h"

namespace {

using voxl::test::Channel;
using voxl::test::ChannelView;
using voxl::test::ChildProcess;
using Clock = std::chrono::steady_clock;

struct Format {
  DWORD rate;
  WORD channels;
  WORD bits;
  double frequency;  // of the test tone
};

WAVEFORMATEX Pcm(const Format& f) {
  WAVEFORMATEX w{};
  w.wFormatTag = WAVE_FORMAT_PCM;
  w.nChannels = f.channels;
  w.nSamplesPerSec = f.rate;
  w.wBitsPerSample = f.bits;
  w.nBlockAlign = static_cast<WORD>(f.channels * f.bits / 8);
  w.nAvgBytesPerSec = f.rate * w.nBlockAlign;
  return w;
}

// Device-format bytes of a tone (8-bit samples are unsigned, 128 = silence).
std::vector<uint8_t> ToneBytes(const Format& f, double seconds) {
  const auto samples = voxl::test::MakeTone(f.frequency, -6.0, f.rate, f.channels,
                                            static_cast<size_t>(seconds * f.rate));
  std::vector<uint8_t> bytes;
  if (f.bits == 8) {
    for (int16_t s : samples) bytes.push_back(static_cast<uint8_t>((s >> 8) + 128));
  } else {
    bytes.resize(samples.size() * 2);
    std::memcpy(bytes.data(), samples.data(), bytes.size());
  }
  return bytes;
}

std::vector<int16_t> Samples16(const Format& f, const std::vector<uint8_t>& bytes) {
  if (f.bits == 16) return voxl::test::SamplesFromBytes(bytes);
  std::vector<int16_t> samples;
  for (uint8_t b : bytes) samples.push_back(static_cast<int16_t>((b - 128) * 256));
  return samples;
}

// The next message of this thread's queue, waiting at most timeoutMs.
bool NextMessage(MSG* msg, int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  const int fd = VoxlMessageQueueFd();
  for (;;) {
    if (PeekMessageA(msg, nullptr, 0, 0, PM_REMOVE)) return true;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    pollfd p{fd, POLLIN, 0};
    poll(&p, 1, static_cast<int>(left));
  }
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
    // This thread's queue receives the callbacks; nothing of an earlier test stays in it.
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    }
  }
  void TearDown() override { voxl::wave::SelectDriverForTesting(nullptr); }

  std::unique_ptr<voxl::test::NullSinkLock> lock_;
};

// Buffers of 100 ms, as the recorder uses them.
struct Buffers {
  Buffers(size_t count, size_t bytes) : data(count, std::vector<char>(bytes)), headers(count) {
    for (size_t i = 0; i < count; ++i) {
      headers[i].lpData = data[i].data();
      headers[i].dwBufferLength = static_cast<DWORD>(bytes);
    }
  }
  std::vector<std::vector<char>> data;
  std::vector<WAVEHDR> headers;
};

TEST_P(AlsaWaveTest, CapturesATonePlayedIntoTheSink) {
  const Format f = GetParam();
  const WAVEFORMATEX format = Pcm(f);
  ASSERT_GE(waveInGetNumDevs(), 1u);
  WAVEINCAPSA caps{};
  ASSERT_EQ(waveInGetDevCapsA(WAVE_MAPPER, &caps, sizeof caps), MMSYSERR_NOERROR);
  EXPECT_STREQ(caps.szPname, "Default (PulseAudio)");
  ASSERT_EQ(waveInOpen(nullptr, WAVE_MAPPER, &format, 0, 0, WAVE_FORMAT_QUERY), MMSYSERR_NOERROR);

  HWAVEIN in = nullptr;
  ASSERT_EQ(waveInOpen(&in, WAVE_MAPPER, &format, GetCurrentThreadId(), 0, CALLBACK_THREAD),
            MMSYSERR_NOERROR);
  MSG msg;
  ASSERT_TRUE(NextMessage(&msg, 5000));
  EXPECT_EQ(msg.message, static_cast<UINT>(MM_WIM_OPEN));

  Buffers buffers(8, format.nAvgBytesPerSec / 10 / format.nBlockAlign * format.nBlockAlign);
  for (WAVEHDR& h : buffers.headers) {
    ASSERT_EQ(waveInPrepareHeader(in, &h, sizeof h), MMSYSERR_NOERROR);
    ASSERT_EQ(waveInAddBuffer(in, &h, sizeof h), MMSYSERR_NOERROR);
  }
  ASSERT_EQ(waveInStart(in), MMSYSERR_NOERROR);

  // Takes one filled buffer: keeps its audio and queues it again.
  std::vector<uint8_t> captured;
  bool stopping = false;
  auto take = [&](int timeoutMs) {
    if (!NextMessage(&msg, timeoutMs)) return false;
    if (msg.message != MM_WIM_DATA) return true;
    auto* h = reinterpret_cast<WAVEHDR*>(msg.lParam);
    captured.insert(captured.end(), h->lpData, h->lpData + h->dwBytesRecorded);
    if (!stopping) {
      EXPECT_EQ(waveInAddBuffer(in, h, sizeof *h), MMSYSERR_NOERROR);
    }
    return true;
  };
  const auto pumpUntil = [&](const std::function<bool()>& done, int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
      if (Clock::now() >= deadline) return false;
      take(50);
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

  // Reset returns every buffer; then the device closes.
  stopping = true;
  ASSERT_EQ(waveInReset(in), MMSYSERR_NOERROR);
  size_t done = 0;
  for (const WAVEHDR& h : buffers.headers) done += (h.dwFlags & WHDR_DONE) ? 1 : 0;
  while (done < buffers.headers.size() && NextMessage(&msg, 5000)) {
    if (msg.message != MM_WIM_DATA) continue;
    auto* h = reinterpret_cast<WAVEHDR*>(msg.lParam);
    captured.insert(captured.end(), h->lpData, h->lpData + h->dwBytesRecorded);
    ++done;
  }
  for (WAVEHDR& h : buffers.headers) {
    EXPECT_EQ(waveInUnprepareHeader(in, &h, sizeof h), MMSYSERR_NOERROR);
  }
  ASSERT_EQ(waveInClose(in), MMSYSERR_NOERROR);
  bool closed = false;
  while (!closed && NextMessage(&msg, 5000)) closed = msg.message == MM_WIM_CLOSE;
  EXPECT_TRUE(closed);

  const std::vector<int16_t> samples = Samples16(f, captured);
  for (int c = 0; c < f.channels; ++c) {
    const ChannelView view = Channel(samples, f.channels, c);
    const voxl::test::FrameRange loud = voxl::test::LoudRange(view, -20.0);
    ASSERT_GT(loud.size(), f.rate * 9 / 10) << "the tone did not come back whole";
    const ChannelView middle = view.Slice(loud.begin + f.rate / 10, loud.end - f.rate / 10);
    EXPECT_NEAR(voxl::test::EstimateFrequency(middle, f.rate), f.frequency, f.frequency * 0.01);
    EXPECT_NEAR(voxl::test::ToneDbfs(middle, f.frequency, f.rate), -6.0, 1.0);
  }
}

// Records the null sink's monitor with parec, reading all the time so parec never blocks.
class MonitorRecording {
 public:
  explicit MonitorRecording(DWORD rate) : rate_(rate) {
    started_ = parec_.Start(
        {"parec", "--raw", "--format=s16le", "--rate=" + std::to_string(rate), "--channels=1",
         "--latency-msec=20", "--device=" + voxl::test::NullSinkName() + ".monitor"},
        "", true);
  }
  void Pump(int timeoutMs) { parec_.ReadOutput(&bytes_, timeoutMs); }
  bool Live() {
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    while (started_ && bytes_.empty() && Clock::now() < deadline) Pump(50);
    return !bytes_.empty();
  }
  // Whether the recording ends with `seconds` of silence after some sound.
  bool EndsInSilence(double seconds) const {
    const std::vector<int16_t> samples = voxl::test::SamplesFromBytes(bytes_);
    const voxl::test::FrameRange loud = voxl::test::LoudRange(Channel(samples, 1, 0), -20.0);
    return loud.size() > 0 && samples.size() - loud.end >= seconds * rate_;
  }
  bool Finish(double seconds) {
    const size_t target = bytes_.size() + static_cast<size_t>(seconds * rate_ * 2);
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (bytes_.size() < target && Clock::now() < deadline) Pump(50);
    parec_.Terminate();
    return bytes_.size() >= target;
  }
  std::vector<int16_t> Samples() const { return voxl::test::SamplesFromBytes(bytes_); }

 private:
  ChildProcess parec_;
  bool started_ = false;
  DWORD rate_;
  std::vector<uint8_t> bytes_;
};

// Five buffers played, paused after the first comes back until the sink has gone quiet, then
// restarted: the monitor hears the whole tone in two parts, nothing lost, nothing repeated.
TEST_P(AlsaWaveTest, PlaysBuffersWholeAcrossPauseAndRestart) {
  const Format f = GetParam();
  const WAVEFORMATEX format = Pcm(f);
  ASSERT_GE(waveOutGetNumDevs(), 1u);
  MonitorRecording monitor(f.rate);
  ASSERT_TRUE(monitor.Live()) << "parec records nothing from the monitor";

  HWAVEOUT out = nullptr;
  ASSERT_EQ(waveOutOpen(&out, WAVE_MAPPER, &format, GetCurrentThreadId(), 0, CALLBACK_THREAD),
            MMSYSERR_NOERROR);
  MSG msg;
  ASSERT_TRUE(NextMessage(&msg, 5000));
  EXPECT_EQ(msg.message, static_cast<UINT>(MM_WOM_OPEN));

  const std::vector<uint8_t> tone = ToneBytes(f, 0.5);
  Buffers buffers(5, tone.size() / 5);
  for (size_t i = 0; i < 5; ++i) {
    std::memcpy(buffers.data[i].data(), tone.data() + i * tone.size() / 5, tone.size() / 5);
    WAVEHDR& h = buffers.headers[i];
    ASSERT_EQ(waveOutPrepareHeader(out, &h, sizeof h), MMSYSERR_NOERROR);
    ASSERT_EQ(waveOutWrite(out, &h, sizeof h), MMSYSERR_NOERROR);
  }

  size_t done = 0;
  const auto deadline = Clock::now() + std::chrono::seconds(15);
  bool paused = false;
  bool restarted = false;
  while (done < 5 && Clock::now() < deadline) {
    monitor.Pump(20);
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
      if (msg.message != MM_WOM_DONE) continue;
      EXPECT_EQ(reinterpret_cast<WAVEHDR*>(msg.lParam), &buffers.headers[done]) << "out of order";
      ++done;
      if (done == 1 && !paused) {
        ASSERT_EQ(waveOutPause(out), MMSYSERR_NOERROR);
        paused = true;
      }
    }
    if (paused && !restarted && monitor.EndsInSilence(0.1)) {
      ASSERT_EQ(waveOutRestart(out), MMSYSERR_NOERROR);
      restarted = true;
    }
  }
  ASSERT_EQ(done, 5u) << "not every buffer came back";
  EXPECT_TRUE(restarted);
  // Closing right after the last buffer came back must not cut its end.
  for (WAVEHDR& h : buffers.headers) {
    EXPECT_EQ(waveOutUnprepareHeader(out, &h, sizeof h), MMSYSERR_NOERROR);
  }
  ASSERT_EQ(waveOutClose(out), MMSYSERR_NOERROR);
  bool closed = false;
  while (!closed && NextMessage(&msg, 5000)) closed = msg.message == MM_WOM_CLOSE;
  EXPECT_TRUE(closed);
  ASSERT_TRUE(monitor.Finish(0.3));

  const std::vector<int16_t> samples = monitor.Samples();
  const ChannelView view = Channel(samples, 1, 0);
  const auto parts = voxl::test::LoudRanges(view, -20.0, f.rate / 20);
  // Two parts around the pause; a loaded machine may add under-run gaps, which lose nothing.
  ASSERT_GE(parts.size(), 2u) << "expected the tone in two parts around the pause";
  size_t heard = 0;
  for (const auto& part : parts) {
    heard += part.size();
    const ChannelView piece = view.Slice(part.begin, part.end);
    EXPECT_NEAR(voxl::test::EstimateFrequency(piece, f.rate), f.frequency, f.frequency * 0.01);
    EXPECT_NEAR(voxl::test::ToneDbfs(piece, f.frequency, f.rate), -6.0, 1.0);
  }
  // Each part may lose up to a quarter period at each end below the threshold.
  EXPECT_NEAR(static_cast<double>(heard), f.rate * 0.5,
              static_cast<double>(parts.size()) * f.rate / f.frequency);
}

INSTANTIATE_TEST_SUITE_P(Formats, AlsaWaveTest,
                         ::testing::Values(Format{44100, 2, 16, 1000.0},
                                           Format{22050, 1, 8, 600.0}),
                         [](const auto& info) {
                           return std::to_string(info.param.rate) + "Hz_" +
                                  std::to_string(info.param.channels) + "ch_" +
                                  std::to_string(info.param.bits) + "bit";
                         });

}  // namespace
