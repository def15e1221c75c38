// Shared helpers of the capture tests: a recorder on the virtual input (manual clock), buffers
// completed a step at a time, what the host callbacks received, and the expected stored bytes.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "engine/engine_fixture.h"
#include "formats/conversion.h"
#include "platform/acm/g711/g711.h"
#include "platform/mmio/mmio.h"
#include "platform/system/io_faults.h"
#include "support/codec.h"
#include "support/peer.h"
#include "wavefile/open_file.h"
#include "wavefile/position.h"
#include "wavefile/recording_file.h"

namespace voxl::testing {

using Bytes = std::vector<uint8_t>;

struct CaptureFormat {
  uint16_t sampleFormat;  // 8, 16, 106 A-law, 107 mu-law
  uint16_t channels;
  uint32_t rate;
};
constexpr CaptureFormat kMono8k{16, 1, 8000};  // buffers of 800 frames

// What the host callbacks received (on the test's thread, while it pumps).
inline std::vector<Bytes> gBlocks, gBlockFormats;
inline std::vector<DWORD> gRunEnds;
inline void CALLBACK LogBlock(void* format, DWORD formatSize, void* data, DWORD dataLength) {
  const auto* f = static_cast<uint8_t*>(format);
  const auto* d = static_cast<uint8_t*>(data);
  gBlockFormats.emplace_back(f, f + formatSize), gBlocks.emplace_back(d, d + dataLength);
  std::free(format), std::free(data);
}
inline void CALLBACK LogRunEnd(DWORD code) {
  gRunEnds.push_back(code);
}

// One sample as stored in `f`: `value` is an unsigned byte for 8-bit PCM, else a 16-bit sample.
inline void Store(const CaptureFormat& f, int value, Bytes& out) {
  const auto v = int16_t(value);
  if (f.sampleFormat == 8) return out.push_back(uint8_t(value));
  if (f.sampleFormat == 106) return out.push_back(LinearToALaw(v));
  if (f.sampleFormat == 107) return out.push_back(LinearToMuLaw(v));
  out.push_back(uint8_t(v & 0xFF)), out.push_back(uint8_t(uint16_t(v) >> 8));
}

// An 880 Hz marker tone of `frames` frames as stored in `format`.
inline Bytes Tone(const CaptureFormat& f, uint32_t frames) {
  Bytes out;
  for (uint32_t k = 0; k < frames; ++k) {
    const double s = std::sin(k * 2 * 3.141592654 * 880.0 / f.rate);
    for (int c = 0; c < f.channels; ++c)
      Store(f, f.sampleFormat == 8 ? 128 + int(64.0 * s) : int(16384.0 * s), out);
  }
  return out;
}

inline Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// Everything the host received as blocks, in order.
inline Bytes Delivered() {
  Bytes out;
  for (const Bytes& b : gBlocks) out.insert(out.end(), b.begin(), b.end());
  return out;
}

// Bytes [from, to) of `b`, and `b` without them.
inline Bytes Slice(const Bytes& b, size_t from, size_t to) {
  return Bytes(b.begin() + long(from), b.begin() + long(to));
}
inline Bytes Without(const Bytes& b, size_t from, size_t to) {
  return Concat({Slice(b, 0, from), Slice(b, to, b.size())});
}

// Bytes [offset, offset + count) of a file (the big files are sparse: read only those).
inline Bytes ReadAt(const std::string& path, uint64_t offset, size_t count) {
  Bytes out(count);
  std::ifstream in(path, std::ios::binary);
  in.seekg(std::streamoff(offset))
      .read(reinterpret_cast<char*>(out.data()), std::streamsize(count));
  return in ? out : Bytes{};
}

using test::PeerSamples;

// The file's first four bytes and the frames ffprobe and sndfile-info find in it (-1: refused).
using Seen = std::tuple<std::string, int64_t, int64_t>;
inline Seen ReadersSee(const std::string& path) {
  const auto out = test::RunCommand(
      "f=" + test::ShellQuote(path) +
      "; ff=$(timeout 20 ffprobe -v error -show_entries stream=duration_ts -of csv=p=0 \"$f\" "
      "2>/dev/null)"
      "; sf=$(timeout 20 sndfile-info \"$f\" 2>&1 | sed -n 's/^Frames *: //p' | tail -1)"
      "; echo \"$(head -c4 \"$f\") ${ff:--1} ${sf:--1}\"");
  Seen seen{"", -1, -1};
  std::istringstream(out.output) >> std::get<0>(seen) >> std::get<1>(seen) >> std::get<2>(seen);
  return seen;
}

// The data chunk of a RIFF/WAVE file, as libsndfile finds it.
inline Bytes DataOf(const std::string& path) {
  const auto wave = test::ReadWithSndfile(path);
  return wave ? wave->raw : Bytes{};
}

class CaptureTest : public test::TempDirTest {
 protected:
  void SetUp() override {
    Renew();
    UseSignal(440.0);
  }
  // A new recorder on a reset virtual driver, with nothing received yet.
  void Renew() {
    r_.reset();
    virtualaudio::Reset();
    gBlocks.clear(), gBlockFormats.clear(), gRunEnds.clear();
    r_ = MakeRecorder();
    SetCallbacks(*r_, RecorderCallbacks{LogRunEnd, nullptr, nullptr, nullptr, LogBlock, nullptr});
  }
  void TearDown() override {
    system::DisarmIoFault();
    Stop(*r_);
    Pump();
    CloseRecording();
  }

  Recorder& r() { return *r_; }
  void UseSignal(double frequency) {
    signal_.kind = virtualaudio::Signal::Kind::Sine;
    signal_.frequency[0] = frequency, signal_.frequency[1] = frequency * 1.5;
    signal_.amplitude[1] = 0.25;
    virtualaudio::SetInputSignal(0, signal_);
  }
  // A new recording in `f`; an empty path streams.
  void Open(const CaptureFormat& f, const std::string& path) {
    uint16_t error = 0;
    Close(r(), &error);
    r().sampleFormat = f.sampleFormat, r().channels = f.channels, r().sampleRate = f.rate;
    Named(path, [&](BSTR name) { NewRecording(r(), name, &error); });
    ASSERT_EQ(error, ErrNone);
  }
  // Opens the existing file `path` as the recording.
  void OpenRecording(const std::string& path) {
    uint16_t error = 0xFFFF;
    Named(path, [&](BSTR name) { OpenFile(r(), name, &error); });
    ASSERT_EQ(error, ErrNone);
  }
  // Calls `use` with `path` as a host string (null for an empty path).
  template <typename Use>
  static void Named(const std::string& path, Use use) {
    const std::u16string wide(path.begin(), path.end());
    BSTR name = path.empty() ? nullptr : SysAllocStringLen(wide.data(), UINT(wide.size()));
    use(name);
    SysFreeString(name);
  }
  // Runs record into the format of `tag` the codec manager suggests for `f`; returns the record.
  Bytes UseTargetFormat(WORD tag, const CaptureFormat& f) {
    Bytes format = test::SuggestFormat(tag, f.rate, f.channels);
    EXPECT_EQ(SetTargetFormat(r(), &test::AsFormat(format), int32_t(format.size()), true),
              kAccepted);
    return format;
  }
  void StartRecording() {
    uint16_t error = 0xFFFF;
    Record(r(), &error);
    ASSERT_EQ(error, ErrNone);
    ASSERT_EQ(r().state, StateRecording);
  }
  // Completes `count` device buffers; returns once the engine has handled them and the host has
  // received what they produced.
  void Complete(size_t count) {
    ASSERT_EQ(virtualaudio::CompleteInputBuffers(WAVE_MAPPER, count), count);
    ASSERT_TRUE(Barrier(r()));
    Pump();
  }
  void StopRecording() {
    Stop(r());
    ASSERT_EQ(r().state, StateOpen);
    Pump();  // notification 1: the host finishes the file
  }
  void RecordBuffers(size_t buffers) {
    StartRecording();
    Complete(buffers);
    StopRecording();
  }
  // For a run that ends by itself (limit, write failure).
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

  // What the device delivers for frames [first, first + frames), as stored in `f`.
  Bytes Expected(const CaptureFormat& f, uint64_t first, uint64_t frames) const {
    const WAVEFORMATEX device = test::Pcm(f.rate, f.channels, f.sampleFormat == 8 ? 8 : 16);
    Bytes out;
    for (uint64_t n = first; n < first + frames; ++n)
      for (int c = 0; c < f.channels; ++c)
        Store(f, virtualaudio::SampleValue(signal_, device, n, c), out);
    return out;
  }

  virtualaudio::Signal signal_;
  test::ScopedEnv tmpdir_{"TMPDIR", dir().c_str()};  // splice files go into the test's folder
  RecorderPtr r_;
};

}  // namespace voxl::testing
