// The virtual driver through the wave functions: input signals sample for sample, buffer order,
// stop and reset of partly filled buffers, output capture with pause, restart and reset, fault
// injection, and the free-running clock.
#include <poll.h>

#include <chrono>
#include <cmath>
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
int SampleAt(const uint8_t* data, const WAVEFORMATEX& f, size_t frame, int channel) {
  const uint8_t* p = data + frame * f.nBlockAlign + channel * (f.wBitsPerSample / 8);
  return f.wBitsPerSample == 8 ? p[0] : static_cast<int16_t>(p[0] | p[1] << 8);
}

class InputTest : public WaveTest {
 protected:
  void Open(const WAVEFORMATEX& f) {
    format_ = f;
    ASSERT_EQ(MMSYSERR_NOERROR, waveInOpen(&in_, 0, &f, ThisThread(), 0, CALLBACK_THREAD));
  }
  void Queue(size_t count, size_t bytes) {
    buffers_ = MakeBuffers(in_, waveInPrepareHeader, count, bytes);
    for (auto& b : buffers_) {
      ASSERT_EQ(MMSYSERR_NOERROR, waveInAddBuffer(in_, &b->header, sizeof(WAVEHDR)));
    }
  }
  // The headers of the MM_WIM_DATA messages waiting, in order.
  std::vector<WAVEHDR*> Returned() {
    std::vector<WAVEHDR*> headers;
    for (const MSG& m : TakeMessages()) {
      if (m.message == MM_WIM_DATA) headers.push_back(reinterpret_cast<WAVEHDR*>(m.lParam));
    }
    return headers;
  }
  void TearDown() override {
    if (in_ != nullptr) {
      EXPECT_EQ(MMSYSERR_NOERROR, waveInReset(in_));
      EXPECT_EQ(MMSYSERR_NOERROR, waveInClose(in_));
    }
  }
  WAVEFORMATEX format_{};
  HWAVEIN in_ = nullptr;
  std::vector<std::unique_ptr<Buffer>> buffers_;
};

class SineInputTest : public InputTest, public ::testing::WithParamInterface<WAVEFORMATEX> {};

TEST_P(SineInputTest, ManualClockDeliversExactlyTheRequestedBuffersSampleForSample) {
  const WAVEFORMATEX f = GetParam();
  va::Signal sine;
  sine.kind = va::Signal::Kind::Sine;
  sine.frequency[0] = 440.0;
  sine.frequency[1] = 1250.0;
  sine.amplitude[1] = 0.9;
  sine.phase[1] = 1.0;
  va::SetInputSignal(0, sine);
  Open(f);
  const size_t frames_per_buffer = 250;
  Queue(4, frames_per_buffer * f.nBlockAlign);
  ASSERT_EQ(MMSYSERR_NOERROR, waveInStart(in_));

  ASSERT_EQ(3u, va::CompleteInputBuffers(0, 3));
  auto returned = Returned();
  ASSERT_EQ(3u, returned.size());
  EXPECT_EQ(3 * frames_per_buffer, va::FramesDelivered(0));
  EXPECT_EQ(WHDR_INQUEUE | WHDR_PREPARED, buffers_[3]->header.dwFlags);  // still waiting

  for (size_t i = 0; i < 3; ++i) {
    const WAVEHDR& h = buffers_[i]->header;
    ASSERT_EQ(&buffers_[i]->header, returned[i]) << "buffers come back in queue order";
    EXPECT_EQ(WHDR_DONE | WHDR_PREPARED, h.dwFlags);
    ASSERT_EQ(h.dwBufferLength, h.dwBytesRecorded);
    for (size_t n = 0; n < frames_per_buffer; ++n) {
      for (int c = 0; c < f.nChannels; ++c) {
        const uint64_t frame = i * frames_per_buffer + n;
        ASSERT_EQ(va::SampleValue(sine, f, frame, c), SampleAt(buffers_[i]->data.data(), f, n, c))
            << "buffer " << i << " frame " << n << " channel " << c;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Formats, SineInputTest,
                         ::testing::Values(Pcm(8000, 1, 16), Pcm(44100, 2, 16), Pcm(11025, 1, 8),
                                           Pcm(22050, 2, 8)),
                         [](const auto& info) {
                           return std::to_string(info.param.nSamplesPerSec) + "Hz" +
                                  std::to_string(info.param.nChannels) + "ch" +
                                  std::to_string(info.param.wBitsPerSample) + "bit";
                         });

TEST_F(InputTest, NothingIsDeliveredBeforeStartOrWithoutBuffers) {
  Open(Pcm(8000, 1, 16));
  EXPECT_EQ(0u, va::CompleteInputBuffers(0, 1, 0));
  Queue(1, 160);
  EXPECT_EQ(0u, va::CompleteInputBuffers(0, 1, 0)) << "not started";
  ASSERT_EQ(MMSYSERR_NOERROR, waveInStart(in_));
  EXPECT_EQ(1u, va::CompleteInputBuffers(0, 2, 0)) << "only one buffer queued";
  EXPECT_EQ(0u, va::CompleteInputBuffers(1, 1, 0)) << "no such device";
}

TEST_F(InputTest, ResetReturnsEveryBufferInQueueOrderThePartialOneWithItsBytes) {
  va::Signal sine;
  sine.kind = va::Signal::Kind::Sine;
  va::SetInputSignal(0, sine);
  Open(Pcm(8000, 1, 16));
  Queue(4, 200);  // 100 frames each
  ASSERT_EQ(MMSYSERR_NOERROR, waveInStart(in_));
  ASSERT_EQ(130u, va::DeliverInputFrames(0, 130));
  ASSERT_EQ(1u, Returned().size());

  ASSERT_EQ(MMSYSERR_NOERROR, waveInReset(in_));
  auto returned = Returned();
  ASSERT_EQ(3u, returned.size());
  for (size_t i = 0; i < 3; ++i) EXPECT_EQ(&buffers_[i + 1]->header, returned[i]);
  EXPECT_EQ(60u, buffers_[1]->header.dwBytesRecorded);
  EXPECT_EQ(0u, buffers_[2]->header.dwBytesRecorded);
  EXPECT_EQ(0u, buffers_[3]->header.dwBytesRecorded);
  for (auto& b : buffers_) EXPECT_EQ(WHDR_DONE | WHDR_PREPARED, b->header.dwFlags);
  const WAVEFORMATEX f = format_;
  for (size_t n = 0; n < 30; ++n) {
    ASSERT_EQ(va::SampleValue(sine, f, 100 + n, 0), SampleAt(buffers_[1]->data.data(), f, n, 0));
  }
  // Reset stopped the input: a buffer queued now stays empty.
  ASSERT_EQ(MMSYSERR_NOERROR, waveInAddBuffer(in_, &buffers_[0]->header, sizeof(WAVEHDR)));
  EXPECT_EQ(0u, va::CompleteInputBuffers(0, 1, 0));
  ASSERT_EQ(MMSYSERR_NOERROR, waveInStart(in_));
  EXPECT_EQ(1u, va::CompleteInputBuffers(0, 1, 0));
}

TEST_F(InputTest, StopReturnsOnlyThePartlyFilledBuffer) {
  Open(Pcm(8000, 2, 16));
  Queue(3, 400);  // 100 frames each
  ASSERT_EQ(MMSYSERR_NOERROR, waveInStart(in_));
  ASSERT_EQ(MMSYSERR_NOERROR, waveInStop(in_));
  EXPECT_TRUE(Returned().empty()) << "an empty buffer stays queued";
  ASSERT_EQ(MMSYSERR_NOERROR, waveInStart(in_));
  ASSERT_EQ(25u, va::DeliverInputFrames(0, 25));
  ASSERT_EQ(MMSYSERR_NOERROR, waveInStop(in_));
  auto returned = Returned();
  ASSERT_EQ(1u, returned.size());
  EXPECT_EQ(&buffers_[0]->header, returned[0]);
  EXPECT_EQ(100u, buffers_[0]->header.dwBytesRecorded);
  EXPECT_EQ(WHDR_INQUEUE | WHDR_PREPARED, buffers_[1]->header.dwFlags);
}

TEST_F(InputTest, CallbackSignalFillsFromTheFrameIndex) {
  va::Signal counting;
  counting.kind = va::Signal::Kind::Callback;
  counting.fill = [](const WAVEFORMATEX&, uint64_t frame, void* data, size_t bytes) {
    auto* s = static_cast<int16_t*>(data);
    for (size_t i = 0; i < bytes / 2; ++i) s[i] = static_cast<int16_t>(frame + i);
  };
  va::SetInputSignal(0, counting);
  Open(Pcm(8000, 1, 16));
  Queue(2, 21);  // ten frames and a spare byte: only whole frames are filled
  ASSERT_EQ(MMSYSERR_NOERROR, waveInStart(in_));
  ASSERT_EQ(2u, va::CompleteInputBuffers(0, 2));
  EXPECT_EQ(20u, buffers_[1]->header.dwBytesRecorded);
  EXPECT_EQ(0xEE, buffers_[1]->data[20]);
  for (size_t n = 0; n < 10; ++n) {
    EXPECT_EQ(static_cast<int>(n + 10), SampleAt(buffers_[1]->data.data(), format_, n, 0));
  }
}

class FileSignalTest : public InputTest {
 protected:
  voxl::test::TempDir dir_;
};

TEST_F(FileSignalTest, WaveFileIsTheMicrophoneConvertedAndLooped) {
  // Stereo 16-bit file of 3 frames: left 1000*k, right -1000*k.
  std::vector<uint8_t> data;
  for (int k = 1; k <= 3; ++k) {
    for (int v : {1000 * k, -1000 * k}) {
      data.push_back(static_cast<uint8_t>(v & 0xFF));
      data.push_back(static_cast<uint8_t>((v >> 8) & 0xFF));
    }
  }
  const std::string path = dir_.File("mic.wav");
  ASSERT_TRUE(voxl::test::WriteWaveFile(path, {1, 2, 8000, 16}, data));
  va::Signal file;
  file.kind = va::Signal::Kind::File;
  file.path = path;
  file.loop = true;
  va::SetInputSignal(0, file);

  // Mono device: channels averaged (0); 8-bit stereo device: scaled and duplicated per channel.
  Open(Pcm(8000, 1, 16));
  Queue(1, 14);
  ASSERT_EQ(MMSYSERR_NOERROR, waveInStart(in_));
  ASSERT_EQ(1u, va::CompleteInputBuffers(0, 1));
  for (size_t n = 0; n < 7; ++n) EXPECT_EQ(0, SampleAt(buffers_[0]->data.data(), format_, n, 0));
  ASSERT_EQ(MMSYSERR_NOERROR, waveInReset(in_));
  ASSERT_EQ(MMSYSERR_NOERROR, waveInUnprepareHeader(in_, &buffers_[0]->header, sizeof(WAVEHDR)));
  ASSERT_EQ(MMSYSERR_NOERROR, waveInClose(in_));
  in_ = nullptr;

  Open(Pcm(8000, 2, 16));
  Queue(1, 4 * 7);
  ASSERT_EQ(MMSYSERR_NOERROR, waveInStart(in_));
  ASSERT_EQ(1u, va::CompleteInputBuffers(0, 1));
  for (size_t n = 0; n < 7; ++n) {
    const int k = static_cast<int>(n % 3) + 1;
    EXPECT_EQ(1000 * k, SampleAt(buffers_[0]->data.data(), format_, n, 0)) << n;
    EXPECT_EQ(-1000 * k, SampleAt(buffers_[0]->data.data(), format_, n, 1)) << n;
  }
}

TEST_F(FileSignalTest, FileOfAnotherRateOrUnreadableIsRefused) {
  const std::string path = dir_.File("mic.wav");
  ASSERT_TRUE(voxl::test::WriteWaveFile(path, {1, 1, 16000, 16}, std::vector<uint8_t>(64)));
  va::Signal file;
  file.kind = va::Signal::Kind::File;
  file.path = path;
  va::SetInputSignal(0, file);
  const WAVEFORMATEX f8k = Pcm(8000, 1, 16), f16k = Pcm(16000, 2, 8);
  HWAVEIN in = nullptr;
  EXPECT_EQ(WAVERR_BADFORMAT, waveInOpen(nullptr, 0, &f8k, 0, 0, WAVE_FORMAT_QUERY));
  EXPECT_EQ(WAVERR_BADFORMAT, waveInOpen(&in, 0, &f8k, 0, 0, CALLBACK_NULL));
  EXPECT_EQ(MMSYSERR_NOERROR, waveInOpen(nullptr, 0, &f16k, 0, 0, WAVE_FORMAT_QUERY));

  file.path = dir_.File("missing.wav");
  va::SetInputSignal(0, file);
  EXPECT_EQ(MMSYSERR_ERROR, waveInOpen(&in, 0, &f16k, 0, 0, CALLBACK_NULL));
  ASSERT_TRUE(voxl::test::WriteBinaryFile(path, "RIFF\x04\0\0\0WAVE", 12));
  file.path = path;
  va::SetInputSignal(0, file);
  EXPECT_EQ(WAVERR_BADFORMAT, waveInOpen(&in, 0, &f16k, 0, 0, CALLBACK_NULL));
  EXPECT_FALSE(va::InputOpen(0));
}

class OutputTest : public WaveTest {
 protected:
  void Open(const WAVEFORMATEX& f) {
    ASSERT_EQ(MMSYSERR_NOERROR, waveOutOpen(&out_, 0, &f, ThisThread(), 0, CALLBACK_THREAD));
  }
  // Writes `count` buffers of `bytes`, each filled with a distinct ramp.
  void Write(size_t count, size_t bytes) {
    const size_t first = buffers_.size();
    auto more = MakeBuffers(out_, waveOutPrepareHeader, count, bytes);
    for (size_t i = 0; i < count; ++i) {
      std::iota(more[i]->data.begin(), more[i]->data.end(), static_cast<uint8_t>(17 * (first + i)));
      ASSERT_EQ(MMSYSERR_NOERROR, waveOutWrite(out_, &more[i]->header, sizeof(WAVEHDR)));
      buffers_.push_back(std::move(more[i]));
    }
  }
  std::vector<uint8_t> Played(std::initializer_list<size_t> which) const {
    std::vector<uint8_t> all;
    for (size_t i : which)
      all.insert(all.end(), buffers_[i]->data.begin(), buffers_[i]->data.end());
    return all;
  }
  std::vector<WAVEHDR*> Done() {
    std::vector<WAVEHDR*> headers;
    for (const MSG& m : TakeMessages()) {
      if (m.message == MM_WOM_DONE) headers.push_back(reinterpret_cast<WAVEHDR*>(m.lParam));
    }
    return headers;
  }
  void TearDown() override {
    if (out_ != nullptr) {
      EXPECT_EQ(MMSYSERR_NOERROR, waveOutReset(out_));
      EXPECT_EQ(MMSYSERR_NOERROR, waveOutClose(out_));
    }
  }
  HWAVEOUT out_ = nullptr;
  std::vector<std::unique_ptr<Buffer>> buffers_;
};

TEST_F(OutputTest, CaptureEqualsWhatWasWrittenInOrder) {
  const WAVEFORMATEX f = Pcm(22050, 2, 16);
  Open(f);
  Write(3, 400);
  ASSERT_EQ(3u, va::CompleteOutputBuffers(0, 3));
  EXPECT_EQ(Played({0, 1, 2}), va::OutputCapture(0));
  EXPECT_EQ(300u, va::FramesConsumed(0));
  EXPECT_EQ(0, std::memcmp(&f, &static_cast<const WAVEFORMATEX&>(va::OutputCaptureFormat(0)), 16));
  auto done = Done();
  ASSERT_EQ(3u, done.size());
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(&buffers_[i]->header, done[i]);
    EXPECT_EQ(WHDR_DONE | WHDR_PREPARED, buffers_[i]->header.dwFlags);
  }
  va::ClearOutputCapture(0);
  EXPECT_TRUE(va::OutputCapture(0).empty());
}

TEST_F(OutputTest, PauseHoldsTheAudioAndRestartResumes) {
  Open(Pcm(8000, 1, 8));
  ASSERT_EQ(MMSYSERR_NOERROR, waveOutPause(out_));
  Write(2, 100);
  EXPECT_EQ(0u, va::CompleteOutputBuffers(0, 1, 0));
  EXPECT_TRUE(va::OutputCapture(0).empty());
  EXPECT_TRUE(Done().empty());
  ASSERT_EQ(MMSYSERR_NOERROR, waveOutRestart(out_));
  ASSERT_EQ(1u, va::CompleteOutputBuffers(0, 1));
  ASSERT_EQ(MMSYSERR_NOERROR, waveOutPause(out_));
  ASSERT_EQ(MMSYSERR_NOERROR, waveOutPause(out_)) << "pausing twice is harmless";
  EXPECT_EQ(0u, va::CompleteOutputBuffers(0, 1, 0));
  ASSERT_EQ(MMSYSERR_NOERROR, waveOutRestart(out_));
  ASSERT_EQ(1u, va::CompleteOutputBuffers(0, 1));
  EXPECT_EQ(Played({0, 1}), va::OutputCapture(0));
}

TEST_F(OutputTest, ResetDropsQueuedAudioReturnsTheBuffersAndClearsThePause) {
  Open(Pcm(8000, 1, 16));
  Write(4, 200);
  ASSERT_EQ(1u, va::CompleteOutputBuffers(0, 1));
  ASSERT_EQ(MMSYSERR_NOERROR, waveOutPause(out_));
  ASSERT_EQ(MMSYSERR_NOERROR, waveOutReset(out_));
  auto done = Done();
  ASSERT_EQ(4u, done.size());
  for (size_t i = 0; i < 4; ++i) EXPECT_EQ(&buffers_[i]->header, done[i]);
  EXPECT_EQ(Played({0}), va::OutputCapture(0));
  Write(1, 200);  // plays at once: the reset ended the pause
  ASSERT_EQ(1u, va::CompleteOutputBuffers(0, 1, 0));
  EXPECT_EQ(Played({0, 4}), va::OutputCapture(0));
}

TEST_F(OutputTest, CaptureFileHoldsTheAudioOfTheLatestOpen) {
  voxl::test::TempDir dir;
  const std::string path = dir.File("played.wav");
  va::SetOutputCaptureFile(0, path);
  Open(Pcm(16000, 2, 16));
  Write(2, 400);
  ASSERT_EQ(2u, va::CompleteOutputBuffers(0, 2));
  ASSERT_EQ(MMSYSERR_NOERROR, waveOutClose(out_));
  out_ = nullptr;
  auto wave = voxl::test::ReadWithSndfile(path);
  ASSERT_TRUE(wave.has_value());
  EXPECT_EQ(2, wave->channels);
  EXPECT_EQ(16000, wave->sampleRate);
  EXPECT_EQ(200, wave->frames);
  EXPECT_EQ(Played({0, 1}), wave->raw);
}

struct FaultCase {
  const char* name;
  va::Faults faults;
  MMRESULT query, open;
};

class OpenFaultTest : public WaveTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(OpenFaultTest, GivesItsErrorAndLeavesNothingOpen) {
  va::SetInputFaults(0, GetParam().faults);
  va::SetOutputFaults(0, GetParam().faults);
  const WAVEFORMATEX f = Pcm(44100, 2, 16);
  HWAVEIN in = nullptr;
  HWAVEOUT out = nullptr;
  EXPECT_EQ(GetParam().query, waveInOpen(nullptr, 0, &f, 0, 0, WAVE_FORMAT_QUERY));
  EXPECT_EQ(GetParam().query, waveOutOpen(nullptr, 0, &f, 0, 0, WAVE_FORMAT_QUERY));
  EXPECT_EQ(GetParam().open, waveInOpen(&in, 0, &f, ThisThread(), 0, CALLBACK_THREAD));
  EXPECT_EQ(GetParam().open, waveOutOpen(&out, 0, &f, ThisThread(), 0, CALLBACK_THREAD));
  EXPECT_EQ(nullptr, in);
  EXPECT_EQ(nullptr, out);
  EXPECT_FALSE(va::InputOpen(0));
  EXPECT_FALSE(va::OutputOpen(0));
  EXPECT_TRUE(TakeMessages().empty()) << "no open message for a refused open";
}

INSTANTIATE_TEST_SUITE_P(
    Faults, OpenFaultTest,
    ::testing::Values(
        FaultCase{"RefuseOpen", {.refuseOpen = true}, MMSYSERR_NOERROR, MMSYSERR_ALLOCATED},
        FaultCase{"RefuseFormat", {.refuseFormat = true}, WAVERR_BADFORMAT, WAVERR_BADFORMAT}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(InputTest, PrepareFailsOnTheKthHeaderOnly) {
  va::SetInputFaults(0, {.failPrepareAt = 2});
  Open(Pcm(8000, 1, 16));
  Buffer a(160), b(160), c(160);
  EXPECT_EQ(MMSYSERR_NOERROR, waveInPrepareHeader(in_, &a.header, sizeof(WAVEHDR)));
  EXPECT_EQ(MMSYSERR_NOMEM, waveInPrepareHeader(in_, &b.header, sizeof(WAVEHDR)));
  EXPECT_FALSE(b.header.dwFlags & WHDR_PREPARED);
  EXPECT_EQ(WAVERR_UNPREPARED, waveInAddBuffer(in_, &b.header, sizeof(WAVEHDR)));
  EXPECT_EQ(MMSYSERR_NOERROR, waveInPrepareHeader(in_, &c.header, sizeof(WAVEHDR)));
}

TEST_F(InputTest, DeviceThatStopsDeliveringCompletesNoMoreBuffers) {
  va::SetInputFaults(0, {.stopAfterBuffers = 2});
  Open(Pcm(8000, 1, 16));
  Queue(4, 160);
  ASSERT_EQ(MMSYSERR_NOERROR, waveInStart(in_));
  EXPECT_EQ(2u, va::CompleteInputBuffers(0, 4));
  EXPECT_EQ(0u, va::DeliverInputFrames(0, 10));
  EXPECT_EQ(2u, Returned().size());
  EXPECT_EQ(160u, va::FramesDelivered(0));
}

// Waits up to `deadline` for `count` messages of the calling thread, polling its queue
// descriptor (a bounded wait on a condition, not a sleep).
std::vector<MSG> WaitForMessages(size_t count, UINT message, std::chrono::milliseconds deadline) {
  std::vector<MSG> got;
  const int fd = VoxlMessageQueueFd();
  const auto end = std::chrono::steady_clock::now() + deadline;
  while (got.size() < count && std::chrono::steady_clock::now() < end) {
    pollfd p{fd, POLLIN, 0};
    poll(&p, 1, 50);
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
      if (msg.message == message) got.push_back(msg);
    }
  }
  return got;
}

// An engine requeues each buffer from its own thread as soon as it comes back; the manual clock
// must still complete exactly the number asked for.
TEST_F(WaveTest, ManualClockCountsBuffersRequeuedAtOnceFromAnotherThread) {
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
  HWAVEIN in = nullptr;
  ASSERT_EQ(MMSYSERR_NOERROR, waveInOpen(&in, 0, &f, engine_id, 0, CALLBACK_THREAD));
  auto buffers = MakeBuffers(in, waveInPrepareHeader, 2, 160);
  for (auto& b : buffers)
    ASSERT_EQ(MMSYSERR_NOERROR, waveInAddBuffer(in, &b->header, sizeof(WAVEHDR)));
  ASSERT_EQ(MMSYSERR_NOERROR, waveInStart(in));
  EXPECT_EQ(5u, va::CompleteInputBuffers(0, 5));
  EXPECT_EQ(5u * 80, va::FramesDelivered(0));
  PostThreadMessageA(engine_id, WM_QUIT, 0, 0);
  engine.join();
  EXPECT_EQ(MMSYSERR_NOERROR, waveInReset(in));
  EXPECT_EQ(MMSYSERR_NOERROR, waveInClose(in));
}

TEST_F(InputTest, RealTimeClockPacesBuffersAndStopsInMidBuffer) {
  va::SetClock(va::Clock::RealTime);
  Open(Pcm(8000, 1, 16));
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
  auto done = WaitForMessages(1, MM_WIM_DATA, std::chrono::seconds(1));
  ASSERT_EQ(1u, done.size());
  const DWORD recorded = long_buffer.header.dwBytesRecorded;
  EXPECT_GT(recorded, 0u);
  EXPECT_LT(recorded, long_buffer.header.dwBufferLength);
  EXPECT_EQ(0u, recorded % 2);
  ASSERT_EQ(MMSYSERR_NOERROR, waveInUnprepareHeader(in_, &long_buffer.header, sizeof(WAVEHDR)));
}

TEST_F(OutputTest, FreeRunningClockPlaysEverythingWrittenInOrder) {
  va::SetClock(va::Clock::FreeRunning);
  Open(Pcm(44100, 2, 16));
  Write(5, 4 * 441);
  ASSERT_EQ(5u, WaitForMessages(5, MM_WOM_DONE, std::chrono::seconds(10)).size());
  EXPECT_EQ(Played({0, 1, 2, 3, 4}), va::OutputCapture(0));
  EXPECT_EQ(5u * 441, va::FramesConsumed(0));
}

}  // namespace
}  // namespace voxl::wave::testing
