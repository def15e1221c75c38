// ShellExecuteA: opening the system volume control or a document.
//
// The volume control ("sndvol32.exe"; parameters "/record" ask for the recording side) becomes
// the desktop's mixer: pavucontrol on the input-device tab (or the playback tab), else alsamixer
// inside the desktop's terminal emulator.  Other files are handed to xdg-open.  Both need a
// graphical session (DISPLAY or WAYLAND_DISPLAY); programs are looked up on PATH only.
//
// Programs are started detached by a double fork: the intermediate child is reaped at once, so
// no zombie stays behind, and the started program outlives us in its own session.  A close-on-
// exec pipe tells whether the final exec succeeded.
#include <fcntl.h>
#include <signal.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "platform/system/system_internal.h"

extern char** environ;

namespace voxl::system {

namespace {

// Results of ShellExecuteA: above 32 means started.
constexpr intptr_t kOutOfResources = 0;
constexpr intptr_t kFileNotFound = 2;
constexpr intptr_t kPathNotFound = 3;
constexpr intptr_t kAccessDenied = 5;
constexpr intptr_t kNoAssociation = 31;
constexpr intptr_t kStarted = 42;

HINSTANCE Result(intptr_t code) {
  return reinterpret_cast<HINSTANCE>(code);
}

bool HasDisplay() {
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && value[0] != '\0') return true;
  }
  return false;
}

// The full path of an executable program found on PATH; empty and relative entries (which
// depend on the current directory) are not searched.
std::optional<std::string> FindProgram(const char* program) {
  const char* path = std::getenv("PATH");
  std::string dirs = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
  size_t start = 0;
  while (start <= dirs.size()) {
    size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    if (end > start && dirs[start] == '/') {
      std::string candidate = dirs.substr(start, end - start) + "/" + program;
      struct stat st {};
      if (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
          access(candidate.c_str(), X_OK) == 0) {
        return candidate;
      }
    }
    start = end + 1;
  }
  return std::nullopt;
}

bool IsVolumeControl(const char* file) {
  const char* slash = std::strrchr(file, '/');
  const char* backslash = std::strrchr(file, '\\');
  const char* name = file;
  if (slash != nullptr) name = slash + 1;
  if (backslash != nullptr && backslash + 1 > name) name = backslash + 1;
  return strcasecmp(name, "sndvol32.exe") == 0 || strcasecmp(name, "sndvol32") == 0;
}

bool AsksForRecording(const char* parameters) {
  if (parameters == nullptr) return false;
  std::istringstream words(parameters);
  std::string word;
  while (words >> word) {
    if (strcasecmp(word.c_str(), "/record") == 0) return true;
  }
  return false;
}

bool LooksLikeUri(const char* file) {
  return std::strstr(file, "://") != nullptr || strncasecmp(file, "mailto:", 7) == 0;
}

// Writes errno to the pipe and ends the child; only async-signal-safe calls after fork.
[[noreturn]] void ChildFailed(int pipeFd) {
  const int error = errno;
  ssize_t ignored = write(pipeFd, &error, sizeof error);
  (void)ignored;
  _exit(127);
}

intptr_t CodeForExecError(int error) {
  switch (error) {
    case ENOENT:
      return kFileNotFound;
    case ENOTDIR:
      return kPathNotFound;
    case EACCES:
    case EPERM:
      return kAccessDenied;
    default:
      return kOutOfResources;
  }
}

// Starts argv[0] detached, in `directory` when given.  Returns kStarted or an error code.
intptr_t StartDetached(const std::vector<std::string>& args, const char* directory) {
  std::vector<char*> argv;
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  const char* workDir = (directory != nullptr && directory[0] != '\0') ? directory : nullptr;

  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) return kOutOfResources;
  const pid_t child = fork();
  if (child < 0) {
    close(report[0]);
    close(report[1]);
    return kOutOfResources;
  }
  if (child == 0) {
    close(report[0]);
    setsid();
    const pid_t grandchild = fork();
    if (grandchild < 0) ChildFailed(report[1]);
    if (grandchild > 0) _exit(0);
    // The started program gets ordinary signal handling and none of our descriptors.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    signal(SIGPIPE, SIG_DFL);
    close_range(3, ~0u, CLOSE_RANGE_CLOEXEC);
    if (workDir != nullptr && chdir(workDir) != 0) ChildFailed(report[1]);
    execve(argv[0], argv.data(), environ);
    ChildFailed(report[1]);
  }
  close(report[1]);
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  int error = 0;
  ssize_t got;
  while ((got = read(report[0], &error, sizeof error)) < 0 && errno == EINTR) {
  }
  close(report[0]);
  if (got == static_cast<ssize_t>(sizeof error)) return CodeForExecError(error);
  return kStarted;
}

HINSTANCE OpenVolumeControl(const char* parameters, const char* directory) {
  if (!HasDisplay()) return Result(kFileNotFound);
  const bool recording = AsksForRecording(parameters);
  if (std::optional<std::string> mixer = FindProgram("pavucontrol")) {
    // pavucontrol's tabs: 1 playback, 4 input devices.
    return Result(StartDetached({*mixer, recording ? "--tab=4" : "--tab=1"}, directory));
  }
  std::optional<std::string> terminal = FindProgram("x-terminal-emulator");
  std::optional<std::string> alsamixer = FindProgram("alsamixer");
  if (terminal && alsamixer) {
    std::vector<std::string> args{*terminal, "-e", *alsamixer};
    if (recording) {
      args.push_back("-V");
      args.push_back("capture");
    }
    return Result(StartDetached(args, directory));
  }
  return Result(kFileNotFound);
}

HINSTANCE OpenDocument(const char* file, const char* directory) {
  if (!LooksLikeUri(file)) {
    std::string path = file;
    if (path[0] != '/' && directory != nullptr && directory[0] != '\0') {
      path = std::string(directory) + "/" + path;
    }
    if (access(path.c_str(), F_OK) != 0) {
      return Result(errno == ENOTDIR ? kPathNotFound : kFileNotFound);
    }
  }
  if (!HasDisplay()) return Result(kNoAssociation);
  std::optional<std::string> opener = FindProgram("xdg-open");
  if (!opener) return Result(kNoAssociation);
  return Result(StartDetached({*opener, file}, directory));
}

}  // namespace

}  // namespace voxl::system

extern "C" HINSTANCE ShellExecuteA(HWND, LPCSTR operation, LPCSTR file, LPCSTR parameters,
                                   LPCSTR directory, INT) {
  using namespace voxl::system;
  if (file == nullptr || file[0] == '\0') return Result(kFileNotFound);
  if (operation != nullptr && operation[0] != '\0' && strcasecmp(operation, "open") != 0) {
    return Result(kNoAssociation);
  }
  if (IsVolumeControl(file)) return OpenVolumeControl(parameters, directory);
  return OpenDocument(file, directory);
}
