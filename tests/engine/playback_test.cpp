// Playback through the virtual output (manual clock, buffer by buffer): start and stop, pause and
// resume, position changes, the played samples against the recorded ones, and files written by
// other programs played as those programs decode them.  (Through ALSA into the PulseAudio null
// sink: tests/tools/voxl_stream_test.cpp.)
#include "engine/capture_fixture.h"
#include "wavefile/editing.h"
#include "wavefile/frames.h"
#include "wavefile/position.h"

namespace voxl {
namespace {

using namespace testing;
using namespace std::literals;

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
    if (tag != 0) format_ = UseTargetFormat(tag, f);
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
  // `step` buffers at a time: more than one come back to the engine together.
  void PlayToTheEnd(size_t step = 1) {
    while (r().state == StatePlaying && Played(step) > 0) {
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
// sizes are rewritten), paused and resumed: the audio queued when the pause began plays on.  A jump
// while playing: the queued buffers still play and count, then the new place follows.
TEST_F(PlaybackTest, ResumeAfterPauseAndJumpsPlayTheQueueThenTheNewPlace) {
  Open(kMono8k, path_);
  StartRecording();
  Complete(40);
  Stop(r());
  SetPosition(r(), 0);
  ASSERT_EQ(StartPlaying(), ErrNone);
  ASSERT_EQ(Played(3), 3u);
  SetPaused(r(), 1);
  ASSERT_TRUE(Barrier(r()));  // the engine has paused the device
  EXPECT_EQ(Played(1), 0u);
  SetPaused(r(), 0);
  SetPosition(r(), 16000);  // ten buffers (frames 2400 to 10400) are queued
  EXPECT_EQ(r().readPosition, 24000.0);
  PlayToTheEnd();
  EXPECT_EQ(std::pair(r().position.load(), Heard()),
            std::pair(int64_t{32000},
                      Concat({Expected(kMono8k, 0, 10400), Expected(kMono8k, 24000, 8000)})));
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
// buffer; a compressed file plays all its decoder gives, up to the output for its last bytes,
// and an MPEG Layer-3 recording (whose decoder skips the encoder's delay) up to its length.
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
    if (c.tag == WAVE_FORMAT_MPEGLAYER3) {
      ASSERT_EQ(r().length, 25 * frames / 10 + frames / 20);  // the frames recorded
      expected.resize(size_t{r().length} * 4);
    }
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
  PlayToTheEnd(4);
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

// Files written by other programs, opened and played from the start: the played samples are
// exactly what ffmpeg decodes from the file (for MPEG audio, what mpg123 decodes from the stream;
// for IMA ADPCM, what sox decodes, which rounds as the format's own platform does).
struct PeerCase {
  const char* what;
  const char* command;        // run in the test's folder on t.wav, a 1.3 s tone; writes p.wav
  int16_t kind = 0;           // 2: a headerless MPEG audio stream
  test::WaveLayout layout{};  // for an empty command: libsndfile writes p.wav in this layout
  int fold = 0;               // a file of this many channels (> 2), heard as stereo
  bool cut = false;           // then 0.1 s at 0.2 s is cut, sample-exact in the file's layout
};
const PeerCase kPeers[] = {
    {"sox_pcm8", "sox t.wav -b 8 -r 8000 -c 1 p.wav"},
    {"sox_alaw", "sox t.wav -e a-law -r 8000 -c 1 p.wav"},
    {"sox_mulaw", "sox t.wav -e u-law -r 8000 p.wav"},
    {"sox_ima", "sox t.wav -e ima-adpcm -r 8000 -c 1 p.wav"},
    {"sox_msadpcm", "sox t.wav -e ms-adpcm -r 8000 -c 1 p.wav"},
    {"sox_gsm", "sox t.wav -e gsm-full-rate -r 8000 -c 1 p.wav"},
    {"ffmpeg_pcm16", "ffmpeg -i t.wav -c:a pcm_s16le -ar 16000 p.wav"},
    {"ffmpeg_ima", "ffmpeg -i t.wav -c:a adpcm_ima_wav p.wav"},
    {"ffmpeg_mp3", "ffmpeg -i t.wav -c:a libmp3lame -b:a 128k p.wav"},
    {"lame", "lame t.wav p.wav", 2},
    {"lame_id3v2", "lame --add-id3v2 --ta artist t.wav p.wav", 2},
    {"lame_id3v2_only", "lame --id3v2-only --tt title t.wav p.wav", 2},
    {"sndfile_pcm8", "", 0, {1, 2, 11025, 8}},
    {"sndfile_pcm16", "", 0, {1, 1, 22050, 16}},
    {"sndfile_alaw", "", 0, {6, 1, 8000, 8}},
    {"sndfile_mulaw", "", 0, {7, 2, 8000, 8}},
    // Layouts through the PCM converters, and codec blocks longer than a device buffer.
    {"sox_pcm32_extensible", "sox t.wav -b 32 p.wav", 0, {}, 0, true},
    {"sox_pcm24", "sox t.wav -b 24 -c 1 p.wav", 0, {}, 0, true},
    {"sox_float32", "sox t.wav -e floating-point -b 32 p.wav", 0, {}, 0, true},
    {"sox_pcm16_4ch",
     "sox -n -c 4 -b 16 p.wav synth 1.3 sine 440 sine 660 sine 880 sine 990",
     0,
     {},
     4,
     true},
    {"ffmpeg_float64", "ffmpeg -i t.wav -c:a pcm_f64le -ar 22050 p.wav", 0, {}, 0, true},
    {"ffmpeg_ima_8k", "ffmpeg -i t.wav -ar 8000 -ac 1 -c:a adpcm_ima_wav p.wav"},
    {"ffmpeg_msadpcm_8k", "ffmpeg -i t.wav -ar 8000 -ac 1 -c:a adpcm_ms p.wav", 0, {}, 0, true},
};

class PeerPlaybackTest : public PlaybackTest, public ::testing::WithParamInterface<PeerCase> {};

// The file opens with the length ffprobe reports (within two frames for MPEG audio) and plays to
// exactly what the peer decodes.
TEST_P(PeerPlaybackTest, OpensWithThePeersLengthAndPlaysExactlyWhatThePeerDecodes) {
  const PeerCase& c = GetParam();
  const std::string_view command = c.command, first = command.substr(0, command.find(' '));
  const bool mp3 = c.kind == 2 || command.find("mp3") != command.npos;
  for (std::string_view program : {std::string_view("sox"), first, mp3 ? "mpg123"sv : "ffmpeg"sv})
    if (!program.empty() && !test::HaveProgram(program)) GTEST_SKIP() << program << " is missing";
  const std::string path = File("p.wav");
  ASSERT_EQ(test::RunCommand("cd " + test::ShellQuote(dir().string()) +
                             " && sox -n -r 44100 -b 16 -c 2 t.wav synth 1.3 sine 440 && " +
                             c.command + " >/dev/null 2>&1")
                .exitCode,
            0);
  if (*c.command == '\0') {
    Bytes data(12002);
    for (size_t k = 0; k < data.size(); ++k) data[k] = uint8_t(k * 37 + k / 50);
    ASSERT_TRUE(test::WriteWaveFile(path, c.layout, data));
  }
  // MPEG audio: mpg123 decodes the stream itself (the data chunk of a WAVE file); a stream with
  // an Info frame as its peers play it, without the encoder's delay and padding.
  const bool ima = command.find("ima") != command.npos;
  auto expected = mp3 || ima ? std::nullopt : test::FfmpegDecode(path);
  if (ima) expected = PeerSamples("sox " + test::ShellQuote(path) + " -t s16 -");
  if (mp3) {
    const auto wave = c.kind == 2 ? std::nullopt : test::ParseWave(path);
    const std::string stream = wave ? File("p.mp3") : path;
    ASSERT_TRUE(!wave || test::WriteBinaryFile(stream, wave->data.data(), wave->data.size()));
    expected = PeerSamples("mpg123 -q " + std::string(wave ? "--no-gapless " : "") + "-s " +
                           test::ShellQuote(stream));
  }
  ASSERT_TRUE(expected && !expected->empty());
  if (c.fold > 2) {  // channel k of the two heard: the mean of the channels j with j mod 2 = k
    std::vector<int16_t> stereo;
    for (size_t f = 0; f + c.fold <= expected->size(); f += c.fold) {
      for (int k = 0; k < 2; ++k) {
        int sum = 0;
        for (int j = k; j < c.fold; j += 2) sum += (*expected)[f + j];
        stereo.push_back(int16_t(std::floor(sum / double((c.fold - k + 1) / 2))));
      }
    }
    expected = stereo;
  }
  r().fileKind = c.kind;
  OpenRecording(path);
  const auto probe = test::RunCommand(
                         "ffprobe -v error -show_entries stream=duration,sample_rate "
                         "-of default=nw=1:nk=1 " +
                         test::ShellQuote(path))
                         .output;
  const double rate = std::stod(probe), seconds = std::stod(probe.substr(probe.find('\n')));
  // ffprobe's duration of an MPEG stream counts what its Info frame says to leave out.
  EXPECT_NEAR(r().length, seconds * rate, mp3 ? 2 * 1152 : 0.5);
  SetPosition(r(), 0);
  ASSERT_EQ(StartPlaying(), ErrNone);
  PlayToTheEnd(4);
  const Bytes heard = Heard();
  const bool bytes = virtualaudio::OutputCaptureFormat(WAVE_MAPPER).wBitsPerSample == 8;
  std::vector<int16_t> played;  // 8-bit samples widened as ffmpeg widens them
  for (size_t k = 0; k + (bytes ? 0 : 1) < heard.size(); k += bytes ? 1 : 2)
    played.push_back(int16_t(bytes ? (heard[k] - 128) * 256 : heard[k] | heard[k + 1] << 8));
  EXPECT_EQ(played.size(), expected->size());
  EXPECT_TRUE(played == *expected);
  if (!c.cut) return;

  // The cut moves the file's own bytes: the data loses exactly the stretch, whole blocks for a
  // codec, and sox reads the rest.
  const auto before = test::ParseWave(path);
  ASSERT_TRUE(before);
  const uint32_t hz = FrameRate(r());
  const uint64_t from = FrameToByte64(r(), hz / 5), to = FrameToByte64(r(), hz / 5 + hz / 10);
  SetPosition(r(), int32_t(hz / 5));
  uint16_t error = 0xFFFF;
  DeleteSamples(r(), int32_t(hz / 10), &error);
  ASSERT_EQ(error, ErrNone);
  const uint32_t left = r().length;
  Close(r(), &error);
  const auto after = test::ParseWave(path);
  ASSERT_TRUE(after);
  EXPECT_TRUE(after->data == Without(before->data, from, to));
  const auto peer = test::SoxInfo(path);
  ASSERT_TRUE(peer);
  EXPECT_EQ(peer->frames, int64_t(left));
}

INSTANTIATE_TEST_SUITE_P(Peers, PeerPlaybackTest, ::testing::ValuesIn(kPeers),
                         [](const auto& info) { return std::string(info.param.what); });

}  // namespace
}  // namespace voxl
