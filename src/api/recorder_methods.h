// The recorder's method table.
//
// Every slot runs on the host's thread, takes the recorder first and only forwards: to a field
// of the record (getters, and setters that store any value), or to the body of the method in the
// folder its work belongs to, whose answer it passes on: 0 (accepted) or 1 (refused: an argument
// out of range or a state that forbids the call; nothing changes).  A null out-parameter is
// answered with E_POINTER and changes nothing.  Text crosses the table as BSTR and lives inside
// the recorder in the system code page (strings_util.h converts).
#pragma once

#include "core/recorder.h"
#include "voxl310k.h"

namespace voxl {

// The table that NewRecorder puts at the head of every recorder.
extern const VoxlRecorderVtbl kRecorderMethods;

}  // namespace voxl
