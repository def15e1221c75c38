// Code page conversions between 8-bit text and UTF-16.  The system code page (CP_ACP) is UTF-8
// on this platform, so both 8-bit code pages accepted here are UTF-8.
//
// Malformed UTF-8 (bytes that cannot start a sequence, missing or unexpected continuation
// bytes, overlong forms, encoded surrogates, values past U+10FFFF) either fails the call
// (MB_ERR_INVALID_CHARS) or becomes U+FFFD, one for each maximal ill-formed part, as the
// Unicode standard recommends.  Unpaired surrogates in UTF-16 likewise fail (WC_ERR_INVALID_
// CHARS) or become U+FFFD.  Neither direction reads past the given lengths.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "platform/system/system.h"
#include "voxl310k_platform.h"

#define CP_OEMCP 1
#define CP_THREAD_ACP 3
#define WC_ERR_INVALID_CHARS 0x00000080

namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool IsUtf8CodePage(UINT codePage) {
  return codePage == CP_ACP || codePage == CP_OEMCP || codePage == CP_THREAD_ACP ||
         codePage == CP_UTF8;
}

// Decodes one code point from text[*pos..end); advances *pos.  Returns false for an ill-formed
// part, which has then been skipped (at least one byte).
bool DecodeUtf8(const unsigned char* text, size_t end, size_t* pos, char32_t* out) {
  const unsigned char lead = text[*pos];
  if (lead < 0x80) {
    *out = lead;
    ++*pos;
    return true;
  }
  int more = 0;
  unsigned char low = 0x80, high = 0xBF;  // allowed range of the first continuation byte
  char32_t value = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    more = 1;
    value = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    more = 2;
    value = lead & 0x0F;
    if (lead == 0xE0) low = 0xA0;   // shorter forms are overlong
    if (lead == 0xED) high = 0x9F;  // D800..DFFF are surrogates, not characters
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    more = 3;
    value = lead & 0x07;
    if (lead == 0xF0) low = 0x90;   // overlong
    if (lead == 0xF4) high = 0x8F;  // past U+10FFFF
  } else {
    ++*pos;  // a continuation byte or a lead byte that no valid sequence has
    return false;
  }
  size_t next = *pos + 1;
  for (int i = 0; i < more; ++i, ++next) {
    if (next >= end || text[next] < low || text[next] > high) {
      *pos = next;  // the offending byte starts the next attempt
      return false;
    }
    value = (value << 6) | (text[next] & 0x3F);
    low = 0x80;
    high = 0xBF;
  }
  *pos = next;
  *out = value;
  return true;
}

// Writes `count` units when there is room; counts them always.
struct Sink16 {
  WCHAR* dst;
  size_t capacity;  // 0: only count
  size_t written = 0;
  bool overflow = false;

  void Put(char32_t cp) {
    if (cp >= 0x10000) {
      cp -= 0x10000;
      Unit(static_cast<WCHAR>(0xD800 + (cp >> 10)));
      Unit(static_cast<WCHAR>(0xDC00 + (cp & 0x3FF)));
    } else {
      Unit(static_cast<WCHAR>(cp));
    }
  }
  void Unit(WCHAR unit) {
    if (capacity != 0) {
      if (written >= capacity) {
        overflow = true;
        return;
      }
      dst[written] = unit;
    }
    ++written;
  }
};

struct Sink8 {
  char* dst;
  size_t capacity;  // 0: only count
  size_t written = 0;
  bool overflow = false;

  void Put(char32_t cp) {
    unsigned char bytes[4];
    size_t n;
    if (cp < 0x80) {
      bytes[0] = static_cast<unsigned char>(cp);
      n = 1;
    } else if (cp < 0x800) {
      bytes[0] = static_cast<unsigned char>(0xC0 | (cp >> 6));
      bytes[1] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
      n = 2;
    } else if (cp < 0x10000) {
      bytes[0] = static_cast<unsigned char>(0xE0 | (cp >> 12));
      bytes[1] = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
      bytes[2] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
      n = 3;
    } else {
      bytes[0] = static_cast<unsigned char>(0xF0 | (cp >> 18));
      bytes[1] = static_cast<unsigned char>(0x80 | ((cp >> 12) & 0x3F));
      bytes[2] = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
      bytes[3] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
      n = 4;
    }
    if (capacity != 0) {
      // A character is written whole or not at all.
      if (written + n > capacity) {
        overflow = true;
        return;
      }
      std::memcpy(dst + written, bytes, n);
    }
    written += n;
  }
};

// The result of a conversion: the count written (or needed), or 0 with the last error when the
// destination was too small or the count does not fit an int.
template <typename Sink>
int Finish(const Sink& sink) {
  if (sink.overflow) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  if (sink.written > static_cast<size_t>(INT32_MAX)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  return static_cast<int>(sink.written);
}

}  // namespace

extern "C" {

int WINAPI MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR src, int srcBytes, LPWSTR dst,
                               int dstChars) {
  if (!IsUtf8CodePage(codePage) || src == nullptr || srcBytes == 0 || srcBytes < -1 ||
      dstChars < 0 || (dstChars > 0 && dst == nullptr)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const size_t length = srcBytes == -1 ? std::strlen(src) + 1 : static_cast<size_t>(srcBytes);
  const auto* text = reinterpret_cast<const unsigned char*>(src);
  const bool strict = (flags & MB_ERR_INVALID_CHARS) != 0;
  Sink16 sink{dst, static_cast<size_t>(dstChars)};
  size_t pos = 0;
  while (pos < length && !sink.overflow) {
    char32_t cp = 0;
    if (!DecodeUtf8(text, length, &pos, &cp)) {
      if (strict) {
        SetLastError(ERROR_NO_UNICODE_TRANSLATION);
        return 0;
      }
      cp = kReplacement;
    }
    sink.Put(cp);
  }
  return Finish(sink);
}

int WINAPI WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR src, int srcChars, LPSTR dst,
                               int dstBytes, LPCSTR defaultChar, BOOL* usedDefaultChar) {
  // UTF-8 can represent every character, so there is no default character to substitute; the
  // UTF-8 code page refuses the arguments outright, as the platform does.
  if (!IsUtf8CodePage(codePage) || src == nullptr || srcChars == 0 || srcChars < -1 ||
      dstBytes < 0 || (dstBytes > 0 && dst == nullptr) ||
      (codePage == CP_UTF8 && (defaultChar != nullptr || usedDefaultChar != nullptr))) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  size_t length = static_cast<size_t>(srcChars);
  if (srcChars == -1) {
    length = 0;
    while (src[length] != 0) ++length;
    ++length;
  }
  const bool strict = (flags & WC_ERR_INVALID_CHARS) != 0;
  bool replaced = false;
  Sink8 sink{dst, static_cast<size_t>(dstBytes)};
  for (size_t i = 0; i < length && !sink.overflow; ++i) {
    char32_t cp = src[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < length && src[i + 1] >= 0xDC00 &&
        src[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (src[i + 1] - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      if (strict) {
        SetLastError(ERROR_NO_UNICODE_TRANSLATION);
        return 0;
      }
      cp = kReplacement;
      replaced = true;
    }
    sink.Put(cp);
  }
  const int written = Finish(sink);
  if (written != 0 && usedDefaultChar != nullptr) *usedDefaultChar = replaced ? TRUE : FALSE;
  return written;
}

}  // extern "C"
