// The helper window: a hidden window on the thread that created a recorder, through which the
// engine's notifications (message kNotifyMessage) reach that thread and become calls of the
// host callbacks.  Callbacks therefore run only on that thread, only while it dispatches
// window messages, in the order the engine posted them.
#pragma once

#include "core/recorder.h"

namespace voxl {

class HelperWindow {
 public:
  // Creates the window of class VOXLHelperClass for `recorder` on the calling thread.  Null
  // when the window cannot be created.
  static HelperWindow* Create(Recorder& recorder);
  // Frees the blocks of notifications still queued for the window, then destroys it.
  virtual ~HelperWindow();

  HWND handle() const { return window_; }

 private:
  explicit HelperWindow(HWND window) : window_(window) {}
  HelperWindow(const HelperWindow&) = delete;
  HelperWindow& operator=(const HelperWindow&) = delete;

  HWND window_;
};

// Window procedure of VOXLHelperClass.  kNotifyMessage with code 1 finishes the recording file
// (which calls callback 0), 2 calls callback 1 with stopReason, 3 callback 3 with the levels
// and clip flags, 4 callback 4 with the block's four fields (the block record is freed; its
// copies too when slot 4 is empty), 5 and 6 (silence changed) callback 5.  Before callbacks 3
// and 4 the recorder's deliveringRun is set to the run the notification belongs to.  Other
// codes call nothing.  Every other message goes to DefWindowProcA.
LRESULT CALLBACK HelperWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

}  // namespace voxl
