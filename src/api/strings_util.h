// Text at the method table: 8-bit text in the system code page inside the recorder, BSTR outside.
#pragma once

#include "core/wide_text.h"
#include "voxl310k_platform.h"

namespace voxl {

// Frees the string *out already holds (when not null), then stores `text` in it.
void ReplaceString(BSTR* out, BSTR text);

}  // namespace voxl
