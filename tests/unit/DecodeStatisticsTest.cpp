// The three statistics lines of a timed decode.
#include <gtest/gtest.h>

#include "video/DecodeStatistics.h"

namespace {

constexpr uint64_t kNanoseconds = 1000000000ULL;

struct StatisticsCase {
  const char* what;
  int64_t frames;
  double totalTicks;
  uint64_t frequency;
  const char* text;

  // Test names show the case, not its bytes.
  friend void PrintTo(const StatisticsCase& c, std::ostream* os) { *os << c.what; }
};

class DecodeStatistics : public testing::TestWithParam<StatisticsCase> {};

TEST_P(DecodeStatistics, FormatsTheThreeLines) {
  const StatisticsCase& c = GetParam();
  EXPECT_EQ(DecodeStatisticsText(c.frames, c.totalTicks, c.frequency), c.text);
}

INSTANTIATE_TEST_SUITE_P(
    Statistics, DecodeStatistics,
    testing::Values(
        // 1000 ms over 128 frames: the average right-aligned in six characters.
        StatisticsCase{"OneSecond", 128, 1e9, kNanoseconds,
                       "Decoded 128 frames in 1000.00ms\nAverage Decode Time :   7.81ms\n"
                       "Frames per second: 128fps\n"},
        StatisticsCase{"Short", 5, 2.5e6, kNanoseconds,
                       "Decoded 5 frames in   2.50ms\nAverage Decode Time :   0.50ms\n"
                       "Frames per second: 2000fps\n"},
        // 3 frames in 7 ms: 428.57... truncated toward zero.
        StatisticsCase{"Truncated", 3, 7e6, kNanoseconds,
                       "Decoded 3 frames in   7.00ms\nAverage Decode Time :   2.33ms\n"
                       "Frames per second: 428fps\n"},
        // The rate comes from single-precision copies: 1/3 ms as a float is a shade above the
        // double, so 1000/(1/3) lands just below 3000 and truncates to 2999.
        StatisticsCase{"SinglePrecisionTime", 1, 1e6 / 3.0, kNanoseconds,
                       "Decoded 1 frames in   0.33ms\nAverage Decode Time :   0.33ms\n"
                       "Frames per second: 2999fps\n"},
        // A frequency of 0 makes every time non-finite; the rate shows 0.
        StatisticsCase{"NoFrequency", 4, 1000.0, 0,
                       "Decoded 4 frames in    infms\nAverage Decode Time :    infms\n"
                       "Frames per second: 0fps\n"},
        // No time at all: an infinite rate also shows 0.
        StatisticsCase{"NoTime", 2, 0.0, kNanoseconds,
                       "Decoded 2 frames in   0.00ms\nAverage Decode Time :   0.00ms\n"
                       "Frames per second: 0fps\n"},
        // The width is a minimum: long times are not cut.
        StatisticsCase{"Long", 64, 123456.789e6, kNanoseconds,
                       "Decoded 64 frames in 123456.79ms\nAverage Decode Time : 1929.01ms\n"
                       "Frames per second: 0fps\n"}),
    [](const auto& info) { return info.param.what; });

}  // namespace
