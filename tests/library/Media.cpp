#include "Media.h"

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <cctype>
#include <cstring>
#include <fstream>
#include <memory>
#include <stdexcept>

namespace fs = std::filesystem;

namespace media {

const fs::path& Dir() {
  static const fs::path dir = [] {
    const char* chosen = std::getenv("ZR8_TEST_MEDIA_DIR");
    fs::path path = chosen != nullptr && *chosen != '\0' ? chosen : ZR8_MEDIA_DIR;
    fs::create_directories(path);
    return path;
  }();
  return dir;
}

std::string Quote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

std::string ReadBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string Printable(std::string text) {
  for (char& c : text) c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
  return text;
}

fs::path MakeByShell(const std::string& name, const std::string& command) {
  // The command is kept beside the file: a file made by another command is made again.
  const fs::path path = Dir() / name;
  const fs::path recipe = Dir() / (name + ".recipe");
  if (fs::exists(path) && ReadBytes(recipe) == command) return path;
  // Test processes run side by side: each writes its own partial file, the first rename wins.
  const fs::path partial = Dir() / ("partial-" + std::to_string(getpid()) + "-" + name);
  const std::string line = "cd " + Quote(Dir().string()) + " && OUT=" + Quote(partial.string()) +
                           " sh -c " + Quote(command) + " >/dev/null 2>&1 </dev/null";
  if (std::system(line.c_str()) != 0) throw std::runtime_error("failed: " + line);
  fs::rename(partial, path);
  std::ofstream(recipe, std::ios::binary) << command;
  return path;
}

fs::path Make(const std::string& name, const std::string& arguments) {
  return MakeByShell(name, "ffmpeg -nostdin -y " + arguments + " \"$OUT\"");
}

std::string Capture(const std::string& command) {
  auto close = [](FILE* pipe) { return pclose(pipe); };
  std::unique_ptr<FILE, decltype(close)> pipe(popen(command.c_str(), "r"), close);
  if (!pipe) throw std::runtime_error("popen failed");
  std::string out;
  char buffer[1 << 16];
  for (size_t count; (count = fread(buffer, 1, sizeof buffer, pipe.get())) > 0;) {
    out.append(buffer, count);
  }
  if (pclose(pipe.release()) != 0) throw std::runtime_error("command failed: " + command);
  return out;
}

std::string ReferenceVideo(const fs::path& file, const std::string& pixFmt, int stream) {
  return Capture("ffmpeg -nostdin -loglevel error -i " + Quote(file.string()) +
                 " -map 0:v:" + std::to_string(stream) +
                 " -fps_mode passthrough -f rawvideo -pix_fmt " + pixFmt + " - </dev/null");
}

std::vector<float> ReferenceAudio(const fs::path& file, int stream) {
  const std::string bytes =
      Capture("ffmpeg -nostdin -loglevel error -i " + Quote(file.string()) +
              " -map 0:a:" + std::to_string(stream) + " -f f32le -c:a pcm_f32le - </dev/null");
  std::vector<float> samples(bytes.size() / sizeof(float));
  std::memcpy(samples.data(), bytes.data(), samples.size() * sizeof(float));
  return samples;
}

std::string Pictures(const std::string& reference, const std::vector<int64_t>& frames,
                     size_t size) {
  std::string bytes;
  for (int64_t n : frames) bytes += reference.substr(n * size, size);
  return bytes;
}

fs::path LongClip() {
  return Make("video_long.mp4",
              "-f lavfi -i testsrc2=size=64x48:rate=25 -t 8 -c:v libx264 -preset ultrafast -bf 2 "
              "-g 30 -pix_fmt yuv420p");
}

fs::path ShortClip() {
  return Make("video_short.webm",
              "-f lavfi -i testsrc=size=64x48:rate=15 -t 3 -c:v libvpx-vp9 -deadline realtime "
              "-pix_fmt yuv420p");
}

fs::path AvClip() {
  return Make("av_clip.mp4",
              "-f lavfi -i testsrc2=size=64x48:rate=25 -f lavfi -i sine=duration=2 -ac 2 -t 2 "
              "-c:v libx264 -preset ultrafast -c:a aac -aac_pns 0 -movflags +faststart");
}

}  // namespace media
