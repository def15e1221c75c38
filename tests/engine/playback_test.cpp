// Playback of recordings through the virtual output (manual clock, buffer by buffer) and through
// ALSA into the PulseAudio null sink: start and stop, pause and resume, position changes, and
// the played samples against the recorded ones.
#include <filesystem>

#include "engine/capture_fixture.h"
#include "formats/conversion.h"
#include "platform/wave/wave_driver.h"
#include "support/codec.h"
#include "support/tone.h"
#include "support/tone_pulse.h"
#include "wavefile/position.h"

namespace voxl {
namespace {

using namespace testing;

std::vector<DWORD> gPlayEnds;
void CALLBACK LogPlayEnd(DWORD code) {
  gPlayEnds.push_back(code);
}

class PlaybackTest : public CaptureTest {
 protected:
  void SetUp() override {
    CaptureTest::SetUp();
    gPlayEnds.clear();
    SetCallbacks(r(),
                 RecorderCallbacks{LogRunEnd, LogPlayEnd, nullptr, nullptr, LogBlock, nullptr});
  }
  // A recording of `buffers` whole buffers and `extra` frames in `f` (compressed: `tag`).
  void MakeRecording(const CaptureFormat& f, uint32_t buffers, uint32_t extra = 0, WORD tag = 0) {
    if (tag != 0) {
      format_ = test::SuggestFormat(tag, f.rate, f.channels);
      ASSERT_EQ(SetTargetFormat(r(), reinterpret_cast<LPWAVEFORMATEX>(format_.data()),
                                int32_t(format_.size()), true),
                kAccepted);
    }
    Open(f, path_);
    StartRecording();
    Complete(buffers);
    ASSERT_EQ(virtualaudio::DeliverInputFrames(WAVE_MAPPER, extra), extra);
    StopRecording();
  }
  uint16_t StartPlaying() {
    uint16_t error = 0xFFFF;
    Play(r(), &error);
    return error;
  }
  // Completes `count` output buffers (fewer when the device has no more) and lets the host take
  // what followed.
  size_t Played(size_t count) {
    const size_t done = virtualaudio::CompleteOutputBuffers(WAVE_MAPPER, count, 200);
    EXPECT_TRUE(Barrier(r()));
    Pump();
    return done;
  }
  void PlayToTheEnd() {
    while (r().state == StatePlaying && Played(1) == 1) {
    }
    ASSERT_EQ(r().state, StateOpen);
    EXPECT_FALSE(virtualaudio::OutputOpen(WAVE_MAPPER));
  }
  Bytes Heard() const { return virtualaudio::OutputCapture(WAVE_MAPPER); }

  std::string path_ = File("play.wav");
  Bytes format_;
};

// Runs that end early.  From the end, or on a device that refuses, nothing starts: error 10, no
// notification, no device left open.  Started paused, ten buffers wait and nothing plays; a stop
// returns them all at once and only the first counts toward the position; the callback gets 0, the
// meter ends at -9999. Reads that fail while playing end the refills: the queued second still
// plays, and the callback and the last error get 11.
TEST_F(PlaybackTest, EarlyEndsReportTheirCodeAndCountWhatWasPlayed) {
  MakeRecording(kMono8k, 15);
  EXPECT_EQ(StartPlaying(), ErrPlaybackStart);
  Pump();
  EXPECT_EQ(std::tuple(r().state.load(), gPlayEnds.size(), virtualaudio::OutputOpen(0)),
            std::tuple(uint16_t{StateOpen}, size_t{0}, false));
  SetPosition(r(), 400);
  for (const auto& fault : {virtualaudio::Faults{.refuseOpen = true}, {.failPrepareAt = 3}}) {
    virtualaudio::SetOutputFaults(0, fault);
    EXPECT_EQ(std::pair(StartPlaying(), virtualaudio::OutputOpen(0)),
              std::pair(uint16_t{ErrPlaybackStart}, false));
  }
  virtualaudio::SetOutputFaults(0, {});
  r().paused = 1;
  ASSERT_EQ(StartPlaying(), ErrNone);
  EXPECT_EQ(std::tuple(r().state.load(), r().buffersQueued, Played(1)),
            std::tuple(uint16_t{StatePlaying}, int16_t{10}, size_t{0}));
  Stop(r());
  Pump();
  EXPECT_EQ(std::tuple(r().position.load(), Heard().size(), gPlayEnds, r().levelLeft.load()),
            std::tuple(1200, size_t{0}, std::vector<DWORD>{0}, kNoLevel));

  SetPosition(r(), 0);
  ASSERT_EQ(StartPlaying(), ErrNone);
  const HMMIO file = r().fileHandle;
  r().fileHandle = mmioOpenA(path_.data(), nullptr, MMIO_WRITE);  // a handle that cannot read
  SetPaused(r(), 0);
  PlayToTheEnd();
  mmioClose(r().fileHandle, 0);
  r().fileHandle = file;
  EXPECT_EQ(std::tuple(r().position.load(), Heard().size(), gPlayEnds, TakeLastError(r())),
            std::tuple(8000, size_t{16000}, std::vector<DWORD>{0, 11}, uint16_t{11}));
}

// Played at once after recording (before the host has taken the end of the run and the chunk
// sizes are rewritten), paused and resumed: the audio queued when the pause began plays on,
// everything recorded is heard once, in order, and the position ends at the length.
TEST_F(PlaybackTest, ResumeAfterPauseSkipsNothing) {
  Open(kMono8k, path_);
  StartRecording();
  Complete(20);
  Stop(r());
  SetPosition(r(), 0);
  ASSERT_EQ(StartPlaying(), ErrNone);
  ASSERT_EQ(Played(3), 3u);
  SetPaused(r(), 1);
  ASSERT_TRUE(Barrier(r()));  // the engine has paused the device
  EXPECT_EQ(Played(1), 0u);
  SetPaused(r(), 0);
  PlayToTheEnd();
  EXPECT_EQ(std::pair(r().position.load(), Heard()), std::pair(16000, Expected(kMono8k, 0, 16000)));
}

// A jump while playing: the queued buffers still play and count, then the new place follows.
TEST_F(PlaybackTest, PositionChangeWhilePlayingPlaysTheQueueThenTheNewPlace) {
  MakeRecording(kMono8k, 40);
  SetPosition(r(), 0);
  ASSERT_EQ(StartPlaying(), ErrNone);
  ASSERT_EQ(Played(2), 2u);
  SetPosition(r(), 16000);
  EXPECT_EQ(r().readPosition, 24000.0);
  PlayToTheEnd();
  const Bytes data = DataOf(path_);
  EXPECT_EQ(Heard(), Concat({Bytes(data.begin(), data.begin() + 2 * 9600),
                             Bytes(data.begin() + 2 * 24000, data.end())}));
  EXPECT_EQ(r().position, 32000);
}

struct PlayCase {
  const char* name;
  CaptureFormat format;
  WORD tag;              // compressed file format, 0 for none
  uint32_t bufferBytes;  // of the device
};

class PlayedSamplesTest : public PlaybackTest, public ::testing::WithParamInterface<PlayCase> {};

// 3.5 buffers (25.5 for compressed files) played from 0: PCM plays the stored bytes, A-law and
// mu-law their expansions, buffer by buffer with the position following and a short last
// buffer; a compressed file plays all its decoder gives, up to the output for its last bytes.
TEST_P(PlayedSamplesTest, PlayedSamplesAreTheFileDecodedToItsLastByte) {
  const PlayCase& c = GetParam();
  const uint32_t frames = c.format.rate;  // buffers of rate / 10 frames
  MakeRecording(c.format, c.tag ? 25 : 3, frames / 20, c.tag);
  const auto wave = test::ParseWave(path_);
  ASSERT_TRUE(wave);
  Bytes expected = wave->data;
  if (c.tag != 0 || c.format.sampleFormat > 100) {  // the decoder's output, the G.711 expansions
    const auto pcm = test::Decode(c.tag != 0 ? format_ : wave->format, wave->data);
    ASSERT_TRUE(pcm);
    expected.assign(reinterpret_cast<const uint8_t*>(pcm->data()),
                    reinterpret_cast<const uint8_t*>(pcm->data() + pcm->size()));
  }
  SetPosition(r(), 0);
  ASSERT_EQ(StartPlaying(), ErrNone);
  EXPECT_EQ(r().waveBufferBytes, c.bufferBytes);
  const int32_t perBuffer = int32_t(frames / 10);
  for (int32_t k = 1; c.tag == 0 && k <= 4; ++k) {
    ASSERT_EQ(Played(1), 1u);
    EXPECT_EQ(r().position, std::min(k * perBuffer, int32_t(r().length)));
    EXPECT_GT(r().levelLeft, k < 4 ? -7.0f : kNoLevel - 1);  // half scale, then the run ends
  }
  PlayToTheEnd();
  const Bytes heard = Heard();
  EXPECT_EQ(heard.size(), expected.size());
  EXPECT_TRUE(heard == expected);
  EXPECT_EQ(r().position, int32_t(heard.size() / virtualaudio::OutputCaptureFormat(0).nBlockAlign));
  EXPECT_EQ(gPlayEnds, std::vector<DWORD>{0});
}

INSTANTIATE_TEST_SUITE_P(
    Formats, PlayedSamplesTest,
    ::testing::Values(PlayCase{"Pcm16Stereo22050", {16, 2, 22050}, 0, 8820},
                      PlayCase{"Pcm8Mono8000", {8, 1, 8000}, 0, 800},
                      PlayCase{"ALawMono8000", {106, 1, 8000}, 0, 1600},
                      PlayCase{"MuLawStereo8000", {107, 2, 8000}, 0, 3200},
                      PlayCase{"ImaAdpcmStereo22050", {100, 2, 22050}, 0x11, 8820},
                      PlayCase{"Mp3Stereo44100", {100, 2, 44100}, WAVE_FORMAT_MPEGLAYER3, 17640}),
    [](const auto& info) { return std::string(info.param.name); });

// Through ALSA into the null sink: the 1 kHz tone of the file is heard on the sink's monitor at
// its frequency and level.
TEST_F(PlaybackTest, AlsaPlaysTheToneIntoTheNullSink) {
  std::string why;
  if (!test::PulseAnswers(&why)) GTEST_SKIP() << why;
  test::NullSinkLock lock;
  ASSERT_TRUE(lock.held()) << "the null sink stayed busy";
  signal_.frequency[0] = signal_.frequency[1] = 1000.0;
  signal_.amplitude[0] = signal_.amplitude[1] = 0.5;
  virtualaudio::SetInputSignal(0, signal_);
  MakeRecording({16, 2, 44100}, 12);
  SetPosition(r(), 0);

  const std::string raw = File("monitor.raw");
  test::ChildProcess parec;
  ASSERT_TRUE(parec.Start({"sh", "-c",
                           "exec parec --raw --format=s16le --rate=44100 --channels=2 "
                           "--latency-msec=50 --device=" +
                               test::ShellQuote(test::NullSinkName() + ".monitor") + " > " +
                               test::ShellQuote(raw)}));
  const auto size = [&] {
    return std::filesystem::exists(raw) ? std::filesystem::file_size(raw) : 0;
  };
  ASSERT_TRUE(WaitFor([&] { return size() > 0; })) << "parec records nothing";
  ASSERT_TRUE(wave::SelectDriverForTesting("alsa")) << "ALSA finds no device";
  const uint16_t error = StartPlaying();
  const bool ended = WaitFor([&] { return r().state.load() != StatePlaying; });
  wave::SelectDriverForTesting("virtual");
  ASSERT_EQ(error, ErrNone);
  ASSERT_TRUE(ended);
  const auto after = size();
  ASSERT_TRUE(WaitFor([&] { return size() >= after + 44100 * 4 * 3 / 10; }));
  parec.Terminate();

  const auto samples = test::SamplesFromBytes(test::ReadBinaryFile(raw));
  const test::ChannelView left = test::Channel(samples, 2, 0);
  const test::FrameRange loud = test::LoudRange(left, -20.0);
  ASSERT_GT(loud.size(), 44100u * 11 / 10) << "the tone was not heard whole";
  const test::ChannelView middle = left.Slice(loud.begin + 4410, loud.end - 4410);
  EXPECT_NEAR(test::EstimateFrequency(middle, 44100), 1000.0, 10.0);
  EXPECT_NEAR(test::ToneDbfs(middle, 1000.0, 44100), -6.0, 1.0);
}

}  // namespace
}  // namespace voxl
