// Shared fixture of the wave tests: the virtual driver with its manual clock, the test thread's
// message queue as the callback thread, and helpers for formats and buffers.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "platform/wave/virtual/virtual_device.h"
#include "platform/wave/wave.h"
#include "platform/wave/wave_driver.h"

namespace voxl::wave::testing {

inline WAVEFORMATEX Pcm(DWORD rate, WORD channels, WORD bits) {
  WAVEFORMATEX f{};
  f.wFormatTag = WAVE_FORMAT_PCM;
  f.nChannels = channels;
  f.nSamplesPerSec = rate;
  f.nBlockAlign = static_cast<WORD>(channels * bits / 8);
  f.nAvgBytesPerSec = rate * f.nBlockAlign;
  f.wBitsPerSample = bits;
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

  // Every message waiting for the test thread, in order.
  std::vector<MSG> TakeMessages() {
    std::vector<MSG> messages;
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) messages.push_back(msg);
    return messages;
  }

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
};

}  // namespace voxl::wave::testing
