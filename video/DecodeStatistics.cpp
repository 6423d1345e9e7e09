#include "video/DecodeStatistics.h"

#include <cmath>
#include <cstdio>
#include <vector>

#include "platform/Platform.h"

bool ReadPerfFrequency(uint64_t* value) {
  *value = 0;
  return platform::QueryPerfFrequency(value);
}

bool ReadPerfCounter(uint64_t* value) {
  *value = 0;
  return platform::QueryPerfCounter(value);
}

double TicksToMilliseconds(double ticks, uint64_t frequency) {
  return ticks * 1000.0 / static_cast<double>(frequency);
}

namespace {

// The frame rate is computed from single-precision copies of the frame count and the total time,
// as the statistics have always been; a non-finite or out-of-range rate (a frequency of 0 makes
// every time non-finite) is shown as 0 rather than converted, which would be undefined.
int32_t FramesPerSecond(int64_t frameCount, double totalMilliseconds) {
  const double frames = static_cast<double>(static_cast<float>(frameCount));
  const double milliseconds = static_cast<double>(static_cast<float>(totalMilliseconds));
  const double rate = frames * 1000.0 / milliseconds;
  if (!std::isfinite(rate) || rate >= 2147483648.0 || rate <= -2147483649.0) return 0;
  return static_cast<int32_t>(rate);
}

template <typename... Values>
void Append(std::string& text, const char* format, Values... values) {
  // Sized by a first pass: a huge time prints hundreds of digits.
  const int length = std::snprintf(nullptr, 0, format, values...);
  if (length <= 0) return;
  std::vector<char> line(static_cast<size_t>(length) + 1);
  std::snprintf(line.data(), line.size(), format, values...);
  text.append(line.data(), static_cast<size_t>(length));
}

}  // namespace

std::string DecodeStatisticsText(int64_t frameCount, double totalTicks, uint64_t frequency) {
  const double totalMilliseconds = TicksToMilliseconds(totalTicks, frequency);
  // The order of operations is part of the result: the sum is scaled before it is divided.
  const double averageMilliseconds =
      totalTicks * 1000.0 / static_cast<double>(frameCount) / static_cast<double>(frequency);
  std::string text;
  Append(text, "Decoded %lld frames in %6.2fms\n", static_cast<long long>(frameCount),
         totalMilliseconds);
  Append(text, "Average Decode Time : %6.2fms\n", averageMilliseconds);
  Append(text, "Frames per second: %dfps\n", FramesPerSecond(frameCount, totalMilliseconds));
  return text;
}

void WriteDecodeStatistics(int64_t frameCount, double totalTicks, uint64_t frequency) {
  std::printf("%s", DecodeStatisticsText(frameCount, totalTicks, frequency).c_str());
}
