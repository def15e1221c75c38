// The position and length of the open recording, in frames and in seconds.
//
// Host's thread.
#pragma once

#include <cstdint>

#include "core/recorder.h"

namespace voxl {

// The length in frames while a file or stream is open (states 2 to 4), else 0.
uint64_t OpenLength(const Recorder& r);
// The position and length as the method table's 32-bit counts give them: the position at most
// 2147483647, the length at most 4294967295 (a longer file is reached through seconds).
int32_t HostPosition(const Recorder& r);
uint32_t HostLength(const Recorder& r);
// Length and position in seconds at FrameRate (0 while the rate is unknown).
double LengthSeconds(const Recorder& r);
double PositionSeconds(const Recorder& r);

// Moves the position to `frames`; one out of range (negative, or past the length) lands at the
// end.  A compressed recording is positioned on whole blocks.  Acts in states 2 and 4, and in
// state 3 when overwriting; elsewhere nothing changes.  The write position is worked out again
// at the next write.  Always kAccepted.
uint32_t SetPosition(Recorder& r, int64_t frames);
// The same for `seconds` at FrameRate, truncated toward zero (exact past 32 bits of frames);
// nothing moves in states 0 and 1 or for not-a-number.  Always kAccepted.
uint32_t SetPositionSeconds(Recorder& r, double seconds);

}  // namespace voxl
