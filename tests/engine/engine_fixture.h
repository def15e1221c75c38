// Shared helpers of the engine and helper-window tests: the virtual audio driver, bounded
// waits, message pumping and recorders that are always destroyed.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <thread>

#include "api/recorder_creation.h"
#include "engine/engine.h"
#include "engine/levels.h"
#include "engine/transport.h"
#include "platform/wave/virtual/virtual_device.h"
#include "wavefile/recording_close.h"

namespace voxl::testing {

// The virtual driver (no hardware, manual clock), chosen before any wave call.
inline const bool kVirtualAudio = [] { return setenv("VOXL_AUDIO_DRIVER", "virtual", 1) == 0; }();

// Yields until `condition` holds or five seconds have passed; returns the condition.
template <typename Condition>
bool WaitFor(Condition condition) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::yield();
  }
  return true;
}

// Dispatches every message waiting for the calling thread; returns how many.
inline int Pump() {
  int count = 0;
  for (MSG msg{}; PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE) > 0; ++count) DispatchMessageA(&msg);
  return count;
}

struct RecorderDeleter {
  void operator()(Recorder* r) const { DeleteRecorder(r); }
};
using RecorderPtr = std::unique_ptr<Recorder, RecorderDeleter>;
// Waits for the engine, so that tests may post to its thread at once.
inline RecorderPtr MakeRecorder() {
  RecorderPtr r(NewRecorder());
  if (r != nullptr) AwaitEngine(*r);
  return r;
}

// A fresh recorder on a reset virtual driver for each test.
class RecorderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    virtualaudio::Reset();
    r_ = MakeRecorder();
    ASSERT_NE(r_, nullptr);
  }
  Recorder& r() { return *r_; }
  RecorderPtr r_;
};

// Puts the engine into `stage` through the test hook (kKeepStage: only waits until the engine
// has handled everything posted before).  False when the engine did not get there.
inline bool DriveStage(Recorder& r, uint16_t stage) {
  // Leaked if the engine never answers, so a late answer writes to valid memory.
  auto* reached = new std::atomic<bool>(false);
  if (!PostEngineTestStage(r, stage, reached)) {
    delete reached;
    return false;
  }
  if (!WaitFor([&] { return reached->load(); })) return false;
  delete reached;
  return true;
}
inline bool Barrier(Recorder& r) {
  return DriveStage(r, kKeepStage);
}

// True once the thread `threadId` has no message queue any more (it has ended).
inline bool ThreadEnded(DWORD threadId) {
  return WaitFor([&] { return PostThreadMessageA(threadId, WM_NULL, 0, 0) == FALSE; });
}

}  // namespace voxl::testing
