// Bad input: files that are not usable media, damaged files, arguments and handles the entry points
// refuse, file names, and the client's runs on the real library with such files. Refused cleanly,
// never a crash or a hang, and what works afterwards still works.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "Handles.h"
#include "e2e/ClientHarness.h"

namespace {

namespace fs = std::filesystem;

// A copy of the clip as `what` says: Missing, Directory, Empty, Text, Header (its first 40
// bytes), Truncated (its first two fifths), Garbled (bytes of its last two thirds overwritten), or
// whole.
fs::path MakeBadInput(const std::string& what, const fs::path& path) {
  std::string bytes = media::ReadBytes(media::Named("av_clip.mp4"));
  if (what == "Directory") fs::create_directories(path);
  if (what == "Missing" || what == "Directory") return path;
  if (what == "Empty") bytes.clear();
  if (what == "Text") bytes = "not a media file\n";
  if (what == "Header") bytes.resize(40);
  if (what == "Truncated") bytes.resize(bytes.size() * 2 / 5);
  for (size_t i = bytes.size() / 3; what == "Garbled" && i < bytes.size(); i += 97) {
    bytes[i] = static_cast<char>(i);
  }
  std::ofstream(path, std::ios::binary) << bytes;
  return path;
}

// (Damaged files that open: the client's runs below, and the fuzz targets' regression test.)
TEST(BadInputTest, FilesThatAreNotMediaAreRefused) {
  for (const char* what : {"Missing", "Directory", "Empty", "Text", "Header", "Unreadable"}) {
    const fs::path path = MakeBadInput(what, media::Dir() / (std::string("bad_") + what + ".mp4"));
    if (what == std::string("Unreadable")) {
      chmod(path.c_str(), 0);
      if (geteuid() == 0) continue;  // root reads it all the same
    }
    const std::wstring wide = platform::BytesToWide(path.string());
    EXPECT_EQ(ZR8READER_IsSupported(wide.c_str()), 0) << what;
    void* file = reinterpret_cast<void*>(1);
    EXPECT_LT(ZR8READER_OpenReadFile(&file, wide.c_str(), 3), 0) << what;
    EXPECT_EQ(file, nullptr);
  }
}

TEST(BadInputTest, ArgumentsAndHandlesAreRefused) {
  EXPECT_EQ(ZR8READER_IsSupported(nullptr), 0);
  void* none = nullptr;
  EXPECT_LT(ZR8READER_OpenReadFile(nullptr, L"x", 3), 0);
  EXPECT_LT(ZR8READER_OpenReadFile(&none, nullptr, 3), 0);
  const fs::path clip = media::Named("av_clip.mp4");
  handles::File file = handles::OpenFile(clip);
  ASSERT_TRUE(file);
  handles::Video video = handles::OpenVideo(file.get(), 0x2000);
  handles::Audio audio = handles::OpenAudio(file.get(), 0);
  ASSERT_TRUE(video && audio);

  // Frames, samples and streams outside the file, pixel types the library does not deliver.
  const int64_t frames = ZR8READER_ReadVideoStream_GetFrameCount(video.get());
  for (int64_t n : {int64_t{-1}, frames, frames + 10, INT64_MAX, INT64_MIN}) {
    void* image = reinterpret_cast<void*>(1);
    EXPECT_LT(ZR8READER_ReadVideoStream_GetFrame(video.get(), n, &image), 0) << n;
    EXPECT_EQ(image, nullptr);
  }
  const int64_t samples = ZR8READER_ReadAudioStream_GetSampleCount(audio.get());
  std::vector<float> buffer(32);
  for (int64_t start : {samples, samples + 1, int64_t{-1}, INT64_MAX}) {
    int64_t read = -1;  // none at the end; an error beyond it
    EXPECT_EQ(
        ZR8READER_ReadAudioStream_GetSamples(audio.get(), start, buffer.data(), 16, &read) < 0,
        start != samples);
    EXPECT_EQ(read, 0) << start;
  }
  int64_t read = 0;
  EXPECT_LT(ZR8READER_ReadAudioStream_GetSamples(audio.get(), 0, nullptr, 16, &read), 0);
  EXPECT_LT(ZR8READER_ReadAudioStream_GetSamples(audio.get(), 0, buffer.data(), 16, nullptr), 0);
  EXPECT_LT(ZR8READER_ReadAudioStream_GetSamples(audio.get(), 0, buffer.data(), -1, &read), 0);
  for (int32_t stream : {1, -1}) {
    void* other = reinterpret_cast<void*>(1);
    EXPECT_LT(ZR8READER_ReadFile_OpenAudioStream(file.get(), stream, &other), 0);
    EXPECT_EQ(other, nullptr);
  }
  for (int32_t unknown : {0x10000, 0x1002, 7, -1}) {
    int32_t status = 0;
    EXPECT_FALSE(handles::OpenVideo(file.get(), unknown, nullptr, &status)) << unknown;
    EXPECT_LT(status, 0) << unknown;
  }
  // The streams still deliver exactly afterwards.
  const std::string pictures = media::ReferenceVideo(clip, "yuv420p");
  EXPECT_TRUE(handles::Frame(video.get(), frames - 1) ==
              pictures.substr((frames - 1) * media::kSmallPicture));
  const std::vector<float> reference = media::ReferenceAudio(clip);
  ASSERT_GE(ZR8READER_ReadAudioStream_GetSamples(audio.get(), 5, buffer.data(), 16, &read), 0);
  EXPECT_TRUE(buffer == std::vector<float>(reference.begin() + 10, reference.begin() + 42));

  // A handle of the wrong kind, or none.
  void* pool = nullptr;
  ASSERT_EQ(ZR8READER_CreateBufferPoolCPU(&pool), 0);
  handles::BufferPool buffers(pool);
  const Zr8DecodePrefs prefs = handles::StreamPrefs(0x2000);
  EXPECT_LT(ZR8READER_ReadFile_OpenVideoStream(file.get(), 0, &prefs, buffers.get(), &none), 0);
  EXPECT_EQ(ZR8READER_ReadVideoStream_GetFrameCount(file.get()), 0);
  EXPECT_EQ(ZR8READER_Image_TotalSize(file.get()), 0u);
  EXPECT_EQ(ZR8READER_Image_LockForCPU(nullptr, 1), nullptr);
  EXPECT_LT(ZR8READER_DeleteReadAudioStreamHandle(file.get()), 0);
  EXPECT_LT(ZR8READER_DeleteImagePoolHandle(buffers.get()), 0);
  EXPECT_LT(ZR8READER_DeleteReadFileHandle(nullptr), 0);
  EXPECT_LT(ZR8READER_OpenReadFileEx(&none, L"/nonexistent", 3, file.get()), 0);
  const Zr8OpenCLContextInfo info{};
  pool = reinterpret_cast<void*>(1);
  EXPECT_LT(ZR8READER_CreateImagePoolGPU(&info, &pool), 0);
  EXPECT_EQ(pool, nullptr);

  // A name too long for the buffer: cut, ended and refused; a closed file opens no stream.
  wchar_t small[5] = {L'x', L'x', L'x', L'x', L'x'};
  EXPECT_LT(ZR8READER_ReadFile_GetFileName(file.get(), small, 5), 0);
  EXPECT_EQ(std::wstring(small), platform::BytesToWide(clip.string()).substr(0, 4));
  EXPECT_EQ(ZR8READER_ReadFile_CloseFile(file.get()), 0);
  EXPECT_EQ(ZR8READER_ReadFile_IsFileOpen(file.get()), 0);
  none = reinterpret_cast<void*>(1);
  EXPECT_LT(ZR8READER_ReadFile_OpenVideoStream(file.get(), 0, nullptr, nullptr, &none), 0);
  EXPECT_EQ(none, nullptr);
}

// A song's cover picture is no video stream.
TEST(BadInputTest, CoverPicturesAreNotVideoStreams) {
  handles::File file = handles::OpenFile(media::Named("song_with_cover.mp3"));
  ASSERT_TRUE(file);
  EXPECT_EQ(ZR8READER_ReadFile_GetAudioStreamCount(file.get()), 1);
  EXPECT_EQ(ZR8READER_ReadFile_GetVideoStreamCount(file.get()), 0);
  void* video = reinterpret_cast<void*>(1);
  EXPECT_LT(ZR8READER_ReadFile_OpenVideoStream(file.get(), 0, nullptr, nullptr, &video), 0);
  EXPECT_EQ(video, nullptr);
}

// The client on the real library: a good file's brief report under its absolute name, normalised
// (given relative, with "." and ".." parts, and bytes that are not UTF-8), and bad input in each
// mode, which ends with a message and the mode's exit status (the harness also fails any run with
// a sanitizer report).
TEST(RealBadInput, EndsWithAMessage) {
  harness::ClientRun good;
  good.WithLibrary(harness::Library::kReal);
  fs::create_directories(good.dir() / "sub");
  const fs::path name = good.dir() / "sub/clip\xFF\xE9 é.mov";
  fs::copy_file(media::Named("brief_both.mov"), name);
  const auto brief = good.Run({"./sub/../sub/clip\xFF\xE9 é.mov", "-brief"});
  EXPECT_EQ(
      brief.out,
      "\nBasic information example\nFile: \"./sub/../sub/clip\xFF\xE9 é.mov\"\n\nFile is of a "
      "supported format.\nAudio stream count: 2\nVideo stream count: 1\n"
      "Duration: 3 seconds\n\nClosing file '" +
          fs::absolute(name).lexically_normal().string() + "'\n");
  EXPECT_EQ(brief.status, 255);

  const struct {
    const char* what;
    const char* mode;
    bool refused;  // the library does not support it at all
  } cases[] = {{"Missing", "-brief", true},
               {"Text", "-audio", true},
               {"Truncated", "-audio", false},
               {"Garbled", "-video", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.what) + " " + c.mode);
    harness::ClientRun run;
    run.WithLibrary(harness::Library::kReal);
    MakeBadInput(c.what, run.dir() / "input.mp4");
    std::vector<std::string> arguments{"input.mp4", c.mode};
    if (std::string(c.mode) != "-brief") arguments.push_back("-extract");
    const auto result = run.Run(arguments);
    EXPECT_EQ(result.status, 255);
    EXPECT_NE(result.out.find("File: \"input.mp4\""), std::string::npos);
    EXPECT_EQ(result.out.ends_with("The specified file is not of a supported type.\n"), c.refused)
        << result.out;
    EXPECT_TRUE(result.out.ends_with("\n")) << result.out;
  }
}

}  // namespace
