// Frame n is the n-th picture a full sequential decode presents (FFmpeg's decode with every frame
// passed through), on every container and whatever its timestamps: every frame of each clip of
// media.txt, in order and at random, against that decode; each pixel type against FFmpeg's
// conversion; the decoding a request costs; and the client's frame files.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <sstream>

#include "BitstreamOrder.h"
#include "Handles.h"
#include "e2e/ClientHarness.h"
#include "e2e/VideoOutput.h"

namespace {

namespace fs = std::filesystem;
using handles::Frame;

constexpr int32_t kI420 = 0x2000;

// A concealed picture, and those that refer to it, depend on how the decoder's threads ran:
// FFmpeg's own decodes with one thread and with several differ there. In a damaged clip, the groups
// (from one key frame to the next) where those two differ, or that hold the damaged packet, are
// marked.
std::vector<bool> ConcealedGroups(const media::Recipe& clip, const std::string& reference,
                                  size_t size) {
  const int64_t count = reference.size() / size;
  std::vector<bool> concealed(count);
  if (clip.use != "damaged") return concealed;
  const fs::path path = media::Made(clip);
  const std::string single = media::ReferenceVideo(path, "yuv420p", 0, "-threads 1");
  std::istringstream lines(media::Capture(
      "ffprobe -v error -select_streams v:0 -show_entries frame=key_frame -of csv=p=0 " +
      media::Quote(path.string())));
  std::vector<bool> key;
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty()) key.push_back(line[0] == '1');  // "1" or "1," (with side data)
  }
  EXPECT_EQ(single.size(), reference.size());
  EXPECT_EQ(static_cast<int64_t>(key.size()), count);
  for (int64_t first = 0, end = 1; first < count && key.size() == concealed.size(); first = end++) {
    while (end < count && !key[end]) ++end;
    bool differs = first <= clip.packet && clip.packet < end;
    for (int64_t n = first; n < end; ++n) {
      differs = differs || single.compare(n * size, size, reference, n * size, size) != 0;
    }
    std::fill(concealed.begin() + first, concealed.begin() + end, differs);
  }
  return concealed;
}

std::vector<media::Recipe> VideoClips() {
  std::vector<media::Recipe> clips = media::Recipes("frames");
  for (const auto& clip : media::Recipes("damaged")) clips.push_back(clip);
  return clips;
}

class FrameIdentityTest : public testing::TestWithParam<media::Recipe> {};

// Damaged groups must come with their size; all other frames must be exact.
TEST_P(FrameIdentityTest, EveryFrameInOrderAndAtRandom) {
  const fs::path path = media::Made(GetParam());
  handles::File file = handles::OpenFile(path);
  ASSERT_TRUE(file);
  handles::Video video = handles::OpenVideo(file.get(), kI420);
  ASSERT_TRUE(video);
  const std::string reference = media::ReferenceVideo(path, "yuv420p");
  const int64_t count = ZR8READER_ReadVideoStream_GetFrameCount(video.get());
  Zr8VideoFormat format{};
  ASSERT_EQ(ZR8READER_ReadVideoStream_GetFormat(video.get(), &format), 0);
  const size_t size = size_t(format.width) * format.height +
                      2 * size_t((format.width + 1) / 2) * ((format.height + 1) / 2);
  EXPECT_EQ(format.imageSize, size);
  ASSERT_GT(count, 0);
  ASSERT_EQ(reference.size(), count * size) << "frames counted: " << count;
  const std::vector<bool> concealed = ConcealedGroups(GetParam(), reference, size);

  std::vector<int64_t> order(count);
  std::iota(order.begin(), order.end(), 0);
  std::vector<int64_t> shuffled = order;
  std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(12345));
  order.insert(order.end(), shuffled.begin(), shuffled.end());
  // Backwards, repeated and ahead-in-the-same-GOP requests as well.
  order.insert(order.end(), {count - 1, count - 1, 0, 1, 3, 2, count / 2, count / 2 + 1});
  for (size_t i = 0; i < order.size(); ++i) {
    const std::string frame = Frame(video.get(), order[i]);
    ASSERT_TRUE(concealed[order[i]] ? frame.size() == size
                                    : frame == reference.substr(order[i] * size, size))
        << "frame " << order[i] << " of " << count << ", request " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(Clips, FrameIdentityTest, testing::ValuesIn(VideoClips()),
                         [](const auto& info) { return media::Printable(info.param.name); });

// Each pixel type of pixel_types.txt against the ffmpeg tool's conversion of the same frames.
class PixelTypeTest : public testing::TestWithParam<std::vector<std::string>> {};

TEST_P(PixelTypeTest, MatchesFFmpegConversion) {
  const int32_t asked = std::stoi(GetParam()[0], nullptr, 0);
  const int32_t delivered = std::stoi(GetParam()[1], nullptr, 0);
  const fs::path path = media::Named(GetParam()[3]);
  handles::File file = handles::OpenFile(path);
  ASSERT_TRUE(file);
  handles::Video video = handles::OpenVideo(file.get(), asked);
  ASSERT_TRUE(video);
  Zr8DecodePrefs inEffect{};
  ASSERT_EQ(ZR8READER_ReadVideoStream_GetDecodePrefs(video.get(), &inEffect), 0);
  EXPECT_EQ(inEffect.pixelType, delivered);
  const std::string reference = media::ReferenceVideo(path, GetParam()[2]);
  const int64_t count = ZR8READER_ReadVideoStream_GetFrameCount(video.get());
  ASSERT_GT(count, 0);
  const size_t size = reference.size() / count;
  ASSERT_EQ(size * count, reference.size());
  Zr8VideoFormat format{};
  ASSERT_EQ(ZR8READER_ReadVideoStream_GetFormat(video.get(), &format), 0);
  const bool swap = delivered == 0x2002 || delivered == 0x2003;  // YV12, YV16
  const size_t luma = size_t(format.width) * format.height;
  const size_t chroma = (size - luma) / 2;
  for (int64_t n : {int64_t{0}, count / 2, count - 1, int64_t{1}}) {
    std::string expected = reference.substr(n * size, size);
    if (swap)
      expected =
          expected.substr(0, luma) + expected.substr(luma + chroma) + expected.substr(luma, chroma);
    ASSERT_TRUE(Frame(video.get(), n) == expected) << "frame " << n;
  }
}

INSTANTIATE_TEST_SUITE_P(Types, PixelTypeTest, testing::ValuesIn(media::Rows("pixel_types.txt", 4)),
                         [](const auto& info) {
                           return media::Printable(info.param[0] + "_" + info.param[2] + "_" +
                                                   info.param[3]);
                         });

// Two places read in turn keep a decoding position each: one seek for each, no frame decoded twice
// beyond the decoder's look-ahead (one key frame only, with B-frames).
TEST(DecodingPositionsTest, AlternatingRequestsDecodeEachFrameOnce) {
  const fs::path path = media::Named("positions.mp4");
  auto sequential = handles::OpenStream(path, handles::StreamPrefs(kI420, 1));
  auto alternating = handles::OpenStream(path, handles::StreamPrefs(kI420, 1));
  ASSERT_TRUE(sequential && alternating);
  const int64_t middle = sequential->frameCount() / 2;
  std::vector<std::string> pictures;
  for (int64_t n = 0; n < sequential->frameCount(); ++n) {
    pictures.push_back(handles::Picture(*sequential, n));
  }
  for (int64_t n = 0; n < 20; ++n) {
    EXPECT_EQ(handles::Picture(*alternating, n), pictures[n]) << n;
    EXPECT_EQ(handles::Picture(*alternating, middle + n), pictures[middle + n]) << middle + n;
  }
  EXPECT_LE(alternating->seeks(), 2u);
  EXPECT_LE(alternating->decodedFrames(), static_cast<uint64_t>(middle + 20 + 20 + 8));
}

// A request decodes from the key frame it needs (one earlier at most, with B-frames; the one before
// for an open GOP's leading pictures), with one seek, never from the start of the file, also on
// streams without times (found by their place in the file).
TEST(DecodingPositionsTest, RequestsDecodeFromTheirKeyFrame) {
  const std::pair<const char*, uint64_t> cases[] = {
      {"bounded.h264", 2 * 25 + 8},
      {"bounded.m2v", 2 * 25 + 8},
      {"bounded.mpg", 2 * 25 + 8},
      {"gop10.mp4", 10},
      {"h264_open_gop.mkv", 2 * 10 + 8}};  // gop10: no B-frames
  for (const auto& [name, most] : cases) {
    auto stream = handles::OpenStream(media::Named(name), handles::StreamPrefs(kI420, 1));
    ASSERT_TRUE(stream) << name;
    const int64_t count = stream->frameCount();
    for (int64_t n :
         {count - 9, count * 3 / 5, count * 3 / 10 + 1, count - 23, count * 2 / 5 - 1}) {
      const uint64_t decoded = stream->decodedFrames(), seeks = stream->seeks();
      EXPECT_FALSE(handles::Picture(*stream, n).empty()) << name << " " << n;
      EXPECT_LE(stream->decodedFrames() - decoded, most) << name << " " << n;
      EXPECT_LE(stream->seeks() - seeks, 1u) << name << " " << n;  // open GOPs: from the key before
    }
    EXPECT_EQ(stream->rereads(), 0u) << name;
  }
}

// Where the container's times do not give the order of reordered pictures (AVI, raw streams,
// program streams, an MP4 whose presentation times are its decode times), the order is read from
// the headers at open: one pass over the packets (two for the MP4: its sample table checked, then
// its headers read; two for a stream cut inside an open GOP, whose dropped leading pictures a
// decode of its first pictures confirms), no whole decode; every frame in order and some at random
// are FFmpeg's, and no decode contradicts the order. A stream whose headers leave a doubt is
// ordered by a decode.
TEST(FrameOrderTest, ReadFromTheHeadersWithoutADecode) {
  const std::pair<const char*, uint64_t> cases[] = {
      {"h264_bframes.avi", 1},       {"h264_open_gop.avi", 1},
      {"h264_interlaced.avi", 1},    {"gstreamer.avi", 1},
      {"hevc_bframes.avi", 1},       {"mpeg2_bframes.avi", 1},
      {"mpeg4_bframes.avi", 1},      {"elementary.h264", 1},
      {"elementary.hevc", 1},        {"elementary.m2v", 1},
      {"elementary.m4v", 1},         {"open_gop_cut.m2v", 2},
      {"cra_cut.hevc", 2},           {"mpeg2_open_gop.mpg", 1},
      {"mpeg2_audio.mpg", 1},        {"pts_equal_dts.mp4", 2},
      {"hevc_pts_equal_dts.mp4", 2}, {"mpeg4_packed_bframes.avi", 2}};  // packed pictures: ordered
                                                                        // by a decode
  ::setenv("ZR8READER_NO_CACHE", "1", 1);
  for (const auto& [name, passes] : cases) {
    const fs::path path = media::Named(name);
    auto stream = handles::OpenStream(path, handles::StreamPrefs(kI420, 1));
    ASSERT_TRUE(stream) << name;
    EXPECT_EQ(stream->indexPasses(), passes) << name;
    const std::string reference = media::ReferenceVideo(path, "yuv420p");
    const int64_t count = stream->frameCount();
    ASSERT_GT(count, 0) << name;
    ASSERT_EQ(reference.size() % count, 0u) << name << ": " << count << " frames";
    const size_t size = reference.size() / count;
    std::vector<int64_t> order(count);
    std::iota(order.begin(), order.end(), 0);
    std::shuffle(order.begin() + count / 2, order.end(), std::mt19937(7));
    for (int64_t n : order) {
      ASSERT_TRUE(handles::Picture(*stream, n) == reference.substr(n * size, size))
          << name << ": frame " << n;
    }
    EXPECT_EQ(stream->orderRebuilds(), 0u) << name;
  }
  ::unsetenv("ZR8READER_NO_CACHE");
}

// MPEG-2 picture headers are read wherever a packet has them: after any number of bytes that come
// close to a start code (00 01, 00 00 02), and up to the packet's last bytes. A second picture
// header in a packet leaves the order in doubt.
TEST(FrameOrderTest, PictureHeadersAreReadAtEveryPlaceInAPacket) {
  zr8::ParametersPtr parameters(avcodec_parameters_alloc());
  ASSERT_TRUE(parameters);
  parameters->codec_type = AVMEDIA_TYPE_VIDEO;
  parameters->codec_id = AV_CODEC_ID_MPEG2VIDEO;
  const std::vector<uint8_t> nearMisses = {0x00, 0x01, 0xFF, 0x00, 0x00, 0x02, 0x80};
  // A packet of `lead` bytes of near misses, then a picture header of each type of `types` (1 I,
  // 2 P, 3 B: picture_coding_type after the 10 bits of temporal_reference), then `tail` bytes.
  auto packet = [&](int lead, std::vector<int> types, int tail) {
    std::vector<uint8_t> bytes;
    for (int i = 0; i < lead; ++i) bytes.push_back(nearMisses[i % nearMisses.size()]);
    for (int type : types) {
      bytes.insert(bytes.end(), {0x00, 0x00, 0x01, 0x00, 0x00, static_cast<uint8_t>(type << 3)});
      for (int i = 0; i < tail; ++i) bytes.push_back(nearMisses[(i + 3) % nearMisses.size()]);
    }
    return bytes;
  };
  auto order = [&](const std::vector<std::vector<uint8_t>>& packets, std::vector<int64_t>* out) {
    auto headers = zr8::BitstreamOrder::For(*parameters);
    if (!headers) return false;
    for (const auto& bytes : packets) {
      zr8::PacketPtr packet = zr8::MakePacket();
      if (av_new_packet(packet.get(), static_cast<int>(bytes.size())) < 0) return false;
      std::copy(bytes.begin(), bytes.end(), packet->data);
      headers->Add(*packet);
    }
    return headers->Order(out);
  };
  for (int lead = 0; lead < 40; ++lead) {
    for (int tail : {0, 1, 2, 13, 29}) {
      // I P B B in the stream: shown I B B P.
      std::vector<int64_t> shown;
      ASSERT_TRUE(order({packet(lead, {1}, tail), packet(lead + 1, {2}, tail),
                         packet(lead + 2, {3}, tail), packet(lead + 3, {3}, tail)},
                        &shown))
          << lead << " " << tail;
      EXPECT_EQ(shown, (std::vector<int64_t>{0, 2, 3, 1})) << lead << " " << tail;
      EXPECT_FALSE(order({packet(lead, {1}, tail), packet(lead, {2, 3}, tail)}, &shown))
          << lead << " " << tail;
    }
  }
}

// The client's frame files on the real library hold exactly FFmpeg's pictures at the frames its
// modes request: the first 128 (or all), pairs from the start and the middle, pictures in OpenCL
// buffers, and a file whose times do not give the order of its pictures.
TEST(RealVideo, TheClientWritesFFmpegsPictures) {
  const fs::path clip = media::Named("video_long.mp4");
  std::vector<int64_t> pairs;
  for (int64_t i = 0; i < 32; ++i) pairs.insert(pairs.end(), {i, 100 + i});
  const struct {
    fs::path clip;
    const char* option;
    std::vector<int64_t> frames;
    size_t size;
  } runs[] = {
      {clip, nullptr, video_output::FirstFrames(128), media::kSmallPicture},
      {clip, "-gpu_buffer", video_output::FirstFrames(128), media::kSmallPicture},
      {clip, "-dualstream", pairs, media::kSmallPicture},
      {media::Named("mpeg4_packed_bframes.avi"), nullptr, video_output::FirstFrames(100),
       96 * 64 * 3 / 2},
  };
  for (const auto& run : runs) {
    SCOPED_TRACE(run.clip.filename().string() + " " + (run.option ? run.option : ""));
    harness::ClientRun client;
    client.WithLibrary(harness::Library::kReal);
    const std::string input = "in" + run.clip.extension().string();
    fs::copy_file(run.clip, client.dir() / input);
    std::vector<std::string> arguments{input, "-video", "-extract"};
    if (run.option) arguments.push_back(run.option);
    const auto result = client.Run(arguments);
    if (run.option == nullptr && run.size == media::kSmallPicture) {  // the format as reported
      EXPECT_NE(result.out.find("Frame rate:   25\nInterlace:    0\nAspect ratio: 1\n"
                                "Frame size:   64x48\nPixel format: I420\nFourCC: avc1\n\n"),
                std::string::npos);
    }
    const std::string reference = media::ReferenceVideo(run.clip, "yuv420p");
    EXPECT_TRUE(result.File("zr8reader.I420") == media::Pictures(reference, run.frames, run.size));
  }
}

}  // namespace
