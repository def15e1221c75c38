// The chosen target format and the conversion set: the streams between the PCM of the wave
// devices and a compressed file format, built for the chosen target format.
//
// SetTargetFormat, ApplyTargetFormat, SetUpConversion and ReleaseConversion run on the host's
// thread while the engine is idle; Open/CloseConversionStreams on the engine thread around a run.
#pragma once

#include <cstdint>

#include "core/recorder.h"

namespace voxl {

// Checks `format` (`size` bytes: the record with its extra bytes) and stores it as the chosen
// format.  Usable when its PCM counterpart (the codec manager's suggestion, else 16 bits with
// its channels and rate) can be recorded on inputDevice and played on outputDevice, when, with
// testConversion, the codec manager converts both ways, and when no field of its rate, block or
// channels is 0.  A record whose cbSize claims more than `size` bytes is refused unread.
// Accepted: the bytes go to chosenFormat (its buffer is replaced only by a larger one, and
// chosenFormatSize never shrinks), suggestedPcmFormat takes the counterpart, and the answer is
// kAccepted.  Refused: kRefused, nothing changes.  `format` may be chosenFormat itself.
uint32_t SetTargetFormat(Recorder& r, const WAVEFORMATEX* format, int32_t size,
                         bool testConversion);

// SetTargetFormat with the conversion test; when accepted, channels and sampleRate take the
// format's values.
uint32_t ApplyTargetFormat(Recorder& r, const WAVEFORMATEX* format, int32_t size);

// Builds the conversion set for chosenFormat: fills fileFormat and fileFormatSize (the
// compressed format with its extra bytes), pcmFormat (the PCM side used on the devices), the
// buffer sizes and samplesPerBlock, and sets compressed to 1; the streams are left closed.
// Reports ErrNoTargetFormat when no target format of at least 18 bytes is set, or
// ErrFormatUnusable when no conversion for it can be set up (every stream and buffer taken is
// released again); on success the error is not written.  Reports through ReportError.  With
// readOnly only the decode side is built.
void SetUpConversion(Recorder& r, uint16_t* error);

// At the start (Open) and end (Close) of every capture or playback run: open the encode and
// decode streams of the conversion set and prepare their headers with their buffers, and
// unprepare and close them again (the buffers stay).  Both do nothing when compressed is 0.
void OpenConversionStreams(Recorder& r);
void CloseConversionStreams(Recorder& r);

// Frees the conversion set's buffers and clears compressed (its streams are closed already).
// fileFormat stays until the next SetUpConversion or the recorder's end.  Does nothing when
// there is no set.
void ReleaseConversion(Recorder& r);

// Whether the file's format states the decoded frames before its first recorded one (an MPEG
// Layer-3 recording of this system): its length is then the frames recorded, its decoder skips
// the delay, and playback ends at the length.
bool LengthIsFramesRecorded(const Recorder& r);

// `bytes` rounded up to a multiple of `blockAlign` (kept when it is one already, or when
// blockAlign is 0).
uint64_t RoundUpToBlockAlign(uint64_t bytes, uint16_t blockAlign);

}  // namespace voxl
