// Frame n is the n-th picture a full sequential decode presents (FFmpeg's decode with every frame
// passed through), on every container and whatever its timestamps: every frame of each file, in
// order and at random, against that decode; the frame index on packet lists alone; each pixel type
// against FFmpeg's conversion; the decoding a request costs; and the client's frame files.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <numeric>
#include <random>
#include <sstream>

#include "FrameIndex.h"
#include "Handles.h"
#include "e2e/ClientHarness.h"
#include "e2e/VideoOutput.h"

namespace {

namespace fs = std::filesystem;
using handles::Frame;

constexpr int32_t kI420 = 0x2000;

struct Clip {
  const char* name;
  const char* arguments;  // for the ffmpeg tool, before the output name; with `shell`, a shell
                          // command that writes the file named by $OUT
  bool shell = false;
  int damagedPacket = -1;  // decode index of a packet whose middle bytes are overwritten (with
                           // `shell`: about where the command damages the stream)
  int damagedBytes = 0;
};

void PrintTo(const Clip& clip, std::ostream* out) {
  *out << clip.name;
}

#define ZR8_TEST_SOURCE "-f lavfi -i testsrc2=size=96x64:rate=25 "
#define ZR8_X264 "-c:v libx264 -preset ultrafast "

// Containers that carry no presentation times for reordered pictures: AVI (decode times only),
// raw elementary streams (no times at all), and a program stream whose B-pictures lack them.
const Clip kNoPresentationTimes[] = {
    {"mpeg4_bframes.avi", ZR8_TEST_SOURCE "-t 4 -c:v mpeg4 -bf 2 -g 12 -vtag XVID"},
    {"h264_bframes.avi", ZR8_TEST_SOURCE "-t 4 " ZR8_X264 "-bf 3 -g 12 -pix_fmt yuv420p"},
    {"mpeg2_open_gop.mpg", ZR8_TEST_SOURCE "-t 4 -c:v mpeg2video -bf 2 -g 12 -f mpeg"},
    {"elementary.h264", ZR8_TEST_SOURCE "-t 4 -c:v libx264 -bf 3 -g 12 -pix_fmt yuv420p"},
    {"elementary.hevc", ZR8_TEST_SOURCE
     "-t 4 -c:v libx265 -x265-params log-level=error:keyint=12:bframes=3 -pix_fmt yuv420p"},
    {"elementary.m2v", ZR8_TEST_SOURCE "-t 4 -c:v mpeg2video -bf 2 -g 12"},
    {"elementary.m4v", ZR8_TEST_SOURCE "-t 4 -c:v mpeg4 -bf 2 -g 12"},
    // Packed B-frames, as older encoders and cameras write them: a P and the following B picture
    // in one packet, then a placeholder packet of a few bytes.
    {"mpeg4_packed_bframes.avi",
     "ffmpeg -nostdin -y " ZR8_TEST_SOURCE "-t 4 -pix_fmt yuv420p \"$OUT.y4m\" && "
     "mencoder \"$OUT.y4m\" -ovc xvid -xvidencopts bitrate=300:max_bframes=2:packed "
     "-o \"$OUT\" && rm \"$OUT.y4m\"",
     true},
};

// The codings and containers that matter: reordering (B-frames), open GOPs, 10-bit sources,
// full-range sources, variable frame rate, times that do not start at zero, odd picture sizes.
const Clip kCleanTimes[] = {
    {"h264_bframes.mp4", "-f lavfi -i testsrc2=size=160x120:rate=25 -t 2 " ZR8_X264
                         "-bf 3 -x264-params keyint=12:b-adapt=0 -pix_fmt yuv420p"},
    {"h264_open_gop.mkv",
     "-f lavfi -i testsrc2=size=128x96:rate=25 -t 2 -c:v libx264 -preset fast "
     "-x264-params keyint=10:min-keyint=10:open-gop=1:bframes=3:b-adapt=0:scenecut=0 "
     "-pix_fmt yuv420p"},
    {"hevc_10bit.mkv",
     "-f lavfi -i testsrc2=size=128x96:rate=25 -t 1.2 -c:v libx265 -preset ultrafast "
     "-x265-params log-level=error:keyint=8:bframes=2 -pix_fmt yuv420p10le"},
    {"vp9.webm",
     "-f lavfi -i testsrc2=size=160x120:rate=24 -t 1.5 -c:v libvpx-vp9 -deadline realtime "
     "-cpu-used 8 -g 10 -pix_fmt yuv420p"},
    {"ffv1_odd.mkv",
     "-f lavfi -i testsrc2=size=162x122:rate=24 -t 1.5 -vf crop=161:121:0:0:exact=1 -c:v ffv1 "
     "-pix_fmt yuv420p"},
    {"mpeg2.ts",
     "-f lavfi -i testsrc2=size=176x144:rate=25 -t 2 -c:v mpeg2video -bf 2 -g 12 -q:v 4"},
    {"prores.mov", ZR8_TEST_SOURCE "-t 1 -c:v prores_ks -profile:v 2"},
    {"mjpeg.avi", ZR8_TEST_SOURCE "-t 1 -c:v mjpeg -pix_fmt yuvj420p -q:v 4"},
    {"vfr.mkv",
     ZR8_TEST_SOURCE "-t 2 "
                     "-vf 'setpts=(N*40+if(gte(N\\,20)\\,200\\,0)+if(gte(N\\,30)\\,(N-30)*20\\,0))/"
                     "1000/TB' -fps_mode passthrough " ZR8_X264 "-bf 2 -pix_fmt yuv420p"},
    {"offset_start.mp4", "-f lavfi -i testsrc2=size=96x64:rate=30 -t 1.5 " ZR8_X264
                         "-bf 2 -pix_fmt yuv420p -output_ts_offset 3.5"},
};

// Damaged pictures: bytes of one P picture in a long GOP, a slice of an IDR picture, and bytes of
// one picture of a raw stream (ordered by one decode); a transport stream cut inside an open GOP,
// whose first pictures cannot be decoded and are not counted; packets the decoder drops.
const Clip kDamaged[] = {
    {"damaged_long_gop.mp4", ZR8_TEST_SOURCE "-t 8 " ZR8_X264 "-bf 2 -g 250 -pix_fmt yuv420p",
     false, 40, 24},
    {"damaged_idr_slice.mp4",
     ZR8_TEST_SOURCE "-t 4 " ZR8_X264 "-bf 2 -g 25 -x264-params slices=4 -pix_fmt yuv420p", false,
     25, 16},
    {"damaged.h264", ZR8_TEST_SOURCE "-t 4 -c:v libx264 -bf 2 -g 50 -pix_fmt yuv420p", false, 30,
     64},
    {"open_gop_cut.ts",
     "ffmpeg -nostdin -y -f lavfi -i testsrc2=size=128x96:rate=25 -t 3 -c:v libx264 -preset fast "
     "-x264-params keyint=12:min-keyint=12:open-gop=1:bframes=3:b-adapt=0:scenecut=0 "
     "-pix_fmt yuv420p -f mpegts \"$OUT.ts\" && tail -c +7521 \"$OUT.ts\" >\"$OUT\"",
     true},
    // Ten transport packets lost a third of the way in: the demuxer marks the packet they cut, and
    // the decoder shows fewer pictures than there are packets.
    {"lost_transport_packets.ts",
     "ffmpeg -nostdin -y -f lavfi -i testsrc2=size=176x144:rate=25 -t 4 -c:v libx264 -bf 2 -g 12 "
     "-f mpegts \"$OUT.ts\" && n=$(($(stat -c %s \"$OUT.ts\") / 188 / 3)) && "
     "{ head -c $((n * 188)) \"$OUT.ts\"; tail -c +$(((n + 10) * 188 + 1)) \"$OUT.ts\"; } "
     ">\"$OUT\"",
     true, 33},
    // One packet of an MP4 overwritten with text, its NAL unit length included: the decoder drops
    // it without a picture.
    {"unsplit_packet.mp4",
     "ffmpeg -nostdin -y -f lavfi -i testsrc2=size=176x144:rate=25 -t 4 -c:v libx264 -bf 2 -g 25 "
     "\"$OUT.mp4\" && set -- $(ffprobe -v error -select_streams v:0 -show_entries packet=pos,size "
     "-of csv=p=0 \"$OUT.mp4\" | sed -n 31p | tr , ' ') && yes abcdefgh | head -c $1 | "
     "dd of=\"$OUT.mp4\" bs=1 seek=$2 conv=notrunc status=none && mv \"$OUT.mp4\" \"$OUT\"",
     true, 30},
};

// Files written by other toolchains: GStreamer's encoder and muxers, and mkvmerge (which makes
// the times of a raw stream's pictures itself).
#define ZR8_TEST_GST                                               \
  "gst-launch-1.0 -q videotestsrc num-buffers=100 pattern=ball ! " \
  "video/x-raw,width=96,height=64,framerate=25/1 ! x264enc key-int-max=12 bframes=2 ! "
const Clip kOtherToolchains[] = {
    {"gstreamer.mp4", ZR8_TEST_GST "mp4mux ! filesink location=\"$OUT\"", true},
    {"gstreamer.mkv", ZR8_TEST_GST "matroskamux ! filesink location=\"$OUT\"", true},
    {"gstreamer.avi", ZR8_TEST_GST "avimux ! filesink location=\"$OUT\"", true},
    {"mkvmerge.mkv",
     "ffmpeg -nostdin -y " ZR8_TEST_SOURCE "-t 4 -c:v libx264 -bf 3 -g 12 -pix_fmt yuv420p "
     "-f h264 mkvmerge-source.h264 && mkvmerge -q -o \"$OUT\" mkvmerge-source.h264",
     true},
};

// The file, made once and damaged as the clip says.
fs::path MakeClip(const Clip& clip) {
  if (clip.shell) return media::MakeByShell(clip.name, clip.arguments);
  if (clip.damagedPacket < 0) return media::Make(clip.name, clip.arguments);
  const fs::path damaged = media::Dir() / clip.name;
  if (fs::exists(damaged)) return damaged;
  const fs::path clean = media::Make(std::string("clean-") + clip.name, clip.arguments);
  std::istringstream packets(media::Capture(
      "ffprobe -v error -select_streams v:0 -show_entries packet=pos,size -of csv=p=0 " +
      media::Quote(clean.string())));
  std::string line;
  for (int n = 0; n <= clip.damagedPacket; ++n) std::getline(packets, line);
  // ffprobe writes a packet's size before its position.
  const int64_t size = std::stoll(line);
  const int64_t start =
      std::stoll(line.substr(line.find(',') + 1)) + size / 2 - clip.damagedBytes / 2;
  std::string bytes = media::ReadBytes(clean);
  std::mt19937 random(7);
  for (int64_t i = 0; i < clip.damagedBytes; ++i) bytes[start + i] = static_cast<char>(random());
  const fs::path partial = media::Dir() / (std::string("partial-") + clip.name);
  std::ofstream(partial, std::ios::binary) << bytes;
  fs::rename(partial, damaged);
  return damaged;
}

const Clip& Named(const char* name) {
  return *std::find_if(std::begin(kCleanTimes), std::end(kCleanTimes),
                       [&](const Clip& clip) { return std::string(clip.name) == name; });
}

class FrameIdentityTest : public testing::TestWithParam<Clip> {};

TEST_P(FrameIdentityTest, EveryFrameInOrderAndAtRandom) {
  const fs::path path = MakeClip(GetParam());
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

  // A picture the decoder conceals, and those that refer to it, depend on how its threads ran:
  // FFmpeg's own decodes with one thread and with several differ there, and runs with several do
  // not always agree. In a damaged file, the frames of a group (from one key frame to the next)
  // where those two decodes differ, or that holds the damaged packet, must come with their size;
  // all others must be exact.
  std::vector<bool> concealed(count);
  if (std::any_of(std::begin(kDamaged), std::end(kDamaged),
                  [&](const Clip& clip) { return clip.name == GetParam().name; })) {
    const std::string quoted = media::Quote(path.string());
    const std::string single = media::Capture(
        "ffmpeg -nostdin -loglevel error -threads 1 -i " + quoted +
        " -map 0:v:0 -fps_mode passthrough -f rawvideo -pix_fmt yuv420p - </dev/null");
    ASSERT_EQ(single.size(), reference.size());
    std::istringstream lines(media::Capture(
        "ffprobe -v error -select_streams v:0 -show_entries frame=key_frame -of csv=p=0 " +
        quoted));
    std::vector<bool> key;
    for (std::string line; std::getline(lines, line);) {
      if (!line.empty()) key.push_back(line[0] == '1');  // "1" or "1," (with side data)
    }
    ASSERT_EQ(static_cast<int64_t>(key.size()), count);
    for (int64_t first = 0, end = 1; first < count; first = end++) {
      while (end < count && !key[end]) ++end;
      // The group of the damaged packet (its frame number is about its decode index) as well:
      // what its concealment draws on differs between runs of FFmpeg's own threads.
      const int damaged = GetParam().damagedPacket;
      bool differs = first <= damaged && damaged < end;
      for (int64_t n = first; n < end; ++n) {
        differs = differs || single.compare(n * size, size, reference, n * size, size) != 0;
      }
      std::fill(concealed.begin() + first, concealed.begin() + end, differs);
    }
  }

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

std::string ClipName(const testing::TestParamInfo<Clip>& info) {
  return media::Printable(info.param.name);
}

INSTANTIATE_TEST_SUITE_P(NoPresentationTimes, FrameIdentityTest,
                         testing::ValuesIn(kNoPresentationTimes), ClipName);
INSTANTIATE_TEST_SUITE_P(OtherToolchains, FrameIdentityTest, testing::ValuesIn(kOtherToolchains),
                         ClipName);
INSTANTIATE_TEST_SUITE_P(Damaged, FrameIdentityTest, testing::ValuesIn(kDamaged), ClipName);
INSTANTIATE_TEST_SUITE_P(CleanTimes, FrameIdentityTest, testing::ValuesIn(kCleanTimes), ClipName);

// Each pixel type against ffmpeg's conversion of the same frames to the same layout; asked for 0,
// the stream's own layout.
struct TypeCase {
  int32_t asked;
  int32_t delivered;
  const char* pixFmt;
  const char* clip;
};

const TypeCase kTypes[] = {
    {0x2000, 0x2000, "yuv420p", "hevc_10bit.mkv"},
    {0x2004, 0x2004, "p010le", "hevc_10bit.mkv"},
    {0x2005, 0x2005, "p016le", "hevc_10bit.mkv"},
    {0, 0x2004, "p010le", "hevc_10bit.mkv"},
    {0, 0x2000, "yuv420p", "h264_bframes.mp4"},
    {0x2001, 0x2001, "nv12", "h264_bframes.mp4"},
    {0x2002, 0x2002, "yuv420p", "h264_bframes.mp4"},
    {0x2003, 0x2003, "yuv422p", "h264_bframes.mp4"},
    {0x1000, 0x1000, "yuyv422", "h264_bframes.mp4"},
    {0x1001, 0x1001, "uyvy422", "h264_bframes.mp4"},
    {0x2008, 0x2008, "yuv444p", "h264_bframes.mp4"},
    {0x0100, 0x0100, "rgba", "h264_bframes.mp4"},
    {0x0400, 0x0400, "rgb24", "h264_bframes.mp4"},
    {0x0401, 0x0401, "bgr24", "h264_bframes.mp4"},
    {0x0101, 0x0101, "rgba64le", "h264_bframes.mp4"},
    {0x2000, 0x2000, "yuv420p", "mjpeg.avi"},
    {0x2000, 0x2000, "yuv420p", "prores.mov"},
    {0x0100, 0x0100, "rgba", "mjpeg.avi"},
};

class PixelTypeTest : public testing::TestWithParam<TypeCase> {};

TEST_P(PixelTypeTest, MatchesFFmpegConversion) {
  const TypeCase& type = GetParam();
  const fs::path path = MakeClip(Named(type.clip));
  handles::File file = handles::OpenFile(path);
  ASSERT_TRUE(file);
  handles::Video video = handles::OpenVideo(file.get(), type.asked);
  ASSERT_TRUE(video);
  Zr8DecodePrefs inEffect{};
  ASSERT_EQ(ZR8READER_ReadVideoStream_GetDecodePrefs(video.get(), &inEffect), 0);
  EXPECT_EQ(inEffect.pixelType, type.delivered);
  const std::string reference = media::ReferenceVideo(path, type.pixFmt);
  const int64_t count = ZR8READER_ReadVideoStream_GetFrameCount(video.get());
  ASSERT_GT(count, 0);
  const size_t size = reference.size() / count;
  ASSERT_EQ(size * count, reference.size());
  Zr8VideoFormat format{};
  ASSERT_EQ(ZR8READER_ReadVideoStream_GetFormat(video.get(), &format), 0);
  // YV12 and YV16: the second and third planes exchanged.
  const bool swap = type.delivered == 0x2002 || type.delivered == 0x2003;
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

INSTANTIATE_TEST_SUITE_P(Types, PixelTypeTest, testing::ValuesIn(kTypes), [](const auto& info) {
  return media::Printable(std::to_string(info.param.asked) + "_" + info.param.pixFmt + "_" +
                          info.param.clip);
});

// The frame index on packet lists alone: packets in decode order with these presentation times,
// key frames where `keys` says 'K'.
std::vector<zr8::PacketEntry> Packets(const std::vector<int64_t>& times, const std::string& keys) {
  std::vector<zr8::PacketEntry> packets;
  for (size_t i = 0; i < times.size(); ++i) {
    const auto n = static_cast<int64_t>(i);
    packets.push_back(zr8::PacketEntry{times[i], n, n * 100, 1, 100, keys[i] == 'K', true});
  }
  return packets;
}

TEST(FrameIndexTest, OpenGopLeadingPicturesStartFromTheGopBefore) {
  // I0 P3 B1 B2 | I6 B4 B5 P9 B7 B8: B4 and B5 refer to P3 (open GOP).
  zr8::FrameIndex index;
  ASSERT_TRUE(index.OrderByTimes(Packets({0, 3, 1, 2, 6, 4, 5, 9, 7, 8}, "K...K.....")));
  ASSERT_EQ(index.frameCount(), 10);
  const std::vector<int64_t> decodeOrder{0, 2, 3, 1, 5, 6, 4, 8, 9, 7};
  const std::vector<int64_t> key{0, 0, 0, 0, 0, 0, 4, 4, 4, 4};  // 4 and 5: leading pictures
  for (int64_t n = 0; n < 10; ++n) {
    EXPECT_EQ(index.decodeIndexOf(n), decodeOrder[n]) << n;
    EXPECT_EQ(index.keys()[index.KeyFor(n)], key[n]) << n;
  }
  EXPECT_EQ(index.FrameOf(4), 6);
}

TEST(FrameIndexTest, MissingOrRepeatedTimesNeedADecode) {
  zr8::FrameIndex index;
  auto packets = Packets({0, 2, 1}, "K..");
  packets[2].pts = -0x7fffffffffffffffLL - 1;  // AV_NOPTS_VALUE
  EXPECT_FALSE(index.OrderByTimes(packets));
  EXPECT_FALSE(index.OrderByTimes(Packets({0, 2, 2}, "K..")));
  // The decode presented packets 0, 2, 1 and dropped 3; packet 1 came out twice.
  index.OrderByOutputs(Packets({0, 0, 0, 0}, "K..."), {0, 2, 1, 1, -1, 17});
  ASSERT_EQ(index.frameCount(), 3);
  EXPECT_EQ(index.decodeIndexOf(1), 2);
  EXPECT_EQ(index.FrameOf(3), zr8::FrameIndex::kNone);
  EXPECT_EQ(index.FrameOf(99), zr8::FrameIndex::kNone);
  EXPECT_FALSE(index.byTimes());
}

TEST(FrameIndexTest, StreamCutInsideAGopShowsFromItsFirstKeyFrame) {
  // B-1 P2 | I4 B3 P6 B5: the first two packets and B3 (shown before I4) refer to what is missing.
  zr8::FrameIndex index;
  ASSERT_TRUE(index.OrderByTimes(Packets({1, 2, 4, 3, 6, 5}, "..K...")));
  ASSERT_EQ(index.frameCount(), 3);
  EXPECT_EQ(index.decodeIndexOf(0), 2);
  EXPECT_EQ(index.decodeIndexOf(1), 5);
  EXPECT_EQ(index.FrameOf(3), zr8::FrameIndex::kNone);
  EXPECT_EQ(index.keys()[index.KeyFor(2)], 2);
}

// Two places read in turn keep a decoding position each: one seek for each, no frame decoded twice
// beyond the decoder's look-ahead (one key frame only, with B-frames).
TEST(DecodingPositionsTest, AlternatingRequestsDecodeEachFrameOnce) {
  const auto path =
      media::Make("positions.mp4", ZR8_TEST_SOURCE
                  "-t 4 " ZR8_X264 "-bf 3 -x264-params keyint=250:min-keyint=250:scenecut=0");
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

// A request decodes from the key frame it needs (one earlier at most), never from the start of the
// file, also on streams without times (found by their place in the file).
TEST(DecodingPositionsTest, RequestsDecodeFromTheirKeyFrame) {
  const struct {
    const char* name;
    const char* arguments;
    uint64_t most;  // frames one request may decode
  } cases[] = {
      {"bounded.h264", ZR8_TEST_SOURCE "-t 8 " ZR8_X264 "-bf 2 -g 25", 2 * 25 + 8},
      {"bounded.m2v", ZR8_TEST_SOURCE "-t 8 -c:v mpeg2video -bf 2 -g 25", 2 * 25 + 8},
      {"bounded.mpg", ZR8_TEST_SOURCE "-t 8 -c:v mpeg2video -bf 2 -g 25 -f mpeg", 2 * 25 + 8},
      // Key frames every 10 frames, no B-frames: from the frame's own key frame.
      {"gop10.mp4",
       "-f lavfi -i testsrc2=size=64x48:rate=25 -t 4 " ZR8_X264
       "-bf 0 -x264-params keyint=10:min-keyint=10:scenecut=0",
       10},
  };
  for (const auto& c : cases) {
    auto stream =
        handles::OpenStream(media::Make(c.name, c.arguments), handles::StreamPrefs(kI420, 1));
    ASSERT_TRUE(stream) << c.name;
    const int64_t count = stream->frameCount();
    for (int64_t n : {count - 9, count * 3 / 5, count * 3 / 10 + 1, count - 23}) {
      const uint64_t decoded = stream->decodedFrames();
      EXPECT_FALSE(handles::Picture(*stream, n).empty()) << c.name << " " << n;
      EXPECT_LE(stream->decodedFrames() - decoded, c.most) << c.name << " " << n;
    }
    EXPECT_EQ(stream->rereads(), 0u) << c.name;
  }
}

// The client's frame files on the real library hold exactly FFmpeg's pictures at the frames its
// modes request: the first 128 (or all), pairs from the start and the middle, pictures in OpenCL
// buffers, and a file whose times do not give the order of its pictures.
TEST(RealVideo, TheClientWritesFFmpegsPictures) {
  const fs::path packed = MakeClip(kNoPresentationTimes[7]);
  std::vector<int64_t> pairs;
  for (int64_t i = 0; i < 32; ++i) pairs.insert(pairs.end(), {i, 100 + i});
  const struct {
    fs::path clip;
    std::vector<std::string> options;
    std::vector<int64_t> frames;
    size_t size;
  } runs[] = {
      {media::LongClip(), {}, video_output::FirstFrames(128), media::kSmallPicture},
      {media::LongClip(), {"-gpu_buffer"}, video_output::FirstFrames(128), media::kSmallPicture},
      {media::LongClip(), {"-dualstream"}, pairs, media::kSmallPicture},
      {packed, {}, video_output::FirstFrames(100), 96 * 64 * 3 / 2},
  };
  for (const auto& run : runs) {
    SCOPED_TRACE(run.clip.filename().string() + " " + (run.options.empty() ? "" : run.options[0]));
    harness::ClientRun client;
    client.WithLibrary(harness::Library::kReal);
    fs::copy_file(run.clip, client.dir() / ("in" + run.clip.extension().string()));
    std::vector<std::string> arguments{"in" + run.clip.extension().string(), "-video", "-extract"};
    arguments.insert(arguments.end(), run.options.begin(), run.options.end());
    const auto result = client.Run(arguments);
    if (run.options.empty() && run.frames.size() == 128) {
      EXPECT_NE(result.out.find("Frame rate:   25\nInterlace:    0\nAspect ratio: 1\n"
                                "Frame size:   64x48\nPixel format: I420\nFourCC: avc1\n\n"),
                std::string::npos);
    }
    const std::string reference = media::ReferenceVideo(run.clip, "yuv420p");
    EXPECT_TRUE(result.File("zr8reader.I420") == media::Pictures(reference, run.frames, run.size));
    if (run.options.empty()) {
      EXPECT_NE(result.out.find("Written " + std::to_string(run.frames.size() * run.size) +
                                " bytes for  " + std::to_string(run.frames.size()) +
                                " frames to file '" + harness::Prefix() + "zr8reader.I420'\n"),
                std::string::npos)
          << result.out;
    }
  }
}

}  // namespace
