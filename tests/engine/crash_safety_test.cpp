// What a recording keeps when the process dies: sizes on disk that follow every buffer of a run,
// and edits killed at any moment finished or undone by the next writable open.
// (tests/tools/voxl_record_test.cpp kills voxl record itself.)
#include <sys/stat.h>

#include <array>
#include <filesystem>

#include "engine/capture_fixture.h"
#include "wavefile/edit_journal.h"
#include "wavefile/editing.h"

namespace voxl {
namespace {

using namespace testing;
using system::IoCall;
using test::U32At;

// The sizes a RIFF/WAVE file states: form, data (and where its data starts), "fact" count.
struct Sizes {
  uint32_t form = 0, data = 0, fact = 0;
  size_t dataStart = 0;
};
Sizes SizesOf(const Bytes& file) {
  Sizes s;
  s.form = U32At(file, 4);
  for (size_t at = 12; at + 8 <= file.size(); at += 8 + ((U32At(file, at + 4) + 1) & ~1u)) {
    if (std::memcmp(&file[at], "fact", 4) == 0) s.fact = U32At(file, at + 8);
    if (std::memcmp(&file[at], "data", 4) == 0) {
      s.data = U32At(file, at + 4), s.dataStart = at + 8;
      break;
    }
  }
  return s;
}

struct SizesCase {
  const char* name;
  CaptureFormat format;
  WORD tag;  // compressed: the format tag
};

class SizesOnDiskTest : public CaptureTest, public ::testing::WithParamInterface<SizesCase> {};

// After each buffer, while the run goes on, the data size covers every byte behind the header,
// the form size follows it (pad byte of odd data counted), the "fact" count is the length, and
// libsndfile (sox at the last step) opens the file as it stands with every stored frame.  Then
// (PCM) a run overwriting inside the data keeps the sizes: they never shrink to the write position.
TEST_P(SizesOnDiskTest, FollowEveryBufferWhileTheRunGoesOn) {
  const SizesCase& c = GetParam();
  if (c.tag != 0) UseTargetFormat(c.tag, c.format);
  const std::string path = File("live.wav");
  Open(c.format, path);
  StartRecording();
  for (int buffer = 1; buffer <= 3; ++buffer) {
    SCOPED_TRACE(buffer);
    Complete(1);
    const Bytes file = test::ReadBinaryFile(path);
    const Sizes s = SizesOf(file);
    ASSERT_GT(s.dataStart, 0u);
    EXPECT_EQ(s.data, file.size() - s.dataStart);
    EXPECT_EQ(s.form, s.dataStart + s.data + (s.data & 1) - 8);
    EXPECT_EQ(s.fact, c.tag != 0 ? r().length.load() : 0u);  // PCM has no "fact" chunk
    const auto wave = test::ReadWithSndfile(path);
    ASSERT_TRUE(wave);
    EXPECT_EQ(wave->frames, r().length);
  }
  const auto info = test::SoxInfo(path);
  ASSERT_TRUE(info);
  EXPECT_EQ(info->frames, r().length);
  StopRecording();
  if (c.tag != 0) return;
  const Sizes before = SizesOf(test::ReadBinaryFile(path));
  SetPosition(r(), 0);
  StartRecording();
  Complete(1);
  const Sizes after = SizesOf(test::ReadBinaryFile(path));
  EXPECT_EQ(std::tuple(after.form, after.data), std::tuple(before.form, before.data));
  StopRecording();
}

INSTANTIATE_TEST_SUITE_P(
    Formats, SizesOnDiskTest,
    ::testing::Values(SizesCase{"Pcm16Mono8000", kMono8k, 0},
                      SizesCase{"Pcm8Mono22050", {8, 1, 22050}, 0},  // odd data sizes
                      SizesCase{"ImaAdpcmMono8000", {100, 1, 8000}, 0x11}),
    [](const auto& info) { return std::string(info.param.name); });

// The files of the test's folder other than the recording (journals, temporary copies), except
// empty temporary files: a kill in the instant between creating one and naming it in the journal
// leaves it.
std::vector<std::string> Leftovers(const std::string& folder, const std::string& recording) {
  std::vector<std::string> out;
  for (const auto& e : std::filesystem::directory_iterator(folder)) {
    const std::string name = e.path().filename().string();
    if (e.path() == recording || (name.rfind("VOX", 0) == 0 && e.file_size() == 0)) continue;
    out.push_back(name + " " + std::to_string(e.file_size()));
  }
  return out;
}

enum class Edit { Cut, Insert, Compact };

class KillPointTest : public CaptureTest, public ::testing::WithParamInterface<Edit> {
 protected:
  // 45 buffers: the tail of the edits below takes two pieces to move.
  void SetUp() override {
    CaptureTest::SetUp();
    UseSignal(441.7);  // does not repeat within the file, so a misplaced piece shows
    Open(kMono8k, path_);
    RecordBuffers(45);
    if (GetParam() == Edit::Compact) Cut();  // leaves an old tail to compact away
    CloseRecording();
    old_ = test::ReadBinaryFile(path_);
  }
  void Cut() {
    uint16_t error = 0;
    SetPosition(r(), 1000);
    DeleteSamples(r(), 3000, &error);
  }
  // The edit, as a host runs it; with the process stopped part-way every call fails somewhere.
  void RunEdit() {
    uint16_t error = 0;
    Named(path_, [&](BSTR name) { OpenFile(r(), name, &error); });
    if (error != ErrNone) return;
    if (GetParam() == Edit::Cut) Cut();
    if (GetParam() == Edit::Compact) CompactFile(r(), &error);
    if (GetParam() == Edit::Insert) {
      r().insertMode = 1;
      SetPosition(r(), 1000);
      Record(r(), &error);
      if (error == ErrNone) virtualaudio::CompleteInputBuffers(WAVE_MAPPER, 2);
      Barrier(r());
      Stop(r());
      Pump();
      r().insertMode = 0;
    }
    Close(r(), &error);
  }
  const std::string path_ = File("take.wav");
  Bytes old_;
};

// A process killed at any write of a cut, an insert or a compaction (from the struck write on
// every file operation fails, deletes too): the next writable open leaves exactly the old
// recording or exactly the edited one, and nothing beside it.
TEST_P(KillPointTest, TheNextOpenLeavesTheOldOrTheNewRecordingAndNothingElse) {
  system::CountIoCalls();
  RunEdit();
  const uint64_t writes = system::IoCalls(IoCall::Write);
  system::DisarmIoFault();
  const Bytes edited = test::ReadBinaryFile(path_);
  ASSERT_NE(edited, old_);
  ASSERT_EQ(Leftovers(dir(), path_), std::vector<std::string>{});
  for (uint64_t k = 0; k < writes; ++k) {
    SCOPED_TRACE(k);
    ASSERT_TRUE(test::WriteBinaryFile(path_, old_.data(), old_.size()));
    system::ArmIoFault({IoCall::Write, k, system::IoFailure::Stop, 0, {}});
    RunEdit();
    system::DisarmIoFault();
    OpenRecording(path_);
    CloseRecording();
    const Bytes after = test::ReadBinaryFile(path_);
    EXPECT_TRUE(after == old_ || after == edited) << after.size() << " bytes";
    EXPECT_EQ(Leftovers(dir(), path_), std::vector<std::string>{});
  }
}

INSTANTIATE_TEST_SUITE_P(
    Edits, KillPointTest, ::testing::Values(Edit::Cut, Edit::Insert, Edit::Compact),
    [](const auto& info) {
      return std::string(std::array{"Cut", "Insert", "Compact"}[int(info.param)]);
    });

// Journals that do not describe the recording as it is, and names that are no regular file:
// the open neither hangs nor touches anything but the journal, which goes when it is a file.
TEST_F(CaptureTest, HostileJournalsAndTargetsTouchNothing) {
  const std::string path = File("take.wav"), journal = path + ".voxl-splice";
  Open(kMono8k, path);
  RecordBuffers(3);
  CloseRecording();
  const Bytes before = test::ReadBinaryFile(path);
  // A journal of a cut in progress, as a kill leaves it.
  Bytes killed;
  {
    HMMIO h = mmioOpenA(const_cast<LPSTR>(path.c_str()), nullptr, MMIO_READWRITE);
    EditJournal j;
    JournalRecord move;
    move.step = JournalStep::Down, move.from = 1600, move.to = 1000, move.count = 3000;
    move.endBytes = before.size(), move.headerBytes = 46;
    ASSERT_TRUE(j.Begin(path.c_str(), h, move));
    killed = test::ReadBinaryFile(journal);
    mmioClose(h, 0);  // the journal object goes without removing its file: a kill
  }
  const std::string text(killed.begin(), killed.end());
  std::filesystem::create_directory(File("elsewhere"));
  const std::string foreign = File("elsewhere/VOXBEEF.tmp");
  ASSERT_TRUE(test::WriteBinaryFile(foreign, "x", 1));
  auto edited = [&](const std::string& from, const std::string& to) {
    std::string t = text;
    t.replace(t.find(from), from.size(), to);
    return t;
  };
  struct Case {
    const char* name;
    std::string journal;  // empty: a FIFO
    bool grown;           // the recording is longer than the journal says
  };
  const Case cases[] = {
      {"OtherSize", text, true},
      {"TwentyNines", edited("move 0", "move 9"), false},
      {"TempNamesAPath", edited("temp -----------", "temp ../VOXBEEF.t"), false},
      {"TempElsewhere",
       edited("step d", "step c").replace(text.find("temp "), 16, "temp VOXBEEF.tmp"), false},
      {"OldRecordOfLengthZero", "voxl splice\n00000000000000000000\n" + foreign + "\n", false},
      {"Fifo", "", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes file = before;
    if (c.grown) file.resize(file.size() + 100, 0x55);
    ASSERT_TRUE(test::WriteBinaryFile(path, file.data(), file.size()));
    if (c.journal.empty()) {
      ASSERT_EQ(mkfifo(journal.c_str(), 0600), 0);
    } else {
      ASSERT_TRUE(test::WriteBinaryFile(journal, c.journal.data(), c.journal.size()));
    }
    OpenRecording(path);
    CloseRecording();
    EXPECT_EQ(test::ReadBinaryFile(path), file);
    EXPECT_TRUE(std::filesystem::exists(foreign));
    EXPECT_EQ(std::filesystem::exists(journal), c.journal.empty());  // a FIFO is not ours
    std::filesystem::remove(journal);
  }

  // Targets that are no regular file are refused before anything is written; a second writer
  // is refused while the first holds the recording; reading still works.
  ASSERT_EQ(mkfifo(File("fifo").c_str(), 0600), 0);
  for (const std::string& target : {std::string("/dev/null"), File("fifo"), File("elsewhere")}) {
    SCOPED_TRACE(target);
    uint16_t error = 0;
    Named(target, [&](BSTR name) { NewRecording(r(), name, &error); });
    EXPECT_EQ(error, ErrNotAFile);
    Named(target, [&](BSTR name) { OpenFile(r(), name, &error); });
    EXPECT_EQ(error, ErrNotAFile);
  }
  EXPECT_TRUE(std::filesystem::is_character_file("/dev/null"));
  EXPECT_TRUE(std::filesystem::is_fifo(File("fifo")));
  OpenRecording(path);
  RecorderPtr second = MakeRecorder();
  uint16_t error = 0;
  Named(path, [&](BSTR name) { OpenFile(*second, name, &error); });
  EXPECT_EQ(error, ErrFileInUse);
  Named(path, [&](BSTR name) { NewRecording(*second, name, &error); });
  EXPECT_EQ(error, ErrFileInUse);
  second->readOnly = 1;
  Named(path, [&](BSTR name) { OpenFile(*second, name, &error); });
  EXPECT_EQ(error, ErrNone);
  Close(*second, &error);
  CloseRecording();
  EXPECT_EQ(test::ReadBinaryFile(path), before);
}

}  // namespace
}  // namespace voxl
