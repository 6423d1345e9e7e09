// Media made at test time with the ffmpeg tool, and FFmpeg's own decodes of it for reference.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace media {

// The directory generated files go to, shared by the test processes (in the build tree, or
// ZR8_TEST_MEDIA_DIR); each file is made once.
const std::filesystem::path& Dir();

// Makes Dir()/name with `ffmpeg -y <arguments> <Dir()/name>` unless it exists; returns its path.
// Throws when ffmpeg fails.
std::filesystem::path Make(const std::string& name, const std::string& arguments);

// Makes Dir()/name with a shell command that writes the file named by $OUT unless it exists;
// returns its path. Throws when the command fails.
std::filesystem::path MakeByShell(const std::string& name, const std::string& command);

// Standard output of a shell command, as bytes; throws when it exits non-zero.
std::string Capture(const std::string& command);

// The file's video stream 0 decoded by ffmpeg into raw pictures of pix_fmt (all frames).
std::string ReferenceVideo(const std::filesystem::path& file, const std::string& pixFmt,
                           int stream = 0);
// Audio stream `stream` decoded by ffmpeg into interleaved 32-bit float.
std::vector<float> ReferenceAudio(const std::filesystem::path& file, int stream = 0);

std::string Quote(const std::string& text);
std::wstring Wide(const std::string& utf8);

}  // namespace media
