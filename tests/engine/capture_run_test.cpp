// Capture runs driven step by step by the virtual input's manual clock: buffer sizes and blocks,
// the gate with its marker tones, runs that end by themselves (length limit, write failures, the
// ends of sizes and positions, a device that goes away), dropouts and failed starts.
#include <filesystem>
#include <regex>

#include "engine/capture_fixture.h"
#include "wavefile/cue_chunk.h"
#include "wavefile/editing.h"

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
  EXPECT_EQ(std::tuple(r().position.load(), r().length.load(), r().recordedLength.load()),
            std::tuple(int32_t(2 * c.frames), 2 * c.frames, 2 * c.frames));
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
// follows, also when the recording is closed while the run goes on.
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
  StartRecording();
  Complete(2);
  CloseRecording();
  EXPECT_EQ(r().state, StateIdle);
  EXPECT_EQ(DataOf(File("z.wav")), Concat({Expected(kMono8k, 0, 1600), end}));
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

struct RunEndCase {
  const char* name;
  CaptureFormat format;
  uint16_t insert;
  uint32_t start, limit;  // frames
  uint64_t diskRoom;      // bytes left on a full disk (0: not full)
  int64_t lossAt;         // frames after which the device goes away (-1: never)
  uint16_t reason;
  uint32_t stored;  // frames the run keeps
};

class RunEndTest : public CaptureTest, public ::testing::WithParamInterface<RunEndCase> {};

// Runs that end by themselves: the length limit (whole buffers), a full disk (the third buffer
// is cut short; sizes are rewritten in place, which a full disk allows), the end of what 32-bit
// RIFF sizes describe (16 bits: the buffer that would pass it is refused whole), the last frame
// positions reach (8 bits: 2^31 - 1 frames, long before 4 GiB; the buffer that reaches it is
// stored as far as it fits, and the end tone is left out; before, the position wrapped to
// negative and the run went on), a device that goes away half way through the third buffer.
// Runs near the ends start there through the engine's test hook rather than after days of audio.
// The run ends with its code (stopReason, lastError, callback 0) and the device closed; Stop
// returns at once; the host received exactly what was stored (a full disk is met later); the sizes
// on disk follow the length and the frames stand where they belong; where there is room a new run
// adds to the file.
TEST_P(RunEndTest, EndsWithItsCodeAndKeepsWhatItStored) {
  const RunEndCase& c = GetParam();
  const std::string path = File("run.wav");
  Open(c.format, path);
  r().insertMode = c.insert, r().maxLengthSamples = c.limit;
  r().endToneSeconds = c.start > 0 ? 1.0f : 0.0f;  // a full file takes none of it
  if (c.diskRoom > 0) system::ArmIoFault(system::DiskFull(c.diskRoom));
  virtualaudio::SetInputFaults(0, virtualaudio::Faults{.loseAfterFrames = c.lossAt});
  SetCaptureStartFramesForTesting(c.start);
  StartRecording();
  SetCaptureStartFramesForTesting(0);
  virtualaudio::CompleteInputBuffers(WAVE_MAPPER, 3);
  WaitForRunEnd();
  uint32_t length = c.start + c.stored;
  EXPECT_EQ(std::tuple(r().stopReason.load(), TakeLastError(r()), gRunEnds, r().length.load(),
                       r().position.load()),
            std::tuple(c.reason, c.reason, std::vector<DWORD>{c.reason}, length, int32_t(length)));
  Stop(r());
  EXPECT_EQ(r().state, StateOpen);
  EXPECT_FALSE(virtualaudio::InputOpen(0));
  Bytes data = Expected(c.format, 0, c.stored);
  if (c.diskRoom == 0) {
    EXPECT_EQ(Delivered(), data);
  }
  system::DisarmIoFault();
  virtualaudio::SetInputFaults(0, virtualaudio::Faults{});
  if (c.start == 0) {
    r().maxLengthSamples = 0;
    RecordBuffers(1);
    EXPECT_EQ(r().stopReason, ErrNone);
    data = Concat({data, Expected(c.format, 0, 800)}), length += 800;
  }
  const uint64_t offset = r().dataChunk.dwDataOffset,
                 bytes = uint64_t(length) * (c.format.sampleFormat / 8);
  // A lost device leaves its cue behind the data.
  const uint64_t cues =
      c.lossAt < 0 ? 0 : CueChunks({{int32_t(c.lossAt), 0, TakeMarkKind::DeviceLost}}, 8000).size();
  CloseRecording();
  EXPECT_EQ(std::filesystem::file_size(path), offset + bytes + (bytes & 1) + cues);
  EXPECT_EQ(U32At(ReadAt(path, 4, 4), 0), offset - 8 + bytes + (bytes & 1) + cues);
  EXPECT_EQ(U32At(ReadAt(path, offset - 4, 4), 0), bytes);
  EXPECT_EQ(ReadAt(path, offset + bytes - data.size(), data.size()), data);
}

constexpr CaptureFormat kByteMono{8, 1, 8000};
constexpr uint32_t kNearSizes = (0xFFFFFFFEu - 46 - 2 * 1600 - 1000) / 2,
                   kNearEnd = INT32_MAX - 2000;
INSTANTIATE_TEST_SUITE_P(
    Ends, RunEndTest,
    ::testing::Values(
        RunEndCase{"Limit", kMono8k, 0, 0, 1000, 0, -1, ErrLengthLimit, 1600},
        RunEndCase{"DiskFull", kMono8k, 0, 0, 0, 2 * 1600 + 700, -1, ErrCaptureWrite, 1600},
        RunEndCase{"RiffSizes", kMono8k, 0, kNearSizes, 0, 0, -1, ErrCaptureWrite, 1600},
        RunEndCase{"Positions", kByteMono, 0, kNearEnd, 0, 0, -1, ErrLengthLimit, 2000},
        RunEndCase{"PositionsInsert", kByteMono, 1, kNearEnd, 0, 0, -1, ErrLengthLimit, 2000},
        RunEndCase{"DeviceLost", kMono8k, 0, 0, 0, 0, 2000, ErrDeviceLost, 2000},
        RunEndCase{"DeviceLostInsert", kMono8k, 1, 0, 0, 0, 2000, ErrDeviceLost, 2000}),
    [](const auto& info) { return std::string(info.param.name); });

struct MarkCase {
  const char* name;
  float startTone;        // seconds
  int64_t gapAt, lossAt;  // device frames (-1: never)
  int32_t cueAt;          // after the cut (-1: none)
  const char* label;
  int32_t cutAt = 0;  // the file opened again, `cut` frames cut there and compacted away
  uint32_t cut = 0;   // (or, with `overwrite`, one buffer recorded over the audio from there)
  bool overwrite = false;
};

class MarkTest : public CaptureTest, public ::testing::WithParamInterface<MarkCase> {};

std::vector<std::pair<LONG, DWORD>> gDropouts;
void CALLBACK LogDropout(LONG position, DWORD frames, void*) {
  gDropouts.emplace_back(position, frames);
}

// A gap of 400 frames in the second buffer (device frame 1200), with and without a start tone
// ahead of the audio, and a device that goes away after 2000 frames: the host hears of the
// dropout at its place in the take, the file holds what arrived (no silence for the gap) and at
// close gets one cue point there with its label; ffprobe and libsndfile read its length.
// Opened again, a cut ahead of the cue moves it back by the cut, one over it removes it, and
// the compaction that follows keeps the cue behind the data, within the form; a buffer
// recorded over the end that grows the data part way into the old chunks leaves none of their
// bytes behind.
TEST_P(MarkTest, PlacesTheCueWhereAudioIsMissing) {
  const MarkCase& c = GetParam();
  const std::string path = File("take.wav");
  gDropouts.clear();
  VoxlSetDropoutCallback(ToHost(&r()), LogDropout, nullptr);
  Open(kMono8k, path);
  r().startToneSeconds = c.startTone;
  virtualaudio::SetInputFaults(
      0, {.loseAfterFrames = c.lossAt, .gapAtFrame = c.gapAt, .gapFrames = 400});
  StartRecording();
  Complete(c.lossAt < 0 ? 3 : 2);
  if (c.lossAt < 0) StopRecording();
  if (c.lossAt >= 0) virtualaudio::CompleteInputBuffers(WAVE_MAPPER, 1), WaitForRunEnd();
  const uint32_t tone = uint32_t(c.startTone * 8000);
  const Bytes audio = c.lossAt < 0
                          ? Concat({Expected(kMono8k, 0, 1200), Expected(kMono8k, 1600, 1200)})
                          : Expected(kMono8k, 0, 2000);
  const auto dropouts =
      c.gapAt < 0 ? decltype(gDropouts){} : decltype(gDropouts){{tone + 1200, 400}};
  EXPECT_EQ(gDropouts, dropouts);
  CloseRecording();
  Bytes data = Concat({Tone(kMono8k, tone), audio});
  if (c.overwrite) {
    virtualaudio::SetInputFaults(0, {});
    OpenRecording(path);
    SetPosition(r(), c.cutAt);
    RecordBuffers(1);
    CloseRecording();
    data = Concat({Bytes(data.begin(), data.begin() + 2 * c.cutAt), Expected(kMono8k, 0, 800)});
  } else if (c.cut > 0) {
    uint16_t error = 0xFFFF;
    OpenRecording(path);
    SetPosition(r(), c.cutAt);
    DeleteSamples(r(), int32_t(c.cut), &error);
    CompactFile(r(), &error);
    EXPECT_EQ(error, ErrNone);
    CloseRecording();
    data = Without(data, 2 * c.cutAt, 2 * (c.cutAt + c.cut));
  }
  EXPECT_EQ(DataOf(path), data);
  EXPECT_EQ(U32At(ReadAt(path, 4, 4), 0), std::filesystem::file_size(path) - 8);
  const int64_t frames = data.size() / 2;
  const std::string info = test::RunCommand("sndfile-info " + test::ShellQuote(path)).output;
  EXPECT_EQ(std::regex_search(info, std::regex("Count : 1\\s+Cue ID : +1 +Pos : +" +
                                               std::to_string(c.cueAt) + " ")),
            c.cueAt >= 0)
      << info;
  EXPECT_EQ(info.find(std::string("labl : 1 : ") + c.label) != std::string::npos, c.cueAt >= 0);
  EXPECT_EQ(ReadersSee(path), Seen("RIFF", frames, frames));
}

INSTANTIATE_TEST_SUITE_P(
    Marks, MarkTest,
    ::testing::Values(MarkCase{"Gap", 0.0f, 1200, -1, 1200, "dropout 50 ms"},
                      MarkCase{"GapAfterStartTone", 0.1f, 1200, -1, 2000, "dropout 50 ms"},
                      MarkCase{"DeviceLost", 0.0f, -1, 2000, 2000, "device lost"},
                      MarkCase{"GapBehindACut", 0.0f, 1200, -1, 800, "dropout 50 ms", 400, 400},
                      MarkCase{"GapInACut", 0.0f, 1200, -1, -1, "dropout 50 ms", 1000, 400},
                      MarkCase{"OverwriteIntoTheCues", 0.0f, 1200, -1, 1200, "dropout 50 ms", 1620,
                               0, true}),
    [](const auto& info) { return std::string(info.param.name); });

// 0: the device refuses to open; k: the k-th buffer cannot be prepared.  Record reports 9 once
// the engine has tried (a limit not yet reached lets it try), and the recorder stays open for
// another attempt; the engine cleared the last run's stop reason, silence and meter on the way.
class FailedStartTest : public CaptureTest, public ::testing::WithParamInterface<int> {};

TEST_P(FailedStartTest, ReportsNineAndLeavesNothingOpenOrOnDisk) {
  Open(kMono8k, File("rec.wav"));
  r().insertMode = 1;  // the splice file is made before the device is opened
  virtualaudio::SetInputFaults(0, {.refuseOpen = GetParam() == 0, .failPrepareAt = GetParam()});
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
  EXPECT_EQ(FilesInDir(), 1u);  // rec.wav alone
  virtualaudio::SetInputFaults(0, virtualaudio::Faults{});
  r().maxLengthSamples = 0;
  RecordBuffers(1);  // still usable
  EXPECT_EQ(DataOf(File("rec.wav")), Expected(kMono8k, 0, 800));
}

INSTANTIATE_TEST_SUITE_P(Faults, FailedStartTest, ::testing::Values(0, 1, 10));

}  // namespace
}  // namespace voxl
