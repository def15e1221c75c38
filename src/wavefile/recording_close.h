// Close: brings the recorder back to idle (state 1) from every state.
//
// Host's thread.
#pragma once

#include <cstdint>

#include "core/recorder.h"

namespace voxl {

// States 3 and 4 first stop the run through the method table's Stop (which returns once the
// engine has ended the run and finished with the file); states 2 to 4 then finalize and close
// the target (CloseRecordingTarget); states 0 and 1 check that the capture format can be
// recorded (ErrCaptureFormatRefused when not).  ErrNoEngine, with nothing changed, when the
// engine thread is not running.  Returns 0; the outcome goes to *error (may be null) and to
// lastError.
uint32_t Close(Recorder& r, uint16_t* error);

}  // namespace voxl
