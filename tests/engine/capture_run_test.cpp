// Capture runs driven step by step by the virtual input's manual clock: buffer sizes and blocks,
// the gate with its marker tones, the length limit, write failures and failed starts.
#include <sys/stat.h>

#include <filesystem>

#include "engine/capture_fixture.h"

namespace voxl {
namespace {

using namespace testing;
using test::U32At;

struct BufferCase {
  const char* name;
  CaptureFormat format;
  uint32_t deviceBytes, blockBytes, frames;  // per device buffer
};

class BufferSizeTest : public CaptureTest, public ::testing::WithParamInterface<BufferCase> {};

// Streaming: each buffer is one block with the 18-byte format and moves the counts on, as a
// file would.  Insert mode without a file makes no splice file.
TEST_P(BufferSizeTest, EachBufferIsATenthOfASecondAndOneBlock) {
  const BufferCase& c = GetParam();
  Open(c.format, "");
  r().insertMode = 1;
  StartRecording();
  EXPECT_EQ(r().waveBufferBytes, c.deviceBytes);
  Complete(2);
  ASSERT_EQ(gBlocks.size(), 2u);
  EXPECT_EQ(gBlocks[0].size(), c.blockBytes);
  EXPECT_EQ(Concat({gBlocks[0], gBlocks[1]}), Expected(c.format, 0, 2 * c.frames));
  ASSERT_EQ(gBlockFormats[1].size(), 18u);
  EXPECT_EQ(std::memcmp(gBlockFormats[1].data(), &r().pcmFormat, 18), 0);
  EXPECT_EQ(r().position, int32_t(2 * c.frames));
  EXPECT_EQ(r().length, 2 * c.frames);
  EXPECT_EQ(r().recordedLength, 2 * c.frames);
  EXPECT_TRUE(std::filesystem::is_empty(dir()));
}

INSTANTIATE_TEST_SUITE_P(
    Formats, BufferSizeTest,
    ::testing::Values(BufferCase{"ALawMono8000", {106, 1, 8000}, 1600, 800, 800},
                      BufferCase{"Pcm16Stereo44100", {16, 2, 44100}, 17640, 17640, 4410},
                      BufferCase{"Pcm8Mono22050", {8, 1, 22050}, 2205, 2205, 2205},
                      BufferCase{"Pcm16Stereo11025", {16, 2, 11025}, 4408, 4408, 1102}),
    [](const auto& info) { return std::string(info.param.name); });

// Pausing writes the end tone and resuming the start tone; paused buffers are metered, not
// stored, and tones do not count toward the limit.  Without a start tone the end tone still
// follows.
TEST_F(CaptureTest, PauseWritesTheEndToneAndResumeTheStartTone) {
  Open(kMono8k, File("p.wav"));
  r().startToneSeconds = 0.125f;  // 1000 frames
  r().endToneSeconds = 0.0625f;   // 500 frames
  StartRecording();
  Complete(1);
  SetPaused(r(), 1);
  Complete(2);
  SetPaused(r(), 0);
  Complete(1);
  StopRecording();
  const Bytes start = Tone(kMono8k, 1000), end = Tone(kMono8k, 500);
  EXPECT_EQ(DataOf(File("p.wav")), Concat({start, Expected(kMono8k, 0, 800), end, start,
                                           Expected(kMono8k, 2400, 800), end}));
  EXPECT_EQ(std::tuple(r().recordedLength.load(), r().length.load()), std::tuple(1600u, 4600u));

  Open(kMono8k, File("z.wav"));
  r().startToneSeconds = 0.0f;
  RecordBuffers(1);
  EXPECT_EQ(DataOf(File("z.wav")), Concat({Expected(kMono8k, 0, 800), end}));
}

// A stop posted while a long start tone is written ends the tone (after its first second); the
// audio of the buffer still follows it.  It used to wait for all 160 MB of the tone.
TEST_F(CaptureTest, StopCutsALongStartToneShort) {
  Open(kMono8k, File("t.wav"));
  r().startToneSeconds = 1e4f;
  StartRecording();
  ASSERT_EQ(virtualaudio::CompleteInputBuffers(WAVE_MAPPER, 1), 1u);
  StopRecording();
  const Bytes data = DataOf(File("t.wav"));
  ASSERT_GE(data.size(), 16000u + 1600);
  ASSERT_LT(data.size(), 16'000'000u);
  EXPECT_EQ(Bytes(data.begin(), data.begin() + 16000), Tone(kMono8k, 8000));
  EXPECT_EQ(Bytes(data.end() - 1600, data.end()), Expected(kMono8k, 0, 800));
  EXPECT_EQ(r().length, data.size() / 2);
}

TEST_F(CaptureTest, LengthLimitStoresWholeBuffersThenEndsWith13) {
  Open(kMono8k, File("l.wav"));
  r().maxLengthSamples = 1000;
  StartRecording();
  Complete(3);
  WaitForRunEnd();
  EXPECT_EQ(r().recordedLength, 1600u);
  EXPECT_EQ(gRunEnds, std::vector<DWORD>{ErrLengthLimit});
  EXPECT_FALSE(virtualaudio::InputOpen(0));
  EXPECT_EQ(DataOf(File("l.wav")), Expected(kMono8k, 0, 1600));
}

TEST_F(CaptureTest, CloseWhileRecordingKeepsAValidFile) {
  Open(kMono8k, File("c.wav"));
  StartRecording();
  Complete(2);
  CloseRecording();
  EXPECT_EQ(r().state, StateIdle);
  EXPECT_EQ(DataOf(File("c.wav")), Expected(kMono8k, 0, 1600));
}

TEST_F(CaptureTest, DiskFullEndsTheRunWith8AndKeepsWhatWasWritten) {
  Open(kMono8k, File("full.wav"));
  // The third buffer is cut short; sizes are rewritten in place, which a full disk allows.
  system::ArmIoFault(system::DiskFull(2 * 1600 + 700));
  StartRecording();
  ASSERT_EQ(virtualaudio::CompleteInputBuffers(WAVE_MAPPER, 3), 3u);
  WaitForRunEnd();
  EXPECT_EQ(gRunEnds, std::vector<DWORD>{ErrCaptureWrite});
  CloseRecording();
  EXPECT_EQ(DataOf(File("full.wav")), Expected(kMono8k, 0, 1600));
  EXPECT_EQ(U32At(test::ReadBinaryFile(File("full.wav")), 4), 38u + 3200);
}

TEST_F(CaptureTest, DataNeverPassesWhat32BitRiffSizesDescribe) {
  Open(kMono8k, File("big.wav"));
  const uint32_t start = (0xFFFFFFFEu - 46 - 2 * 1600 - 1000) / 2;  // room for two buffers
  r().length = start;
  r().position = int32_t(start);
  StartRecording();
  Complete(3);
  WaitForRunEnd();
  EXPECT_EQ(gRunEnds, std::vector<DWORD>{ErrCaptureWrite});
  EXPECT_EQ(gBlocks.size(), 2u);  // a refused piece is not delivered either
  CloseRecording();
  const uint64_t dataBytes = 2ull * (start + 1600);
  struct stat st {};
  ASSERT_EQ(stat(File("big.wav").c_str(), &st), 0);
  EXPECT_EQ(uint64_t(st.st_size), 46 + dataBytes);
  Bytes head(46);  // the file is sparse: read its header only
  FILE* f = std::fopen(File("big.wav").c_str(), "rb");
  ASSERT_EQ(std::fread(head.data(), 1, 46, f), 46u);
  std::fclose(f);
  EXPECT_EQ(U32At(head, 4), 38 + dataBytes);
  EXPECT_EQ(U32At(head, 42), dataBytes);
}

// 0: the device refuses to open; k: the k-th buffer cannot be prepared.  Record reports 9 once
// the engine has tried (a limit not yet reached lets it try), and the recorder stays open for
// another attempt; the engine cleared the last run's stop reason, silence and meter on the way.
class FailedStartTest : public CaptureTest, public ::testing::WithParamInterface<int> {};

TEST_P(FailedStartTest, ReportsNineAndLeavesNothingOpenOrOnDisk) {
  virtualaudio::Faults faults;
  faults.refuseOpen = GetParam() == 0;
  faults.failPrepareAt = GetParam();
  Open(kMono8k, File("rec.wav"));
  r().insertMode = 1;  // the splice file is made before the device is opened
  virtualaudio::SetInputFaults(0, faults);
  r().maxLengthSamples = 100, r().recordedLength = 99;
  r().silent = 1, r().silenceCountdown = 4, r().stopReason = ErrCaptureWrite;
  uint16_t error = 0;
  voxl::Record(r(), &error);
  EXPECT_EQ(std::tuple(error, r().lastError.load(), r().state.load()),
            std::tuple(ErrCaptureStart, ErrCaptureStart, StateOpen));
  EXPECT_EQ(std::tuple(r().silent.load(), r().silenceCountdown.load(), r().stopReason.load(),
                       r().levelLeft.load()),
            std::tuple(uint16_t{0}, uint16_t{0}, uint16_t{ErrNone}, -100.0f));
  EXPECT_FALSE(virtualaudio::InputOpen(0));
  EXPECT_EQ(r().waveHeaders, nullptr);
  EXPECT_EQ(r().spliceFile, nullptr);
  for (const auto& entry : std::filesystem::directory_iterator(dir()))
    EXPECT_EQ(entry.path().filename(), "rec.wav");
  virtualaudio::SetInputFaults(0, virtualaudio::Faults{});
  r().maxLengthSamples = 0;
  RecordBuffers(1);  // still usable
  EXPECT_EQ(DataOf(File("rec.wav")), Expected(kMono8k, 0, 800));
}

INSTANTIATE_TEST_SUITE_P(Faults, FailedStartTest, ::testing::Values(0, 1, 10));

}  // namespace
}  // namespace voxl
