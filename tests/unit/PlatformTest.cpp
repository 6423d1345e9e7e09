// The platform pieces whose exact behaviour the client's output depends on.
#include <gtest/gtest.h>

#include <climits>
#include <thread>

#include "platform/Platform.h"

namespace {

TEST(Platform, RandRepeatsTheTargetRuntimeSequenceOnEveryThread) {
  const std::vector<int> expected{41, 18467, 6334, 26500, 19169};
  auto draw = [] {
    std::vector<int> values;
    for (int i = 0; i < 5; ++i) values.push_back(platform::RuntimeRand());
    return values;
  };
  std::vector<int> other;
  std::thread thread([&] { other = draw(); });
  thread.join();
  EXPECT_EQ(other, expected);
  EXPECT_EQ(draw(), expected);
}

TEST(Platform, WideToIntParsesLikeTheRuntime) {
  EXPECT_EQ(platform::WideToInt(L"250"), 250);
  EXPECT_EQ(platform::WideToInt(L"  \t-17xyz"), -17);
  EXPECT_EQ(platform::WideToInt(L"+8"), 8);
  EXPECT_EQ(platform::WideToInt(L"x12"), 0);
  EXPECT_EQ(platform::WideToInt(L""), 0);
  EXPECT_EQ(platform::WideToInt(L"- 5"), 0);
  EXPECT_EQ(platform::WideToInt(L"2147483647"), INT_MAX);
  EXPECT_EQ(platform::WideToInt(L"99999999999999999999"), INT_MAX);
  EXPECT_EQ(platform::WideToInt(L"-2147483648"), INT_MIN);
  EXPECT_EQ(platform::WideToInt(L"-99999999999"), INT_MIN);
}

}  // namespace
