// Editing large recordings through the recorder's method table, against `cp` of the same file
// in the same run (the two sides alternate their order from round to round; each keeps its
// best round).  The recording: 100 MiB of 44100 Hz 16-bit stereo PCM behind a 44-byte header.
// Every timed side starts from a synced page cache, so neither pays for the other's write-back.
//
// BM_CutFirstSecond: OpenFile, SetPosition 0, DeleteSeconds 1.0 and Close (what `voxl cut
//   --from 0 --length 1` does), which moves the whole rest of the data forward in place.  Each
//   round cuts one more second; the file keeps its size on disk.
//   Counters:
//     cut_over_cp         best cut / best cp (goal: at most 1.5);
//     maxrss_growth_KiB   peak resident memory after all rounds less before the first (goal:
//                         flat, nothing near the size of the file).
// BM_CompactTail: the same recording with 10 MiB left behind its content (put back before each
//   round), OpenFile, CompactFile and Close (`voxl compact`), against cp of a file like it
//   (110 MiB).  CompactFile flushes its copy to disk before it replaces the file, which cp does
//   not, so it is also set against cp followed by fsync of the copy.
//   Counters:
//     compact_over_cp        best compaction / best cp of the whole file (goal: at most 1.2);
//     compact_over_cp_fsync  the same against cp + fsync (what the crash safety costs is the
//                            difference between the two).
// BM_CompactProcess: whole process against whole process: `voxl compact -q` of 390 MiB of
//   content with 10 MiB behind it (put back before each round) against `cp F G && sync G` of a
//   file like it (400 MiB); both flush their copy to disk.  The order alternates, each side
//   starts from a synced page cache.
//   Counters: wall_ratio_min (best against best) and wall_ratio_median (median against median),
//   compaction over cp && sync (goal: at most 1.0).
//
// Files go to $TMPDIR (or /tmp) and are removed afterwards.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <vector>

#include "alternate.h"
#include "api/recorder_creation.h"
#include "bench_support.h"
#include "core/recorder.h"
#include "platform/wave/virtual/virtual_device.h"
#include "process_race.h"

namespace {

using namespace voxl;
using bench::Now;
using bench::Scratch;

constexpr uint32_t kDataBytes = 100u * 1024 * 1024;
constexpr uint32_t kTailBytes = 10u * 1024 * 1024;
constexpr uint64_t kFileBytes = 44 + uint64_t{kDataBytes};
constexpr uint32_t kLargeDataBytes = 390u * 1024 * 1024;  // the whole-process compaction's

// A canonical 44-byte header and `dataBytes` (whole MiB) of samples, written in 1 MiB pieces.
bool WriteRecording(const std::string& path, uint32_t dataBytes = kDataBytes) {
  const std::string h = bench::CanonicalWaveHeader(dataBytes);
  std::ofstream out(path, std::ios::binary);
  out.write(h.data(), static_cast<std::streamsize>(h.size()));
  std::vector<char> piece(1 << 20);
  for (size_t i = 0; i < piece.size(); ++i) piece[i] = static_cast<char>(i * 7 + i / 4096);
  for (uint32_t done = 0; done < dataBytes; done += piece.size()) {
    out.write(piece.data(), static_cast<std::streamsize>(piece.size()));
  }
  return static_cast<bool>(out.flush());
}

// Appends kTailBytes behind the content (as cuts leave them).
bool AddTail(const std::string& path) {
  std::ofstream out(path, std::ios::binary | std::ios::app);
  const std::vector<char> tail(kTailBytes, 9);
  out.write(tail.data(), static_cast<std::streamsize>(tail.size()));
  return static_cast<bool>(out.flush());
}

long MaxRssKiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

// The recording opened for editing, `edit` run on it, closed: wall seconds, negative when any
// step reports an error.
template <typename Edit>
double EditOnce(VoxlRecorder* rec, BSTR name, Edit edit) {
  const VoxlRecorderVtbl& m = *rec->lpVtbl;
  ::sync();
  const double start = Now(CLOCK_MONOTONIC);
  WORD error = 0xFFFF;
  m.OpenFile(rec, name, &error);
  if (error != 0) return -1;
  const bool edited = edit(m);
  m.Close(rec, &error);
  const double seconds = Now(CLOCK_MONOTONIC) - start;
  return edited && error == 0 ? seconds : -1;
}

// `cp` of the file, and optionally fsync of the copy: wall seconds, negative on failure.
double CopyOnce(const std::string& from, const std::string& to, bool flush) {
  ::sync();
  const double start = Now(CLOCK_MONOTONIC);
  const bench::ProcessTimes cp = bench::RunProgram({"cp", from, to});
  bool flushed = true;
  if (flush) {
    const int fd = ::open(to.c_str(), O_WRONLY);
    flushed = fd >= 0 && ::fsync(fd) == 0;
    if (fd >= 0) ::close(fd);
  }
  const double seconds = Now(CLOCK_MONOTONIC) - start;
  std::remove(to.c_str());
  return cp.wall >= 0 && flushed ? seconds : -1;
}

struct Session {
  Scratch scratch{"edit-bench"};
  std::string path = scratch.File("take.wav");
  std::string copy = scratch.File("copy.wav");
  std::string untouched = scratch.File("untouched.wav");
  Recorder* recorder = nullptr;
  BSTR name = nullptr;

  // Writes the recording and makes the recorder; null, with the benchmark skipped, on failure.
  VoxlRecorder* Start(benchmark::State& state) {
    setenv("VOXL_AUDIO_DRIVER", "virtual", 1);
    virtualaudio::Reset();
    if (scratch.ok() && WriteRecording(path)) {
      const std::u16string wide(path.begin(), path.end());
      name = SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
      recorder = NewRecorder();
    }
    if (recorder == nullptr) state.SkipWithError("cannot write the recording");
    return recorder != nullptr ? ToHost(recorder) : nullptr;
  }
  ~Session() {
    DeleteRecorder(recorder);
    SysFreeString(name);
  }
};

void BM_CutFirstSecond(benchmark::State& state) {
  Session s;
  VoxlRecorder* rec = s.Start(state);
  if (rec == nullptr) return;
  bench::Best best;
  bool cpFirst = false;
  long rssBefore = -1;
  for (auto _ : state) {
    const auto [cut, cp] = bench::RunAlternating(
        cpFirst,
        [&] {
          return EditOnce(rec, s.name, [&](const VoxlRecorderVtbl& m) {
            if (rssBefore < 0) rssBefore = MaxRssKiB();
            DWORD before = 0, after = 0;
            m.GetLength(rec, &before);
            m.SetPosition(rec, 0);
            WORD error = 0xFFFF;
            m.DeleteSeconds(rec, 1.0, &error);
            m.GetLength(rec, &after);
            return error == 0 && before - after == 44100;
          });
        },
        [&] { return CopyOnce(s.path, s.copy, false); });
    if (cut < 0 || cp < 0 || std::filesystem::file_size(s.path) != kFileBytes) {
      state.SkipWithError("the cut or cp failed, or the file changed its size");
      return;
    }
    best.Add(cut, cp);
  }
  if (!best.Valid()) return;
  state.counters["cut_s"] = best.ours;
  state.counters["cp_s"] = best.peer;
  state.counters["cut_over_cp"] = best.ours / best.peer;
  state.counters["maxrss_growth_KiB"] = static_cast<double>(MaxRssKiB() - rssBefore);
}

void BM_CompactTail(benchmark::State& state) {
  Session s;
  VoxlRecorder* rec = s.Start(state);
  if (rec == nullptr) return;
  std::error_code failed;
  if (!AddTail(s.path) || !std::filesystem::copy_file(s.path, s.untouched, failed)) {
    state.SkipWithError("cannot make the file with a tail");
    return;
  }
  bench::Best plain, flushed;
  bool cpFirst = false;
  for (auto _ : state) {
    state.PauseTiming();
    const bool tail = std::filesystem::file_size(s.path) > kFileBytes || AddTail(s.path);
    state.ResumeTiming();
    if (!tail) {
      state.SkipWithError("cannot add the tail");
      return;
    }
    const double cpFlushed = CopyOnce(s.untouched, s.copy, true);
    const auto [compact, cp] = bench::RunAlternating(
        cpFirst,
        [&] {
          return EditOnce(rec, s.name, [&](const VoxlRecorderVtbl& m) {
            WORD error = 0xFFFF;
            m.CompactFile(rec, &error);
            return error == 0;
          });
        },
        [&] { return CopyOnce(s.untouched, s.copy, false); });
    if (compact < 0 || cp < 0 || cpFlushed < 0 ||
        std::filesystem::file_size(s.path) != kFileBytes) {
      state.SkipWithError("the compaction or cp failed, or the file has the wrong size");
      return;
    }
    plain.Add(compact, cp);
    flushed.Add(compact, cpFlushed);
  }
  if (!plain.Valid()) return;
  state.counters["compact_s"] = plain.ours;
  state.counters["cp_s"] = plain.peer;
  state.counters["cp_fsync_s"] = flushed.peer;
  state.counters["compact_over_cp"] = plain.ours / plain.peer;
  state.counters["compact_over_cp_fsync"] = flushed.ours / flushed.peer;
}

// A program run from a synced page cache: its wall seconds, negative when it fails.
double ProgramWall(const std::vector<std::string>& argv) {
  ::sync();
  return bench::RunProgram(argv).wall;
}

void BM_CompactProcess(benchmark::State& state) {
  setenv("VOXL_AUDIO_DRIVER", "virtual", 1);
  const Scratch scratch("compact-bench");
  const std::string path = scratch.File("take.wav"), untouched = scratch.File("untouched.wav");
  const std::string copy = scratch.File("copy.wav");
  std::error_code failed;
  if (!scratch.ok() || !WriteRecording(path, kLargeDataBytes) || !AddTail(path) ||
      !std::filesystem::copy_file(path, untouched, failed)) {
    state.SkipWithError("cannot write the recording");
    return;
  }
  const std::vector<std::string> compact = {VOXL_BINARY, "compact", "-q", path};
  const std::vector<std::string> cp = {"sh", "-c", "cp \"$0\" \"$1\" && sync \"$1\"", untouched,
                                       copy};
  std::vector<double> ours, peer;
  bool cpFirst = false;
  for (auto _ : state) {
    state.PauseTiming();
    const bool tail =
        std::filesystem::file_size(path) > 44 + uint64_t{kLargeDataBytes} || AddTail(path);
    std::remove(copy.c_str());
    state.ResumeTiming();
    const auto [o, p] = bench::RunAlternating(
        cpFirst, [&] { return ProgramWall(compact); }, [&] { return ProgramWall(cp); });
    if (!tail || o < 0 || p < 0 ||
        std::filesystem::file_size(path) != 44 + uint64_t{kLargeDataBytes}) {
      state.SkipWithError("voxl compact or cp failed, or the file has the wrong size");
      return;
    }
    ours.push_back(o);
    peer.push_back(p);
  }
  state.counters["wall_ratio_min"] =
      *std::min_element(ours.begin(), ours.end()) / *std::min_element(peer.begin(), peer.end());
  state.counters["wall_ratio_median"] = bench::Median(ours) / bench::Median(peer);
  state.counters["goal_wall_ratio"] = 1.0;
  state.SetLabel("whole processes: voxl compact vs cp && sync");
}

}  // namespace

BENCHMARK(BM_CutFirstSecond)->Iterations(7)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CompactTail)->Iterations(5)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CompactProcess)->Iterations(5)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
