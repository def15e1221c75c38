// Editing and saving the open file: removing a run of frames at the position (in frames or in
// seconds), and compacting the file so that it holds nothing behind its content.
//
// Host's thread, in state 2 only, when no run exists and the file is the host's.
#pragma once

#include <cstdint>

#include "core/recorder.h"

namespace voxl {

// Removes `count` frames at the position: the audio behind them moves forward inside the file
// (through one kMoveBufferBytes buffer), length shrinks by `count` and the sizes are written for
// the new end (RIFF/WAVE: data size, "fact" count when the file has one, form size).  A count
// that reaches past the end cuts the recording at the position; a count below 1 changes nothing.
// A compressed file loses whole blocks: the count is rounded to the nearest whole number of
// blocks and the new length is whole blocks.  The position stays.  A RIFF/WAVE file keeps its
// size on disk (the old tail lies behind the form until CompactFile); a headerless file, whose
// end is its data's end, is cut there.  Returns 0; the outcome goes to *error and lastError:
//   ErrReadOnly, ErrNeedsOpen (not state 2), ErrNoFile (streaming): nothing changes;
//   ErrCaptureWrite when the audio could not be moved (length and sizes stay as they were; the
//     moved part of the audio behind the run is moved, nothing behind it is lost) or the new
//     sizes could not be written (the length is the new one; Close writes them again).
uint32_t DeleteSamples(Recorder& r, int64_t count, uint16_t* error);

// DeleteSamples with `seconds` at FrameRate, the fraction of a frame dropped (exact past 32 bits
// of frames, not-a-number removes nothing).  ErrNeedsOpen outside state 2.
uint32_t DeleteSeconds(Recorder& r, double seconds, uint16_t* error);

// Rewrites the open file without the bytes behind its content (RIFF/WAVE: behind the form, once
// the sizes are brought up to date as Close writes them; headerless: behind the data).  The
// content is copied into a new file in the recording's own folder, flushed to disk and put in
// the recording's place, and the file is opened again with its position, delete-on-close and
// recorded length as before.  A file with nothing behind its content is only repositioned.
// Returns 0; the outcome goes to *error and lastError:
//   ErrReadOnly, ErrNeedsOpen (not state 2), ErrNoFile (streaming): nothing changes;
//   ErrVolumeControl when the sizes cannot be brought up to date, the file's size cannot be
//     found, or the new file cannot be named, written, flushed or put in place: the recording's
//     file stays as it was (the new file is removed) and open;
//   OpenFile's error when the file cannot be opened again: state 1, nothing open (a temporary
//     recording, which could no longer be closed, is deleted).
uint32_t CompactFile(Recorder& r, uint16_t* error);

}  // namespace voxl
