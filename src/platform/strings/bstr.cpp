// BSTR: wide strings with their length in bytes stored as a 32-bit number just before the first
// character, and a zero character after the last one (not counted).  A BSTR may hold zeros.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "voxl310k_platform.h"

namespace {

// Longest BSTR in characters: its byte length, the prefix and the terminator fit 32 bits.
constexpr uint32_t kMaxChars = (UINT32_MAX - sizeof(uint32_t) - sizeof(OLECHAR)) / 2;

uint32_t* Prefix(BSTR text) {
  return reinterpret_cast<uint32_t*>(reinterpret_cast<unsigned char*>(text) - sizeof(uint32_t));
}

}  // namespace

extern "C" {

BSTR WINAPI SysAllocStringLen(const OLECHAR* text, UINT length) {
  if (length > kMaxChars) return nullptr;
  const size_t bytes = static_cast<size_t>(length) * sizeof(OLECHAR);
  auto* block =
      static_cast<unsigned char*>(std::malloc(sizeof(uint32_t) + bytes + sizeof(OLECHAR)));
  if (block == nullptr) return nullptr;
  const uint32_t byteLength = static_cast<uint32_t>(bytes);
  std::memcpy(block, &byteLength, sizeof byteLength);
  BSTR result = reinterpret_cast<BSTR>(block + sizeof(uint32_t));
  // Without a source the characters are zero rather than whatever the heap held.
  if (text != nullptr) {
    std::memcpy(result, text, bytes);
  } else {
    std::memset(result, 0, bytes);
  }
  result[length] = 0;
  return result;
}

BSTR WINAPI SysAllocString(const OLECHAR* text) {
  if (text == nullptr) return nullptr;
  size_t length = 0;
  while (text[length] != 0) ++length;
  if (length > kMaxChars) return nullptr;
  return SysAllocStringLen(text, static_cast<UINT>(length));
}

void WINAPI SysFreeString(BSTR text) {
  if (text != nullptr) std::free(Prefix(text));
}

UINT WINAPI SysStringByteLen(BSTR text) {
  if (text == nullptr) return 0;
  uint32_t bytes = 0;
  std::memcpy(&bytes, Prefix(text), sizeof bytes);
  return bytes;
}

UINT WINAPI SysStringLen(BSTR text) {
  return SysStringByteLen(text) / sizeof(OLECHAR);
}

}  // extern "C"
