// The three statistics lines of a timed decode (the end-to-end tests mask them, times being
// run-dependent).
#include <gtest/gtest.h>

#include "video/DecodeStatistics.h"

namespace {

TEST(DecodeStatistics, FormatsTheThreeLines) {
  constexpr uint64_t kNanoseconds = 1000000000;
  const struct {
    int64_t frames;
    double ticks;
    uint64_t frequency;
    std::string total, average, rate;
  } cases[] = {
      {128, 1e9, kNanoseconds, "1000.00", "  7.81", "128"},  // right-aligned in six characters
      {3, 7e6, kNanoseconds, "  7.00", "  2.33", "428"},     // 428.57... truncated toward zero
      // The rate comes from single-precision copies: 1/3 ms as a float is a shade above the
      // double, so 1000/(1/3) lands just below 3000 and truncates to 2999.
      {1, 1e6 / 3.0, kNanoseconds, "  0.33", "  0.33", "2999"},
      {4, 1000.0, 0, "   inf", "   inf", "0"},  // no frequency: non-finite times, the rate 0
      {2, 0.0, kNanoseconds, "  0.00", "  0.00", "0"},  // no time: an infinite rate also shows 0
      {64, 123456.789e6, kNanoseconds, "123456.79", "1929.01", "0"},  // long times are not cut
  };
  for (const auto& c : cases) {
    EXPECT_EQ(DecodeStatisticsText(c.frames, c.ticks, c.frequency),
              "Decoded " + std::to_string(c.frames) + " frames in " + c.total +
                  "ms\nAverage Decode Time : " + c.average + "ms\nFrames per second: " + c.rate +
                  "fps\n");
  }
}

}  // namespace
