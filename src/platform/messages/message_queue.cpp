// Thread message queues: PostThreadMessageA, PeekMessageA, GetMessageA, PostQuitMessage, the
// pollable queue descriptor, GetCurrentThreadId and Sleep.
//
// A thread gets its queue at its first PeekMessageA, GetMessageA (or VoxlMessageQueueFd, or when
// it creates a window); until then posts to its id fail, which is what lets a starter thread
// see that a new thread is ready to receive.  The queue is closed and forgotten when the thread
// exits, so posts to that id fail again.
//
// Each queue is a ring of MSG records under the queue's own mutex; posting only allocates when
// the ring has to grow, so steady traffic allocates nothing.  Posts from one sender keep their
// order; messages are retrieved in order of arrival among those that match the filter.
#include <sched.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "platform/messages/messages.h"
#include "platform/system/system.h"

namespace voxl::messages {

namespace {

// A queue holds at most this many messages; beyond it posts fail (a thread that never pumps
// must not make the process grow without bound).
constexpr size_t kMaxQueuedMessages = size_t{1} << 20;
constexpr size_t kInitialCapacity = 64;

DWORD MonotonicMilliseconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<DWORD>(static_cast<uint64_t>(now.tv_sec) * 1000u +
                            static_cast<uint64_t>(now.tv_nsec) / 1000000u);
}

// hWnd filter: null = every message of the thread, (HWND)-1 = thread messages only, else the
// messages of that window.  Range filter: min = max = 0 = every message; WM_QUIT always matches.
bool Matches(const MSG& m, HWND hWnd, UINT filterMin, UINT filterMax) {
  if (hWnd == reinterpret_cast<HWND>(static_cast<intptr_t>(-1))) {
    if (m.hwnd != nullptr) return false;
  } else if (hWnd != nullptr && m.hwnd != hWnd) {
    return false;
  }
  if (filterMin == 0 && filterMax == 0) return true;
  if (m.message == WM_QUIT) return true;
  return m.message >= filterMin && m.message <= filterMax;
}

}  // namespace

struct ThreadQueue {
  explicit ThreadQueue(DWORD id) : threadId(id), ring(kInitialCapacity) {}
  ~ThreadQueue() {
    if (eventFd >= 0) close(eventFd);
  }
  ThreadQueue(const ThreadQueue&) = delete;
  ThreadQueue& operator=(const ThreadQueue&) = delete;

  const DWORD threadId;
  std::mutex mutex;
  std::condition_variable arrived;
  // Guarded by mutex.  ring.size() is a power of two; messages are ring[(head + i) & mask].
  std::vector<MSG> ring;
  size_t head = 0;
  size_t count = 0;
  bool closed = false;
  int eventFd = -1;         // created on demand by VoxlMessageQueueFd
  bool fdSignaled = false;  // the eventfd counter is non-zero

  MSG& At(size_t i) { return ring[(head + i) & (ring.size() - 1)]; }

  void Grow() {
    std::vector<MSG> bigger(ring.size() * 2);
    for (size_t i = 0; i < count; ++i) bigger[i] = At(i);
    ring.swap(bigger);
    head = 0;
  }

  // Keeps the descriptor readable exactly while messages are queued.
  void UpdateFd() {
    if (eventFd < 0) return;
    if (count > 0 && !fdSignaled) {
      const uint64_t one = 1;
      if (write(eventFd, &one, sizeof one) == static_cast<ssize_t>(sizeof one)) fdSignaled = true;
    } else if (count == 0 && fdSignaled) {
      uint64_t value = 0;
      // Non-blocking: if the host drained the counter itself there is nothing to read.
      if (read(eventFd, &value, sizeof value) < 0 && errno != EAGAIN) return;
      fdSignaled = false;
    }
  }

  // Removes the element at position i, keeping the order of the others.
  void RemoveAt(size_t i) {
    if (i == 0) {
      head = (head + 1) & (ring.size() - 1);
    } else {
      for (size_t j = i; j + 1 < count; ++j) At(j) = At(j + 1);
    }
    --count;
  }

  // Finds the first message matching the filter; copies it out and removes it on request.
  bool TakeLocked(MSG* out, HWND hWnd, UINT filterMin, UINT filterMax, bool remove) {
    for (size_t i = 0; i < count; ++i) {
      if (!Matches(At(i), hWnd, filterMin, filterMax)) continue;
      *out = At(i);
      if (remove) {
        RemoveAt(i);
        UpdateFd();
      }
      return true;
    }
    return false;
  }
};

namespace {

struct Registry {
  std::mutex mutex;
  std::unordered_map<DWORD, std::shared_ptr<ThreadQueue>> queues;
};

// Never destroyed: threads still running while the process exits may post.
Registry& TheRegistry() {
  static Registry* registry = new Registry;
  return *registry;
}

// Whether the calling thread's queue is gone because the thread is exiting.  A plain flag: it
// stays readable while the thread's other exit-time destructors run, after the holder below.
thread_local bool queueGone = false;

// What a thread gets after its queue is gone (say, from another destructor that runs at thread
// or process exit): a closed queue, shared by all such threads, that never holds a message.
const std::shared_ptr<ThreadQueue>& ClosedQueue() {
  static auto* closed = [] {
    auto* queue = new std::shared_ptr<ThreadQueue>(std::make_shared<ThreadQueue>(0));
    (*queue)->closed = true;
    return queue;
  }();
  return *closed;
}

// Owns the calling thread's queue; its destructor runs when the thread exits.
struct QueueHolder {
  std::shared_ptr<ThreadQueue> queue;

  ~QueueHolder() {
    queueGone = true;
    if (!queue) return;
    ForgetWindowsOfThread(queue->threadId);
    {
      std::lock_guard<std::mutex> lock(queue->mutex);
      queue->closed = true;
      queue->count = 0;
      queue->UpdateFd();
    }
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    auto it = registry.queues.find(queue->threadId);
    if (it != registry.queues.end() && it->second == queue) registry.queues.erase(it);
    queue.reset();
  }
};

thread_local QueueHolder currentQueue;

}  // namespace

const std::shared_ptr<ThreadQueue>& CurrentQueue() {
  if (queueGone) return ClosedQueue();
  if (!currentQueue.queue) {
    auto queue = std::make_shared<ThreadQueue>(GetCurrentThreadId());
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    // A stale entry under the same id belonged to an earlier thread that reused the id.
    registry.queues[queue->threadId] = queue;
    currentQueue.queue = std::move(queue);
  }
  return currentQueue.queue;
}

std::shared_ptr<ThreadQueue> FindQueue(DWORD threadId) {
  Registry& registry = TheRegistry();
  std::lock_guard<std::mutex> lock(registry.mutex);
  auto it = registry.queues.find(threadId);
  return it == registry.queues.end() ? nullptr : it->second;
}

bool Post(ThreadQueue& queue, HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  {
    std::lock_guard<std::mutex> lock(queue.mutex);
    if (queue.closed) {
      SetLastError(ERROR_INVALID_THREAD_ID);
      return false;
    }
    if (queue.count >= kMaxQueuedMessages) {
      SetLastError(ERROR_NOT_ENOUGH_QUOTA);
      return false;
    }
    if (queue.count == queue.ring.size()) queue.Grow();
    MSG& slot = queue.At(queue.count);
    slot = MSG{};
    slot.hwnd = hWnd;
    slot.message = msg;
    slot.wParam = wParam;
    slot.lParam = lParam;
    slot.time = MonotonicMilliseconds();
    ++queue.count;
    queue.UpdateFd();
  }
  queue.arrived.notify_one();
  return true;
}

size_t PostMany(ThreadQueue& queue, HWND hWnd, UINT msg, const PostedPair* pairs, size_t count) {
  size_t posted = 0;
  {
    std::lock_guard<std::mutex> lock(queue.mutex);
    if (queue.closed) {
      SetLastError(ERROR_INVALID_THREAD_ID);
      return 0;
    }
    const DWORD time = MonotonicMilliseconds();
    for (; posted < count; ++posted) {
      if (queue.count >= kMaxQueuedMessages) {
        SetLastError(ERROR_NOT_ENOUGH_QUOTA);
        break;
      }
      if (queue.count == queue.ring.size()) queue.Grow();
      MSG& slot = queue.At(queue.count);
      slot = MSG{};
      slot.hwnd = hWnd;
      slot.message = msg;
      slot.wParam = pairs[posted].wParam;
      slot.lParam = pairs[posted].lParam;
      slot.time = time;
      ++queue.count;
    }
    queue.UpdateFd();
  }
  if (posted > 0) queue.arrived.notify_one();
  return posted;
}

void DropWindowMessages(ThreadQueue& queue, HWND hWnd) {
  std::lock_guard<std::mutex> lock(queue.mutex);
  size_t kept = 0;
  for (size_t i = 0; i < queue.count; ++i) {
    if (queue.At(i).hwnd == hWnd) continue;
    if (kept != i) queue.At(kept) = queue.At(i);
    ++kept;
  }
  queue.count = kept;
  queue.UpdateFd();
}

}  // namespace voxl::messages

using voxl::messages::CurrentQueue;
using voxl::messages::ThreadQueue;

extern "C" {

DWORD WINAPI GetCurrentThreadId(void) {
  thread_local const DWORD id = static_cast<DWORD>(gettid());
  return id;
}

void WINAPI Sleep(DWORD milliseconds) {
  if (milliseconds == 0) {
    sched_yield();
    return;
  }
  timespec left{static_cast<time_t>(milliseconds / 1000),
                static_cast<long>(milliseconds % 1000) * 1000000L};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

BOOL WINAPI PostThreadMessageA(DWORD idThread, UINT msg, WPARAM wParam, LPARAM lParam) {
  std::shared_ptr<ThreadQueue> queue = voxl::messages::FindQueue(idThread);
  if (!queue) {
    SetLastError(ERROR_INVALID_THREAD_ID);
    return FALSE;
  }
  return voxl::messages::Post(*queue, nullptr, msg, wParam, lParam) ? TRUE : FALSE;
}

BOOL WINAPI PeekMessageA(LPMSG msg, HWND hWnd, UINT msgFilterMin, UINT msgFilterMax,
                         UINT removeMsg) {
  ThreadQueue& queue = *CurrentQueue();
  if (msg == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::lock_guard<std::mutex> lock(queue.mutex);
  return queue.TakeLocked(msg, hWnd, msgFilterMin, msgFilterMax, (removeMsg & PM_REMOVE) != 0)
             ? TRUE
             : FALSE;
}

BOOL WINAPI GetMessageA(LPMSG msg, HWND hWnd, UINT msgFilterMin, UINT msgFilterMax) {
  ThreadQueue& queue = *CurrentQueue();
  if (msg == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return -1;
  }
  if (hWnd != nullptr && hWnd != reinterpret_cast<HWND>(static_cast<intptr_t>(-1)) &&
      !voxl::messages::IsWindowOfCurrentThread(hWnd)) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return -1;
  }
  std::unique_lock<std::mutex> lock(queue.mutex);
  if (queue.closed) {
    // The thread is exiting: nothing can arrive any more.
    SetLastError(ERROR_INVALID_THREAD_ID);
    return -1;
  }
  while (!queue.TakeLocked(msg, hWnd, msgFilterMin, msgFilterMax, true)) queue.arrived.wait(lock);
  return msg->message == WM_QUIT ? FALSE : TRUE;
}

void WINAPI PostQuitMessage(int exitCode) {
  voxl::messages::Post(*CurrentQueue(), nullptr, WM_QUIT, static_cast<WPARAM>(exitCode), 0);
}

int WINAPI VoxlMessageQueueFd(void) {
  ThreadQueue& queue = *CurrentQueue();
  std::lock_guard<std::mutex> lock(queue.mutex);
  if (queue.closed) {
    SetLastError(ERROR_INVALID_THREAD_ID);
    return -1;
  }
  if (queue.eventFd < 0) {
    queue.eventFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (queue.eventFd < 0) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return -1;
    }
    queue.fdSignaled = false;
    queue.UpdateFd();
  }
  return queue.eventFd;
}

}  // extern "C"
