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
