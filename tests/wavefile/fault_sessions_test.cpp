// Scripted sessions with a file fault at every step in turn.  Each session runs once clean,
// counting its file operations of each kind, then once more for every call k of a kind with that
// call failing.  After each run the recording opens, holds everything acknowledged before the
// fault, and the host was given an error code whenever something was lost.
#include <algorithm>
#include <array>
#include <filesystem>

#include "api/recorder_methods.h"
#include "engine/capture_fixture.h"
#include "wavefile/open_file.h"

namespace voxl {
namespace {

using namespace testing;
using system::IoCall;
using system::IoFailure;

struct FaultKind {
  const char* name;
  IoCall call;
  IoFailure failure;
};
const FaultKind kFaultKinds[] = {
    {"ReadFails", IoCall::Read, IoFailure::Fail},
    {"WriteFails", IoCall::Write, IoFailure::Fail},
    {"ShortWrite", IoCall::Write, IoFailure::ShortWrite},
    {"DiskFull", IoCall::Write, IoFailure::DiskFull},
    {"SeekFails", IoCall::Seek, IoFailure::Fail},
    {"RenameFails", IoCall::Rename, IoFailure::Fail},
    {"CreateFails", IoCall::Create, IoFailure::Fail},
};

class FaultSessionTest;
struct Session {
  const char* name;
  void (FaultSessionTest::*run)();
  // Checks the reopened recording; `stepsDone`: steps that ended before the faulted call.
  void (FaultSessionTest::*check)(size_t stepsDone);
};

class FaultSessionTest : public CaptureTest,
                         public ::testing::WithParamInterface<std::tuple<Session, FaultKind>> {
 protected:
  static constexpr uint32_t kOld = 2400;  // frames of the recording that sessions b and c open
  using Counts = std::array<uint64_t, system::kIoCallKinds>;

  void SetUp() override {
    CaptureTest::SetUp();
    UseSignal(441.7);  // does not repeat within the file, so a misplaced piece shows
    Open(kMono8k, path_);
    RecordBuffers(3);
    CloseRecording();
    before_ = test::ReadBinaryFile(path_);
    old_ = DataOf(path_);
    ASSERT_EQ(old_.size(), kOld * 2);
  }

  // A new recorder, with nothing noted yet.
  void Renew() {
    CaptureTest::Renew();
    errors_.clear(), marks_.clear();
  }
  // A new recorder, and the folder as SetUp left it.
  void Restore() {
    Renew();
    for (const auto& entry : std::filesystem::directory_iterator(dir()))
      std::filesystem::remove(entry.path());
    test::WriteBinaryFile(path_, before_.data(), before_.size());
  }
  // Keeps `error` when it is one; with `step`, what came before is acknowledged (Mark).
  uint16_t Note(uint16_t error, bool step = true) {
    if (error != ErrNone) errors_.push_back(error);
    if (step) Mark();
    return error;
  }
  // Ends a step of the session: what it did is acknowledged from here on.
  void Mark() {
    marks_.emplace_back();
    for (int kind = 0; kind < system::kIoCallKinds; ++kind)
      marks_.back()[size_t(kind)] = system::IoCalls(IoCall(kind));
  }
  uint16_t OpenPath(bool readOnly) {
    uint16_t error = 0xFFFF;
    r().readOnly = readOnly, r().fileKind = 0;
    Named(path_, [&](BSTR name) { OpenFile(r(), name, &error); });
    return error;
  }
  // Records `buffers` device buffers of a tone at `frequency` (a step each), then stops and
  // closes (a step each).  That ends the session: the fault is lifted and whether the host was
  // given an error is kept.
  void RecordAndClose(double frequency, size_t buffers) {
    uint16_t error = 0;
    if (buffers > 0) UseSignal(frequency), Record(r(), &error), Note(error, false);
    for (size_t b = 0; b < buffers; ++b) {
      virtualaudio::CompleteInputBuffers(WAVE_MAPPER, 1);  // fewer once a failure ended the run
      EXPECT_TRUE(Barrier(r()));
      Pump();
      Mark();
    }
    Stop(r());
    Pump();
    Mark();
    Close(r(), &error);
    Pump();
    Note(error);
    struck_ = system::DisarmIoFault();
    errorSeen_ = !errors_.empty() ||
                 std::any_of(gRunEnds.begin(), gRunEnds.end(), [](DWORD c) { return c != 0; });
  }
  // Opens the recording again (read-only) and returns its data as the recorder sees it; nullopt
  // when there is no file.  The folder holds nothing else: no temporary file stays behind.
  std::optional<Bytes> Reopen() {
    Renew();
    for (const auto& entry : std::filesystem::directory_iterator(dir()))
      EXPECT_EQ(entry.path(), path_) << "left behind";
    const uint16_t error = OpenPath(true);
    if (error == ErrReadOnly) return std::nullopt;  // missing
    EXPECT_EQ(error, ErrNone);
    const Bytes file = test::ReadBinaryFile(path_);
    const size_t at = r().dataChunk.dwDataOffset, size = size_t(r().length) * 2;
    return error != ErrNone || at + size > file.size() ? Bytes{} : Slice(file, at, at + size);
  }

 public:
  // a. A new PCM file, three buffers, close.  Steps: created, each buffer, stopped, closed.
  void RecordNew() {
    std::filesystem::remove(path_);
    uint16_t error = 0;
    r().sampleFormat = 16, r().channels = 1, r().sampleRate = 8000;
    Named(path_, [&](BSTR name) { NewRecording(r(), name, &error); });
    Note(error);
    RecordAndClose(440.0, 3);
  }
  void CheckRecordNew(size_t stepsDone) {
    const auto data = Reopen();
    const uint32_t acknowledged = 800 * uint32_t(std::clamp<size_t>(stepsDone, 1, 4) - 1);
    EXPECT_TRUE(data || (stepsDone == 0 && errorSeen_)) << stepsDone;
    if (!data) return;
    const uint32_t frames = r().length;
    EXPECT_EQ(*data, Expected(kMono8k, 0, frames));
    EXPECT_TRUE(frames >= acknowledged && (frames >= 2400 || errorSeen_)) << frames;
  }

  // b. Open the recording, insert two buffers at frame 800, close.  Steps: opened, each buffer
  // collected, spliced (stopped), closed.
  void Insert() {
    Note(OpenPath(false));
    kRecorderMethods.SetPosition(ToHost(&r()), 800);
    r().insertMode = 1;
    RecordAndClose(1250.0, 2);
  }
  // The recording keeps its old audio with what the run collected inserted whole, or part of it
  // when the splice file filled up (reported); never a part of the old audio lost.
  void CheckInsert(size_t stepsDone) {
    const auto data = Reopen();
    ASSERT_TRUE(data.has_value());
    const auto inserted = uint32_t(r().length - std::min<uint64_t>(r().length.load(), kOld));
    EXPECT_EQ(*data, Concat({Slice(old_, 0, 1600), Expected(kMono8k, 0, inserted),
                             Slice(old_, 1600, old_.size())}));
    EXPECT_TRUE((inserted >= 1600 || errorSeen_) && (stepsDone < 4 || inserted == 1600))
        << inserted;
  }

  // c. Open the recording, cut 800 frames at frame 800, compact, close.  Steps: opened, cut,
  // compacted, closed.
  void CutAndCompact() {
    opened_ = Note(OpenPath(false)) == ErrNone;
    uint16_t error = 0;
    kRecorderMethods.SetPosition(ToHost(&r()), 800);
    kRecorderMethods.DeleteSamples(ToHost(&r()), 800, &error);
    cutReported_ = Note(error) == ErrNone;
    const Bytes beforeCompaction = test::ReadBinaryFile(path_);
    kRecorderMethods.CompactFile(ToHost(&r()), &error);
    compactError_ = Note(error);
    compactKept_ = test::ReadBinaryFile(path_) == beforeCompaction;
    RecordAndClose(0, 0);
  }
  void CheckCutAndCompact(size_t /*stepsDone*/) {
    // A failed compaction reports 12 and leaves the file as it was; a failed reopen reports its
    // own code after the file was replaced.
    EXPECT_TRUE(compactError_ != ErrVolumeControl || compactKept_);
    EXPECT_TRUE(compactError_ == ErrNone || compactError_ == ErrVolumeControl ||
                compactError_ == ErrFileOpen || compactError_ == ErrNotRiffWave || !opened_)
        << compactError_;
    const auto data = Reopen();
    ASSERT_TRUE(data.has_value());
    const Bytes head = Slice(old_, 0, 1600), rest = Slice(old_, 3200, old_.size());
    if (cutReported_) {
      EXPECT_EQ(*data, Concat({head, rest}));
    } else {  // a failed cut may leave part of the tail moved, but keeps everything outside it
      ASSERT_GE(data->size(), 1600u);
      EXPECT_TRUE(errorSeen_);
      EXPECT_EQ(Slice(*data, 0, 1600), head);
      EXPECT_NE(std::search(data->begin() + 1600, data->end(), rest.begin(), rest.end()),
                data->end());
    }
    if (compactError_ == ErrNone && cutReported_) {
      EXPECT_EQ(test::ReadBinaryFile(path_).size(), r().dataChunk.dwDataOffset + data->size());
    }
  }

 protected:
  const std::string path_ = File("take.wav");
  Bytes before_, old_;
  std::vector<uint16_t> errors_;
  std::vector<Counts> marks_;
  bool struck_ = false, errorSeen_ = false, opened_ = false, cutReported_ = false,
       compactKept_ = false;
  uint16_t compactError_ = 0;
};

TEST_P(FaultSessionTest, EveryStepFailingInTurnKeepsWhatWasAcknowledged) {
  const auto& [session, fault] = GetParam();
  Restore();
  system::CountIoCalls();
  (this->*session.run)();
  const std::vector<Counts> clean = marks_;
  const uint64_t calls = clean.empty() ? 0 : clean.back()[size_t(fault.call)];
  {
    SCOPED_TRACE("clean");
    EXPECT_FALSE(errorSeen_);
    (this->*session.check)(clean.size());
  }
  for (uint64_t k = 0; k < calls && !HasFailure(); ++k) {
    SCOPED_TRACE(std::string(fault.name) + " at call " + std::to_string(k) + " of " +
                 std::to_string(calls));
    Restore();
    system::ArmIoFault({fault.call, k, fault.failure, 0, {}});
    (this->*session.run)();
    // The session made the same calls as when it ran clean (a full disk strikes only writes
    // that need new space).
    EXPECT_TRUE(struck_ || fault.failure == IoFailure::DiskFull);
    const size_t stepsDone = size_t(std::count_if(
        clean.begin(), clean.end(), [&](const Counts& c) { return c[size_t(fault.call)] <= k; }));
    (this->*session.check)(stepsDone);
  }
}

const Session kSessions[] = {
    {"RecordNew", &FaultSessionTest::RecordNew, &FaultSessionTest::CheckRecordNew},
    {"Insert", &FaultSessionTest::Insert, &FaultSessionTest::CheckInsert},
    {"CutAndCompact", &FaultSessionTest::CutAndCompact, &FaultSessionTest::CheckCutAndCompact},
};

INSTANTIATE_TEST_SUITE_P(Sessions, FaultSessionTest,
                         ::testing::Combine(::testing::ValuesIn(kSessions),
                                            ::testing::ValuesIn(kFaultKinds)),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param).name) + "_" +
                                  std::get<1>(info.param).name;
                         });

}  // namespace
}  // namespace voxl
