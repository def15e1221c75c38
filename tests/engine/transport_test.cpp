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

class TransportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    virtualaudio::Reset();
    r_ = testing::MakeRecorder();
    ASSERT_NE(r_, nullptr);
  }
  uint16_t CloseTarget() {
    uint16_t error = 0xFFFF;
    EXPECT_EQ(Close(r(), &error), 0u);
    return error;
  }
  // Opens a stream target (no file): state 2.
  void OpenStream() {
    ASSERT_EQ(CloseTarget(), ErrNone);
    uint16_t error = 0xFFFF;
    NewRecording(r(), nullptr, &error);
    ASSERT_EQ(error, ErrNone);
    ASSERT_EQ(r().state, StateOpen);
  }
  // Runs Record or Play (which always return 0) and returns the error it reported.
  uint16_t Run(bool play) {
    uint16_t error = 0xFFFF;
    EXPECT_EQ(play ? Play(r(), &error) : Record(r(), &error), 0u);
    return error;
  }
  static virtualaudio::Faults RefuseOpen() {
    virtualaudio::Faults faults;
    faults.refuseOpen = true;
    return faults;
  }
  uint16_t TakeLastError() {
    WORD code = 0xFFFF;
    kRecorderMethods.TakeLastError(ToHost(r_.get()), &code);
    return code;
  }
  Recorder& r() { return *r_; }
  testing::RecorderPtr r_;
};

// The first Close resets the meter, a second only repeats the format check; Close of an open
// target goes back to idle and deletes a temporary file.
TEST_F(TransportTest, CloseFromEachStateEndsIdle) {
  r().levelLeft = -3.0f;
  r().clipRight = 1;
  EXPECT_EQ(CloseTarget(), ErrNone);
  EXPECT_EQ(r().state, StateIdle);
  EXPECT_EQ(r().levelLeft, kNoLevel);
  EXPECT_EQ(r().levelRight, kNoLevel);
  EXPECT_EQ(r().clipRight, 0u);
  r().levelLeft = -3.0f;
  EXPECT_EQ(CloseTarget(), ErrNone);
  EXPECT_EQ(r().state, StateIdle);
  EXPECT_EQ(r().levelLeft, -3.0f);

  OpenStream();
  EXPECT_EQ(CloseTarget(), ErrNone);
  EXPECT_EQ(r().state, StateIdle);

  uint16_t error = 0xFFFF;
  NewTempRecording(r(), &error);
  ASSERT_EQ(error, ErrNone);
  const std::string name = r().fileName;
  ASSERT_EQ(access(name.c_str(), F_OK), 0);
  r().length = 5;
  r().position = 3;
  EXPECT_EQ(CloseTarget(), ErrNone);
  EXPECT_EQ(r().state, StateIdle);
  EXPECT_EQ(r().fileHandle, nullptr);
  EXPECT_EQ(r().fileName[0], '\0');
  EXPECT_EQ(r().length, 0u);
  EXPECT_EQ(r().position, 0);
  EXPECT_NE(access(name.c_str(), F_OK), 0);
}

TEST_F(TransportTest, CloseReportsACaptureFormatTheInputRefuses) {
  virtualaudio::Faults faults;
  faults.refuseFormat = true;
  virtualaudio::SetInputFaults(0, faults);
  for (int attempt = 0; attempt < 2; ++attempt) {  // from state 0, then from state 1
    EXPECT_EQ(CloseTarget(), ErrCaptureFormatRefused);
    EXPECT_EQ(r().state, StateIdle);
  }
  EXPECT_EQ(TakeLastError(), ErrCaptureFormatRefused);
  EXPECT_EQ(TakeLastError(), ErrNone);
  virtualaudio::SetInputFaults(0, virtualaudio::Faults{});
  EXPECT_EQ(CloseTarget(), ErrNone);
}

// Record and Play refuse before they reach the engine.
struct Refusal {
  const char* name;
  uint16_t state, readOnly;
  uint32_t limit, recorded;
  bool play;
  uint16_t expected;
};

class RefusalTest : public TransportTest, public ::testing::WithParamInterface<Refusal> {};

TEST_P(RefusalTest, ReportsItsCodeAndChangesNothing) {
  const Refusal& c = GetParam();
  if (c.state == StateOpen) OpenStream();
  r().state = c.state;
  r().readOnly = c.readOnly;
  r().maxLengthSamples = c.limit;
  r().recordedLength = c.recorded;
  r().silent = 1;
  const uint32_t runs = r().runsStarted;
  EXPECT_EQ(Run(c.play), c.expected);
  EXPECT_EQ(r().lastError, c.expected);
  EXPECT_EQ(r().state, c.state);
  EXPECT_EQ(r().silent, 1);  // refused before the silence detector is cleared
  ASSERT_TRUE(Barrier(r()));
  EXPECT_EQ(r().runsStarted, runs);  // nothing was posted
  EXPECT_EQ(r().engineStage, Idle);
  r().state = StateIdle;  // no run is behind the states set here
}

INSTANTIATE_TEST_SUITE_P(
    Transport, RefusalTest,
    ::testing::Values(Refusal{"RecordIdle", StateIdle, 0, 0, 0, false, ErrNeedsOpen},
                      Refusal{"RecordRecording", StateRecording, 0, 0, 0, false, ErrNeedsOpen},
                      Refusal{"RecordReadOnlyFirst", StateIdle, 1, 0, 0, false, ErrReadOnly},
                      Refusal{"RecordReadOnly", StateOpen, 1, 0, 0, false, ErrReadOnly},
                      Refusal{"RecordAtLimit", StateOpen, 0, 100, 100, false, ErrLengthLimit},
                      Refusal{"PlayIdle", StateIdle, 0, 0, 0, true, ErrNeedsOpen},
                      Refusal{"PlayPlaying", StatePlaying, 0, 0, 0, true, ErrNeedsOpen},
                      Refusal{"PlayStreamTarget", StateOpen, 0, 0, 0, true, ErrNoFile}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(TransportTest, RecordThatCannotStartReportsNineAndCanBeRetried) {
  OpenStream();
  r().maxLengthSamples = 100;
  r().recordedLength = 99;  // the limit is still open
  r().silent = 1;
  r().silenceCountdown = 4;
  r().stopReason = ErrCaptureWrite;
  virtualaudio::SetInputFaults(0, RefuseOpen());
  for (uint32_t attempt = 1; attempt <= 2; ++attempt) {
    EXPECT_EQ(Run(false), ErrCaptureStart);
    EXPECT_EQ(r().engineStage, Idle);  // put back for the next attempt
    EXPECT_EQ(r().state, StateOpen);
    EXPECT_EQ(r().runsStarted, attempt);
  }
  EXPECT_EQ(r().silent, 0);
  EXPECT_EQ(r().silenceCountdown, 0);
  EXPECT_EQ(r().stopReason, ErrNone);  // cleared, and the meter reset, when the engine took it
  EXPECT_EQ(r().levelLeft, -100.0f);
  EXPECT_EQ(TakeLastError(), ErrCaptureStart);
  EXPECT_EQ(TakeLastError(), ErrNone);

  // Once the device opens, the engine starts the run and sets state 3 itself; Stop returns when
  // the engine has drained the buffers and set state 2.
  virtualaudio::SetInputFaults(0, virtualaudio::Faults{});
  EXPECT_EQ(Run(false), ErrNone);
  EXPECT_EQ(r().state, StateRecording);
  EXPECT_EQ(r().engineStage, Capturing);
  EXPECT_EQ(Stop(r()), 0u);
  EXPECT_EQ(r().state, StateOpen);
  EXPECT_EQ(r().engineStage, Idle);
  EXPECT_FALSE(virtualaudio::InputOpen(0));
}

// The device turns buffers round as fast as the engine hands them back and the limit is one
// buffer away, so the run may be over before Record looks at the engine.
TEST_F(TransportTest, RunThatEndsAtOnceLeavesTheRecorderStoppedAndUsable) {
  virtualaudio::SetClock(virtualaudio::Clock::FreeRunning);
  for (int run = 0; run < 5; ++run) {
    OpenStream();
    r().maxLengthSamples = 1;
    EXPECT_EQ(Run(false), ErrNone);
    ASSERT_TRUE(
        testing::WaitFor([&] { return r().state == StateOpen && r().engineStage == Idle; }));
    EXPECT_EQ(r().stopReason, ErrLengthLimit);
    testing::Pump();
  }
}

TEST_F(TransportTest, PlayThatCannotStartReportsTen) {
  CloseTarget();
  uint16_t error = 0xFFFF;
  NewTempRecording(r(), &error);
  ASSERT_EQ(error, ErrNone);
  virtualaudio::SetOutputFaults(0, RefuseOpen());
  EXPECT_EQ(Run(true), ErrPlaybackStart);
  EXPECT_EQ(r().engineStage, Idle);
  EXPECT_EQ(r().state, StateOpen);
  EXPECT_EQ(TakeLastError(), ErrPlaybackStart);
  EXPECT_EQ(TakeLastError(), ErrNone);
}

TEST_F(TransportTest, StopOutsideARunReturnsAtOnce) {
  const uint32_t runs = r().runsStarted;
  Stop(r());  // state 0
  OpenStream();
  EXPECT_EQ(Stop(r()), 0u);
  EXPECT_EQ(r().state, StateOpen);
  ASSERT_TRUE(Barrier(r()));
  EXPECT_EQ(r().engineStage, Idle);
  EXPECT_EQ(r().runsStarted, runs);
}

}  // namespace
}  // namespace voxl
