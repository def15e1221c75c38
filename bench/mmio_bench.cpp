// Sequential recording-style writes through mmioWrite against plain write(2) of the same
// pieces to another file, in the same run: 256 MiB in 64 KiB pieces each.  Counter
// "mmio_over_write" is the median of the per-round time ratios (goal: at most 1.10); both files
// live in $TMPDIR (or /tmp) and are removed afterwards.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "alternate.h"
#include "platform/mmio/mmio.h"

namespace {

constexpr LONG kPiece = 64 * 1024;
constexpr long long kTotal = 256LL * 1024 * 1024;

std::string TempName(const char* tag) {
  const char* dir = std::getenv("TMPDIR");
  return std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") + "/voxl_mmio_bench_" + tag +
         "_" + std::to_string(getpid());
}

using Clock = std::chrono::steady_clock;

double WriteWithMmio(const std::string& name, const std::vector<char>& piece) {
  const auto start = Clock::now();
  HMMIO h = mmioOpenA(const_cast<LPSTR>(name.c_str()), nullptr, MMIO_CREATE | MMIO_WRITE);
  if (h == nullptr) return -1;
  for (long long done = 0; done < kTotal; done += kPiece) {
    if (mmioWrite(h, piece.data(), kPiece) != kPiece) return -1;
  }
  mmioClose(h, 0);
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double WriteWithSyscall(const std::string& name, const std::vector<char>& piece) {
  const auto start = Clock::now();
  int fd = open(name.c_str(), O_CREAT | O_TRUNC | O_WRONLY | O_CLOEXEC, 0666);
  if (fd < 0) return -1;
  for (long long done = 0; done < kTotal; done += kPiece) {
    if (write(fd, piece.data(), kPiece) != kPiece) return -1;
  }
  close(fd);
  return std::chrono::duration<double>(Clock::now() - start).count();
}

void BM_SequentialWrite(benchmark::State& state) {
  const std::vector<char> piece(kPiece, 0x5A);
  const std::string mmioName = TempName("mmio");
  const std::string plainName = TempName("write");
  std::vector<double> ratios;
  bool plainFirst = false;
  for (auto _ : state) {
    // Fresh files each round (freeing the old blocks is not timed), and alternate which one
    // goes first so that neither always meets the page cache's write-back of the other.
    unlink(mmioName.c_str());
    unlink(plainName.c_str());
    const auto [m, p] = voxl::bench::RunAlternating(
        plainFirst, [&] { return WriteWithMmio(mmioName, piece); },
        [&] { return WriteWithSyscall(plainName, piece); });
    if (m <= 0 || p <= 0) {
      state.SkipWithError("cannot write the benchmark files");
      break;
    }
    state.SetIterationTime(m);
    ratios.push_back(m / p);
  }
  unlink(mmioName.c_str());
  unlink(plainName.c_str());
  if (!ratios.empty()) {
    // The median pair: single rounds swing with the disk's write-back.
    std::nth_element(ratios.begin(), ratios.begin() + ratios.size() / 2, ratios.end());
    state.counters["mmio_over_write"] = ratios[ratios.size() / 2];
  }
  state.SetBytesProcessed(state.iterations() * kTotal);
}

BENCHMARK(BM_SequentialWrite)->UseManualTime()->Iterations(9)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
