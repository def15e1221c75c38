#include "tone_pulse.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>

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

ChildProcess::~ChildProcess() {
  Terminate();
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

void ChildProcess::Terminate() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
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

NullSinkLock::~NullSinkLock() {
  if (fd_ >= 0) close(fd_);  // releases the lock
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

void PrivatePulseServer::Kill() {
  if (pid_ > 0) kill(pid_, SIGKILL);
  pid_ = -1;
}

}  // namespace voxl::test
