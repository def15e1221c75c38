// Helpers for tests that play and record tones through the PulseAudio server of the test run
// (scripts/start-pulse.sh: a null sink whose monitor is the default source).
#pragma once

#include <signal.h>
#include <unistd.h>

#include <cstddef>
#include <string>
#include <vector>

#include "support/peer.h"

namespace voxl::test {

// Whether `pactl info` answers within a few seconds; when not, `why` says what failed.
bool PulseAnswers(std::string* why);

// The null sink the server plays into: $VOXL_PULSE_SINK, else "voxl_null".
std::string NullSinkName();

// A program the test starts (pacat, parec).  The destructor terminates and reaps it.
class ChildProcess {
 public:
  ChildProcess() = default;
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ~ChildProcess() { Terminate(); }

  // Starts argv[0] (searched in PATH) with stdin from `stdinPath` (empty: /dev/null) and its
  // standard output discarded.
  bool Start(const std::vector<std::string>& argv, const std::string& stdinPath = "");
  // Waits at most `timeoutMs` for the program to end; its exit status, or -1 on timeout.
  int WaitExit(int timeoutMs);
  // `signal` to the program, then reaps it (SIGKILL if SIGTERM does not end it).
  void Terminate(int signal = SIGTERM);

 private:
  pid_t pid_ = -1;
  int pidfd_ = -1;
};

// Serialises the tests that play into or record from the shared null sink, across test
// programs running at once: an exclusive lock on a file in the server's runtime folder.
class NullSinkLock {
 public:
  explicit NullSinkLock(int timeoutMs = 60000);
  NullSinkLock(const NullSinkLock&) = delete;
  NullSinkLock& operator=(const NullSinkLock&) = delete;
  ~NullSinkLock() { close(fd_); }  // releases the lock (a descriptor of -1: nothing to close)
  bool held() const { return held_; }

 private:
  int fd_ = -1;
  bool held_ = false;
};

// A PulseAudio server of the test's own, with a null sink, in a runtime folder of its own (never
// the shared server of the test run), which the test may end while a device is open on it.
// `name` tells apart two servers of one test.  running() is false when none could be started
// (pulseaudio not installed, for example).
class PrivatePulseServer {
 public:
  explicit PrivatePulseServer(const std::string& name);
  PrivatePulseServer(const PrivatePulseServer&) = delete;
  PrivatePulseServer& operator=(const PrivatePulseServer&) = delete;
  ~PrivatePulseServer();
  bool running() const { return pid_ > 0; }
  // The value of PULSE_SERVER that reaches it.
  std::string address() const { return "unix:" + dir_ + "/native"; }
  // Ends the server at once, as a crash or a removed device would.
  void Kill() {
    if (pid_ > 0) kill(pid_, SIGKILL);
    pid_ = -1;
  }

 private:
  std::string dir_;
  pid_t pid_ = -1;
};

// Writes samples as raw 16-bit PCM in the machine's (little-endian) order: `pacat --raw` input.
inline bool WriteRawFile(const std::string& path, const std::vector<int16_t>& samples) {
  return WriteBinaryFile(path, samples.data(), samples.size() * 2);
}

}  // namespace voxl::test
