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

bool FromWideString(BSTR text, char* buffer, std::size_t bytes) {
  if (bytes == 0) return false;
  buffer[0] = '\0';
  if (text == nullptr) return true;
  const UINT chars = SysStringLen(text);
  if (chars == 0) return true;
  const int needed =
      WideCharToMultiByte(CP_ACP, 0, text, static_cast<int>(chars), nullptr, 0, nullptr, nullptr);
  // The terminator needs one more byte.
  if (needed <= 0 || static_cast<std::size_t>(needed) >= bytes) return false;
  if (WideCharToMultiByte(CP_ACP, 0, text, static_cast<int>(chars), buffer, needed, nullptr,
                          nullptr) != needed) {
    buffer[0] = '\0';
    return false;
  }
  buffer[needed] = '\0';
  return true;
}

}  // namespace voxl
