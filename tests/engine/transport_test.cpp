// Close from every state and the host side of the transport: Record, Play, Stop and the errors
// they report.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "api/recorder_methods.h"
#include "engine/engine_fixture.h"
#include "wavefile/recording_file.h"

namespace voxl {
namespace {

using testing::Barrier;

class TransportTest : public testing::RecorderTest {
 protected:
  uint16_t CloseTarget() {
    uint16_t error = 0xFFFF;
    EXPECT_EQ(Close(r(), &error), 0u);
    return error;
  }
  // Opens a stream target (no file), or a temporary file: state 2.
  void OpenTarget(bool file = false) {
    ASSERT_EQ(CloseTarget(), ErrNone);
    uint16_t error = 0xFFFF;
    if (file) {
      NewTempRecording(r(), &error);
    } else {
      NewRecording(r(), nullptr, &error);
    }
    ASSERT_EQ(error, ErrNone);
    ASSERT_EQ(r().state, StateOpen);
  }
  // Runs Record or Play (which always return 0) and returns the error it reported.
  uint16_t Run(bool play) {
    uint16_t error = 0xFFFF;
    EXPECT_EQ(play ? Play(r(), &error) : Record(r(), &error), 0u);
    return error;
  }
  uint16_t TakeLastError() {
    WORD code = 0xFFFF;
    kRecorderMethods.TakeLastError(ToHost(r_.get()), &code);
    return code;
  }
};

// The first Close resets the meter, a second only repeats the format check (and reports a capture
// format the input refuses); Close of a temporary file goes back to idle and deletes it.
TEST_F(TransportTest, CloseFromEachStateEndsIdle) {
  r().levelLeft = -3.0f;
  r().clipRight = 1;
  EXPECT_EQ(CloseTarget(), ErrNone);
  EXPECT_EQ(std::tuple(r().state.load(), r().levelLeft.load(), r().clipRight.load()),
            std::tuple(uint16_t{StateIdle}, kNoLevel, 0u));
  r().levelLeft = -3.0f;
  virtualaudio::SetInputFaults(0, {.refuseFormat = true});
  EXPECT_EQ(CloseTarget(), ErrCaptureFormatRefused);
  EXPECT_EQ(std::tuple(r().state.load(), r().levelLeft.load()),
            std::tuple(uint16_t{StateIdle}, -3.0f));
  EXPECT_EQ(TakeLastError(), ErrCaptureFormatRefused);
  EXPECT_EQ(TakeLastError(), ErrNone);
  virtualaudio::SetInputFaults(0, {});

  OpenTarget(true);
  const std::string name = r().fileName;
  ASSERT_EQ(access(name.c_str(), F_OK), 0);
  r().length = 5;
  r().position = 3;
  EXPECT_EQ(CloseTarget(), ErrNone);
  EXPECT_EQ(std::tuple(r().state.load(), r().fileHandle, r().fileName[0], r().length.load(),
                       r().position.load()),
            std::tuple(uint16_t{StateIdle}, HMMIO{}, '\0', 0u, 0));
  EXPECT_NE(access(name.c_str(), F_OK), 0);
}

// Record and Play refuse before they reach the engine: the code is reported and stored, and
// nothing changes (the silence detector is not cleared, no run is counted).
TEST_F(TransportTest, RefusalsReportTheirCodeAndChangeNothing) {
  const struct {
    const char* name;
    uint16_t state, readOnly;
    uint32_t limit, recorded;
    bool play;
    uint16_t expected;
  } cases[] = {{"RecordIdle", StateIdle, 0, 0, 0, false, ErrNeedsOpen},
               {"RecordRecording", StateRecording, 0, 0, 0, false, ErrNeedsOpen},
               {"RecordReadOnlyFirst", StateIdle, 1, 0, 0, false, ErrReadOnly},
               {"RecordReadOnly", StateOpen, 1, 0, 0, false, ErrReadOnly},
               {"RecordAtLimit", StateOpen, 0, 100, 100, false, ErrLengthLimit},
               {"PlayIdle", StateIdle, 0, 0, 0, true, ErrNeedsOpen},
               {"PlayPlaying", StatePlaying, 0, 0, 0, true, ErrNeedsOpen},
               {"PlayStreamTarget", StateOpen, 0, 0, 0, true, ErrNoFile}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.state == StateOpen) OpenTarget();
    r().state = c.state;
    r().readOnly = c.readOnly;
    r().maxLengthSamples = c.limit;
    r().recordedLength = c.recorded;
    r().silent = 1;
    const uint32_t runs = r().runsStarted;
    EXPECT_EQ(Run(c.play), c.expected);
    EXPECT_EQ(std::tuple(r().lastError.load(), r().state.load(), r().silent.load()),
              std::tuple(c.expected, c.state, uint16_t{1}));
    ASSERT_TRUE(Barrier(r()));
    EXPECT_EQ(r().runsStarted, runs);  // nothing was posted
    EXPECT_EQ(r().engineStage, Idle);
    r().readOnly = 0;
    if (r().state != StateOpen) r().state = StateIdle;  // no run is behind the states set here
  }
}

// The device turns buffers round as fast as the engine hands them back and the limit is one
// buffer away, so the run may be over before Record looks at the engine.
TEST_F(TransportTest, RunThatEndsAtOnceLeavesTheRecorderStoppedAndUsable) {
  virtualaudio::SetClock(virtualaudio::Clock::FreeRunning);
  for (int run = 0; run < 5; ++run) {
    OpenTarget();
    r().maxLengthSamples = 1;
    EXPECT_EQ(Run(false), ErrNone);
    ASSERT_TRUE(
        testing::WaitFor([&] { return r().state == StateOpen && r().engineStage == Idle; }));
    EXPECT_EQ(r().stopReason, ErrLengthLimit);
    testing::Pump();
  }
}

}  // namespace
}  // namespace voxl
