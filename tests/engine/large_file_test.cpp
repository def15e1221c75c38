// Recordings past 4 GiB in large-file mode: the switch from RIFF to RF64 as a run passes 4 GiB,
// what other readers see of the file at every step and after a kill around the switch, and RF64
// files of other writers opened, edited and read back.
//
// A run starts a few buffers short of 4 GiB: the file is made that long sparsely (its holes take
// no disk) and the recorder is placed at its end, as a run that got there would have left it.
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <filesystem>

#include "engine/capture_fixture.h"
#include "wavefile/editing.h"
#include "wavefile/frames.h"
#include "wavefile/riff_layout.h"

namespace voxl {
namespace {

using namespace testing;
using system::IoCall;

constexpr CaptureFormat kStereo48k{16, 2, 48000};  // buffers of 4800 frames, 19200 bytes
constexpr uint64_t kBufferBytes = 19200;
constexpr uint64_t kFourGiB = uint64_t{1} << 32;

// The frames ffprobe and sndfile-info find in a file (-1: the reader refused it or is missing).
struct ReadersSee {
  int64_t ffprobe = -1, sndfile = -1;
};
ReadersSee Readers(const std::string& path) {
  ReadersSee out;
  const std::string file = test::ShellQuote(path);
  const auto ff = test::RunCommand(
      "ffprobe -v error -select_streams a:0 -show_entries stream=duration_ts -of csv=p=0 " + file +
      " 2>/dev/null");
  if (ff.exitCode == 0 && !ff.output.empty()) out.ffprobe = std::atoll(ff.output.c_str());
  const auto sf = test::RunCommand("sndfile-info " + file + " 2>&1");
  const size_t at = sf.output.rfind("Frames");
  if (sf.output.find("Error") == std::string::npos && at != std::string::npos) {
    out.sndfile = std::atoll(sf.output.c_str() + sf.output.find(':', at) + 1);
  }
  return out;
}

std::string MagicOf(const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "rb");
  char magic[4] = {};
  const bool read = f != nullptr && std::fread(magic, 1, 4, f) == 4;
  if (f != nullptr) std::fclose(f);
  return read ? std::string(magic, 4) : std::string();
}

class LargeFileTest : public CaptureTest {
 protected:
  void SetUp() override {
    CaptureTest::SetUp();
    if (!test::HaveProgram("ffprobe") || !test::HaveProgram("sndfile-info")) {
      GTEST_SKIP() << "needs ffprobe and sndfile-info";
    }
    struct statvfs disk {};
    if (statvfs(dir().c_str(), &disk) != 0 ||
        uint64_t{disk.f_bavail} * disk.f_frsize < (1u << 30)) {
      GTEST_SKIP() << "needs 1 GiB of free disk";
    }
  }
  // A new recording whose data ends `buffers` device buffers short of 4 GiB, on a sparse file;
  // false when the file system keeps no holes (the test then skips).
  bool StartNear4GiB(DWORD mode, uint64_t buffers) {
    EXPECT_EQ(VoxlSetLargeFileMode(ToHost(&r()), mode), kAccepted);
    Open(kStereo48k, path_);
    const uint64_t dataStart = r().dataChunk.dwDataOffset;
    const auto frames = static_cast<uint32_t>((kFourGiB - 1 - dataStart) / 4 - buffers * 4800);
    if (truncate(path_.c_str(), static_cast<off_t>(FrameToFileOffset(r(), frames))) != 0) {
      return false;
    }
    struct stat st {};
    if (stat(path_.c_str(), &st) != 0 || uint64_t(st.st_blocks) * 512 > (64u << 20)) return false;
    r().length = frames, r().position = frames;
    EXPECT_TRUE(WriteSizesInPlace(r(), FrameToFileOffset(r(), frames), nullptr));
    return true;
  }
  const std::string path_ = File("big.wav");
};

// A run in large-file mode passes 4 GiB: the file stays RIFF while its form fits 32 bits and is
// RF64 from the buffer that passes them; both readers take it at every step with every frame,
// after the close too, and the recorder opens it again with its length.  Without the mode the
// run ends at 4 GiB and the file stays a RIFF file of everything stored.
TEST_F(LargeFileTest, PassesFourGibAsRf64AndStaysReadable) {
  if (!StartNear4GiB(VOXL_LARGE_FILE_RF64, 2)) GTEST_SKIP() << "no sparse files here";
  StartRecording();
  for (int buffer = 1; buffer <= 4; ++buffer) {
    SCOPED_TRACE(buffer);
    Complete(1);
    const uint64_t end = FrameToFileOffset(r(), r().length);
    EXPECT_EQ(MagicOf(path_), end - 8 > 0xFFFFFFFFu ? "RF64" : "RIFF");
    const ReadersSee seen = Readers(path_);
    EXPECT_EQ(seen.ffprobe, r().length);
    EXPECT_EQ(seen.sndfile, r().length);
  }
  StopRecording();
  const uint32_t length = r().length;
  CloseRecording();
  EXPECT_GT(FrameToByte64(r(), length), kFourGiB);
  const ReadersSee closed = Readers(path_);
  EXPECT_EQ(std::tuple(closed.ffprobe, closed.sndfile),
            std::tuple(int64_t{length}, int64_t{length}));
  OpenRecording(path_);
  EXPECT_EQ(r().length, length);
  CloseRecording();

  if (!StartNear4GiB(VOXL_LARGE_FILE_NONE, 2)) GTEST_SKIP();
  StartRecording();
  Complete(3);
  WaitForRunEnd();
  const uint32_t stored = r().length;
  CloseRecording();
  EXPECT_EQ(MagicOf(path_), "RIFF");
  EXPECT_EQ(Readers(path_).sndfile, stored);
  EXPECT_LT(FrameToByte64(r(), stored), kFourGiB);
}

// A process killed in the buffer that passes 4 GiB (from the struck write on every file
// operation fails: at the data, at the header that turns RF64, after it) leaves a file that
// both readers take with at least what was there before that buffer.
TEST_F(LargeFileTest, AKillAroundTheSwitchLeavesAFileBothRead) {
  for (uint64_t write = 0; write <= 2; ++write) {
    SCOPED_TRACE(write);
    if (!StartNear4GiB(VOXL_LARGE_FILE_RF64, 1)) GTEST_SKIP() << "no sparse files here";
    StartRecording();
    Complete(1);
    const int64_t before = r().length;
    system::ArmIoFault({IoCall::Write, write, system::IoFailure::Stop, 0, {}});
    Complete(1);
    const ReadersSee seen = Readers(path_);
    EXPECT_GE(seen.ffprobe, before);
    EXPECT_GE(seen.sndfile, before);
    EXPECT_EQ(seen.ffprobe, seen.sndfile);
    EXPECT_EQ(MagicOf(path_), write < 2 ? "RIFF" : "RF64");
    system::DisarmIoFault();
    Stop(r());
    Pump();
    uint16_t error = 0;
    Close(r(), &error);
  }
}

struct WriterCase {
  const char* name;
  // Turns the plain RIFF/WAVE file $1 into the RF64 file $2.
  const char* command;
};

class Rf64WriterTest : public CaptureTest, public ::testing::WithParamInterface<WriterCase> {};

// An RF64 file of another writer opens with its length; a cut at its start and a compaction
// (which drops the old tail the cut left behind) keep it an RF64 file that both readers take with
// the audio behind the cut and nothing else.
TEST_P(Rf64WriterTest, OpensAndStaysRf64ThroughACutAndACompaction) {
  for (const char* program : {"ffmpeg", "sndfile-convert", "ffprobe", "sndfile-info"}) {
    if (!test::HaveProgram(program)) GTEST_SKIP() << "needs " << program;
  }
  const std::string plain = File("plain.wav"), path = File("take.rf64");
  ASSERT_EQ(test::RunCommand("ffmpeg -v error -f lavfi -i sine=f=441:d=1:sample_rate=48000 -ac 2 "
                             "-y " +
                             test::ShellQuote(plain))
                .exitCode,
            0);
  ASSERT_EQ(test::RunCommand("set -- " + test::ShellQuote(plain) + " " + test::ShellQuote(path) +
                             "; " + GetParam().command)
                .exitCode,
            0);
  ASSERT_EQ(MagicOf(path), "RF64");
  const auto original = test::ReadWithSndfile(plain);
  ASSERT_TRUE(original);

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
  EXPECT_EQ(MagicOf(path), "RF64");
  const ReadersSee seen = Readers(path);
  EXPECT_EQ(std::tuple(seen.ffprobe, seen.sndfile), std::tuple(36000, 36000));
  const auto edited = test::ReadWithSndfile(path);
  ASSERT_TRUE(edited);
  EXPECT_TRUE(edited->samples ==
              std::vector<int16_t>(original->samples.begin() + 24000, original->samples.end()));
}

INSTANTIATE_TEST_SUITE_P(
    Writers, Rf64WriterTest,
    ::testing::Values(WriterCase{"Ffmpeg",
                                 "ffmpeg -v error -i \"$1\" -rf64 always -f wav -y \"$2\""},
                      WriterCase{"Libsndfile", "sndfile-convert \"$1\" \"$2\""}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace voxl
