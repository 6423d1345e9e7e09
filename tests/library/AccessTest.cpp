// Decoding positions and the process-wide decoder thread budget.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "Media.h"
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
  // A limit of its own; alone again, a stream takes a share of the budget at its next seek.
  auto limited = OpenStream(path.string(), 1);
  EXPECT_EQ(limited->decoderThreads(), 1);
  limited.reset();
  streams.resize(1);
  Picture(*streams[0], 3);
  Picture(*streams[0], 45);
  EXPECT_EQ(streams[0]->decoderThreads(), budget.total());
  streams.clear();
  EXPECT_EQ(budget.inUse(), 0);
}

}  // namespace
