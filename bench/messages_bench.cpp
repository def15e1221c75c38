// Message round trip between two threads: one posts, the other takes it with GetMessageA and
// posts an answer back.  The peer is the same ping-pong over a plain queue of a std::mutex, a
// std::condition_variable and a std::deque; the "ratio" counter is our time over the peer's
// (1.0 = as fast as the plain queue), measured alternately in the same run.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "voxl310k_platform.h"

namespace {

constexpr UINT kPing = WM_USER + 1;
constexpr UINT kPong = WM_USER + 2;
constexpr int kTripsPerBatch = 500;

using Clock = std::chrono::steady_clock;

// The plain peer: one waiting consumer per queue.
class PlainQueue {
 public:
  void Post(int value) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      items_.push_back(value);
    }
    ready_.notify_one();
  }
  int Get() {
    std::unique_lock<std::mutex> lock(mutex_);
    ready_.wait(lock, [this] { return !items_.empty(); });
    const int value = items_.front();
    items_.pop_front();
    return value;
  }

 private:
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<int> items_;
};

void BM_MessageRoundTrip(benchmark::State& state) {
  // Our side: an echo thread with a thread message queue.
  MSG msg;
  PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);
  const DWORD self = GetCurrentThreadId();
  std::atomic<DWORD> echoId{0};
  std::thread echo([&] {
    MSG m;
    PeekMessageA(&m, nullptr, 0, 0, PM_NOREMOVE);
    echoId.store(GetCurrentThreadId());
    echoId.notify_all();
    while (GetMessageA(&m, nullptr, 0, 0) > 0) PostThreadMessageA(self, kPong, m.wParam, 0);
  });
  echoId.wait(0);

  // The peer: the same echo over plain queues; -1 ends it.
  PlainQueue toPeer, fromPeer;
  std::thread peer([&] {
    for (int v = toPeer.Get(); v >= 0; v = toPeer.Get()) fromPeer.Post(v);
  });

  Clock::duration ours{}, plain{};
  for (auto _ : state) {
    const auto t0 = Clock::now();
    for (int i = 0; i < kTripsPerBatch; ++i) {
      PostThreadMessageA(echoId.load(), kPing, static_cast<WPARAM>(i), 0);
      GetMessageA(&msg, nullptr, 0, 0);
    }
    const auto t1 = Clock::now();
    for (int i = 0; i < kTripsPerBatch; ++i) {
      toPeer.Post(i);
      benchmark::DoNotOptimize(fromPeer.Get());
    }
    const auto t2 = Clock::now();
    ours += t1 - t0;
    plain += t2 - t1;
    state.SetIterationTime(std::chrono::duration<double>(t1 - t0).count());
  }

  PostThreadMessageA(echoId.load(), WM_QUIT, 0, 0);
  toPeer.Post(-1);
  echo.join();
  peer.join();

  const double trips = static_cast<double>(state.iterations()) * kTripsPerBatch;
  const double oursNs = std::chrono::duration<double, std::nano>(ours).count() / trips;
  const double plainNs = std::chrono::duration<double, std::nano>(plain).count() / trips;
  state.counters["ours_ns_per_trip"] = oursNs;
  state.counters["plain_ns_per_trip"] = plainNs;
  state.counters["ratio"] = plainNs > 0 ? oursNs / plainNs : 0;
}
BENCHMARK(BM_MessageRoundTrip)->UseManualTime()->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
