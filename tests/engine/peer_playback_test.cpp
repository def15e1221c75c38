// Files written by other programs, opened and played from the start through the virtual output:
// the played samples are exactly what ffmpeg decodes from the file (for MPEG audio, what mpg123
// decodes from the stream).
#include "engine/capture_fixture.h"
#include "support/codec.h"
#include "wavefile/open_file.h"
#include "wavefile/position.h"

namespace voxl {
namespace {

using namespace testing;
using namespace std::literals;

struct PeerCase {
  const char* what;
  const char* command;        // run in the test's folder on t.wav, a 1.3 s tone; writes p.wav
  int16_t kind = 0;           // 2: a headerless MPEG audio stream
  test::WaveLayout layout{};  // for an empty command: libsndfile writes p.wav in this layout
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
};

class PeerPlaybackTest : public CaptureTest, public ::testing::WithParamInterface<PeerCase> {};

// The file opens with the length ffprobe reports (within one frame for MPEG audio) and plays to
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
  // MPEG audio: mpg123 decodes the stream itself (the data chunk of a WAVE file).
  auto expected = mp3 ? std::nullopt : test::FfmpegDecode(path);
  if (mp3) {
    const auto wave = c.kind == 2 ? std::nullopt : test::ParseWave(path);
    const std::string stream = wave ? File("p.mp3") : path;
    ASSERT_TRUE(!wave || test::WriteBinaryFile(stream, wave->data.data(), wave->data.size()));
    const auto out = test::RunCommand("mpg123 -q --no-gapless -s " + test::ShellQuote(stream));
    expected.emplace(out.output.size() / 2);
    std::memcpy(expected->data(), out.output.data(), expected->size() * 2);
  }
  ASSERT_TRUE(expected && !expected->empty());
  r().fileKind = c.kind;
  const std::u16string wide(path.begin(), path.end());
  BSTR name = SysAllocStringLen(wide.data(), UINT(wide.size()));
  uint16_t error = 0xFFFF;
  OpenFile(r(), name, &error);
  SysFreeString(name);
  ASSERT_EQ(error, ErrNone);
  const auto probe = test::RunCommand(
                         "ffprobe -v error -show_entries stream=duration,sample_rate "
                         "-of default=nw=1:nk=1 " +
                         test::ShellQuote(path))
                         .output;
  const double rate = std::stod(probe), seconds = std::stod(probe.substr(probe.find('\n')));
  EXPECT_NEAR(r().length, seconds * rate, mp3 ? 1152 : 0.5);
  SetPosition(r(), 0);
  Play(r(), &error);
  ASSERT_EQ(error, ErrNone);
  while (r().state == StatePlaying && virtualaudio::CompleteOutputBuffers(WAVE_MAPPER, 1, 200)) {
    ASSERT_TRUE(Barrier(r()));
    Pump();
  }
  ASSERT_EQ(r().state, StateOpen);
  const Bytes heard = virtualaudio::OutputCapture(WAVE_MAPPER);
  const bool bytes = virtualaudio::OutputCaptureFormat(WAVE_MAPPER).wBitsPerSample == 8;
  std::vector<int16_t> played;  // 8-bit samples widened as ffmpeg widens them
  for (size_t k = 0; k + (bytes ? 0 : 1) < heard.size(); k += bytes ? 1 : 2)
    played.push_back(int16_t(bytes ? (heard[k] - 128) * 256 : heard[k] | heard[k + 1] << 8));
  EXPECT_EQ(played.size(), expected->size());
  EXPECT_TRUE(played == *expected);
}

INSTANTIATE_TEST_SUITE_P(Peers, PeerPlaybackTest, ::testing::ValuesIn(kPeers),
                         [](const auto& info) { return std::string(info.param.what); });

}  // namespace
}  // namespace voxl
