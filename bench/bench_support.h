// What the benchmarks that compare against a peer program share: clocks, a peer program run to
// its end with its CPU time, a scratch folder for their files, and the little-endian fields of
// the WAVE headers they write.
#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

extern char** environ;

namespace voxl::bench {

inline double Seconds(const timeval& t) {
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) * 1e-6;
}
inline double Seconds(const timespec& t) {
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}
// CLOCK_MONOTONIC, CLOCK_PROCESS_CPUTIME_ID, CLOCK_THREAD_CPUTIME_ID, in seconds.
inline double Now(clockid_t clock) {
  timespec t{};
  clock_gettime(clock, &t);
  return Seconds(t);
}

struct ProcessTimes {
  double cpu = -1.0;  // user + system; negative when the program could not run or failed
  double wall = -1.0;
  long maxRssKiB = 0;  // the peak resident memory of the program (and what it waited for)
};

// Runs `argv` to its end (no shell; PATH is searched) with its output streams on /dev/null.
inline ProcessTimes RunProgram(std::vector<std::string> argv) {
  std::vector<char*> args;
  for (std::string& a : argv) args.push_back(a.data());
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  const double start = Now(CLOCK_MONOTONIC);
  pid_t pid;
  const int spawned = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ProcessTimes times;
  if (spawned != 0) return times;
  int status = 0;
  rusage usage{};
  const bool ended = wait4(pid, &status, 0, &usage) == pid;
  const double end = Now(CLOCK_MONOTONIC);
  if (!ended || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return times;
  times.cpu = Seconds(usage.ru_utime) + Seconds(usage.ru_stime);
  times.wall = end - start;
  times.maxRssKiB = usage.ru_maxrss;
  return times;
}

// A folder for a benchmark's files ($TMPDIR or /tmp), removed with everything in it at exit.
class Scratch {
 public:
  explicit Scratch(const char* name) {
    const char* env = std::getenv("TMPDIR");
    std::string pattern = (env != nullptr && *env != '\0') ? env : "/tmp";
    pattern += std::string("/voxl-") + name + "-XXXXXX";
    if (::mkdtemp(pattern.data()) != nullptr) dir_ = pattern;
  }
  ~Scratch() {
    std::error_code ignored;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ignored);
  }
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;
  bool ok() const { return !dir_.empty(); }
  std::string File(const std::string& name) const { return (dir_ / name).string(); }

 private:
  std::filesystem::path dir_;
};

inline void PutU32(std::string& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

// The canonical 44-byte header of a 44100 Hz 16-bit stereo PCM WAVE file with `dataBytes` of data.
inline std::string CanonicalWaveHeader(uint32_t dataBytes) {
  std::string h = "RIFF";
  PutU32(h, dataBytes + 36);
  h += "WAVEfmt ";
  PutU32(h, 16);
  h += std::string("\x01\x00\x02\x00", 4);
  PutU32(h, 44100);
  PutU32(h, 44100 * 4);
  h += std::string("\x04\x00\x10\x00", 4) + "data";
  PutU32(h, dataBytes);
  return h;
}

}  // namespace voxl::bench
