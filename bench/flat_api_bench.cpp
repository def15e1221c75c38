// The flat capture functions' block hand-off, on the host's side: a captured 100 ms block queued
// by the block callback, taken with GetNextACMBlock and freed with FreeACMBlock.
//
// BM_FlatBlockHandOff: 100 blocks of 17640 bytes handed off, against the same allocations and
//   copies made without the pending list and the message (the engine's copy, the queued copy,
//   the host's copy).  "handoff_over_copy" is the ratio: what the list and the post add.
//   "share_of_block_time" sets the hand-off of one block against the 100 ms of audio it holds.
// BM_FlatBlockBacklog: 36000 blocks (an hour of 100 ms blocks by count) queued and taken, both
//   ways the same work in another order: all queued before the first is taken (a list of up to
//   36000), against each taken as soon as it is queued (a one-block list).  The blocks hold 16
//   bytes, so that what is timed is the list's work, not the copying of audio.
//   "backlog_over_steady" should stay near 1: a host that falls behind does not pay more per
//   block as the list grows.
// Both time this thread's CPU time and keep the best round of each side (other programs on the
// machine only ever add time).  Each block also posts its ready message to this thread; those
// are dropped between the timed stretches, so that the thread's queue does not grow in the run.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <time.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "api/flat_api.h"
#include "platform/wave/wave_driver.h"

namespace {

constexpr DWORD kBlockBytes = 17640;
constexpr size_t kBacklogBlocks = 36000;
constexpr DWORD kSmallBlockBytes = 16;

WAVEFORMATEX Format() {
  return WAVEFORMATEX{WAVE_FORMAT_PCM, 2, 44100, 176400, 4, 16, 0};
}

// The engine hands over heap copies of the format and the data.
void Deliver(const std::vector<uint8_t>& audio) {
  const WAVEFORMATEX format = Format();
  void* formatCopy = std::malloc(sizeof format);
  std::memcpy(formatCopy, &format, sizeof format);
  const auto bytes = static_cast<DWORD>(audio.size());
  void* data = std::malloc(bytes);
  std::memcpy(data, audio.data(), bytes);
  voxl::flat::OnBlock(formatCopy, sizeof format, data, bytes);
}

void TakeOne() {
  AcmBlock* block = nullptr;
  if (GetNextACMBlock(&block) != 0) {
    benchmark::DoNotOptimize(ACM_BLOCK_DATA(block)[block->dataLength - 1]);
    FreeACMBlock(block);
  }
}

// The same allocations and copies without the list.
void CopyOnly(const std::vector<uint8_t>& audio) {
  const WAVEFORMATEX format = Format();
  void* formatCopy = std::malloc(sizeof format);
  std::memcpy(formatCopy, &format, sizeof format);
  void* data = std::malloc(kBlockBytes);
  std::memcpy(data, audio.data(), kBlockBytes);
  void* queued = std::malloc(40 + kBlockBytes);
  std::memcpy(static_cast<uint8_t*>(queued) + 40, data, kBlockBytes);
  std::free(formatCopy);
  std::free(data);
  benchmark::DoNotOptimize(queued);
  void* host = std::malloc(24 + kBlockBytes);
  std::memcpy(static_cast<uint8_t*>(host) + 24, static_cast<uint8_t*>(queued) + 40, kBlockBytes);
  std::free(queued);
  benchmark::DoNotOptimize(static_cast<uint8_t*>(host)[kBlockBytes - 1]);
  std::free(host);
}

void DropPostedMessages() {
  MSG msg{};
  while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE) > 0) {
  }
}

// CPU time of the calling thread, in seconds: everything timed here runs on it, and unlike the
// wall clock it does not count the time other programs hold the processor.
double ThreadSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// The flat functions need their recorder; the virtual driver stands in for the sound card.
bool Init() {
  voxl::wave::SelectDriverForTesting("virtual");
  return InitACM(nullptr) != 0;
}

void BM_FlatBlockHandOff(benchmark::State& state) {
  if (!Init()) {
    state.SkipWithError("InitACM failed");
    return;
  }
  const std::vector<uint8_t> audio(kBlockBytes, 0x5A);
  // Best time of 100 blocks each way over the iterations: other work on the machine only adds.
  double handOff = 0, copy = 0;
  auto best = [](double& kept, double seconds) {
    kept = kept > 0 ? std::min(kept, seconds) : seconds;
  };
  for (auto _ : state) {
    double start = ThreadSeconds();
    for (int i = 0; i < 100; ++i) {
      Deliver(audio);
      TakeOne();
    }
    best(handOff, ThreadSeconds() - start);
    DropPostedMessages();
    start = ThreadSeconds();
    for (int i = 0; i < 100; ++i) CopyOnly(audio);
    best(copy, ThreadSeconds() - start);
  }
  DeinitACM();
  if (copy > 0) state.counters["handoff_over_copy"] = handOff / copy;
  state.counters["share_of_block_time"] = handOff / 100.0 / 0.1;
}
BENCHMARK(BM_FlatBlockHandOff)->Unit(benchmark::kMillisecond);

void BM_FlatBlockBacklog(benchmark::State& state) {
  if (!Init()) {
    state.SkipWithError("InitACM failed");
    return;
  }
  // Keep freed heap memory between rounds: otherwise each round's backlog maps and faults in its
  // pages afresh, and those faults, not the list, decide the figure.
  mallopt(M_TRIM_THRESHOLD, 256 << 20);
  const std::vector<uint8_t> audio(kSmallBlockBytes, 0x5A);
  double backlog = 0, steady = 0;  // best of the rounds
  auto best = [](double& kept, double seconds) {
    kept = kept > 0 ? std::min(kept, seconds) : seconds;
  };
  bool steadyFirst = false;
  for (auto _ : state) {
    for (int way = 0; way < 2; ++way) {
      const double start = ThreadSeconds();
      if ((way == 0) == steadyFirst) {
        // Steady: each take finds a one-block list.
        for (size_t i = 0; i < kBacklogBlocks; ++i) {
          Deliver(audio);
          TakeOne();
        }
        best(steady, ThreadSeconds() - start);
      } else {
        for (size_t i = 0; i < kBacklogBlocks; ++i) Deliver(audio);
        for (size_t i = 0; i < kBacklogBlocks; ++i) TakeOne();
        best(backlog, ThreadSeconds() - start);
      }
      DropPostedMessages();
    }
    steadyFirst = !steadyFirst;
  }
  DeinitACM();
  if (steady > 0) state.counters["backlog_over_steady"] = backlog / steady;
}
BENCHMARK(BM_FlatBlockBacklog)->Unit(benchmark::kMillisecond)->Iterations(30);

}  // namespace

BENCHMARK_MAIN();
