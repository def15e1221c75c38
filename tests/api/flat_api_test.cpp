// The eight flat capture functions with the virtual audio driver (manual clock) standing in for
// the sound card: the pending block list, the level message, the device enumeration, starting
// and stopping, and whole blocks streamed from a device to the host window.  The helper window:
// notifications become host callbacks on the creating thread, and module unload tears down a
// recorder that is still alive.
#include "api/flat_api.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "api/helper_window.h"
#include "api/module.h"
#include "engine/block_pool.h"
#include "engine/engine_fixture.h"
#include "platform/messages/messages.h"
#include "platform/wave/virtual/virtual_device.h"
#include "platform/wave/wave_driver.h"
#include "voxl310k.h"

namespace voxl {
namespace {

namespace va = virtualaudio;

constexpr WAVEFORMATEX kStreamFormat{WAVE_FORMAT_PCM, 2, 44100, 176400, 4, 16, 0};

// A block as the engine hands it over: heap copies of the format and the data.
void DeliverBlock(const std::string& text) {
  void* format =
      std::memcpy(std::malloc(sizeof kStreamFormat), &kStreamFormat, sizeof kStreamFormat);
  void* data = std::memcpy(std::malloc(text.size()), text.data(), text.size());
  flat::OnBlock(format, sizeof kStreamFormat, data, static_cast<DWORD>(text.size()));
}

class FlatApiTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_TRUE(wave::SelectDriverForTesting("virtual")); }

  FlatApiTest() {
    va::Reset();
    va::SetInputDevices({"Mic One", "Mic Two"});
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = DefWindowProcA, windowClass.lpszClassName = "FlatApiTestHost";
    RegisterClassA(&windowClass);
    window_ = CreateWindowExA(0, "FlatApiTestHost", "host", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr,
                              nullptr, nullptr);
  }
  ~FlatApiTest() override {
    DeinitACM();
    Pump();
    DestroyWindow(window_);
    UnregisterClassA("FlatApiTestHost", nullptr);
    va::Reset();
  }

  // Dispatches what waits for this thread; messages for the host window are kept in hostMessages_.
  void Pump() {
    MSG msg{};
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE) > 0) {
      msg.hwnd == window_ ? hostMessages_.push_back(msg) : void(DispatchMessageA(&msg));
    }
  }

  size_t Count(UINT message) const {
    return std::count_if(hostMessages_.begin(), hostMessages_.end(),
                         [&](const MSG& m) { return m.message == message; });
  }

  // Waits until the engine has handled everything completed so far, then pumps.
  void Settle() {
    ASSERT_TRUE(testing::Barrier(*GlobalRecorder()));
    Pump();
  }

  static int State() { return GlobalRecorder()->state; }

  HWND window_ = nullptr;
  std::vector<MSG> hostMessages_;
};

// Blocks leave in the order they arrived, each laid out as 24 bytes of format and length and
// then the data; the list works again after running empty and while new blocks arrive; short
// formats and missing data are queued safely; a stop keeps what the host has not taken.
TEST_F(FlatApiTest, BlocksLeaveInOrderLaidOutAsTwentyFourBytesThenTheData) {
  ASSERT_EQ(InitACM(window_), 1);
  for (const char* text : {"A", "BB", "CCC"}) DeliverBlock(text);
  Pump();
  EXPECT_EQ(Count(VOXL_MSG_BLOCK_READY), 3u);

  auto take = [](const std::string& expected) {
    AcmBlock* block = nullptr;
    ASSERT_EQ(GetNextACMBlock(&block), 1);
    const auto* bytes = reinterpret_cast<const char*>(block);
    uint32_t length = 0;
    std::memcpy(&length, bytes + 20, 4);
    EXPECT_EQ(std::memcmp(bytes, &kStreamFormat, 18), 0) << expected;
    EXPECT_EQ(std::tuple(length, std::string(bytes + 24, expected.size())),
              std::tuple(uint32_t(expected.size()), expected));
    EXPECT_EQ(FreeACMBlock(block), 1);
  };
  for (const char* expected : {"A", "BB", "CCC"}) take(expected);
  AcmBlock* none = nullptr;
  EXPECT_EQ(GetNextACMBlock(&none), 0);

  DeliverBlock("D");
  DeliverBlock("E");
  take("D");
  DeliverBlock("F");
  for (const char* expected : {"E", "F"}) take(expected);

  // A format record shorter than its header is copied as far as it goes; the rest reads 0.
  auto* format = static_cast<WAVEFORMATEX*>(std::malloc(4));
  std::memcpy(format, "\x01\x00\x02\x00", 4);
  flat::OnBlock(format, 4, nullptr, 100);
  AcmBlock* block = nullptr;
  ASSERT_EQ(GetNextACMBlock(&block), 1);
  EXPECT_EQ(std::tuple(block->format.wFormatTag, block->format.nChannels,
                       block->format.nSamplesPerSec, block->dataLength),
            std::tuple(1, 2, 0u, 0u));
  FreeACMBlock(block);

  // A stop keeps blocks the host has not taken; a start frees them; DeinitACM frees the rest.
  DeliverBlock("early");
  ASSERT_EQ(StopACMRecord(), 1);
  EXPECT_EQ(flat::PendingBlockCount(), 1u) << "the host can still take it";
  ASSERT_EQ(StartACMRecord("Mic One"), 1);
  EXPECT_EQ(flat::PendingBlockCount(), 0u);
  DeliverBlock("left for DeinitACM to free");
}

// Levels are packed as tenths of a dB, left high and right low (posting: StreamsWholeBlocksAnd...).
TEST_F(FlatApiTest, LevelsArePackedAsTenthsLeftHigh) {
  const std::tuple<float, float, uint32_t> cases[] = {
      {-3.14f, -9999.0f, 0xFFE1D8F1u},   // signal left, none right
      {-1000.0f, -999.9f, 0xD8F1D8F1u},  // clamped at -999.9
      {-999.8f, -12.5f, 0xD8F2FF83u},    // just above the clamp
      {-0.04f, -1.0e30f, 0x0000D8F1u}};  // rounds toward zero
  for (const auto& [left, right, want] : cases) {
    const auto packed = flat::PackLevels(left, right);
    EXPECT_EQ(static_cast<uint64_t>(packed), want) << left << " " << right;
    EXPECT_EQ(VOXL_LEVEL_LEFT_TENTHS(packed), static_cast<SHORT>(want >> 16));
  }
}

// Without a recorder, with bad arguments and with a capture format the input refuses, the
// functions refuse.  Enumeration lists "Default Device" (the wave mapper), then each device, then
// ends; a name chooses its device exactly, a new start first closes the running recording, and a
// device that cannot open leaves the recorder idle.
TEST_F(FlatApiTest, RefusalsAndEnumerationAndNamesThatChooseTheDevicesExactly) {
  char name[VOXL_DEVICE_NAME_BYTES] = "stale";
  EXPECT_EQ(GetFirstACMDevice(name), 0) << "no recorder yet";
  EXPECT_STREQ(name, "");
  EXPECT_EQ(std::tuple(StartACMRecord("Default Device"), StopACMRecord(), DeinitACM()),
            std::tuple(0, 0, 0));
  va::SetInputFaults(0, va::Faults{.refuseFormat = true});
  EXPECT_EQ(InitACM(window_), 0);
  EXPECT_EQ(GlobalRecorder(), nullptr);
  va::SetInputFaults(0, va::Faults{});
  ASSERT_EQ(InitACM(window_), 1);
  EXPECT_EQ(InitACM(window_), 0) << "a second InitACM would lose the first recorder";
  EXPECT_EQ(std::tuple(GetNextACMBlock(nullptr), FreeACMBlock(nullptr), StartACMRecord(nullptr),
                       GetFirstACMDevice(nullptr), GetNextACMDevice(nullptr)),
            std::tuple(0, 1, 0, 0, 0));
  EXPECT_EQ(GetNextACMDevice(name), 0) << "no enumeration started yet";
  for (int round = 0; round < 2; ++round) {
    ASSERT_EQ(GetFirstACMDevice(name), 1);
    EXPECT_STREQ(name, "Default Device");
    for (const char* next : {"Mic One", "Mic Two", "", ""}) {
      std::strcpy(name, "stale");
      EXPECT_EQ(GetNextACMDevice(name), *next != '\0' ? 1 : 0);
      EXPECT_STREQ(name, next);
    }
  }

  for (const char* wrong : {"mic two", "Mic", ""}) EXPECT_EQ(StartACMRecord(wrong), 0) << wrong;
  EXPECT_EQ(State(), 1);
  ASSERT_EQ(StartACMRecord("Default Device"), 1);
  EXPECT_EQ(std::tuple(State(), GlobalRecorder()->inputDevice.load(), va::InputOpen(0)),
            std::tuple(3, -1, true));
  ASSERT_EQ(StartACMRecord("Mic Two"), 1);
  EXPECT_EQ(
      std::tuple(State(), GlobalRecorder()->inputDevice.load(), va::InputOpen(0), va::InputOpen(1)),
      std::tuple(3, 1, false, true));
  EXPECT_EQ(StopACMRecord(), 1);
  va::SetInputFaults(1, va::Faults{.refuseOpen = true});
  EXPECT_EQ(StartACMRecord("Mic Two"), 0);
  EXPECT_EQ(State(), 1);
  EXPECT_EQ(StartACMRecord("Mic One"), 1);
}

// Whole blocks of the running sine, each with a level message of about -6 dB.  A stop in the
// middle of a buffer makes that half buffer the run's last block, and its level message, read at
// dispatch like every other, says "no signal" as the stop's own does.  A new start while the end
// of the previous run still waits to be dispatched (StartACMRecord while recording, or
// StopACMRecord and StartACMRecord with no dispatch between them): the block the device returned
// at the stop and the run's "no signal" levels belong to the stopped run and never reach the new
// one.
TEST_F(FlatApiTest, StreamsWholeBlocksAndAStoppedRunsLastBlockNeverArrivesInTheNextRun) {
  va::Signal sine;
  sine.kind = va::Signal::Kind::Sine;
  va::SetInputSignal(0, sine);
  ASSERT_EQ(InitACM(window_), 1);
  auto takeLength = [] {
    AcmBlock* block = nullptr;
    EXPECT_EQ(GetNextACMBlock(&block), 1);
    const uint32_t length = block != nullptr ? block->dataLength : 0;
    FreeACMBlock(block);
    return length;
  };
  ASSERT_EQ(StartACMRecord("Mic One"), 1);
  ASSERT_EQ(va::CompleteInputBuffers(0, 1), 1u);
  Settle();
  EXPECT_EQ(std::tuple(Count(VOXL_MSG_BLOCK_READY), Count(VOXL_MSG_LEVELS), takeLength()),
            std::tuple(size_t{1}, size_t{1}, 17640u));
  for (const MSG& m : hostMessages_)
    EXPECT_TRUE(m.message != VOXL_MSG_LEVELS ||
                std::abs(VOXL_LEVEL_RIGHT_TENTHS(m.lParam) + 60) <= 5);

  hostMessages_.clear();
  ASSERT_EQ(va::DeliverInputFrames(0, 2205), 2205u);
  ASSERT_EQ(StopACMRecord(), 1);
  Pump();
  EXPECT_EQ(std::tuple(Count(VOXL_MSG_BLOCK_READY), Count(VOXL_MSG_LEVELS), takeLength()),
            std::tuple(size_t{1}, size_t{2}, 8820u));
  for (const MSG& m : hostMessages_) {
    EXPECT_TRUE(m.message != VOXL_MSG_LEVELS || static_cast<uint64_t>(m.lParam) == 0xD8F1D8F1u);
  }

  for (const bool stopFirst : {false, true}) {
    ASSERT_EQ(StartACMRecord("Mic One"), 1);
    ASSERT_EQ(va::DeliverInputFrames(0, 2205), 2205u);
    ASSERT_EQ(stopFirst ? StopACMRecord() : 1, 1);
    ASSERT_EQ(StartACMRecord("Mic One"), 1);
    ASSERT_EQ(va::CompleteInputBuffers(0, 1), 1u);
    hostMessages_.clear();
    Settle();
    ASSERT_EQ(std::tuple(Count(VOXL_MSG_BLOCK_READY), Count(VOXL_MSG_LEVELS), takeLength()),
              std::tuple(size_t{1}, size_t{1}, 17640u))
        << stopFirst << ": only the new run's first block";
    EXPECT_NE(static_cast<uint64_t>(hostMessages_.back().lParam), 0xD8F1D8F1u) << stopFirst;
  }
}

// A host that does not dispatch for a minute (600 blocks) while the stream passes the end of the
// 32-bit frame range (13.5 hours at 44100 Hz): nothing is lost or reordered, the run goes on, and
// what waits is the blocks themselves, freed as they are taken.
TEST_F(FlatApiTest, AHostThatDoesNotDispatchForAMinuteLosesNothingPastTheFrameRange) {
  va::Signal counter;  // each frame holds its own number
  counter.kind = va::Signal::Kind::Callback;
  counter.fill = [](const WAVEFORMATEX&, uint64_t frame, void* data, size_t bytes) {
    for (size_t k = 0; k < bytes / 4; ++k) static_cast<uint32_t*>(data)[k] = uint32_t(frame + k);
  };
  va::SetInputSignal(0, counter);
  flat::Pool().Give(flat::Pool().Take(17640));  // a free block the pool could hand out twice
  ASSERT_EQ(InitACM(window_), 1);
  SetCaptureStartFramesForTesting(INT32_MAX - 300 * 4410);
  ASSERT_EQ(StartACMRecord("Mic One"), 1);
  SetCaptureStartFramesForTesting(0);
  ASSERT_EQ(va::CompleteInputBuffers(0, 600), 600u);
  Settle();
  EXPECT_EQ(std::tuple(Count(VOXL_MSG_BLOCK_READY), flat::PendingBlockBytes(), State()),
            std::tuple(size_t{600}, size_t{600 * 17640}, 3));
  EXPECT_EQ(GlobalRecorder()->position, INT32_MAX) << "stays at the end, never wraps";
  uint32_t next = 0;
  for (AcmBlock* block = nullptr; GetNextACMBlock(&block) == 1; FreeACMBlock(block)) {
    ASSERT_EQ(block->dataLength, 17640u);
    const auto* frames = reinterpret_cast<const uint32_t*>(ACM_BLOCK_DATA(block));
    for (uint32_t k = 0; k < 4410; ++k) ASSERT_EQ(frames[k], next++);
  }
  EXPECT_EQ(std::tuple(next, flat::PendingBlockBytes()), std::tuple(600u * 4410, size_t{0}));
  EXPECT_EQ(std::tuple(flat::Pool().Outstanding(), flat::Pool().Kept()),
            std::tuple(size_t{0}, BlockPool::kKeptBlocks))
      << "every block went back, and the pool keeps enough for the next second";
}

// The device drops 10 ms in the first block, then goes away in the middle of a block: the host is
// told of the dropout where it happened, the blocks delivered all arrive, then
// VOXL_MSG_CAPTURE_ENDED with the reason; StopACMRecord still succeeds.
TEST_F(FlatApiTest, ADeviceThatGoesAwayEndsTheBlockStreamWithItsReason) {
  // A block and a half of the device's time, 441 frames of it lost.
  va::SetInputFaults(0, va::Faults{.loseAfterFrames = 6615, .gapAtFrame = 2205, .gapFrames = 441});
  ASSERT_EQ(InitACM(window_), 1);
  ASSERT_EQ(StartACMRecord("Mic One"), 1);
  EXPECT_EQ(va::CompleteInputBuffers(0, 3), 1u);
  ASSERT_TRUE(testing::WaitFor([] { return State() == 2; }));
  Settle();
  EXPECT_EQ(std::tuple(Count(VOXL_MSG_BLOCK_READY), flat::PendingBlockBytes()),
            std::tuple(size_t{2}, size_t{(6615 - 441) * 4}));
  EXPECT_EQ(std::count_if(hostMessages_.begin(), hostMessages_.end(),
                          [](const MSG& m) {
                            return m.message == VOXL_MSG_DROPOUT && m.wParam == 2205 &&
                                   m.lParam == 441;
                          }),
            1);
  ASSERT_FALSE(hostMessages_.empty());
  EXPECT_EQ(std::tuple(hostMessages_.back().message, hostMessages_.back().wParam),
            std::tuple(UINT{VOXL_MSG_CAPTURE_ENDED}, WPARAM{VOXL_STOP_DEVICE_LOST}));
  EXPECT_EQ(StopACMRecord(), 1);
}

using testing::MakeRecorder;
using testing::Pump;

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
      gBlockFormat = format, gBlockData = data;
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
  HWND window_ = nullptr;
};

// Codes 1, 2, 3, 5 and 6 reach their slots on the creating thread, only while it dispatches; 0,
// 7 and larger call nothing, and the reserved slot is never called.  A capture that ended also
// finishes the file (silence is reset).  Levels are read when dispatched, with clip flags from
// the hold counters.
TEST_F(HelperWindowTest, CallbacksRunOnTheCreatingThreadOnlyWhileItDispatches) {
  r_->stopReason = ErrLengthLimit, r_->silent = 1;
  std::thread poster([&] {  // as the engine posts
    for (const WPARAM code : {1, 2, 3, 0, 7, 0x7FFF, 5, 6})
      PostMessageA(window_, kNotifyMessage, code, 0);
  });
  poster.join();
  EXPECT_TRUE(gEvents.empty());
  r_->levelLeft = -1.5f, r_->levelRight = kNoLevel;
  r_->clipHoldLeft = 9;   // the latest measurement clipped
  r_->clipHoldRight = 8;  // one measurement ago
  r_->clipRight = 1;
  Pump();
  std::vector<std::string> seen;
  for (const Event& e : gEvents)
    seen.push_back(e.what + (e.thread == GetCurrentThreadId() ? "" : "?"));
  ASSERT_EQ(seen, (std::vector<std::string>{"capture", "playback", "levels", "notify", "notify"}));
  EXPECT_EQ(std::tuple(gEvents[0].values[0], gEvents[1].values[0]),
            std::tuple(ErrLengthLimit, ErrLengthLimit));
  EXPECT_EQ(gEvents[2].values, (std::vector<double>{-1.5, 1, kNoLevel, 0}));
  EXPECT_EQ(r_->silent, 0);
}

// Slot 4 owns the copies it is given; without it the copies are freed with the record, and
// blocks still queued when the window goes or that cannot be posted at all are freed too.
// LeakSanitizer reports any that leak.
TEST_F(HelperWindowTest, BlocksGoToSlotFourOrAreFreed) {
  CapturedBlock* block = MakeBlock(18, 4410);
  void *format = block->format, *data = block->data;
  ASSERT_TRUE(PostMessageA(window_, kNotifyMessage, NotifyBlock, LPARAM(block)));
  Pump();
  ASSERT_EQ(gEvents.size(), 1u);
  EXPECT_EQ(gEvents[0].values, (std::vector<double>{18, 4410}));
  EXPECT_EQ(std::tuple(gBlockFormat, gBlockData), std::tuple(format, data));
  std::free(gBlockFormat);
  std::free(gBlockData);

  gEvents.clear();
  r_->callbacks.block = nullptr;
  ASSERT_TRUE(PostMessageA(window_, kNotifyMessage, NotifyBlock, LPARAM(MakeBlock(18, 100))));
  Pump();
  ASSERT_TRUE(PostMessageA(window_, kNotifyMessage, NotifyBlock, LPARAM(MakeBlock(20, 200))));
  r_->notifyWindow = nullptr;
  PostNotification(*r_, NotifyBlock, reinterpret_cast<LPARAM>(MakeBlock(18, 300)));
  r_.reset();
  EXPECT_TRUE(gEvents.empty());
}

TEST(ModuleTest, UnloadDestroysALiveRecorderBeforeUnregisteringTheClass) {
  virtualaudio::Reset();
  Recorder* r = NewRecorder();
  ASSERT_NE(r, nullptr);
  uint16_t error = 0;
  Close(*r, &error);
  GlobalRecorder() = r;
  const HWND window = r->helperWindow->handle();
  AwaitEngine(*r);
  const DWORD engine = r->threadId;

  ModuleDetach();
  EXPECT_EQ(GlobalRecorder(), nullptr);
  EXPECT_FALSE(IsWindow(window));
  EXPECT_TRUE(testing::ThreadEnded(engine));
  // The class is really gone: it could not have been while its window existed.
  EXPECT_EQ(CreateWindowExA(0, "VOXLHelperClass", "", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr,
                            ModuleInstance(), nullptr),
            nullptr);

  // Load again for the tests that follow.
  ASSERT_TRUE(ModuleAttach());
  EXPECT_NE(MakeRecorder(), nullptr);
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
    fault(false);
    VoxlRecorder* recorder = VoxlCreateRecorder(&error);
    EXPECT_NE(recorder, nullptr);
    VoxlDestroyRecorder(recorder);
    EXPECT_EQ(InitACM(nullptr), 1);
    EXPECT_EQ(DeinitACM(), 1);
  }
}

// A recorder made for files never asks the input device: made and closed while the input
// refuses every format, it still records once asked to, and then the start fails.
TEST(ModuleTest, FileRecorderLeavesTheInputDeviceAloneUntilItRecords) {
  virtualaudio::Reset();
  virtualaudio::SetInputFaults(0, {.refuseFormat = true});
  WORD error = VOXL_ERR_NONE;
  EXPECT_EQ(VoxlCreateRecorder(&error), nullptr);
  EXPECT_EQ(error, VOXL_ERR_CAPTURE_FORMAT_REFUSED);
  VoxlRecorder* recorder = VoxlCreateFileRecorder(&error);
  ASSERT_NE(recorder, nullptr);
  EXPECT_EQ(error, VOXL_ERR_NONE);
  const VoxlRecorderVtbl& m = *recorder->lpVtbl;
  BSTR streaming = SysAllocString(u"");
  m.Close(recorder, &error);
  EXPECT_EQ(error, VOXL_ERR_NONE);
  m.NewRecording(recorder, streaming, &error);
  EXPECT_EQ(error, VOXL_ERR_NONE);
  m.Record(recorder, &error);
  EXPECT_EQ(error, VOXL_ERR_CAPTURE_START);
  SysFreeString(streaming);
  VoxlDestroyRecorder(recorder);
}

}  // namespace
}  // namespace voxl
