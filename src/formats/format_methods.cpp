// The format methods of the recorder: chooser, descriptions and byte lists (format_methods.h).
#include "formats/format_methods.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include "core/wide_text.h"
#include "formats/conversion.h"

namespace voxl {
namespace {

constexpr char kNotSet[] = "[Not Set]";
constexpr char kUnavailable[] = "[Unavailable]";
constexpr int32_t kFormatBytes = sizeof(WAVEFORMATEX);  // 18
constexpr VARTYPE kByteArray = VT_ARRAY | VT_UI1;

// `title` in the system code page into `out` (kNameBytes).  Text that does not fit is cut at
// the last whole character that does; a null or empty title gives "".
void TitleToNarrow(BSTR title, char* out) {
  out[0] = '\0';
  const int chars = title == nullptr ? 0 : static_cast<int>(SysStringLen(title));
  if (chars <= 0) return;
  const int needed = WideCharToMultiByte(CP_ACP, 0, title, chars, nullptr, 0, nullptr, nullptr);
  if (needed <= 0) return;
  std::string text(static_cast<size_t>(needed), '\0');
  if (WideCharToMultiByte(CP_ACP, 0, title, chars, text.data(), needed, nullptr, nullptr) !=
      needed) {
    return;
  }
  size_t length = text.size();
  if (length > kNameBytes - 1) {
    length = kNameBytes - 1;
    // Back to the start of the character that would be cut (continuation bytes are 10xxxxxx).
    while (length > 0 && (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80) --length;
  }
  std::memcpy(out, text.data(), length);
  out[length] = '\0';
}

// `text` (zero-terminated, system code page) as a new BSTR in *out, which frees the string *out
// held.  Text the code page cannot convert gives an empty string.
void StoreText(BSTR* out, const char* text) {
  if (*out != nullptr) SysFreeString(*out);
  *out = ToWideString(text);
}

// Appends the zero-terminated part of a platform field of `capacity` characters to `text`.
void AppendField(std::string& text, const char* field, size_t capacity) {
  text.append(field, strnlen(field, capacity));
}

// "<tag name>: <details>" of `format` (`size` readable bytes) into `text`; false when the codec
// manager cannot describe it.
bool Describe(const WAVEFORMATEX* format, int32_t size, std::string& text) {
  ACMFORMATTAGDETAILSA tag{};
  tag.cbStruct = sizeof tag;
  tag.dwFormatTag = format->wFormatTag;
  if (acmFormatTagDetailsA(nullptr, &tag, ACM_FORMATTAGDETAILSF_FORMATTAG) != MMSYSERR_NOERROR) {
    return false;
  }
  ACMFORMATDETAILSA details{};
  details.cbStruct = sizeof details;
  details.dwFormatTag = format->wFormatTag;
  details.pwfx = const_cast<LPWAVEFORMATEX>(format);
  details.cbwfx = static_cast<DWORD>(size);
  if (acmFormatDetailsA(nullptr, &details, ACM_FORMATDETAILSF_FORMAT) != MMSYSERR_NOERROR) {
    return false;
  }
  text.clear();
  AppendField(text, tag.szFormatTag, sizeof tag.szFormatTag);
  text += ": ";
  AppendField(text, details.szFormat, sizeof details.szFormat);
  return true;
}

// The text of a format description into *out; `code` to the error.
uint32_t GiveDescription(Recorder& r, BSTR* out, uint16_t* error, const char* text, uint16_t code) {
  ReportError(r, error, code);
  StoreText(out, text);
  return kAccepted;
}

uint32_t DescribeFormat(Recorder& r, const WAVEFORMATEX* format, int32_t size, BSTR* out,
                        uint16_t* error) {
  std::string text;
  if (size < kFormatBytes || !Describe(format, size, text)) {
    return GiveDescription(r, out, error, kUnavailable, ErrFormatNotDescribed);
  }
  return GiveDescription(r, out, error, text.c_str(), ErrNone);
}

}  // namespace

uint32_t ChooseFormatOfTag(Recorder& r, DWORD owner, BSTR title, uint16_t formatTag,
                           uint16_t* error) {
  char narrowTitle[kNameBytes];
  TitleToNarrow(title, narrowTitle);

  DWORD maxSize = 0;
  if (acmMetrics(nullptr, ACM_METRIC_MAX_SIZE_FORMAT, &maxSize) != MMSYSERR_NOERROR ||
      maxSize < static_cast<DWORD>(kFormatBytes) || maxSize > 0x7FFFFFFFu) {
    ReportError(r, error, ErrNoCodecManager);
    return kAccepted;
  }
  auto* answer = static_cast<WAVEFORMATEX*>(std::calloc(1, maxSize));
  auto* restriction = static_cast<WAVEFORMATEX*>(std::calloc(1, maxSize));
  uint16_t code = ErrChooserCancelled;
  if (answer != nullptr && restriction != nullptr) {
    restriction->wFormatTag = formatTag;
    ACMFORMATCHOOSEA choose{};
    choose.cbStruct = sizeof choose;
    if (r.chosenFormat != nullptr && static_cast<uint32_t>(r.chosenFormatSize) >= maxSize) {
      std::memcpy(answer, r.chosenFormat, maxSize);
      choose.fdwStyle = ACMFORMATCHOOSE_STYLEF_INITTOWFXSTRUCT;
    }
    choose.hwndOwner = reinterpret_cast<HWND>(static_cast<uintptr_t>(owner));
    choose.pwfx = answer;
    choose.cbwfx = maxSize;
    choose.pszTitle = narrowTitle[0] != '\0' ? narrowTitle : nullptr;
    if (formatTag != 0) {
      choose.fdwEnum = ACM_FORMATENUMF_WFORMATTAG;
      choose.pwfxEnum = restriction;
    }
    const MMRESULT result = acmFormatChooseA(&choose);
    // MPEG Layer-3 records carry 12 extra bytes whatever the chooser wrote there.
    if (answer->wFormatTag == WAVE_FORMAT_MPEGLAYER3) answer->cbSize = MPEGLAYER3_WFX_EXTRA_BYTES;
    if (result == MMSYSERR_NOERROR) {
      const bool noFileOpen = StateIsCreatedOrIdle(r);
      code = SetTargetFormat(r, answer, static_cast<int32_t>(maxSize), noFileOpen) == kAccepted
                 ? ErrNone
                 : ErrFormatUnusable;
    }
  }
  std::free(answer);
  std::free(restriction);
  ReportError(r, error, code);
  return kAccepted;
}

uint32_t ChooseFormat(Recorder& r, DWORD owner, BSTR title, uint16_t* error) {
  if (r.methods == nullptr) return ChooseFormatOfTag(r, owner, title, 0, error);
  return static_cast<uint32_t>(r.methods->ChooseFormatOfTag(ToHost(&r), owner, title, 0, error));
}

uint32_t GetFormatText(Recorder& r, BSTR* text, uint16_t* error) {
  if (error != nullptr) *error = ErrNone;
  if (text == nullptr) return kRefused;
  if (r.chosenFormat == nullptr) return GiveDescription(r, text, error, kNotSet, ErrNone);
  return DescribeFormat(r, r.chosenFormat, r.chosenFormatSize, text, error);
}

uint32_t GetFileFormatText(Recorder& r, BSTR* text, uint16_t* error) {
  if (error != nullptr) *error = ErrNone;
  if (text == nullptr) return kRefused;
  if (StateIsCreatedOrIdle(r)) return GiveDescription(r, text, error, kUnavailable, ErrNeedsOpen);
  if (r.compressed != 0 && r.fileFormat != nullptr) {
    return DescribeFormat(r, r.fileFormat, r.fileFormatSize, text, error);
  }
  return DescribeFormat(r, &r.pcmFormat, kFormatBytes, text, error);
}

HRESULT GetFormat(Recorder& r, VARIANT* format) {
  if (format == nullptr) return kAccepted;
  VariantClear(format);
  const uint8_t none = 0;
  const bool chosen = r.chosenFormat != nullptr;
  const auto* bytes = chosen ? reinterpret_cast<const uint8_t*>(r.chosenFormat) : &none;
  const ULONG count = chosen ? static_cast<ULONG>(r.chosenFormatSize) : 1;
  SAFEARRAY* array = SafeArrayCreateVector(VT_UI1, 0, count);
  if (array == nullptr) return E_OUTOFMEMORY;
  for (ULONG i = 0; i < count; ++i) {
    LONG index = static_cast<LONG>(i);
    uint8_t byte = bytes[i];
    SafeArrayPutElement(array, &index, &byte);
  }
  format->vt = kByteArray;
  format->parray = array;
  return kAccepted;
}

HRESULT PutFormat(Recorder& r, VARIANT format) {
  VARIANT referred;
  VariantInit(&referred);
  const VARIANT* value = &format;
  if (format.vt == (VT_BYREF | VT_VARIANT)) {
    if (format.pvarVal == nullptr || VariantCopy(&referred, format.pvarVal) != S_OK) {
      VariantClear(&referred);
      return kRefused;
    }
    value = &referred;
  }
  const auto finish = [&](HRESULT answer) {
    VariantClear(&referred);
    return answer;
  };
  if (value->vt == VT_EMPTY) return finish(kAccepted);
  SAFEARRAY* array = value->parray;
  // Elements are read one byte each: an array of wider elements is not a byte list, whatever
  // the variant's type says.
  if (value->vt != kByteArray || array == nullptr || SafeArrayGetDim(array) != 1 ||
      array->cbElements != 1) {
    return finish(kRefused);
  }
  LONG lower = 0, upper = 0;
  if (SafeArrayGetLBound(array, 1, &lower) != S_OK ||
      SafeArrayGetUBound(array, 1, &upper) != S_OK) {
    return finish(kRefused);
  }
  const int64_t count = int64_t{upper} - lower + 1;
  if (count < kFormatBytes) return finish(kAccepted);
  if (count > 0x7FFFFFFF) return finish(kRefused);
  const auto n = static_cast<int32_t>(count);

  if (r.chosenFormat == nullptr || n > r.chosenFormatSize) {
    auto* grown = static_cast<WAVEFORMATEX*>(std::calloc(1, static_cast<size_t>(n)));
    if (grown == nullptr) return finish(E_OUTOFMEMORY);
    std::free(r.chosenFormat);
    r.chosenFormat = grown;
    r.chosenFormatSize = n;
  }
  auto* bytes = reinterpret_cast<uint8_t*>(r.chosenFormat);
  for (int32_t i = 0; i < n; ++i) {
    LONG index = lower + i;
    SafeArrayGetElement(array, &index, &bytes[i]);
  }
  // Kept even when refused: such a format is refused when a recording is set up with it.
  SetTargetFormat(r, r.chosenFormat, n, StateIsCreatedOrIdle(r));
  return finish(kAccepted);
}

}  // namespace voxl
