// Opening an existing sound file as the recorder's current file: RIFF/WAVE (PCM, A-law, mu-law
// or any format the codec manager converts), headerless files in the capture format (from byte
// 0, or behind a header of n bytes) and headerless MPEG audio found by scanning.
//
// Host's thread, while the engine is idle.
#pragma once

#include <cstdint>

#include "core/recorder.h"
#include "voxl310k_platform.h"

namespace voxl {

// Runs Close, then opens `name` by fileKind (0 RIFF/WAVE, 1 headerless, 2 headerless MPEG audio,
// -n headerless behind an n-byte header), read-only when readOnly is set.  A null or empty name,
// or a missing file without readOnly, gives NewRecording with that name.  Returns 0; the outcome
// goes to *error and lastError:
//   Close's own error; ErrReadOnly for a missing file with readOnly;
//   ErrFileOpen when the name cannot be converted, the file cannot be opened, its end cannot be
//     found or the MPEG scan cannot read it;
//   ErrNotRiffWave when there is no RIFF "WAVE" form, no "fmt " or "data" chunk in it, a "fmt "
//     chunk shorter than 16 bytes or longer than any format record, a PCM, A-law or mu-law format
//     with no channels or a block alignment of 0 (PCM: or 0 bits per sample), or a chunk that
//     cannot be read or left whole;
//   ErrFormatUnusable when the codec manager refuses a compressed format, the rate of a PCM,
//     A-law or mu-law file is not one the recorder offers, PCM samples are not of 8 or 16 bits,
//     or no MPEG Layer III frame is found;
//   the conversion set's error (ErrNoTargetFormat, ErrFormatUnusable).
// After a failure the file is closed again and the recorder is in state 1 with nothing open.
// On success state is 2 with position = length (the end of the audio), so that Record continues
// there, and the file is positioned behind the data.  length is the "fact" count when the file
// has one behind "fmt ", else it is derived from the data size in whole frames or whole blocks.
// A data chunk that claims more bytes than the file holds counts only those it holds; a "fact"
// count that points past the data is replaced by the length the data gives.
uint32_t OpenFile(Recorder& r, BSTR name, uint16_t* error);

// The headerless branch of OpenFile, entered with r.fileHandle open on `name` (UTF-8) and
// fileKind != 0.  sampleFormat 100 (or a found MPEG stream) takes the chosen format through the
// conversion set; otherwise the capture format describes the samples.  The data runs from the
// start (byte 0, byte n, or the first MPEG frame) to the end of the file, without the ID3v1 tag
// that may close an MPEG stream.
void OpenRawFile(Recorder& r, const char* name, uint16_t* error);

}  // namespace voxl
