// The engine thread: the stage machine and its command protocol, the end of the thread when the
// recorder is destroyed or its engine told to quit; Close from every state and the host side of
// the transport (Record, Play and the errors they report).
#include <gtest/gtest.h>

#include <vector>

#include "engine/engine_fixture.h"
#include "wavefile/recording_file.h"

namespace voxl {
namespace {

using namespace testing;

class EngineTest : public RecorderTest {
 protected:
  // Posts command `code` and returns the stage the engine is in once it has handled it.
  uint16_t After(WPARAM code) {
    EXPECT_NE(PostThreadMessageA(r().threadId, kEngineCommandMessage, code, 1), FALSE);
    EXPECT_TRUE(Barrier(r()));
    return r().engineStage;
  }
  uint16_t CloseTarget() {
    uint16_t error = 0xFFFF;
    EXPECT_EQ(Close(r(), &error), 0u);
    return error;
  }
  // Opens a stream target (no file): state 2.
  void OpenTarget() {
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
};

// A command in a stage that does not take it is consumed with no effect at all: a run start
// would clear stopReason, reset the meter and count the run; a playback stop would set stopPhase.
// Stops move a running stage to Draining; the handshake and unknown codes make any stage idle.
TEST_F(EngineTest, CommandsMoveOnlyTheStagesThatTakeThem) {
  const std::pair<EngineStage, std::vector<EngineCommand>> ignored[] = {
      {Idle, {CmdStopRecord, CmdStopPlay, CmdPause}},
      {Capturing, {CmdRecord, CmdPlay, CmdStopPlay, CmdPause}},
      {Draining, {CmdRecord, CmdPlay, CmdStopRecord, CmdPause}},
      {Playing, {CmdRecord, CmdPlay, CmdStopRecord}},
      {CaptureFailed, {CmdRecord, CmdPlay, CmdStopRecord}},
      {PlaybackFailed, {CmdPlay, CmdStopPlay}}};
  for (const auto& [stage, commands] : ignored) {
    for (const EngineCommand command : commands) {
      SCOPED_TRACE(::testing::Message() << "stage " << stage << " command " << command);
      ASSERT_TRUE(DriveStage(r(), stage));
      r().stopReason = ErrPlaybackRead, r().levelLeft = -3.0f, r().stopPhase = 7;
      const uint32_t runs = r().runsStarted;
      EXPECT_EQ(After(command), stage);
      EXPECT_EQ(std::tuple(r().stopReason.load(), r().levelLeft.load(), r().stopPhase.load(),
                           r().runsStarted.load()),
                std::tuple(uint16_t{ErrPlaybackRead}, -3.0f, 7u, runs));
    }
  }
  const std::tuple<EngineStage, WPARAM, EngineStage> moves[] = {
      {Capturing, CmdStopRecord, Draining},
      {Playing, CmdStopPlay, Draining},
      {Capturing, CmdHandshake, Idle},
      {Capturing, 7, Idle},
      {Playing, 0x10000, Idle}};
  for (const auto& [stage, code, expected] : moves) {
    ASSERT_TRUE(DriveStage(r(), stage));
    EXPECT_EQ(After(code), expected) << "code " << code;
  }
}

// Quit ends the thread in every stage, and destroying a recorder whose engine has quit must not
// wait for it.  Destroying a recorder while it records stops the run and ends its engine thread.
TEST(EngineLifetime, QuitOrDestructionEndsTheThread) {
  for (const EngineStage stage : {NotRunning, QueueReady, Idle, CaptureFailed, Capturing, Draining,
                                  PlaybackFailed, Playing}) {
    virtualaudio::Reset();
    RecorderPtr r = MakeRecorder();
    const DWORD engine = r->threadId;
    ASSERT_TRUE(DriveStage(*r, stage));
    ASSERT_TRUE(PostEngineCommand(*r, CmdQuit));
    EXPECT_TRUE(WaitFor([&] { return r->engineStage == NotRunning; })) << stage;
    EXPECT_TRUE(ThreadEnded(engine)) << stage;
  }
  virtualaudio::Reset();  // destroying a recording recorder stops the run and ends its thread
  RecorderPtr r = MakeRecorder();
  uint16_t error = 0;
  NewRecording(*r, nullptr, &error);
  Record(*r, &error);
  ASSERT_EQ(r->state, StateRecording);
  ASSERT_EQ(virtualaudio::CompleteInputBuffers(0, 2), 2u);
  const DWORD engine = r->threadId;
  r.reset();
  EXPECT_FALSE(virtualaudio::InputOpen(0));
  EXPECT_TRUE(ThreadEnded(engine));
}

// Destruction then posts nothing and does not wait for a thread that never ran.
TEST(EngineLifetime, EngineThatCannotStartLeavesARecorderThatReportsNoEngine) {
  SetEngineStartFailsForTesting(true);
  RecorderPtr r = MakeRecorder();
  SetEngineStartFailsForTesting(false);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(std::tuple(r->threadHandle.load(), r->engineStage.load()),
            std::tuple(kNoThread, uint16_t{NotRunning}));
  uint16_t error = 0;
  EXPECT_EQ(Close(*r, &error), 0u);
  EXPECT_EQ(std::tuple(error, r->lastError.load(), r->state.load()),
            std::tuple(uint16_t{ErrNoEngine}, uint16_t{ErrNoEngine}, uint16_t{StateCreated}));
}

// The first Close resets the meter, a second only repeats the format check (and reports a capture
// format the input refuses).  (Close of a temporary file deletes it: OpenFileTest.Compaction...)
TEST_F(EngineTest, CloseFromEachStateEndsIdle) {
  r().levelLeft = -3.0f, r().clipRight = 1;
  EXPECT_EQ(CloseTarget(), ErrNone);
  EXPECT_EQ(std::tuple(r().state.load(), r().levelLeft.load(), r().clipRight.load()),
            std::tuple(uint16_t{StateIdle}, kNoLevel, 0u));
  r().levelLeft = -3.0f;
  virtualaudio::SetInputFaults(0, {.refuseFormat = true});
  EXPECT_EQ(CloseTarget(), ErrCaptureFormatRefused);
  EXPECT_EQ(std::tuple(r().state.load(), r().levelLeft.load(), TakeLastError(r())),
            std::tuple(uint16_t{StateIdle}, -3.0f, uint16_t{ErrCaptureFormatRefused}));
  EXPECT_EQ(TakeLastError(r()), ErrNone);
  virtualaudio::SetInputFaults(0, {});
}

// Record and Play refuse before they reach the engine: the code is reported and stored, and
// nothing changes (the silence detector is not cleared, no run is counted).
TEST_F(EngineTest, RefusalsReportTheirCodeAndChangeNothing) {
  const struct {
    uint16_t state, readOnly;
    uint32_t limit, recorded;
    bool play;
    uint16_t expected;
  } cases[] = {{StateIdle, 0, 0, 0, false, ErrNeedsOpen},
               {StateRecording, 0, 0, 0, false, ErrNeedsOpen},
               {StateIdle, 1, 0, 0, false, ErrReadOnly},
               {StateOpen, 1, 0, 0, false, ErrReadOnly},
               {StateOpen, 0, 100, 100, false, ErrLengthLimit},
               {StateIdle, 0, 0, 0, true, ErrNeedsOpen},
               {StatePlaying, 0, 0, 0, true, ErrNeedsOpen},
               {StateOpen, 0, 0, 0, true, ErrNoFile}};
  for (const auto& c : cases) {
    SCOPED_TRACE(&c - cases);
    if (c.state == StateOpen) OpenTarget();
    r().state = c.state, r().readOnly = c.readOnly, r().silent = 1;
    r().maxLengthSamples = c.limit, r().recordedLength = c.recorded;
    const uint32_t runs = r().runsStarted;
    EXPECT_EQ(Run(c.play), c.expected);
    EXPECT_EQ(std::tuple(r().lastError.load(), r().state.load(), r().silent.load()),
              std::tuple(c.expected, c.state, uint16_t{1}));
    ASSERT_TRUE(Barrier(r()));
    EXPECT_EQ(std::pair(r().runsStarted.load(), r().engineStage.load()),
              std::pair(runs, uint16_t{Idle}));  // nothing was posted
    r().readOnly = 0;
    if (r().state != StateOpen) r().state = StateIdle;  // no run is behind the states set here
  }
}

// The device turns buffers round as fast as the engine hands them back and the limit is one
// buffer away, so the run may be over before Record looks at the engine.
TEST_F(EngineTest, RunThatEndsAtOnceLeavesTheRecorderStoppedAndUsable) {
  virtualaudio::SetClock(virtualaudio::Clock::FreeRunning);
  for (int run = 0; run < 5; ++run) {
    OpenTarget();
    r().maxLengthSamples = 1;
    EXPECT_EQ(Run(false), ErrNone);
    ASSERT_TRUE(WaitFor([&] { return r().state == StateOpen && r().engineStage == Idle; }));
    EXPECT_EQ(r().stopReason, ErrLengthLimit);
    Pump();
  }
}

}  // namespace
}  // namespace voxl
