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
  static const std::regex statistic(R"((frames in|Average Decode Time :)( *[0-9]+\.[0-9]{2})ms\n)");
  static const std::regex rate(R"(Frames per second: -?[0-9]+fps\n)");
  const std::string masked = std::regex_replace(out, frameTime, " in # ms\n");
  std::string result;
  auto last = masked.cbegin();
  for (std::sregex_iterator it(masked.begin(), masked.end(), statistic), end; it != end; ++it) {
    const auto& match = *it;
    result.append(last, match[0].first);
    // %6.2f: at least six characters, right-aligned, two decimals.
    result += match[2].length() >= 6 ? match.str(1) + " #ms\n" : match.str();
    last = match[0].second;
  }
  result.append(last, masked.cend());
  return std::regex_replace(result, rate, "Frames per second: #fps\n");
}

}  // namespace video_output
