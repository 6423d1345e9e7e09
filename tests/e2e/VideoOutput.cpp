#include "e2e/VideoOutput.h"

#include <regex>

namespace video_output {

std::vector<int64_t> RandomFrames(size_t count, uint64_t frameCount) {
  uint32_t state = 1;
  std::vector<int64_t> frames;
  for (size_t i = 0; i < count; ++i) {
    state = state * 214013u + 2531011u;
    frames.push_back(static_cast<int64_t>(((state >> 16) & 0x7FFF) % frameCount));
  }
  return frames;
}

std::vector<int64_t> FirstFrames(int64_t count) {
  std::vector<int64_t> frames;
  for (int64_t i = 0; i < count; ++i) frames.push_back(i);
  return frames;
}

std::string MaskTimes(const std::string& out) {
  static const std::regex frameTime(R"( in [-+0-9.einaf]+ ms\n)");
  // "%6.2f": at least six characters, two decimals.
  static const std::regex statistic(
      R"((frames in|Average Decode Time :) (  [0-9]| [0-9]{2}|[0-9]{3,})\.[0-9]{2}ms\n)");
  static const std::regex rate(R"(Frames per second: -?[0-9]+fps\n)");
  const std::string masked = std::regex_replace(out, frameTime, " in # ms\n");
  return std::regex_replace(std::regex_replace(masked, statistic, "$1 #ms\n"), rate,
                            "Frames per second: #fps\n");
}

}  // namespace video_output
