// The engine thread: start handshake, stage machine and command protocol, and the end of the
// thread when the recorder is destroyed.
#include <gtest/gtest.h>

#include <tuple>

#include "api/helper_window.h"
#include "api/recorder_methods.h"
#include "engine/engine_fixture.h"
#include "wavefile/recording_file.h"

namespace voxl {
namespace {

using testing::Barrier;
using testing::DriveStage;
using testing::MakeRecorder;
using testing::RecorderPtr;
using testing::ThreadEnded;
using testing::WaitFor;

class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    virtualaudio::Reset();
    r_ = MakeRecorder();
    ASSERT_NE(r_, nullptr);
  }
  void TearDown() override {
    // No test leaves a real run behind; make sure Close does not wait for one.
    if (r_) r_->state = StateIdle;
  }
  RecorderPtr r_;
};

TEST_F(EngineTest, FreshRecorderHasItsDefaultsAndAnIdleEngine) {
  Recorder& r = *r_;
  EXPECT_EQ(r.methods, &kRecorderMethods);
  EXPECT_EQ(reinterpret_cast<void*>(ToHost(&r)), reinterpret_cast<void*>(&r.methods));
  EXPECT_EQ(r.state, StateCreated);
  EXPECT_EQ(r.sampleRate, 44100u);
  EXPECT_EQ(r.sampleFormat, 16);
  EXPECT_EQ(r.channels, 2);
  EXPECT_EQ(r.inputDevice, -1);
  EXPECT_EQ(r.outputDevice, -1);
  EXPECT_EQ(r.meterSegments, 8);
  EXPECT_EQ(r.meterBackColor, 0x8000000Fu);
  EXPECT_EQ(r.meterHighColor, 0x000000FFu);
  ASSERT_NE(r.helperWindow, nullptr);
  EXPECT_EQ(r.notifyWindow.load(), r.helperWindow->handle());

  // Handshake: the engine runs on a thread of its own, idle, with a queue that takes posts.
  EXPECT_EQ(r.engineStage, Idle);
  EXPECT_NE(r.threadHandle, 0u);
  EXPECT_NE(r.threadHandle, kNoThread);
  EXPECT_NE(r.threadId, 0u);
  EXPECT_NE(r.threadId, GetCurrentThreadId());
  // The second handshake may still be queued behind the first; after it the engine stays idle.
  ASSERT_TRUE(Barrier(r));
  EXPECT_EQ(r.engineStage, Idle);
}

TEST(EngineLifetime, DestroyingTheRecorderEndsItsEngineThread) {
  RecorderPtr r = MakeRecorder();
  ASSERT_NE(r, nullptr);
  const DWORD engine = r->threadId;
  ASSERT_NE(PostThreadMessageA(engine, WM_NULL, 0, 0), FALSE);
  r.reset();
  EXPECT_TRUE(ThreadEnded(engine));
}

TEST(EngineLifetime, DestroyingARecordingRecorderStopsTheRunAndEndsTheThread) {
  virtualaudio::Reset();
  RecorderPtr r = MakeRecorder();
  ASSERT_NE(r, nullptr);
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
  EXPECT_EQ(r->state, StateCreated);  // nothing else happens
  // Destruction posts nothing and does not wait for a thread that never ran.
}

// A command in a stage that does not take it is consumed with no effect at all.
class DroppedCommandTest
    : public EngineTest,
      public ::testing::WithParamInterface<std::tuple<EngineStage, EngineCommand>> {};

TEST_P(DroppedCommandTest, LeavesStageAndFieldsAlone) {
  const auto [stage, command] = GetParam();
  Recorder& r = *r_;
  ASSERT_TRUE(DriveStage(r, stage));
  // Marks that a taken command would change: a run start clears stopReason, resets the meter
  // and counts the run; a playback stop sets stopPhase to 1.
  r.stopReason = ErrPlaybackRead;
  r.levelLeft = -3.0f;
  r.stopPhase = 7;
  const uint32_t runs = r.runsStarted;

  ASSERT_TRUE(PostEngineCommand(r, command, 1));
  ASSERT_TRUE(Barrier(r));
  EXPECT_EQ(r.engineStage, stage);
  EXPECT_EQ(r.stopReason, ErrPlaybackRead);
  EXPECT_EQ(r.levelLeft, -3.0f);
  EXPECT_EQ(r.stopPhase, 7u);
  EXPECT_EQ(r.runsStarted, runs);
}

INSTANTIATE_TEST_SUITE_P(
    Stages, DroppedCommandTest,
    ::testing::Values(std::tuple(Idle, CmdStopRecord), std::tuple(Idle, CmdStopPlay),
                      std::tuple(Idle, CmdPause), std::tuple(Capturing, CmdRecord),
                      std::tuple(Capturing, CmdPlay), std::tuple(Capturing, CmdStopPlay),
                      std::tuple(Capturing, CmdPause), std::tuple(Draining, CmdRecord),
                      std::tuple(Draining, CmdPlay), std::tuple(Draining, CmdStopRecord),
                      std::tuple(Draining, CmdPause), std::tuple(Playing, CmdRecord),
                      std::tuple(Playing, CmdPlay), std::tuple(Playing, CmdStopRecord),
                      std::tuple(CaptureFailed, CmdRecord), std::tuple(CaptureFailed, CmdPlay),
                      std::tuple(CaptureFailed, CmdStopRecord), std::tuple(PlaybackFailed, CmdPlay),
                      std::tuple(PlaybackFailed, CmdStopPlay)));

TEST_F(EngineTest, StopCommandsMoveARunningStageToDraining) {
  Recorder& r = *r_;
  ASSERT_TRUE(DriveStage(r, Capturing));
  ASSERT_TRUE(PostEngineCommand(r, CmdStopRecord));
  ASSERT_TRUE(Barrier(r));
  EXPECT_EQ(r.engineStage, Draining);

  ASSERT_TRUE(DriveStage(r, Playing));
  ASSERT_TRUE(PostEngineCommand(r, CmdStopPlay));
  ASSERT_TRUE(Barrier(r));
  EXPECT_EQ(r.engineStage, Draining);
  EXPECT_EQ(r.stopPhase, 1u);

  // Playback already draining by itself: the stop is taken again.
  r.stopPhase = 2;
  ASSERT_TRUE(PostEngineCommand(r, CmdStopPlay));
  ASSERT_TRUE(Barrier(r));
  EXPECT_EQ(r.engineStage, Draining);
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

TEST_P(QuitTest, QuitEndsTheThreadInEveryStage) {
  virtualaudio::Reset();
  RecorderPtr r = MakeRecorder();
  ASSERT_NE(r, nullptr);
  const DWORD engine = r->threadId;
  ASSERT_TRUE(DriveStage(*r, GetParam()));
  ASSERT_TRUE(PostEngineCommand(*r, CmdQuit));
  EXPECT_TRUE(WaitFor([&] { return r->engineStage == NotRunning; }));
  EXPECT_TRUE(ThreadEnded(engine));
  // Destroying a recorder whose engine has quit already must not wait for it.
}

INSTANTIATE_TEST_SUITE_P(AllStages, QuitTest,
                         ::testing::Values(NotRunning, QueueReady, Idle, CaptureFailed, Capturing,
                                           Draining, PlaybackFailed, Playing));

}  // namespace
}  // namespace voxl
