// Capture runs driven step by step by the virtual input's manual clock: device buffer sizes,
// blocks to the host, the file, the gate with its marker tones, the length limit, write
// failures and failed starts.
#include <sys/stat.h>

#include <cmath>
#include <filesystem>

#include "engine/capture_fixture.h"

namespace voxl {
namespace {

using testing::Bytes;
using testing::CaptureFormat;
using testing::CaptureTest;

constexpr CaptureFormat kMono8k16{16, 1, 8000};

// An 880 Hz marker tone of `frames` frames in the stored layout of `format`.
Bytes Tone(const CaptureFormat& format, uint32_t frames) {
  Bytes out;
  for (uint32_t k = 0; k < frames; ++k) {
    const double s = std::sin(k * 2 * 3.141592654 * 880.0 / format.rate);
    const auto v = int16_t(16384.0 * s);
    for (int c = 0; c < format.channels; ++c) {
      if (format.sampleFormat == 8) {
        out.push_back(uint8_t(128 + int(64.0 * s)));
      } else if (format.sampleFormat == 106) {
        out.push_back(LinearToALaw(v));
      } else if (format.sampleFormat == 107) {
        out.push_back(LinearToMuLaw(v));
      } else {
        out.push_back(uint8_t(v & 0xFF)), out.push_back(uint8_t((v >> 8) & 0xFF));
      }
    }
  }
  return out;
}

uint32_t ReadU32(const Bytes& b, size_t at) {
  return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 |
         uint32_t(b[at + 3]) << 24;
}

// ---- Device buffers and blocks ----

struct BufferCase {
  const char* name;
  CaptureFormat format;
  uint32_t deviceBytes;  // one device buffer
  uint32_t blockBytes;   // what one buffer becomes (G.711: one byte per 16-bit sample)
  uint32_t frames;
};

class BufferSizeTest : public CaptureTest, public ::testing::WithParamInterface<BufferCase> {};

TEST_P(BufferSizeTest, OneBufferIsATenthOfASecondInWholeFramesAndOneBlock) {
  const BufferCase& c = GetParam();
  Open(c.format, "");
  StartRecording();
  EXPECT_EQ(r().waveBufferBytes, c.deviceBytes);
  for (uint32_t n = 1; n <= 2; ++n) {
    Complete(1);
    ASSERT_EQ(log_.blocks.size(), n);
    const auto& block = log_.blocks.back();
    EXPECT_EQ(block.data, Expected(c.format, (n - 1) * c.frames, c.frames));
    ASSERT_EQ(block.format.size(), sizeof(WAVEFORMATEX));
    EXPECT_EQ(std::memcmp(block.format.data(), &r().pcmFormat, sizeof(WAVEFORMATEX)), 0);
    EXPECT_EQ(r().position, int32_t(n * c.frames));
    EXPECT_EQ(r().recordedLength, n * c.frames);
    EXPECT_EQ(r().length, n * c.frames);
  }
  EXPECT_EQ(c.blockBytes, log_.blocks[0].data.size());
}

INSTANTIATE_TEST_SUITE_P(
    Formats, BufferSizeTest,
    ::testing::Values(BufferCase{"ALawMono8000", {106, 1, 8000}, 1600, 800, 800},
                      BufferCase{"Pcm16Stereo44100", {16, 2, 44100}, 17640, 17640, 4410},
                      BufferCase{"Pcm8Mono22050", {8, 1, 22050}, 2205, 2205, 2205},
                      BufferCase{"Pcm16Stereo11025", {16, 2, 11025}, 4408, 4408, 1102},
                      BufferCase{"MuLawMono16000", {107, 1, 16000}, 3200, 1600, 1600}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(CaptureTest, EachBufferLandsInTheFileBehindThePreviousOne) {
  const CaptureFormat format{16, 2, 44100};
  const std::string path = File("a.wav");
  Open(format, path);
  StartRecording();
  Complete(3);
  StopRecording();
  EXPECT_EQ(log_.blocks.size(), 3u);
  EXPECT_EQ(log_.runEndCodes, std::vector<DWORD>{0});
  EXPECT_EQ(DataOf(path), Expected(format, 0, 3 * 4410));
  EXPECT_EQ(r().length, 3u * 4410);
}

TEST_F(CaptureTest, StreamingAdvancesLikeAFileAndLeavesNoSpliceFile) {
  SpliceFilesInTestDir();
  Open(kMono8k16, "");
  r().insertMode = 1;  // no file: nothing to splice into
  StartRecording();
  Complete(4);
  EXPECT_EQ(r().position, 3200);
  EXPECT_EQ(r().length, 3200u);
  EXPECT_EQ(r().recordedLength, 3200u);
  EXPECT_EQ(r().spliceFile, nullptr);
  StopRecording();
  EXPECT_EQ(log_.blocks.size(), 4u);
  EXPECT_TRUE(std::filesystem::is_empty(dir()));
}

// ---- Gate, marker tones and length limit ----

TEST_F(CaptureTest, PauseWritesTheEndToneAndResumeTheStartTone) {
  const std::string path = File("p.wav");
  Open(kMono8k16, path);
  r().startToneSeconds = 0.1f;  // 800 frames
  r().endToneSeconds = 0.05f;   // 400 frames
  StartRecording();
  Complete(1);
  SetPaused(r(), 1);
  Complete(2);  // the first writes the end tone; neither is stored
  EXPECT_EQ(r().position, 800 + 800 + 400);
  EXPECT_EQ(r().recordedLength, 800u);
  SetPaused(r(), 0);
  Complete(1);
  StopRecording();

  const Bytes start = Tone(kMono8k16, 800), end = Tone(kMono8k16, 400);
  EXPECT_EQ(DataOf(path), Concat({start, Expected(kMono8k16, 0, 800), end, start,
                                  Expected(kMono8k16, 2400, 800), end}));
  EXPECT_EQ(r().recordedLength, 1600u);
  EXPECT_EQ(r().length, 4000u);
  EXPECT_EQ(log_.blocks.size(), 6u);  // tone, data, tone, tone, data, tone
}

TEST_F(CaptureTest, ARunThatEndsWhilePausedWritesNoSecondEndTone) {
  const std::string path = File("q.wav");
  Open(kMono8k16, path);
  r().endToneSeconds = 0.05f;
  StartRecording();
  Complete(1);
  SetPaused(r(), 1);
  Complete(1);
  StopRecording();
  EXPECT_EQ(DataOf(path), Concat({Expected(kMono8k16, 0, 800), Tone(kMono8k16, 400)}));
}

TEST_F(CaptureTest, NoStartToneStillLetsTheEndToneFollow) {
  const std::string path = File("z.wav");
  Open(kMono8k16, path);
  r().endToneSeconds = 0.05f;
  StartRecording();
  Complete(1);
  EXPECT_EQ(r().startTonePending, 0u);
  EXPECT_EQ(log_.blocks.size(), 1u);
  StopRecording();
  EXPECT_EQ(DataOf(path), Concat({Expected(kMono8k16, 0, 800), Tone(kMono8k16, 400)}));
}

TEST_F(CaptureTest, LengthLimitStoresWholeBuffersUntilReachedThenEndsWith13) {
  const std::string path = File("l.wav");
  Open(kMono8k16, path);
  r().maxLengthSamples = 1000;
  StartRecording();
  Complete(3);
  WaitForRunEnd();
  EXPECT_EQ(r().recordedLength, 1600u);
  EXPECT_EQ(r().stopReason, ErrLengthLimit);
  EXPECT_EQ(log_.runEndCodes, std::vector<DWORD>{13});
  EXPECT_EQ(log_.blocks.size(), 2u);
  EXPECT_FALSE(virtualaudio::InputOpen(0));
  EXPECT_EQ(DataOf(path), Expected(kMono8k16, 0, 1600));
}

// ---- Ends and failures ----

TEST_F(CaptureTest, CloseWhileRecordingStopsAndKeepsAValidFile) {
  const std::string path = File("c.wav");
  Open(kMono8k16, path);
  StartRecording();
  Complete(2);
  CloseRecording();
  EXPECT_EQ(r().state, StateIdle);
  EXPECT_FALSE(virtualaudio::InputOpen(0));
  const auto wave = test::ReadWithSndfile(path);
  ASSERT_TRUE(wave.has_value());
  EXPECT_EQ(wave->frames, 1600);
  EXPECT_EQ(wave->raw, Expected(kMono8k16, 0, 1600));
}

TEST_F(CaptureTest, DiskFullEndsTheRunWith8AndTheFileKeepsWhatWasWritten) {
  const std::string path = File("full.wav");
  Open(kMono8k16, path);
  mmio::SetWriteLimitForTesting(2 * 1600 + 700);  // the third buffer is cut short
  StartRecording();
  ASSERT_EQ(virtualaudio::CompleteInputBuffers(WAVE_MAPPER, 3), 3u);
  ASSERT_TRUE(testing::WaitFor([&] { return r().state.load() == StateOpen; }));
  // Sizes are rewritten in place, which a full disk still allows.
  mmio::SetWriteLimitForTesting(-1);
  WaitForRunEnd();
  EXPECT_EQ(log_.runEndCodes, std::vector<DWORD>{8});
  EXPECT_EQ(r().recordedLength, 1600u);
  CloseRecording();
  const auto wave = test::ReadWithSndfile(path);
  ASSERT_TRUE(wave.has_value());
  EXPECT_EQ(wave->raw, Expected(kMono8k16, 0, 1600));
  const Bytes file = test::ReadBinaryFile(path);
  EXPECT_EQ(ReadU32(file, 4), 38u + 3200u);
}

TEST_F(CaptureTest, DataNeverPassesWhat32BitRiffSizesDescribe) {
  const std::string path = File("big.wav");
  Open(kMono8k16, path);
  // Two buffers still fit below the last describable offset, the third would not.
  const uint32_t start = (0xFFFFFFFEu - 46u - 2 * 1600 - 1000) / 2;
  r().length = start;
  r().position = int32_t(start);
  StartRecording();
  Complete(3);
  WaitForRunEnd();
  EXPECT_EQ(log_.runEndCodes, std::vector<DWORD>{8});
  EXPECT_EQ(log_.blocks.size(), 2u);  // the refused piece is not delivered either
  EXPECT_EQ(r().length, start + 1600);
  CloseRecording();

  struct stat st {};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  const uint64_t dataBytes = 2ull * (start + 1600);
  EXPECT_EQ(uint64_t(st.st_size), 46 + dataBytes);
  Bytes head(46);  // the file is sparse: read its header only
  FILE* f = std::fopen(path.c_str(), "rb");
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(std::fread(head.data(), 1, head.size(), f), head.size());
  std::fclose(f);
  EXPECT_EQ(ReadU32(head, 4), 38 + dataBytes);
  EXPECT_EQ(ReadU32(head, 42), dataBytes);
}

struct StartFault {
  const char* name;
  virtualaudio::Faults faults;
};

class FailedStartTest : public CaptureTest, public ::testing::WithParamInterface<StartFault> {};

TEST_P(FailedStartTest, ReportsNineAndLeavesNothingBehind) {
  const std::string path = File("rec.wav");
  Open(kMono8k16, path);
  r().insertMode = 1;  // a splice file is made before the device is asked
  SpliceFilesInTestDir();
  virtualaudio::SetInputFaults(0, GetParam().faults);
  uint16_t error = 0;
  Record(r(), &error);
  EXPECT_EQ(error, ErrCaptureStart);
  EXPECT_EQ(r().state, StateOpen);
  EXPECT_FALSE(virtualaudio::InputOpen(0));
  EXPECT_EQ(r().waveIn, nullptr);
  EXPECT_EQ(r().waveHeaders, nullptr);
  EXPECT_EQ(r().spliceFile, nullptr);
  size_t files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir())) {
    EXPECT_EQ(entry.path().filename(), "rec.wav");
    ++files;
  }
  EXPECT_EQ(files, 1u);

  // The recorder is still usable.
  virtualaudio::SetInputFaults(0, virtualaudio::Faults{});
  StartRecording();
  Complete(1);
  StopRecording();
  EXPECT_EQ(DataOf(path), Expected(kMono8k16, 0, 800));
}

virtualaudio::Faults RefuseOpen() {
  virtualaudio::Faults f;
  f.refuseOpen = true;
  return f;
}
virtualaudio::Faults FailThirdPrepare() {
  virtualaudio::Faults f;
  f.failPrepareAt = 3;
  return f;
}

INSTANTIATE_TEST_SUITE_P(Faults, FailedStartTest,
                         ::testing::Values(StartFault{"OpenRefused", RefuseOpen()},
                                           StartFault{"ThirdPrepareFails", FailThirdPrepare()}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace voxl
