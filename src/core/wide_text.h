// Text crossing into BSTR: the recorder keeps names and descriptions as 8-bit text in the system
// code page, and hands them out (or to its own methods that take a name) as BSTR.
#pragma once

#include <memory>
#include <new>

#include "voxl310k_platform.h"

namespace voxl {

// A new BSTR holding `text` (zero-terminated, system code page).  Null or empty text gives an
// empty string; text the code page cannot convert also gives an empty string rather than a
// partial one.  Null only when no memory is left.
inline BSTR ToWideString(const char* text) {
  static const OLECHAR kEmpty[] = {0};
  if (text == nullptr || text[0] == '\0') return SysAllocString(kEmpty);
  // Count of wide characters including the terminator.
  const int chars = MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED, text, -1, nullptr, 0);
  if (chars <= 0) return SysAllocString(kEmpty);
  std::unique_ptr<WCHAR[]> wide(new (std::nothrow) WCHAR[static_cast<std::size_t>(chars)]);
  if (!wide) return nullptr;
  if (MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED, text, -1, wide.get(), chars) != chars) {
    return SysAllocString(kEmpty);
  }
  return SysAllocString(wide.get());
}

}  // namespace voxl
