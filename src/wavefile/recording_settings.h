// The settings that shape the next recording: its file kind, capture format, length limit, the
// read-only switch and insert mode.
//
// Host's thread.  Each answers kAccepted or kRefused (an argument out of range, or the state
// forbids the change; nothing changes then).
#pragma once

#include <cstdint>

#include "core/recorder.h"

namespace voxl {

// States 0/1 only.  Kind 0 RIFF/WAVE, 1 headerless from byte 0, 2 headerless found by scanning,
// -n headerless from byte n; refused above 2.
uint32_t SetFileKind(Recorder& r, int16_t kind);
// States 0/1 only; stores 1 for any non-zero value.
uint32_t SetReadOnly(Recorder& r, uint16_t readOnly);
// States 0/1 only; 1 or 2.
uint32_t SetChannels(Recorder& r, uint16_t channels);
// States 0/1 only; 8 or 16 (linear PCM bits), 106 A-law, 107 mu-law, 100 the chosen format.
uint32_t SetSampleFormat(Recorder& r, uint16_t sampleFormat);
// States 0/1 only; one of the rates the recorder offers (6000 to 192000 Hz).  The limit in
// seconds is kept; the limit in frames follows the rate.
uint32_t SetSampleRate(Recorder& r, uint32_t hertz);

// The recording length limit (0 = none), in seconds (refused below 0.0 and for not-a-number)
// or in frames (refused when negative); each sets the other to match at the current rate.
uint32_t SetMaxLengthSeconds(Recorder& r, double seconds);
uint32_t SetMaxLength(Recorder& r, int32_t frames);

// 0 overwrite, 1 insert.
uint32_t SetInsertMode(Recorder& r, uint16_t insert);

}  // namespace voxl
