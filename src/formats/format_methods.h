// The format methods of the recorder: the format chooser, the chosen and the file format in
// words, and the chosen format as a list of bytes that a host keeps and gives back.
//
// All run on the host's thread.  They store and read chosenFormat (conversion.h); the engine
// never reads it, so a run may go on meanwhile.  Every non-zero error code also goes to
// lastError.
#pragma once

#include <cstdint>

#include "core/recorder.h"

namespace voxl {

// Shows the format chooser (the host's, see VoxlSetFormatChooser) titled `title` (an empty or
// null title: the chooser's own), opening on the chosen format when its buffer holds a whole
// record of the codec manager's largest size; formatTag 0 offers every format, another tag only
// that tag's.  A chosen MPEG Layer-3 format always gets cbSize 12.  The answer is checked by
// SetTargetFormat (with the conversion test only while no file is open) and stored.  Returns 0;
// error: 0 stored, ErrNoCodecManager (the largest format size is unknown),
// ErrChooserCancelled (cancelled or failed), ErrFormatUnusable (refused).
uint32_t ChooseFormatOfTag(Recorder& r, DWORD owner, BSTR title, uint16_t formatTag,
                           uint16_t* error);
// ChooseFormatOfTag for any tag, called through the recorder's method table.
uint32_t ChooseFormat(Recorder& r, DWORD owner, BSTR title, uint16_t* error);

// The chosen format in words ("<tag name>: <details>"), "[Not Set]" without one, and
// "[Unavailable]" with ErrFormatNotDescribed when the codec manager cannot describe it.  The
// error is set to 0 first; a null `text` returns 1, else a new string goes to *text (the one it
// held is freed) and the answer is 0.
uint32_t GetFormatText(Recorder& r, BSTR* text, uint16_t* error);
// The same for the open file's format (fileFormat while the conversion set exists, else
// pcmFormat); "[Unavailable]" with ErrNeedsOpen when no file is open.
uint32_t GetFileFormatText(Recorder& r, BSTR* text, uint16_t* error);

// The whole chosenFormat buffer (chosenFormatSize bytes, lower bound 0) as a VT_ARRAY|VT_UI1
// variant, or one byte 0 without a chosen format; what *format held is cleared first.  0, also
// for a null pointer; E_OUTOFMEMORY when the array cannot be made.
HRESULT GetFormat(Recorder& r, VARIANT* format);
// Stores the bytes of a one-dimensional VT_ARRAY|VT_UI1 variant (or a by-reference variant
// holding one) of at least 18 elements as the chosen format, then checks it with
// SetTargetFormat, whose verdict is not reported: a refused format stays stored and is refused
// when a recording is set up with it.  1 for another type or dimension count; 0 otherwise,
// also when the value is empty or too short and is ignored.
HRESULT PutFormat(Recorder& r, VARIANT format);

}  // namespace voxl
