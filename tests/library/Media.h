// Media made at test time from the recipes of media.txt (or given ones), cached in one directory,
// and FFmpeg's own decodes of it for reference.
#pragma once

#include <cstdint>
#include <filesystem>
#include <iosfwd>
#include <string>
#include <vector>

namespace media {

// Where made files go, shared by the test processes (the build tree, or ZR8_TEST_MEDIA_DIR).
const std::filesystem::path& Dir();

// Make Dir()/name once with `ffmpeg -y <arguments> <Dir()/name>`, or with a shell command run in
// Dir() that writes the file $OUT names; return its path, or throw.
std::filesystem::path Make(const std::string& name, const std::string& arguments);
std::filesystem::path MakeByShell(const std::string& name, const std::string& command);

// The lines of a data file beside the tests, split at spaces into `fields` (the last one the rest
// of the line); blank lines and comments left out.
std::vector<std::vector<std::string>> Rows(const std::string& file, size_t fields);

struct Recipe {  // a line of media.txt, which says what its columns hold
  std::string use;
  std::string name;
  int packet = -1;
  int bytes = 0;
  std::string command;
};
std::vector<Recipe> Recipes(const std::string& use);
std::filesystem::path Made(const Recipe& recipe);
std::filesystem::path Named(const std::string& name);   // the file of media.txt's line `name`
void PrintTo(const Recipe& recipe, std::ostream* out);  // its name, in test reports

// Standard output of a shell command, as bytes; throws when it exits non-zero.
std::string Capture(const std::string& command);

// Video stream `stream` decoded by ffmpeg into raw pictures of pixFmt (every frame passed through).
std::string ReferenceVideo(const std::filesystem::path& file, const std::string& pixFmt,
                           int stream = 0, const std::string& options = "");
// Audio stream `stream` decoded by ffmpeg into interleaved 32-bit float.
std::vector<float> ReferenceAudio(const std::filesystem::path& file, int stream = 0);

// These pictures of `size` bytes each of a reference decode, one after the other.
std::string Pictures(const std::string& reference, const std::vector<int64_t>& frames, size_t size);

// Bytes of one I420 picture of the 64x48 clips video_long.mp4 (H.264 with B-frames, 200 frames),
// video_short.webm (VP9, 45 frames) and av_clip.mp4 (2 seconds, with stereo AAC).
constexpr size_t kSmallPicture = 64 * 48 * 3 / 2;

std::string Quote(const std::string& text);
std::string ReadBytes(const std::filesystem::path& path);
// The text with every character but letters and digits as '_' (for test names).
std::string Printable(std::string text);

}  // namespace media
