// Insert-mode runs: the audio collected during the run goes into the recording where the run
// began, the rest of the data moves up, and no splice file stays behind.
#include <sys/resource.h>

#include <csignal>
#include <filesystem>

#include "api/recorder_methods.h"
#include "engine/capture_fixture.h"

namespace voxl {
namespace {

using namespace testing;

class SpliceTest : public CaptureTest {
 protected:
  void InsertAt(int32_t frame, double frequency) {
    kRecorderMethods.SetPosition(ToHost(&r()), frame);
    ASSERT_EQ(r().position, frame);
    r().insertMode = 1;
    UseSignal(frequency);
  }
  static Bytes Slice(const Bytes& b, size_t from, size_t to) {
    return Bytes(b.begin() + long(from), b.begin() + long(to));
  }
  bool NoSpliceFileLeft() const {
    for (const auto& entry : std::filesystem::directory_iterator(dir()))
      if (entry.path().filename().string().rfind("VOX", 0) == 0) return false;
    return true;
  }
};

// Two seconds at the start of ten push the old data back; at the very end the audio is appended.
TEST_F(SpliceTest, InsertAtTheStartOrTheEndKeepsAllTheOldData) {
  struct {
    size_t before, inserted;
    int32_t at;
  } const cases[] = {{100, 20, 0}, {5, 3, 4000}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.at);
    const std::string path = File("at" + std::to_string(c.at) + ".wav");
    UseSignal(440.0);
    r().insertMode = 0;
    Open(kMono8k, path);
    RecordBuffers(c.before);
    const Bytes old = Expected(kMono8k, 0, c.before * 800);
    InsertAt(c.at, 1250.0);
    RecordBuffers(c.inserted);
    const size_t cut = size_t(c.at) * 2;
    EXPECT_EQ(DataOf(path), Concat({Slice(old, 0, cut), Expected(kMono8k, 0, c.inserted * 800),
                                    Slice(old, cut, old.size())}));
    EXPECT_EQ(r().length, (c.before + c.inserted) * 800);
    EXPECT_EQ(r().position, c.at + int32_t(c.inserted * 800));
    EXPECT_TRUE(NoSpliceFileLeft());
  }
}

// 1 s of 44100 Hz stereo; inserting at frame 1000 moves a 172400-byte tail, three pieces of at
// most 64 KiB, last piece first.  Marker tones go in with the audio they frame.
TEST_F(SpliceTest, ATailLongerThanTheSpliceBufferMovesIntact) {
  const CaptureFormat f{16, 2, 44100};
  Open(f, File("long.wav"));
  RecordBuffers(10);
  const Bytes old = DataOf(File("long.wav"));
  InsertAt(1000, 2000.0);
  r().startToneSeconds = r().endToneSeconds = 0.25f;  // 11025 frames
  RecordBuffers(3);
  const Bytes tone = Tone(f, 11025);
  EXPECT_EQ(DataOf(File("long.wav")), Concat({Slice(old, 0, 4000), tone, Expected(f, 0, 13230),
                                              tone, Slice(old, 4000, old.size())}));
  EXPECT_EQ(r().recordedLength, 44100u + 13230);
}

TEST_F(SpliceTest, AnInsertThatStoredNothingChangesNothing) {
  Open(kMono8k, File("same.wav"));
  RecordBuffers(2);
  const Bytes before = test::ReadBinaryFile(File("same.wav"));
  InsertAt(800, 300.0);
  SetPaused(r(), 1);
  RecordBuffers(2);
  EXPECT_EQ(test::ReadBinaryFile(File("same.wav")), before);
  EXPECT_TRUE(NoSpliceFileLeft());
}

// Files may not grow past 1000 bytes more than the recording: the run collects its audio, but the
// recording cannot make room for it.  Nothing may have moved then.
TEST_F(SpliceTest, WhenTheFileCannotGrowTheRecordingStaysAsItWas) {
  Open(kMono8k, File("tight.wav"));
  RecordBuffers(5);
  const Bytes before = DataOf(File("tight.wav"));
  InsertAt(800, 300.0);
  rlimit previous{};
  getrlimit(RLIMIT_FSIZE, &previous);
  const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
  rlimit tight = previous;
  tight.rlim_cur = 46 + 8000 + 1000;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &tight), 0);
  RecordBuffers(2);
  setrlimit(RLIMIT_FSIZE, &previous);
  std::signal(SIGXFSZ, previousHandler);
  EXPECT_EQ(gRunEnds, (std::vector<DWORD>{0, ErrCaptureWrite}));
  EXPECT_EQ(r().length, 4000u);
  EXPECT_EQ(r().position, 800);
  CloseRecording();
  EXPECT_EQ(DataOf(File("tight.wav")), before);
  EXPECT_TRUE(NoSpliceFileLeft());
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
