// The host side of the engine command protocol (Record, Play, Stop, SetPaused) and the host
// callbacks.
//
// Everything here runs on the thread that created the recorder (the host's thread).
#pragma once

#include <cstdint>

#include "core/recorder.h"

namespace voxl {

// Transport.  Each returns 0 (accepted); operation errors go to *error (0 on success, may be
// null) and to lastError.
uint32_t Record(Recorder& r, uint16_t* error);
uint32_t Play(Recorder& r, uint16_t* error);
// Stops a capture (state 3) or playback (state 4) and returns once the engine has ended the
// run (state 2).  Does nothing in other states.
uint32_t Stop(Recorder& r);
// Stores `value` in paused; while playing, also tells the engine.
uint32_t SetPaused(Recorder& r, int16_t value);

// Installs the six host callbacks (null slots are skipped when notifications arrive).
void SetCallbacks(Recorder& r, const RecorderCallbacks& callbacks);

}  // namespace voxl
