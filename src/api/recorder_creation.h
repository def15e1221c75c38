// Creation and destruction of a recorder: its record, its method table, its helper window and
// its engine thread.
//
// Both run on the thread that creates the recorder, which then owns its helper window.
#pragma once

#include "core/recorder.h"

namespace voxl {

// A recorder with its defaults, its helper window on the calling thread and its engine thread
// started (idle, queue ready).  methods = &kRecorderMethods.  A failure to start the engine is
// not reported here: threadHandle is kNoThread and the first Close reports ErrNoEngine.  Null
// when there is no memory for the record or its helper window cannot be created (nothing is
// left behind then).
Recorder* NewRecorder();

// Closes the recorder (stopping a run), destroys its helper window, frees its formats and, when
// the engine runs, ends the engine thread and waits for it.  Null is accepted.
void DeleteRecorder(Recorder* r);

}  // namespace voxl
