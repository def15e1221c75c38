// The engine thread: start handshake, stage machine and command protocol, and the end of the
// thread when the recorder is destroyed.
#include <gtest/gtest.h>

#include <tuple>
#include <vector>

#include "api/helper_window.h"
#include "api/recorder_methods.h"
#include "engine/engine_fixture.h"
#include "wavefile/recording_file.h"

namespace voxl {
namespace {

using namespace testing;

class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    virtualaudio::Reset();
    r_ = MakeRecorder();
    ASSERT_NE(r_, nullptr);
  }
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
  RecorderPtr r_;
};

TEST_F(EngineTest, FreshRecorderHasAHelperWindowAndAnIdleEngineOnAThreadOfItsOwn) {
  Recorder& r = *r_;
  EXPECT_EQ(r.methods, &kRecorderMethods);
  EXPECT_EQ(reinterpret_cast<void*>(ToHost(&r)), reinterpret_cast<void*>(&r.methods));
  EXPECT_EQ(r.state, StateCreated);
  ASSERT_NE(r.helperWindow, nullptr);
  EXPECT_EQ(r.notifyWindow.load(), r.helperWindow->handle());
  EXPECT_EQ(r.engineStage, Idle);
  EXPECT_NE(r.threadHandle, 0u);
  EXPECT_NE(r.threadHandle, kNoThread);
  EXPECT_NE(r.threadId, 0u);
  EXPECT_NE(r.threadId, GetCurrentThreadId());
  // The second handshake may still be queued behind the first; after it the engine stays idle.
  ASSERT_TRUE(Barrier(r));
  EXPECT_EQ(r.engineStage, Idle);
}

TEST(EngineLifetime, DestroyingTheRecorderStopsAnyRunAndEndsItsEngineThread) {
  for (const bool recording : {false, true}) {
    virtualaudio::Reset();
    RecorderPtr r = MakeRecorder();
    ASSERT_NE(r, nullptr);
    if (recording) {
      uint16_t error = 0;
      Close(*r, &error);
      NewRecording(*r, nullptr, &error);
      Record(*r, &error);
      ASSERT_EQ(r->state, StateRecording);
      ASSERT_EQ(virtualaudio::CompleteInputBuffers(0, 2), 2u);
    }
    const DWORD engine = r->threadId;
    ASSERT_NE(PostThreadMessageA(engine, WM_NULL, 0, 0), FALSE);
    r.reset();
    EXPECT_FALSE(virtualaudio::InputOpen(0));
    EXPECT_TRUE(ThreadEnded(engine)) << "recording " << recording;
  }
}

TEST(EngineLifetime, EngineThatCannotStartLeavesARecorderThatReportsNoEngine) {
  SetEngineStartFailsForTesting(true);
  RecorderPtr r = MakeRecorder();
  SetEngineStartFailsForTesting(false);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->threadHandle, kNoThread);
  EXPECT_EQ(r->engineStage, NotRunning);
  uint16_t error = 0;
  EXPECT_EQ(Close(*r, &error), 0u);
  EXPECT_EQ(error, ErrNoEngine);
  EXPECT_EQ(r->lastError, ErrNoEngine);
  EXPECT_EQ(r->state, StateCreated);
  // Destruction posts nothing and does not wait for a thread that never ran.
}

// A command in a stage that does not take it is consumed with no effect at all.
using StageCommand = std::tuple<EngineStage, EngineCommand>;
class DroppedCommandTest : public EngineTest, public ::testing::WithParamInterface<StageCommand> {};

TEST_P(DroppedCommandTest, LeavesStageAndFieldsAlone) {
  const auto [stage, command] = GetParam();
  Recorder& r = *r_;
  ASSERT_TRUE(DriveStage(r, stage));
  // A run start would clear stopReason, reset the meter and count the run; a playback stop
  // would set stopPhase to 1.
  r.stopReason = ErrPlaybackRead;
  r.levelLeft = -3.0f;
  r.stopPhase = 7;
  const uint32_t runs = r.runsStarted;
  EXPECT_EQ(After(command), stage);
  EXPECT_EQ(r.stopReason, ErrPlaybackRead);
  EXPECT_EQ(r.levelLeft, -3.0f);
  EXPECT_EQ(r.stopPhase, 7u);
  EXPECT_EQ(r.runsStarted, runs);
}

std::vector<StageCommand> DroppedCommands() {
  const std::pair<EngineStage, std::vector<EngineCommand>> table[] = {
      {Idle, {CmdStopRecord, CmdStopPlay, CmdPause}},
      {Capturing, {CmdRecord, CmdPlay, CmdStopPlay, CmdPause}},
      {Draining, {CmdRecord, CmdPlay, CmdStopRecord, CmdPause}},
      {Playing, {CmdRecord, CmdPlay, CmdStopRecord}},
      {CaptureFailed, {CmdRecord, CmdPlay, CmdStopRecord}},
      {PlaybackFailed, {CmdPlay, CmdStopPlay}}};
  std::vector<StageCommand> out;
  for (const auto& [stage, commands] : table)
    for (const EngineCommand c : commands) out.emplace_back(stage, c);
  return out;
}
INSTANTIATE_TEST_SUITE_P(Stages, DroppedCommandTest, ::testing::ValuesIn(DroppedCommands()));

TEST_F(EngineTest, StopCommandsMoveARunningStageToDraining) {
  Recorder& r = *r_;
  ASSERT_TRUE(DriveStage(r, Capturing));
  EXPECT_EQ(After(CmdStopRecord), Draining);
  ASSERT_TRUE(DriveStage(r, Playing));
  EXPECT_EQ(After(CmdStopPlay), Draining);
  EXPECT_EQ(r.stopPhase, 1u);
  // Playback already draining by itself: the stop is taken again.
  r.stopPhase = 2;
  EXPECT_EQ(After(CmdStopPlay), Draining);
  EXPECT_EQ(r.stopPhase, 1u);
}

TEST_F(EngineTest, HandshakeAndUnknownCodesMakeAnyStageIdle) {
  Recorder& r = *r_;
  for (const WPARAM code : {WPARAM{CmdHandshake}, WPARAM{7}, WPARAM{0x10000}}) {
    ASSERT_TRUE(DriveStage(r, Capturing));
    ASSERT_NE(PostThreadMessageA(r.threadId, kEngineCommandMessage, code, 0), FALSE);
    ASSERT_TRUE(Barrier(r));
    EXPECT_EQ(r.engineStage, Idle) << "code " << code;
  }
}

class QuitTest : public ::testing::TestWithParam<EngineStage> {};

// Destroying a recorder whose engine has quit already must not wait for it.
TEST_P(QuitTest, QuitEndsTheThreadInEveryStage) {
  virtualaudio::Reset();
  RecorderPtr r = MakeRecorder();
  ASSERT_NE(r, nullptr);
  const DWORD engine = r->threadId;
  ASSERT_TRUE(DriveStage(*r, GetParam()));
  ASSERT_TRUE(PostEngineCommand(*r, CmdQuit));
  EXPECT_TRUE(WaitFor([&] { return r->engineStage == NotRunning; }));
  EXPECT_TRUE(ThreadEnded(engine));
}

INSTANTIATE_TEST_SUITE_P(AllStages, QuitTest,
                         ::testing::Values(NotRunning, QueueReady, Idle, CaptureFailed, Capturing,
                                           Draining, PlaybackFailed, Playing));

}  // namespace
}  // namespace voxl
