// BSTR, code page conversions, safe arrays and variants.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/system/system.h"
#include "voxl310k_platform.h"

namespace {

using U16 = std::basic_string<WCHAR>;

U16 Wide(const char* utf8, int bytes = -1) {
  const int n = MultiByteToWideChar(CP_UTF8, 0, utf8, bytes, nullptr, 0);
  U16 out(static_cast<size_t>(n), 0);
  if (n > 0) MultiByteToWideChar(CP_UTF8, 0, utf8, bytes, out.data(), n);
  return out;
}

std::string Narrow(const U16& wide) {
  const int length = static_cast<int>(wide.size());
  const int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), length, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  if (n > 0) WideCharToMultiByte(CP_UTF8, 0, wide.data(), length, out.data(), n, nullptr, nullptr);
  return out;
}

TEST(Bstr, CarriesItsByteLengthAndZerosInsideAndNullIsEmpty) {
  const OLECHAR text[] = OLESTR("ab\0cd");
  BSTR s = SysAllocStringLen(text, 5);
  uint32_t prefix;
  std::memcpy(&prefix, reinterpret_cast<char*>(s) - 4, 4);
  EXPECT_EQ(std::tuple(SysStringLen(s), SysStringByteLen(s), prefix), std::tuple(5u, 10u, 10u));
  EXPECT_EQ(U16(s, 6), U16(text, 6)) << "characters, then a terminator";
  SysFreeString(s);
  EXPECT_EQ(SysAllocString(nullptr), nullptr);
  EXPECT_EQ(SysStringLen(nullptr) + SysStringByteLen(nullptr), 0u);
  EXPECT_EQ(SysAllocStringLen(nullptr, UINT_MAX / 2), nullptr) << "byte length past 32 bits";
}

// Every plane both ways (CP_ACP is UTF-8 too), the terminator counted when the length is -1 and
// not written for an explicit length.  Lone surrogates become U+FFFD; a high surrogate at the end
// of the counted length does not pair with what follows.
TEST(CodePages, ConvertAllPlanesBothWaysCountTheTerminatorAndReplaceLoneSurrogates) {
  const U16 all = OLESTR("A\u00E9\u20AC\U0001F3A4\U0010FFFF");
  const std::string utf8 = "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x8E\xA4\xF4\x8F\xBF\xBF";
  EXPECT_EQ(Narrow(all), utf8);
  EXPECT_EQ(Wide(utf8.c_str(), static_cast<int>(utf8.size())), all);
#if !defined(_WIN32)  // the system's code page is a legacy one there
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, utf8.c_str(), -1, nullptr, 0), 8);
#endif
  WCHAR out[4] = {'x', 'x', 'x', 'x'};
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "abcdef", 2, out, 4), 2);
  EXPECT_EQ(out[2], WCHAR('x'));

  EXPECT_EQ(Narrow(U16{'a', 0xD800, 'b'}), "a\xEF\xBF\xBD\x62");
  EXPECT_EQ(Narrow(U16{0xDC00, 0xD83C}), "\xEF\xBF\xBD\xEF\xBF\xBD");
  const WCHAR pair[] = {0xD83C, 0xDFA4};
  char bytes[8];
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, pair, 1, bytes, 8, nullptr, nullptr), 3);
#if !defined(_WIN32)
  BOOL used = FALSE;
  EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, pair, 1, bytes, 8, nullptr, &used), 3);
  EXPECT_TRUE(used);
#endif
}

// Each case fails when strict; else each bad part becomes U+FFFD.  An exact-size heap copy lets
// the address sanitizer catch any read past the given length.
TEST(CodePages, InvalidUtf8FailsWhenStrictElseEachBadPartBecomesFffd) {
  const std::pair<std::string, U16> cases[] = {
      {"a\xC0\xAF\x62", OLESTR("a\uFFFD\uFFFDb")},               // overlong slash
      {"x\x80y", OLESTR("x\uFFFDy")},                            // lone continuation
      {"ok\xE2\x82", OLESTR("ok\uFFFD")},                        // truncated at the end
      {"\xF0\x9F\x8E\x41", OLESTR("\uFFFDA")},                   // truncated before ASCII
      {"\xED\xA0\x80", OLESTR("\uFFFD\uFFFD\uFFFD")},            // encoded surrogate
      {"\xF4\x90\x80\x80", OLESTR("\uFFFD\uFFFD\uFFFD\uFFFD")},  // past U+10FFFF
      {"\xFF", OLESTR("\uFFFD")}};
  for (const auto& [bytes, lenient] : cases) {
    const int n = static_cast<int>(bytes.size());
    std::unique_ptr<char[]> exact(new char[bytes.size()]);
    std::memcpy(exact.get(), bytes.data(), bytes.size());
    WCHAR out[16];
    SetLastError(0);
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, exact.get(), n, out, 16), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION));
#if !defined(_WIN32)  // Wine replaces some runs with fewer U+FFFD
    EXPECT_EQ(Wide(exact.get(), n), lenient);
#endif
  }
}

TEST(CodePages, SmallBuffersAndBadArgumentsFail) {
  WCHAR wide[3];
  char narrow[4] = "xyz";
  SetLastError(0);
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "abc", -1, wide, 3), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
#if !defined(_WIN32)  // Wine writes half of the pair
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "\xF0\x9F\x8E\xA4", 4, wide, 1), 0) << "pair";
#endif
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, OLESTR("\u20AC"), 1, narrow, 2, nullptr, nullptr), 0);
  EXPECT_EQ(narrow[0], 'x') << "a character is not written in part";
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "abc", -2, wide, 3), 0);
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, nullptr, 3, wide, 3), 0);
}

// ---- Safe arrays ----

// Any lower bound indexes from that bound, up to the far ends of the LONG range; indexes just
// outside either end are refused.  (Deep copies: the variant test.)
TEST(SafeArray, AnyLowerBoundIndexesFromThatBound) {
#if !defined(_WIN32)  // Wine makes it, its last index wrapped
  EXPECT_EQ(SafeArrayCreateVector(VT_UI1, INT32_MAX, 2), nullptr) << "last index past LONG";
#endif
  for (const LONG lb : {0, 1, -5, INT32_MIN, INT32_MAX - 3}) {
#if defined(_WIN32)  // Wine's index arithmetic overflows at the top of the LONG range
    if (lb == INT32_MAX - 3) continue;
#endif
    SCOPED_TRACE(lb);
    SAFEARRAY* a = SafeArrayCreateVector(VT_UI1, lb, 4);
    ASSERT_NE(a, nullptr);
    LONG lower = 0, upper = 0;
    ASSERT_EQ(SafeArrayGetLBound(a, 1, &lower) | SafeArrayGetUBound(a, 1, &upper), S_OK);
    EXPECT_EQ(std::tuple(SafeArrayGetDim(a), lower, upper), std::tuple(1u, lb, lb + 3));
    for (LONG k = 0; k < 4; ++k) {
      LONG i = lb + k;
      BYTE b = static_cast<BYTE>(0xA0 + k);
      ASSERT_EQ(SafeArrayPutElement(a, &i, &b), S_OK);
    }
    EXPECT_EQ(static_cast<BYTE*>(a->pvData)[0], 0xA0);
    std::vector<LONG> outside{INT32_MIN, INT32_MAX};
    if (lb > INT32_MIN) outside.push_back(lb - 1);
    if (lb <= INT32_MAX - 4) outside.push_back(lb + 4);
    for (LONG bad : outside) {
      if (bad >= lb && bad <= upper) continue;
      BYTE b = 1;
      EXPECT_EQ(SafeArrayPutElement(a, &bad, &b), DISP_E_BADINDEX);
      EXPECT_EQ(SafeArrayGetElement(a, &bad, &b), DISP_E_BADINDEX);
    }
    BYTE got = 0;
    ASSERT_EQ(SafeArrayGetElement(a, &upper, &got), S_OK);
    EXPECT_EQ(got, 0xA3);
    EXPECT_EQ(SafeArrayDestroy(a), S_OK);
  }
}

// ---- Variants ----

// Copies duplicate strings and arrays and free what the target held before (the sanitizer build
// checks for leaks); references are copied, not owned.
TEST(Variant, CopyDuplicatesOwnedValuesClearFreesThemAndBadTypesAreRefused) {
  VARIANT bytes, text, dst, ref;
  for (VARIANT* v : {&bytes, &text, &dst, &ref}) VariantInit(v);
  bytes.vt = VT_ARRAY | VT_UI1, bytes.parray = SafeArrayCreateVector(VT_UI1, 0, 3);
  std::memcpy(bytes.parray->pvData, "\1\2\3", 3);
  text.vt = VT_BSTR, text.bstrVal = SysAllocStringLen(OLESTR("a\0b"), 3);
  ASSERT_EQ(VariantCopy(&dst, &bytes), S_OK);
  ASSERT_EQ(dst.vt, VT_ARRAY | VT_UI1);
  EXPECT_NE(dst.parray, bytes.parray);
  EXPECT_EQ(std::memcmp(dst.parray->pvData, bytes.parray->pvData, 3), 0);
  ASSERT_EQ(VariantCopy(&dst, &text), S_OK);
  EXPECT_EQ(SysStringLen(dst.bstrVal), 3u) << "zeros inside the string survive";
  EXPECT_NE(dst.bstrVal, text.bstrVal);

  ref.vt = VT_BYREF | VT_VARIANT;
  ref.pvarVal = &bytes;
  ASSERT_EQ(VariantCopy(&dst, &ref), S_OK);
  EXPECT_EQ(std::tuple(dst.vt, dst.pvarVal), std::tuple(VT_BYREF | VT_VARIANT, &bytes));
  EXPECT_EQ(VariantClear(&dst), S_OK);
  EXPECT_EQ(VariantClear(&ref), S_OK);
  EXPECT_EQ(bytes.vt, VT_ARRAY | VT_UI1) << "clearing a reference leaves its target alone";
  for (VARIANT* v : {&bytes, &text}) {
    EXPECT_EQ(VariantClear(v), S_OK);
    EXPECT_EQ(v->vt, VT_EMPTY);
  }

#if !defined(_WIN32)  // Wine copies and clears such a variant, and faults on a null one
  // A variant cannot hold a variant by value; a refused copy leaves the target alone.
  bytes.vt = VT_VARIANT;
  EXPECT_EQ(VariantCopy(&dst, &bytes), DISP_E_BADVARTYPE);
  EXPECT_EQ(dst.vt, VT_EMPTY);
  EXPECT_EQ(VariantClear(&bytes), DISP_E_BADVARTYPE);
  EXPECT_EQ(VariantClear(nullptr), E_INVALIDARG);
#endif
}

}  // namespace
