// The device name of a decoder record, UTF-16 in the record, as wide text (where wchar_t has 16
// bits, the compiler writes the expected astral character as the same pair).
#include <gtest/gtest.h>

#include "hwcheck/DeviceName.h"

namespace {

TEST(DeviceName, DecodesUtf16ReplacesUnpairedSurrogatesAndStaysWithinItsCapacity) {
  const struct {
    std::u16string units;  // the record's field, as long as its capacity
    std::wstring expected;
  } cases[] = {
      {u"\xD83Cx", L"\xFFFDx"},            // a high surrogate before another unit
      {u"\xDFAE\xD83C", L"\xFFFD\xFFFD"},  // reversed
      {u"x\xD83C", L"x\xFFFD"},            // a high surrogate at the end of the field
      {std::u16string(u"ab\0cd", 5), L"ab"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(DeviceNameToWide(c.units.data(), c.units.size()), c.expected);
  }
  // Nothing beyond the capacity is read: not the "d", not the second half of the pair.
  const char16_t units[] = {u'a', u'b', u'c', u'd', 0xD83C, 0xDFAE};
  EXPECT_EQ(DeviceNameToWide(units, 3), L"abc");
  EXPECT_EQ(DeviceNameToWide(units + 4, 1), L"\xFFFD");
}

}  // namespace
