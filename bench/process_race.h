// A race of two whole processes on the same job: `voxl convert` against a peer program (ffmpeg,
// sox, lame, mpg123), file to file, or `voxl play` against a player.  Both are started with
// posix_spawn on the same input in the scratch folder (in the page cache); a converter writes a
// new file there, removed before every round, so start-up, reading, the codec and writing count
// on both sides.  Each round runs both, the order alternating (alternate.h); CPU time (user +
// system), peak resident memory and wall time come from wait4 and the monotonic clock.  The
// counters are our time over the peer's, from the best round of each side and from the median
// rounds (below 1 = ours is faster):
//   cpu_ratio_min, cpu_ratio_median, wall_ratio_min, wall_ratio_median
// goal_cpu_ratio, the most cpu_ratio_min may be, and, when the race asks, the median peak
// resident memory of each side: peak_rss_KiB, peer_peak_rss_KiB.
#pragma once

#include <benchmark/benchmark.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "alternate.h"
#include "bench_support.h"

namespace voxl::bench {

struct Race {
  std::string ours;  // what the label calls our side
  std::string peer;  // the peer's command in words
  std::vector<std::string> oursArgs, peerArgs;
  std::string oursOut, peerOut;  // removed before each round, checked after it; empty = none
  double goal = 0;               // the most cpu_ratio_min may be; 0 = none
  bool memory = false;           // report the peak resident memory of both sides
};

inline double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n == 0 ? 0 : n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

inline long long FileSize(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

// The path of the voxl program the build made.
#ifndef VOXL_BINARY
#define VOXL_BINARY "voxl"
#endif

// Runs `command` through the shell, its output thrown away; true when it succeeds.
inline bool Shell(const std::string& command) {
  return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

// `ffmpeg -i IN -c:a CODEC OUT`, quietly, replacing OUT.
inline std::vector<std::string> FfmpegArgs(const std::string& in, const std::string& codec,
                                           const std::string& out) {
  return {"ffmpeg", "-nostdin", "-v", "error", "-y", "-i", in, "-c:a", codec, out};
}

// `voxl convert -q ARGS... IN OUT` against the peer's command.
inline Race VoxlAgainst(const std::string& voxl, const std::string& in, const std::string& out,
                        const std::vector<std::string>& args, const std::string& peer,
                        std::vector<std::string> peerArgs, const std::string& peerOut,
                        double goal) {
  Race race;
  race.oursOut = out;
  race.oursArgs = {voxl, "convert", "-q"};
  race.oursArgs.insert(race.oursArgs.end(), args.begin(), args.end());
  race.oursArgs.push_back(in);
  race.oursArgs.push_back(out);
  race.ours = "voxl convert";
  for (const std::string& a : args) race.ours += " " + a;
  race.peer = peer;
  race.peerArgs = std::move(peerArgs);
  race.peerOut = peerOut;
  race.goal = goal;
  return race;
}

// Runs the race for each iteration of `state` and sets its counters and label.
inline void RunRace(benchmark::State& state, const Race& race) {
  std::vector<double> oursCpu, peerCpu, oursWall, peerWall, oursRss, peerRss;
  const bool files = !race.oursOut.empty();
  bool peerFirst = false;
  for (auto _ : state) {
    unlink(race.oursOut.c_str());
    unlink(race.peerOut.c_str());
    const auto [o, p] = RunAlternating(
        peerFirst, [&] { return RunProgram(race.oursArgs); },
        [&] { return RunProgram(race.peerArgs); });
    if (o.cpu < 0 || (files && FileSize(race.oursOut) <= 0)) {
      state.SkipWithError((race.ours + " failed").c_str());
      return;
    }
    if (p.cpu < 0 || (files && FileSize(race.peerOut) <= 0)) {
      state.SkipWithError(("the peer is not installed or failed: " + race.peer).c_str());
      return;
    }
    // The same job: outputs within 5 % of each other in size.
    const double sizes =
        files ? static_cast<double>(FileSize(race.oursOut)) / FileSize(race.peerOut) : 1.0;
    if (sizes < 0.95 || sizes > 1.05) {
      state.SkipWithError("the two outputs differ in size by more than 5 %");
      return;
    }
    oursCpu.push_back(o.cpu);
    peerCpu.push_back(p.cpu);
    oursWall.push_back(o.wall);
    peerWall.push_back(p.wall);
    oursRss.push_back(static_cast<double>(o.maxRssKiB));
    peerRss.push_back(static_cast<double>(p.maxRssKiB));
  }
  unlink(race.oursOut.c_str());
  unlink(race.peerOut.c_str());
  if (oursCpu.empty()) return;
  const auto ratio = [](const std::vector<double>& a, const std::vector<double>& b, bool median) {
    return median ? Median(a) / Median(b)
                  : *std::min_element(a.begin(), a.end()) / *std::min_element(b.begin(), b.end());
  };
  state.counters["cpu_ratio_min"] = ratio(oursCpu, peerCpu, false);
  state.counters["cpu_ratio_median"] = ratio(oursCpu, peerCpu, true);
  state.counters["wall_ratio_min"] = ratio(oursWall, peerWall, false);
  state.counters["wall_ratio_median"] = ratio(oursWall, peerWall, true);
  if (race.goal > 0) state.counters["goal_cpu_ratio"] = race.goal;
  if (race.memory) {
    state.counters["peak_rss_KiB"] = Median(oursRss);
    state.counters["peer_peak_rss_KiB"] = Median(peerRss);
  }
  state.SetLabel("whole processes: " + race.ours + " vs " + race.peer);
}

}  // namespace voxl::bench
