// The helper window and its procedure.
#include "api/helper_window.h"

#include <algorithm>
#include <cstdlib>

#include "api/module.h"
#include "engine/block_pool.h"
#include "engine/engine.h"
#include "wavefile/recording_file.h"

namespace voxl {
namespace {

// A clip-hold counter of 9 or more: the most recent measurement held a clipped sample (the
// counter is set to 10 and counted down at the end of that same measurement).
DWORD RecentClip(int16_t clipHold) {
  return clipHold >= 9 ? 1 : 0;
}

void DeliverBlock(Recorder& r, CapturedBlock* block) {
  if (block == nullptr) return;
  if (r.callbacks.block != nullptr) {
    r.deliveringRun = block->run;
    r.callbacks.block(block->format, block->formatSize, block->data, block->dataLength);
    std::free(block);  // the copies belong to the callback now
  } else {
    FreeCapturedBlock(block);
  }
}

void DeliverPooledBlock(Recorder& r, PooledBlock* block) {
  if (block == nullptr) return;
  auto* sink = r.blockSink.load();
  if (sink == nullptr) {
    ReturnBlock(block);
    return;
  }
  r.deliveringRun = block->run;
  sink(block);  // the block belongs to the sink now
}

void DeliverDropout(Recorder& r, DropoutNote* note) {
  if (note == nullptr) return;
  if (r.marks.callback != nullptr) {
    r.deliveringRun = note->run;
    // The callback's position is a LONG: a dropout further into the take reports 2147483647.
    r.marks.callback(static_cast<LONG>(std::min<int64_t>(note->position, INT32_MAX)), note->frames,
                     r.marks.context);
  }
  std::free(note);
}

}  // namespace

HelperWindow* HelperWindow::Create(Recorder& recorder) {
  if (HelperClassAtom() == 0 && !ModuleAttach()) return nullptr;
  HWND window = CreateWindowExA(0, MAKEINTATOM(HelperClassAtom()), "VOXLHelper", WS_POPUP, 0, 0, 1,
                                1, nullptr, nullptr, ModuleInstance(), nullptr);
  if (window == nullptr) return nullptr;
  SetWindowLongA(window, GWL_USERDATA, reinterpret_cast<LONG_PTR>(&recorder));
  return new HelperWindow(window);
}

HelperWindow::~HelperWindow() {
  // Destroying the window drops what is still queued for it; the blocks among those
  // notifications would leak, so take them out first (only the owning thread can).
  MSG msg{};
  while (PeekMessageA(&msg, window_, kNotifyMessage, kNotifyMessage, PM_REMOVE) > 0) {
    if (msg.wParam == NotifyBlock) FreeCapturedBlock(reinterpret_cast<CapturedBlock*>(msg.lParam));
    if (msg.wParam == NotifyPooledBlock) ReturnBlock(reinterpret_cast<PooledBlock*>(msg.lParam));
    if (msg.wParam == NotifyDropout) std::free(reinterpret_cast<void*>(msg.lParam));
  }
  DestroyWindow(window_);
}

LRESULT CALLBACK HelperWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message != kNotifyMessage) return DefWindowProcA(window, message, wParam, lParam);
  auto* r = reinterpret_cast<Recorder*>(GetWindowLongA(window, GWL_USERDATA));
  if (r == nullptr) {
    if (wParam == NotifyBlock) FreeCapturedBlock(reinterpret_cast<CapturedBlock*>(lParam));
    if (wParam == NotifyPooledBlock) ReturnBlock(reinterpret_cast<PooledBlock*>(lParam));
    if (wParam == NotifyDropout) std::free(reinterpret_cast<void*>(lParam));
    return 0;
  }
  const RecorderCallbacks& cb = r->callbacks;
  switch (wParam) {
    case NotifyCaptureEnded:
      r->deliveringRun = static_cast<uint32_t>(lParam);
      FinishRecordingFile(*r);
      break;
    case NotifyPlaybackEnded:
      if (cb.playbackEnded != nullptr) cb.playbackEnded(r->stopReason.load());
      break;
    case NotifyLevels:
      if (cb.levels != nullptr) {
        r->deliveringRun = static_cast<uint32_t>(lParam);
        cb.levels(r->levelLeft.load(), RecentClip(r->clipHoldLeft.load()), r->levelRight.load(),
                  RecentClip(r->clipHoldRight.load()));
      }
      break;
    case NotifyBlock:
      DeliverBlock(*r, reinterpret_cast<CapturedBlock*>(lParam));
      break;
    case NotifyPooledBlock:
      DeliverPooledBlock(*r, reinterpret_cast<PooledBlock*>(lParam));
      break;
    case NotifyDropout:
      DeliverDropout(*r, reinterpret_cast<DropoutNote*>(lParam));
      break;
    case NotifyCallbackFive:
    case NotifySilenceChanged:  // hosts read the new state with GetSilent
      if (cb.notify != nullptr) cb.notify();
      break;
    default:
      break;
  }
  return 0;
}

}  // namespace voxl
