// The ALSA driver on a real sound server, driven directly through its driver record with a
// scripted WavePort: enumeration, format checks, over-run recovery, stop and start, close in
// every state of the device loop, and a server that goes away.  (Tones played and recorded
// through the wave functions are in alsa_wave_test.cpp.)  Skipped, with the reason, when no
// PulseAudio server answers.
#include <alsa/asoundlib.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/wave/wave_driver.h"
#include "support/tone.h"
#include "support/tone_pulse.h"

namespace voxl::wave {

// Defined by the ALSA driver for tests: whether an open stream's device failed.
bool AlsaStreamLostForTesting(DriverStream* stream);

namespace {

using test::ChildProcess;

WAVEFORMATEX Pcm(DWORD rate, WORD channels, WORD bits, WORD tag = WAVE_FORMAT_PCM) {
  WAVEFORMATEX f{};
  f.wFormatTag = tag;
  f.nChannels = channels;
  f.nSamplesPerSec = rate;
  f.wBitsPerSample = bits;
  f.nBlockAlign = static_cast<WORD>(channels * bits / 8);
  f.nAvgBytesPerSec = rate * f.nBlockAlign;
  return f;
}

std::vector<uint8_t> Bytes(const std::vector<int16_t>& samples) {
  std::vector<uint8_t> bytes(samples.size() * 2);
  std::memcpy(bytes.data(), samples.data(), bytes.size());
  return bytes;
}

// A WavePort with one endless buffer: input counts what is captured while running; output
// plays what the test queued.  It counts the device loop's idle waits and flags any call made
// after close, and can hold the device loop inside Capture to force an over-run.
class ScriptedPort : public WavePort {
 public:
  ScriptedPort(Direction dir, const WAVEFORMATEX& format)
      : dir_(dir), format_(format), running_(dir == Direction::Output) {}

  Direction direction() const override { return dir_; }
  const WAVEFORMATEX& format() const override { return format_; }

  size_t Capture(const void*, size_t bytes) override {
    std::unique_lock lock(mutex_);
    NoteCall();
    if (!running_ || closing_) return 0;
    capturedBytes_ += bytes;
    ++captureCalls_;
    changed_.notify_all();
    changed_.wait(lock, [this] { return !holdCapture_ || closing_; });
    return bytes;
  }

  size_t Render(void* out, size_t bytes) override {
    std::lock_guard lock(mutex_);
    NoteCall();
    if (!running_ || closing_) return 0;
    const size_t n = std::min(bytes, queued_.size() - rendered_);
    if (n == 0) return 0;
    std::memcpy(out, queued_.data() + rendered_, n);
    rendered_ += n;
    changed_.notify_all();
    return n;
  }

  size_t PendingBytes() const override {
    std::lock_guard lock(mutex_);
    return dir_ == Direction::Output ? queued_.size() - rendered_ : 1;
  }
  size_t QueuedBuffers() const override { return PendingBytes() > 0 ? 1 : 0; }
  bool Running() const override {
    std::lock_guard lock(mutex_);
    return running_;
  }

  bool WaitForWork() override {
    std::unique_lock lock(mutex_);
    NoteCall();
    ++idleWaits_;
    changed_.notify_all();
    changed_.wait(lock, [this] { return closing_ || woken_ || HasWork(); });
    woken_ = false;
    return !closing_;
  }
  bool WaitForWorkFor(unsigned timeoutMs) override {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                      [this] { return closing_ || HasWork(); });
    return !closing_ && HasWork();
  }
  void Wake() override {
    std::lock_guard lock(mutex_);
    woken_ = true;
    changed_.notify_all();
  }

  // ---- the test's side ----
  void SetRunning(bool running) {
    std::lock_guard lock(mutex_);
    running_ = running;
    changed_.notify_all();
  }
  void Queue(const std::vector<uint8_t>& bytes) {
    std::lock_guard lock(mutex_);
    queued_.insert(queued_.end(), bytes.begin(), bytes.end());
    changed_.notify_all();
  }
  void HoldCapture(bool hold) {
    std::lock_guard lock(mutex_);
    holdCapture_ = hold;
    changed_.notify_all();
  }
  // What the front end does before it closes the driver: no more work for the device loop.
  void BeginClose() {
    std::lock_guard lock(mutex_);
    closing_ = true;
    running_ = false;
    changed_.notify_all();
  }
  void MarkClosed() { closed_.store(true); }

  // Waits (at most timeoutMs) until `done` holds; `done` runs under the port's lock.
  bool WaitUntil(const std::function<bool()>& done, int timeoutMs = 5000) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), done);
  }

  // Fields for the predicates of WaitUntil (read under the lock) and for after close.
  size_t capturedBytes() const { return capturedBytes_; }
  size_t captureCalls() const { return captureCalls_; }
  bool allRendered() const { return rendered_ == queued_.size(); }
  size_t idleWaits() const { return idleWaits_; }
  size_t rendered() const { return rendered_; }
  // The same, outside WaitUntil.
  size_t CaptureCallsNow() const {
    std::lock_guard lock(mutex_);
    return captureCalls_;
  }
  size_t CapturedBytesNow() const {
    std::lock_guard lock(mutex_);
    return capturedBytes_;
  }
  size_t IdleWaitsNow() const {
    std::lock_guard lock(mutex_);
    return idleWaits_;
  }
  bool calledAfterClose() const { return calledAfterClose_.load(); }

 private:
  bool HasWork() const {
    return running_ && (dir_ == Direction::Input || rendered_ < queued_.size());
  }
  void NoteCall() {
    if (closed_.load()) calledAfterClose_.store(true);
  }

  const Direction dir_;
  const WAVEFORMATEX format_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  bool running_;
  bool closing_ = false;
  bool woken_ = false;
  bool holdCapture_ = false;
  size_t capturedBytes_ = 0;
  size_t captureCalls_ = 0;
  std::vector<uint8_t> queued_;
  size_t rendered_ = 0;
  size_t idleWaits_ = 0;
  std::atomic<bool> closed_{false};
  std::atomic<bool> calledAfterClose_{false};
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
  void TearDown() override {
    for (auto& [stream, port] : open_) Close(stream, port);
  }

  // Ports live until after TearDown has closed their streams.
  ScriptedPort& NewPort(Direction dir, const WAVEFORMATEX& format) {
    ports_.push_back(std::make_unique<ScriptedPort>(dir, format));
    return *ports_.back();
  }

  DriverStream* Open(Direction dir, const WAVEFORMATEX& format, ScriptedPort* port) {
    DriverStream* stream = nullptr;
    const MMRESULT result =
        kAlsaDriver.open(dir, kAlsaDriver.default_device(dir), &format, port, &stream);
    EXPECT_EQ(result, MMSYSERR_NOERROR);
    if (stream != nullptr) open_.emplace_back(stream, port);
    return stream;
  }
  void Close(DriverStream*& stream, ScriptedPort* port) {
    if (stream == nullptr) return;
    port->BeginClose();
    kAlsaDriver.close(stream);
    port->MarkClosed();
    stream = nullptr;
  }
  // Closes the stream now (before TearDown).
  void CloseNow(DriverStream* stream) {
    for (auto& [s, port] : open_) {
      if (s == stream) Close(s, port);
    }
  }

  std::string TonePath(const char* name) {
    return ::testing::TempDir() + "voxl_alsa_" + name + "_" + std::to_string(getpid()) + ".raw";
  }

  std::unique_ptr<test::NullSinkLock> lock_;
  std::vector<std::unique_ptr<ScriptedPort>> ports_;
  std::vector<std::pair<DriverStream*, ScriptedPort*>> open_;
};

// ---- Enumeration and formats ----------------------------------------------------------------

TEST_F(AlsaDriverTest, ListsTheSoundServerAsDefaultDeviceInBothDirections) {
  for (Direction dir : {Direction::Input, Direction::Output}) {
    ASSERT_GE(kAlsaDriver.count(dir), 1u);
    EXPECT_EQ(kAlsaDriver.default_device(dir), 0u);
    DeviceCaps caps{};
    ASSERT_EQ(kAlsaDriver.caps(dir, 0, &caps), MMSYSERR_NOERROR);
    EXPECT_STREQ(caps.name, "Default (PulseAudio)");
    EXPECT_EQ(caps.channels, 2);
    for (DWORD bit : {WAVE_FORMAT_1M08, WAVE_FORMAT_2S16, WAVE_FORMAT_4S16, WAVE_FORMAT_48M16,
                      WAVE_FORMAT_96S16}) {
      EXPECT_TRUE(caps.formats & bit) << std::hex << bit;
    }
    EXPECT_EQ(kAlsaDriver.caps(dir, kAlsaDriver.count(dir), &caps), MMSYSERR_BADDEVICEID);
  }
}

struct QueryCase {
  const char* what;
  WAVEFORMATEX format;
  MMRESULT expected;
};

class AlsaQueryTest : public AlsaDriverTest, public ::testing::WithParamInterface<QueryCase> {};

TEST_P(AlsaQueryTest, AnswersWithoutKeepingTheDevice) {
  const QueryCase& c = GetParam();
  for (Direction dir : {Direction::Input, Direction::Output}) {
    EXPECT_EQ(kAlsaDriver.query(dir, 0, &c.format), c.expected) << c.what;
  }
}

WAVEFORMATEX WithBlockAlign(WAVEFORMATEX f, WORD align) {
  f.nBlockAlign = align;
  return f;
}

INSTANTIATE_TEST_SUITE_P(
    Formats, AlsaQueryTest,
    ::testing::Values(
        QueryCase{"cd", Pcm(44100, 2, 16), MMSYSERR_NOERROR},
        QueryCase{"8-bit mono", Pcm(8000, 1, 8), MMSYSERR_NOERROR},
        QueryCase{"48k mono", Pcm(48000, 1, 16), MMSYSERR_NOERROR},
        QueryCase{"mu-law", Pcm(8000, 1, 8, WAVE_FORMAT_MULAW), WAVERR_BADFORMAT},
        QueryCase{"float", Pcm(44100, 2, 32, WAVE_FORMAT_IEEE_FLOAT), WAVERR_BADFORMAT},
        QueryCase{"24-bit", Pcm(44100, 2, 24), WAVERR_BADFORMAT},
        QueryCase{"12-bit", Pcm(44100, 1, 12), WAVERR_BADFORMAT},
        QueryCase{"no channels", Pcm(44100, 0, 16), WAVERR_BADFORMAT},
        QueryCase{"three channels", Pcm(44100, 3, 16), WAVERR_BADFORMAT},
        QueryCase{"rate 0", Pcm(0, 2, 16), WAVERR_BADFORMAT},
        QueryCase{"block align 0", WithBlockAlign(Pcm(44100, 2, 16), 0), WAVERR_BADFORMAT},
        QueryCase{"block align 3", WithBlockAlign(Pcm(44100, 1, 16), 3), WAVERR_BADFORMAT}),
    [](const auto& info) {
      std::string name = info.param.what;
      for (char& ch : name) {
        if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
      }
      return name;
    });

TEST_F(AlsaDriverTest, RefusesUnknownDevicesAndFormatsAtOpen) {
  const WAVEFORMATEX good = Pcm(44100, 2, 16);
  const WAVEFORMATEX bad = Pcm(44100, 3, 16);
  ScriptedPort& port = NewPort(Direction::Input, good);
  DriverStream* stream = nullptr;
  EXPECT_EQ(kAlsaDriver.query(Direction::Input, kAlsaDriver.count(Direction::Input), &good),
            MMSYSERR_BADDEVICEID);
  EXPECT_EQ(kAlsaDriver.open(Direction::Input, kAlsaDriver.count(Direction::Input), &good, &port,
                             &stream),
            MMSYSERR_BADDEVICEID);
  EXPECT_EQ(kAlsaDriver.open(Direction::Output, 0, &bad, &port, &stream), WAVERR_BADFORMAT);
  EXPECT_EQ(kAlsaDriver.query(Direction::Output, 0, nullptr), WAVERR_BADFORMAT);
  EXPECT_EQ(stream, nullptr);
  EXPECT_FALSE(port.calledAfterClose());
}

// ---- Capture ---------------------------------------------------------------------------------

// The application stops taking audio for longer than the device holds: the device over-runs,
// and capture carries on once the application takes audio again.
TEST_F(AlsaDriverTest, CaptureRecoversFromAnOverrun) {
  const WAVEFORMATEX format = Pcm(44100, 2, 16);
  ScriptedPort& port = NewPort(Direction::Input, format);
  DriverStream* stream = Open(Direction::Input, format, &port);
  ASSERT_NE(stream, nullptr);
  port.HoldCapture(true);
  port.SetRunning(true);
  kAlsaDriver.start(stream);
  ASSERT_TRUE(port.WaitUntil([&] { return port.captureCalls() == 1; }));

  // Half a second of audio through the server passes while the device loop is held.
  const std::string tone = TonePath("overrun");
  ASSERT_TRUE(test::WriteRawFile(tone, test::MakeTone(700, -6.0, 44100, 2, 22050)));
  ChildProcess pacat;
  ASSERT_TRUE(pacat.Start({"pacat", "--playback", "--raw", "--format=s16le", "--rate=44100",
                           "--channels=2", "--device=" + test::NullSinkName()},
                          tone));
  ASSERT_EQ(pacat.WaitExit(15000), 0);
  std::remove(tone.c_str());

  port.HoldCapture(false);
  const size_t before = port.CapturedBytesNow();
  EXPECT_TRUE(port.WaitUntil([&] {
    return port.capturedBytes() >= before + format.nAvgBytesPerSec / 5;
  })) << "capture did not continue after the over-run";
}

// Stopped input delivers nothing and the device loop sleeps; started again, audio flows.
TEST_F(AlsaDriverTest, CaptureStopsAndStartsAgain) {
  const WAVEFORMATEX format = Pcm(48000, 1, 16);
  ScriptedPort& port = NewPort(Direction::Input, format);
  DriverStream* stream = Open(Direction::Input, format, &port);
  ASSERT_NE(stream, nullptr);
  ASSERT_TRUE(port.WaitUntil([&] { return port.idleWaits() >= 1; })) << "not waiting for start";
  EXPECT_EQ(port.captureCalls(), 0u);

  for (int round = 0; round < 2; ++round) {
    const size_t calls = port.CaptureCallsNow();
    port.SetRunning(true);
    kAlsaDriver.start(stream);
    ASSERT_TRUE(port.WaitUntil([&] { return port.captureCalls() >= calls + 3; }));
    const size_t idle = port.IdleWaitsNow();
    port.SetRunning(false);
    kAlsaDriver.stop(stream);
    ASSERT_TRUE(port.WaitUntil([&] { return port.idleWaits() > idle; }))
        << "the device loop did not stop reading";
  }
}

// ---- Close ---------------------------------------------------------------------------------

enum class CloseState {
  InputNeverStarted,
  InputRunning,
  InputHeldInCapture,
  OutputIdle,
  OutputPausedWithAudio,
  OutputPlaying
};

class AlsaCloseTest : public AlsaDriverTest, public ::testing::WithParamInterface<CloseState> {};

// Close returns in every state of the device loop, and the port hears nothing afterwards.
TEST_P(AlsaCloseTest, ReturnsAndLeavesThePortAlone) {
  const CloseState state = GetParam();
  const bool input = state <= CloseState::InputHeldInCapture;
  const Direction dir = input ? Direction::Input : Direction::Output;
  const WAVEFORMATEX format = Pcm(44100, 2, 16);
  ScriptedPort& port = NewPort(dir, format);
  if (state == CloseState::OutputPausedWithAudio) port.SetRunning(false);
  if (state == CloseState::OutputPausedWithAudio || state == CloseState::OutputPlaying) {
    port.Queue(Bytes(test::MakeTone(440, -20.0, 44100, 2, 44100 * 5)));
  }
  DriverStream* stream = Open(dir, format, &port);
  ASSERT_NE(stream, nullptr);
  switch (state) {
    case CloseState::InputNeverStarted:
    case CloseState::OutputIdle:
    case CloseState::OutputPausedWithAudio:
      ASSERT_TRUE(port.WaitUntil([&] { return port.idleWaits() > 0; }));
      break;
    case CloseState::InputRunning:
    case CloseState::InputHeldInCapture:
      port.HoldCapture(state == CloseState::InputHeldInCapture);
      port.SetRunning(true);
      kAlsaDriver.start(stream);
      ASSERT_TRUE(port.WaitUntil([&] { return port.captureCalls() > 0; }));
      break;
    case CloseState::OutputPlaying:
      ASSERT_TRUE(port.WaitUntil([&] { return port.rendered() >= 44100 * 4 / 5; }));
      break;
  }
  // The front end stops input before it closes; a held Capture returns once the port closes.
  if (state == CloseState::InputHeldInCapture) {
    port.BeginClose();
    port.HoldCapture(false);
  }
  const auto began = std::chrono::steady_clock::now();
  CloseNow(stream);
  EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(2));
  EXPECT_FALSE(port.calledAfterClose());
}

INSTANTIATE_TEST_SUITE_P(States, AlsaCloseTest,
                         ::testing::Values(CloseState::InputNeverStarted, CloseState::InputRunning,
                                           CloseState::InputHeldInCapture, CloseState::OutputIdle,
                                           CloseState::OutputPausedWithAudio,
                                           CloseState::OutputPlaying));

// ---- A sound server that goes away ---------------------------------------------------------

// A private PulseAudio server that the test can end while a device is open on it.
class PrivateServer {
 public:
  PrivateServer() {
    dir_ = ::testing::TempDir() + "voxl_pulse_gone_" + std::to_string(getpid());
    std::filesystem::create_directories(dir_);
    std::filesystem::permissions(dir_, std::filesystem::perms::owner_all);
    ChildProcess start;
    // --daemonize returns once the server is ready; its pid lands in the runtime folder.
    if (!start.Start({"env", "XDG_RUNTIME_DIR=" + dir_, "HOME=" + dir_, "pulseaudio", "-n",
                      "--log-level=error", "--daemonize=yes", "--exit-idle-time=-1",
                      "--system=false",
                      "--load=module-native-protocol-unix socket=" + dir_ + "/native",
                      "--load=module-null-sink sink_name=voxl_gone norewinds=1"}) ||
        start.WaitExit(10000) != 0) {
      return;
    }
    std::ifstream pidFile(dir_ + "/pulse/pid");
    pidFile >> pid_;
  }
  ~PrivateServer() {
    Stop();
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  bool running() const { return pid_ > 0; }
  std::string address() const { return "unix:" + dir_ + "/native"; }
  // Ends the server at once, as a crash or a removed device would.
  void Stop() {
    if (pid_ > 0) kill(pid_, SIGKILL);
    pid_ = -1;
  }

 private:
  std::string dir_;
  pid_t pid_ = -1;
};

class AlsaServerGoneTest : public AlsaDriverTest, public ::testing::WithParamInterface<Direction> {
 protected:
  void SetUp() override {
    AlsaDriverTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    server_ = std::make_unique<PrivateServer>();
    if (!server_->running()) GTEST_SKIP() << "a private PulseAudio server could not be started";
    const char* old = std::getenv("PULSE_SERVER");
    if (old != nullptr) oldServer_ = old;
    // Devices opened from now on connect to the private server.
    setenv("PULSE_SERVER", server_->address().c_str(), 1);
  }
  void TearDown() override {
    AlsaDriverTest::TearDown();
    if (oldServer_.empty()) {
      unsetenv("PULSE_SERVER");
    } else {
      setenv("PULSE_SERVER", oldServer_.c_str(), 1);
    }
    server_.reset();
  }

  std::unique_ptr<PrivateServer> server_;
  std::string oldServer_;
};

// The device loop notices the loss and stops; close still returns at once.
TEST_P(AlsaServerGoneTest, DeviceLoopStopsAndCloseReturns) {
  const Direction dir = GetParam();
  const WAVEFORMATEX format = Pcm(44100, 2, 16);
  ScriptedPort& port = NewPort(dir, format);
  if (dir == Direction::Output) port.Queue(Bytes(test::MakeTone(440, -20.0, 44100, 2, 44100 * 30)));
  DriverStream* stream = Open(dir, format, &port);
  ASSERT_NE(stream, nullptr);
  if (dir == Direction::Input) {
    port.SetRunning(true);
    kAlsaDriver.start(stream);
    ASSERT_TRUE(port.WaitUntil([&] { return port.captureCalls() > 2; }));
  } else {
    ASSERT_TRUE(port.WaitUntil([&] { return port.rendered() >= 44100 * 4 / 5; }));
  }

  server_->Stop();
  // The driver has no event for the loss; look at it until a deadline.
  bool lost = false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!(lost = AlsaStreamLostForTesting(stream)) &&
         std::chrono::steady_clock::now() < deadline) {
    port.WaitUntil([] { return false; }, 20);
  }
  EXPECT_TRUE(lost) << "the device loop did not notice that the server went away";
  const auto began = std::chrono::steady_clock::now();
  CloseNow(stream);
  EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(3));
  EXPECT_FALSE(port.calledAfterClose());
}

INSTANTIATE_TEST_SUITE_P(Directions, AlsaServerGoneTest,
                         ::testing::Values(Direction::Input, Direction::Output),
                         [](const auto& info) {
                           return info.param == Direction::Input ? "Input" : "Output";
                         });

// ---- No device at all -------------------------------------------------------------------------

// Sets an environment variable (or unsets it, for null) until the end of the scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    had_ = std::getenv(name) != nullptr;
    value ? setenv(name, value, 1) : unsetenv(name);
  }
  ~ScopedEnv() { had_ ? setenv(name_, old_.c_str(), 1) : unsetenv(name_); }

 private:
  const char* name_;
  std::string old_;
  bool had_ = false;
};

// Whether ALSA's default device is the PulseAudio plugin here (its hint names PulseAudio).
bool DefaultIsPulseAudio() {
  void** hints = nullptr;
  bool pulse = false;
  if (snd_device_name_hint(-1, "pcm", &hints) != 0) return false;
  for (void** hint = hints; *hint != nullptr; ++hint) {
    char* name = snd_device_name_get_hint(*hint, "NAME");
    char* desc = snd_device_name_get_hint(*hint, "DESC");
    if (name != nullptr && desc != nullptr && std::strcmp(name, "default") == 0) {
      pulse = std::strstr(desc, "PulseAudio") != nullptr;
    }
    free(name);
    free(desc);
  }
  snd_device_name_free_hint(hints);
  return pulse;
}

// Without sound hardware and with the sound server out of reach, nothing opens: init says so,
// and the automatic choice serves with the virtual driver instead.  Once the server answers
// again, so do the devices.
TEST(AlsaWithoutDevices, InitFindsNothingAndTheVirtualDriverServes) {
  int card = -1;
  if (snd_card_next(&card) == 0 && card >= 0) GTEST_SKIP() << "this machine has sound hardware";
  std::string why;
  if (!test::PulseAnswers(&why)) GTEST_SKIP() << why;
  if (!DefaultIsPulseAudio()) GTEST_SKIP() << "ALSA's default device is not PulseAudio here";
  // ALSA decides what "default" means when it first reads its configuration; read it now, with
  // the server running, so that only the connection fails below.
  ASSERT_TRUE(kAlsaDriver.init());
  {
    ScopedEnv server("PULSE_SERVER", "unix:/nonexistent/voxl-no-server/native");
    ScopedEnv chosen("VOXL_AUDIO_DRIVER", nullptr);
    EXPECT_FALSE(kAlsaDriver.init());
    EXPECT_EQ(kAlsaDriver.count(Direction::Input), 0u);
    EXPECT_EQ(kAlsaDriver.count(Direction::Output), 0u);
    DeviceCaps caps{};
    EXPECT_EQ(kAlsaDriver.caps(Direction::Input, 0, &caps), MMSYSERR_BADDEVICEID);
    ASSERT_TRUE(SelectDriverForTesting(nullptr));
    EXPECT_STREQ(VoxlWaveDriverName(), "virtual");
  }
  EXPECT_TRUE(kAlsaDriver.init());
  SelectDriverForTesting(nullptr);
}

}  // namespace
}  // namespace voxl::wave
