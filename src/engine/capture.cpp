// Capture runs on the engine thread.
//
// Not built yet: opening the input device with its buffers, the capture data path and the
// splice at the end of a run come with the recording work.  Until then every capture start
// fails cleanly: the engine ends in CaptureFailed with nothing opened, so Record reports error 9
// and the recorder stays usable.
#include "engine/engine.h"

namespace voxl {

void BeginCapture(Recorder& r) {
  r.engineStage = CaptureFailed;
}

void OnCaptureBufferDone(Recorder&, WAVEHDR&) {}

void FinishCapture(Recorder& r) {
  r.engineStage = Idle;
  PostNotification(r, NotifyCaptureEnded, 0);
  r.state = StateOpen;
}

}  // namespace voxl
