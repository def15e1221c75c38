// Opening existing files: the record of an MPEG stream, a missing file, files written by other
// programs, and recording into an opened file.  The corpus test opens the bad and unusual ones.
#include "wavefile/open_file.h"

#include "api/recorder_methods.h"
#include "engine/capture_fixture.h"
#include "support/codec.h"
#include "wavefile/frames.h"

namespace voxl {
namespace {

using namespace testing;

class OpenFileTest : public CaptureTest {
 protected:
  uint16_t OpenPath(const std::string& path) {
    const std::u16string wide(path.begin(), path.end());
    BSTR name = SysAllocStringLen(wide.data(), UINT(wide.size()));
    uint16_t error = 0xFFFF;
    EXPECT_EQ(OpenFile(r(), name, &error), 0u);
    SysFreeString(name);
    // Every failure leaves nothing open.
    EXPECT_TRUE(error == ErrNone || (r().state == StateIdle && r().fileHandle == nullptr));
    return error;
  }
  uint16_t OpenBytes(const Bytes& bytes, int16_t kind = 0) {
    CloseRecording();  // in.wav is rewritten in place
    r().fileKind = kind;
    test::WriteBinaryFile(File("in.wav"), bytes.data(), bytes.size());
    return OpenPath(File("in.wav"));
  }
};

// Twenty MPEG-1 Layer III frames of 128 kbit/s at 44100 Hz behind 100 zero bytes: the stream is
// found at offset 100, with 16000 bytes per second, 417-byte blocks, and the position at its end.
// (The corpus test opens every other kind of file, good and bad.)
TEST_F(OpenFileTest, MpegStreamIsFoundBehindZeroBytes) {
  Bytes file(100);
  for (int k = 0; k < 20; ++k)
    file.insert(file.end(), {0xFF, 0xFB, 0x90}), file.resize(file.size() + 414);
  ASSERT_EQ(OpenBytes(file, 2), ErrNone);
  const auto& f = *reinterpret_cast<const MPEGLAYER3WAVEFORMAT*>(r().fileFormat);
  EXPECT_EQ(
      std::tuple(r().dataChunk.dwDataOffset, f.wfx.nAvgBytesPerSec, f.nBlockSize, r().sampleFormat),
      std::tuple(100u, 16000u, uint16_t(417), uint16_t(100)));
  EXPECT_EQ(std::pair(r().length.load(), r().position.load()), std::pair(22987u, 22987));
}

TEST_F(OpenFileTest, AMissingFileIsCreatedUnlessReadOnly) {
  EXPECT_EQ(OpenPath(File("new.wav")), ErrNone);
  EXPECT_EQ(std::pair(r().state.load(), r().length.load()), std::pair(uint16_t(StateOpen), 0u));
  EXPECT_TRUE(std::filesystem::exists(File("new.wav")));
  CloseRecording();
  r().readOnly = 1;
  EXPECT_EQ(OpenPath(File("missing.wav")), ErrReadOnly);
  EXPECT_FALSE(std::filesystem::exists(File("missing.wav")));
  r().readOnly = 0;
}

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
    {"sndfile_alaw", "", 0, {6, 1, 8000, 8}},
    {"sndfile_mulaw", "", 0, {7, 2, 8000, 8}},
};

class PeerOpenTest : public OpenFileTest, public ::testing::WithParamInterface<PeerCase> {};

// The length matches what ffprobe reports (within one frame for MPEG audio).
TEST_P(PeerOpenTest, OpensWithTheLengthPeersReport) {
  const PeerCase& c = GetParam();
  const std::string path = File("p.wav");
  ASSERT_EQ(test::RunCommand("cd " + test::ShellQuote(dir().string()) +
                             " && sox -n -r 44100 -b 16 -c 2 t.wav synth 1.3 sine 440 && " +
                             c.command + " >/dev/null 2>&1")
                .exitCode,
            0);
  if (*c.command == '\0') {
    ASSERT_TRUE(test::WriteWaveFile(path, c.layout, Bytes(12002, 0x35)));
  }
  const auto probe = test::RunCommand(
                         "ffprobe -v error -show_entries stream=duration,sample_rate "
                         "-of default=nw=1:nk=1 " +
                         test::ShellQuote(path))
                         .output;
  const double rate = std::stod(probe), seconds = std::stod(probe.substr(probe.find('\n')));
  ASSERT_EQ(OpenBytes(test::ReadBinaryFile(path), c.kind), ErrNone);
  const bool mp3 = c.kind == 2 || std::string(c.command).find("mp3") != std::string::npos;
  EXPECT_NEAR(r().length, seconds * rate, mp3 ? 1152 : 0.5);
}

INSTANTIATE_TEST_SUITE_P(Peers, PeerOpenTest, ::testing::ValuesIn(kPeers),
                         [](const auto& info) { return std::string(info.param.what); });

class RecordIntoOpenedFileTest : public OpenFileTest,
                                 public ::testing::WithParamInterface<const char*> {};

// Continuing at the end, inserting 2 s at 5 s and overwriting 1 s at 3 s of a 10 s file written
// by sox: each time the data is the file before with what the host was given spliced in at the
// position (whole blocks for a compressed file).
TEST_P(RecordIntoOpenedFileTest, SplicesAtThePosition) {
  const std::string path = File("take.wav");
  ASSERT_EQ(test::RunCommand("sox -n -r 8000 -c 1 " + std::string(GetParam()) + " " +
                             test::ShellQuote(path) + " synth 10 sine 300")
                .exitCode,
            0);
  r().fileKind = 0;
  ASSERT_EQ(OpenPath(path), ErrNone);
  // Where (seconds; negative: where the last run ended), insert or overwrite, buffers.
  using Step = std::tuple<double, uint16_t, size_t>;
  for (auto [seconds, insert, buffers] : {Step{-1, 0, 3}, Step{5, 1, 20}, Step{3, 0, 10}}) {
    if (seconds >= 0) kRecorderMethods.SetPositionSeconds(ToHost(&r()), seconds);
    r().insertMode = insert;
    const Bytes before = test::ParseWave(path)->data;
    const size_t at = FrameToByte(r(), uint32_t(r().position));  // whole blocks when compressed
    gBlocks.clear();
    RecordBuffers(buffers);
    Bytes given;
    for (const Bytes& b : gBlocks) given.insert(given.end(), b.begin(), b.end());
    const size_t resume = insert ? at : std::min(before.size(), at + given.size());
    EXPECT_EQ(test::ParseWave(path)->data,
              Concat({Bytes(before.begin(), before.begin() + at), given,
                      Bytes(before.begin() + resume, before.end())}))
        << seconds;
  }
  const uint32_t length = r().length;
  CloseRecording();
  ASSERT_EQ(OpenPath(path), ErrNone);
  EXPECT_EQ(r().length, length);
}

INSTANTIATE_TEST_SUITE_P(Formats, RecordIntoOpenedFileTest,
                         ::testing::Values("-b 16", "-e a-law", "-e ima-adpcm",
                                           "-e gsm-full-rate"));

}  // namespace
}  // namespace voxl
