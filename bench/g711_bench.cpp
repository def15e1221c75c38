// G.711 buffer conversion speed, against sox doing the same conversion on the same data.
//
// The data is 60 s of 44.1 kHz stereo 16-bit audio (a tone with noise, so every segment is used).
// Each benchmark times our buffer form over it, then runs sox over the same samples in a raw file
// in a temporary folder (best of three runs), and reports:
//   ratio_vs_sox      our samples per second / sox's, sox timed as a whole process;
//   ratio_vs_sox_net  the same with sox's start-up (a run on an empty file) taken off its time;
//   ratio_vs_defining for the table-driven form against the per-sample defining functions.
// A ratio above 1 means ours is faster. Times are CPU times (ours: this thread's; sox: the user and
// system time of its process), which a busy shared machine disturbs far less than wall time.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "formats/g711.h"

extern char** environ;

namespace {

// CPU time of the calling thread, in seconds.
double ThreadSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

constexpr std::size_t kSamples = 60 * 44100 * 2;

struct Law {
  const char* soxEncoding;
  void (*encodeBuffer)(const void*, std::size_t, std::uint8_t*) noexcept;
  void (*decodeBuffer)(const std::uint8_t*, std::size_t, void*) noexcept;
};

const Law kALaw{"a-law", voxl::LinearToALawBuffer, voxl::ALawToLinearBuffer};
const Law kMuLaw{"mu-law", voxl::LinearToMuLawBuffer, voxl::MuLawToLinearBuffer};

const std::vector<std::int16_t>& Samples() {
  static const std::vector<std::int16_t> samples = [] {
    std::vector<std::int16_t> s(kSamples);
    std::uint32_t noise = 12345;
    for (std::size_t i = 0; i < s.size(); ++i) {
      noise = noise * 1664525u + 1013904223u;
      const double tone = 20000.0 * std::sin(static_cast<double>(i / 2) * 0.0627);
      const double jitter = static_cast<double>(static_cast<std::int32_t>(noise >> 16) - 32768);
      s[i] = static_cast<std::int16_t>(std::clamp(tone + jitter * 0.2, -32768.0, 32767.0));
    }
    return s;
  }();
  return samples;
}

// The raw files sox works on, in a folder that goes away at exit.
class Scratch {
 public:
  Scratch() {
    const char* env = std::getenv("TMPDIR");
    std::string pattern = (env != nullptr && *env != '\0') ? env : "/tmp";
    pattern += "/voxl-bench-XXXXXX";
    if (::mkdtemp(pattern.data()) != nullptr) dir_ = pattern;
  }
  ~Scratch() {
    std::error_code ignored;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ignored);
  }
  bool ok() const { return !dir_.empty(); }
  std::string File(const std::string& name) const { return (dir_ / name).string(); }

 private:
  std::filesystem::path dir_;
};

Scratch& TheScratch() {
  static Scratch scratch;
  return scratch;
}

bool WriteFile(const std::string& path, const void* data, std::size_t size) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
  return static_cast<bool>(out.flush());
}

// Runs sox with `args` (no shell), its output streams discarded; seconds of CPU time (user and
// system), or a negative value when it could not run or failed.
double TimeSox(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  std::string program = "sox";
  argv.push_back(program.data());
  std::vector<std::string> copies = args;
  for (std::string& a : copies) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid;
  const int spawned = posix_spawnp(&pid, "sox", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return -1.0;
  int status = 0;
  struct rusage usage {};
  if (wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    return -1.0;
  }
  auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec * 1e-6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

double BestOfThree(const std::vector<std::string>& args) {
  double best = -1.0;
  for (int i = 0; i < 3; ++i) {
    const double t = TimeSox(args);
    if (t < 0) return -1.0;
    if (best < 0 || t < best) best = t;
  }
  return best;
}

struct SoxTiming {
  double whole = -1.0;    // seconds for the full buffer, process start-up included
  double startup = -1.0;  // seconds for the same command on an empty input
};

// sox converting the benchmark data, measured once per law and direction.
SoxTiming MeasureSox(const Law& law, bool encode) {
  static std::map<std::pair<std::string, bool>, SoxTiming> cache;
  const auto key = std::make_pair(std::string(law.soxEncoding), encode);
  if (auto it = cache.find(key); it != cache.end()) return it->second;

  SoxTiming timing;
  Scratch& scratch = TheScratch();
  const std::vector<std::int16_t>& samples = Samples();
  const std::string input =
      scratch.File(encode ? "input.raw" : std::string("input.") + law.soxEncoding);
  const std::string empty = scratch.File("empty.raw");
  const std::string output = scratch.File("output.raw");
  bool written;
  if (encode) {
    written = WriteFile(input, samples.data(), samples.size() * 2);
  } else {
    std::vector<std::uint8_t> codes(samples.size());
    law.encodeBuffer(samples.data(), samples.size(), codes.data());
    written = WriteFile(input, codes.data(), codes.size());
  }
  if (scratch.ok() && written && WriteFile(empty, "", 0)) {
    const std::vector<std::string> pcm = {"-e", "signed", "-b", "16"};
    const std::vector<std::string> g711 = {"-e", law.soxEncoding, "-b", "8"};
    auto command = [&](const std::string& in) {
      std::vector<std::string> args = {"-D", "-V1", "-t", "raw", "-r", "44100", "-c", "2"};
      const auto& from = encode ? pcm : g711;
      const auto& to = encode ? g711 : pcm;
      args.insert(args.end(), from.begin(), from.end());
      args.push_back(in);
      args.insert(args.end(), {"-t", "raw"});
      args.insert(args.end(), to.begin(), to.end());
      args.push_back(output);
      return args;
    };
    timing.whole = BestOfThree(command(input));
    timing.startup = BestOfThree(command(empty));
  }
  cache[key] = timing;
  return timing;
}

void ReportAgainstSox(benchmark::State& state, const Law& law, bool encode, double ourSeconds,
                      std::int64_t passes) {
  const double ours = static_cast<double>(kSamples) * static_cast<double>(passes) / ourSeconds;
  const SoxTiming sox = MeasureSox(law, encode);
  if (sox.whole <= 0) {
    state.SkipWithError("sox is not installed or failed; no peer to compare with");
    return;
  }
  const double soxRate = static_cast<double>(kSamples) / sox.whole;
  state.counters["ratio_vs_sox"] = ours / soxRate;
  const double net = sox.whole - std::max(sox.startup, 0.0);
  if (net > 0) state.counters["ratio_vs_sox_net"] = ours / (static_cast<double>(kSamples) / net);
  state.counters["sox_startup_share"] = std::max(sox.startup, 0.0) / sox.whole;
}

void BM_Encode(benchmark::State& state, const Law& law) {
  const std::vector<std::int16_t>& samples = Samples();
  std::vector<std::uint8_t> codes(samples.size());
  const double start = ThreadSeconds();
  for (auto _ : state) {
    law.encodeBuffer(samples.data(), samples.size(), codes.data());
    benchmark::DoNotOptimize(codes.data());
    benchmark::ClobberMemory();
  }
  const double seconds = ThreadSeconds() - start;
  ReportAgainstSox(state, law, true, seconds, state.iterations());
}

void BM_Decode(benchmark::State& state, const Law& law) {
  const std::vector<std::int16_t>& samples = Samples();
  std::vector<std::uint8_t> codes(samples.size());
  law.encodeBuffer(samples.data(), samples.size(), codes.data());
  std::vector<std::int16_t> decoded(samples.size());
  const double start = ThreadSeconds();
  for (auto _ : state) {
    law.decodeBuffer(codes.data(), codes.size(), decoded.data());
    benchmark::DoNotOptimize(decoded.data());
    benchmark::ClobberMemory();
  }
  const double seconds = ThreadSeconds() - start;
  ReportAgainstSox(state, law, false, seconds, state.iterations());
}

// The table-driven buffer form against a loop over the per-sample defining function (called
// directly, so the compiler may inline it), same data, same run.
template <std::uint8_t (*Encode)(std::int16_t) noexcept>
void EncodeAgainstDefiningForm(benchmark::State& state, const Law& law) {
  const std::vector<std::int16_t>& samples = Samples();
  std::vector<std::uint8_t> codes(samples.size());
  double tableSeconds = 0;
  double definingSeconds = 0;
  for (auto _ : state) {
    const double t0 = ThreadSeconds();
    law.encodeBuffer(samples.data(), samples.size(), codes.data());
    benchmark::DoNotOptimize(codes.data());
    benchmark::ClobberMemory();
    const double t1 = ThreadSeconds();
    for (std::size_t i = 0; i < samples.size(); ++i) codes[i] = Encode(samples[i]);
    benchmark::DoNotOptimize(codes.data());
    benchmark::ClobberMemory();
    const double t2 = ThreadSeconds();
    tableSeconds += t1 - t0;
    definingSeconds += t2 - t1;
  }
  if (tableSeconds > 0) state.counters["ratio_vs_defining"] = definingSeconds / tableSeconds;
}

void BM_EncodeAgainstDefiningForm(benchmark::State& state, bool aLaw) {
  if (aLaw) {
    EncodeAgainstDefiningForm<voxl::LinearToALaw>(state, kALaw);
  } else {
    EncodeAgainstDefiningForm<voxl::LinearToMuLaw>(state, kMuLaw);
  }
}

BENCHMARK_CAPTURE(BM_Encode, ALaw, kALaw)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Encode, MuLaw, kMuLaw)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Decode, ALaw, kALaw)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Decode, MuLaw, kMuLaw)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_EncodeAgainstDefiningForm, ALaw, true)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_EncodeAgainstDefiningForm, MuLaw, false)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
