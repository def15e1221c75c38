#include "api/strings_util.h"

#include <memory>

namespace voxl {

BSTR ToWideString(const char* text) {
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

void ReplaceString(BSTR* out, BSTR text) {
  if (*out != nullptr) SysFreeString(*out);
  *out = text;
}

}  // namespace voxl
