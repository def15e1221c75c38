// Runs that reach the end of the 32-bit frame range, started near it (the engine's test hook)
// rather than after days of audio.  (A stream that runs past it: tests/api/flat_api_test.cpp.)
#include <fcntl.h>
#include <unistd.h>

#include <filesystem>

#include "engine/capture_fixture.h"

namespace voxl {
namespace {

using namespace testing;

// 8-bit mono: positions end (2^31 - 1 frames) long before the 4 GiB of the sizes.  The buffer
// that reaches the last frame is stored as far as it fits and ends the run with ErrLengthLimit,
// in overwrite and in insert mode; the end tone is left out; the sizes on disk follow the length
// and the last frames are where they belong.  (Before, the position wrapped to negative and the
// run went on.)
TEST_F(CaptureTest, AFileRunStopsAtTheLastFramePositionsReach) {
  constexpr uint32_t kStart = INT32_MAX - 2000;
  constexpr CaptureFormat kByteMono{8, 1, 8000};  // buffers of 800 frames
  for (const uint16_t insert : {0, 1}) {
    SCOPED_TRACE(insert);
    gBlocks.clear(), gRunEnds.clear();
    const std::string path = File(insert ? "insert.wav" : "overwrite.wav");
    Open(kByteMono, path);
    r().insertMode = insert;
    r().endToneSeconds = 1.0f;  // a full file takes none of it
    SetCaptureStartFramesForTesting(kStart);
    StartRecording();
    SetCaptureStartFramesForTesting(0);
    Complete(3);
    WaitForRunEnd();
    EXPECT_EQ(std::tuple(r().stopReason.load(), r().length.load(), r().position.load()),
              std::tuple(ErrLengthLimit, uint32_t(INT32_MAX), INT32_MAX));
    ASSERT_EQ(gBlocks.size(), 3u);
    EXPECT_EQ(gBlocks[2], Expected(kByteMono, 1600, 400));
    EXPECT_EQ(gRunEnds, std::vector<DWORD>{VOXL_STOP_LENGTH_LIMIT});

    const uint64_t dataOffset = r().dataChunk.dwDataOffset;
    CloseRecording();
    EXPECT_EQ(std::filesystem::file_size(path), dataOffset + INT32_MAX + 1);  // and a pad byte
    const int fd = open(path.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    uint32_t dataSize = 0;
    Bytes tail(2000);
    EXPECT_EQ(pread(fd, &dataSize, 4, off_t(dataOffset - 4)), 4);
    EXPECT_EQ(pread(fd, tail.data(), 2000, off_t(dataOffset + kStart)), 2000);
    close(fd);
    EXPECT_EQ(dataSize, uint32_t(INT32_MAX));
    EXPECT_EQ(tail, Expected(kByteMono, 0, 2000));
    std::filesystem::remove(path);
  }
}

}  // namespace
}  // namespace voxl
