// The helpers of support/peer.h and support/tone_pulse.h.
#include "support/peer.h"

#include <fcntl.h>
#include <poll.h>
#include <sndfile.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

#include "support/tone_pulse.h"

extern char** environ;

namespace voxl::test {
namespace {

using Clock = std::chrono::steady_clock;

int MillisLeft(Clock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

}  // namespace

CommandResult RunCommand(const std::string& command) {
  CommandResult result;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return result;
  char buffer[4096];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) result.output.append(buffer, n);
  const int status = ::pclose(pipe);
  if (status != -1 && WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
  return result;
}

std::string ShellQuote(std::string_view text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + '\'';
}

std::vector<std::int16_t> PeerSamples(const std::string& command) {
  const CommandResult result = RunCommand(command + " 2>/dev/null");
  std::vector<std::int16_t> out(result.exitCode == 0 ? result.output.size() / 2 : 0);
  std::memcpy(out.data(), result.output.data(), out.size() * 2);
  return out;
}

bool HaveProgram(std::string_view name) {
  return RunCommand("command -v " + ShellQuote(name) + " >/dev/null 2>&1").exitCode == 0;
}

TempDir::TempDir() {
  const char* env = std::getenv("TMPDIR");
  std::string pattern =
      std::string(env != nullptr && *env != '\0' ? env : "/tmp") + "/voxl-test-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("cannot create " + pattern);
  path_ = pattern;
}

std::vector<std::uint8_t> ReadBinaryFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in),
                                   std::istreambuf_iterator<char>());
}

bool WriteBinaryFile(const std::string& path, const void* data, std::size_t size) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
  return static_cast<bool>(out.flush());
}

bool WaitForSize(const std::string& path, std::int64_t bytes, int seconds) {
  const int watch = inotify_init1(IN_CLOEXEC);
  inotify_add_watch(watch, path.substr(0, path.rfind('/')).c_str(), IN_CREATE | IN_MODIFY);
  const auto deadline = Clock::now() + std::chrono::seconds(seconds);
  std::error_code missing;  // a file that is not there has the size -1
  bool grown = false;
  while (!(grown = std::int64_t(std::filesystem::file_size(path, missing)) > bytes) &&
         MillisLeft(deadline) > 0) {
    pollfd fd{watch, POLLIN, 0};
    if (poll(&fd, 1, MillisLeft(deadline)) > 0) {
      char events[4096];
      [[maybe_unused]] const ssize_t n = read(watch, events, sizeof events);
    }
  }
  close(watch);
  return grown;
}

bool WriteWaveFile(const std::string& path, const WaveLayout& layout,
                   const std::vector<std::uint8_t>& data) {
  SF_INFO info{};
  info.channels = layout.channels;
  info.samplerate = static_cast<int>(layout.sampleRate);
  info.format = SF_FORMAT_WAV | (layout.formatTag == 6       ? SF_FORMAT_ALAW
                                 : layout.formatTag == 7     ? SF_FORMAT_ULAW
                                 : layout.bitsPerSample == 8 ? SF_FORMAT_PCM_U8
                                                             : SF_FORMAT_PCM_16);
  SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
  if (file == nullptr) return false;
  const auto size = static_cast<sf_count_t>(data.size());
  const bool written = sf_write_raw(file, data.data(), size) == size;
  return sf_close(file) == 0 && written;
}

std::optional<SndfileWave> ReadWithSndfile(const std::string& path, std::string* error) {
  SF_INFO info{};
  SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
  if (file == nullptr) {
    if (error != nullptr) *error = sf_strerror(nullptr);
    return std::nullopt;
  }
  SndfileWave wave{info.frames, info.channels, info.samplerate, info.format, {}, {}};
  // Read in pieces rather than sizing by the header's frame count, which a damaged file may
  // overstate.
  std::vector<std::int16_t> piece(static_cast<std::size_t>(info.channels) * 4096);
  for (sf_count_t got; (got = sf_readf_short(file, piece.data(), 4096)) > 0;)
    wave.samples.insert(wave.samples.end(), piece.begin(), piece.begin() + got * info.channels);
  // The stored bytes, for the sample layouts the tests write (whole frames per read).
  const int width = ((info.format & SF_FORMAT_SUBMASK) == SF_FORMAT_PCM_16 ? 2 : 1) * info.channels;
  std::vector<std::uint8_t> chunk(static_cast<std::size_t>(width) * 4096);
  sf_seek(file, 0, SEEK_SET);
  for (sf_count_t n; (n = sf_read_raw(file, chunk.data(), sf_count_t(chunk.size()))) > 0;)
    wave.raw.insert(wave.raw.end(), chunk.begin(), chunk.begin() + n);
  sf_close(file);
  return wave;
}

std::optional<PeerInfo> SoxInfo(const std::string& path) {
  const CommandResult result = RunCommand("for o in c r s b e; do soxi -$o " + ShellQuote(path) +
                                          " || exit 1; done 2>/dev/null");
  std::istringstream answers(result.output);
  PeerInfo info;
  answers >> info.channels >> info.sampleRate >> info.frames >> info.bitsPerSample >> std::ws;
  if (result.exitCode != 0 || !std::getline(answers, info.encoding)) return std::nullopt;
  return info;
}

bool PulseAnswers(std::string* why) {
  ChildProcess pactl;
  if (!pactl.Start({"pactl", "info"})) {
    *why = "pactl cannot be started (PulseAudio tools not installed)";
    return false;
  }
  const int status = pactl.WaitExit(5000);
  if (status == 0) return true;
  *why = status < 0 ? "pactl info did not answer within 5 s"
                    : "no PulseAudio server answers (pactl info failed; run "
                      "eval \"$(bash scripts/start-pulse.sh)\" first)";
  return false;
}

std::string NullSinkName() {
  const char* sink = std::getenv("VOXL_PULSE_SINK");
  return sink != nullptr && *sink != '\0' ? sink : "voxl_null";
}

bool ChildProcess::Start(const std::vector<std::string>& argv, const std::string& stdinPath) {
  if (pid_ > 0 || argv.empty()) return false;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, stdinPath.empty() ? "/dev/null" : stdinPath.c_str(),
                                   O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  const int err = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (err != 0) return false;
  pid_ = pid;
  // A descriptor that becomes readable when the program ends, so waits can have deadlines.
  pidfd_ = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  return true;
}

int ChildProcess::WaitExit(int timeoutMs) {
  if (pid_ <= 0) return -1;
  if (pidfd_ >= 0) {
    pollfd fd{pidfd_, POLLIN, 0};
    if (poll(&fd, 1, timeoutMs) <= 0) return -1;
  }
  int status = 0;
  if (waitpid(pid_, &status, 0) != pid_) return -1;
  pid_ = -1;
  if (pidfd_ >= 0) close(pidfd_);
  pidfd_ = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void ChildProcess::Terminate(int signal) {
  if (pid_ > 0) {
    kill(pid_, signal);
    if (WaitExit(5000) < 0 && pid_ > 0) {
      kill(pid_, SIGKILL);
      WaitExit(5000);
    }
  }
  if (pidfd_ >= 0) close(pidfd_);
  pidfd_ = -1;
}

NullSinkLock::NullSinkLock(int timeoutMs) {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  const std::string path = std::string(runtime != nullptr && *runtime != '\0' ? runtime : "/tmp") +
                           "/voxl-null-sink.lock";
  fd_ = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd_ < 0) return;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!(held_ = flock(fd_, LOCK_EX | LOCK_NB) == 0) && errno == EWOULDBLOCK &&
         MillisLeft(deadline) > 0) {
    // Another test has the sink; look again shortly, up to the deadline.
    poll(nullptr, 0, std::min(20, MillisLeft(deadline)));
  }
}

PrivatePulseServer::PrivatePulseServer(const std::string& name)
    : dir_(::testing::TempDir() + "voxl_pulse_" + name + "_" + std::to_string(getpid())) {
  std::filesystem::create_directories(dir_);
  std::filesystem::permissions(dir_, std::filesystem::perms::owner_all);
  ChildProcess start;
  // --daemonize returns once the server is ready; its pid lands in the runtime folder.
  if (start.Start({"env", "XDG_RUNTIME_DIR=" + dir_, "HOME=" + dir_, "pulseaudio", "-n",
                   "--log-level=error", "--daemonize=yes", "--exit-idle-time=-1", "--system=false",
                   "--load=module-native-protocol-unix socket=" + dir_ + "/native",
                   "--load=module-null-sink sink_name=voxl_" + name + " norewinds=1"}) &&
      start.WaitExit(10000) == 0) {
    std::ifstream(dir_ + "/pulse/pid") >> pid_;
  }
}

PrivatePulseServer::~PrivatePulseServer() {
  Kill();
  std::error_code ignored;
  std::filesystem::remove_all(dir_, ignored);
}

}  // namespace voxl::test
