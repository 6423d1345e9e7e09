// FourCC text where the end-to-end reports do not reach: every byte, and bytes that are not UTF-8.
#include <gtest/gtest.h>

#include "video/VideoNames.h"

namespace {

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
