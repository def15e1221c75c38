// Text at the method table: 8-bit text in the system code page inside the recorder, BSTR outside.
#pragma once

#include "voxl310k_platform.h"

namespace voxl {

// A new BSTR holding `text` (zero-terminated, system code page).  Null or empty text gives an
// empty string; text the code page cannot convert also gives an empty string rather than a
// partial one.  Null only when no memory is left.
BSTR ToWideString(const char* text);

// Frees the string *out already holds (when not null), then stores `text` in it.
void ReplaceString(BSTR* out, BSTR text);

}  // namespace voxl
