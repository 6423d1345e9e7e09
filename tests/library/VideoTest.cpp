// Video streams against FFmpeg's own decode of the same files: pixel types, picture layout and the
// stream's description.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <numeric>
#include <random>
#include <thread>

#include "Clips.h"
#include "Handles.h"
#include "Media.h"

namespace {

using clips::Clip;
using clips::kClips;
using handles::Frame;

constexpr int32_t kI420 = 0x2000;

size_t I420Size(uint32_t width, uint32_t height) {
  return size_t(width) * height + 2 * size_t((width + 1) / 2) * ((height + 1) / 2);
}

// Each pixel type against ffmpeg's conversion of the same frames to the same layout.
struct TypeCase {
  int32_t pixelType;
  const char* pixFmt;
  const char* clip;
  bool swapChroma;  // YV12 / YV16: the second and third plane exchanged
};

const TypeCase kTypes[] = {
    {0x2000, "yuv420p", "hevc_10bit.mkv", false},    {0x2004, "p010le", "hevc_10bit.mkv", false},
    {0x2005, "p016le", "hevc_10bit.mkv", false},     {0x2001, "nv12", "h264_bframes.mp4", false},
    {0x2002, "yuv420p", "h264_bframes.mp4", true},   {0x2003, "yuv422p", "h264_bframes.mp4", true},
    {0x1000, "yuyv422", "h264_bframes.mp4", false},  {0x1001, "uyvy422", "h264_bframes.mp4", false},
    {0x2008, "yuv444p", "h264_bframes.mp4", false},  {0x0100, "rgba", "h264_bframes.mp4", false},
    {0x0400, "rgb24", "h264_bframes.mp4", false},    {0x0401, "bgr24", "h264_bframes.mp4", false},
    {0x0101, "rgba64le", "h264_bframes.mp4", false}, {0x2000, "yuv420p", "mjpeg.avi", false},
    {0x2000, "yuv420p", "prores.mov", false},        {0x0100, "rgba", "mjpeg.avi", false},
};

std::string SwapChroma(const std::string& picture, size_t lumaSize, size_t chromaSize) {
  std::string out = picture.substr(0, lumaSize);
  out += picture.substr(lumaSize + chromaSize, chromaSize);
  out += picture.substr(lumaSize, chromaSize);
  return out;
}

class PixelTypeTest : public testing::TestWithParam<TypeCase> {};

TEST_P(PixelTypeTest, MatchesFFmpegConversion) {
  const TypeCase& type = GetParam();
  const Clip* clip = std::find_if(std::begin(kClips), std::end(kClips),
                                  [&](const Clip& c) { return std::string(c.name) == type.clip; });
  const auto path = media::Make(clip->name, clip->arguments);
  handles::File file = handles::OpenFile(path);
  ASSERT_TRUE(file);
  handles::Video video = handles::OpenVideo(file.get(), type.pixelType);
  ASSERT_TRUE(video);
  const std::string reference = media::ReferenceVideo(path, type.pixFmt);
  const int64_t count = ZR8READER_ReadVideoStream_GetFrameCount(video.get());
  ASSERT_GT(count, 0);
  const size_t frameSize = reference.size() / count;
  ASSERT_EQ(frameSize * count, reference.size());

  void* raw = nullptr;
  ASSERT_EQ(ZR8READER_ReadVideoStream_GetFrame(video.get(), 0, &raw), 0);
  handles::Image image(raw);
  EXPECT_EQ(ZR8READER_Image_PixelType(raw), type.pixelType);
  EXPECT_EQ(ZR8READER_Image_TotalSize(raw), frameSize);
  Zr8DecodePrefs inEffect{};
  ASSERT_EQ(ZR8READER_ReadVideoStream_GetDecodePrefs(video.get(), &inEffect), 0);
  EXPECT_EQ(inEffect.pixelType, type.pixelType);

  const uint32_t width = ZR8READER_Image_Width(raw);
  const uint32_t height = ZR8READER_Image_Height(raw);
  const size_t chromaRows = std::string(type.pixFmt) == "yuv422p" ? height : (height + 1) / 2;
  const size_t chroma = size_t((width + 1) / 2) * chromaRows;
  for (int64_t n : {int64_t{0}, count / 2, count - 1, int64_t{1}}) {
    std::string expected = reference.substr(n * frameSize, frameSize);
    if (type.swapChroma) expected = SwapChroma(expected, size_t(width) * height, chroma);
    ASSERT_TRUE(Frame(video.get(), n) == expected) << "frame " << n;
  }
}

INSTANTIATE_TEST_SUITE_P(Types, PixelTypeTest, testing::ValuesIn(kTypes),
                         [](const testing::TestParamInfo<TypeCase>& info) {
                           std::string name = std::to_string(info.param.pixelType) + "_" +
                                              info.param.pixFmt + "_" + info.param.clip;
                           std::replace_if(
                               name.begin(), name.end(), [](char c) { return !isalnum(c); }, '_');
                           return name;
                         });

// A transport stream cut inside an open GOP: the pictures that cannot be decoded are not counted,
// and every other one is the one FFmpeg presents.
TEST(VideoCutStreamTest, StartsAtTheFirstDecodablePicture) {
  const auto full = media::Make(
      "open_gop_full.ts",
      "-f lavfi -i testsrc2=size=128x96:rate=25 -t 3 -c:v libx264 -preset fast -x264-params "
      "keyint=12:min-keyint=12:open-gop=1:bframes=3:b-adapt=0:scenecut=0 -pix_fmt yuv420p");
  const auto cut = media::Dir() / "open_gop_cut.ts";
  {
    std::ifstream in(full, std::ios::binary);
    in.seekg(188 * 40);  // whole transport packets, inside the first GOP
    std::ofstream(cut, std::ios::binary) << in.rdbuf();
  }
  handles::File file = handles::OpenFile(cut);
  ASSERT_TRUE(file);
  handles::Video video = handles::OpenVideo(file.get(), kI420);
  ASSERT_TRUE(video);
  const std::string reference = media::ReferenceVideo(cut, "yuv420p");
  const size_t frameSize = I420Size(128, 96);
  const int64_t count = ZR8READER_ReadVideoStream_GetFrameCount(video.get());
  ASSERT_EQ(count * frameSize, reference.size());
  for (int64_t n = count - 1; n >= 0; n -= 3) {
    ASSERT_TRUE(Frame(video.get(), n) == reference.substr(n * frameSize, frameSize)) << n;
  }
  for (int64_t n = 0; n < count; ++n) {
    ASSERT_TRUE(Frame(video.get(), n) == reference.substr(n * frameSize, frameSize)) << n;
  }
}

TEST(VideoFormatTest, DescribesTheStreamAndItsPictures) {
  const auto path = media::Make(kClips[4].name, kClips[4].arguments);  // 161x121, 24 fps
  handles::File file = handles::OpenFile(path);
  ASSERT_TRUE(file);
  EXPECT_EQ(ZR8READER_ReadFile_GetVideoStreamCount(file.get()), 1);
  EXPECT_EQ(ZR8READER_ReadFile_GetAudioStreamCount(file.get()), 0);
  handles::Video video = handles::OpenVideo(file.get(), kI420);
  ASSERT_TRUE(video);
  Zr8VideoFormat format{};
  ASSERT_EQ(ZR8READER_ReadVideoStream_GetFormat(video.get(), &format), 0);
  EXPECT_EQ(format.pixelType, kI420);
  EXPECT_EQ(format.width, 161u);
  EXPECT_EQ(format.height, 121u);
  EXPECT_EQ(format.interlace, 0);
  EXPECT_DOUBLE_EQ(format.aspectRatio, 1.0);
  EXPECT_NEAR(format.frameRate, 24.0, 1e-9);
  EXPECT_EQ(format.imageSize, 161u * 121u + 2u * 81u * 61u);
  EXPECT_EQ(ZR8READER_ReadVideoStream_GetFrameCount(video.get()), 36);
  EXPECT_NEAR(ZR8READER_ReadVideoStream_GetStreamLength(video.get()), 15000000, 10000);  // ms times

  void* raw = nullptr;
  ASSERT_EQ(ZR8READER_ReadVideoStream_GetFrame(video.get(), 5, &raw), 0);
  handles::Image image(raw);
  EXPECT_EQ(ZR8READER_Image_Width(raw), 161u);
  EXPECT_EQ(ZR8READER_Image_Height(raw), 121u);
  EXPECT_EQ(ZR8READER_Image_RowBytes(raw, 0), 161u);
  EXPECT_EQ(ZR8READER_Image_RowBytes(raw, 1), 81u);
  EXPECT_EQ(ZR8READER_Image_RowBytes(raw, 2), 81u);
  EXPECT_EQ(ZR8READER_Image_RowBytes(raw, 3), 0u);
  EXPECT_EQ(ZR8READER_Image_TotalSize(raw), format.imageSize);
  EXPECT_DOUBLE_EQ(ZR8READER_Image_PAR(raw), 1.0);
  EXPECT_NE(ZR8READER_Image_LockForCPU(raw, 1), nullptr);
  EXPECT_EQ(ZR8READER_Image_Unlock(raw), 0);
  EXPECT_GT(ZR8READER_Image_Unlock(raw), 0);  // not locked any more: S_FALSE
}

TEST(VideoFormatTest, CodingFourCCs) {
  const struct {
    const char* clip;
    uint32_t fourCC;
  } cases[] = {{"h264_bframes.mp4", 0x61766331u}, {"hevc_10bit.mkv", 0x68766331u},
               {"mpeg2.ts", 0x6D703276u},         {"mjpeg.avi", 0x4D4A5047u},
               {"prores.mov", 0x6170636Eu},       {"vp9.webm", 0x76703039u}};
  for (const auto& c : cases) {
    const Clip* clip = std::find_if(std::begin(kClips), std::end(kClips),
                                    [&](const Clip& k) { return std::string(k.name) == c.clip; });
    handles::File file = handles::OpenFile(media::Make(clip->name, clip->arguments));
    ASSERT_TRUE(file) << c.clip;
    handles::Video video = handles::OpenVideo(file.get(), kI420);
    ASSERT_TRUE(video) << c.clip;
    Zr8VideoCompressedFormat coding{};
    ASSERT_EQ(ZR8READER_ReadVideoStream_GetCompressedFormat(video.get(), &coding), 0);
    EXPECT_EQ(coding.fourCC, c.fourCC) << c.clip;
  }
}

TEST(VideoOpenTest, NativeLayoutAndUndeliverableTypes) {
  const struct {
    const char* clip;
    int32_t native;
  } cases[] = {{"h264_bframes.mp4", 0x2000}, {"hevc_10bit.mkv", 0x2004}, {"mjpeg.avi", 0x2000}};
  for (const auto& c : cases) {
    const Clip* clip = std::find_if(std::begin(kClips), std::end(kClips),
                                    [&](const Clip& k) { return std::string(k.name) == c.clip; });
    handles::File file = handles::OpenFile(media::Make(clip->name, clip->arguments));
    ASSERT_TRUE(file);
    handles::Video video = handles::OpenVideo(file.get(), 0);
    ASSERT_TRUE(video) << c.clip;
    Zr8DecodePrefs prefs{};
    ASSERT_EQ(ZR8READER_ReadVideoStream_GetDecodePrefs(video.get(), &prefs), 0);
    EXPECT_EQ(prefs.pixelType, c.native) << c.clip;
    EXPECT_EQ(prefs.useCuda, 0);
    for (int32_t unknown : {0x10000, 0x1002, 7, -1}) {
      int32_t status = 0;
      handles::Video refused = handles::OpenVideo(file.get(), unknown, nullptr, &status);
      EXPECT_FALSE(refused) << unknown;
      EXPECT_LT(status, 0) << unknown;
    }
  }
}

TEST(VideoPoolTest, StreamsOnSeveralThreadsShareOnePool) {
  void* rawPool = nullptr;
  ASSERT_EQ(ZR8READER_CreateImagePoolCPU(&rawPool), 0);
  handles::ImagePool pool(rawPool);
  void* rawBuffers = nullptr;
  ASSERT_EQ(ZR8READER_CreateBufferPoolCPU(&rawBuffers), 0);
  handles::BufferPool buffers(rawBuffers);
  const Clip& clip = kClips[0];
  const auto path = media::Make(clip.name, clip.arguments);
  const std::string reference = media::ReferenceVideo(path, "yuv420p");
  const size_t frameSize = I420Size(160, 120);
  handles::File file = handles::OpenFile(path, buffers.get());
  ASSERT_TRUE(file);

  std::vector<int> failures(4, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      handles::Video video = handles::OpenVideo(file.get(), kI420, pool.get());
      if (!video) {
        failures[t] = 1000;
        return;
      }
      const int64_t count = ZR8READER_ReadVideoStream_GetFrameCount(video.get());
      std::mt19937 random(t);
      for (int i = 0; i < 30; ++i) {
        const int64_t n = t == 0 ? i % count : int64_t(random() % count);
        if (Frame(video.get(), n) != reference.substr(n * frameSize, frameSize)) ++failures[t];
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (int t = 0; t < 4; ++t) EXPECT_EQ(failures[t], 0) << "thread " << t;
}

}  // namespace
