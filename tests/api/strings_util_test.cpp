// Text conversions between the recorder's 8-bit text and the BSTRs of the method table.
#include "api/strings_util.h"

#include <gtest/gtest.h>

#include <string>

namespace voxl {
namespace {

std::u16string Text(BSTR s) {
  return std::u16string(s, SysStringLen(s));
}

struct WideCase {
  const char* label;
  const char* in;
  std::u16string out;
};

class ToWideStringCases : public ::testing::TestWithParam<WideCase> {};

TEST_P(ToWideStringCases, ConvertsToANewString) {
  BSTR s = ToWideString(GetParam().in);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(Text(s), GetParam().out);
  EXPECT_EQ(s[SysStringLen(s)], u'\0');
  SysFreeString(s);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ToWideStringCases,
    ::testing::Values(WideCase{"null", nullptr, u""}, WideCase{"empty", "", u""},
                      WideCase{"ascii", "Virtual Input", u"Virtual Input"},
                      WideCase{"two_byte", "Mikrofon \xc3\xa4", u"Mikrofon \u00e4"},
                      WideCase{"four_byte", "clef \xf0\x9d\x84\x9e", u"clef \U0001D11E"}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(ReplaceString, FreesTheHeldStringAndAcceptsNull) {
  BSTR held = nullptr;
  ReplaceString(&held, ToWideString("first"));
  ReplaceString(&held, ToWideString("second"));  // "first" must not leak
  EXPECT_EQ(Text(held), u"second");
  SysFreeString(held);
}

}  // namespace
}  // namespace voxl
