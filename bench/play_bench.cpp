// Playing an MP3 file, `voxl play -q` against `mpg123 -s`, whole process against whole process
// (process_race.h).  voxl plays through the virtual output with its free-running clock
// (VOXL_AUDIO_DRIVER=virtual VOXL_VIRTUAL_CLOCK=free: the buffers queued come back as soon as
// they are written), so the run costs what reading, decoding, the engine, the level meter and the
// notifications cost; mpg123 decodes the same file to its standard output, /dev/null.
//
// Inputs, made once per run in $TMPDIR (or /tmp, in the page cache): 600 s and 60 s of a 440 Hz
// tone on the left channel and pink noise on the right, 44100 Hz stereo, made by sox and encoded
// by lame at 128 kbit/s.
//
// BM_PlayAgainstMpg123: the 600 s file.  Counters as process_race.h says, with peak_rss_KiB and
//   peer_peak_rss_KiB.  Goal: cpu_ratio_min at most 1.1.
// BM_PlayMemoryLongAgainstShort: `voxl play -q` of the 600 s file against the 60 s one, the
//   order alternating.  Counters: long_rss_KiB and short_rss_KiB (the median peak resident
//   memory of each), rss_growth_KiB (their difference) and goal_rss_growth_KiB (1024: memory
//   stays flat however long the file).
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstdio>
#include <string>
#include <vector>

#include "alternate.h"
#include "bench_support.h"
#include "process_race.h"

namespace {

using voxl::bench::Scratch;
using voxl::bench::Shell;

const Scratch& Folder() {
  static const Scratch scratch("play-bench");
  return scratch;
}
std::string F(const std::string& name) {
  return Folder().File(name);
}

// The two streams, made on first use; false when sox or lame is missing.
bool Inputs() {
  static const bool made = [] {
    setenv("VOXL_AUDIO_DRIVER", "virtual", 1);
    setenv("VOXL_VIRTUAL_CLOCK", "free", 1);
    const auto make = [](const char* seconds, const std::string& name) {
      const std::string wave = F(name + ".wav");
      const bool ok = Shell("sox -n -r 44100 -b 16 -c 2 " + wave + " synth " + seconds +
                            " sine 440 pinknoise vol 0.5") &&
                      Shell("lame -t --silent --cbr -b 128 " + wave + " " + F(name + ".mp3"));
      std::remove(wave.c_str());
      return ok;
    };
    return Folder().ok() && make("600", "long") && make("60", "short");
  }();
  return made;
}

std::vector<std::string> VoxlPlay(const std::string& file) {
  return {VOXL_BINARY, "play", "-q", file};
}

void BM_PlayAgainstMpg123(benchmark::State& state) {
  if (!Inputs()) {
    state.SkipWithError("cannot make the streams (sox and lame needed)");
    return;
  }
  voxl::bench::Race race;
  race.ours = "voxl play -q (virtual output, free clock)";
  race.peer = "mpg123 -s";
  race.oursArgs = VoxlPlay(F("long.mp3"));
  race.peerArgs = {"mpg123", "-q", "-s", F("long.mp3")};
  race.goal = 1.1;
  race.memory = true;
  voxl::bench::RunRace(state, race);
}

void BM_PlayMemoryLongAgainstShort(benchmark::State& state) {
  if (!Inputs()) {
    state.SkipWithError("cannot make the streams (sox and lame needed)");
    return;
  }
  std::vector<double> longRss, shortRss;
  bool shortFirst = false;
  for (auto _ : state) {
    const auto [l, s] = voxl::bench::RunAlternating(
        shortFirst, [&] { return voxl::bench::RunProgram(VoxlPlay(F("long.mp3"))); },
        [&] { return voxl::bench::RunProgram(VoxlPlay(F("short.mp3"))); });
    if (l.cpu < 0 || s.cpu < 0) {
      state.SkipWithError("voxl play failed");
      return;
    }
    longRss.push_back(static_cast<double>(l.maxRssKiB));
    shortRss.push_back(static_cast<double>(s.maxRssKiB));
  }
  const double longer = voxl::bench::Median(longRss), shorter = voxl::bench::Median(shortRss);
  state.counters["long_rss_KiB"] = longer;
  state.counters["short_rss_KiB"] = shorter;
  state.counters["rss_growth_KiB"] = longer - shorter;
  state.counters["goal_rss_growth_KiB"] = 1024;
  state.SetLabel("whole processes: voxl play of 600 s vs of 60 s");
}

}  // namespace

BENCHMARK(BM_PlayAgainstMpg123)->Iterations(5)->Unit(benchmark::kSecond);
BENCHMARK(BM_PlayMemoryLongAgainstShort)->Iterations(5)->Unit(benchmark::kSecond);

BENCHMARK_MAIN();
