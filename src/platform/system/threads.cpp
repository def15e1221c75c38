// Threads: _beginthread and SetThreadPriority.
//
// _beginthread starts a detached POSIX thread and hands back a small handle number (a multiple
// of 4, never 0 or -1, below 2^31) that stays valid while the thread runs; SetThreadPriority
// finds the thread's kernel id through it.  A thread forgets its handle under the table's lock
// just before it ends, so a priority change never reaches a thread that has gone (or a newer
// thread that was given the same kernel id).
//
// Priorities map onto per-thread nice values around the process's own; raising a thread above
// normal needs privileges that an ordinary process lacks, and then the call fails and nothing
// changes.
#include <limits.h>
#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_map>

#include "platform/system/system_internal.h"

#define THREAD_PRIORITY_IDLE (-15)
#define THREAD_PRIORITY_LOWEST (-2)
#define THREAD_PRIORITY_BELOW_NORMAL (-1)

namespace voxl::system {

namespace {

constexpr uint32_t kFirstHandle = 4;
constexpr uint32_t kHandleStep = 4;
constexpr uint32_t kLastHandle = 0x7FFFFFFC;
// What GetCurrentThread() answers on the original platform: "the calling thread".
const HANDLE kCurrentThread = reinterpret_cast<HANDLE>(static_cast<intptr_t>(-2));

struct StartedThread {
  void (*start)(void*) = nullptr;
  void* arg = nullptr;
  uint32_t handle = 0;
  std::atomic<pid_t> kernelId{0};  // set by the thread itself as it starts
};

struct ThreadTable {
  std::mutex mutex;
  std::unordered_map<uint32_t, std::shared_ptr<StartedThread>> threads;
  uint32_t nextHandle = kFirstHandle;
};

// Never destroyed: detached threads may still end while the process exits.
ThreadTable& TheThreads() {
  static ThreadTable* table = new ThreadTable;
  return *table;
}

void Forget(uint32_t handle) {
  ThreadTable& table = TheThreads();
  std::lock_guard<std::mutex> lock(table.mutex);
  table.threads.erase(handle);
}

void* ThreadMain(void* param) {
  std::shared_ptr<StartedThread> self;
  {
    // Take over the reference the starter made for us.
    std::unique_ptr<std::shared_ptr<StartedThread>> owned(
        static_cast<std::shared_ptr<StartedThread>*>(param));
    self = std::move(*owned);
  }
  self->kernelId.store(gettid());
  self->kernelId.notify_all();
  self->start(self->arg);
  Forget(self->handle);
  return nullptr;
}

// Nice value for each priority level, relative to the process's own (its main thread's) nice
// value, as thread priorities are relative to the process's priority class; idle and time-
// critical are the ends of the range.  Nothing for levels that do not exist.
std::optional<int> NiceFor(int priority) {
  errno = 0;
  const int base = getpriority(PRIO_PROCESS, static_cast<id_t>(getpid()));
  const int processNice = errno == 0 ? base : 0;
  int offset = 0;
  switch (priority) {
    case THREAD_PRIORITY_IDLE:
      return 19;
    case THREAD_PRIORITY_TIME_CRITICAL:
      return -20;
    case THREAD_PRIORITY_LOWEST:
      offset = 10;
      break;
    case THREAD_PRIORITY_BELOW_NORMAL:
      offset = 5;
      break;
    case THREAD_PRIORITY_NORMAL:
      offset = 0;
      break;
    case THREAD_PRIORITY_ABOVE_NORMAL:
      offset = -5;
      break;
    case THREAD_PRIORITY_HIGHEST:
      offset = -10;
      break;
    default:
      return std::nullopt;
  }
  return std::clamp(processNice + offset, -20, 19);
}

BOOL ApplyNice(pid_t kernelId, int nice) {
  if (setpriority(PRIO_PROCESS, static_cast<id_t>(kernelId), nice) != 0) {
    SetLastErrorFromErrno(errno);
    return FALSE;
  }
  return TRUE;
}

}  // namespace

}  // namespace voxl::system

using voxl::system::StartedThread;
using voxl::system::TheThreads;

extern "C" uintptr_t _beginthread(void (*start)(void*), unsigned stackSize, void* arg) {
  const uintptr_t failed = static_cast<uintptr_t>(-1);
  if (start == nullptr) {
    errno = EINVAL;
    SetLastError(ERROR_INVALID_PARAMETER);
    return failed;
  }
  auto thread = std::make_shared<StartedThread>();
  thread->start = start;
  thread->arg = arg;
  auto& table = TheThreads();
  {
    std::lock_guard<std::mutex> lock(table.mutex);
    if (table.threads.size() >= (voxl::system::kLastHandle / voxl::system::kHandleStep) - 1) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return failed;
    }
    do {
      thread->handle = table.nextHandle;
      table.nextHandle = table.nextHandle >= voxl::system::kLastHandle
                             ? voxl::system::kFirstHandle
                             : table.nextHandle + voxl::system::kHandleStep;
    } while (table.threads.contains(thread->handle));
    table.threads.emplace(thread->handle, thread);
  }

  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  if (stackSize != 0) {
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    size_t size = stackSize < PTHREAD_STACK_MIN ? PTHREAD_STACK_MIN : stackSize;
    size = (size + page - 1) / page * page;
    pthread_attr_setstacksize(&attr, size);
  }
  auto* param = new std::shared_ptr<StartedThread>(thread);
  pthread_t id;
  const int error = pthread_create(&id, &attr, voxl::system::ThreadMain, param);
  pthread_attr_destroy(&attr);
  if (error != 0) {
    delete param;
    voxl::system::Forget(thread->handle);
    errno = error;
    voxl::system::SetLastErrorFromErrno(error);
    return failed;
  }
  return thread->handle;
}

extern "C" BOOL SetThreadPriority(HANDLE thread, int priority) {
  const std::optional<int> nice = voxl::system::NiceFor(priority);
  if (!nice) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (thread == voxl::system::kCurrentThread) return voxl::system::ApplyNice(gettid(), *nice);

  const uintptr_t value = reinterpret_cast<uintptr_t>(thread);
  std::shared_ptr<StartedThread> started;
  auto& table = TheThreads();
  if (value <= UINT32_MAX) {
    std::lock_guard<std::mutex> lock(table.mutex);
    auto it = table.threads.find(static_cast<uint32_t>(value));
    if (it != table.threads.end()) started = it->second;
  }
  if (!started) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  // A thread just started may not have recorded its kernel id yet.
  started->kernelId.wait(0);
  std::lock_guard<std::mutex> lock(table.mutex);
  if (!table.threads.contains(started->handle)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return voxl::system::ApplyNice(started->kernelId.load(), *nice);
}
