// Messages service, inside view: how the window side reaches the thread queues.
//
// Each thread that has called PeekMessageA, GetMessageA, VoxlMessageQueueFd or CreateWindowExA
// owns one queue, registered under its thread id until the thread exits.  Windows live in their
// own table (windows.cpp); a message for a window is queued on the owning thread's queue.
#pragma once

#include <memory>

#include "voxl310k_platform.h"

#if defined(_WIN32)
// The original platform's own messages and windows (windows.h, through the public header).
#else  // Linux: the library's own platform layer

// Last-error codes of the messages service that the system service does not list.
#define ERROR_INVALID_WINDOW_HANDLE 1400
#define ERROR_INVALID_INDEX 1413
#define ERROR_CLASS_ALREADY_EXISTS 1410
#define ERROR_CLASS_DOES_NOT_EXIST 1411
#define ERROR_CLASS_HAS_WINDOWS 1412
#define ERROR_INVALID_THREAD_ID 1444
#define ERROR_NOT_ENOUGH_QUOTA 1816

namespace voxl::messages {

struct ThreadQueue;

// The calling thread's queue, created on first use.
const std::shared_ptr<ThreadQueue>& CurrentQueue();
// The queue of thread `threadId`, or null when that thread has none.
std::shared_ptr<ThreadQueue> FindQueue(DWORD threadId);
// Appends a message (time stamped now); false when the queue is full or already closed.
bool Post(ThreadQueue& queue, HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam);
// One message's parameters, for PostMany and PostWindowMessages.
struct PostedPair {
  WPARAM wParam;
  LPARAM lParam;
};
// Appends `count` messages `msg` with the given parameters under one lock and wakes the
// receiver once.  Returns how many were queued: all, or those before the queue filled up (none
// when it is closed).
size_t PostMany(ThreadQueue& queue, HWND hWnd, UINT msg, const PostedPair* pairs, size_t count);
// PostMessageA of `count` messages to one window, in order, with one wake of its thread: what a
// sender that produces a burst uses so the receiver handles the burst in one go.  Returns how
// many were posted (0 for a window that does not exist).
size_t PostWindowMessages(HWND hWnd, UINT msg, const PostedPair* pairs, size_t count);

// Removes every queued message addressed to hWnd.
void DropWindowMessages(ThreadQueue& queue, HWND hWnd);

// Called on a thread's way out, before its queue goes: forgets the windows it still owns
// (without calling their procedures; the thread can no longer run them safely).
void ForgetWindowsOfThread(DWORD threadId);
// True when hWnd names an existing window owned by the calling thread, for the hWnd filter of
// PeekMessageA and GetMessageA.
bool IsWindowOfCurrentThread(HWND hWnd);

// Tests only: after `callsBefore` more windows have been created, every CreateWindowExA fails
// (null, last error ERROR_NOT_ENOUGH_QUOTA, as when a process has used up its windows).  A
// negative value lifts the fault.
void FailWindowCreationForTesting(int callsBefore);

}  // namespace voxl::messages

#endif  // Linux
