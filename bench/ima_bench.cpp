// IMA ADPCM, `voxl convert` against ffmpeg, whole process against whole process
// (process_race.h), on 600 s of pink noise at 44100 Hz stereo 16-bit (105.8 MB as PCM, 26.5 MB
// encoded), made with sox in $TMPDIR (or /tmp, in the page cache) once per run.
//
// BM_Encode: `voxl convert -q IN OUT --format ima` against `ffmpeg -i IN -c:a adpcm_ima_wav OUT`.
//   Goal: cpu_ratio_min (our CPU time over ffmpeg's, best rounds) of at most 1.0.
// BM_Decode: both decode the IMA ADPCM WAVE file voxl made back to 16-bit PCM
//   (`ffmpeg -c:a pcm_s16le`).
//
// voxl runs with VOXL_AUDIO_DRIVER=virtual: a conversion needs no device.  Other work on the
// machine only ever adds time, so the best rounds are the steadiest figures; the medians show
// the spread.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <string>

#include "bench_support.h"
#include "process_race.h"

namespace {

using voxl::bench::Scratch;
using voxl::bench::Shell;

const Scratch& Folder() {
  static const Scratch scratch("ima-bench");
  return scratch;
}

bool Inputs() {
  static const bool made = [] {
    setenv("VOXL_AUDIO_DRIVER", "virtual", 1);
    const Scratch& s = Folder();
    return s.ok() &&
           Shell("sox -n -r 44100 -b 16 -c 2 " + s.File("pcm.wav") +
                 " synth 600 pinknoise vol 0.5") &&
           Shell(std::string(VOXL_BINARY) + " convert -q " + s.File("pcm.wav") + " " +
                 s.File("ima.wav") + " --format ima");
  }();
  return made;
}

void Race(benchmark::State& state, const std::string& in, bool encode) {
  if (!Inputs()) {
    state.SkipWithError("cannot make the inputs (sox and voxl needed)");
    return;
  }
  const Scratch& s = Folder();
  const std::string peerOut = s.File("ffmpeg.wav");
  voxl::bench::RunRace(
      state,
      voxl::bench::VoxlAgainst(
          VOXL_BINARY, s.File(in), s.File("ours.wav"),
          encode ? std::vector<std::string>{"--format", "ima"} : std::vector<std::string>{},
          encode ? "ffmpeg -c:a adpcm_ima_wav" : "ffmpeg -c:a pcm_s16le",
          voxl::bench::FfmpegArgs(s.File(in), encode ? "adpcm_ima_wav" : "pcm_s16le", peerOut),
          peerOut, encode ? 1.0 : 0));
}

void BM_Encode(benchmark::State& state) {
  Race(state, "pcm.wav", true);
}
void BM_Decode(benchmark::State& state) {
  Race(state, "ima.wav", false);
}

BENCHMARK(BM_Encode)->Iterations(5)->Unit(benchmark::kSecond);
BENCHMARK(BM_Decode)->Iterations(5)->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
