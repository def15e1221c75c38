// The level meter and the silence detector: measured on the engine thread, read and set up by
// the host.  The meter's display properties (stored for the host, not interpreted) are set here
// too.
#pragma once

#include <cstdint>

#include "core/recorder.h"

namespace voxl {

// ---- Engine thread ----

// ResetLevels before each run; MeasureLevels once per device buffer: `frames` sample frames of
// `header` in the layout of pcmFormat.  Posts notification 3 (and 6 when the silence state
// changes) to the helper window.
void ResetLevels(Recorder& r);
void MeasureLevels(Recorder& r, const WAVEHDR& header, int32_t frames);

// ---- Host's thread ----
// The setters answer kAccepted or kRefused (nothing changes then).

// The latest levels (dB) and clip flags while recording or playing, zeros otherwise; for mono
// the right values repeat the left.
void ReadLevels(const Recorder& r, float* levelLeft, uint16_t* clipLeft, float* levelRight,
                uint16_t* clipRight);

// Quiet measurements before silence is declared; refused when negative.
uint32_t SetSilenceHold(Recorder& r, int16_t measurements);
// Thresholds in dB; refused above 0.0 and for not-a-number.
uint32_t SetSilenceThreshold(Recorder& r, float dB);
uint32_t SetSoundThreshold(Recorder& r, float dB);
// 0 off, 1 watch left, 2 watch right, 3 watch both; refused while recording.
uint32_t SetSilenceMode(Recorder& r, int16_t mode);

// Display properties: option 0 or 1, style 0 to 3, segments 1 to 20.
uint32_t SetMeterOption(Recorder& r, uint16_t option);
uint32_t SetMeterStyle(Recorder& r, int16_t style);
uint32_t SetMeterSegments(Recorder& r, int16_t segments);

// Tests only: where the processor has AVX2, whether the meter scans 32-byte vectors (the
// default) or 16-byte ones; answers whether 32-byte vectors are used now.
bool UseWideLevelScanForTesting(bool on);

}  // namespace voxl
