// Text at the method table: 8-bit text in the system code page inside the recorder, BSTR outside.
#pragma once

#include <cstddef>

#include "voxl310k_platform.h"

namespace voxl {

// A new BSTR holding `text` (zero-terminated, system code page).  Null or empty text gives an
// empty string; text the code page cannot convert also gives an empty string rather than a
// partial one.  Null only when no memory is left.
BSTR ToWideString(const char* text);

// Frees the string *out already holds (when not null), then stores `text` in it.
void ReplaceString(BSTR* out, BSTR text);

// Copies a BSTR into `buffer` (`bytes` bytes, terminator included) as system code page text.
// Returns false, leaving an empty text, when the text does not convert or does not fit.
bool FromWideString(BSTR text, char* buffer, std::size_t bytes);

}  // namespace voxl
