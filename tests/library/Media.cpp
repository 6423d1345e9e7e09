#include "Media.h"

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <cctype>
#include <cstring>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace {

// Each test process keeps the reader library's caches (frame indexes, the hardware record) in a
// folder of its own, empty at its start and removed at its end: no test depends on the user's
// caches or on another test's. (A forked child leaves with _exit, keeping it for its parent.)
struct PrivateCacheHome {
  PrivateCacheHome() {
    std::string pattern = (fs::temp_directory_path() / "zr8-test-cache-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) return;
    dir = pattern;
    ::setenv("XDG_CACHE_HOME", dir.c_str(), 1);
  }
  ~PrivateCacheHome() {
    std::error_code ignored;
    if (!dir.empty()) fs::remove_all(dir, ignored);
  }
  std::string dir;
} privateCacheHome;

}  // namespace

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

std::string ReferenceVideo(const fs::path& file, const std::string& pixFmt, int stream,
                           const std::string& options) {
  return Capture("ffmpeg -nostdin -loglevel error " + options + " -i " + Quote(file.string()) +
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

std::vector<std::vector<std::string>> Rows(const std::string& file, size_t fields) {
  std::ifstream in(fs::path(ZR8_TEST_DATA_DIR) / file);
  if (!in) throw std::runtime_error("cannot read " + file);
  std::vector<std::vector<std::string>> rows;
  for (std::string line; std::getline(in, line);) {
    std::istringstream words(line);
    std::vector<std::string> row(fields);
    for (size_t i = 0; i + 1 < fields; ++i) words >> row[i];
    std::getline(words >> std::ws, row.back());
    if (!row[0].empty() && row[0][0] != '#') rows.push_back(row);
  }
  return rows;
}

std::vector<Recipe> Recipes(const std::string& use) {
  std::vector<Recipe> recipes;
  for (const auto& row : Rows("media.txt", 5)) {
    auto number = [](const std::string& text) { return text == "-" ? -1 : std::stoi(text); };
    if (use.empty() || row[0] == use) {
      recipes.push_back({row[0], row[1], number(row[2]), number(row[3]), row[4]});
    }
  }
  return recipes;
}

fs::path Named(const std::string& name) {
  for (const Recipe& recipe : Recipes("")) {
    if (recipe.name == name) return Made(recipe);
  }
  throw std::runtime_error("no recipe for " + name);
}

// The clean file made by the recipe, then the middle bytes of the damaged packet overwritten.
fs::path Damaged(const Recipe& recipe) {
  const fs::path damaged = Dir() / recipe.name;
  if (fs::exists(damaged)) return damaged;
  const fs::path clean = Make("clean-" + recipe.name, recipe.command);
  std::istringstream packets(
      Capture("ffprobe -v error -select_streams v:0 -show_entries packet=pos,size -of csv=p=0 " +
              Quote(clean.string())));
  std::string line;
  for (int n = 0; n <= recipe.packet; ++n) std::getline(packets, line);
  const int64_t size = std::stoll(line);  // ffprobe writes the size first
  const int64_t start = std::stoll(line.substr(line.find(',') + 1)) + size / 2 - recipe.bytes / 2;
  std::string bytes = ReadBytes(clean);
  std::mt19937 random(7);
  for (int64_t i = 0; i < recipe.bytes; ++i) bytes[start + i] = static_cast<char>(random());
  const fs::path partial = Dir() / ("partial-" + recipe.name);
  std::ofstream(partial, std::ios::binary) << bytes;
  fs::rename(partial, damaged);
  return damaged;
}

void PrintTo(const Recipe& recipe, std::ostream* out) {
  *out << recipe.name;
}

fs::path Made(const Recipe& recipe) {
  if (recipe.bytes > 0) return Damaged(recipe);
  if (recipe.command[0] == '-') return Make(recipe.name, recipe.command);
  std::string sources;
  if (recipe.command.find("$SRC") != std::string::npos) {
    sources = "SRC=" + Quote(Named("exact_src44100.wav").string()) +
              "; SRC48=" + Quote(Named("exact_src48000.wav").string()) + "; ";
  }
  return MakeByShell(recipe.name, sources + recipe.command);
}

}  // namespace media
