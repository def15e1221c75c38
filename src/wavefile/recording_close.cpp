// Close: brings the recorder back to idle (state 1) from every state.
//
// States 3 and 4 stop the run first through the engine (Stop waits until the engine has set
// state 2, so the engine has finished with the file); state 2 finalizes and closes the target;
// states 0 and 1 check that the capture format can be recorded.
#include "engine/engine.h"
#include "engine/transport.h"
#include "wavefile/recording_file.h"

namespace voxl {

uint32_t Close(Recorder& r, uint16_t* error) {
  if (r.threadHandle == kNoThread) {
    ReportError(r, error, ErrNoEngine);
    return 0;
  }
  if (error != nullptr) *error = ErrNone;
  switch (r.state.load()) {
    case StateCreated:
      r.levelLeft = kNoLevel;
      r.levelRight = kNoLevel;
      r.clipLeft = 0;
      r.clipRight = 0;
      r.state = StateIdle;
      [[fallthrough]];
    case StateIdle:
      ReportError(r, error, CheckCaptureFormat(r) == 0 ? ErrNone : ErrCaptureFormatRefused);
      return 0;
    case StateRecording:
    case StatePlaying:
      Stop(r);
      r.state = StateOpen;
      [[fallthrough]];
    default:
      CloseRecordingTarget(r);
      return 0;
  }
}

}  // namespace voxl
