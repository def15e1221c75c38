// The position and length of the open recording, in frames and in seconds.
//
// Host's thread.
#pragma once

#include <cstdint>

#include "core/recorder.h"

namespace voxl {

// The length in frames while a file or stream is open (states 2 to 4), else 0.
uint32_t OpenLength(const Recorder& r);
// Length and position in seconds at FrameRate (0 while the rate is unknown).
double LengthSeconds(const Recorder& r);
double PositionSeconds(const Recorder& r);

// Moves the position to `frames`; one out of range (negative, or past the length) lands at the
// end.  A compressed recording is positioned on whole blocks.  Acts in states 2 and 4, and in
// state 3 when overwriting; elsewhere nothing changes.  The write position is worked out again
// at the next write.  Always kAccepted.
uint32_t SetPosition(Recorder& r, int32_t frames);
// The same for `seconds` at FrameRate, truncated toward zero (values past 32 bits saturate);
// nothing moves in states 0 and 1 or for not-a-number.  Always kAccepted.
uint32_t SetPositionSeconds(Recorder& r, double seconds);

}  // namespace voxl
