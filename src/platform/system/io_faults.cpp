// The counting and fault point of the file operations (tests only).  `active` keeps every hook
// to one atomic load in normal use; the rest is guarded by one mutex, as the engine's thread
// writes while the test's thread arms and reads.
#include "platform/system/io_faults.h"

#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace voxl::system {
namespace {

std::atomic<bool> active{false};
std::mutex mutex;
struct State {
  bool armed = false;
  IoFault fault;
  bool diskFull = false;  // a DiskFull fault has begun
  bool stopped = false;   // a Stop fault has struck
  bool struck = false;
  uint64_t calls[kIoCallKinds] = {};
} state;

std::string FolderOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string Resolved(const std::string& folder) {
  char resolved[PATH_MAX];
  return realpath(folder.c_str(), resolved) != nullptr ? resolved : folder;
}

std::string FolderOfDescriptor(int fd) {
  const std::string link = "/proc/self/fd/" + std::to_string(fd);
  char path[PATH_MAX];
  const ssize_t n = readlink(link.c_str(), path, sizeof path - 1);
  if (n <= 0) return {};
  path[n] = '\0';
  return FolderOf(path);
}

void Start(bool armed, const IoFault& fault) {
  std::lock_guard<std::mutex> lock(mutex);
  state = State{};
  state.armed = armed;
  state.fault = fault;
  if (!fault.folder.empty()) state.fault.folder = Resolved(fault.folder);
  active.store(true, std::memory_order_release);
}

// Counts a call of `kind` (on a file in `folder` when the fault names one); true when it is the
// struck call, or a write after a full disk began.  Called under the mutex.
bool Strikes(IoCall kind, const std::string& folder) {
  if (state.stopped) return true;
  if (!state.fault.folder.empty() && folder != state.fault.folder) return false;
  const uint64_t number = state.calls[static_cast<int>(kind)]++;
  if (!state.armed || kind != state.fault.call) return false;
  if (state.diskFull) return true;
  if (number != state.fault.at) return false;
  if (kind == IoCall::Write && state.fault.failure == IoFailure::DiskFull) state.diskFull = true;
  if (state.fault.failure == IoFailure::Stop) state.stopped = true;
  return true;
}

}  // namespace

void ArmIoFault(const IoFault& fault) {
  Start(true, fault);
}

void CountIoCalls(const std::string& folder) {
  IoFault none;
  none.folder = folder;
  Start(false, none);
}

uint64_t IoCalls(IoCall kind) {
  std::lock_guard<std::mutex> lock(mutex);
  return state.calls[static_cast<int>(kind)];
}

bool DisarmIoFault() {
  std::lock_guard<std::mutex> lock(mutex);
  active.store(false, std::memory_order_release);
  const bool struck = state.struck;
  state = State{};
  return struck;
}

bool IoFaultsActive() {
  return active.load(std::memory_order_acquire);
}

bool IoStopped() {
  if (!active.load(std::memory_order_acquire)) return false;
  std::lock_guard<std::mutex> lock(mutex);
  return state.stopped;
}

bool IoCallFails(IoCall kind, int fd) {
  if (!active.load(std::memory_order_acquire)) return false;
  std::lock_guard<std::mutex> lock(mutex);
  const std::string folder = state.fault.folder.empty() ? std::string() : FolderOfDescriptor(fd);
  if (!Strikes(kind, folder)) return false;
  state.struck = true;
  return true;
}

bool IoCallFails(IoCall kind, const char* path) {
  if (!active.load(std::memory_order_acquire)) return false;
  std::lock_guard<std::mutex> lock(mutex);
  const std::string folder =
      state.fault.folder.empty() || path == nullptr ? std::string() : Resolved(FolderOf(path));
  if (!Strikes(kind, folder)) return false;
  state.struck = true;
  return true;
}

int64_t IoWriteAllowance(int fd, uint64_t offset, uint64_t count) {
  if (!active.load(std::memory_order_acquire)) return static_cast<int64_t>(count);
  std::lock_guard<std::mutex> lock(mutex);
  const std::string folder = state.fault.folder.empty() ? std::string() : FolderOfDescriptor(fd);
  if (!Strikes(IoCall::Write, folder)) return static_cast<int64_t>(count);
  uint64_t allowed = 0;
  if (state.stopped) {
    allowed = 0;
  } else if (state.diskFull) {
    struct stat st {};
    const uint64_t length = fstat(fd, &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
    const uint64_t inside = length > offset ? std::min(count, length - offset) : 0;
    const uint64_t extra = std::min(count - inside, state.fault.room);
    state.fault.room -= extra;
    allowed = inside + extra;
  } else if (state.fault.failure == IoFailure::ShortWrite) {
    allowed = count / 2;
  }
  if (allowed < count) state.struck = true;
  return allowed == 0 && count > 0 ? -1 : static_cast<int64_t>(allowed);
}

}  // namespace voxl::system
