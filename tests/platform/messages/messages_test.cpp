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

// Pumps PeekMessageA until the queue is empty; returns the messages taken.
std::vector<MSG> Drain(HWND hWnd = nullptr, UINT filterMin = 0, UINT filterMax = 0) {
  std::vector<MSG> taken;
  MSG msg;
  while (PeekMessageA(&msg, hWnd, filterMin, filterMax, PM_REMOVE)) taken.push_back(msg);
  return taken;
}

bool Readable(int fd) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, 0) == 1 && (p.revents & POLLIN) != 0;
}

// A thread that creates its queue, reports its id and then waits for WM_QUIT, echoing every
// other message back to `replyTo` as kPong with the same wParam.
class EchoThread {
 public:
  explicit EchoThread(DWORD replyTo) {
    worker_ = std::thread([this, replyTo] {
      MSG msg;
      PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);
      id_.store(GetCurrentThreadId());
      id_.notify_all();
      while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
        PostThreadMessageA(replyTo, kPong, msg.wParam, msg.lParam);
      }
      exitCode_ = static_cast<int>(msg.wParam);
    });
    id_.wait(0);
  }
  ~EchoThread() {
    if (worker_.joinable()) Quit(0);
  }
  DWORD id() const { return id_.load(); }
  int Quit(int code) {
    PostThreadMessageA(id(), WM_QUIT, static_cast<WPARAM>(code), 0);
    worker_.join();
    return exitCode_;
  }

 private:
  std::atomic<DWORD> id_{0};
  int exitCode_ = -1;
  std::thread worker_;
};

// ---- Thread queues ----

TEST(ThreadQueue, PostsFailUntilTheThreadHasAQueueAndAfterItExits) {
  std::atomic<DWORD> id{0};
  std::atomic<int> stage{0};
  std::thread worker([&] {
    id.store(GetCurrentThreadId());
    id.notify_all();
    stage.wait(0);  // no queue yet
    MSG msg;
    PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);
    stage.store(2);
    stage.notify_all();
    GetMessageA(&msg, nullptr, 0, 0);
  });
  id.wait(0);
  EXPECT_FALSE(PostThreadMessageA(id.load(), kPing, 0, 0));
  stage.store(1);
  stage.notify_all();
  stage.wait(1);
  EXPECT_TRUE(PostThreadMessageA(id.load(), kPing, 0, 0));
  worker.join();
  EXPECT_FALSE(PostThreadMessageA(id.load(), kPing, 0, 0));
  EXPECT_FALSE(PostThreadMessageA(0, kPing, 0, 0));
}

TEST(ThreadQueue, GetMessageWaitsForAPostAndReturnsZeroForQuit) {
  EchoThread echo(GetCurrentThreadId());
  Drain();
  ASSERT_TRUE(PostThreadMessageA(echo.id(), kPing, 7, -3));
  MSG msg{};
  ASSERT_EQ(GetMessageA(&msg, nullptr, 0, 0), TRUE);
  EXPECT_EQ(msg.message, kPong);
  EXPECT_EQ(msg.wParam, 7u);
  EXPECT_EQ(msg.lParam, -3);
  EXPECT_EQ(msg.hwnd, nullptr);
  EXPECT_EQ(echo.Quit(42), 42);

  PostQuitMessage(5);
  ASSERT_EQ(GetMessageA(&msg, nullptr, 0, 0), FALSE);
  EXPECT_EQ(msg.message, static_cast<UINT>(WM_QUIT));
  EXPECT_EQ(msg.wParam, 5u);
  EXPECT_EQ(GetMessageA(nullptr, nullptr, 0, 0), -1);
}

TEST(ThreadQueue, PeekFiltersByRangeAndKeepsTheOrderOfTheRest) {
  Drain();
  const DWORD self = GetCurrentThreadId();
  for (UINT m : {WM_USER + 5, WM_USER + 1, WM_USER + 9, WM_USER + 2}) {
    ASSERT_TRUE(PostThreadMessageA(self, m, m, 0));
  }
  MSG msg;
  EXPECT_FALSE(PeekMessageA(&msg, nullptr, WM_USER + 20, WM_USER + 30, PM_REMOVE));
  ASSERT_TRUE(PeekMessageA(&msg, nullptr, WM_USER + 1, WM_USER + 2, PM_NOREMOVE));
  EXPECT_EQ(msg.message, WM_USER + 1);
  ASSERT_TRUE(PeekMessageA(&msg, nullptr, WM_USER + 1, WM_USER + 2, PM_REMOVE));
  EXPECT_EQ(msg.message, WM_USER + 1);
  ASSERT_TRUE(PeekMessageA(&msg, nullptr, WM_USER + 1, WM_USER + 2, PM_REMOVE));
  EXPECT_EQ(msg.message, WM_USER + 2);
  std::vector<MSG> rest = Drain();
  ASSERT_EQ(rest.size(), 2u);
  EXPECT_EQ(rest[0].message, WM_USER + 5);
  EXPECT_EQ(rest[1].message, WM_USER + 9);
}

TEST(ThreadQueue, QuitMatchesAnyRangeFilter) {
  Drain();
  PostThreadMessageA(GetCurrentThreadId(), WM_USER + 3, 0, 0);
  PostQuitMessage(1);
  MSG msg;
  ASSERT_EQ(GetMessageA(&msg, nullptr, WM_TIMER, WM_TIMER), FALSE);
  EXPECT_EQ(Drain().size(), 1u);
}

TEST(ThreadQueue, EachSendersOrderIsKeptUnderConcurrentPosts) {
  Drain();
  constexpr int kSenders = 4;
  constexpr int kEach = 5000;
  const DWORD self = GetCurrentThreadId();
  std::vector<std::thread> senders;
  for (int s = 0; s < kSenders; ++s) {
    senders.emplace_back([=] {
      for (int i = 0; i < kEach; ++i) {
        ASSERT_TRUE(
            PostThreadMessageA(self, WM_USER + static_cast<UINT>(s), static_cast<WPARAM>(i), 0));
      }
    });
  }
  std::vector<int> next(kSenders, 0);
  MSG msg;
  for (int received = 0; received < kSenders * kEach; ++received) {
    ASSERT_EQ(GetMessageA(&msg, nullptr, 0, 0), TRUE);
    const int s = static_cast<int>(msg.message - WM_USER);
    ASSERT_EQ(msg.wParam, static_cast<WPARAM>(next[s])) << "sender " << s;
    ++next[s];
  }
  for (auto& t : senders) t.join();
  EXPECT_TRUE(Drain().empty());
}

TEST(ThreadQueue, DescriptorIsReadableExactlyWhileMessagesAreQueued) {
  Drain();
  const int fd = VoxlMessageQueueFd();
  ASSERT_GE(fd, 0);
  EXPECT_EQ(VoxlMessageQueueFd(), fd);
  EXPECT_FALSE(Readable(fd));
  PostThreadMessageA(GetCurrentThreadId(), kPing, 1, 0);
  PostThreadMessageA(GetCurrentThreadId(), kPong, 2, 0);
  EXPECT_TRUE(Readable(fd));
  MSG msg;
  PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);
  EXPECT_TRUE(Readable(fd));
  PeekMessageA(&msg, nullptr, kPong, kPong, PM_REMOVE);
  EXPECT_TRUE(Readable(fd));
  GetMessageA(&msg, nullptr, 0, 0);
  EXPECT_FALSE(Readable(fd));

  // A post from another thread wakes a poll() that waits on the descriptor.
  EchoThread echo(GetCurrentThreadId());
  PostThreadMessageA(echo.id(), kPing, 3, 0);
  pollfd p{fd, POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 10000), 1);
  EXPECT_EQ(Drain().size(), 1u);
  EXPECT_FALSE(Readable(fd));
}

TEST(ThreadQueue, MessagesCarryAMonotonicTime) {
  Drain();
  PostThreadMessageA(GetCurrentThreadId(), kPing, 0, 0);
  PostThreadMessageA(GetCurrentThreadId(), kPing, 0, 0);
  std::vector<MSG> taken = Drain();
  ASSERT_EQ(taken.size(), 2u);
  EXPECT_LE(taken[0].time, taken[1].time);
}

// ---- Window classes and windows ----

struct Seen {
  std::vector<UINT> messages;
  LPVOID createParam = nullptr;
  DWORD thread = 0;
};
thread_local Seen* seen = nullptr;

LRESULT CALLBACK RecordingProc(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (seen != nullptr) {
    seen->messages.push_back(msg);
    seen->thread = GetCurrentThreadId();
    if (msg == WM_CREATE) {
      seen->createParam = reinterpret_cast<CREATESTRUCTA*>(lParam)->lpCreateParams;
    }
  }
  if (msg == kPing) return static_cast<LRESULT>(wParam) * 2;
  return DefWindowProcA(hWnd, msg, wParam, lParam);
}

LRESULT CALLBACK RefusingProc(HWND, UINT msg, WPARAM, LPARAM) {
  return msg == WM_CREATE ? -1 : 0;
}

class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Drain();
    seen = &record_;
    WNDCLASSA wc{};
    wc.lpfnWndProc = RecordingProc;
    wc.cbWndExtra = 2 * sizeof(LONG_PTR);
    wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
    wc.lpszClassName = "VoxlTestWindow";
    atom_ = RegisterClassA(&wc);
    ASSERT_NE(atom_, 0);
  }
  void TearDown() override {
    seen = nullptr;
    EXPECT_TRUE(UnregisterClassA("VoxlTestWindow", nullptr));
  }
  HWND Create(LPVOID param = nullptr) {
    return CreateWindowExA(0, "VoxlTestWindow", "", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, nullptr,
                           param);
  }

  Seen record_;
  ATOM atom_ = 0;
};

TEST_F(WindowTest, ClassNamesAreCaseInsensitiveAndUniqueAndAtomsWork) {
  WNDCLASSA wc{};
  wc.lpfnWndProc = RecordingProc;
  wc.lpszClassName = "VOXLTESTWINDOW";
  EXPECT_EQ(RegisterClassA(&wc), 0);
  wc.lpszClassName = nullptr;
  EXPECT_EQ(RegisterClassA(&wc), 0);
  wc.lpszClassName = "VoxlOther";
  wc.lpfnWndProc = nullptr;
  EXPECT_EQ(RegisterClassA(&wc), 0);
  EXPECT_EQ(RegisterClassA(nullptr), 0);

  HWND byAtom =
      CreateWindowExA(0, MAKEINTATOM(atom_), "", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
  ASSERT_NE(byAtom, nullptr);
  HWND byName =
      CreateWindowExA(0, "voxltestwindow", "", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
  ASSERT_NE(byName, nullptr);
  EXPECT_EQ(
      CreateWindowExA(0, "NoSuchClass", "", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr),
      nullptr);
  EXPECT_FALSE(UnregisterClassA("NoSuchClass", nullptr));
  EXPECT_FALSE(UnregisterClassA(MAKEINTATOM(atom_), nullptr)) << "windows still exist";
  EXPECT_TRUE(DestroyWindow(byAtom));
  EXPECT_FALSE(UnregisterClassA("VoxlTestWindow", nullptr));
  EXPECT_TRUE(DestroyWindow(byName));

  // Unregistering by atom works too; TearDown then needs the class back.
  EXPECT_TRUE(UnregisterClassA(MAKEINTATOM(atom_), nullptr));
  wc.lpfnWndProc = RecordingProc;
  wc.lpszClassName = "VoxlTestWindow";
  EXPECT_NE(RegisterClassA(&wc), 0);
}

TEST_F(WindowTest, CreateSendsWmCreateWithTheParameterAndDestroySendsWmDestroy) {
  int marker = 0;
  HWND hWnd = Create(&marker);
  ASSERT_NE(hWnd, nullptr);
  EXPECT_TRUE(IsWindow(hWnd));
  EXPECT_EQ(record_.createParam, &marker);
  ASSERT_EQ(record_.messages.size(), 1u);
  EXPECT_EQ(record_.messages[0], static_cast<UINT>(WM_CREATE));
  EXPECT_TRUE(DestroyWindow(hWnd));
  EXPECT_EQ(record_.messages.back(), static_cast<UINT>(WM_DESTROY));
  EXPECT_FALSE(IsWindow(hWnd));
  EXPECT_FALSE(DestroyWindow(hWnd));
  EXPECT_FALSE(IsWindow(nullptr));
}

TEST_F(WindowTest, ProcedureRefusingCreationGivesNoWindow) {
  WNDCLASSA wc{};
  wc.lpfnWndProc = RefusingProc;
  wc.lpszClassName = "VoxlRefusing";
  ASSERT_NE(RegisterClassA(&wc), 0);
  EXPECT_EQ(
      CreateWindowExA(0, "VoxlRefusing", "", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr),
      nullptr);
  EXPECT_TRUE(UnregisterClassA("VoxlRefusing", nullptr));
}

TEST_F(WindowTest, PostedMessagesReachTheProcedureThroughDispatch) {
  HWND hWnd = Create();
  ASSERT_TRUE(PostMessageA(hWnd, kPing, 21, 0));
  ASSERT_TRUE(PostThreadMessageA(GetCurrentThreadId(), kPong, 0, 0));
  MSG msg;
  // Window filter: only that window's messages.
  ASSERT_TRUE(PeekMessageA(&msg, hWnd, 0, 0, PM_REMOVE));
  EXPECT_EQ(msg.hwnd, hWnd);
  EXPECT_TRUE(TranslateMessage(&msg));
  EXPECT_EQ(DispatchMessageA(&msg), 42);
  EXPECT_EQ(record_.messages.back(), kPing);
  EXPECT_FALSE(PeekMessageA(&msg, hWnd, 0, 0, PM_REMOVE));
  // (HWND)-1: thread messages only.
  ASSERT_TRUE(PeekMessageA(&msg, reinterpret_cast<HWND>(-1), 0, 0, PM_REMOVE));
  EXPECT_EQ(msg.message, kPong);
  EXPECT_EQ(DispatchMessageA(&msg), 0) << "thread messages have no procedure";
  EXPECT_EQ(SendMessageA(hWnd, kPing, 5, 0), 10);
  DestroyWindow(hWnd);
  EXPECT_EQ(GetMessageA(&msg, hWnd, 0, 0), -1) << "filter on a window that does not exist";
}

TEST_F(WindowTest, PostFromAnotherThreadQueuesOnTheOwnerThread) {
  HWND hWnd = Create();
  std::thread poster([hWnd] { EXPECT_TRUE(PostMessageA(hWnd, kPing, 1, 0)); });
  poster.join();
  MSG msg;
  ASSERT_EQ(GetMessageA(&msg, nullptr, 0, 0), TRUE);
  EXPECT_EQ(msg.hwnd, hWnd);
  DispatchMessageA(&msg);
  EXPECT_EQ(record_.thread, GetCurrentThreadId());
  DestroyWindow(hWnd);
}

TEST_F(WindowTest, OtherThreadsCannotRunTheProcedureOrDestroyTheWindow) {
  HWND hWnd = Create();
  const size_t before = record_.messages.size();
  std::thread other([hWnd] {
    MSG msg{};
    msg.hwnd = hWnd;
    msg.message = kPing;
    msg.wParam = 1;
    EXPECT_EQ(DispatchMessageA(&msg), 0);
    EXPECT_EQ(SendMessageA(hWnd, kPing, 1, 0), 0);
    EXPECT_FALSE(DestroyWindow(hWnd));
  });
  other.join();
  EXPECT_EQ(record_.messages.size(), before);
  EXPECT_TRUE(IsWindow(hWnd));
  DestroyWindow(hWnd);
}

TEST_F(WindowTest, DestroyDropsQueuedMessagesAndLaterPostsFail) {
  HWND hWnd = Create();
  HWND other = Create();
  PostMessageA(hWnd, kPing, 1, 0);
  PostMessageA(other, kPing, 2, 0);
  PostMessageA(hWnd, kPing, 3, 0);
  const int fd = VoxlMessageQueueFd();
  DestroyWindow(hWnd);
  EXPECT_FALSE(PostMessageA(hWnd, kPing, 4, 0));
  std::vector<MSG> rest = Drain();
  ASSERT_EQ(rest.size(), 1u);
  EXPECT_EQ(rest[0].hwnd, other);
  PostMessageA(other, kPing, 5, 0);
  DestroyWindow(other);
  EXPECT_FALSE(Readable(fd)) << "dropping the last message empties the queue";
}

TEST_F(WindowTest, StaleHandlesDoNotReachNewWindows) {
  HWND first = Create();
  DestroyWindow(first);
  for (int i = 0; i < 100; ++i) {
    HWND next = Create();
    ASSERT_NE(next, first);
    DestroyWindow(next);
  }
  EXPECT_FALSE(PostMessageA(first, kPing, 0, 0));
  EXPECT_EQ(SetWindowLongA(first, GWL_USERDATA, 1), 0);
}

TEST_F(WindowTest, UserDataAndExtraBytesArePointerSized) {
  HWND hWnd = Create();
  const LONG_PTR big = static_cast<LONG_PTR>(reinterpret_cast<uintptr_t>(&record_));
  EXPECT_EQ(SetWindowLongA(hWnd, GWL_USERDATA, big), 0);
  EXPECT_EQ(GetWindowLongA(hWnd, GWL_USERDATA), big);
  EXPECT_EQ(SetWindowLongA(hWnd, GWL_USERDATA, 7), big);

  EXPECT_EQ(GetWindowLongA(hWnd, 0), 0);
  EXPECT_EQ(SetWindowLongA(hWnd, sizeof(LONG_PTR), -2), 0);
  EXPECT_EQ(GetWindowLongA(hWnd, sizeof(LONG_PTR)), -2);
  EXPECT_EQ(GetWindowLongA(hWnd, 0), 0);
  // Past the class's extra bytes, or a negative index that means nothing: refused.
  SetLastError(0);
  EXPECT_EQ(SetWindowLongA(hWnd, sizeof(LONG_PTR) + 1, 9), 0);
  EXPECT_NE(GetLastError(), 0u);
  EXPECT_EQ(GetWindowLongA(hWnd, -7), 0);
  DestroyWindow(hWnd);
}

TEST_F(WindowTest, DefWindowProcDestroysOnCloseAndStockBrushExists) {
  EXPECT_NE(GetStockObject(WHITE_BRUSH), nullptr);
  HWND hWnd = Create();
  PostMessageA(hWnd, WM_CLOSE, 0, 0);
  MSG msg;
  ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
  DispatchMessageA(&msg);
  EXPECT_FALSE(IsWindow(hWnd));
  EXPECT_EQ(record_.messages.back(), static_cast<UINT>(WM_DESTROY));
}

TEST_F(WindowTest, WindowsGoAwayWithTheirThread) {
  std::atomic<HWND> hWnd{nullptr};
  std::thread owner([&] {
    hWnd =
        CreateWindowExA(0, "VoxlTestWindow", "", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
  });
  owner.join();
  ASSERT_NE(hWnd.load(), nullptr);
  EXPECT_FALSE(IsWindow(hWnd.load()));
  EXPECT_FALSE(PostMessageA(hWnd.load(), kPing, 0, 0));
}

TEST_F(WindowTest, PostsRaceSafelyWithDestroy) {
  // Posters keep hammering a window while its owner destroys it: every post either lands before
  // the destruction (and is dropped) or fails; nothing for the dead window is left queued.
  for (int round = 0; round < 20; ++round) {
    HWND hWnd = Create();
    std::atomic<bool> stop{false};
    std::vector<std::thread> posters;
    for (int p = 0; p < 2; ++p) {
      posters.emplace_back([&] {
        while (!stop.load()) PostMessageA(hWnd, kPing, 0, 0);
      });
    }
    MSG msg;
    GetMessageA(&msg, nullptr, 0, 0);  // at least one post has arrived
    DestroyWindow(hWnd);
    stop = true;
    for (auto& t : posters) t.join();
    for (const MSG& m : Drain()) ASSERT_NE(m.hwnd, hWnd);
  }
}

}  // namespace
