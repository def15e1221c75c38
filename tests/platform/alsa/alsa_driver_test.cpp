// The ALSA driver on a real sound server.  Driven directly through its driver record with a
// scripted input WavePort: enumeration and format checks, a capture that over-runs and recovers,
// close while idle and while held in Capture, and a server that goes away and comes back.  Through
// the wave functions: a tone played into the null sink comes back in the buffers.  Skipped, with
// the reason, when no PulseAudio server answers.
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <mutex>

#include "platform/wave/wave_fixture.h"
#include "support/tone.h"
#include "support/tone_pulse.h"

namespace voxl::wave {

namespace {

using test::ChildProcess;
using testing::Pcm;
using testing::ScopedEnv;
using Seconds = std::chrono::seconds;

// Starts pacat playing `frames` of a -6 dBFS tone of `hertz` (44.1 kHz stereo) into the null sink.
void PlayTone(ChildProcess& pacat, double hertz, size_t frames) {
  const std::string tone = ::testing::TempDir() + "voxl_alsa_tone_" + std::to_string(getpid());
  ASSERT_TRUE(test::WriteRawFile(tone, test::MakeTone(hertz, -6.0, 44100, 2, frames)));
  ASSERT_TRUE(pacat.Start({"pacat", "--playback", "--raw", "--format=s16le", "--rate=44100",
                           "--channels=2", "--device=" + test::NullSinkName(), "--latency-msec=50"},
                          tone));
  std::filesystem::remove(tone);  // pacat holds it open
}

// What the port has seen; the test reads it under the port's lock (WaitUntil, Now).
struct PortState {
  bool running = false, closing = false, woken = false, holdCapture = false, lost = false;
  size_t capturedBytes = 0, captureCalls = 0, idleWaits = 0;
  uint64_t gapFrames = 0;  // reported while running
};

// An input WavePort with one endless buffer: it counts what is captured while running and the
// device loop's idle waits, flags any call made after close, and can hold the device loop inside
// Capture to force an over-run.
class ScriptedPort : public WavePort {
 public:
  explicit ScriptedPort(const WAVEFORMATEX& format) : format_(format) {}
  Direction direction() const override { return Direction::Input; }
  const WAVEFORMATEX& format() const override { return format_; }
  size_t Capture(const void*, size_t bytes) override {
    std::unique_lock lock(mutex_);
    NoteCall();
    if (!s_.running || s_.closing) return 0;
    s_.capturedBytes += bytes;
    ++s_.captureCalls;
    changed_.notify_all();
    changed_.wait(lock, [this] { return !s_.holdCapture || s_.closing; });
    return bytes;
  }
  size_t Render(void*, size_t) override { return 0; }
  size_t PendingBytes() const override { return 0; }  // the device loop uses none of these
  size_t QueuedBuffers() const override { return 0; }
  bool WaitForWorkFor(unsigned) override { return false; }
  bool Running() const override { return Now().running; }
  bool WaitForWork() override {
    std::unique_lock lock(mutex_);
    NoteCall();
    ++s_.idleWaits;
    changed_.notify_all();
    changed_.wait(lock, [this] { return s_.closing || s_.woken || s_.running; });
    s_.woken = false;
    return !s_.closing;
  }
  void Wake() override {
    Change([](PortState& s) { s.woken = true; });
  }
  void Gap(uint64_t frames) override {
    Change([&](PortState& s) { s.gapFrames += s.running ? frames : 0; });
  }
  void Lost() override {
    Change([](PortState& s) { s.lost = true; });
  }

  // ---- the test's side ----
  void Change(const std::function<void(PortState&)>& change) {
    std::lock_guard lock(mutex_);
    change(s_);
    changed_.notify_all();
  }
  PortState Now() const {
    std::lock_guard lock(mutex_);
    return s_;
  }
  bool WaitUntil(const std::function<bool(const PortState&)>& done, int timeoutMs = 5000) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return done(s_); });
  }
  std::atomic<bool> closed{false}, calledAfterClose{false};

 private:
  void NoteCall() {
    if (closed.load()) calledAfterClose = true;
  }
  const WAVEFORMATEX format_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  PortState s_;
};

class AlsaDriverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    if (!test::PulseAnswers(&why)) GTEST_SKIP() << why;
    lock_ = std::make_unique<test::NullSinkLock>();
    ASSERT_TRUE(lock_->held()) << "the null sink stayed busy";
    ASSERT_TRUE(kAlsaDriver.init()) << "a sound server answers but ALSA opens no device";
  }
  void TearDown() override { Close(); }

  // Opens an input stream on a new port; it starts stopped.
  void Open() {
    const WAVEFORMATEX format = Pcm(44100, 2, 16);
    port_ = std::make_unique<ScriptedPort>(format);
    ASSERT_EQ(MMSYSERR_NOERROR,
              kAlsaDriver.open(Direction::Input, kAlsaDriver.default_device(Direction::Input),
                               &format, port_.get(), &stream_));
  }
  // Starts input and waits for more than `calls` captures.
  void StartInput(size_t calls = 0) {
    port_->Change([](PortState& s) { s.running = true; });
    kAlsaDriver.start(stream_);
    ASSERT_TRUE(port_->WaitUntil([&](const PortState& s) { return s.captureCalls > calls; }));
  }
  // What the front end does: no more work for the device loop, then close, which must return
  // within `limit` and leave the port alone.
  void Close(Seconds limit = Seconds(60)) {
    if (stream_ == nullptr) return;
    const auto began = std::chrono::steady_clock::now();
    port_->Change([](PortState& s) { s.closing = true, s.running = false; });
    kAlsaDriver.close(stream_);
    port_->closed = true;
    stream_ = nullptr;
    EXPECT_FALSE(port_->calledAfterClose);
    EXPECT_LT(std::chrono::steady_clock::now() - began, limit);
  }

  std::unique_ptr<test::NullSinkLock> lock_;
  std::unique_ptr<ScriptedPort> port_;
  DriverStream* stream_ = nullptr;
};

// The sound server is the default device in both directions; query answers without keeping the
// device, and open refuses what query refuses.
TEST_F(AlsaDriverTest, ListsTheServerAndRefusesWhatItCannotServe) {
  const WAVEFORMATEX good = Pcm(8000, 1, 8), bad = Pcm(44100, 2, 24);
  ScriptedPort port(good);
  DriverStream* stream = nullptr;
  for (Direction dir : {Direction::Input, Direction::Output}) {
    ASSERT_GE(kAlsaDriver.count(dir), 1u);
    DeviceCaps caps{};
    ASSERT_EQ(kAlsaDriver.caps(dir, kAlsaDriver.default_device(dir), &caps), MMSYSERR_NOERROR);
    EXPECT_STREQ(caps.name, "Default (PulseAudio)");
    EXPECT_EQ(kAlsaDriver.caps(dir, kAlsaDriver.count(dir), &caps), MMSYSERR_BADDEVICEID);
    EXPECT_EQ(kAlsaDriver.query(dir, 0, &good), MMSYSERR_NOERROR);
    EXPECT_EQ(kAlsaDriver.query(dir, 0, &bad), WAVERR_BADFORMAT);
    EXPECT_EQ(kAlsaDriver.open(dir, 0, &bad, &port, &stream), WAVERR_BADFORMAT);
    EXPECT_EQ(kAlsaDriver.open(dir, kAlsaDriver.count(dir), &good, &port, &stream),
              MMSYSERR_BADDEVICEID);
  }
  EXPECT_EQ(stream, nullptr);
}

// One input device's life: opened stopped, it delivers nothing and the loop sleeps; started,
// stopped and started again, audio flows; when the application stops taking audio for longer than
// the device holds, the device over-runs, the lost audio is reported as a gap and capture carries
// on afterwards; held inside Capture again, close still returns at once and the port hears
// nothing more.
TEST_F(AlsaDriverTest, CaptureWalksThroughStopOverrunAndClose) {
  ASSERT_NO_FATAL_FAILURE(Open());
  ScriptedPort* port = port_.get();
  ASSERT_TRUE(port->WaitUntil([](const PortState& s) { return s.idleWaits >= 1; }));
  EXPECT_EQ(port->Now().captureCalls, 0u);
  for (int round = 0; round < 2; ++round) {
    StartInput(port->Now().captureCalls + 2);
    const size_t waits = port->Now().idleWaits;
    port->Change([](PortState& s) { s.running = false; });
    kAlsaDriver.stop(stream_);
    ASSERT_TRUE(port->WaitUntil([&](const PortState& s) { return s.idleWaits > waits; }))
        << "the device loop did not stop reading";
  }

  EXPECT_EQ(port->Now().gapFrames, 0u);
  port->Change([](PortState& s) { s.holdCapture = true; });
  StartInput(port->Now().captureCalls);
  // A second of audio, twice what the device holds, passes through the server while the device
  // loop is held.
  ChildProcess pacat;
  ASSERT_NO_FATAL_FAILURE(PlayTone(pacat, 700, 44100));
  ASSERT_EQ(pacat.WaitExit(15000), 0);
  port->Change([](PortState& s) { s.holdCapture = false; });
  const size_t before = port->Now().capturedBytes;
  EXPECT_TRUE(port->WaitUntil([&](const PortState& s) {
    return s.capturedBytes >= before + 44100 * 4 / 5;
  })) << "capture did not continue after the over-run";
  // The server dropped what it could not hold: the loop reports the gap (its own reads have no
  // gaps, and time while stopped is none).
  EXPECT_GT(port->Now().gapFrames, 4410u);

  port->Change([](PortState& s) { s.holdCapture = true; });
  const size_t calls = port->Now().captureCalls;
  // A loaded machine can starve the server for seconds; a lost device says so.
  ASSERT_TRUE(port->WaitUntil([&](const PortState& s) { return s.captureCalls > calls; }, 15000))
      << "no read after the over-run; device lost: " << port->Now().lost;
  Close(Seconds(2));
}

// When the server goes away the device loop notices the loss and stops and close still returns;
// a device opened once a server is back captures again.  (The recorder's side of a lost device
// is in the engine's device loss test.)
TEST_F(AlsaDriverTest, ServerThatGoesAwayStopsTheDeviceLoopAndANewOneServes) {
  for (const bool kill : {true, false}) {
    test::PrivatePulseServer server(kill ? "gone" : "back");
    if (!server.running()) GTEST_SKIP() << "a private PulseAudio server could not be started";
    ScopedEnv use("PULSE_SERVER", server.address().c_str());  // for devices opened from now on
    ASSERT_NO_FATAL_FAILURE(Open());
    StartInput(2);
    if (kill) {
      server.Kill();
      EXPECT_TRUE(port_->WaitUntil([](const PortState& s) { return s.lost; }, 10000))
          << "the device loop did not report that the server went away";
    }
    Close(Seconds(3));
  }
}

// ---- Through the wave functions ----

// A format the wave functions capture in, and the tone played for it.
struct Format {
  DWORD rate;
  WORD channels, bits;
  double hertz;
};

// Whether a message of kind `kind` arrives within five seconds (others are dropped).
bool Arrives(UINT kind) {
  MSG msg{};
  while (testing::NextMessage(&msg, 5000) && msg.message != kind) {
  }
  return msg.message == kind;
}

class AlsaWaveTest : public AlsaDriverTest, public ::testing::WithParamInterface<Format> {
 protected:
  void SetUp() override {
    AlsaDriverTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    ASSERT_TRUE(SelectDriverForTesting("alsa")) << "ALSA finds no device";
    MSG msg;  // nothing of an earlier test stays in this thread's queue
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    }
  }
  void TearDown() override { SelectDriverForTesting(nullptr); }
};

// Capture through waveInOpen(WAVE_MAPPER) while pacat plays a tone into the null sink, with
// completions arriving on the test thread (CALLBACK_THREAD): the tone comes back whole, at its
// frequency and level, in every channel.
TEST_P(AlsaWaveTest, CapturesATonePlayedIntoTheSink) {
  const Format f = GetParam();
  const WAVEFORMATEX format = Pcm(f.rate, f.channels, f.bits);
  HWAVEIN in = nullptr;
  ASSERT_EQ(waveInOpen(&in, WAVE_MAPPER, &format, GetCurrentThreadId(), 0, CALLBACK_THREAD),
            MMSYSERR_NOERROR);
  ASSERT_TRUE(Arrives(MM_WIM_OPEN));
  // Buffers of 100 ms, as the recorder uses them.
  auto buffers =
      testing::MakeBuffers(in, waveInPrepareHeader, 8,
                           format.nAvgBytesPerSec / 10 / format.nBlockAlign * format.nBlockAlign);
  for (auto& b : buffers) {
    ASSERT_EQ(waveInAddBuffer(in, &b->header, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
  }
  ASSERT_EQ(waveInStart(in), MMSYSERR_NOERROR);

  // Takes the filled buffers: keeps their audio and queues them again.
  std::vector<uint8_t> captured;
  const auto pumpUntil = [&](const std::function<bool()>& done, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    MSG msg;
    while (!done()) {
      if (std::chrono::steady_clock::now() >= deadline) return false;
      if (!testing::NextMessage(&msg, 50) || msg.message != MM_WIM_DATA) continue;
      auto* h = reinterpret_cast<WAVEHDR*>(msg.lParam);
      captured.insert(captured.end(), h->lpData, h->lpData + h->dwBytesRecorded);
      EXPECT_EQ(waveInAddBuffer(in, h, sizeof *h), MMSYSERR_NOERROR);
    }
    return true;
  };
  ASSERT_TRUE(pumpUntil([&] { return !captured.empty(); }, 5000)) << "no buffer came back";
  ChildProcess pacat;
  ASSERT_NO_FATAL_FAILURE(PlayTone(pacat, f.hertz, 44100));
  int status = -1;
  ASSERT_TRUE(pumpUntil([&] { return (status = pacat.WaitExit(0)) >= 0; }, 15000));
  ASSERT_EQ(status, 0) << "pacat did not play the tone";
  const size_t after = captured.size();
  ASSERT_TRUE(
      pumpUntil([&] { return captured.size() >= after + format.nAvgBytesPerSec * 3 / 10; }, 5000));

  // Reset returns every buffer, so the device closes.
  ASSERT_EQ(waveInReset(in), MMSYSERR_NOERROR);
  ASSERT_EQ(waveInClose(in), MMSYSERR_NOERROR);
  EXPECT_TRUE(Arrives(MM_WIM_CLOSE));

  std::vector<int16_t> samples = test::SamplesFromBytes(captured);
  if (f.bits == 8) {
    samples.clear();
    for (uint8_t b : captured) samples.push_back(static_cast<int16_t>((b - 128) * 256));
  }
  // The whole second of the tone arrives, at its frequency and level, in every channel.
  for (int c = 0; c < f.channels; ++c) {
    test::ExpectToneStretches(test::Channel(samples, f.channels, c), f.rate, f.hertz,
                              f.rate * 9 / 10);
  }
}

INSTANTIATE_TEST_SUITE_P(Formats, AlsaWaveTest,
                         ::testing::Values(Format{44100, 2, 16, 1000.0},
                                           Format{22050, 1, 8, 600.0}),
                         [](const auto& info) { return std::to_string(info.param.bits) + "bit"; });

}  // namespace
}  // namespace voxl::wave
