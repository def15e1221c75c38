// The cost of keeping the sizes on disk current while a run records (the data size, form size
// and "fact" count brought up to date after every device buffer, in one write of the header, so
// that a killed process leaves a file that opens): capture CPU with those writes against capture
// CPU without them.
//
// BM_SizeUpdateCost/<format>/<paced>: 600 s (PCM) or 3000 s (A-law) of audio recorded from the
//   virtual input into a new file, once with the size updates and once without (the test switch
//   SetSizeUpdatesForTesting), in an order that alternates from round to round.  Both are timed
//   in process CPU time (every thread) from Record until the host has taken the last block; each
//   side keeps its best round (other programs on the machine only ever add time).
//   Formats: 0 = 16-bit stereo 44100 Hz PCM (17640-byte buffers), 1 = A-law mono 8000 Hz
//   (800-byte buffers, the cheapest path a buffer takes, so the one write weighs most).
//   Pacing: 0 = free-running clock (buffers complete as fast as the engine hands them back);
//   1 = paced, one buffer completed at a time and its block taken before the next, as a real
//   device delivers them, engine and host waking for each.
//   Counters:
//     with_over_without  capture CPU with the updates over capture CPU without them.
//   Goal: with_over_without under 1.05 (the updates cost less than 5% of capture CPU).
//   Rounds vary by several per cent on a busy machine; run it more than once.
//
// Files go to $TMPDIR (or /tmp) and are removed afterwards.
#include <benchmark/benchmark.h>
#include <time.h>

#include <cstdlib>
#include <string>

#include "alternate.h"
#include "api/recorder_creation.h"
#include "bench_support.h"
#include "engine/transport.h"
#include "platform/wave/virtual/virtual_device.h"
#include "wavefile/recording_close.h"
#include "wavefile/recording_file.h"
#include "wavefile/riff_layout.h"

namespace {

using namespace voxl;

struct Format {
  uint16_t sampleFormat;
  uint16_t channels;
  uint32_t rate;
  uint32_t bytesPerSecond;  // of the host's blocks
  uint64_t seconds;         // recorded per round: enough for rounds of a tenth of a second or more
};
constexpr Format kFormats[] = {{16, 2, 44100, 176400, 600}, {106, 1, 8000, 8000, 3000}};

uint64_t gBlockBytes = 0;  // bytes the host callback received (host thread only)

void CALLBACK TakeBlock(void* format, DWORD, void* data, DWORD dataLength) {
  gBlockBytes += dataLength;
  std::free(format);
  std::free(data);
}

void Pump() {
  MSG msg{};
  while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE) > 0) DispatchMessageA(&msg);
}

// CPU seconds to record f.seconds of `f` into a new file at `path`, until the host has taken
// every block; negative when the recording cannot start.
double CaptureCpuSeconds(const std::string& path, const Format& f, bool paced, bool sizeUpdates) {
  setenv("VOXL_AUDIO_DRIVER", "virtual", 1);
  virtualaudio::Reset();
  virtualaudio::SetClock(paced ? virtualaudio::Clock::Manual : virtualaudio::Clock::FreeRunning);
  virtualaudio::SetInputSignal(0, virtualaudio::Signal{});  // silence: no synthesis cost
  Recorder* r = NewRecorder();
  RecorderCallbacks callbacks{};
  callbacks.block = TakeBlock;
  SetCallbacks(*r, callbacks);
  uint16_t error = 0;
  Close(*r, &error);
  r->sampleFormat = f.sampleFormat;
  r->channels = f.channels;
  r->sampleRate = f.rate;
  const std::u16string wide(path.begin(), path.end());
  BSTR name = SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
  NewRecording(*r, name, &error);
  SysFreeString(name);

  double cpu = -1;
  if (error == ErrNone) {
    SetSizeUpdatesForTesting(sizeUpdates);
    gBlockBytes = 0;
    const double start = bench::Now(CLOCK_PROCESS_CPUTIME_ID);
    Record(*r, &error);
    if (error == ErrNone && r->state == StateRecording) {
      const uint64_t total = f.seconds * f.bytesPerSecond;
      MSG msg{};
      while (gBlockBytes < total) {
        const uint64_t next = gBlockBytes + f.bytesPerSecond / 10;
        if (paced && virtualaudio::CompleteInputBuffers(WAVE_MAPPER, 1) != 1) break;
        while (gBlockBytes < (paced ? next : total) && GetMessageA(&msg, nullptr, 0, 0) > 0)
          DispatchMessageA(&msg);
      }
      Stop(*r);
      Pump();
      cpu = bench::Now(CLOCK_PROCESS_CPUTIME_ID) - start;
    }
    SetSizeUpdatesForTesting(true);
  }
  Close(*r, &error);
  Pump();
  DeleteRecorder(r);
  std::remove(path.c_str());
  virtualaudio::Reset();
  return cpu;
}

void BM_SizeUpdateCost(benchmark::State& state) {
  const Format& f = kFormats[state.range(0)];
  const bool paced = state.range(1) != 0;
  state.SetLabel(std::string(state.range(0) == 0 ? "pcm16 stereo 44100 Hz" : "a-law mono 8000 Hz") +
                 (paced ? ", paced" : ", free-running"));
  bench::Scratch scratch("sizes");
  const std::string path = scratch.File("take.wav");
  bench::Best best;  // ours: with the updates; peer: without
  bool withoutFirst = false;
  for (auto _ : state) {
    const auto [with, without] = bench::RunAlternating(
        withoutFirst, [&] { return CaptureCpuSeconds(path, f, paced, true); },
        [&] { return CaptureCpuSeconds(path, f, paced, false); });
    if (with <= 0 || without <= 0) {
      state.SkipWithError("recording could not start");
      return;
    }
    best.Add(with, without);
  }
  if (best.Valid()) state.counters["with_over_without"] = 1.0 / best.PeerOverOurs();
}

}  // namespace

BENCHMARK(BM_SizeUpdateCost)
    ->ArgsProduct({{0, 1}, {0, 1}})
    ->Iterations(11)
    ->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
