// The splice at the end of an insert-mode run: 1 s of 44100 Hz 16-bit stereo audio (176400
// bytes) inserted at the start of a recording with 100 MiB of data, so the whole data moves,
// against copying that file with `cp` in the same run.  Both are timed by the wall clock with the
// file in the page cache; "splice_over_cp" is the median of the per-round ratios (the splice
// reads and writes the data once, as cp does, so about 1 is the goal).
//
// Files go to $TMPDIR (or /tmp) and are removed afterwards.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "engine/capture_internal.h"
#include "platform/wave/virtual/virtual_device.h"
#include "wavefile/recording_file.h"

namespace {

using namespace voxl;
using Clock = std::chrono::steady_clock;

constexpr uint32_t kDataBytes = 100u * 1024 * 1024;
constexpr uint32_t kInsertBytes = 176400;  // 1 s

std::string TempName(const char* tag) {
  const char* dir = std::getenv("TMPDIR");
  return std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") + "/voxl_splice_bench_" + tag +
         "_" + std::to_string(getpid());
}

double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

// A recording of kDataBytes, as a finished capture run leaves it.
bool MakeRecording(Recorder& r, const std::string& path) {
  setenv("VOXL_AUDIO_DRIVER", "virtual", 1);
  virtualaudio::Reset();
  r.sampleFormat = 16;
  r.channels = 2;
  r.sampleRate = 44100;
  const std::u16string wide(path.begin(), path.end());
  BSTR name = SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
  uint16_t error = 0;
  NewRecording(r, name, &error);
  SysFreeString(name);
  if (error != ErrNone) return false;
  std::vector<char> piece(64 * 1024);
  for (size_t i = 0; i < piece.size(); ++i) piece[i] = static_cast<char>(i * 7);
  mmioSeek(r.fileHandle, static_cast<LONG>(r.dataChunk.dwDataOffset), SEEK_SET);
  for (uint32_t done = 0; done < kDataBytes; done += piece.size()) {
    if (mmioWrite(r.fileHandle, piece.data(), static_cast<LONG>(piece.size())) !=
        static_cast<LONG>(piece.size())) {
      return false;
    }
  }
  r.length = kDataBytes / 4;
  r.dataChunk.dwFlags |= MMIO_DIRTY;
  r.riffChunk.dwFlags |= MMIO_DIRTY;
  FinishRecordingFile(r);
  return true;
}

// What an insert-mode run at frame 0 leaves for the splice: the collected audio (in the engine's
// own splice file) and the length.
bool CollectInsert(Recorder& r) {
  r.position = 0;
  if (!OpenSpliceFile(r)) return false;
  std::vector<char> audio(kInsertBytes, 5);
  if (StoreInSpliceFile(r, audio.data(), kInsertBytes) != static_cast<int32_t>(kInsertBytes)) {
    return false;
  }
  r.insertMode = 1;
  r.length += kInsertBytes / 4;
  r.position = kInsertBytes / 4;
  return true;
}

void BM_SpliceAgainstCp(benchmark::State& state) {
  const std::string path = TempName("rec") + ".wav";
  const std::string copy = TempName("copy") + ".wav";
  Recorder r;
  if (!MakeRecording(r, path)) {
    state.SkipWithError("recording could not be made");
    return;
  }
  const std::string cp = "cp '" + path + "' '" + copy + "'";
  std::vector<double> ratios;
  double spliceSeconds = 0;
  double cpSeconds = 0;
  for (auto _ : state) {
    if (!CollectInsert(r)) {
      state.SkipWithError("splice file could not be made");
      break;
    }
    auto start = Clock::now();
    SpliceInsertion(r);
    const double splice = Seconds(start);
    FinishRecordingFile(r);  // the host's part: sizes written, records reread

    start = Clock::now();
    const int status = std::system(cp.c_str());
    const double plain = Seconds(start);
    std::remove(copy.c_str());
    if (status != 0) {
      state.SkipWithError("cp failed");
      break;
    }
    spliceSeconds += splice;
    cpSeconds += plain;
    ratios.push_back(splice / plain);
  }
  CloseRecordingTarget(r);
  std::remove(path.c_str());
  if (ratios.empty()) return;
  std::sort(ratios.begin(), ratios.end());
  state.counters["splice_over_cp"] = ratios[ratios.size() / 2];
  state.counters["splice_MiB_per_s"] = kDataBytes / 1048576.0 * ratios.size() / spliceSeconds;
  state.counters["cp_MiB_per_s"] = kDataBytes / 1048576.0 * ratios.size() / cpSeconds;
}

}  // namespace

BENCHMARK(BM_SpliceAgainstCp)->Iterations(7)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
