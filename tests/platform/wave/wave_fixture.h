// Shared helpers of the wave and ALSA tests: formats, caller buffers, message waits, scoped
// environment variables, and the virtual driver under its manual clock.
#pragma once

#include <gtest/gtest.h>
#include <poll.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/wave/virtual/virtual_device.h"
#include "platform/wave/wave.h"
#include "platform/wave/wave_driver.h"

namespace voxl::wave::testing {

inline WAVEFORMATEX Pcm(DWORD rate, WORD channels, WORD bits, WORD tag = WAVE_FORMAT_PCM) {
  WAVEFORMATEX f{};
  f.wFormatTag = tag;
  f.nChannels = channels;
  f.nSamplesPerSec = rate;
  f.nBlockAlign = static_cast<WORD>(channels * bits / 8);
  f.nAvgBytesPerSec = rate * f.nBlockAlign;
  f.wBitsPerSample = bits;
  return f;
}

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
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (PeekMessageA(msg, nullptr, 0, 0, PM_REMOVE)) return true;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0) return false;
    pollfd p{VoxlMessageQueueFd(), POLLIN, 0};
    poll(&p, 1, static_cast<int>(left));
  }
}

// Sets an environment variable (unsets it for null) until the end of the scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    value ? setenv(name, value, 1) : unsetenv(name);
  }
  ~ScopedEnv() { old_ ? setenv(name_, old_->c_str(), 1) : unsetenv(name_); }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

class WaveTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SelectDriverForTesting("virtual"));
    virtualaudio::Reset();
    MSG msg;
    PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);  // the test thread gets its queue
    TakeMessages();
  }

  DWORD_PTR ThisThread() const { return GetCurrentThreadId(); }

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
