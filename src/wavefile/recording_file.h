// Recording targets: new RIFF/WAVE files, new headerless files and streaming (no file), the
// finishing of a file after each capture run and the closing steps of a target.  The layout of
// the files is in riff_layout.h.
//
// Everything here runs on the host's thread while the engine is idle.
#pragma once

#include <cstdint>

#include "core/recorder.h"
#include "voxl310k_platform.h"

namespace voxl {

// The first steps of every new target (a new recording, an opened file): runs Close, then puts
// the name in UTF-8 into `narrow` (kNameBytes; a null or empty BSTR gives "").  False, with the
// error reported, when Close fails or the name does not fit with its terminator or holds a NUL
// character or an unpaired surrogate (the file would get another name than the one asked for).
bool CloseForNewTarget(Recorder& r, BSTR name, char* narrow, uint16_t* error);

// Prepares a new recording target after running Close: a RIFF/WAVE file (fileKind 0), a
// headerless file (fileKind != 0, data from byte 0, nothing written yet) or, for an empty or
// null name, streaming (no file).  sampleFormat 100 takes the compressed branch.  Returns 0;
// the outcome goes to *error and lastError:
//   ErrReadOnly when readOnly (nothing else happens, not even Close); Close's own error;
//   ErrFileOpen when the name does not fit 299 bytes of UTF-8, holds a NUL character or an
//     unpaired surrogate, or the file cannot be created; ErrRiffWrite when the header could not
//     be written (the file is closed and deleted, whether or not it existed before: creating it
//     had emptied it; state 1); the conversion set's error (compressed branch).
// On success state is 2 with position = length = recordedLength = 0.
uint32_t NewRecording(Recorder& r, BSTR name, uint16_t* error);

// The compressed branch of NewRecording (sampleFormat 100), `name` in UTF-8 (empty =
// streaming).  Builds the conversion set first; on any failure it is released again and no
// file is left open.  On success sampleRate becomes the PCM rate the conversion chose and
// maxLengthSamples is recomputed for it.
void NewCompressedRecording(Recorder& r, const char* name, uint16_t* error);

// NewRecording on a fresh file "VOX<hex>.tmp" in the temporary directory, which Close deletes
// again (deleteOnClose 1).  ErrReadOnly when readOnly; ErrFileOpen when no temporary file can be
// had.  When the recording cannot be prepared, the temporary file is removed again.
uint32_t NewTempRecording(Recorder& r, uint16_t* error);

// Whether the wave mapper's input accepts the capture format (a query, nothing is opened):
// 0 accepted (always for sampleFormat 100 and a recorder without devices), 1 refused.
uint16_t CheckCaptureFormat(Recorder& r);

// Close's steps for an open target (state 2): releases the conversion set, writes the data
// size, the "fact" sample count (= length) and the form size of a RIFF/WAVE file, closes the
// file, deletes it when deleteOnClose is set, clears fileName and sets state 1, length 0 and
// position 0.  Failures while finalizing (a chunk not found, a seek or write failing) do not
// stop it: the file is always closed.
void CloseRecordingTarget(Recorder& r);

// Run when the engine reports the end of a capture run: writes the data and form sizes of the
// open file so that it is complete on disk, rereads its chunk records, places the file at
// `position` again, clears `silent` and calls host callback 0 with stopReason.
void FinishRecordingFile(Recorder& r);

// Creates an empty file "VOX<hex>.tmp" in the temporary folder and writes its name to `name`
// (kNameBytes).  False when no such file can be made, or its name would not fit (it is then
// removed again).
bool CreateTempFile(char* name);

}  // namespace voxl
