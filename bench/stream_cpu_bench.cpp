// Real-time capture CPU: `voxl stream` (the eight flat capture functions, raw PCM to stdout)
// against `arecord -f cd` with its defaults, both through ALSA's default device for the same
// seconds, in the same run.  Both record 44100 Hz 16-bit stereo from what ALSA's default device
// serves; run it with the PulseAudio null sink (eval "$(scripts/start-pulse.sh)"), whose monitor
// is then the default source.  Only the CPU each program uses matters here (user + system time
// of the child, from wait4), as a share of one core over its wall time.
//
// BM_StreamAgainstArecord: each round runs both for kSeconds, in alternating order.  Counters:
//   voxl_cpu_pct, arecord_cpu_pct   the smallest share of a core of each;
//   ratio_min                       voxl_cpu_pct / arecord_cpu_pct (best against best);
//   ratio_median                    the median of the per-round ratios (goal: at most 2).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>
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

constexpr int kSeconds = 5;

// Share of one core in percent; negative when the program failed.
double CorePercent(const ProcessTimes& t) {
  return t.cpu < 0 || t.wall <= 0 ? -1.0 : 100.0 * t.cpu / t.wall;
}

void BM_StreamAgainstArecord(benchmark::State& state) {
  setenv("VOXL_AUDIO_DRIVER", "alsa", 1);
  const std::string seconds = std::to_string(kSeconds);
  voxl::bench::Best best;
  std::vector<double> ratios;
  bool arecordFirst = false;
  for (auto _ : state) {
    const auto [ours, peer] = voxl::bench::RunAlternating(
        arecordFirst,
        [&] {
          return CorePercent(RunProgram({VOXL_BINARY, "stream", "--seconds", seconds, "-q", "-"}));
        },
        [&] {
          return CorePercent(RunProgram({"arecord", "-f", "cd", "-d", seconds, "-q", "-t", "raw"}));
        });
    if (ours <= 0 || peer <= 0) {
      state.SkipWithError("voxl stream or arecord failed (is a sound server running?)");
      return;
    }
    best.Add(ours, peer);
    ratios.push_back(ours / peer);
  }
  std::sort(ratios.begin(), ratios.end());
  state.counters["voxl_cpu_pct"] = best.ours;
  state.counters["arecord_cpu_pct"] = best.peer;
  state.counters["ratio_min"] = best.ours / best.peer;
  state.counters["ratio_median"] = ratios[ratios.size() / 2];
}

BENCHMARK(BM_StreamAgainstArecord)->Iterations(4)->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
