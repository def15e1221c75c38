// The engine thread: start handshake, message loop and stage machine.
//
// The engine alone drives the wave devices.  Commands from the host's thread and the devices'
// buffer-done messages arrive in the engine thread's one queue and are handled one at a time in
// arrival order, so no buffer message is handled while a command runs.  The engine never waits
// for the host; it reports back by writing engineStage, state and runsStarted and by posting
// notifications to the helper window.
#include "engine/engine.h"

#include <algorithm>
#include <cstdlib>

#include "engine/capture_internal.h"
#include "engine/dropouts.h"
#include "engine/levels.h"
#include "platform/system/system.h"

namespace voxl {
namespace {

std::atomic<bool> gStartFailsForTesting{false};
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

void HandleCaptureBuffer(Recorder& r, WAVEHDR& header) {
  const int32_t positionBefore = r.position;
  OnCaptureBufferDone(r, header);
  PlaceGaps(r, std::min(header.dwBytesRecorded, header.dwBufferLength), positionBefore);
  if (r.engineStage == Capturing) {
    header.dwFlags &= ~WHDR_DONE;
    if (waveInAddBuffer(r.waveIn, &header, sizeof(WAVEHDR)) == MMSYSERR_NOERROR) return;
    // The device is gone (MMSYSERR_NODRIVER): it has given back every buffer it held, with what
    // they hold, and takes none again.  The run ends here and keeps what was captured.
    FailCapture(r, ErrDeviceLost);
  }
  if (--r.buffersQueued == 0) {
    EndOfRunMeterReset(r);
    FinishCapture(r);
  }
}

void HandlePlayBuffer(Recorder& r, WAVEHDR& header) {
  if (OnPlayBufferDone(r, header)) {
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
  WaitUntil([&] { return r.engineStage != NotRunning; });
  // The queue exists once the stage is QueueReady; retry anyway until the post is taken.
  while (!PostThreadMessageA(r.threadId, kEngineCommandMessage, CmdHandshake, 0)) Sleep(0);
  PostThreadMessageA(r.threadId, kEngineCommandMessage, CmdHandshake, 0);
  WaitUntil([&] { return r.engineStage != QueueReady; });
  SetThreadPriority(reinterpret_cast<HANDLE>(handle), THREAD_PRIORITY_HIGHEST);
  r.threadHandle = static_cast<uint32_t>(handle);
}

void EngineThreadProc(void* recorder) {
  Recorder& r = *static_cast<Recorder*>(recorder);
  r.threadId = GetCurrentThreadId();
  MSG msg{};
  PeekMessageA(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);  // creates the queue
  r.engineStage = QueueReady;
  for (;;) {
    if (GetMessageA(&msg, nullptr, 0, 0) == -1) continue;
    switch (msg.message) {
      case kEngineCommandMessage:
        if (!HandleCommand(r, msg.wParam, msg.lParam)) {
          // The last touch of the record: the destructor frees it once it sees this.
          r.engineStage = NotRunning;
          ReleaseModuleAndExit();
          return;
        }
        break;
      case MM_WIM_DATA:
        if (msg.lParam != 0) HandleCaptureBuffer(r, *reinterpret_cast<WAVEHDR*>(msg.lParam));
        break;
      case MM_WOM_DONE:
        if (msg.lParam != 0) HandlePlayBuffer(r, *reinterpret_cast<WAVEHDR*>(msg.lParam));
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

bool PostEngineCommand(Recorder& r, EngineCommand command, LPARAM argument) {
  if (r.threadHandle == kNoThread) return false;
  return PostThreadMessageA(r.threadId, kEngineCommandMessage, command, argument) != FALSE;
}

void PostNotification(Recorder& r, NotifyCode code, LPARAM argument) {
  const HWND window = r.notifyWindow.load();
  const bool posted =
      window != nullptr && PostMessageA(window, kNotifyMessage, code, argument) != FALSE;
  if (!posted && code == NotifyBlock) FreeCapturedBlock(reinterpret_cast<CapturedBlock*>(argument));
  if (!posted && code == NotifyDropout) std::free(reinterpret_cast<void*>(argument));
}

void FreeCapturedBlock(CapturedBlock* block) {
  if (block == nullptr) return;
  std::free(block->format);
  std::free(block->data);
  std::free(block);
}

bool PostEngineTestStage(Recorder& r, uint16_t stage, std::atomic<bool>* reached) {
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
