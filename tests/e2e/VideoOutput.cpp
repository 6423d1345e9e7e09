#include "e2e/VideoOutput.h"

#include <regex>
#include <sstream>

#include "fake/FakeContent.h"

namespace video_output {

std::string Pictures(const std::vector<int64_t>& frames, int32_t streamSerial, uint32_t size) {
  std::string bytes;
  for (int64_t frame : frames) {
    const std::vector<uint8_t> picture = fake::PictureBytes(frame, streamSerial, size);
    bytes.append(picture.begin(), picture.end());
  }
  return bytes;
}

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
  static const std::regex total(R"(frames in +[0-9.]+ms\n)");
  static const std::regex average(R"(Average Decode Time : +[0-9.]+ms\n)");
  static const std::regex rate(R"(Frames per second: -?[0-9]+fps\n)");
  std::string masked = std::regex_replace(out, frameTime, " in # ms\n");
  masked = std::regex_replace(masked, total, "frames in #ms\n");
  masked = std::regex_replace(masked, average, "Average Decode Time : #ms\n");
  return std::regex_replace(masked, rate, "Frames per second: #fps\n");
}

std::string MaskedStatistics(int64_t frameCount) {
  return "Decoded " + std::to_string(frameCount) +
         " frames in #ms\nAverage Decode Time : #ms\nFrames per second: #fps\n";
}

int CountWellFormedStatistics(const std::string& out) {
  // %6.2f: at least six characters, right-aligned, two decimals.
  static const std::regex block(R"(Decoded [0-9]+ frames in ( *[0-9]+\.[0-9]{2})ms\n)"
                                R"(Average Decode Time : ( *[0-9]+\.[0-9]{2})ms\n)"
                                R"(Frames per second: -?[0-9]+fps\n)");
  int count = 0;
  for (auto it = std::sregex_iterator(out.begin(), out.end(), block); it != std::sregex_iterator();
       ++it) {
    if ((*it)[1].length() < 6 || (*it)[2].length() < 6) return -1;
    ++count;
  }
  size_t mentions = 0;
  for (size_t at = out.find("Decoded "); at != std::string::npos;
       at = out.find("Decoded ", at + 1)) {
    ++mentions;
  }
  return mentions == static_cast<size_t>(count) ? count : -1;
}

std::vector<std::string> LinesWith(const std::string& out, const std::string& needle) {
  std::vector<std::string> lines;
  std::istringstream in(out);
  for (std::string line; std::getline(in, line);) {
    if (line.find(needle) != std::string::npos) lines.push_back(line);
  }
  return lines;
}

std::vector<int64_t> RequestedFrames(const std::vector<std::string>& calls,
                                     const std::string& stream) {
  const std::string prefix = "ZR8READER_ReadVideoStream_GetFrame " + stream + " ";
  std::vector<int64_t> frames;
  for (const std::string& line : calls) {
    if (line.rfind(prefix, 0) == 0) frames.push_back(std::stoll(line.substr(prefix.size())));
  }
  return frames;
}

}  // namespace video_output
