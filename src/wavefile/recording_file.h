// Recording targets: new RIFF/WAVE files, new headerless files and streaming (no file), the
// finishing of a file after each capture run and the closing steps of a target.
//
// Layout of a new RIFF/WAVE file (little-endian; docs/file-format.md has the full picture):
//   "RIFF" <form size> "WAVE"
//   "fmt " <size> <format record>      PCM/A-law/mu-law: the 18-byte pcmFormat;
//                                      compressed: fileFormat with its extra bytes (+ pad byte)
//   "fact" 4 <sample count>            only when the format tag is not PCM
//   "data" <size> <samples>            always the last chunk
// Sizes and the sample count are 0 when the file is created; FinishRecordingFile and
// CloseRecordingTarget bring them up to date.
//
// Everything here runs on the host's thread while the engine is idle.
#pragma once

#include <cstdint>

#include "core/recorder.h"
#include "voxl310k_platform.h"

namespace voxl {

// Largest byte offset or size a RIFF file can describe.
constexpr uint64_t kMaxRiffOffset = 0xFFFFFFFFu;

// Prepares a new recording target after running Close: a RIFF/WAVE file (fileKind 0), a
// headerless file (fileKind != 0, data from byte 0, nothing written yet) or, for an empty or
// null name, streaming (no file).  sampleFormat 100 takes the compressed branch.  Returns 0;
// the outcome goes to *error and lastError:
//   18 readOnly (nothing else happens, not even Close); Close's own error (6 or 1);
//   2 the name does not fit 299 bytes of UTF-8, holds a NUL character or an unpaired
//     surrogate, or the file cannot be created; 3 the header could not be written (the file is
//     closed and deleted, whether or not it existed before: creating it had emptied it; state 1);
//   17 / 5 from the conversion set (compressed branch).
// On success state is 2 with position = length = recordedLength = 0.
uint32_t NewRecording(Recorder& r, BSTR name, uint16_t* error);

// The compressed branch of NewRecording (sampleFormat 100), `name` in UTF-8 (empty =
// streaming).  Builds the conversion set first; on any failure it is released again and no
// file is left open.  On success sampleRate becomes the PCM rate the conversion chose and
// maxLengthSamples is recomputed for it.
void NewCompressedRecording(Recorder& r, const char* name, uint16_t* error);

// NewRecording on a fresh file "VOX<hex>.tmp" in the temporary directory, which Close deletes
// again (deleteOnClose 1).  18 when readOnly; 2 when no temporary name can be had.  When the
// recording cannot be prepared, the temporary file is removed again.
uint32_t NewTempRecording(Recorder& r, uint16_t* error);

// Whether the wave mapper's input accepts the capture format (a query, nothing is opened):
// 0 accepted (always for sampleFormat 100), 1 refused.
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

// Byte offset inside the data of a position of `frames` sample frames: frames x nBlockAlign of
// pcmFormat, or, while the conversion set exists, whole compressed blocks (frames /
// samplesPerBlock rounded to nearest) x nBlockAlign of fileFormat.  Computed in 64 bits; a
// result beyond kMaxRiffOffset is clamped to kMaxRiffOffset (no RIFF file reaches it, so a seek
// there fails instead of landing on a wrapped offset).
uint32_t FrameToByte(const Recorder& r, uint32_t frames);
// The same without the clamp.
uint64_t FrameToByte64(const Recorder& r, uint32_t frames);
// File offset of a position: dataChunk's data offset plus FrameToByte64.
uint64_t FrameToFileOffset(const Recorder& r, uint32_t frames);

// pcmFormat from sampleFormat, channels and sampleRate: tag 6 for 106 (A-law), 7 for 107
// (mu-law), both 8 bits per sample; otherwise PCM with sampleFormat bits per sample.
void BuildPcmFormat(Recorder& r);

}  // namespace voxl
