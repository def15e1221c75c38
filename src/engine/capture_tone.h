// The lengths of the marker tones, set by the host (the tones themselves are written by the
// capture run, capture_internal.h).
#pragma once

#include <cstdint>

#include "core/recorder.h"

namespace voxl {

// Host's thread.  0.0 = no tone.  Refused (kRefused, nothing changes) below 0.0, for
// not-a-number, and when the tone cannot be stored in recordings of the current format: its
// frames at the current rate (seconds x rate, rounded to nearest) pass 0xFFFFFFFF, or its bytes
// pass kMaxDataEnd (a compressed tone counted at its format's average byte rate, or by its frames
// alone while no compressed format is known).
uint32_t SetStartToneSeconds(Recorder& r, float seconds);
uint32_t SetEndToneSeconds(Recorder& r, float seconds);

}  // namespace voxl
