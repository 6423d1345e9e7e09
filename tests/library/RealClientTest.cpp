// The client against the real reader library, end to end: the brief report, the audio
// extraction, the video decode through its pool and hardware choices, and the hardware checks, on
// generated media.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <tuple>

#include "Clips.h"
#include "Media.h"
#include "e2e/ClientHarness.h"
#include "e2e/VideoOutput.h"

namespace fs = std::filesystem;
using harness::ClientRun;
using harness::Library;

namespace {

struct BriefCase {
  const char* clip;       // made in the media directory
  const char* arguments;  // for the ffmpeg tool
  const char* runName;    // the name the client is given, relative to its directory
  int audio;
  int video;
  const char* seconds;
};

const BriefCase kBrief[] = {
    {"brief_audio.wav",
     "-f lavfi -i sine=frequency=300:sample_rate=8000:duration=1.5 -c:a pcm_s16le", "audio.wav", 1,
     0, "1.5"},
    {"brief_video.mkv",
     "-f lavfi -i testsrc2=size=64x48:rate=25 -t 2 -c:v libx264 -preset ultrafast", "clip é.mkv", 0,
     1, "2"},
    {"brief_both.mov",
     "-f lavfi -i testsrc2=size=64x48:rate=25 -f lavfi -i sine=duration=3:sample_rate=48000 -t 3 "
     "-map 0 -map 1 -map 1 -c:v mjpeg -c:a pcm_s16le",
     "sub/both.mov", 2, 1, "3"},
};

class RealBrief : public testing::TestWithParam<BriefCase> {};

TEST_P(RealBrief, ReportsTheFileUnderItsAbsoluteName) {
  const BriefCase& c = GetParam();
  const fs::path clip = media::Make(c.clip, c.arguments);
  ClientRun run;
  run.WithLibrary(Library::kReal);
  const fs::path placed = run.dir() / c.runName;
  fs::create_directories(placed.parent_path());
  fs::copy_file(clip, placed);
  const auto result = run.Run({c.runName, "-brief"});
  const std::string absolute = fs::absolute(placed).lexically_normal().string();
  EXPECT_EQ(result.out,
            std::string("\nBasic information example\nFile: \"") + c.runName +
                "\"\n\nFile is of a supported format.\nAudio stream count: " +
                std::to_string(c.audio) + "\nVideo stream count: " + std::to_string(c.video) +
                "\nDuration: " + c.seconds + " seconds\n\nClosing file '" + absolute + "'\n");
  EXPECT_EQ(result.status, 255);
}

std::string ClipName(const char* clip) {
  std::string name = clip;
  for (char& c : name) {
    if (!isalnum(static_cast<unsigned char>(c))) c = '_';
  }
  return name;
}

INSTANTIATE_TEST_SUITE_P(Clips, RealBrief, testing::ValuesIn(kBrief),
                         [](const testing::TestParamInfo<BriefCase>& info) {
                           return ClipName(info.param.clip);
                         });

// Bad input, in every file mode: a clear message and the mode's exit status, never a crash or a
// hang (the harness also fails any run with a sanitizer report).
struct BadInputCase {
  const char* what;
  bool refused;  // the library does not support it at all
};

void MakeBadInput(const std::string& what, const fs::path& path, const fs::path& clip) {
  if (what == "Directory") {
    fs::create_directory(path);
  } else if (what == "Empty") {
    std::ofstream(path, std::ios::binary);
  } else if (what == "Text") {
    std::ofstream(path, std::ios::binary) << "not a media file";
  } else if (what != "Missing") {
    std::ifstream in(clip, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (what == "Truncated") bytes.resize(bytes.size() * 2 / 5);
    if (what == "Garbled") {
      for (size_t i = bytes.size() / 3; i < bytes.size(); i += 97) bytes[i] = static_cast<char>(i);
    }
    std::ofstream(path, std::ios::binary) << bytes;
  }
}

class RealBadInput : public testing::TestWithParam<std::tuple<BadInputCase, const char*>> {};

TEST_P(RealBadInput, EndsWithAMessage) {
  const auto& [input, mode] = GetParam();
  const fs::path clip = media::Make(
      "bad_source.mp4",
      "-f lavfi -i testsrc2=size=64x48:rate=25 -f lavfi -i "
      "sine=duration=2 -t 2 -c:v libx264 -preset ultrafast -c:a aac -movflags +faststart");
  ClientRun run;
  run.WithLibrary(Library::kReal);
  MakeBadInput(input.what, run.dir() / "input.mp4", clip);
  std::vector<std::string> arguments{"input.mp4", mode};
  if (std::string(mode) != "-brief") arguments.push_back("-extract");
  const auto result = run.Run(arguments);
  EXPECT_EQ(result.status, 255);
  EXPECT_NE(result.out.find("File: \"input.mp4\""), std::string::npos);
  if (input.refused) {
    const std::string refusal = "The specified file is not of a supported type.\n";
    ASSERT_GE(result.out.size(), refusal.size());
    EXPECT_EQ(result.out.substr(result.out.size() - refusal.size()), refusal);
  } else {
    EXPECT_EQ(result.out.back(), '\n') << result.out;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, RealBadInput,
    testing::Combine(testing::Values(BadInputCase{"Missing", true}, BadInputCase{"Directory", true},
                                     BadInputCase{"Empty", true}, BadInputCase{"Text", true},
                                     BadInputCase{"Truncated", false},
                                     BadInputCase{"Garbled", false}),
                     testing::Values("-brief", "-audio", "-video")),
    [](const auto& info) {
      return std::string(std::get<0>(info.param).what) + (std::get<1>(info.param) + 1);
    });

struct ExtractCase {
  const char* clip;
  const char* arguments;
  int stream;
};

const ExtractCase kExtract[] = {
    {"extract.mp3",
     "-f lavfi -i sine=frequency=440:sample_rate=44100:duration=2.3 -ac 2 -c:a libmp3lame", 0},
    {"extract_two.mkv",
     "-f lavfi -i sine=frequency=440:duration=1 -f lavfi -i sine=frequency=880:duration=1.2 "
     "-map 0 -map 1 -c:a:0 flac -c:a:1 aac",
     1},
};

class RealExtract : public testing::TestWithParam<ExtractCase> {};

TEST_P(RealExtract, WritesTheSamplesOfFFmpegsDecode) {
  const ExtractCase& c = GetParam();
  const fs::path clip = media::Make(c.clip, c.arguments);
  ClientRun run;
  run.WithLibrary(Library::kReal);
  fs::copy_file(clip, run.dir() / c.clip);
  std::vector<std::string> arguments{c.clip, "-audio", "-extract"};
  if (c.stream != 0) arguments.insert(arguments.end(), {"-stream", std::to_string(c.stream)});
  const auto result = run.Run(arguments);
  const std::vector<float> reference = media::ReferenceAudio(clip, c.stream);
  const std::string pcm = result.File("zr8reader.pcm");
  ASSERT_EQ(pcm.size(), reference.size() * sizeof(float));
  EXPECT_EQ(std::memcmp(pcm.data(), reference.data(), pcm.size()), 0);
  std::ostringstream written;
  written << "Written " << reference.size() / (c.stream == 0 ? 2 : 1) << " samples (" << pcm.size()
          << " bytes) to file '" << harness::Prefix() << "zr8reader.pcm'\n";
  EXPECT_NE(result.out.find(written.str()), std::string::npos) << result.out;
}

INSTANTIATE_TEST_SUITE_P(Clips, RealExtract, testing::ValuesIn(kExtract),
                         [](const testing::TestParamInfo<ExtractCase>& info) {
                           return ClipName(info.param.clip);
                         });

// Every way of decoding the client offers gives the frames of the plain software decode: pictures
// in OpenCL buffers, and each kind of hardware (where the machine lacks it, after the failure of
// its set-up, in software).
class RealVideoExtract : public testing::TestWithParam<std::vector<std::string>> {};

std::string FramesOfRun(const fs::path& clip, const std::vector<std::string>& options) {
  ClientRun run;
  run.WithLibrary(Library::kReal);
  fs::copy_file(clip, run.dir() / "clip.mp4");
  std::vector<std::string> arguments{"clip.mp4", "-video", "-extract"};
  arguments.insert(arguments.end(), options.begin(), options.end());
  const auto result = run.Run(arguments);
  EXPECT_NE(result.out.find("Written 589824 bytes for  128 frames"), std::string::npos)
      << result.out;
  return result.File("zr8reader.I420");
}

TEST_P(RealVideoExtract, WritesTheFramesOfTheSoftwareDecode) {
  const fs::path clip = media::Make(
      "extract_video.mp4", "-f lavfi -i testsrc2=size=64x48:rate=25 -t 6 -c:v libx264 -g 30 -bf 2");
  static const std::string reference = FramesOfRun(clip, {});
  ASSERT_EQ(reference.size(), 589824u);
  EXPECT_TRUE(FramesOfRun(clip, GetParam()) == reference);
}

INSTANTIATE_TEST_SUITE_P(Options, RealVideoExtract,
                         testing::Values(std::vector<std::string>{"-gpu_buffer"},
                                         std::vector<std::string>{"-hardware", "NVIDIA"},
                                         std::vector<std::string>{"-hardware", "INTEL"},
                                         std::vector<std::string>{"-hardware", "AMD"}),
                         [](const testing::TestParamInfo<std::vector<std::string>>& info) {
                           return ClipName(info.param.back().c_str());
                         });

// Files whose times do not give the order of their pictures: the client writes the frames of
// FFmpeg's full decode.
TEST(RealVideoExtract, FilesWithoutPresentationTimesGiveTheFullDecode) {
  for (size_t c : {0, 2, 3, 7}) {
    const clips::Clip& clip = clips::kNoPresentationTimes[c];
    const fs::path path = clip.shell ? media::MakeByShell(clip.name, clip.arguments)
                                     : media::Make(clip.name, clip.arguments);
    ClientRun run;
    run.WithLibrary(Library::kReal);
    fs::copy_file(path, run.dir() / path.filename());
    const auto result = run.Run({path.filename().string(), "-video", "-extract"});
    EXPECT_NE(result.out.find("Written 921600 bytes for  100 frames"), std::string::npos)
        << result.out;
    EXPECT_TRUE(result.File("zr8reader.I420") == media::ReferenceVideo(path, "yuv420p"))
        << clip.name;
  }
}

// The out-of-process checks run the helper beside the library and find what the in-process ones
// find.
TEST(RealHardwareChecks, OutOfProcessAgreesWithInProcess) {
  auto decoders = [](const std::vector<std::string>& arguments) {
    ClientRun run;
    run.WithLibrary(Library::kReal);
    fs::copy_file(ZR8_TEST_DETECT_HELPER, run.dir() / "zr8reader-detect");
    const auto result = run.Run(arguments);
    EXPECT_EQ(result.status, 0) << result.out;
    const auto at = result.out.find("Total Hardware Decoders detected = ");
    return at == std::string::npos ? std::string("none") : result.out.substr(at, 38);
  };
  const std::string inProcess = decoders({"x", "-hwcheck"});
  EXPECT_NE(inProcess, "none");
  EXPECT_EQ(decoders({"x", "-hwcheckOOP", "-timeout", "10000"}), inProcess);
  EXPECT_EQ(decoders({"x", "-hwdetectionOOP", "-timeout", "10000"}), inProcess);
}

}  // namespace

// The video modes on real media: the frame files hold exactly FFmpeg's pictures at the frames the
// modes request.
namespace {

constexpr size_t kFrameBytes = 64 * 48 * 3 / 2;  // one I420 picture of the clips below

// H.264 with B-frames, 200 frames.
fs::path LongClip() {
  return media::Make("video_long.mp4",
                     "-f lavfi -i testsrc2=size=64x48:rate=25 -t 8 -c:v libx264 -preset ultrafast "
                     "-bf 2 -g 30 -pix_fmt yuv420p");
}

// VP9, 45 frames.
fs::path ShortClip() {
  return media::Make("video_short.webm",
                     "-f lavfi -i testsrc=size=64x48:rate=15 -t 3 -c:v libvpx-vp9 -deadline "
                     "realtime -pix_fmt yuv420p");
}

std::string Frames(const std::string& reference, const std::vector<int64_t>& indices) {
  std::string bytes;
  for (int64_t index : indices) bytes += reference.substr(index * kFrameBytes, kFrameBytes);
  return bytes;
}

TEST(RealVideo, SingleFileDecodeWritesTheFirst128Frames) {
  const std::string reference = media::ReferenceVideo(LongClip(), "yuv420p");
  ASSERT_EQ(reference.size(), 200 * kFrameBytes);
  ClientRun run;
  run.WithLibrary(Library::kReal);
  fs::copy_file(LongClip(), run.dir() / "clip.mp4");
  const auto result = run.Run({"clip.mp4", "-video", "-extract"});
  EXPECT_NE(result.out.find("Frame rate:   25\nInterlace:    0\nAspect ratio: 1\n"
                            "Frame size:   64x48\nPixel format: I420\nFourCC: avc1\n\n"),
            std::string::npos)
      << result.out;
  EXPECT_TRUE(result.File("zr8reader.I420") == Frames(reference, video_output::FirstFrames(128)));
  EXPECT_NE(
      result.out.find("Written " + std::to_string(128 * kFrameBytes) +
                      " bytes for  128 frames to file '" + harness::Prefix() + "zr8reader.I420'\n"),
      std::string::npos);
}

TEST(RealVideo, DualStreamPairsFramesFromTheStartAndTheMiddle) {
  const std::string reference = media::ReferenceVideo(LongClip(), "yuv420p");
  ClientRun run;
  run.WithLibrary(Library::kReal);
  fs::copy_file(LongClip(), run.dir() / "clip.mp4");
  const auto result = run.Run({"clip.mp4", "-video", "-extract", "-dualstream"});
  std::vector<int64_t> indices;
  for (int64_t i = 0; i < 32; ++i) indices.insert(indices.end(), {i, 100 + i});
  EXPECT_TRUE(result.File("zr8reader.I420") == Frames(reference, indices));
}

TEST(RealVideo, ReadThreadsWriteTheirOwnFrames) {
  const std::string longReference = media::ReferenceVideo(LongClip(), "yuv420p");
  const std::string shortReference = media::ReferenceVideo(ShortClip(), "yuv420p");
  const auto shortCount = static_cast<int64_t>(shortReference.size() / kFrameBytes);
  ASSERT_EQ(shortCount, 45);
  ClientRun run;
  run.WithLibrary(Library::kReal);
  fs::copy_file(LongClip(), run.dir() / "a.mp4");
  fs::copy_file(ShortClip(), run.dir() / "b.webm");
  const auto result = run.Run({"a.mp4", "-video", "-extract", "-file", "b.webm", "-file", "a.mp4"});
  EXPECT_TRUE(result.File("zr8reader.0.I420") ==
              Frames(longReference, video_output::FirstFrames(32)));
  EXPECT_TRUE(result.File("zr8reader.1.I420") ==
              Frames(shortReference, video_output::RandomFrames(32, shortCount)));
  EXPECT_TRUE(result.File("zr8reader.2.I420") ==
              Frames(longReference, video_output::RandomFrames(32, 200)));
  for (const char* line : {"Exiting read thread 0\n", "Exiting read thread 1\n",
                           "Exiting read thread 2\n", "  Frame count:   45\n"}) {
    EXPECT_NE(result.out.find(line), std::string::npos) << line;
  }
}

}  // namespace
