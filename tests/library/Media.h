// Media made at test time with the ffmpeg tool (and other toolchains), cached in one directory, and
// FFmpeg's own decodes of it for reference.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace media {

// The directory generated files go to, shared by the test processes (in the build tree, or
// ZR8_TEST_MEDIA_DIR).
const std::filesystem::path& Dir();

// Makes Dir()/name once with `ffmpeg -y <arguments> <Dir()/name>`; returns its path, or throws.
std::filesystem::path Make(const std::string& name, const std::string& arguments);

// Makes Dir()/name once with a shell command, run in Dir(), that writes the file named by $OUT;
// returns its path, or throws.
std::filesystem::path MakeByShell(const std::string& name, const std::string& command);

// Standard output of a shell command, as bytes; throws when it exits non-zero.
std::string Capture(const std::string& command);

// Video stream `stream` decoded by ffmpeg into raw pictures of pixFmt (every frame passed through).
std::string ReferenceVideo(const std::filesystem::path& file, const std::string& pixFmt,
                           int stream = 0);
// Audio stream `stream` decoded by ffmpeg into interleaved 32-bit float.
std::vector<float> ReferenceAudio(const std::filesystem::path& file, int stream = 0);

// These pictures of `size` bytes each of a reference decode, one after the other.
std::string Pictures(const std::string& reference, const std::vector<int64_t>& frames, size_t size);

// Clips that several tests read: H.264 with B-frames, 200 frames (LongClip); VP9, 45 frames
// (ShortClip); both 64x48; a 2-second clip with video and stereo AAC (AvClip).
constexpr size_t kSmallPicture = 64 * 48 * 3 / 2;  // bytes of one I420 picture of the first two
std::filesystem::path LongClip();
std::filesystem::path ShortClip();
std::filesystem::path AvClip();

std::string Quote(const std::string& text);
std::string ReadBytes(const std::filesystem::path& path);
// The text with every character but letters and digits as '_' (for test names).
std::string Printable(std::string text);

}  // namespace media
