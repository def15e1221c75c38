// Insert-mode runs: the audio collected during the run is spliced into the recording where the
// run began, the rest of the data moves up, and the splice file goes away.
#include <filesystem>

#include "api/recorder_methods.h"
#include "engine/capture_fixture.h"

namespace voxl {
namespace {

using testing::Bytes;
using testing::CaptureFormat;
using testing::CaptureTest;

constexpr CaptureFormat kMono8k16{16, 1, 8000};

class SpliceTest : public CaptureTest {
 protected:
  // Records `buffers` device buffers of the current signal in a new run.
  void RecordBuffers(size_t buffers) {
    StartRecording();
    Complete(buffers);
    StopRecording();
  }
  void UseSignal(double frequency) {
    signal_.frequency[0] = signal_.frequency[1] = frequency;
    virtualaudio::SetInputSignal(0, signal_);
  }
  void InsertAt(int32_t frame) {
    kRecorderMethods.SetPosition(ToHost(&r()), frame);
    ASSERT_EQ(r().position, frame);
    r().insertMode = 1;
  }
  static Bytes Slice(const Bytes& b, size_t from, size_t to) {
    return Bytes(b.begin() + long(from), b.begin() + long(to));
  }
  bool NoSpliceFileLeft() const {
    for (const auto& entry : std::filesystem::directory_iterator(dir())) {
      if (entry.path().filename().string().rfind("VOX", 0) == 0) return false;
    }
    return true;
  }
};

TEST_F(SpliceTest, TwoSecondsInsertedAtTheStartPushTheOldDataBack) {
  SpliceFilesInTestDir();
  const std::string path = File("ten.wav");
  Open(kMono8k16, path);
  RecordBuffers(100);  // 10 s
  const Bytes old = Expected(kMono8k16, 0, 80000);
  ASSERT_EQ(DataOf(path), old);

  UseSignal(1250.0);
  InsertAt(0);
  RecordBuffers(20);  // 2 s = 32000 bytes
  const Bytes inserted = Expected(kMono8k16, 0, 16000);
  EXPECT_EQ(DataOf(path), Concat({inserted, old}));
  EXPECT_EQ(r().length, 96000u);
  EXPECT_EQ(r().position, 16000);
  EXPECT_TRUE(NoSpliceFileLeft());
}

TEST_F(SpliceTest, InsertingAtTheEndAppends) {
  SpliceFilesInTestDir();
  const std::string path = File("end.wav");
  Open(kMono8k16, path);
  RecordBuffers(5);
  const Bytes old = Expected(kMono8k16, 0, 4000);
  UseSignal(300.0);
  InsertAt(4000);
  RecordBuffers(3);
  EXPECT_EQ(DataOf(path), Concat({old, Expected(kMono8k16, 0, 2400)}));
  EXPECT_EQ(r().length, 6400u);
  EXPECT_TRUE(NoSpliceFileLeft());
}

TEST_F(SpliceTest, ATailLongerThanTheSpliceBufferMovesInPiecesIntact) {
  // 1 s of 44100 Hz stereo (176400 bytes); inserting at frame 1000 moves 172400 bytes, which
  // takes three pieces of at most 64 KiB, last piece first.
  const CaptureFormat format{16, 2, 44100};
  SpliceFilesInTestDir();
  const std::string path = File("long.wav");
  Open(format, path);
  RecordBuffers(10);
  const Bytes old = DataOf(path);
  ASSERT_EQ(old.size(), 176400u);

  UseSignal(2000.0);
  InsertAt(1000);
  r().startToneSeconds = 0.25f;  // tones are inserted with the audio they frame
  r().endToneSeconds = 0.25f;
  RecordBuffers(3);
  const Bytes data = DataOf(path);
  ASSERT_EQ(data.size(), old.size() + 4 * (11025 + 3 * 4410 + 11025));
  EXPECT_EQ(Slice(data, 0, 4000), Slice(old, 0, 4000));
  EXPECT_EQ(Slice(data, 4000 + 4 * 11025, 4000 + 4 * (11025 + 13230)), Expected(format, 0, 13230));
  EXPECT_EQ(Slice(data, data.size() - 172400, data.size()), Slice(old, 4000, old.size()));
  EXPECT_EQ(r().length, 44100u + 11025 + 13230 + 11025);
  EXPECT_EQ(r().recordedLength, 44100u + 13230);
}

TEST_F(SpliceTest, AnInsertThatStoredNothingLeavesFileAndFolderAsTheyWere) {
  SpliceFilesInTestDir();
  const std::string path = File("same.wav");
  Open(kMono8k16, path);
  RecordBuffers(2);
  const Bytes before = test::ReadBinaryFile(path);
  InsertAt(800);
  SetPaused(r(), 1);
  StartRecording();
  EXPECT_NE(r().spliceFile, nullptr);
  Complete(2);
  StopRecording();
  SetPaused(r(), 0);
  EXPECT_EQ(test::ReadBinaryFile(path), before);
  EXPECT_EQ(r().spliceFile, nullptr);
  EXPECT_TRUE(NoSpliceFileLeft());
}

// A host that does not pump messages between two runs has not yet had the first run's sizes
// written when the second begins: the insert must still move the first run's audio, not
// overwrite it.
TEST_F(SpliceTest, InsertRightAfterAnUnfinishedRunKeepsThatRunsAudio) {
  SpliceFilesInTestDir();
  const std::string path = File("quick.wav");
  Open(kMono8k16, path);
  StartRecording();
  Complete(2);
  Stop(r());  // notification 1 stays queued
  ASSERT_EQ(r().dataChunk.cksize, 0u);
  UseSignal(700.0);
  r().position = 0;
  r().insertMode = 1;
  StartRecording();
  ASSERT_EQ(virtualaudio::CompleteInputBuffers(WAVE_MAPPER, 1), 1u);
  ASSERT_TRUE(testing::Barrier(r()));
  StopRecording();  // now both runs' ends reach the host
  UseSignal(700.0);
  const Bytes inserted = Expected(kMono8k16, 0, 800);
  UseSignal(440.0);
  EXPECT_EQ(DataOf(path), Concat({inserted, Expected(kMono8k16, 0, 1600)}));
  EXPECT_EQ(log_.runEndCodes, (std::vector<DWORD>{0, 0}));
}

}  // namespace
}  // namespace voxl
