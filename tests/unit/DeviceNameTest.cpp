// The device name of a decoder record, UTF-16 in the record, as wide text.
#include <gtest/gtest.h>

#include "hwcheck/DeviceName.h"

namespace {

// The wide text of code points: one unit each where wchar_t has 32 bits, pairs where it has 16.
std::wstring Wide(std::u32string codePoints) {
  std::wstring text;
  for (const char32_t c : codePoints) {
    if (sizeof(wchar_t) == 2 && c >= 0x10000) {
      text.push_back(static_cast<wchar_t>(0xD800 + ((c - 0x10000) >> 10)));
      text.push_back(static_cast<wchar_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
    } else {
      text.push_back(static_cast<wchar_t>(c));
    }
  }
  return text;
}

TEST(DeviceName, DecodesUtf16AndReplacesUnpairedSurrogates) {
  struct Case {
    const char* what;
    std::u16string units;
    std::u32string expected;
  };
  const Case cases[] = {
      {"Pair",
       u"a\xD83C\xDFAE"
       u"b",
       U"a\U0001F3AEb"},
      {"HighBeforeOther",
       u"\xD83C"
       u"x",
       U"\xFFFDx"},
      {"ReversedPair", u"\xDFAE\xD83C", U"\xFFFD\xFFFD"},
      {"HighAtTheEnd", u"x\xD83C", U"x\xFFFD"},
      {"StopsAtZero", std::u16string(u"ab\0cd", 5), U"ab"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(DeviceNameToWide(c.units.data(), c.units.size()), Wide(c.expected)) << c.what;
  }
}

TEST(DeviceName, ReadsNoFurtherThanItsCapacity) {
  const char16_t units[4] = {u'a', u'b', u'c', u'd'};  // no terminating zero
  EXPECT_EQ(DeviceNameToWide(units, 3), L"abc");
  const char16_t pair[2] = {0xD83C, 0xDFAE};  // the pair's second unit lies beyond the capacity
  EXPECT_EQ(DeviceNameToWide(pair, 1), L"\xFFFD");
}

}  // namespace
