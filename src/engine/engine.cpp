// The engine thread: start handshake, message loop and stage machine.
//
// The engine alone drives the wave devices.  Commands from the host's thread and the devices'
// buffer-done messages arrive in the engine thread's one queue and are handled one at a time in
// arrival order, so no buffer message is handled while a command runs.  The engine never waits
// for the host; it reports back by writing engineStage, state and runsStarted and by posting
// notifications to the helper window.
#include "engine/engine.h"

#include <algorithm>
#include <array>
#include <condition_variable>
#include <cstdlib>
#include <mutex>

#include "engine/block_pool.h"
#include "engine/capture_internal.h"
#include "engine/dropouts.h"
#include "engine/levels.h"
#include "platform/messages/messages.h"
#include "platform/system/system.h"

namespace voxl {
namespace {

std::atomic<bool> gStartFailsForTesting{false};

// What EngineWait sleeps on, shared by every engine: a thread waits for one engine at a time and
// rarely, so a wake that was meant for another engine costs only a look at its condition.  Never
// destroyed, and no part of a recorder: an engine that quits signals after its last touch of
// the record, which the waiting thread may free at once.
struct EngineSignal {
  std::mutex mutex;
  std::condition_variable moved;
  std::atomic<int> waiters{0};
};
EngineSignal& TheSignal() {
  static auto* signal = new EngineSignal;
  return *signal;
}

// Engine thread, after what it changed for its waiters (every field they read is a sequentially
// consistent atomic, as is `waiters`): either the waiter counted itself before the change, and
// is woken, or it sees the change when it first looks.  Taking the mutex means a waiter between
// its look and its sleep has reached the sleep before the wake.
void SignalWaiters() {
  EngineSignal& signal = TheSignal();
  if (signal.waiters.load(std::memory_order_seq_cst) == 0) return;
  { std::lock_guard lock(signal.mutex); }
  signal.moved.notify_all();
}
std::atomic<uint32_t> gCaptureStartFramesForTesting{0};

// End-of-run meter reset, just before FinishCapture and FinishPlayback: its "no signal" level
// notification is queued before the state leaves 3 or 4, so once Stop returns, everything the
// run posts is waiting for the host.  The clip-hold counters and silent are left alone (the
// record method and notification 1 take care of those).
void EndOfRunMeterReset(Recorder& r) {
  ClearMeter(r);
  PostNotification(r, NotifyLevels, static_cast<LPARAM>(r.run.load()));
}

// CmdRecord and CmdPlay in Idle.  The engine sets the public state itself when the run has
// started, so a run that ends at once (limit reached, device failure) cannot leave the state at
// 3 or 4 behind an idle engine.  The run number moves first, before the run posts anything;
// runsStarted moves last, after stage and state show the outcome.
void StartRun(Recorder& r, bool capture) {
  r.run.fetch_add(1);
  r.stopReason = ErrNone;
  ResetLevels(r);
  if (capture) {
    if (const uint32_t frames = gCaptureStartFramesForTesting; frames != 0) {
      r.position = static_cast<int32_t>(frames);
      r.length = frames;
    }
    BeginRunMarks(r);
    BeginCapture(r);
    if (r.engineStage == Capturing) r.state = StateRecording;
  } else {
    StartPlayback(r);
    if (r.engineStage == Playing) r.state = StatePlaying;
  }
  r.runsStarted.fetch_add(1);
}

// Acts on one engine command.  False for CmdQuit: the loop ends.
bool HandleCommand(Recorder& r, WPARAM command, LPARAM argument) {
  const uint16_t stage = r.engineStage;
  switch (command) {
    case CmdQuit:
      return false;
    case CmdRecord:
      if (stage == Idle) StartRun(r, true);
      break;
    case CmdStopRecord:
      if (stage == Capturing) {
        waveInReset(r.waveIn);  // every queued buffer comes back as MM_WIM_DATA
        r.engineStage = Draining;
      }
      break;
    case CmdPlay:
      if (stage == Idle) StartRun(r, false);
      break;
    case CmdStopPlay:
      if (stage == Playing || stage == Draining) {
        waveOutReset(r.waveOut);
        r.stopPhase = 1;
        r.engineStage = Draining;
      }
      break;
    case CmdPause:
      if (stage == Playing) {
        // A non-zero value pauses the device; zero restarts it, so the audio queued when the
        // pause began plays on and position keeps following what is heard.
        if (static_cast<int16_t>(argument) != 0) {
          waveOutPause(r.waveOut);
        } else {
          waveOutRestart(r.waveOut);
        }
      }
      break;
    default:  // CmdHandshake and every unknown code
      r.engineStage = Idle;
      break;
  }
  return true;
}

// The device buffers that have come back in a row, handled together: the engine takes every
// filled (or played and refilled) buffer waiting in its queue before it gives any of them back
// to the device and before the notifications they produced are posted, so that the device loop
// and the host are woken once per batch instead of once per buffer.  The batch ends when the
// queue is empty, before any other message (a command sees every buffer back in the device and
// everything posted), and when the run leaves Capturing or Playing.  Order is kept: buffers go
// back and notifications go out in the order they were made.
struct DeviceBatch {
  static constexpr size_t kMostPosts = 64;  // a full list is posted at once
  bool open = false;
  size_t posts = 0;
  // wParam: the code.  The platform layer posts a list of these at once; the original platform
  // has no such call, so there they go one by one.
#if defined(_WIN32)
  struct Held {
    WPARAM wParam;
    LPARAM lParam;
  };
#else
  using Held = messages::PostedPair;
#endif
  std::array<Held, kMostPosts> post{};
  size_t held = 0;
  bool playback = false;      // the held buffers are refilled playback buffers
  bool sizesPending = false;  // audio was stored since the file's sizes were last written
  std::array<WAVEHDR*, kWaveBufferCount> buffers{};
};

// The batch of the engine thread running now (null on every other thread).
thread_local DeviceBatch* tBatch = nullptr;

// What a notification that could not be posted owned is freed.
void DropNotification(WPARAM code, LPARAM argument) {
  if (code == NotifyBlock) FreeCapturedBlock(reinterpret_cast<CapturedBlock*>(argument));
  if (code == NotifyPooledBlock) ReturnBlock(reinterpret_cast<PooledBlock*>(argument));
  if (code == NotifyDropout) std::free(reinterpret_cast<void*>(argument));
}

void PostNow(Recorder& r, NotifyCode code, LPARAM argument) {
  const HWND window = r.notifyWindow.load();
  const bool posted =
      window != nullptr && PostMessageA(window, kNotifyMessage, code, argument) != FALSE;
  if (!posted) DropNotification(code, argument);
}

// The held notifications go out in order, with one wake of the host where the platform can.  The
// file's sizes are written first, so a host never holds a block the file would lose in a crash.
void PostHeld(Recorder& r, DeviceBatch& batch) {
  if (batch.sizesPending) {
    batch.sizesPending = false;
    KeepSizesCurrent(r);
  }
  const size_t count = batch.posts;
  batch.posts = 0;
#if defined(_WIN32)
  for (size_t i = 0; i < count; ++i) {
    PostNow(r, static_cast<NotifyCode>(batch.post[i].wParam), batch.post[i].lParam);
  }
#else
  const HWND window = r.notifyWindow.load();
  const size_t posted = window != nullptr ? messages::PostWindowMessages(window, kNotifyMessage,
                                                                         batch.post.data(), count)
                                          : 0;
  for (size_t i = posted; i < count; ++i) {
    DropNotification(batch.post[i].wParam, batch.post[i].lParam);
  }
#endif
}

// Queues `count` capture buffers on the device in order, with one wake of the device where the
// platform can; returns how many it took (it stops at the first it refuses).
size_t AddCaptureBuffers(HWAVEIN waveIn, WAVEHDR* const* headers, size_t count) {
#if defined(_WIN32)
  size_t queued = 0;
  while (queued < count &&
         waveInAddBuffer(waveIn, headers[queued], sizeof(WAVEHDR)) == MMSYSERR_NOERROR) {
    ++queued;
  }
  return queued;
#else
  UINT queued = 0;
  VoxlWaveInAddBuffers(waveIn, headers, static_cast<UINT>(count), &queued);
  return queued;
#endif
}

// Captured buffers go back to the device while the run is Capturing; otherwise, or when the
// device takes them no more, they count down to the end of the run.
void ReturnCaptureBuffers(Recorder& r, WAVEHDR* const* headers, size_t count) {
  size_t queued = 0;
  if (r.engineStage == Capturing) {
    for (size_t i = 0; i < count; ++i) headers[i]->dwFlags &= ~WHDR_DONE;
    queued = AddCaptureBuffers(r.waveIn, headers, count);
    // The device is gone (MMSYSERR_NODRIVER): it has given back every buffer it held, with what
    // they hold, and takes none again.  The run ends here and keeps what was captured.
    if (queued < count) FailCapture(r, ErrDeviceLost);
  }
  for (size_t i = queued; i < count; ++i) {
    if (--r.buffersQueued == 0) {
      EndOfRunMeterReset(r);
      FinishCapture(r);
    }
  }
}

void EndBatch(Recorder& r, DeviceBatch& batch) {
  batch.open = false;
  PostHeld(r, batch);
  const size_t held = batch.held;
  batch.held = 0;
  if (!batch.playback) {
    ReturnCaptureBuffers(r, batch.buffers.data(), held);
    return;
  }
  ReturnPlayBuffers(r, batch.buffers.data(), held);
}

void HandleCaptureBuffer(Recorder& r, WAVEHDR& header, DeviceBatch& batch) {
  if (r.engineStage == Capturing) batch.open = true;
  const int64_t positionBefore = r.position;
  OnCaptureBufferDone(r, header);
  PlaceGaps(r, std::min(header.dwBytesRecorded, header.dwBufferLength), positionBefore);
  if (r.engineStage == Capturing && batch.held < batch.buffers.size()) {
    batch.buffers[batch.held++] = &header;
    return;
  }
  EndBatch(r, batch);
  WAVEHDR* const returned[] = {&header};
  ReturnCaptureBuffers(r, returned, 1);
}

void HandlePlayBuffer(Recorder& r, WAVEHDR& header, DeviceBatch& batch) {
  if (r.engineStage == Playing) batch.open = true;
  const PlayedBuffer played = OnPlayBufferDone(r, header);
  if (played == PlayedBuffer::Refilled && batch.held < batch.buffers.size()) {
    batch.buffers[batch.held++] = &header;
    return;
  }
  EndBatch(r, batch);
  if (played == PlayedBuffer::Refilled) {
    WAVEHDR* const returned[] = {&header};
    ReturnPlayBuffers(r, returned, 1);
  }
  if (played == PlayedBuffer::Last) {
    EndOfRunMeterReset(r);
    FinishPlayback(r);
  }
}

#if defined(_WIN32)
// On the original platform each engine thread holds a reference to the module that contains its
// code, and drops it with its last instruction, so the library stays loaded while any engine
// runs: a host that unloads it with a recorder alive leaves that recorder running until the
// process ends, instead of unmapping code that a thread still runs.  (Stopping the recorder
// from the unload itself cannot be done: the audio system's threads wait for the loader lock
// that the unload holds.)
std::atomic<HMODULE> gModule{nullptr};

void HoldModule() {
  HMODULE module = nullptr;
  GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                     reinterpret_cast<LPCSTR>(&EngineThreadProc), &module);
  gModule = module;
}
void ReleaseModule() {
  if (gModule.load() != nullptr) FreeLibrary(gModule);
}
[[noreturn]] void ReleaseModuleAndExit() {
  FreeLibraryAndExitThread(gModule, 0);
}
#else
// A shared object is unloaded only at the host's explicit dlclose, whose destructor ends every
// engine first (module.cpp).
void HoldModule() {}
void ReleaseModule() {}
void ReleaseModuleAndExit() {}
#endif

}  // namespace

void StartEngine(Recorder& r) {
  r.engineStage = NotRunning;
  HoldModule();
  uintptr_t handle = static_cast<uintptr_t>(-1);
  if (!gStartFailsForTesting) handle = _beginthread(EngineThreadProc, 0, &r);
  if (handle == static_cast<uintptr_t>(-1)) {
    r.threadHandle = kNoThread;
    ReleaseModule();
    return;
  }
  r.threadHandle = static_cast<uint32_t>(handle);
}

void AwaitEngine(Recorder& r) {
  if (r.threadHandle == kNoThread) return;
  std::call_once(r.engineGreeted, [&] {
    WaitUntil([&] { return r.engineStage != NotRunning; });
    // The queue exists once the stage is QueueReady; retry anyway until the post is taken.
    while (!PostThreadMessageA(r.threadId, kEngineCommandMessage, CmdHandshake, 0)) Sleep(0);
    PostThreadMessageA(r.threadId, kEngineCommandMessage, CmdHandshake, 0);
    WaitUntil([&] { return r.engineStage != QueueReady; });
    SetThreadPriority(reinterpret_cast<HANDLE>(uintptr_t{r.threadHandle.load()}),
                      THREAD_PRIORITY_HIGHEST);
  });
}

void EngineThreadProc(void* recorder) {
  Recorder& r = *static_cast<Recorder*>(recorder);
  r.threadId = GetCurrentThreadId();
  DeviceBatch batch;
  tBatch = &batch;
  MSG msg{};
  PeekMessageA(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);  // creates the queue
  r.engineStage = QueueReady;
  for (;;) {
    SignalWaiters();  // the start, or what the last message changed
    if (batch.open) {
      if (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE) == FALSE) {
        EndBatch(r, batch);  // the queue is empty
        continue;
      }
    } else if (GetMessageA(&msg, nullptr, 0, 0) == -1) {
      continue;
    }
    const bool played = msg.message == MM_WOM_DONE;
    if ((msg.message != MM_WIM_DATA && !played) || played != batch.playback) EndBatch(r, batch);
    batch.playback = played;
    switch (msg.message) {
      case kEngineCommandMessage:
        if (!HandleCommand(r, msg.wParam, msg.lParam)) {
          // The last touch of the record: the destructor frees it once it sees this.
          tBatch = nullptr;
          r.engineStage = NotRunning;
          SignalWaiters();
          ReleaseModuleAndExit();
          return;
        }
        break;
      case MM_WIM_DATA:
        if (msg.lParam != 0) {
          HandleCaptureBuffer(r, *reinterpret_cast<WAVEHDR*>(msg.lParam), batch);
        } else {
          EndBatch(r, batch);
        }
        break;
      case MM_WOM_DONE:
        if (msg.lParam != 0) HandlePlayBuffer(r, *reinterpret_cast<WAVEHDR*>(msg.lParam), batch);
        break;
      case kEngineTestMessage: {
        if (msg.wParam != kKeepStage) r.engineStage = static_cast<uint16_t>(msg.wParam);
        auto* reached = reinterpret_cast<std::atomic<bool>*>(msg.lParam);
        if (reached != nullptr) reached->store(true);
        break;
      }
      default:  // device open/close messages and anything else
        break;
    }
  }
}

EngineWait::EngineWait() : lock_(TheSignal().mutex) {
  TheSignal().waiters.fetch_add(1, std::memory_order_seq_cst);
}
EngineWait::~EngineWait() {
  TheSignal().waiters.fetch_sub(1, std::memory_order_seq_cst);
}
void EngineWait::Wait() {
  TheSignal().moved.wait(lock_);
}

bool PostEngineCommand(Recorder& r, EngineCommand command, LPARAM argument) {
  if (r.threadHandle == kNoThread) return false;
  AwaitEngine(r);
  return PostThreadMessageA(r.threadId, kEngineCommandMessage, command, argument) != FALSE;
}

void PostNotification(Recorder& r, NotifyCode code, LPARAM argument) {
  DeviceBatch* batch = tBatch;
  if (batch == nullptr || !batch->open) {
    PostNow(r, code, argument);
    return;
  }
  if (batch->posts == batch->post.size()) PostHeld(r, *batch);
  batch->post[batch->posts++] = {static_cast<WPARAM>(code), argument};
}

bool DeferSizesToBatchEnd(Recorder& r) {
  DeviceBatch* batch = tBatch;
  if (batch == nullptr || !batch->open || batch->playback || r.engineStage != Capturing) {
    return false;
  }
  batch->sizesPending = true;
  return true;
}

void FreeCapturedBlock(CapturedBlock* block) {
  if (block == nullptr) return;
  std::free(block->format);
  std::free(block->data);
  std::free(block);
}

bool PostEngineTestStage(Recorder& r, uint16_t stage, std::atomic<bool>* reached) {
  AwaitEngine(r);
  return PostThreadMessageA(r.threadId, kEngineTestMessage, stage,
                            reinterpret_cast<LPARAM>(reached)) != FALSE;
}

void SetEngineStartFailsForTesting(bool fails) {
  gStartFailsForTesting = fails;
}

void SetCaptureStartFramesForTesting(uint32_t frames) {
  gCaptureStartFramesForTesting = frames;
}

}  // namespace voxl
