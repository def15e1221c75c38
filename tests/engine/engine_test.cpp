// The engine thread: the stage machine and its command protocol, and the end of the thread when
// the recorder is destroyed or its engine told to quit.
#include <gtest/gtest.h>

#include <vector>

#include "api/recorder_methods.h"
#include "engine/engine_fixture.h"
#include "wavefile/recording_file.h"

namespace voxl {
namespace {

using namespace testing;

class EngineTest : public RecorderTest {
 protected:
  // No test leaves a real run behind; make sure Close does not wait for one.
  void TearDown() override {
    if (r_) r_->state = StateIdle;
  }
  // Posts `command` and returns the stage the engine is in once it has handled it.
  uint16_t After(EngineCommand command) {
    EXPECT_TRUE(PostEngineCommand(*r_, command, 1));
    EXPECT_TRUE(Barrier(*r_));
    return r_->engineStage;
  }
};

// A command in a stage that does not take it is consumed with no effect at all: a run start
// would clear stopReason, reset the meter and count the run; a playback stop would set stopPhase.
TEST_F(EngineTest, CommandsAStageDoesNotTakeChangeNothing) {
  Recorder& r = *r_;
  const std::pair<EngineStage, std::vector<EngineCommand>> table[] = {
      {Idle, {CmdStopRecord, CmdStopPlay, CmdPause}},
      {Capturing, {CmdRecord, CmdPlay, CmdStopPlay, CmdPause}},
      {Draining, {CmdRecord, CmdPlay, CmdStopRecord, CmdPause}},
      {Playing, {CmdRecord, CmdPlay, CmdStopRecord}},
      {CaptureFailed, {CmdRecord, CmdPlay, CmdStopRecord}},
      {PlaybackFailed, {CmdPlay, CmdStopPlay}}};
  for (const auto& [stage, commands] : table) {
    for (const EngineCommand command : commands) {
      SCOPED_TRACE(::testing::Message() << "stage " << stage << " command " << command);
      ASSERT_TRUE(DriveStage(r, stage));
      r.stopReason = ErrPlaybackRead;
      r.levelLeft = -3.0f;
      r.stopPhase = 7;
      const uint32_t runs = r.runsStarted;
      EXPECT_EQ(After(command), stage);
      EXPECT_EQ(std::tuple(r.stopReason.load(), r.levelLeft.load(), r.stopPhase.load()),
                std::tuple(uint16_t{ErrPlaybackRead}, -3.0f, 7u));
      EXPECT_EQ(r.runsStarted, runs);
    }
  }
}

// Stops move a running stage to Draining; the handshake and unknown codes make any stage idle.
TEST_F(EngineTest, StopsDrainAndHandshakeOrUnknownCodesMakeAnyStageIdle) {
  Recorder& r = *r_;
  ASSERT_TRUE(DriveStage(r, Capturing));
  EXPECT_EQ(After(CmdStopRecord), Draining);
  ASSERT_TRUE(DriveStage(r, Playing));
  EXPECT_EQ(After(CmdStopPlay), Draining);
  for (const WPARAM code : {WPARAM{CmdHandshake}, WPARAM{7}, WPARAM{0x10000}}) {
    ASSERT_TRUE(DriveStage(r, Capturing));
    ASSERT_NE(PostThreadMessageA(r.threadId, kEngineCommandMessage, code, 0), FALSE);
    ASSERT_TRUE(Barrier(r));
    EXPECT_EQ(r.engineStage, Idle) << "code " << code;
  }
}

// Quit ends the thread in every stage, and destroying a recorder whose engine has quit must not
// wait for it.
TEST(EngineLifetime, QuitEndsTheThreadInEveryStage) {
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
}

TEST(EngineLifetime, DestroyingARecordingRecorderStopsTheRunAndEndsItsEngineThread) {
  virtualaudio::Reset();
  RecorderPtr r = MakeRecorder();
  uint16_t error = 0;
  Close(*r, &error);
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

}  // namespace
}  // namespace voxl
