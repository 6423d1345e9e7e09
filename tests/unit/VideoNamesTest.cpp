// Pixel-type names and FourCC text.
#include <gtest/gtest.h>

#include "video/VideoNames.h"

namespace {

TEST(VideoNames, PixelTypeNamesCoverTheTableAndNothingElse) {
  EXPECT_STREQ(PixelTypeName(0), "<p-unknown>");
  EXPECT_STREQ(PixelTypeName(8192), "I420");
  EXPECT_STREQ(PixelTypeName(4098), "v210");
  EXPECT_STREQ(PixelTypeName(65536), "QRAW");
  EXPECT_STREQ(PixelTypeName(0x200B), "P216");
  EXPECT_STREQ(PixelTypeName(0x407), "ARGB_16u");
  for (int32_t code : {7, 261, 514, 1032, 4102, 8204, 65537, -1, -8192}) {
    EXPECT_STREQ(PixelTypeName(code), "<unknown>") << code;
  }
}

TEST(VideoNames, FourCCKeepsEveryByteInOrder) {
  EXPECT_EQ(FourCCToWString(0x61766331), L"avc1");
  EXPECT_EQ(FourCCToWString(0x41564331), L"AVC1");
  EXPECT_EQ(FourCCToWString(0), std::wstring(4, L'\0'));
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
