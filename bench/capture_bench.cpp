// Capture into a 44100 Hz 16-bit stereo PCM file on the virtual input with its free-running
// clock: the whole road of each buffer (engine, file, blocks to the host, the host's callback).
//
// BM_CaptureMemoryStaysFlat: peak resident memory after 1 minute and after 30 minutes of
//   recorded audio in one run; "rss_30min_over_1min" should stay close to 1 (nothing grows with
//   the recording).
// BM_CaptureAgainstWrite: the process CPU time of recording 60 s of audio against the CPU time
//   of writing the same bytes, in the same buffer sizes, with write(2) to another file in the
//   same folder.  "capture_cpu_over_write_cpu" is the ratio (lower is better);
//   "audio_s_per_cpu_s" says how many seconds of audio one second of CPU records.
//
// Files go to $TMPDIR (or /tmp) and are removed afterwards.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "engine/transport.h"
#include "platform/wave/virtual/virtual_device.h"
#include "wavefile/recording_file.h"

namespace {

using namespace voxl;

constexpr uint32_t kRate = 44100;
constexpr uint32_t kBytesPerSecond = kRate * 4;
constexpr uint32_t kBufferBytes = kBytesPerSecond / 10;

std::string TempName(const char* tag) {
  const char* dir = std::getenv("TMPDIR");
  return std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") + "/voxl_capture_bench_" + tag +
         "_" + std::to_string(getpid()) + ".wav";
}

double CpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return t.tv_sec + t.tv_nsec * 1e-9;
}

// Peak resident memory in KiB since the last ResetPeakMemory (or since the start).
long PeakMemoryKiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}
void ResetPeakMemory() {
  std::ofstream("/proc/self/clear_refs") << "5";
}

uint64_t gBlockBytes = 0;  // bytes the host callback received (host thread only)

void CALLBACK TakeBlock(void* format, DWORD, void* data, DWORD dataLength) {
  gBlockBytes += dataLength;
  std::free(format);
  std::free(data);
}

// A recorder on the free-running virtual input recording into a new file at `path`.
class CaptureSession {
 public:
  explicit CaptureSession(const std::string& path) : path_(path) {
    setenv("VOXL_AUDIO_DRIVER", "virtual", 1);
    virtualaudio::Reset();
    virtualaudio::SetClock(virtualaudio::Clock::FreeRunning);
    // Silence: the device's own sine synthesis would otherwise dominate the CPU time.
    virtualaudio::SetInputSignal(0, virtualaudio::Signal{});
    r_ = NewRecorder();
    RecorderCallbacks callbacks{};
    callbacks.block = TakeBlock;
    SetCallbacks(*r_, callbacks);
    uint16_t error = 0;
    Close(*r_, &error);
    r_->sampleFormat = 16;
    r_->channels = 2;
    r_->sampleRate = kRate;
    const std::u16string wide(path.begin(), path.end());
    BSTR name = SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
    NewRecording(*r_, name, &error);
    SysFreeString(name);
    ok_ = error == ErrNone;
  }
  ~CaptureSession() {
    uint16_t error = 0;
    Close(*r_, &error);
    Pump();
    DeleteRecorder(r_);
    std::remove(path_.c_str());
    virtualaudio::Reset();
  }
  bool ok() const { return ok_; }

  bool Start() {
    uint16_t error = 0;
    Record(*r_, &error);
    return error == ErrNone && r_->state == StateRecording;
  }
  // Takes messages as the host would until `bytes` of blocks have arrived in all.
  void RunUntil(uint64_t bytes) {
    MSG msg{};
    while (gBlockBytes < bytes && GetMessageA(&msg, nullptr, 0, 0) > 0) DispatchMessageA(&msg);
  }
  void StopAndDrain() {
    Stop(*r_);
    Pump();
  }

 private:
  static void Pump() {
    MSG msg{};
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE) > 0) DispatchMessageA(&msg);
  }
  std::string path_;
  Recorder* r_ = nullptr;
  bool ok_ = false;
};

// CPU seconds to write `bytes` in device-buffer pieces with write(2).
double WriteCpuSeconds(const std::string& path, uint64_t bytes) {
  std::vector<char> piece(kBufferBytes, 1);
  const double start = CpuSeconds();
  const int fd = open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0600);
  if (fd < 0) return -1;
  for (uint64_t done = 0; done < bytes; done += piece.size()) {
    if (write(fd, piece.data(), piece.size()) != static_cast<ssize_t>(piece.size())) break;
  }
  close(fd);
  const double seconds = CpuSeconds() - start;
  unlink(path.c_str());
  return seconds;
}

void BM_CaptureMemoryStaysFlat(benchmark::State& state) {
  for (auto _ : state) {
    CaptureSession session(TempName("memory"));
    if (!session.ok() || !session.Start()) {
      state.SkipWithError("recording could not start");
      return;
    }
    ResetPeakMemory();
    gBlockBytes = 0;
    session.RunUntil(60ull * kBytesPerSecond);
    const long oneMinute = PeakMemoryKiB();
    session.RunUntil(1800ull * kBytesPerSecond);
    const long thirtyMinutes = PeakMemoryKiB();
    session.StopAndDrain();
    state.counters["rss_1min_kib"] = static_cast<double>(oneMinute);
    state.counters["rss_30min_kib"] = static_cast<double>(thirtyMinutes);
    state.counters["rss_30min_over_1min"] =
        oneMinute > 0 ? static_cast<double>(thirtyMinutes) / oneMinute : 0.0;
  }
}

void BM_CaptureAgainstWrite(benchmark::State& state) {
  constexpr uint64_t kAudioBytes = 60ull * kBytesPerSecond;
  double captureCpu = 0;
  double writeCpu = 0;
  for (auto _ : state) {
    {
      CaptureSession session(TempName("capture"));
      if (!session.ok()) {
        state.SkipWithError("recording could not be created");
        return;
      }
      gBlockBytes = 0;
      const double start = CpuSeconds();
      if (!session.Start()) {
        state.SkipWithError("recording could not start");
        return;
      }
      session.RunUntil(kAudioBytes);
      session.StopAndDrain();
      captureCpu += CpuSeconds() - start;
    }
    writeCpu += WriteCpuSeconds(TempName("write"), kAudioBytes);
  }
  const double audioSeconds = 60.0 * static_cast<double>(state.iterations());
  state.counters["audio_s_per_cpu_s"] = captureCpu > 0 ? audioSeconds / captureCpu : 0.0;
  state.counters["capture_cpu_over_write_cpu"] = writeCpu > 0 ? captureCpu / writeCpu : 0.0;
}

}  // namespace

BENCHMARK(BM_CaptureMemoryStaysFlat)->Iterations(1)->Unit(benchmark::kSecond);
BENCHMARK(BM_CaptureAgainstWrite)->Iterations(3)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
