// Opening large files: a 1 GiB RIFF/WAVE file (44100 Hz 16-bit stereo PCM, sparse, so it costs
// no disk) and a 100 MB headerless MPEG Layer-3 stream (a short lame-made stream repeated),
// through OpenFile and Close, against reading the first 64 KiB of the same file (open, read,
// close) in the same run.  Opening walks the header and the first frames only, so it should cost
// about as much as that read, whatever the size of the file.
//
// BM_OpenWave, BM_OpenMpegStream: each round opens the file through the recorder (read-only) and
//   reads its first 64 KiB, the order alternating; each side keeps its best round.
//   Counters:
//     open_us              wall time of OpenFile + Close;
//     read_64k_us          wall time of open + read of 64 KiB + close;
//     ratio_vs_64k_read    open_us / read_64k_us (about 1: opening does not read the file).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "alternate.h"
#include "api/recorder_creation.h"
#include "bench_support.h"
#include "platform/wave/virtual/virtual_device.h"
#include "wavefile/open_file.h"
#include "wavefile/recording_close.h"

namespace {

using namespace voxl;
using bench::Scratch;

constexpr uint64_t kWaveBytes = uint64_t{1} << 30;
constexpr uint64_t kStreamBytes = 100'000'000;

// A canonical 44-byte header, then holes up to 1 GiB.
bool WriteSparseWave(const std::string& path) {
  const auto data = static_cast<uint32_t>(kWaveBytes - 44);
  const std::string h = bench::CanonicalWaveHeader(data);
  std::ofstream(path, std::ios::binary).write(h.data(), static_cast<std::streamsize>(h.size()));
  return std::filesystem::file_size(path) == 44 && ::truncate(path.c_str(), kWaveBytes) == 0;
}

// Two seconds of lame's 128 kbit/s stream (no info frame, so copies join into one valid stream),
// repeated to 100 MB.
bool WriteMpegStream(const Scratch& s, const std::string& path) {
  const std::string cmd = "sox -n -r 44100 -b 16 -c 2 " + s.File("t.wav") +
                          " synth 2 sine 440 >/dev/null 2>&1 && lame -t --silent --cbr -b 128 " +
                          s.File("t.wav") + " " + s.File("t.mp3") + " >/dev/null 2>&1";
  if (std::system(cmd.c_str()) != 0) return false;
  std::ifstream in(s.File("t.mp3"), std::ios::binary);
  const std::string piece((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (piece.empty()) return false;
  std::ofstream out(path, std::ios::binary);
  for (uint64_t n = 0; n < kStreamBytes; n += piece.size()) {
    out.write(piece.data(), static_cast<std::streamsize>(piece.size()));
  }
  return static_cast<bool>(out.flush());
}

double Elapsed(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - since)
      .count();
}

// Microseconds of OpenFile + Close; negative when the open fails or finds too short a file.
double OpenOnce(Recorder& r, const std::string& path, int16_t kind, uint32_t minimumLength) {
  const std::u16string wide(path.begin(), path.end());
  BSTR name = SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
  r.fileKind = kind;
  r.readOnly = 1;
  uint16_t error = 0xFFFF;
  const auto start = std::chrono::steady_clock::now();
  OpenFile(r, name, &error);
  const uint32_t length = r.length;
  uint16_t closeError = 0;
  Close(r, &closeError);
  const double us = Elapsed(start);
  SysFreeString(name);
  return error == ErrNone && length >= minimumLength ? us : -1;
}

double Read64k(const std::string& path) {
  std::vector<char> buffer(65536);
  const auto start = std::chrono::steady_clock::now();
  const int fd = ::open(path.c_str(), O_RDONLY);
  const ssize_t got = fd < 0 ? -1 : ::read(fd, buffer.data(), buffer.size());
  if (fd >= 0) ::close(fd);
  return got == 65536 ? Elapsed(start) : -1;
}

void RunOpen(benchmark::State& state, bool mpeg) {
  setenv("VOXL_AUDIO_DRIVER", "virtual", 1);
  virtualaudio::Reset();
  const Scratch scratch("open-bench");
  const std::string path = scratch.File(mpeg ? "stream.mp3" : "big.wav");
  if (!scratch.ok() || !(mpeg ? WriteMpegStream(scratch, path) : WriteSparseWave(path))) {
    state.SkipWithError(mpeg ? "cannot make the stream (sox and lame needed)" : "no sparse file");
    return;
  }
  // The length the file must open with: all of it, less a little for the MPEG frame count.
  const auto minimum =
      static_cast<uint32_t>(mpeg ? kStreamBytes / 16000 * 44100 * 99 / 100 : (kWaveBytes - 44) / 4);
  Recorder* r = NewRecorder();
  double bestOpen = 0, bestRead = 0;
  bool readFirst = false;
  for (auto _ : state) {
    const auto [open, read] = voxl::bench::RunAlternating(
        readFirst, [&] { return OpenOnce(*r, path, mpeg ? 2 : 0, minimum); },
        [&] { return Read64k(path); });
    if (open < 0 || read < 0) {
      state.SkipWithError("the file did not open with its whole length, or cannot be read");
      break;
    }
    bestOpen = bestOpen > 0 ? std::min(bestOpen, open) : open;
    bestRead = bestRead > 0 ? std::min(bestRead, read) : read;
  }
  DeleteRecorder(r);
  if (bestOpen > 0 && bestRead > 0) {
    state.counters["open_us"] = bestOpen;
    state.counters["read_64k_us"] = bestRead;
    state.counters["ratio_vs_64k_read"] = bestOpen / bestRead;
  }
}

void BM_OpenWave(benchmark::State& state) {
  RunOpen(state, false);
}
void BM_OpenMpegStream(benchmark::State& state) {
  RunOpen(state, true);
}

BENCHMARK(BM_OpenWave)->Iterations(50)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_OpenMpegStream)->Iterations(50)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
