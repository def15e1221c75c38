// The conversion set: the streams between the PCM of the wave devices and a compressed file
// format, built for the chosen target format.
//
// Both functions run on the host's thread while the engine is idle.
#pragma once

#include <cstdint>

#include "core/recorder.h"

namespace voxl {

// Builds the conversion set for chosenFormat: fills fileFormat and fileFormatSize (the
// compressed format with its extra bytes), pcmFormat (the PCM side used on the devices) and
// samplesPerBlock, and sets compressed to 1.  Reports 0, or ErrNoTargetFormat when no target
// format is set, or ErrFormatUnusable when no conversion for it can be set up (nothing is kept
// then).  Reports through ReportError.
void SetUpConversion(Recorder& r, uint16_t* error);

// At the start (Open) and end (Close) of every capture or playback run: open the encode and
// decode streams of the conversion set and prepare their headers with their buffers, and
// unprepare and close them again (the buffers stay).  Engine thread.  Both do nothing when
// compressed is 0.
void OpenConversionStreams(Recorder& r);
void CloseConversionStreams(Recorder& r);

// Frees the conversion set (streams, fileFormat) and clears compressed.  Does nothing when
// there is none.
void ReleaseConversion(Recorder& r);

}  // namespace voxl
