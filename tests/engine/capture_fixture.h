// Shared helpers of the capture tests: a recorder on the virtual input with the manual clock,
// recordings opened by name, buffers completed one step at a time, and everything the host
// callbacks receive.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "engine/engine_fixture.h"
#include "formats/g711.h"
#include "platform/mmio/mmio.h"
#include "support/peer.h"
#include "wavefile/recording_file.h"

namespace voxl::testing {

using Bytes = std::vector<uint8_t>;

// What the host callbacks received, in order (they run on the test's thread while it pumps).
struct HostLog {
  struct Block {
    Bytes format;
    Bytes data;
  };
  std::vector<Block> blocks;
  std::vector<DWORD> runEndCodes;
};
inline HostLog* gHostLog = nullptr;

inline void CALLBACK LogBlock(void* format, DWORD formatSize, void* data, DWORD dataLength) {
  const auto* f = static_cast<const uint8_t*>(format);
  const auto* d = static_cast<const uint8_t*>(data);
  if (gHostLog != nullptr)
    gHostLog->blocks.push_back({Bytes(f, f + formatSize), Bytes(d, d + dataLength)});
  std::free(format);
  std::free(data);
}
inline void CALLBACK LogRunEnd(DWORD code) {
  if (gHostLog != nullptr) gHostLog->runEndCodes.push_back(code);
}

// A recording format as the host sets it.
struct CaptureFormat {
  uint16_t sampleFormat;  // 8, 16, 106 A-law, 107 mu-law
  uint16_t channels;
  uint32_t rate;
};

class CaptureTest : public test::TempDirTest {
 protected:
  void SetUp() override {
    virtualaudio::Reset();
    gHostLog = &log_;
    r_ = MakeRecorder();
    ASSERT_NE(r_, nullptr);
    RecorderCallbacks callbacks{};
    callbacks.captureEnded = LogRunEnd;
    callbacks.block = LogBlock;
    SetCallbacks(*r_, callbacks);
    uint16_t error = 0;
    Close(*r_, &error);
    ASSERT_EQ(error, ErrNone);
    signal_.kind = virtualaudio::Signal::Kind::Sine;
    signal_.frequency[0] = 440.0, signal_.frequency[1] = 660.0;
    signal_.amplitude[0] = 0.5, signal_.amplitude[1] = 0.25;
    virtualaudio::SetInputSignal(0, signal_);
  }
  void TearDown() override {
    mmio::SetWriteLimitForTesting(-1);
    if (r_ != nullptr) {
      Stop(*r_);
      Pump();
      uint16_t error = 0;
      Close(*r_, &error);
      r_.reset();
    }
    Pump();
    gHostLog = nullptr;
    if (savedTmpdir_.has_value()) {
      if (savedTmpdir_->empty()) {
        unsetenv("TMPDIR");
      } else {
        setenv("TMPDIR", savedTmpdir_->c_str(), 1);
      }
    }
  }

  // Splice files go into the test's folder (set while the engine is idle; undone at the end).
  void SpliceFilesInTestDir() {
    const char* previous = std::getenv("TMPDIR");
    savedTmpdir_ = previous != nullptr ? previous : "";
    setenv("TMPDIR", dir().c_str(), 1);
  }

  Recorder& r() { return *r_; }

  // A new recording in `format`; an empty path streams (no file).
  void Open(const CaptureFormat& format, const std::string& path) {
    Recorder& rec = r();
    uint16_t error = 0;
    Close(rec, &error);
    rec.sampleFormat = format.sampleFormat;
    rec.channels = format.channels;
    rec.sampleRate = format.rate;
    const std::u16string wide(path.begin(), path.end());
    BSTR name = path.empty() ? nullptr : SysAllocStringLen(wide.data(), UINT(wide.size()));
    NewRecording(rec, name, &error);
    SysFreeString(name);
    ASSERT_EQ(error, ErrNone);
    ASSERT_EQ(rec.state, StateOpen);
  }
  void StartRecording() {
    uint16_t error = 0xFFFF;
    Record(r(), &error);
    ASSERT_EQ(error, ErrNone);
    ASSERT_EQ(r().state, StateRecording);
  }
  // Completes `count` device buffers and waits until the engine has handled them and the host
  // has received what they produced.
  void Complete(size_t count) {
    ASSERT_EQ(virtualaudio::CompleteInputBuffers(WAVE_MAPPER, count), count);
    ASSERT_TRUE(Barrier(r()));
    Pump();
  }
  // Stops the run and lets the host finish the file (notification 1).
  void StopRecording() {
    Stop(r());
    ASSERT_EQ(r().state, StateOpen);
    Pump();
  }
  // Waits for a run that ends by itself (limit, write failure) and for the host side of its end.
  void WaitForRunEnd() {
    ASSERT_TRUE(WaitFor([&] { return r().state.load() == StateOpen; }));
    ASSERT_TRUE(Barrier(r()));
    Pump();
  }
  void CloseRecording() {
    uint16_t error = 0;
    Close(r(), &error);
    ASSERT_EQ(error, ErrNone);
  }

  // The bytes the device delivers for frames [first, first + frames) as they are stored in a
  // recording of `format` (A-law and mu-law through our G.711 encoders).
  Bytes Expected(const CaptureFormat& format, uint64_t first, uint64_t frames) const {
    WAVEFORMATEX device{};
    device.wFormatTag = WAVE_FORMAT_PCM;
    device.nChannels = format.channels;
    device.nSamplesPerSec = format.rate;
    device.wBitsPerSample = format.sampleFormat == 8 ? 8 : 16;
    device.nBlockAlign = uint16_t(device.nChannels * device.wBitsPerSample / 8);
    device.nAvgBytesPerSec = device.nBlockAlign * format.rate;
    Bytes out;
    for (uint64_t n = first; n < first + frames; ++n) {
      for (int c = 0; c < format.channels; ++c) {
        const int v = virtualaudio::SampleValue(signal_, device, n, c);
        if (format.sampleFormat == 8) {
          out.push_back(uint8_t(v));
        } else if (format.sampleFormat == 106) {
          out.push_back(LinearToALaw(int16_t(v)));
        } else if (format.sampleFormat == 107) {
          out.push_back(LinearToMuLaw(int16_t(v)));
        } else {
          out.push_back(uint8_t(v & 0xFF));
          out.push_back(uint8_t((v >> 8) & 0xFF));
        }
      }
    }
    return out;
  }

  // The data chunk of a RIFF/WAVE file we wrote (header of 46 bytes, or 58 with "fact").
  static Bytes DataOf(const std::string& path) {
    const Bytes file = test::ReadBinaryFile(path);
    for (size_t at = 12; at + 8 <= file.size();) {
      uint32_t size = 0;
      std::memcpy(&size, &file[at + 4], 4);
      if (std::memcmp(&file[at], "data", 4) == 0) {
        const size_t end = std::min(file.size(), at + 8 + size_t{size});
        return Bytes(file.begin() + long(at + 8), file.begin() + long(end));
      }
      at += 8 + size + (size & 1);
    }
    return {};
  }

  static Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
  }

  virtualaudio::Signal signal_;
  HostLog log_;
  RecorderPtr r_;
  std::optional<std::string> savedTmpdir_;
};

}  // namespace voxl::testing
