// Running the voxl command from the tool tests: its path (VOXL_BINARY, from the build), a run
// with its exit status, stdout and stderr, a bounded wait for a file that a running voxl
// writes, and a run stopped by SIGTERM.
#pragma once

#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "support/peer.h"
#include "support/tone_pulse.h"

namespace voxl::test {

struct VoxlRun {
  int exitCode = -1;
  std::string out;
  std::string err;
};

// Runs `voxl <args>` (args already quoted for the shell) with VOXL_AUDIO_DRIVER=driver (which
// may be followed by more NAME=value words for the environment); stderr goes through the file
// errPath.
inline VoxlRun RunVoxl(const std::string& args, const std::string& errPath,
                       const char* driver = "virtual") {
  const CommandResult result =
      RunCommand(std::string("VOXL_AUDIO_DRIVER=") + driver + " " + ShellQuote(VOXL_BINARY) + " " +
                 args + " 2>" + ShellQuote(errPath));
  const std::vector<uint8_t> err = ReadBinaryFile(errPath);
  return {result.exitCode, result.output, std::string(err.begin(), err.end())};
}

// Waits at most `seconds` for the file to grow past `bytes`, woken by changes in its folder.
inline bool WaitForSize(const std::string& path, off_t bytes, int seconds) {
  const int watch = inotify_init1(IN_CLOEXEC);
  const std::string folder = path.substr(0, path.rfind('/'));
  inotify_add_watch(watch, folder.c_str(), IN_CREATE | IN_MODIFY);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  struct stat st {};
  bool grown = false;
  while (!(grown = stat(path.c_str(), &st) == 0 && st.st_size > bytes)) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0) break;
    pollfd fd{watch, POLLIN, 0};
    if (poll(&fd, 1, static_cast<int>(left)) > 0) {
      char events[4096];
      [[maybe_unused]] const ssize_t n = read(watch, events, sizeof events);
    }
  }
  close(watch);
  return grown;
}

// Starts `voxl <command> -q out` on the virtual input and, once a block of audio is on disk,
// stops it with SIGTERM as a service manager would.
inline bool RunUntilTerminated(const char* command, const std::string& out) {
  ::setenv("VOXL_AUDIO_DRIVER", "virtual", 1);
  ChildProcess voxl;
  const bool started = voxl.Start({VOXL_BINARY, command, "-q", out});
  ::unsetenv("VOXL_AUDIO_DRIVER");
  if (!started || !WaitForSize(out, 44 + 17640, 10)) return false;
  voxl.Terminate();
  return true;
}

}  // namespace voxl::test
