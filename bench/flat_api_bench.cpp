// The flat capture functions' block hand-off, on the host's side: a captured 100 ms block queued
// by the block callback, taken with GetNextACMBlock and freed with FreeACMBlock.
//
// BM_FlatBlockHandOff: per 17640-byte block, against the same allocations and copies made
//   without the pending list and the message (the engine's copy, the queued copy, the host's
//   copy).  "handoff_over_copy" is the ratio: what the list and the post add.
//   "share_of_block_time" sets the hand-off of one block against the 100 ms of audio it holds.
// BM_FlatBlockBacklog: taking blocks when ten minutes of them (6000, about 100 MiB) wait, against
// taking each as
//   it arrives.  "backlog_over_steady" per block should stay near 1: a host that falls behind
//   does not pay more per block as the list grows.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "api/flat_api.h"
#include "platform/wave/wave_driver.h"

namespace {

constexpr DWORD kBlockBytes = 17640;
constexpr size_t kBacklogBlocks = 36000;
constexpr DWORD kSmallBlockBytes = 16;

using Clock = std::chrono::steady_clock;

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

double Seconds(Clock::duration d) {
  return std::chrono::duration<double>(d).count();
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
  Clock::duration handOff{}, copy{};
  for (auto _ : state) {
    auto start = Clock::now();
    for (int i = 0; i < 100; ++i) {
      Deliver(audio);
      TakeOne();
    }
    handOff += Clock::now() - start;
    start = Clock::now();
    for (int i = 0; i < 100; ++i) CopyOnly(audio);
    copy += Clock::now() - start;
  }
  DeinitACM();
  state.counters["handoff_over_copy"] = Seconds(handOff) / Seconds(copy);
  const double perBlock = Seconds(handOff) / (100.0 * static_cast<double>(state.iterations()));
  state.counters["share_of_block_time"] = perBlock / 0.1;
}
BENCHMARK(BM_FlatBlockHandOff)->Unit(benchmark::kMillisecond);

void BM_FlatBlockBacklog(benchmark::State& state) {
  if (!Init()) {
    state.SkipWithError("InitACM failed");
    return;
  }
  const std::vector<uint8_t> audio(kSmallBlockBytes, 0x5A);
  Clock::duration backlog{}, steady{};
  for (auto _ : state) {
    for (size_t i = 0; i < kBacklogBlocks; ++i) Deliver(audio);
    auto start = Clock::now();
    for (size_t i = 0; i < kBacklogBlocks; ++i) TakeOne();
    backlog += Clock::now() - start;
    // Steady: one waits at a time, so each take finds a one-block list.
    Clock::duration taking{};
    for (size_t i = 0; i < kBacklogBlocks; ++i) {
      Deliver(audio);
      start = Clock::now();
      TakeOne();
      taking += Clock::now() - start;
    }
    steady += taking;
  }
  DeinitACM();
  state.counters["backlog_over_steady"] = Seconds(backlog) / Seconds(steady);
}
BENCHMARK(BM_FlatBlockBacklog)->Unit(benchmark::kMillisecond)->Iterations(2);

}  // namespace

BENCHMARK_MAIN();
