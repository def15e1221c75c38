// Close: brings the recorder back to idle (state 1) from every state.
//
// The engine sits above the files, so a run is stopped through the recorder's method table
// rather than by calling the engine.
#include "wavefile/recording_close.h"

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
      ClearMeter(r);
      r.state = StateIdle;
      [[fallthrough]];
    case StateIdle:
      ReportError(r, error, CheckCaptureFormat(r) == 0 ? ErrNone : ErrCaptureFormatRefused);
      return 0;
    case StateRecording:
    case StatePlaying:
      if (r.methods != nullptr) r.methods->Stop(ToHost(&r));
      r.state = StateOpen;
      [[fallthrough]];
    default:
      CloseRecordingTarget(r);
      return 0;
  }
}

}  // namespace voxl
