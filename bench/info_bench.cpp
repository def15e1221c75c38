// `voxl info` as a whole process against `soxi` on the same 400 MB RIFF/WAVE file (44100 Hz
// 16-bit stereo PCM, sparse, so it costs no disk), in the same run.  Both only read the header,
// so what this compares is what a command costs from exec to exit: loading, setting up, and
// (for voxl) that no sound device is asked on the way.  voxl runs with the environment the
// user has (VOXL_AUDIO_DRIVER not set), so a command that probed ALSA would pay for it here.
//
// BM_InfoAgainstSoxi: each round runs both, in alternating order.  Counters:
//   voxl_ms, soxi_ms        best wall time of each, exec to exit;
//   ratio_min               voxl_ms / soxi_ms (best against best);
//   ratio_median            the median of the per-round ratios (goal for both: at most 1.2);
//   cpu_ratio_median        the same for user + system CPU time.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "alternate.h"
#include "bench_support.h"

// The build gives the voxl it made; without it the one on PATH runs.
#ifndef VOXL_BINARY
#define VOXL_BINARY "voxl"
#endif

namespace {

using voxl::bench::ProcessTimes;
using voxl::bench::RunProgram;

constexpr uint64_t kWaveBytes = 400'000'000;

bool WriteSparseWave(const std::string& path) {
  const std::string h = voxl::bench::CanonicalWaveHeader(static_cast<uint32_t>(kWaveBytes - 44));
  std::ofstream(path, std::ios::binary).write(h.data(), static_cast<std::streamsize>(h.size()));
  return std::filesystem::file_size(path) == 44 &&
         ::truncate(path.c_str(), static_cast<off_t>(kWaveBytes)) == 0;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0.0 : v[v.size() / 2];
}

void BM_InfoAgainstSoxi(benchmark::State& state) {
  unsetenv("VOXL_AUDIO_DRIVER");
  const voxl::bench::Scratch scratch("info-bench");
  const std::string path = scratch.File("big.wav");
  if (!scratch.ok() || !WriteSparseWave(path)) {
    state.SkipWithError("no sparse file");
    return;
  }
  voxl::bench::Best best;
  std::vector<double> ratios, cpuRatios;
  bool soxiFirst = false;
  for (auto _ : state) {
    const auto [ours, peer] = voxl::bench::RunAlternating(
        soxiFirst,
        [&] {
          return RunProgram({VOXL_BINARY, "info", path});
        },
        [&] {
          return RunProgram({"soxi", path});
        });
    if (ours.wall < 0 || peer.wall < 0) {
      state.SkipWithError("voxl info or soxi failed (soxi comes with sox)");
      return;
    }
    best.Add(ours.wall, peer.wall);
    ratios.push_back(ours.wall / peer.wall);
    if (peer.cpu > 0) cpuRatios.push_back(ours.cpu / peer.cpu);
  }
  state.counters["voxl_ms"] = best.ours * 1e3;
  state.counters["soxi_ms"] = best.peer * 1e3;
  state.counters["ratio_min"] = best.ours / best.peer;
  state.counters["ratio_median"] = Median(ratios);
  state.counters["cpu_ratio_median"] = Median(cpuRatios);
}

BENCHMARK(BM_InfoAgainstSoxi)->Iterations(60)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
