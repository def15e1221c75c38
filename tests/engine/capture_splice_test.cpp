// Insert-mode runs: the audio collected during the run goes into the recording where the run
// began, the rest of the data moves up, and no splice file stays behind.  When a disk fills up or
// fails, the recording keeps either its old content or the whole of what the run collected.
#include <cstring>
#include <filesystem>

#include "engine/capture_fixture.h"

namespace voxl {
namespace {

using namespace testing;

class SpliceTest : public CaptureTest {
 protected:
  // Splice files go into a folder of their own, so faults can hit it or the recording's alone.
  void SetUp() override {
    CaptureTest::SetUp();
    std::filesystem::create_directory(temp_);
    setenv("TMPDIR", temp_.c_str(), 1);
  }
  void InsertAt(int32_t frame, double frequency) {
    SetPosition(r(), frame);
    ASSERT_EQ(r().position, frame);
    r().insertMode = 1;
    UseSignal(frequency);
  }
  bool NoSpliceFileLeft() const { return std::filesystem::is_empty(temp_); }
  const std::string temp_ = File("tmp");
  // Old audio that does not repeat within 80000 frames, so any misplaced piece shows.
  static constexpr double kUnrepeated = 441.7;
};

// 1 s of 44100 Hz stereo; inserting at frame 1000 moves a 172400-byte tail, three pieces of at
// most 64 KiB, last piece first.  Marker tones go in with the audio they frame.  An insert that
// stored nothing (paused throughout) changes nothing.  (Inserts at the start are in
// capture_peer_test.cpp and below.)
TEST_F(SpliceTest, ATailLongerThanTheSpliceBufferMovesIntact) {
  const CaptureFormat f{16, 2, 44100};
  Open(f, File("long.wav"));
  RecordBuffers(10);
  const Bytes old = DataOf(File("long.wav"));
  InsertAt(1000, 2000.0);
  r().startToneSeconds = r().endToneSeconds = 0.25f;  // 11025 frames
  RecordBuffers(3);
  const Bytes tone = Tone(f, 11025);
  const Bytes inserted = Concat(
      {Slice(old, 0, 4000), tone, Expected(f, 0, 13230), tone, Slice(old, 4000, old.size())});
  EXPECT_EQ(DataOf(File("long.wav")), inserted);
  EXPECT_EQ(r().recordedLength, 44100u + 13230);
  EXPECT_EQ(r().position, 1000 + 11025 + 13230 + 11025);
  // At the very end there is no tail: the audio is appended.
  InsertAt(int32_t(r().length), 700.0);
  r().startToneSeconds = r().endToneSeconds = 0.0f;
  RecordBuffers(1);
  EXPECT_EQ(DataOf(File("long.wav")), Concat({inserted, Expected(f, 0, 4410)}));
  EXPECT_EQ(r().length, inserted.size() / 4 + 4410);
  EXPECT_TRUE(NoSpliceFileLeft());
  const Bytes before = test::ReadBinaryFile(File("long.wav"));
  InsertAt(800, 300.0);
  SetPaused(r(), 1);
  RecordBuffers(2);
  EXPECT_EQ(test::ReadBinaryFile(File("long.wav")), before);
  EXPECT_TRUE(NoSpliceFileLeft());

  // A chunk behind the data moves up with the tail and stays inside the form.
  CloseRecording();
  const Bytes list = {'L', 'I', 'S', 'T', 4, 0, 0, 0, 'I', 'N', 'F', 'O'};
  Bytes file = test::ReadBinaryFile(File("long.wav"));
  file.insert(file.end(), list.begin(), list.end());
  const uint32_t form = test::U32At(file, 4) + uint32_t(list.size());
  std::memcpy(file.data() + 4, &form, 4);
  ASSERT_TRUE(test::WriteBinaryFile(File("long.wav"), file.data(), file.size()));
  OpenRecording(File("long.wav"));
  InsertAt(0, 300.0);
  SetPaused(r(), 0);
  RecordBuffers(1);
  CloseRecording();
  file = test::ReadBinaryFile(File("long.wav"));
  EXPECT_EQ(test::U32At(file, 4) + 8, file.size());
  EXPECT_EQ(Bytes(file.end() - long(list.size()), file.end()), list);
}

// The temporary folder and the recording's folder, each full or failing at every write of an
// insert in turn (the splice moves a 70400-byte tail in two pieces, one longer and one shorter
// than the 6400 inserted bytes).  A full temporary folder keeps what was collected before it,
// never a copy of the recording's own frames; any other fault leaves the recording byte for byte
// as it was, with no part of a failed growth behind the data, or (a failed write of the splice
// record, or of sizes that are written again) harms nothing.  The run reports 8 whenever audio was
// lost.
TEST_F(SpliceTest, AnInsertMeetingAFullOrFailingDiskAtAnyWriteKeepsTheRecordingWhole) {
  int file = 0;
  for (const std::string& folder : {temp_, dir().string()})
    for (const auto kind : {system::IoFailure::DiskFull, system::IoFailure::ShortWrite})
      for (uint32_t n = 0;; ++n) {
        SCOPED_TRACE(folder + " kind " + std::to_string(int(kind)) + " write " + std::to_string(n));
        ASSERT_LT(n, 20u);
        const std::string path = File(std::to_string(++file) + ".wav");
        UseSignal(kUnrepeated), r().insertMode = 0, gRunEnds.clear();
        Open(kMono8k, path);
        RecordBuffers(45);
        const Bytes before = test::ReadBinaryFile(path), old = DataOf(path);
        InsertAt(800, 1250.0);
        system::ArmIoFault({system::IoCall::Write, n, kind, 0, folder});
        StartRecording();  // a failed write ends the run, maybe before all 4 buffers came
        virtualaudio::CompleteInputBuffers(WAVE_MAPPER, 4);
        StopRecording();
        const bool struck = system::DisarmIoFault();
        const uint32_t inserted = r().length - 36000;
        if (folder == temp_ || !struck) {
          EXPECT_EQ(inserted, !struck ? 3200 : n * 800);
        } else {
          EXPECT_TRUE(inserted == 0 || inserted == 3200) << inserted;
        }
        EXPECT_EQ(r().position, int32_t(800 + inserted));
        EXPECT_EQ(gRunEnds, (std::vector<DWORD>{0, inserted < 3200 ? DWORD(ErrCaptureWrite) : 0u}));
        CloseRecording();
        if (inserted == 0) {
          EXPECT_EQ(test::ReadBinaryFile(path), before);
        }
        EXPECT_EQ(DataOf(path), Concat({Slice(old, 0, 1600), Expected(kMono8k, 0, inserted),
                                        Slice(old, 1600, old.size())}));
        EXPECT_TRUE(NoSpliceFileLeft());
        if (!struck) break;
      }
}

// A host that does not pump between two runs has not yet had the first run's sizes written when
// the second begins: the insert must still move that run's audio, not overwrite it.
TEST_F(SpliceTest, InsertRightAfterAnUnfinishedRunKeepsThatRunsAudio) {
  Open(kMono8k, File("quick.wav"));
  StartRecording();
  Complete(2);
  Stop(r());  // notification 1 stays queued
  const Bytes first = Expected(kMono8k, 0, 1600);
  InsertAt(0, 700.0);
  StartRecording();
  ASSERT_EQ(virtualaudio::CompleteInputBuffers(WAVE_MAPPER, 1), 1u);
  ASSERT_TRUE(Barrier(r()));
  StopRecording();
  EXPECT_EQ(DataOf(File("quick.wav")), Concat({Expected(kMono8k, 0, 800), first}));
  EXPECT_EQ(gRunEnds, (std::vector<DWORD>{0, 0}));
}

}  // namespace
}  // namespace voxl
