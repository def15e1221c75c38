// The recorder's life cycle and transport: construction and destruction, the host side of the
// engine command protocol (Record, Play, Stop, SetPaused), Close from every state, the host
// callbacks and the level meter.
//
// Everything here runs on the thread that created the recorder (the host's thread), except
// ResetLevels and MeasureLevels, which run on the engine thread.
#pragma once

#include <cstdint>

#include "core/recorder.h"

namespace voxl {

// A recorder with its defaults, its helper window on the calling thread and its engine thread
// started (idle, queue ready).  methods = &kRecorderMethods.  A failure to start the engine is
// not reported here: threadHandle is kNoThread and the first Close reports ErrNoEngine.
Recorder* NewRecorder();

// Closes the recorder (stopping a run), destroys its helper window, frees its formats and, when
// the engine runs, ends the engine thread and waits for it.  Null is accepted.
void DeleteRecorder(Recorder* r);

// Transport.  Each returns 0 (accepted); operation errors go to *error (0 on success, may be
// null) and to lastError.
uint32_t Record(Recorder& r, uint16_t* error);
uint32_t Play(Recorder& r, uint16_t* error);
// Stops a capture (state 3) or playback (state 4) and returns once the engine has ended the
// run (state 2).  Does nothing in other states.
uint32_t Stop(Recorder& r);
// Stores `value` in paused; while playing, also tells the engine.
uint32_t SetPaused(Recorder& r, int16_t value);
// Back to state 1 from every state; in states 0 and 1 checks the capture format.
uint32_t Close(Recorder& r, uint16_t* error);

// Installs the six host callbacks (null slots are skipped when notifications arrive).
void SetCallbacks(Recorder& r, const RecorderCallbacks& callbacks);

// Level meter (engine thread).  ResetLevels before each run; MeasureLevels once per device
// buffer: `frames` sample frames of `header` in the layout of pcmFormat.  Posts notification 3
// (and 6 when the silence state changes) to the helper window.
void ResetLevels(Recorder& r);
void MeasureLevels(Recorder& r, const WAVEHDR& header, int32_t frames);

}  // namespace voxl
