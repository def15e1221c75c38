// Converting a sound file into a recording of another format (VoxlConvertFile).
//
// Two recorders of their own, with no engine thread, window or device: one opens the input as
// OpenFile opens any file (read-only) and reads it as playback does, through the decode stream
// of its conversion set; the other is a new recording, written as a capture run writes one
// (BeginStoring, StoreRecorded, EndStoring: the encode stream, the sizes kept current) and closed
// by Close.  Between them the PCM is brought to the recording's rate (formats/resampler.h) and
// channels.  The recording is made under a temporary name beside the output and put in its place
// only when it is complete.
//
// Any thread; the two recorders belong to the call.
#pragma once

#include <cstdint>

#include "voxl310k.h"

namespace voxl {

// The work of VoxlConvertFile (its description in voxl310k.h): ErrNone or the error code.
uint16_t ConvertFile(const char* input, const char* output, const VoxlConvertOptions& options);

}  // namespace voxl
