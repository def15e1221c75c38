// The virtual driver through the wave functions: input signals sample for sample, buffer order,
// stop and reset of partly filled buffers, output capture with pause, restart and reset, fault
// injection, and the real-time and free-running clocks.
#include <cmath>
#include <cstring>
#include <future>
#include <numeric>
#include <string>
#include <thread>

#include "support/peer.h"
#include "wave_fixture.h"

namespace voxl::wave::testing {
namespace {

namespace va = voxl::virtualaudio;

// The value of sample `channel` of frame `frame` in a device-format byte buffer.
int SampleAt(const Buffer& b, const WAVEFORMATEX& f, size_t frame, int channel) {
  const uint8_t* p = b.data.data() + frame * f.nBlockAlign + channel * (f.wBitsPerSample / 8);
  return f.wBitsPerSample == 8 ? p[0] : static_cast<int16_t>(p[0] | p[1] << 8);
}

va::Signal Sine() {
  va::Signal sine;
  sine.kind = va::Signal::Kind::Sine;
  return sine;
}

// Messages of this thread of kind `message`, waiting at most `deadline` for `count` of them.
std::vector<MSG> WaitForMessages(size_t count, UINT message, std::chrono::milliseconds deadline) {
  std::vector<MSG> got;
  const auto end = std::chrono::steady_clock::now() + deadline;
  MSG msg;
  while (got.size() < count && std::chrono::steady_clock::now() < end) {
    if (NextMessage(&msg, 50) && msg.message == message) got.push_back(msg);
  }
  return got;
}

class DeviceTest : public WaveTest {
 protected:
  void OpenIn(const WAVEFORMATEX& f) {
    format_ = f;
    ASSERT_EQ(MMSYSERR_NOERROR, waveInOpen(&in_, 0, &f, ThisThread(), 0, CALLBACK_THREAD));
  }
  void Queue(size_t count, size_t bytes) {
    buffers_ = MakeBuffers(in_, waveInPrepareHeader, count, bytes);
    for (auto& b : buffers_) {
      ASSERT_EQ(MMSYSERR_NOERROR, waveInAddBuffer(in_, &b->header, sizeof(WAVEHDR)));
    }
  }
  void OpenOut(const WAVEFORMATEX& f) {
    ASSERT_EQ(MMSYSERR_NOERROR, waveOutOpen(&out_, 0, &f, ThisThread(), 0, CALLBACK_THREAD));
  }
  // Writes `count` buffers of `bytes`, each filled with a distinct ramp.
  void Write(size_t count, size_t bytes) {
    for (auto& b : MakeBuffers(out_, waveOutPrepareHeader, count, bytes)) {
      std::iota(b->data.begin(), b->data.end(), static_cast<uint8_t>(17 * buffers_.size()));
      ASSERT_EQ(MMSYSERR_NOERROR, waveOutWrite(out_, &b->header, sizeof(WAVEHDR)));
      buffers_.push_back(std::move(b));
    }
  }
  std::vector<uint8_t> Played(std::initializer_list<size_t> which) const {
    std::vector<uint8_t> all;
    for (size_t i : which)
      all.insert(all.end(), buffers_[i]->data.begin(), buffers_[i]->data.end());
    return all;
  }
  void ExpectReturnedInOrder(UINT message, size_t first, size_t count) {
    auto headers = Headers(message);
    ASSERT_EQ(count, headers.size());
    for (size_t i = 0; i < count; ++i) {
      EXPECT_EQ(&buffers_[first + i]->header, headers[i]) << i;
      EXPECT_EQ(WHDR_DONE | WHDR_PREPARED, headers[i]->dwFlags) << i;
    }
  }
  void TearDown() override {
    if (in_ != nullptr) {
      EXPECT_EQ(MMSYSERR_NOERROR, waveInReset(in_));
      EXPECT_EQ(MMSYSERR_NOERROR, waveInClose(in_));
    }
    if (out_ != nullptr) {
      EXPECT_EQ(MMSYSERR_NOERROR, waveOutReset(out_));
      EXPECT_EQ(MMSYSERR_NOERROR, waveOutClose(out_));
    }
  }
  WAVEFORMATEX format_{};
  HWAVEIN in_ = nullptr;
  HWAVEOUT out_ = nullptr;
  std::vector<std::unique_ptr<Buffer>> buffers_;
};

class SineInputTest : public DeviceTest, public ::testing::WithParamInterface<WAVEFORMATEX> {};

TEST_P(SineInputTest, ManualClockDeliversExactlyTheRequestedBuffersSampleForSample) {
  const WAVEFORMATEX f = GetParam();
  va::Signal sine = Sine();
  sine.frequency[0] = 440.0;
  sine.frequency[1] = 1250.0;
  sine.amplitude[1] = 0.9;
  sine.phase[1] = 1.0;
  va::SetInputSignal(0, sine);
  OpenIn(f);
  const size_t frames = 250;
  Queue(4, frames * f.nBlockAlign);
  ASSERT_EQ(MMSYSERR_NOERROR, waveInStart(in_));
  ASSERT_EQ(3u, va::CompleteInputBuffers(0, 3));
  ExpectReturnedInOrder(MM_WIM_DATA, 0, 3);
  EXPECT_EQ(3 * frames, va::FramesDelivered(0));
  EXPECT_EQ(WHDR_INQUEUE | WHDR_PREPARED, buffers_[3]->header.dwFlags);

  for (size_t i = 0; i < 3; ++i) {
    ASSERT_EQ(buffers_[i]->header.dwBufferLength, buffers_[i]->header.dwBytesRecorded);
    for (size_t n = 0; n < frames; ++n) {
      for (int c = 0; c < f.nChannels; ++c) {
        ASSERT_EQ(va::SampleValue(sine, f, i * frames + n, c), SampleAt(*buffers_[i], f, n, c))
            << "buffer " << i << " frame " << n << " channel " << c;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Formats, SineInputTest,
                         ::testing::Values(Pcm(8000, 1, 16), Pcm(44100, 2, 16), Pcm(11025, 1, 8),
                                           Pcm(22050, 2, 8)));

// Nothing comes before start or without buffers; stop returns only a partly filled buffer;
// reset returns every buffer in queue order, the partial one with its bytes, and stops input.
TEST_F(DeviceTest, StopAndResetReturnPartlyFilledBuffersWithTheirBytes) {
  const va::Signal sine = Sine();
  va::SetInputSignal(0, sine);
  OpenIn(Pcm(8000, 1, 16));
  EXPECT_EQ(0u, va::CompleteInputBuffers(0, 1, 0)) << "no buffers";
  Queue(4, 200);  // 100 frames each
  EXPECT_EQ(0u, va::CompleteInputBuffers(0, 1, 0)) << "not started";
  EXPECT_EQ(0u, va::CompleteInputBuffers(1, 1, 0)) << "no such device";
  ASSERT_EQ(MMSYSERR_NOERROR, waveInStart(in_));
  ASSERT_EQ(MMSYSERR_NOERROR, waveInStop(in_));
  EXPECT_TRUE(Headers(MM_WIM_DATA).empty()) << "an empty buffer stays queued";

  ASSERT_EQ(MMSYSERR_NOERROR, waveInStart(in_));
  ASSERT_EQ(130u, va::DeliverInputFrames(0, 130));
  ASSERT_EQ(MMSYSERR_NOERROR, waveInStop(in_));
  ExpectReturnedInOrder(MM_WIM_DATA, 0, 2);
  EXPECT_EQ(60u, buffers_[1]->header.dwBytesRecorded);
  EXPECT_EQ(WHDR_INQUEUE | WHDR_PREPARED, buffers_[2]->header.dwFlags);

  ASSERT_EQ(MMSYSERR_NOERROR, waveInStart(in_));
  ASSERT_EQ(30u, va::DeliverInputFrames(0, 30));
  ASSERT_EQ(MMSYSERR_NOERROR, waveInReset(in_));
  ExpectReturnedInOrder(MM_WIM_DATA, 2, 2);
  EXPECT_EQ(60u, buffers_[2]->header.dwBytesRecorded);
  EXPECT_EQ(0u, buffers_[3]->header.dwBytesRecorded);
  for (size_t n = 0; n < 30; ++n) {
    ASSERT_EQ(va::SampleValue(sine, format_, 100 + n, 0), SampleAt(*buffers_[1], format_, n, 0));
    ASSERT_EQ(va::SampleValue(sine, format_, 130 + n, 0), SampleAt(*buffers_[2], format_, n, 0));
  }
  ASSERT_EQ(MMSYSERR_NOERROR, waveInAddBuffer(in_, &buffers_[0]->header, sizeof(WAVEHDR)));
  EXPECT_EQ(0u, va::CompleteInputBuffers(0, 1, 0)) << "reset stopped the input";
  ASSERT_EQ(MMSYSERR_NOERROR, waveInStart(in_));
  EXPECT_EQ(1u, va::CompleteInputBuffers(0, 2, 0)) << "only one buffer queued";
}

TEST_F(DeviceTest, CallbackSignalFillsWholeFramesFromTheFrameIndex) {
  va::Signal counting;
  counting.kind = va::Signal::Kind::Callback;
  counting.fill = [](const WAVEFORMATEX&, uint64_t frame, void* data, size_t bytes) {
    auto* s = static_cast<int16_t*>(data);
    for (size_t i = 0; i < bytes / 2; ++i) s[i] = static_cast<int16_t>(frame + i);
  };
  va::SetInputSignal(0, counting);
  OpenIn(Pcm(8000, 1, 16));
  Queue(2, 21);  // ten frames and a spare byte
  ASSERT_EQ(MMSYSERR_NOERROR, waveInStart(in_));
  ASSERT_EQ(2u, va::CompleteInputBuffers(0, 2));
  EXPECT_EQ(20u, buffers_[1]->header.dwBytesRecorded);
  EXPECT_EQ(0xEE, buffers_[1]->data[20]);
  for (size_t n = 0; n < 10; ++n) {
    EXPECT_EQ(static_cast<int>(n + 10), SampleAt(*buffers_[1], format_, n, 0));
  }
}

void UseFile(const std::string& path, bool loop = false) {
  va::Signal file;
  file.kind = va::Signal::Kind::File;
  file.path = path;
  file.loop = loop;
  va::SetInputSignal(0, file);
}

TEST_F(DeviceTest, WaveFileIsTheMicrophoneConvertedAndLooped) {
  voxl::test::TempDir dir;
  std::vector<uint8_t> data;  // three stereo frames: left 1000*k, right -1000*k
  for (int16_t v : {1000, -1000, 2000, -2000, 3000, -3000}) {
    data.insert(data.end(), {static_cast<uint8_t>(v & 0xFF), static_cast<uint8_t>(v >> 8)});
  }
  const std::string path = dir.File("mic.wav");
  ASSERT_TRUE(voxl::test::WriteWaveFile(path, {1, 2, 8000, 16}, data));
  UseFile(path, true);
  // A mono device hears the channels averaged (0); a stereo one hears each channel, looped.
  for (WORD channels : {1, 2}) {
    OpenIn(Pcm(8000, channels, 16));
    Queue(1, 2 * channels * 7);
    ASSERT_EQ(MMSYSERR_NOERROR, waveInStart(in_));
    ASSERT_EQ(1u, va::CompleteInputBuffers(0, 1));
    for (size_t n = 0; n < 7; ++n) {
      const int k = channels == 1 ? 0 : static_cast<int>(n % 3) + 1;
      EXPECT_EQ(1000 * k, SampleAt(*buffers_[0], format_, n, 0)) << n;
      EXPECT_EQ(-1000 * k, SampleAt(*buffers_[0], format_, n, channels - 1)) << n;
    }
    ASSERT_EQ(MMSYSERR_NOERROR, waveInReset(in_));
    ASSERT_EQ(MMSYSERR_NOERROR, waveInClose(in_));
    in_ = nullptr;
  }
}

TEST_F(DeviceTest, FileOfAnotherRateOrUnreadableIsRefused) {
  voxl::test::TempDir dir;
  const std::string path = dir.File("mic.wav");
  ASSERT_TRUE(voxl::test::WriteWaveFile(path, {1, 1, 16000, 16}, std::vector<uint8_t>(64)));
  UseFile(path);
  const WAVEFORMATEX f8k = Pcm(8000, 1, 16), f16k = Pcm(16000, 2, 8);
  HWAVEIN in = nullptr;
  EXPECT_EQ(WAVERR_BADFORMAT, waveInOpen(nullptr, 0, &f8k, 0, 0, WAVE_FORMAT_QUERY));
  EXPECT_EQ(WAVERR_BADFORMAT, waveInOpen(&in, 0, &f8k, 0, 0, CALLBACK_NULL));
  EXPECT_EQ(MMSYSERR_NOERROR, waveInOpen(nullptr, 0, &f16k, 0, 0, WAVE_FORMAT_QUERY));

  UseFile(dir.File("missing.wav"));
  EXPECT_EQ(MMSYSERR_ERROR, waveInOpen(&in, 0, &f16k, 0, 0, CALLBACK_NULL));
  ASSERT_TRUE(voxl::test::WriteBinaryFile(path, "RIFF\x04\0\0\0WAVE", 12));
  UseFile(path);
  EXPECT_EQ(WAVERR_BADFORMAT, waveInOpen(&in, 0, &f16k, 0, 0, CALLBACK_NULL));
  EXPECT_FALSE(va::InputOpen(0));
}

// What VOXL_VIRTUAL_INPUT asks for: silence, a tone (440 Hz, -12 dBFS unless given) or a file;
// any other text is silence.
TEST(InputSettingTest, SilenceToneOrFileAndSilenceForAnythingElse) {
  using Kind = va::Signal::Kind;
  const struct {
    const char* text;
    Kind kind;
    double hertz = 0.0, dbfs = 0.0;
    std::string path = {};
  } cases[] = {{nullptr, Kind::Silence},
               {"silence", Kind::Silence},
               {"tone", Kind::Sine, 440, -12},
               {"tone:1000", Kind::Sine, 1000, -12},
               {"tone:1e3:-6.5", Kind::Sine, 1000, -6.5},
               {"tone:50:0", Kind::Sine, 50, 0},
               {"file:/a:b.wav", Kind::File, 0, 0, "/a:b.wav"}};
  for (const auto& c : cases) {
    const va::Signal signal = va::ParseInputSetting(c.text);
    ASSERT_EQ(signal.kind, c.kind) << c.text;
    EXPECT_EQ(signal.path, c.path);
    if (c.kind != Kind::Sine) continue;
    for (int channel = 0; channel < 2; ++channel) {
      EXPECT_EQ(signal.frequency[channel], c.hertz) << c.text;
      EXPECT_NEAR(20 * std::log10(signal.amplitude[channel]), c.dbfs, 1e-9) << c.text;
    }
  }
  for (const char* bad :
       {"", "Tone", " tone", "tones", "tone:", "tone:0", "tone:-440", "tone:nan", "tone:inf",
        "tone:440x", "tone:440:3", "tone:440:", "tone:440:-6:1", "file:", "sine:440", "1000"}) {
    EXPECT_EQ(va::ParseInputSetting(bad).kind, Kind::Silence) << bad;
  }
}

// The variable is read at each open; a signal set through SetInputSignal wins over it, and a
// file it names that cannot be read refuses the open (but not a format query: a recorder checks
// its default format before it records at the file's rate).
TEST_F(DeviceTest, InputSettingIsReadAtEachOpenUnlessASignalIsSet) {
  ScopedEnv setting(va::kInputSettingVariable, "tone:1000:-6");
  va::Signal tone = Sine();
  tone.amplitude[0] = std::pow(10.0, -6.0 / 20.0);
  for (const bool signalSet : {false, true}) {
    if (signalSet) va::SetInputSignal(0, va::Signal{});
    OpenIn(Pcm(8000, 1, 16));
    Queue(1, 200);
    ASSERT_EQ(MMSYSERR_NOERROR, waveInStart(in_));
    ASSERT_EQ(1u, va::CompleteInputBuffers(0, 1));
    for (size_t n = 0; n < 100; ++n) {
      ASSERT_EQ(signalSet ? 0 : va::SampleValue(tone, format_, n, 0),
                SampleAt(*buffers_[0], format_, n, 0))
          << n;
    }
    ASSERT_EQ(MMSYSERR_NOERROR, waveInReset(in_));
    ASSERT_EQ(MMSYSERR_NOERROR, waveInClose(in_));
    in_ = nullptr;
  }
  va::Reset();
  ScopedEnv missing(va::kInputSettingVariable, "file:/nonexistent/mic.wav");
  const WAVEFORMATEX f = Pcm(8000, 1, 16);
  EXPECT_EQ(MMSYSERR_NOERROR, waveInOpen(nullptr, 0, &f, 0, 0, WAVE_FORMAT_QUERY));
  EXPECT_EQ(MMSYSERR_ERROR, waveInOpen(&in_, 0, &f, ThisThread(), 0, CALLBACK_THREAD));
}

// The capture, and the capture file read back with libsndfile, hold what was written in order.
TEST_F(DeviceTest, OutputCaptureEqualsWhatWasWrittenInOrder) {
  voxl::test::TempDir dir;
  const std::string path = dir.File("played.wav");
  va::SetOutputCaptureFile(0, path);
  const WAVEFORMATEX f = Pcm(22050, 2, 16);
  OpenOut(f);
  Write(3, 400);
  ASSERT_EQ(3u, va::CompleteOutputBuffers(0, 3));
  EXPECT_EQ(Played({0, 1, 2}), va::OutputCapture(0));
  EXPECT_EQ(300u, va::FramesConsumed(0));
  EXPECT_EQ(0, std::memcmp(&f, &static_cast<const WAVEFORMATEX&>(va::OutputCaptureFormat(0)), 16));
  ExpectReturnedInOrder(MM_WOM_DONE, 0, 3);
  ASSERT_EQ(MMSYSERR_NOERROR, waveOutClose(out_));
  out_ = nullptr;
  auto wave = voxl::test::ReadWithSndfile(path);
  ASSERT_TRUE(wave.has_value());
  EXPECT_EQ(2, wave->channels);
  EXPECT_EQ(22050, wave->sampleRate);
  EXPECT_EQ(300, wave->frames);
  EXPECT_EQ(Played({0, 1, 2}), wave->raw);
  va::ClearOutputCapture(0);
  EXPECT_TRUE(va::OutputCapture(0).empty());
}

TEST_F(DeviceTest, PauseHoldsTheAudioRestartResumesAndResetDropsItAndThePause) {
  OpenOut(Pcm(8000, 1, 8));
  ASSERT_EQ(MMSYSERR_NOERROR, waveOutPause(out_));
  Write(2, 100);
  EXPECT_EQ(0u, va::CompleteOutputBuffers(0, 1, 0));
  EXPECT_TRUE(va::OutputCapture(0).empty());
  EXPECT_TRUE(Headers(MM_WOM_DONE).empty());
  ASSERT_EQ(MMSYSERR_NOERROR, waveOutRestart(out_));
  ASSERT_EQ(1u, va::CompleteOutputBuffers(0, 1));
  ASSERT_EQ(MMSYSERR_NOERROR, waveOutPause(out_));
  ASSERT_EQ(MMSYSERR_NOERROR, waveOutPause(out_)) << "pausing twice is harmless";
  EXPECT_EQ(0u, va::CompleteOutputBuffers(0, 1, 0));
  ASSERT_EQ(MMSYSERR_NOERROR, waveOutRestart(out_));
  ASSERT_EQ(1u, va::CompleteOutputBuffers(0, 1));
  EXPECT_EQ(Played({0, 1}), va::OutputCapture(0));

  Write(3, 100);
  ASSERT_EQ(1u, va::CompleteOutputBuffers(0, 1));
  ASSERT_EQ(MMSYSERR_NOERROR, waveOutPause(out_));
  ASSERT_EQ(MMSYSERR_NOERROR, waveOutReset(out_));
  ExpectReturnedInOrder(MM_WOM_DONE, 0, 5);
  EXPECT_EQ(Played({0, 1, 2}), va::OutputCapture(0));
  Write(1, 100);
  ASSERT_EQ(1u, va::CompleteOutputBuffers(0, 1, 0)) << "the reset ended the pause";
  EXPECT_EQ(Played({0, 1, 2, 5}), va::OutputCapture(0));
}

// Refused opens give their error and leave nothing open; a prepare fault hits only the k-th
// header; a device that stops delivering completes no more buffers.
TEST_F(DeviceTest, InjectedFaultsGiveTheirErrors) {
  const WAVEFORMATEX f = Pcm(44100, 2, 16);
  const struct {
    va::Faults faults;
    MMRESULT query, open;
  } cases[] = {{{.refuseOpen = true}, MMSYSERR_NOERROR, MMSYSERR_ALLOCATED},
               {{.refuseFormat = true}, WAVERR_BADFORMAT, WAVERR_BADFORMAT}};
  for (const auto& c : cases) {
    va::SetInputFaults(0, c.faults);
    va::SetOutputFaults(0, c.faults);
    EXPECT_EQ(c.query, waveInOpen(nullptr, 0, &f, 0, 0, WAVE_FORMAT_QUERY));
    EXPECT_EQ(c.query, waveOutOpen(nullptr, 0, &f, 0, 0, WAVE_FORMAT_QUERY));
    EXPECT_EQ(c.open, waveInOpen(&in_, 0, &f, ThisThread(), 0, CALLBACK_THREAD));
    EXPECT_EQ(c.open, waveOutOpen(&out_, 0, &f, ThisThread(), 0, CALLBACK_THREAD));
    EXPECT_TRUE(in_ == nullptr && out_ == nullptr);
    EXPECT_FALSE(va::InputOpen(0) || va::OutputOpen(0));
    EXPECT_TRUE(TakeMessages().empty()) << "no open message for a refused open";
  }

  va::SetInputFaults(0, {.failPrepareAt = 2, .stopAfterBuffers = 2});
  OpenIn(Pcm(8000, 1, 16));
  Buffer a(160), b(160);
  EXPECT_EQ(MMSYSERR_NOERROR, waveInPrepareHeader(in_, &a.header, sizeof(WAVEHDR)));
  EXPECT_EQ(MMSYSERR_NOMEM, waveInPrepareHeader(in_, &b.header, sizeof(WAVEHDR)));
  EXPECT_FALSE(b.header.dwFlags & WHDR_PREPARED);
  EXPECT_EQ(WAVERR_UNPREPARED, waveInAddBuffer(in_, &b.header, sizeof(WAVEHDR)));
  Queue(3, 160);  // the third prepare and later succeed
  ASSERT_EQ(MMSYSERR_NOERROR, waveInStart(in_));
  EXPECT_EQ(2u, va::CompleteInputBuffers(0, 3));
  EXPECT_EQ(0u, va::DeliverInputFrames(0, 10));
  EXPECT_EQ(2u, Headers(MM_WIM_DATA).size());
  EXPECT_EQ(160u, va::FramesDelivered(0));
}

// An engine requeues each buffer from its own thread as soon as it comes back; the manual clock
// must still complete exactly the number asked for.
TEST_F(DeviceTest, ManualClockCountsBuffersRequeuedAtOnceFromAnotherThread) {
  std::promise<DWORD> ready;
  std::thread engine([&ready] {
    MSG msg;
    PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);
    ready.set_value(GetCurrentThreadId());
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
      if (msg.message == MM_WIM_DATA) {
        waveInAddBuffer(reinterpret_cast<HWAVEIN>(msg.wParam),
                        reinterpret_cast<WAVEHDR*>(msg.lParam), sizeof(WAVEHDR));
      }
    }
  });
  const DWORD engine_id = ready.get_future().get();
  const WAVEFORMATEX f = Pcm(8000, 1, 16);
  EXPECT_EQ(MMSYSERR_NOERROR, waveInOpen(&in_, 0, &f, engine_id, 0, CALLBACK_THREAD));
  Queue(2, 160);
  EXPECT_EQ(MMSYSERR_NOERROR, waveInStart(in_));
  EXPECT_EQ(5u, va::CompleteInputBuffers(0, 5));
  EXPECT_EQ(5u * 80, va::FramesDelivered(0));
  PostThreadMessageA(engine_id, WM_QUIT, 0, 0);
  engine.join();
}

TEST_F(DeviceTest, RealTimeClockPacesBuffersAndStopsInMidBuffer) {
  va::SetClock(va::Clock::RealTime);
  OpenIn(Pcm(8000, 1, 16));
  Queue(3, 2 * 80);  // 10 ms each
  const auto started = std::chrono::steady_clock::now();
  ASSERT_EQ(MMSYSERR_NOERROR, waveInStart(in_));
  ASSERT_EQ(3u, WaitForMessages(3, MM_WIM_DATA, std::chrono::seconds(10)).size());
  EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(25));

  // A four-second buffer fills in slices; stopping returns the part recorded so far.
  Buffer long_buffer(2 * 32000);
  ASSERT_EQ(MMSYSERR_NOERROR, waveInPrepareHeader(in_, &long_buffer.header, sizeof(WAVEHDR)));
  ASSERT_EQ(MMSYSERR_NOERROR, waveInAddBuffer(in_, &long_buffer.header, sizeof(WAVEHDR)));
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (va::FramesDelivered(0) <= 240 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::yield();
  }
  ASSERT_EQ(MMSYSERR_NOERROR, waveInStop(in_));
  ASSERT_EQ(1u, WaitForMessages(1, MM_WIM_DATA, std::chrono::seconds(1)).size());
  const DWORD recorded = long_buffer.header.dwBytesRecorded;
  EXPECT_GT(recorded, 0u);
  EXPECT_LT(recorded, long_buffer.header.dwBufferLength);
  EXPECT_EQ(0u, recorded % 2);
  ASSERT_EQ(MMSYSERR_NOERROR, waveInUnprepareHeader(in_, &long_buffer.header, sizeof(WAVEHDR)));
}

TEST_F(DeviceTest, FreeRunningClockPlaysEverythingWrittenInOrder) {
  va::SetClock(va::Clock::FreeRunning);
  OpenOut(Pcm(44100, 2, 16));
  Write(5, 4 * 441);
  ASSERT_EQ(5u, WaitForMessages(5, MM_WOM_DONE, std::chrono::seconds(10)).size());
  EXPECT_EQ(Played({0, 1, 2, 3, 4}), va::OutputCapture(0));
  EXPECT_EQ(5u * 441, va::FramesConsumed(0));
}

}  // namespace
}  // namespace voxl::wave::testing
