// The virtual driver through the wave functions: buffers stopped and reset in mid-fill and the
// input signals and clocks a user can choose; an output that keeps nothing.  (Sine input sample for
// sample, fault injection, the clocks and what an output keeps of what was played are exercised by
// the engine tests that rely on them.)
#include <cmath>
#include <string>

#include "wave_fixture.h"

namespace voxl::wave::testing {
namespace {

namespace va = voxl::virtualaudio;

// The value of sample `channel` of frame `frame` in a device-format byte buffer.
int SampleAt(const Buffer& b, const WAVEFORMATEX& f, size_t frame, int channel) {
  const uint8_t* p = b.data.data() + frame * f.nBlockAlign + channel * (f.wBitsPerSample / 8);
  return f.wBitsPerSample == 8 ? p[0] : static_cast<int16_t>(p[0] | p[1] << 8);
}

class DeviceTest : public WaveTest {
 protected:
  void OpenIn(const WAVEFORMATEX& f) {
    format_ = f;
    ASSERT_EQ(MMSYSERR_NOERROR, waveInOpen(&in_, 0, &f, GetCurrentThreadId(), 0, CALLBACK_THREAD));
  }
  void Queue(size_t count, size_t bytes) {
    buffers_ = MakeBuffers(in_, waveInPrepareHeader, count, bytes);
    std::vector<WAVEHDR*> headers;
    for (auto& b : buffers_) headers.push_back(&b->header);
    UINT queued = 0;
    ASSERT_EQ(MMSYSERR_NOERROR, VoxlWaveInAddBuffers(in_, headers.data(), count, &queued));
    ASSERT_EQ(queued, count);
  }
  // Opens, queues one buffer of `frames`, starts and completes it.
  void CaptureOne(const WAVEFORMATEX& f, size_t frames) {
    OpenIn(f);
    Queue(1, frames * f.nBlockAlign);
    ASSERT_EQ(MMSYSERR_NOERROR, waveInStart(in_));
    ASSERT_EQ(1u, va::CompleteInputBuffers(0, 1));
  }
  void CloseIn() {
    ASSERT_EQ(MMSYSERR_NOERROR, waveInReset(in_));
    ASSERT_EQ(MMSYSERR_NOERROR, waveInClose(in_));
    in_ = nullptr;
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
    if (in_ != nullptr) CloseIn();
  }
  WAVEFORMATEX format_{};
  HWAVEIN in_ = nullptr;
  std::vector<std::unique_ptr<Buffer>> buffers_;
};

// Nothing comes before start or without buffers; stop returns only a partly filled buffer;
// reset returns every buffer in queue order, the partial one with its bytes, and stops input; a
// list of buffers is queued up to the first one refused.
TEST_F(DeviceTest, StopAndResetReturnPartlyFilledBuffersWithTheirBytes) {
  const va::Signal sine = va::ParseInputSetting("tone");
  va::SetInputSignal(0, sine);
  OpenIn(Pcm(8000, 1, 16));
  EXPECT_EQ(0u, va::CompleteInputBuffers(0, 1, 0)) << "no buffers";
  Queue(4, 200);  // 100 frames each
  EXPECT_EQ(0u, va::CompleteInputBuffers(0, 1, 0)) << "not started";
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
  WAVEHDR* const list[] = {&buffers_[1]->header, &buffers_[0]->header, &buffers_[2]->header};
  UINT queued = 9;
  EXPECT_EQ(WAVERR_STILLPLAYING, VoxlWaveInAddBuffers(in_, list, 3, &queued));
  EXPECT_EQ(queued, 1u);
  ASSERT_EQ(MMSYSERR_NOERROR, waveInStart(in_));
  EXPECT_EQ(2u, va::CompleteInputBuffers(0, 3, 0)) << "only two buffers queued";
  ExpectReturnedInOrder(MM_WIM_DATA, 0, 2);
}

// A WAVE file is the microphone, converted to the device's channels and looped, and refused when
// its rate differs or it cannot be read.
TEST_F(DeviceTest, FileSignalIsConvertedLoopedOrRefused) {
  test::TempDir dir;
  // Three stereo frames: left 1000*k, right -1000*k (16-bit little-endian).
  const std::vector<uint8_t> data = {0xE8, 0x03, 0x18, 0xFC, 0xD0, 0x07,
                                     0x30, 0xF8, 0xB8, 0x0B, 0x48, 0xF4};
  const std::string path = dir.File("mic.wav");
  ASSERT_TRUE(test::WriteWaveFile(path, {1, 2, 8000, 16}, data));
  const va::Signal signal{.kind = va::Signal::Kind::File, .path = path, .loop = true, .fill = {}};
  va::SetInputSignal(0, signal);
  // A mono device hears the channels averaged (0); a stereo one hears each channel, looped.
  for (WORD channels : {1, 2}) {
    CaptureOne(Pcm(8000, channels, 16), 7);
    for (size_t n = 0; n < 7; ++n) {
      const int k = channels == 1 ? 0 : static_cast<int>(n % 3) + 1;
      EXPECT_EQ(1000 * k, SampleAt(*buffers_[0], format_, n, 0)) << n;
      EXPECT_EQ(-1000 * k, SampleAt(*buffers_[0], format_, n, channels - 1)) << n;
    }
    CloseIn();
  }
  const WAVEFORMATEX f16k = Pcm(16000, 2, 8);
  EXPECT_EQ(WAVERR_BADFORMAT, waveInOpen(&in_, 0, &f16k, 0, 0, CALLBACK_NULL));
  ASSERT_TRUE(test::WriteBinaryFile(path, "RIFF\x04\0\0\0WAVE", 12));
  va::SetInputSignal(0, signal);
  EXPECT_EQ(WAVERR_BADFORMAT, waveInOpen(&in_, 0, &format_, 0, 0, CALLBACK_NULL));
  EXPECT_FALSE(va::InputOpen(0));
}

// What VOXL_VIRTUAL_INPUT asks for: silence, a tone (440 Hz, -12 dBFS unless given) or a file;
// any other text is silence.  The variable is read at each open; a signal set through
// SetInputSignal wins over it, and a file it names that cannot be read refuses the open (but not a
// format query: a recorder checks its default format before it records at the file's rate).
TEST_F(DeviceTest, InputSettingIsParsedAndReadAtEachOpenUnlessASignalIsSet) {
  using Kind = va::Signal::Kind;
  const struct {
    const char* text;
    Kind kind;
    double hertz = 0.0, dbfs = 0.0;
    std::string path = {};
  } cases[] = {{nullptr, Kind::Silence},
               {"tone", Kind::Sine, 440, -12},
               {"tone:1e3:-6.5", Kind::Sine, 1000, -6.5},
               {"file:/a:b.wav", Kind::File, 0, 0, "/a:b.wav"}};
  for (const auto& c : cases) {
    const va::Signal signal = va::ParseInputSetting(c.text);
    ASSERT_EQ(signal.kind, c.kind) << c.text;
    EXPECT_EQ(signal.path, c.path);
    if (c.kind != Kind::Sine) continue;
    EXPECT_EQ(std::pair(signal.frequency[0], signal.frequency[1]), std::pair(c.hertz, c.hertz));
    EXPECT_NEAR(20 * std::log10(signal.amplitude[1]), c.dbfs, 1e-9) << c.text;
  }
  for (const char* bad : {"", "Tone", "tones", "tone:", "tone:0", "tone:-440", "tone:nan",
                          "tone:440x", "tone:440:3", "file:"}) {
    EXPECT_EQ(va::ParseInputSetting(bad).kind, Kind::Silence) << bad;
  }
  ScopedEnv setting(va::kInputSettingVariable, "tone:1000:-6");
  const va::Signal tone = va::ParseInputSetting("tone:1000:-6");  // what the variable names
  for (const bool signalSet : {false, true}) {
    if (signalSet) va::SetInputSignal(0, va::Signal{});
    CaptureOne(Pcm(8000, 1, 16), 100);
    for (size_t n = 0; n < 100; ++n) {
      ASSERT_EQ(signalSet ? 0 : va::SampleValue(tone, format_, n, 0),
                SampleAt(*buffers_[0], format_, n, 0))
          << n;
    }
    CloseIn();
  }
  va::Reset();
  ScopedEnv missing(va::kInputSettingVariable, "file:/nonexistent/mic.wav");
  EXPECT_EQ(MMSYSERR_NOERROR, waveInOpen(nullptr, 0, &format_, 0, 0, WAVE_FORMAT_QUERY));
  EXPECT_EQ(MMSYSERR_ERROR, waveInOpen(&in_, 0, &format_, 0, 0, CALLBACK_NULL));
}

// Until a clock is set, VOXL_VIRTUAL_CLOCK chooses it at each open: "free" fills an hour of
// buffers at once (real time would take the hour) and fills a buffer queued after it has run out;
// anything else means real time.
TEST_F(DeviceTest, ClockVariableChoosesFreeRunningOrRealTimeUntilAClockIsSet) {
  va::SetClock(std::nullopt);
  for (const auto& [text, clock] : {std::pair<const char*, va::Clock>{nullptr, va::Clock::RealTime},
                                    {"realtime", va::Clock::RealTime},
                                    {"Free", va::Clock::RealTime},
                                    {"free", va::Clock::FreeRunning}}) {
    ScopedEnv variable(va::kClockVariable, text);
    EXPECT_EQ(va::GetClock(), clock) << (text ? text : "not set");
  }
  ScopedEnv variable(va::kClockVariable, "free");
  OpenIn(Pcm(8000, 1, 8));
  Queue(6, 8000 * 600);  // ten minutes each
  ASSERT_EQ(MMSYSERR_NOERROR, waveInStart(in_));
  MSG msg;
  size_t full = 0;
  while (full < buffers_.size() && NextMessage(&msg, 20000)) {
    full += msg.message == MM_WIM_DATA && buffers_[full]->header.dwBytesRecorded == 8000 * 600;
  }
  EXPECT_EQ(full, buffers_.size());
  ASSERT_EQ(MMSYSERR_NOERROR, waveInAddBuffer(in_, &buffers_[0]->header, sizeof(WAVEHDR)));
  EXPECT_TRUE(NextMessage(&msg, 5000) && msg.message == MM_WIM_DATA) << "the device idled";
  va::SetClock(va::Clock::Manual);
  EXPECT_EQ(va::GetClock(), va::Clock::Manual) << "a clock set wins over the variable";
}

// An output that does not keep what it plays (a program playing for an hour) only counts it.
TEST_F(DeviceTest, OutputNotKeptOnlyCountsWhatItPlays) {
  const WAVEFORMATEX f = Pcm(22050, 2, 16);
  HWAVEOUT out = nullptr;
  ASSERT_EQ(MMSYSERR_NOERROR, waveOutOpen(&out, 0, &f, 0, 0, CALLBACK_NULL));
  va::KeepOutputCapture(false);
  buffers_ = MakeBuffers(out, waveOutPrepareHeader, 1, 400);
  ASSERT_EQ(MMSYSERR_NOERROR, waveOutWrite(out, &buffers_[0]->header, sizeof(WAVEHDR)));
  ASSERT_EQ(1u, va::CompleteOutputBuffers(0, 1, 0));
  EXPECT_EQ(std::tuple(va::OutputCapture(0).size(), va::FramesConsumed(0)),
            std::tuple(size_t{0}, uint64_t{100}));
  EXPECT_EQ(MMSYSERR_NOERROR, waveOutReset(out) | waveOutClose(out));
}

}  // namespace
}  // namespace voxl::wave::testing
