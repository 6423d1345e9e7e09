// Decoding positions, kept pictures, recycled picture memory and the process-wide decoder thread
// budget.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "FrameCache.h"
#include "Media.h"
#include "PictureMemory.h"
#include "ThreadBudget.h"
#include "VideoStream.h"

namespace {

std::unique_ptr<zr8::VideoStream> OpenStream(const std::string& path, uint32_t threads) {
  Zr8DecodePrefs prefs{};
  prefs.pixelType = 0x2000;
  prefs.decoderThreads = threads;
  std::unique_ptr<zr8::VideoStream> stream;
  EXPECT_EQ(
      zr8::VideoStream::Open(path, 0, &prefs, std::make_shared<zr8::CpuPictureStore>(), &stream),
      0);
  return stream;
}

std::vector<uint8_t> Picture(zr8::VideoStream& stream, int64_t n) {
  zr8::Image* image = nullptr;
  EXPECT_EQ(stream.GetFrame(n, &image), 0);
  if (image == nullptr) return {};
  const uint8_t* bytes = image->Lock();
  std::vector<uint8_t> copy(bytes, bytes + image->layout().totalSize);
  image->Unlock();
  delete image;
  return copy;
}

TEST(DecodingPositionsTest, AlternatingRequestsDecodeEachFrameOnceAndExactly) {
  // One key frame only, with B-frames: every place is reached from frame 0.
  const auto path = media::Make(
      "positions.mp4",
      "-f lavfi -i testsrc2=size=96x64:rate=25 -t 4 -c:v libx264 -preset ultrafast -bf 3 "
      "-x264-params keyint=250:min-keyint=250:scenecut=0");
  auto sequential = OpenStream(path.string(), 1);
  auto alternating = OpenStream(path.string(), 1);
  ASSERT_TRUE(sequential && alternating);
  const int64_t middle = sequential->frameCount() / 2;
  std::vector<std::vector<uint8_t>> pictures;
  for (int64_t n = 0; n < sequential->frameCount(); ++n)
    pictures.push_back(Picture(*sequential, n));
  for (int64_t n = 0; n < 20; ++n) {
    EXPECT_EQ(Picture(*alternating, n), pictures[n]) << n;
    EXPECT_EQ(Picture(*alternating, middle + n), pictures[middle + n]) << middle + n;
  }
  // Two places read forward: one seek for each, no frame decoded twice beyond the decoder's
  // look-ahead.
  EXPECT_LE(alternating->seeks(), 2u);
  EXPECT_LE(alternating->decodedFrames(), static_cast<uint64_t>(middle + 20 + 20 + 8));
}

TEST(DecodingPositionsTest, PicturesPassedOnTheWayAreKeptExactly) {
  // Key frames every 50 frames, no B-frames: frame 40 is reached through frames 0..39.
  const auto path = media::Make(
      "gop50.mp4",
      "-f lavfi -i testsrc2=size=96x64:rate=25 -t 4 -c:v libx264 -preset ultrafast -bf 0 "
      "-x264-params keyint=50:min-keyint=50:scenecut=0");
  auto reference = OpenStream(path.string(), 1);
  auto stream = OpenStream(path.string(), 0);
  ASSERT_TRUE(reference && stream);
  std::vector<std::vector<uint8_t>> pictures;
  for (int64_t n = 0; n < reference->frameCount(); ++n) pictures.push_back(Picture(*reference, n));

  EXPECT_EQ(Picture(*stream, 40), pictures[40]);
  const uint64_t decoded = stream->decodedFrames();
  // Behind the only position, among the 32 dearest of the 40 passed: from the cache.
  for (int64_t n : {39, 25, 38}) EXPECT_EQ(Picture(*stream, n), pictures[n]) << n;
  EXPECT_EQ(stream->cacheHits(), 3u);
  EXPECT_EQ(stream->decodedFrames(), decoded);
  // A picture taken from the cache and then asked for again is still exact.
  EXPECT_EQ(Picture(*stream, 45), pictures[45]);
  EXPECT_EQ(Picture(*stream, 39), pictures[39]);
  for (int64_t n : {99, 60, 1, 0, 98}) EXPECT_EQ(Picture(*stream, n), pictures[n]) << n;
}

TEST(FrameCacheTest, KeepsTheDearestPictures) {
  auto picture = [](uint8_t value) {
    zr8::FramePtr frame = zr8::MakeFrame();
    frame->format = AV_PIX_FMT_YUV420P;
    frame->width = 32;
    frame->height = 16;
    EXPECT_EQ(av_frame_get_buffer(frame.get(), 0), 0);
    for (int plane = 0; plane < 3; ++plane) {
      const int lines = plane == 0 ? 16 : 8;
      std::memset(frame->data[plane], value + plane, size_t(frame->linesize[plane]) * lines);
    }
    return frame;
  };
  zr8::FrameCache cache;
  zr8::FramePtr a = picture(10), b = picture(20), c = picture(30), d = picture(40);
  cache.Offer(1, 5, *a, 2);
  cache.Offer(2, 3, *b, 2);
  av_frame_unref(a.get());   // the cache holds its own reference
  cache.Offer(3, 4, *c, 2);  // dearer than picture 2, which goes
  cache.Offer(4, 1, *d, 2);  // cheaper than both: not kept
  EXPECT_EQ(cache.size(), 2u);
  zr8::FramePtr out = zr8::MakeFrame();
  EXPECT_FALSE(cache.Take(2, out.get()));
  EXPECT_FALSE(cache.Take(4, out.get()));
  ASSERT_TRUE(cache.Take(1, out.get()));
  EXPECT_EQ(out->width, 32);
  for (int plane = 0; plane < 3; ++plane) EXPECT_EQ(out->data[plane][7], 10 + plane) << plane;
  EXPECT_EQ(cache.size(), 1u);
  cache.Trim(0);
  EXPECT_EQ(cache.size(), 0u);
  cache.Offer(5, 9, *c, 0);
  EXPECT_EQ(cache.size(), 0u);
}

TEST(PictureMemoryTest, ReleasedBuffersAreReused) {
  zr8::PictureMemory& memory = zr8::PictureMemory::Instance();
  const size_t size = 3 * 1024 * 1024 + 77;  // a size of its own
  AVBufferRef* first = memory.Get(size);
  ASSERT_NE(first, nullptr);
  uint8_t* bytes = first->data;
  std::memset(bytes, 1, size);
  const size_t kept = memory.keptBytes();
  av_buffer_unref(&first);
  EXPECT_EQ(memory.keptBytes(), kept + zr8::PictureFootprint(size));
  AVBufferRef* second = memory.Get(size);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(second->data, bytes);
  EXPECT_EQ(memory.keptBytes(), kept);
  av_buffer_unref(&second);
}

TEST(ThreadBudgetTest, OpenStreamsShareCoresPlusOneThreads) {
  const auto path = media::Make(
      "budget.mp4",
      "-f lavfi -i testsrc2=size=320x240:rate=25 -t 2 -c:v libx264 -preset ultrafast -g 10");
  zr8::ThreadBudget& budget = zr8::ThreadBudget::Instance();
  std::vector<std::unique_ptr<zr8::VideoStream>> streams;
  for (int i = 0; i < 6; ++i) {
    streams.push_back(OpenStream(path.string(), 0));
    ASSERT_TRUE(streams.back());
    for (auto& stream : streams) Picture(*stream, (7 * i) % stream->frameCount());
    int threads = 0;
    for (auto& stream : streams) {
      if (stream->decoderThreads() > 1) threads += stream->decoderThreads();
    }
    EXPECT_LE(threads, budget.total()) << i + 1 << " streams";
    EXPECT_EQ(threads, budget.inUse());
  }
  // A limit of its own; alone again, a stream takes a share of the budget at its next seek: the
  // cores, as it keeps more than one decoding position.
  auto limited = OpenStream(path.string(), 1);
  EXPECT_EQ(limited->decoderThreads(), 1);
  limited.reset();
  streams.resize(1);
  Picture(*streams[0], 3);
  Picture(*streams[0], 45);
  EXPECT_EQ(streams[0]->decoderThreads(), std::max(budget.total() - 1, 1));
  streams.clear();
  EXPECT_EQ(budget.inUse(), 0);
}

// A request decodes from the key frame it needs (one earlier at most), never from the start of the
// file: on a stream without times (found by its place in the file), and past a damaged picture.
TEST(BoundedCostTest, RequestsDecodeFromTheirKeyFrame) {
  const struct {
    const char* name;
    const char* arguments;
  } cases[] = {
      {"bounded.h264",
       "-f lavfi -i testsrc2=size=96x64:rate=25 -t 8 -c:v libx264 -preset ultrafast -bf 2 -g 25"},
      {"bounded.m2v", "-f lavfi -i testsrc2=size=96x64:rate=25 -t 8 -c:v mpeg2video -bf 2 -g 25"},
      {"bounded.mpg",
       "-f lavfi -i testsrc2=size=96x64:rate=25 -t 8 -c:v mpeg2video -bf 2 -g 25 -f mpeg"},
  };
  for (const auto& c : cases) {
    auto stream = OpenStream(media::Make(c.name, c.arguments).string(), 1);
    ASSERT_TRUE(stream) << c.name;
    for (int64_t n : {190, 120, 60, 170}) {
      const uint64_t decoded = stream->decodedFrames();
      EXPECT_FALSE(Picture(*stream, n).empty()) << c.name << " " << n;
      EXPECT_LE(stream->decodedFrames() - decoded, 2u * 25 + 8) << c.name << " " << n;
    }
    EXPECT_EQ(stream->rereads(), 0u) << c.name;
  }
}

}  // namespace
