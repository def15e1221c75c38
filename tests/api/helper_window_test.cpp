// The helper window: notifications become host callbacks on the creating thread, and module
// unload tears down a recorder that is still alive.
#include "api/helper_window.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "api/module.h"
#include "engine/engine_fixture.h"
#include "platform/messages/messages.h"
#include "voxl310k.h"

namespace voxl {
namespace {

using testing::MakeRecorder;
using testing::Pump;
using testing::RecorderPtr;

// What the callbacks saw, in order.  They run on the test thread only.
struct Event {
  std::string what;
  DWORD thread;
  std::vector<double> values;
};
std::vector<Event> gEvents;
void* gBlockFormat = nullptr;
void* gBlockData = nullptr;

void Note(const char* what, std::vector<double> values = {}) {
  gEvents.push_back({what, GetCurrentThreadId(), std::move(values)});
}

const RecorderCallbacks kAllCallbacks{
    [](DWORD code) { Note("capture", {double(code & 0xFFFF)}); },
    [](DWORD code) { Note("playback", {double(code & 0xFFFF)}); },
    [] { Note("reserved"); },
    [](FLOAT left, DWORD clipLeft, FLOAT right, DWORD clipRight) {
      Note("levels", {left, double(clipLeft), right, double(clipRight)});
    },
    [](void* format, DWORD formatSize, void* data, DWORD dataLength) {
      gBlockFormat = format;
      gBlockData = data;
      Note("block", {double(formatSize), double(dataLength)});
    },
    [] { Note("notify"); }};

CapturedBlock* MakeBlock(uint32_t formatSize, uint32_t dataLength) {
  auto* block = static_cast<CapturedBlock*>(std::malloc(sizeof(CapturedBlock)));
  *block = {std::calloc(1, formatSize), formatSize, std::calloc(1, dataLength), dataLength, 0};
  return block;
}

class HelperWindowTest : public testing::RecorderTest {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(RecorderTest::SetUp());
    ASSERT_NE(r_->helperWindow, nullptr);
    window_ = r_->helperWindow->handle();
    SetCallbacks(*r_, kAllCallbacks);
    Pump();
    gEvents.clear();
  }
  void Post(WPARAM code, LPARAM argument = 0) {
    ASSERT_NE(PostMessageA(window_, kNotifyMessage, code, argument), FALSE);
  }
  HWND window_ = nullptr;
};

// Codes 1, 2, 3, 5 and 6 reach their slots on the creating thread, only while it dispatches; 0,
// 7 and larger call nothing, and the reserved slot is never called.  A capture that ended also
// finishes the file (silence is reset).  Levels are read when dispatched, with clip flags from
// the hold counters.
TEST_F(HelperWindowTest, CallbacksRunOnTheCreatingThreadOnlyWhileItDispatches) {
  r_->stopReason = ErrLengthLimit;
  r_->silent = 1;
  std::thread poster([&] {  // as the engine posts
    for (const WPARAM code : {1, 2, 3, 0, 7, 0x7FFF, 5, 6}) {
      PostMessageA(window_, kNotifyMessage, code, 0);
    }
  });
  poster.join();
  EXPECT_TRUE(gEvents.empty());
  r_->levelLeft = -1.5f;
  r_->levelRight = kNoLevel;
  r_->clipHoldLeft = 9;   // the latest measurement clipped
  r_->clipHoldRight = 8;  // one measurement ago
  r_->clipRight = 1;
  Pump();
  std::vector<std::string> seen;
  for (const Event& e : gEvents) {
    seen.push_back(e.what);
    EXPECT_EQ(e.thread, GetCurrentThreadId());
  }
  ASSERT_EQ(seen, (std::vector<std::string>{"capture", "playback", "levels", "notify", "notify"}));
  EXPECT_EQ(gEvents[0].values[0], ErrLengthLimit);
  EXPECT_EQ(gEvents[1].values[0], ErrLengthLimit);
  EXPECT_EQ(gEvents[2].values, (std::vector<double>{-1.5, 1, kNoLevel, 0}));
  EXPECT_EQ(r_->silent, 0);
  EXPECT_EQ(SendMessageA(window_, kNotifyMessage, 7, 0), 0);
}

// Slot 4 owns the copies it is given; without it the copies are freed with the record, and
// blocks still queued when the window goes or that cannot be posted at all are freed too.
// LeakSanitizer reports any that leak.
TEST_F(HelperWindowTest, BlocksGoToSlotFourOrAreFreed) {
  CapturedBlock* block = MakeBlock(18, 4410);
  void* format = block->format;
  void* data = block->data;
  Post(NotifyBlock, reinterpret_cast<LPARAM>(block));
  Pump();
  ASSERT_EQ(gEvents.size(), 1u);
  EXPECT_EQ(gEvents[0].values, (std::vector<double>{18, 4410}));
  EXPECT_EQ(std::tuple(gBlockFormat, gBlockData), std::tuple(format, data));
  std::free(gBlockFormat);
  std::free(gBlockData);

  gEvents.clear();
  r_->callbacks.block = nullptr;
  Post(NotifyBlock, reinterpret_cast<LPARAM>(MakeBlock(18, 100)));
  Pump();
  Post(NotifyBlock, reinterpret_cast<LPARAM>(MakeBlock(20, 200)));
  r_->notifyWindow = nullptr;
  PostNotification(*r_, NotifyBlock, reinterpret_cast<LPARAM>(MakeBlock(18, 300)));
  r_.reset();
  EXPECT_TRUE(gEvents.empty());
}

TEST(ModuleTest, UnloadDestroysALiveRecorderBeforeUnregisteringTheClass) {
  virtualaudio::Reset();
  ASSERT_NE(HelperClassAtom(), 0);  // registered when the library was loaded
  Recorder* r = NewRecorder();
  ASSERT_NE(r, nullptr);
  uint16_t error = 0;
  Close(*r, &error);
  GlobalRecorder() = r;
  const HWND window = r->helperWindow->handle();
  const DWORD engine = r->threadId;

  ModuleDetach();
  EXPECT_EQ(GlobalRecorder(), nullptr);
  EXPECT_FALSE(IsWindow(window));
  EXPECT_TRUE(testing::ThreadEnded(engine));
  EXPECT_EQ(HelperClassAtom(), 0);
  // The class is really gone: it could not have been while its window existed.
  EXPECT_EQ(CreateWindowExA(0, "VOXLHelperClass", "", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr,
                            ModuleInstance(), nullptr),
            nullptr);

  // Load again for the tests that follow.
  ASSERT_TRUE(ModuleAttach());
  RecorderPtr again = MakeRecorder();
  ASSERT_NE(again, nullptr);
  EXPECT_NE(again->helperWindow, nullptr);
}

// Without its helper window or its engine thread no recorder is made: both creation exports
// fail with the engine error and leave nothing behind (LeakSanitizer), and work again once the
// fault is gone.
TEST(ModuleTest, CreationFailsCleanlyWithoutHelperWindowOrEngineThread) {
  virtualaudio::Reset();
  void (*const faults[])(bool) = {
      [](bool on) { messages::FailWindowCreationForTesting(on ? 0 : -1); },
      [](bool on) { SetEngineStartFailsForTesting(on); }};
  for (const auto fault : faults) {
    fault(true);
    WORD error = VOXL_ERR_NONE;
    EXPECT_EQ(VoxlCreateRecorder(&error), nullptr);
    EXPECT_EQ(error, VOXL_ERR_NO_ENGINE);
    EXPECT_EQ(InitACM(nullptr), 0);
    EXPECT_EQ(StartACMRecord("Default Device"), 0);
    fault(false);
    VoxlRecorder* recorder = VoxlCreateRecorder(&error);
    EXPECT_NE(recorder, nullptr);
    VoxlDestroyRecorder(recorder);
    EXPECT_EQ(InitACM(nullptr), 1);
    EXPECT_EQ(DeinitACM(), 1);
  }
}

}  // namespace
}  // namespace voxl
