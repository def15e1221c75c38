// The pieces of a capture run that its files share: delivery of recorded data, the write
// position, the marker tones and the splice of an insert-mode run (the encoder steps are in
// capture_encoder.h).
//
// Engine thread only, during a run (between BeginCapture and the end of FinishCapture).
#pragma once

#include <cstdint>

#include "core/recorder.h"
#include "wavefile/frames.h"

namespace voxl {

// Delivers `count` bytes of recorded data: posts them to the host as a CapturedBlock
// (notification 4) and stores them in the file at fileCursor (overwrite mode) or at the end of
// the splice file (insert mode).  Returns the bytes stored: `count` without a file; -1 when the
// data would pass DataEndLimit (riff_layout.h; then nothing is posted or stored) or the splice
// file took fewer (then it is cut back to where it was); else what mmioWrite stored.
int32_t EmitData(Recorder& r, const void* data, uint32_t count);

// Seeks the file to `offset` when a file is open in overwrite mode; otherwise does nothing.
void SeekForWrite(Recorder& r, uint64_t offset);

// When fileCursor is unknown, works it out from position (the file offset of that frame).
// False when that offset cannot be written to (it lies past DataEndLimit).
bool ResolveFileCursor(Recorder& r);

// Ends the run because of `code`: resets the device (every buffer comes back) and moves the
// engine to Draining with the code in stopReason and lastError.
void FailCapture(Recorder& r, uint16_t code);

// Marks the RIFF and data chunks as changed, so that their sizes are written at the end.
void MarkChunksDirty(Recorder& r);
// Overwrite mode into a RIFF/WAVE file: writes the data size, the form size and the "fact"
// count (length) of the audio stored so far in place (WriteSizesInPlace), so that a process
// killed now leaves a file that opens with all of it.  A size that cannot be written ends the
// run like a failed data write: ErrCaptureWrite (FailCapture while capturing, else in
// stopReason and lastError when nothing else ended the run).  Nothing to do for streaming,
// headerless files and insert mode (the recording is not written during such a run).
void KeepSizesCurrent(Recorder& r);

// The most frames a recording holds where its sizes are 32-bit: the last position the method
// table's signed 32-bit counts reach.
constexpr int64_t kMaxRecordingFrames = INT32_MAX;
// The most frames the open recording may hold: kMaxLargeRecordingFrames for an overwriting run
// into a file whose data may pass 4 GiB (an RF64 file, or one with the room for its sizes in
// large-file mode), where the 64-bit sizes are the only end; kMaxRecordingFrames otherwise (a
// stream, a headerless file, a plain RIFF/WAVE file, an insert, which moves 32-bit sizes).
constexpr auto kMaxLargeRecordingFrames = static_cast<int64_t>(kMaxFrames);
int64_t RecordingFrameLimit(const Recorder& r);
// Frames a file run may still store before the position (overwrite mode) or the length (insert
// mode) would pass RecordingFrameLimit; UINT64_MAX for a stream, which has no such end.
uint64_t FileFramesLeft(const Recorder& r);

// Moves the position over `frames` stored frames and extends the length: by the frames in
// insert mode, up to the position when overwriting.  Neither passes RecordingFrameLimit.
void AdvanceOverStoredFrames(Recorder& r, uint32_t frames);
// The same for `frames` recorded frames, which also count in recordedLength (marker tones do
// not).
void CountStoredFrames(Recorder& r, uint32_t frames);

// Writes an 880 Hz marker tone of `seconds` at the write point and advances position and length
// by its frames (not recordedLength).  `final` marks the end of the encoder's stream (the last
// tone of a run).  False when the tone could not be stored; what was stored of it still counts.
bool WriteMarkerTone(Recorder& r, double seconds, bool final);

// Insert mode: creates the splice file, a new, empty "VOX" file in the temporary folder, and
// sets insertStart to position.  False when it cannot be made (nothing is left behind).
bool OpenSpliceFile(Recorder& r);

// Bytes collected in the splice file so far (0 without one).
uint32_t CollectedSpliceBytes(const Recorder& r);

// Appends `count` bytes to the splice file.  Returns `count`, or -1 when they could not all be
// stored (then the file is cut back to where it was).
int32_t StoreInSpliceFile(Recorder& r, const void* data, uint32_t count);

// Moves the audio that an insert-mode run collected in the splice file into the recording at
// insertStart, behind which the rest of the file moves up.  Closes and deletes the splice file in
// every case.  When the splice cannot complete (the file cannot grow, or a read or write fails),
// the recording is put back as it was before the run, length included, position goes back to
// insertStart, and stopReason becomes ErrCaptureWrite.
void SpliceInsertion(Recorder& r);

// Closes and deletes the splice file, if any.
void DiscardSpliceFile(Recorder& r);

}  // namespace voxl
