// Pixel-type names and FourCC text where the end-to-end reports do not reach.
#include <gtest/gtest.h>

#include "video/VideoNames.h"

namespace {

TEST(VideoNames, PixelTypeNamesCoverTheTableAndNothingElse) {
  // The table's first, last and two rows between.
  const std::pair<int32_t, const char*> rows[] = {
      {0, "<p-unknown>"}, {0x1002, "v210"}, {0x200B, "P216"}, {0x10000, "QRAW"}};
  for (const auto& [code, name] : rows) EXPECT_STREQ(PixelTypeName(code), name);
  for (int32_t code : {7, 261, 514, 1032, 4102, 8204, 65537, -1, -8192}) {
    EXPECT_STREQ(PixelTypeName(code), "<unknown>") << code;
  }
}

TEST(VideoNames, FourCCKeepsEveryByteInOrder) {
  EXPECT_EQ(FourCCToWString(0x00616200), std::wstring(L"\0ab\0", 4));
  // Bytes that are not UTF-8 become replacement characters; a valid sequence is one character.
  EXPECT_EQ(FourCCToWString(0xFF616263),
            L"\xFFFD"
            L"abc");
  EXPECT_EQ(FourCCToWString(0x61C3A962),
            L"a\xE9"
            L"b");
}

}  // namespace
