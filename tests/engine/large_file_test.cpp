// Recordings past 4 GiB in large-file mode (the switch from RIFF to RF64, what other readers see
// at every step and after a kill around the switch), and RF64 files of other writers opened,
// edited and read back.  A run starts a few buffers short of 4 GiB: the file is made that long
// sparsely (its holes take no disk) and the recorder placed at its end.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "engine/capture_fixture.h"
#include "wavefile/editing.h"
#include "wavefile/frames.h"
#include "wavefile/position.h"

namespace voxl {
namespace {

using namespace testing;
using test::U32At;

uint64_t U64At(const Bytes& bytes, size_t at) {
  return U32At(bytes, at) | uint64_t{U32At(bytes, at + 4)} << 32;
}

class LargeFileTest : public CaptureTest {
 protected:
  // A run into a new 48 kHz stereo recording in `f` (device buffers of 4800 frames) whose data
  // ends `buffers` buffers short of 4 GiB; false when the folder keeps no sparse files.
  bool StartNear4GiB(DWORD mode, uint32_t buffers, CaptureFormat f = {16, 2, 48000}) {
    EXPECT_EQ(VoxlSetLargeFileMode(ToHost(&r()), mode), kAccepted);
    if (f.sampleFormat == 100) {  // through the conversion set: 32-bit float
      WAVEFORMATEX target{WAVE_FORMAT_IEEE_FLOAT, 2, f.rate, 8 * f.rate, 8, 32, 0};
      EXPECT_EQ(SetTargetFormat(r(), &target, sizeof target, true), kAccepted);
    }
    Open(f, path_);
    const uint32_t align = (f.sampleFormat == 100 ? *r().fileFormat : r().pcmFormat).nBlockAlign;
    const uint64_t frames =
        ((0xFFFFFFFFu - r().dataChunk.dwDataOffset) / align - buffers * 4800) & ~1ull;
    struct stat st {};
    r().length = frames, r().position = int64_t(frames);
    StartRecording();
    return truncate(path_.c_str(), off_t(FrameToFileOffset(r(), frames))) == 0 &&
           stat(path_.c_str(), &st) == 0 && st.st_blocks < 65536;
  }
  const std::string path_ = File("big.wav");
};

class LargeFormatTest : public LargeFileTest,
                        public ::testing::WithParamInterface<CaptureFormat> {};

// In large-file mode the file stays RIFF while its form fits 32 bits and is RF64 from the buffer
// that passes them (A-law mono: with its "fact" chunk, and the run goes on past 2^32 frames, where
// the method table's counts stop); both readers take it with every frame at every step and after
// the close, "ds64" counts every frame, a dropout before the switch is a cue at its place that
// the 64-bit form size covers, and it opens again with its length, exact in seconds, plays from
// past 4 GiB and takes a cut there that leaves the true 64-bit sizes.  (Without the mode the run
// ends at 4 GiB, or at 2^31 frames: RunEndTest.)
TEST_P(LargeFormatTest, PassesFourGibAsRf64AndStaysReadable) {
  virtualaudio::SetInputFaults(0, {.gapAtFrame = 4800, .gapFrames = 400});
  if (!StartNear4GiB(VOXL_LARGE_FILE_RF64, 2, GetParam())) GTEST_SKIP() << "no sparse files here";
  const int64_t cueAt = r().length + 4800, dataStart = r().dataChunk.dwDataOffset;
  for (int buffer = 1; buffer <= 3; ++buffer) {
    Complete(1);
    const int64_t n = r().length;
    EXPECT_EQ(ReadersSee(path_), Seen(buffer < 3 ? "RIFF" : "RF64", n, n)) << buffer;
  }
  StopRecording();
  const int64_t length = r().length;
  CloseRecording();
  EXPECT_EQ(ReadersSee(path_), Seen("RF64", length, length));
  // The 64-bit form size covers the cue chunk behind the data (which libsndfile lists with its
  // label but does not decode in an RF64 file).
  const Bytes sizes = ReadAt(path_, 20, 16), data = ReadAt(path_, 28, 8);
  const uint64_t dataBytes = U64At(data, 0);
  const Bytes cue = ReadAt(path_, dataStart + dataBytes + (dataBytes & 1), 36);
  EXPECT_EQ(U64At(sizes, 0), std::filesystem::file_size(path_) - 8);
  EXPECT_EQ(std::tuple(U32At(cue, 0), U32At(cue, 8), U32At(cue, 32)),
            std::tuple(0x20657563u, 1u, uint32_t(cueAt)));
  const std::string info = test::RunCommand("sndfile-info " + test::ShellQuote(path_)).output;
  EXPECT_NE(info.find("labl : 1 : dropout 8 ms"), std::string::npos) << info;
  OpenRecording(path_);
  // A-law mono is past what 32-bit lengths count.
  EXPECT_EQ(std::tuple(HostLength(r()), HostPosition(r()), LengthSeconds(r())),
            std::tuple(GetParam().sampleFormat == 106 ? UINT32_MAX : uint32_t(length),
                       int32_t(std::min<int64_t>(length, INT32_MAX)), length / 48000.0));
  // The tone of the run's last 25 ms comes out.
  SetPositionSeconds(r(), (length - 1200) / 48000.0);
  EXPECT_NEAR(double(r().position), double(length - 1200), 1.0);
  uint16_t error = 0xFFFF;
  Play(r(), &error);
  ASSERT_EQ(error, ErrNone);
  EXPECT_EQ(virtualaudio::CompleteOutputBuffers(WAVE_MAPPER, 1, 200), 1u);
  Stop(r());
  Pump();
  const auto heard = virtualaudio::OutputCapture(WAVE_MAPPER);
  EXPECT_TRUE(std::any_of(heard.begin(), heard.end(), [](uint8_t b) { return b != 0; }));
  SetPosition(r(), length - 2400);
  DeleteSamples(r(), 1200, &error);
  CloseRecording();
  EXPECT_EQ(
      std::tuple(error, U64At(ReadAt(path_, 36, 8), 0), ReadersSee(path_)),
      std::tuple(ErrNone, uint64_t(length - 1200), Seen("RF64", length - 1200, length - 1200)));
}
INSTANTIATE_TEST_SUITE_P(
    Formats, LargeFormatTest,
    ::testing::Values(CaptureFormat{16, 2, 48000}, CaptureFormat{106, 1, 48000},
                      CaptureFormat{100, 2, 48000}),
    [](const auto& info) {
      return std::string(info.index == 0 ? "Pcm16" : info.index == 1 ? "ALaw" : "Float");
    });

// A process killed in the buffer that passes 4 GiB (from the struck write on every file
// operation fails: at its data, at the header that turns RF64, after it) leaves a file both
// readers take with what was there before that buffer, or with all of it.
TEST_F(LargeFileTest, AKillAroundTheSwitchLeavesAFileBothRead) {
  for (uint64_t write = 0; write <= 2; ++write) {
    if (!StartNear4GiB(VOXL_LARGE_FILE_RF64, 1)) GTEST_SKIP() << "no sparse files here";
    Complete(1);
    const int64_t n = r().length + (write < 2 ? 0 : 4800);
    system::ArmIoFault({system::IoCall::Write, write, system::IoFailure::Stop, 0, {}});
    Complete(1);
    EXPECT_EQ(ReadersSee(path_), Seen(write < 2 ? "RIFF" : "RF64", n, n)) << write;
    system::DisarmIoFault();
    StopRecording();
  }
}

// An RF64 file of another writer ($1 made into $2) opens with its length; a cut at its start and
// a compaction (dropping the old tail the cut left) keep it RF64 with the frames behind the cut.
class Rf64WriterTest : public LargeFileTest, public ::testing::WithParamInterface<const char*> {};
TEST_P(Rf64WriterTest, OpensAndStaysRf64ThroughACutAndACompaction) {
  const std::string plain = test::ShellQuote(File("plain.wav")), path = File("take.rf64");
  const std::string make = "ffmpeg -v error -f lavfi -i sine=d=1:sample_rate=48000 -ac 2 " + plain;
  ASSERT_EQ(test::RunCommand(make + "; set -- " + plain + " " + test::ShellQuote(path) + "; " +
                             GetParam())
                .exitCode,
            0);
  OpenRecording(path);
  EXPECT_EQ(r().length, 48000u);
  uint16_t error = 0xFFFF;
  SetPosition(r(), 0);
  DeleteSamples(r(), 12000, &error);
  EXPECT_EQ(error, ErrNone);
  CloseRecording();
  const auto cutSize = std::filesystem::file_size(path);
  OpenRecording(path);
  CompactFile(r(), &error);
  EXPECT_EQ(error, ErrNone);
  CloseRecording();
  EXPECT_LT(std::filesystem::file_size(path), cutSize);
  EXPECT_EQ(ReadersSee(path), Seen("RF64", 36000, 36000));
}
INSTANTIATE_TEST_SUITE_P(Writers, Rf64WriterTest,
                         ::testing::Values("ffmpeg -v error -i \"$1\" -rf64 always -f wav \"$2\"",
                                           "sndfile-convert \"$1\" \"$2\""),
                         [](const auto& info) {
                           return info.index == 0 ? "Ffmpeg" : "Libsndfile";
                         });

}  // namespace
}  // namespace voxl
