// Window classes and windows: RegisterClassA, UnregisterClassA, CreateWindowExA, DestroyWindow,
// IsWindow, SetWindowLongA/GetWindowLongA, PostMessageA, DispatchMessageA, SendMessageA,
// DefWindowProcA, TranslateMessage and GetStockObject.
//
// Windows here are message targets only: nothing is drawn.  A window belongs to the thread that
// created it; posts to it go to that thread's queue, and its procedure runs only on that thread
// (DispatchMessageA, SendMessageA and DestroyWindow from another thread are refused).
//
// Handles are numbers handed out in increasing order and not reused until the 32-bit range has
// wrapped, so a stale handle does not reach a newer window.  Lookups take the table's lock only
// to find the window and then hold a reference to it while they use it; posting to a window
// happens under the table's lock, so once DestroyWindow has removed a window no message for it
// can still be queued.  (A plain mutex, not a reader-writer lock: steady posting must not starve
// DestroyWindow.)
#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/messages/messages.h"
#include "platform/system/system.h"

#define ERROR_CANNOT_FIND_WND_CLASS 1407

namespace voxl::messages {

namespace {

constexpr size_t kMaxClassName = 255;
constexpr int kMaxWindowExtra = 65536;
constexpr uint32_t kFirstHandle = 0x10000;
constexpr uint32_t kHandleStep = 2;
constexpr ATOM kFirstAtom = 0xC000;

// Windows still to be created before creation fails; -1: creation does not fail.
std::atomic<int> gWindowsBeforeFailure{-1};

// Counts one creation down; true when this creation is to fail.
bool CreationFails() {
  int left = gWindowsBeforeFailure.load();
  while (left > 0 && !gWindowsBeforeFailure.compare_exchange_weak(left, left - 1)) {
  }
  return left == 0;
}

struct WindowClass {
  std::string key;  // the name in lower case: class names compare without regard to case
  ATOM atom = 0;
  WNDPROC proc = nullptr;
  int cbWndExtra = 0;
  int windows = 0;  // live windows of the class; guarded by the table's mutex
};

struct Window {
  uintptr_t handle = 0;
  DWORD owner = 0;
  std::shared_ptr<ThreadQueue> queue;  // the owner's queue
  std::shared_ptr<WindowClass> windowClass;
  std::atomic<LONG_PTR> userData{0};
  std::mutex extraMutex;
  std::vector<unsigned char> extra;  // cbWndExtra bytes, guarded by extraMutex
  std::atomic<bool> destroying{false};
};

struct Table {
  std::mutex mutex;
  std::unordered_map<uintptr_t, std::shared_ptr<Window>> windows;
  std::unordered_map<std::string, std::shared_ptr<WindowClass>> classes;
  uint32_t nextHandle = kFirstHandle;
  ATOM nextAtom = kFirstAtom;
};

// Never destroyed: other threads may still post while the process exits.
Table& TheTable() {
  static Table* table = new Table;
  return *table;
}

std::string Lower(const char* name) {
  std::string key(name);
  for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return key;
}

bool IsAtomName(LPCSTR className) {
  return reinterpret_cast<uintptr_t>(className) < 0x10000;
}

// Table lock held.
std::shared_ptr<WindowClass> FindClassLocked(Table& table, LPCSTR className) {
  if (className == nullptr) return nullptr;
  if (IsAtomName(className)) {
    const ATOM atom = static_cast<ATOM>(reinterpret_cast<uintptr_t>(className));
    for (const auto& [key, cls] : table.classes) {
      if (cls->atom == atom) return cls;
    }
    return nullptr;
  }
  if (std::strlen(className) > kMaxClassName) return nullptr;
  auto it = table.classes.find(Lower(className));
  return it == table.classes.end() ? nullptr : it->second;
}

std::shared_ptr<Window> FindWindow(HWND hWnd) {
  Table& table = TheTable();
  std::lock_guard<std::mutex> lock(table.mutex);
  auto it = table.windows.find(reinterpret_cast<uintptr_t>(hWnd));
  return it == table.windows.end() ? nullptr : it->second;
}

// Table lock held exclusively.
uintptr_t NewHandleLocked(Table& table) {
  for (;;) {
    const uintptr_t handle = table.nextHandle;
    table.nextHandle += kHandleStep;
    if (table.nextHandle < kFirstHandle) table.nextHandle = kFirstHandle;  // wrapped
    if (!table.windows.contains(handle)) return handle;
  }
}

// Table lock held exclusively.
void RemoveWindowLocked(Table& table, uintptr_t handle) {
  auto it = table.windows.find(handle);
  if (it == table.windows.end()) return;
  --it->second->windowClass->windows;
  table.windows.erase(it);
}

void Destroy(const std::shared_ptr<Window>& window) {
  HWND hWnd = reinterpret_cast<HWND>(window->handle);
  window->windowClass->proc(hWnd, WM_DESTROY, 0, 0);
  Table& table = TheTable();
  {
    std::lock_guard<std::mutex> lock(table.mutex);
    RemoveWindowLocked(table, window->handle);
  }
  DropWindowMessages(*window->queue, hWnd);
}

// Resolves the offset of a pointer-sized value in the window's extra bytes, or -1.
ptrdiff_t ExtraOffset(const Window& window, int index) {
  if (index < 0) return -1;
  if (static_cast<size_t>(index) + sizeof(LONG_PTR) > window.extra.size()) return -1;
  return index;
}

}  // namespace

void ForgetWindowsOfThread(DWORD threadId) {
  Table& table = TheTable();
  std::lock_guard<std::mutex> lock(table.mutex);
  for (auto it = table.windows.begin(); it != table.windows.end();) {
    if (it->second->owner == threadId) {
      --it->second->windowClass->windows;
      it = table.windows.erase(it);
    } else {
      ++it;
    }
  }
}

bool IsWindowOfCurrentThread(HWND hWnd) {
  std::shared_ptr<Window> window = FindWindow(hWnd);
  return window && window->owner == GetCurrentThreadId();
}

void FailWindowCreationForTesting(int callsBefore) {
  gWindowsBeforeFailure = callsBefore < 0 ? -1 : callsBefore;
}

}  // namespace voxl::messages

using voxl::messages::FindWindow;
using voxl::messages::TheTable;
using voxl::messages::Window;
using voxl::messages::WindowClass;

namespace voxl::messages {

size_t PostWindowMessages(HWND hWnd, UINT msg, const PostedPair* pairs, size_t count) {
  if (hWnd == nullptr || count == 0) return 0;
  auto& table = TheTable();
  std::lock_guard<std::mutex> lock(table.mutex);
  auto it = table.windows.find(reinterpret_cast<uintptr_t>(hWnd));
  if (it == table.windows.end()) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  return PostMany(*it->second->queue, hWnd, msg, pairs, count);
}

}  // namespace voxl::messages

extern "C" {

ATOM WINAPI RegisterClassA(const WNDCLASSA* wndClass) {
  if (wndClass == nullptr || wndClass->lpfnWndProc == nullptr ||
      wndClass->lpszClassName == nullptr || voxl::messages::IsAtomName(wndClass->lpszClassName) ||
      wndClass->lpszClassName[0] == '\0' ||
      std::strlen(wndClass->lpszClassName) > voxl::messages::kMaxClassName ||
      wndClass->cbWndExtra < 0 || wndClass->cbWndExtra > voxl::messages::kMaxWindowExtra) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  auto& table = TheTable();
  std::lock_guard<std::mutex> lock(table.mutex);
  std::string key = voxl::messages::Lower(wndClass->lpszClassName);
  if (table.classes.contains(key)) {
    SetLastError(ERROR_CLASS_ALREADY_EXISTS);
    return 0;
  }
  // Atoms come from 0xC000..0xFFFF; pick the next one not in use.
  ATOM atom = 0;
  for (unsigned tries = 0; tries < 0x4000 && atom == 0; ++tries) {
    const ATOM candidate = table.nextAtom;
    table.nextAtom = candidate == 0xFFFF ? voxl::messages::kFirstAtom : candidate + 1;
    if (std::none_of(table.classes.begin(), table.classes.end(),
                     [&](const auto& entry) { return entry.second->atom == candidate; })) {
      atom = candidate;
    }
  }
  if (atom == 0) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return 0;
  }
  auto cls = std::make_shared<WindowClass>();
  cls->key = key;
  cls->atom = atom;
  cls->proc = wndClass->lpfnWndProc;
  cls->cbWndExtra = wndClass->cbWndExtra;
  table.classes.emplace(std::move(key), std::move(cls));
  return atom;
}

BOOL WINAPI UnregisterClassA(LPCSTR className, HINSTANCE) {
  auto& table = TheTable();
  std::lock_guard<std::mutex> lock(table.mutex);
  std::shared_ptr<WindowClass> cls = voxl::messages::FindClassLocked(table, className);
  if (!cls) {
    SetLastError(ERROR_CLASS_DOES_NOT_EXIST);
    return FALSE;
  }
  if (cls->windows > 0) {
    SetLastError(ERROR_CLASS_HAS_WINDOWS);
    return FALSE;
  }
  table.classes.erase(cls->key);
  return TRUE;
}

HWND WINAPI CreateWindowExA(DWORD exStyle, LPCSTR className, LPCSTR windowName, DWORD style, int x,
                            int y, int width, int height, HWND parent, HMENU menu,
                            HINSTANCE instance, LPVOID param) {
  if (voxl::messages::CreationFails()) {
    SetLastError(ERROR_NOT_ENOUGH_QUOTA);
    return nullptr;
  }
  auto window = std::make_shared<Window>();
  window->owner = GetCurrentThreadId();
  window->queue = voxl::messages::CurrentQueue();
  {
    auto& table = TheTable();
    std::lock_guard<std::mutex> lock(table.mutex);
    window->windowClass = voxl::messages::FindClassLocked(table, className);
    if (!window->windowClass) {
      SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
      return nullptr;
    }
    window->extra.assign(static_cast<size_t>(window->windowClass->cbWndExtra), 0);
    window->handle = voxl::messages::NewHandleLocked(table);
    ++window->windowClass->windows;
    table.windows.emplace(window->handle, window);
  }
  HWND hWnd = reinterpret_cast<HWND>(window->handle);
  CREATESTRUCTA create{};
  create.lpCreateParams = param;
  create.hInstance = instance;
  create.hMenu = menu;
  create.hwndParent = parent;
  create.cy = height;
  create.cx = width;
  create.y = y;
  create.x = x;
  create.style = static_cast<LONG>(style);
  create.lpszName = windowName;
  create.lpszClass = className;
  create.dwExStyle = exStyle;
  // A procedure that answers WM_CREATE with -1 refuses the window.
  if (window->windowClass->proc(hWnd, WM_CREATE, 0, reinterpret_cast<LPARAM>(&create)) == -1) {
    if (!window->destroying.exchange(true)) voxl::messages::Destroy(window);
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return hWnd;
}

BOOL WINAPI DestroyWindow(HWND hWnd) {
  std::shared_ptr<Window> window = FindWindow(hWnd);
  if (!window) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  if (window->owner != GetCurrentThreadId()) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  // A procedure that destroys its window again while handling WM_DESTROY gets FALSE.
  if (window->destroying.exchange(true)) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  voxl::messages::Destroy(window);
  return TRUE;
}

BOOL WINAPI IsWindow(HWND hWnd) {
  return FindWindow(hWnd) ? TRUE : FALSE;
}

LONG_PTR WINAPI SetWindowLongA(HWND hWnd, int index, LONG_PTR newLong) {
  std::shared_ptr<Window> window = FindWindow(hWnd);
  if (!window) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  if (index == GWL_USERDATA) return window->userData.exchange(newLong);
  const ptrdiff_t offset = voxl::messages::ExtraOffset(*window, index);
  if (offset < 0) {
    SetLastError(ERROR_INVALID_INDEX);
    return 0;
  }
  std::lock_guard<std::mutex> lock(window->extraMutex);
  LONG_PTR previous = 0;
  std::memcpy(&previous, window->extra.data() + offset, sizeof previous);
  std::memcpy(window->extra.data() + offset, &newLong, sizeof newLong);
  return previous;
}

LONG_PTR WINAPI GetWindowLongA(HWND hWnd, int index) {
  std::shared_ptr<Window> window = FindWindow(hWnd);
  if (!window) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  if (index == GWL_USERDATA) return window->userData.load();
  const ptrdiff_t offset = voxl::messages::ExtraOffset(*window, index);
  if (offset < 0) {
    SetLastError(ERROR_INVALID_INDEX);
    return 0;
  }
  std::lock_guard<std::mutex> lock(window->extraMutex);
  LONG_PTR value = 0;
  std::memcpy(&value, window->extra.data() + offset, sizeof value);
  return value;
}

BOOL WINAPI PostMessageA(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  // No window: a thread message to the calling thread.
  if (hWnd == nullptr) {
    return voxl::messages::Post(*voxl::messages::CurrentQueue(), nullptr, msg, wParam, lParam)
               ? TRUE
               : FALSE;
  }
  auto& table = TheTable();
  std::lock_guard<std::mutex> lock(table.mutex);
  auto it = table.windows.find(reinterpret_cast<uintptr_t>(hWnd));
  if (it == table.windows.end()) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  return voxl::messages::Post(*it->second->queue, hWnd, msg, wParam, lParam) ? TRUE : FALSE;
}

LRESULT WINAPI DispatchMessageA(const MSG* msg) {
  if (msg == nullptr || msg->hwnd == nullptr) return 0;
  std::shared_ptr<Window> window = FindWindow(msg->hwnd);
  if (!window || window->owner != GetCurrentThreadId()) return 0;
  return window->windowClass->proc(msg->hwnd, msg->message, msg->wParam, msg->lParam);
}

BOOL WINAPI TranslateMessage(const MSG*) {
  return TRUE;
}

LRESULT WINAPI SendMessageA(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  std::shared_ptr<Window> window = FindWindow(hWnd);
  if (!window) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  if (window->owner != GetCurrentThreadId()) {
    SetLastError(ERROR_ACCESS_DENIED);
    return 0;
  }
  return window->windowClass->proc(hWnd, msg, wParam, lParam);
}

LRESULT WINAPI DefWindowProcA(HWND hWnd, UINT msg, WPARAM, LPARAM) {
  if (msg == WM_CLOSE) DestroyWindow(hWnd);
  return 0;
}

HGDIOBJ WINAPI GetStockObject(int object) {
  // Stock objects are distinct constant handles; nothing here draws with them.
  static char stockObjects[20];
  if (object < 0 || object >= static_cast<int>(sizeof stockObjects)) return nullptr;
  return &stockObjects[object];
}

}  // extern "C"
