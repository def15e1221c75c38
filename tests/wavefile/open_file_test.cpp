// Opening existing files: RIFF/WAVE chunk walks and their guards, the headerless kinds, the MPEG
// frame scan, files written by other programs, and recording into an opened file.
#include "wavefile/open_file.h"

#include "api/recorder_methods.h"
#include "engine/capture_fixture.h"
#include "support/codec.h"
#include "wavefile/frames.h"

namespace voxl {
namespace {

using namespace testing;

Bytes Le32(uint32_t v) {
  return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
}
Bytes Chunk(const char* id, const Bytes& body, int64_t size = -1) {
  Bytes b =
      Concat({Bytes(id, id + 4), Le32(size < 0 ? uint32_t(body.size()) : uint32_t(size)), body});
  if (body.size() % 2) b.push_back(0);
  return b;
}
// A "fmt " chunk of `bytes` bytes.
Bytes Fmt(uint16_t tag, uint16_t channels, uint32_t rate, uint16_t align, size_t bytes = 18) {
  const auto bits = uint8_t(tag == 1 ? 8 * align / std::max(channels, uint16_t(1)) : 8);
  Bytes b = Concat({{uint8_t(tag), 0, uint8_t(channels), 0},
                    Le32(rate),
                    Le32(rate * align),
                    {uint8_t(align), 0, bits, 0, 0, 0}});
  b.resize(bytes);
  return Chunk("fmt ", b);
}
Bytes Riff(std::initializer_list<Bytes> chunks) {
  Bytes body{'W', 'A', 'V', 'E'};
  for (const Bytes& c : chunks) body.insert(body.end(), c.begin(), c.end());
  return Chunk("RIFF", body);
}
const Bytes kData = Chunk("data", Bytes(800, 0x11));

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

// MPEG-1 Layer III frames of 128 kbit/s at 44100 Hz (417 bytes), after `lead`.
Bytes Frames(Bytes lead, int count = 20, uint8_t bitrateByte = 0x90) {
  for (int k = 0; k < count; ++k) {
    Bytes frame(417);
    frame[0] = 0xFF, frame[1] = 0xFB, frame[2] = bitrateByte;
    lead.insert(lead.end(), frame.begin(), frame.end());
  }
  return lead;
}
// An ID3v2.4 tag of `size` body bytes holding two frame syncs a frame apart, as a picture may;
// `footer` adds 10 bytes.
Bytes Id3(uint32_t size, bool footer) {
  Bytes tag = Concat({{'I', 'D', '3', 4, 0, uint8_t(footer ? 0x10 : 0)},
                      {uint8_t(size >> 21 & 127), uint8_t(size >> 14 & 127)},
                      {uint8_t(size >> 7 & 127), uint8_t(size & 127)}});
  tag.resize(10 + size + (footer ? 10 : 0));
  for (size_t at : {50, 50 + 417}) tag[at] = 0xFF, tag[at + 1] = 0xFB, tag[at + 2] = 0x90;
  return tag;
}

struct OpenCase {
  const char* what;
  Bytes file;
  uint16_t error;
  uint32_t length;
  int16_t kind = 0;  // headerless ones: 16-bit mono
};
constexpr uint32_t kMpegFrames = 22987;  // 20 frames of 417 bytes at 2.75625 frames a byte

// Each file opens with its error, or with its length and the position at its end.  Headerless
// lengths show where the data was found to start.
TEST_F(OpenFileTest, OpensWithItsErrorOrLength) {
  const Bytes pcm = Fmt(1, 1, 8000, 2), alaw = Fmt(6, 1, 8000, 1);
  const OpenCase cases[] = {
      {"16-byte fmt", Riff({Fmt(1, 2, 44100, 4, 16), Chunk("data", Bytes(176400))}), 0, 44100},
      {"12000 Hz", Riff({Fmt(1, 1, 12000, 2), kData}), 5, 0},
      {"24 bits", Riff({Fmt(1, 1, 8000, 3), kData}), 5, 0},
      {"fact before fmt", Riff({Chunk("fact", Le32(5)), alaw, kData}), 0, 800},
      {"fact after fmt", Riff({alaw, Chunk("fact", Le32(5)), kData}), 0, 5},
      {"fact past the data", Riff({alaw, Chunk("fact", Le32(801)), kData}), 0, 800},
      {"LIST, cue", Riff({pcm, Chunk("LIST", Bytes(7)), Chunk("cue ", Bytes(28)), kData}), 0, 400},
      {"data past the end", Riff({pcm, Chunk("data", Bytes(800), 0xFFFFFFF0)}), 0, 400},
      {"15-byte fmt", Riff({Fmt(1, 1, 8000, 2, 15), kData}), 4, 0},
      {"block align 0", Riff({Fmt(1, 1, 8000, 0), kData}), 4, 0},
      {"no channels", Riff({Fmt(1, 0, 8000, 2), kData}), 4, 0},
      {"fmt past the end", Riff({Chunk("fmt ", Bytes(18), 4000)}), 4, 0},
      {"no data", Riff({pcm}), 4, 0},
      {"not WAVE", Chunk("RIFF", Bytes{'A', 'V', 'I', ' '}), 4, 0},
      {"empty", Bytes{}, 4, 0},
      {"kind -44, 40 bytes", Bytes(40), 0, 0, -44},
      {"kind -10", Bytes(1000), 0, 495, -10},
      {"kind 1", Bytes(1000), 0, 500, 1},
      {"MPEG free format", Frames(Bytes(100), 20, 0x00), 5, 0, 2},
      {"no MPEG frame", Bytes(40000), 5, 0, 2},
      {"MPEG behind ID3v2", Frames(Id3(3000, false)), 0, kMpegFrames, 2},
      {"MPEG behind ID3v2 and footer", Frames(Id3(3000, true)), 0, kMpegFrames, 2},
      {"false sync, no next frame", Frames({0xFF, 0xFB, 0x90, 0, 1, 2}), 0, kMpegFrames, 2},
      {"MPEG behind 100 zero bytes", Frames(Bytes(100)), 0, kMpegFrames, 2},
  };
  for (const OpenCase& c : cases) {
    SCOPED_TRACE(c.what);
    r().sampleFormat = 16, r().channels = 1, r().sampleRate = 8000;
    EXPECT_EQ(OpenBytes(c.file, c.kind), c.error);
    EXPECT_EQ(std::pair(r().length.load(), r().position.load()),
              std::pair(c.length, int32_t(c.length)));
  }
  const auto& f = *reinterpret_cast<const MPEGLAYER3WAVEFORMAT*>(r().fileFormat);
  EXPECT_EQ(std::tuple(r().dataChunk.dwDataOffset, f.wfx.nAvgBytesPerSec, f.nBlockSize),
            std::tuple(100u, 16000u, uint16_t(417)));
  EXPECT_EQ(r().sampleFormat, 100);
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
