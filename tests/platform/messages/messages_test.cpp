// Thread message queues and windows.
#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/system/system.h"
#include "voxl310k_platform.h"

namespace {

constexpr UINT kPing = WM_USER + 1;
constexpr UINT kPong = WM_USER + 2;

std::vector<MSG> Drain(HWND hWnd = nullptr) {
  std::vector<MSG> taken;
  MSG msg;
  while (PeekMessageA(&msg, hWnd, 0, 0, PM_REMOVE)) taken.push_back(msg);
  return taken;
}

bool Readable(int fd, int timeoutMs = 0) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, timeoutMs) == 1 && (p.revents & POLLIN) != 0;
}

// Starts a thread that answers every message with kPong (same wParam) to this thread until
// WM_QUIT; returns its id once its queue exists.
DWORD StartEcho(std::thread& worker) {
  std::atomic<DWORD> id{0};
  worker = std::thread([&id, replyTo = GetCurrentThreadId()] {
    MSG msg;
    PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);
    id = GetCurrentThreadId();
    id.notify_all();
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) PostThreadMessageA(replyTo, kPong, msg.wParam, 0);
  });
  id.wait(0);
  return id.load();
}

TEST(ThreadQueue, PostsFailUntilTheThreadHasAQueueAndAfterItExits) {
  std::atomic<DWORD> id{0};
  std::atomic<int> stage{0};
  std::thread worker([&] {
    id = GetCurrentThreadId();
    id.notify_all();
    stage.wait(0);
    MSG msg;
    PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);
    stage = 2;
    stage.notify_all();
    GetMessageA(&msg, nullptr, 0, 0);
  });
  id.wait(0);
  EXPECT_FALSE(PostThreadMessageA(id, kPing, 0, 0)) << "no queue before the first peek";
  stage = 1;
  stage.notify_all();
  stage.wait(1);
  EXPECT_TRUE(PostThreadMessageA(id, kPing, 0, 0));
  worker.join();
  EXPECT_FALSE(PostThreadMessageA(id, kPing, 0, 0)) << "the queue went with its thread";
}

// Queue calls from a destructor that runs after the queue's own at thread exit (as a library's
// clean-up at process exit does) fail quietly and never wait for ever.
struct LateCaller {
  std::atomic<int>* result;
  ~LateCaller() {
    MSG msg;
    int r = PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE);
    r += PostThreadMessageA(GetCurrentThreadId(), kPing, 0, 0);
    r += GetMessageA(&msg, nullptr, 0, 0) == -1 ? 0 : 100;
    result->store(r);
  }
};

TEST(ThreadQueue, CallsAfterTheQueueWentAtThreadExitFailQuietly) {
  std::atomic<int> result{-1};
  std::thread([&] {
    thread_local LateCaller late{nullptr};  // made first, so destroyed after the queue
    late.result = &result;
    MSG msg;
    PostQuitMessage(0);
    PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);
  }).join();
  EXPECT_EQ(result.load(), 0);
}

TEST(ThreadQueue, RangeFiltersTakeMatchesInOrderAndLeaveTheRest) {
  Drain();
  for (UINT m : {WM_USER + 5, WM_USER + 1, WM_USER + 9, WM_USER + 2})
    PostThreadMessageA(GetCurrentThreadId(), m, 0, 0);
  MSG msg;
  EXPECT_FALSE(PeekMessageA(&msg, nullptr, WM_USER + 20, WM_USER + 30, PM_REMOVE));
  ASSERT_TRUE(PeekMessageA(&msg, nullptr, WM_USER + 1, WM_USER + 2, PM_NOREMOVE));
  EXPECT_EQ(msg.message, WM_USER + 1);
  ASSERT_TRUE(PeekMessageA(&msg, nullptr, WM_USER + 1, WM_USER + 2, PM_REMOVE));
  EXPECT_EQ(msg.message, WM_USER + 1);
  ASSERT_EQ(GetMessageA(&msg, nullptr, WM_USER + 1, WM_USER + 2), TRUE);
  EXPECT_EQ(msg.message, WM_USER + 2);
  PostQuitMessage(0);
  EXPECT_EQ(GetMessageA(&msg, nullptr, WM_TIMER, WM_TIMER), FALSE) << "quit passes any filter";
  std::vector<MSG> rest = Drain();
  ASSERT_EQ(rest.size(), 2u);
  EXPECT_EQ(rest[0].message, WM_USER + 5);
  EXPECT_EQ(rest[1].message, WM_USER + 9);
}

TEST(ThreadQueue, EachSendersOrderIsKeptUnderConcurrentPosts) {
  Drain();
  constexpr int kSenders = 4, kEach = 5000;
  std::vector<std::thread> senders;
  for (int s = 0; s < kSenders; ++s) {
    senders.emplace_back([s, self = GetCurrentThreadId()] {
      for (int i = 0; i < kEach; ++i) PostThreadMessageA(self, WM_USER + s, i, 0);
    });
  }
  std::vector<WPARAM> next(kSenders, 0);
  MSG msg;
  for (int received = 0; received < kSenders * kEach; ++received) {
    ASSERT_EQ(GetMessageA(&msg, nullptr, 0, 0), TRUE);
    ASSERT_EQ(msg.wParam, next[msg.message - WM_USER]++) << "sender " << msg.message - WM_USER;
  }
  for (auto& t : senders) t.join();
}

// The descriptor is readable exactly while messages are queued; a post from another thread wakes
// both a poll() on it and a waiting GetMessageA, and WM_QUIT makes GetMessageA return 0.
TEST(ThreadQueue, DescriptorAndGetMessageWakeForPostsAndQuitEndsTheLoop) {
  Drain();
  const int fd = VoxlMessageQueueFd();
  ASSERT_GE(fd, 0);
  EXPECT_FALSE(Readable(fd));
  PostThreadMessageA(GetCurrentThreadId(), kPing, 0, 0);
  PostThreadMessageA(GetCurrentThreadId(), kPong, 0, 0);
  EXPECT_TRUE(Readable(fd));
  MSG msg{};
  PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);
  PeekMessageA(&msg, nullptr, kPong, kPong, PM_REMOVE);
  EXPECT_TRUE(Readable(fd));
  GetMessageA(&msg, nullptr, 0, 0);
  EXPECT_FALSE(Readable(fd));

  std::thread worker;
  const DWORD echo = StartEcho(worker);
  PostThreadMessageA(echo, kPing, 3, 0);
  EXPECT_TRUE(Readable(fd, 10000));
  EXPECT_EQ(Drain().size(), 1u);
  EXPECT_FALSE(Readable(fd));
  ASSERT_TRUE(PostThreadMessageA(echo, kPing, 7, 0));
  ASSERT_EQ(GetMessageA(&msg, nullptr, 0, 0), TRUE);
  EXPECT_EQ(msg.message, kPong);
  EXPECT_EQ(msg.wParam, 7u);
  EXPECT_EQ(msg.hwnd, nullptr);
  PostThreadMessageA(echo, WM_QUIT, 0, 0);
  worker.join();

  PostQuitMessage(5);
  ASSERT_EQ(GetMessageA(&msg, nullptr, 0, 0), FALSE);
  EXPECT_EQ(msg.message, static_cast<UINT>(WM_QUIT));
  EXPECT_EQ(msg.wParam, 5u);
  EXPECT_EQ(GetMessageA(nullptr, nullptr, 0, 0), -1);
}

// ---- Window classes and windows ----

// What RecordingProc saw on the test's thread: the messages and WM_CREATE's parameter. (Plain
// pointers: windows of other threads may reach the procedure while their thread ends.)
thread_local std::vector<UINT>* seen = nullptr;
thread_local LPVOID createParam = nullptr;

// Records what it is sent; refuses creation when the parameter is &seen; answers kPing with
// 2 * wParam.
LRESULT CALLBACK RecordingProc(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == WM_CREATE) {
    createParam = reinterpret_cast<CREATESTRUCTA*>(lParam)->lpCreateParams;
    if (createParam == &seen) return -1;
  }
  if (seen != nullptr) seen->push_back(msg);
  if (msg == kPing) return static_cast<LRESULT>(wParam) * 2;
  return DefWindowProcA(hWnd, msg, wParam, lParam);
}

HWND Create(LPCSTR cls = "VoxlTestWindow", LPVOID param = nullptr) {
  return CreateWindowExA(0, cls, "", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, nullptr, param);
}

class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Drain();
    seen = &seen_;
    ASSERT_NE(atom_ = Register("VoxlTestWindow"), 0);
  }
  void TearDown() override {
    seen = nullptr;
    EXPECT_TRUE(UnregisterClassA("VoxlTestWindow", nullptr));
  }
  static ATOM Register(LPCSTR name, WNDPROC proc = RecordingProc) {
    WNDCLASSA wc{};
    wc.lpfnWndProc = proc;
    wc.cbWndExtra = 2 * sizeof(LONG_PTR);
    wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
    wc.lpszClassName = name;
    return RegisterClassA(&wc);
  }

  std::vector<UINT> seen_;
  ATOM atom_ = 0;
};

TEST_F(WindowTest, ClassesAreFoundByNameInAnyCaseOrAtomAndStayWhileWindowsExist) {
  EXPECT_EQ(Register("VOXLTESTWINDOW"), 0) << "names ignore case";
  EXPECT_EQ(Register("VoxlOther", nullptr), 0);
  EXPECT_EQ(RegisterClassA(nullptr), 0);

  HWND byAtom = Create(MAKEINTATOM(atom_));
  HWND byName = Create("voxltestwindow");
  ASSERT_NE(byAtom, nullptr);
  ASSERT_NE(byName, nullptr);
  EXPECT_EQ(Create("NoSuchClass"), nullptr);
  EXPECT_EQ(Create("VoxlTestWindow", &seen), nullptr) << "WM_CREATE answered -1";
  EXPECT_FALSE(UnregisterClassA("NoSuchClass", nullptr));
  EXPECT_FALSE(UnregisterClassA(MAKEINTATOM(atom_), nullptr)) << "windows still exist";
  DestroyWindow(byAtom);
  DestroyWindow(byName);
  EXPECT_TRUE(UnregisterClassA(MAKEINTATOM(atom_), nullptr));
  EXPECT_NE(Register("VoxlTestWindow"), 0);  // for TearDown
}

TEST_F(WindowTest, LifeCycleMessagesDispatchAndSendRunTheProcedure) {
  int marker = 0;
  HWND hWnd = Create("VoxlTestWindow", &marker);
  ASSERT_TRUE(IsWindow(hWnd));
  EXPECT_EQ(seen_, std::vector<UINT>{WM_CREATE});
  EXPECT_EQ(createParam, &marker);

  ASSERT_TRUE(PostMessageA(hWnd, kPing, 21, 0));
  PostThreadMessageA(GetCurrentThreadId(), kPong, 0, 0);
  MSG msg;
  ASSERT_TRUE(PeekMessageA(&msg, hWnd, 0, 0, PM_REMOVE)) << "window filter";
  EXPECT_EQ(msg.hwnd, hWnd);
  EXPECT_TRUE(TranslateMessage(&msg));
  EXPECT_EQ(DispatchMessageA(&msg), 42);
  EXPECT_FALSE(PeekMessageA(&msg, hWnd, 0, 0, PM_REMOVE));
  ASSERT_TRUE(PeekMessageA(&msg, reinterpret_cast<HWND>(-1), 0, 0, PM_REMOVE)) << "thread only";
  EXPECT_EQ(DispatchMessageA(&msg), 0) << "a thread message has no procedure";
  EXPECT_EQ(SendMessageA(hWnd, kPing, 5, 0), 10);

  SendMessageA(hWnd, WM_CLOSE, 0, 0);  // DefWindowProcA destroys the window
  EXPECT_EQ(seen_.back(), static_cast<UINT>(WM_DESTROY));
  EXPECT_FALSE(IsWindow(hWnd));
  EXPECT_FALSE(DestroyWindow(hWnd));
  EXPECT_EQ(GetMessageA(&msg, hWnd, 0, 0), -1) << "filter on a window that is gone";
}

TEST_F(WindowTest, OtherThreadsPostToTheOwnerButCannotRunItsProcedureAndWindowsDieWithThem) {
  HWND hWnd = Create();
  const size_t before = seen_.size();
  std::thread([hWnd] {
    EXPECT_TRUE(PostMessageA(hWnd, kPing, 1, 0));
    MSG msg{hWnd, kPing, 1, 0, 0, {}};
    EXPECT_EQ(DispatchMessageA(&msg), 0);
    EXPECT_EQ(SendMessageA(hWnd, kPing, 1, 0), 0);
    EXPECT_FALSE(DestroyWindow(hWnd));
  }).join();
  EXPECT_EQ(seen_.size(), before);
  MSG msg;
  ASSERT_EQ(GetMessageA(&msg, nullptr, 0, 0), TRUE);
  EXPECT_EQ(msg.hwnd, hWnd);
  EXPECT_EQ(DispatchMessageA(&msg), 2);
  DestroyWindow(hWnd);

  std::thread([&] { hWnd = Create(); }).join();
  ASSERT_NE(hWnd, nullptr);
  EXPECT_FALSE(IsWindow(hWnd));
  EXPECT_FALSE(PostMessageA(hWnd, kPing, 0, 0));
}

TEST_F(WindowTest, DestroyDropsQueuedMessagesAndStaleHandlesReachNothing) {
  HWND gone = Create(), kept = Create();
  for (HWND to : {gone, kept, gone}) PostMessageA(to, kPing, 1, 0);
  DestroyWindow(gone);
  EXPECT_FALSE(PostMessageA(gone, kPing, 4, 0));
  std::vector<MSG> rest = Drain();
  ASSERT_EQ(rest.size(), 1u);
  EXPECT_EQ(rest[0].hwnd, kept);

  PostMessageA(kept, kPing, 5, 0);
  DestroyWindow(kept);
  EXPECT_FALSE(Readable(VoxlMessageQueueFd())) << "dropping the last message empties the queue";
  for (int i = 0; i < 100; ++i) {
    HWND next = Create();
    ASSERT_NE(next, gone);
    ASSERT_NE(next, kept);
    DestroyWindow(next);
  }
  EXPECT_EQ(SetWindowLongA(gone, GWL_USERDATA, 1), 0);
}

TEST_F(WindowTest, UserDataAndExtraBytesHoldPointerSizedValues) {
  HWND hWnd = Create();
  const auto big = static_cast<LONG_PTR>(reinterpret_cast<uintptr_t>(&atom_));
  for (int index : {GWL_USERDATA, static_cast<int>(sizeof(LONG_PTR))}) {
    EXPECT_EQ(SetWindowLongA(hWnd, index, big), 0) << index;
    EXPECT_EQ(GetWindowLongA(hWnd, index), big) << index;
  }
  EXPECT_EQ(SetWindowLongA(hWnd, GWL_USERDATA, 7), big) << "the previous value";
  EXPECT_EQ(GetWindowLongA(hWnd, 0), 0);
  SetLastError(0);
  EXPECT_EQ(SetWindowLongA(hWnd, sizeof(LONG_PTR) + 1, 9), 0) << "past the extra bytes";
  EXPECT_NE(GetLastError(), 0u);
  EXPECT_EQ(GetWindowLongA(hWnd, -7), 0);
  DestroyWindow(hWnd);
}

TEST_F(WindowTest, PostsRacingWithDestroyLeaveNothingForTheDeadWindow) {
  for (int round = 0; round < 20; ++round) {
    HWND hWnd = Create();
    std::atomic<bool> stop{false};
    std::vector<std::thread> posters;
    for (int p = 0; p < 2; ++p) {
      posters.emplace_back([&] {
        while (!stop) PostMessageA(hWnd, kPing, 0, 0);
      });
    }
    MSG msg;
    GetMessageA(&msg, nullptr, 0, 0);  // the posters are running
    DestroyWindow(hWnd);
    stop = true;
    for (auto& t : posters) t.join();
    for (const MSG& m : Drain()) ASSERT_NE(m.hwnd, hWnd);
  }
}

}  // namespace
