// The level meter against a plain read of the same memory, in the same run: MeasureLevels on a
// 100 ms buffer of 16-bit stereo at 44100 Hz (4410 frames) against summing that buffer's
// bytes as 64-bit words.  Counters: "meter_samples_per_s", "read_samples_per_s" and
// "meter_over_read", the median of the per-round rate ratios (goal: at least 0.5).  The recorder
// has no helper window, so the measurement's notification post is skipped; one post per buffer is
// not what this compares.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <numeric>
#include <vector>

#include "engine/levels.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kFrames = 4410;
constexpr int kCallsPerRound = 2000;

std::vector<int16_t> SineBuffer() {
  std::vector<int16_t> samples(kFrames * 2);
  for (int i = 0; i < kFrames; ++i) {
    const double phase = 2.0 * 3.141592653589793 * 1000.0 * i / 44100.0;
    samples[2 * i] = static_cast<int16_t>(20000.0 * std::sin(phase));
    samples[2 * i + 1] = static_cast<int16_t>(-12000.0 * std::sin(phase));
  }
  return samples;
}

// Touches every byte of the buffer as fast as the machine reads memory: a wrapping sum of its
// 64-bit words (four samples each), which the compiler vectorises.
uint64_t PlainRead(const int16_t* samples, size_t count) {
  const size_t words = count * sizeof(int16_t) / sizeof(uint64_t);
  uint64_t sum = 0;
  for (size_t i = 0; i < words; ++i) {
    uint64_t word;
    std::memcpy(&word, reinterpret_cast<const char*>(samples) + i * sizeof word, sizeof word);
    sum += word;
  }
  return sum;
}

void BM_MeterAgainstPlainRead(benchmark::State& state) {
  std::vector<int16_t> samples = SineBuffer();
  voxl::Recorder r;
  r.pcmFormat.wFormatTag = WAVE_FORMAT_PCM;
  r.pcmFormat.nChannels = 2;
  r.pcmFormat.nSamplesPerSec = 44100;
  r.pcmFormat.wBitsPerSample = 16;
  r.pcmFormat.nBlockAlign = 4;
  r.pcmFormat.nAvgBytesPerSec = 176400;
  WAVEHDR header{};
  header.lpData = reinterpret_cast<LPSTR>(samples.data());
  header.dwBufferLength = static_cast<DWORD>(samples.size() * sizeof(int16_t));
  header.dwBytesRecorded = header.dwBufferLength;

  std::vector<double> ratios;
  double meterSeconds = 0.0;
  double readSeconds = 0.0;
  for (auto _ : state) {
    auto start = Clock::now();
    for (int i = 0; i < kCallsPerRound; ++i) {
      voxl::MeasureLevels(r, header, kFrames);
      benchmark::ClobberMemory();
    }
    const double meter = std::chrono::duration<double>(Clock::now() - start).count();

    start = Clock::now();
    for (int i = 0; i < kCallsPerRound; ++i) {
      benchmark::DoNotOptimize(PlainRead(samples.data(), samples.size()));
      benchmark::ClobberMemory();
    }
    const double read = std::chrono::duration<double>(Clock::now() - start).count();

    meterSeconds += meter;
    readSeconds += read;
    ratios.push_back(read / meter);  // rate ratio: samples per second of the meter over the read
  }
  benchmark::DoNotOptimize(r.levelLeft.load());
  std::sort(ratios.begin(), ratios.end());
  const double samplesPerRound = 2.0 * kFrames * kCallsPerRound;
  const double rounds = static_cast<double>(ratios.size());
  state.counters["meter_samples_per_s"] = samplesPerRound * rounds / meterSeconds;
  state.counters["read_samples_per_s"] = samplesPerRound * rounds / readSeconds;
  state.counters["meter_over_read"] = ratios.empty() ? 0.0 : ratios[ratios.size() / 2];
}

BENCHMARK(BM_MeterAgainstPlainRead)->Unit(benchmark::kMillisecond)->MinTime(1.0);

}  // namespace

BENCHMARK_MAIN();
