// Shared helpers of the wave and ALSA tests: formats, caller buffers, message waits and the
// virtual driver under its manual clock.
#pragma once

#include <gtest/gtest.h>
#include <poll.h>

#include <chrono>
#include <memory>
#include <vector>

#include "platform/wave/virtual/virtual_device.h"
#include "platform/wave/wave.h"
#include "platform/wave/wave_driver.h"
#include "support/codec.h"
#include "support/peer.h"

namespace voxl::wave::testing {

using test::Pcm;
using test::ScopedEnv;

inline WAVEFORMATEX With(WAVEFORMATEX f, void (*change)(WAVEFORMATEX&)) {
  change(f);
  return f;
}

// A caller's buffer and its header.
struct Buffer {
  explicit Buffer(size_t bytes) : data(bytes, 0xEE) {
    header.lpData = reinterpret_cast<LPSTR>(data.data());
    header.dwBufferLength = static_cast<DWORD>(bytes);
  }
  std::vector<uint8_t> data;
  WAVEHDR header{};
};

// Buffers of `bytes` each, prepared on `h`.
template <typename Handle, typename Prepare>
std::vector<std::unique_ptr<Buffer>> MakeBuffers(Handle h, Prepare prepare, size_t count,
                                                 size_t bytes) {
  std::vector<std::unique_ptr<Buffer>> buffers;
  for (size_t i = 0; i < count; ++i) {
    buffers.push_back(std::make_unique<Buffer>(bytes));
    EXPECT_EQ(MMSYSERR_NOERROR, prepare(h, &buffers.back()->header, sizeof(WAVEHDR)));
  }
  return buffers;
}

// The next message of this thread's queue, waiting at most timeoutMs on its descriptor.
inline bool NextMessage(MSG* msg, int timeoutMs) {
  using namespace std::chrono;
  const auto deadline = steady_clock::now() + milliseconds(timeoutMs);
  for (pollfd p{VoxlMessageQueueFd(), POLLIN, 0}; !PeekMessageA(msg, nullptr, 0, 0, PM_REMOVE);) {
    const auto left = duration_cast<milliseconds>(deadline - steady_clock::now()).count();
    if (left <= 0 || poll(&p, 1, static_cast<int>(left)) < 0) return false;
  }
  return true;
}

class WaveTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SelectDriverForTesting("virtual"));
    virtualaudio::Reset();
    MSG msg;
    PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);  // the test thread gets its queue
    TakeMessages();
  }

  std::vector<MSG> TakeMessages() {
    std::vector<MSG> messages;
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) messages.push_back(msg);
    return messages;
  }
  // The headers of the waiting messages of kind `message`, in order.
  std::vector<WAVEHDR*> Headers(UINT message) {
    std::vector<WAVEHDR*> headers;
    for (const MSG& m : TakeMessages()) {
      if (m.message == message) headers.push_back(reinterpret_cast<WAVEHDR*>(m.lParam));
    }
    return headers;
  }
};

}  // namespace voxl::wave::testing
