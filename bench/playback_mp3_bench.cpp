// MP3 playback: 120 s of a 128 kbit/s 44100 Hz stereo stream (made by lame from a tone on the
// left channel and pink noise on the right) opened as a headerless MPEG stream and played from
// the start through the virtual output with its free-running clock (buffers complete as fast as
// the engine refills them), against libmpg123 called directly decoding the same stream to a
// file as `mpg123 -w` does, both in this process (mp3_kernels.h).  The whole-process race, voxl
// convert against the mpg123 program: convert_bench.cpp.
//
// BM_PlaybackMp3: ours is the whole road of each buffer (file reads, decoder, level meter, device,
//   notifications to the host), timed in process CPU time (every thread) from Play until the
//   host has the end of playback; the peer is timed with the same clock.  Each round runs both,
//   the order alternating; each side keeps its best round.
//   Counters:
//     audio_s_per_cpu_s         seconds of audio one second of CPU plays;
//     cpu_ratio_vs_libmpg123    our CPU time per second of audio over libmpg123's.
//   Goal: cpu_ratio_vs_libmpg123 of at most 1.1.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "alternate.h"
#include "api/recorder_creation.h"
#include "bench_support.h"
#include "engine/transport.h"
#include "mp3_kernels.h"
#include "platform/wave/virtual/virtual_device.h"
#include "wavefile/open_file.h"
#include "wavefile/position.h"
#include "wavefile/recording_close.h"

extern char** environ;

namespace {

using namespace voxl;
using bench::Scratch;

constexpr double kAudioSeconds = 120;

bool gEnded = false;  // host thread only
void CALLBACK PlaybackEnded(DWORD) {
  gEnded = true;
}

// CPU seconds of playing the whole stream, and the seconds played; cpu < 0 when it failed.
std::pair<double, double> PlayOurs(const std::string& path) {
  virtualaudio::Reset();
  virtualaudio::KeepOutputCapture(false);  // played audio is counted, not kept
  virtualaudio::SetClock(virtualaudio::Clock::FreeRunning);
  Recorder* r = NewRecorder();
  RecorderCallbacks callbacks{};
  callbacks.playbackEnded = PlaybackEnded;
  SetCallbacks(*r, callbacks);
  const std::u16string wide(path.begin(), path.end());
  BSTR name = SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
  r->fileKind = 2;
  r->readOnly = 1;
  uint16_t error = 0xFFFF;
  OpenFile(*r, name, &error);
  SysFreeString(name);
  std::pair<double, double> result{-1, 0};
  if (error == ErrNone) {
    SetPosition(*r, 0);
    gEnded = false;
    const double start = voxl::bench::Now(CLOCK_PROCESS_CPUTIME_ID);
    Play(*r, &error);
    MSG msg{};
    while (error == ErrNone && !gEnded && GetMessageA(&msg, nullptr, 0, 0) > 0) {
      DispatchMessageA(&msg);
    }
    if (error == ErrNone)
      result = {voxl::bench::Now(CLOCK_PROCESS_CPUTIME_ID) - start, r->position / 44100.0};
  }
  Close(*r, &error);
  DeleteRecorder(r);
  return result;
}

void BM_PlaybackMp3(benchmark::State& state) {
  setenv("VOXL_AUDIO_DRIVER", "virtual", 1);
  const Scratch scratch("playback-mp3-bench");
  const std::string wave = scratch.File("t.wav"), stream = scratch.File("t.mp3");
  const std::string make = "sox -n -r 44100 -b 16 -c 2 " + wave + " synth " +
                           std::to_string(int(kAudioSeconds)) +
                           " sine 440 pinknoise vol 0.5 >/dev/null 2>&1 && lame -t --silent --cbr "
                           "-b 128 " +
                           wave + " " + stream + " >/dev/null 2>&1";
  if (!scratch.ok() || std::system(make.c_str()) != 0) {
    state.SkipWithError("cannot make the stream (sox and lame needed)");
    return;
  }
  const std::string peerOut = scratch.File("libmpg123.wav");
  double bestOurs = 0, bestPeer = 0;
  bool peerFirst = false;
  for (auto _ : state) {
    const auto [ours, theirs] = voxl::bench::RunAlternating(
        peerFirst, [&] { return PlayOurs(stream); },
        [&] {
          uint64_t bytes = 0;
          return voxl::bench::Mpg123InProcess(stream, peerOut, &bytes);
        });
    if (ours.first <= 0 || ours.second < kAudioSeconds - 1) {
      state.SkipWithError("playback failed or ended early");
      break;
    }
    if (theirs <= 0) {
      state.SkipWithError("libmpg123 failed; no peer to compare with");
      break;
    }
    const double oursPerSecond = ours.first / ours.second;
    bestOurs = bestOurs > 0 ? std::min(bestOurs, oursPerSecond) : oursPerSecond;
    bestPeer = bestPeer > 0 ? std::min(bestPeer, theirs / kAudioSeconds) : theirs / kAudioSeconds;
  }
  if (bestOurs > 0 && bestPeer > 0) {
    state.counters["audio_s_per_cpu_s"] = 1.0 / bestOurs;
    state.counters["cpu_ratio_vs_libmpg123"] = bestOurs / bestPeer;
    state.SetLabel("in process: the recorder's playback vs libmpg123 called directly");
  }
}

BENCHMARK(BM_PlaybackMp3)->Iterations(3)->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
