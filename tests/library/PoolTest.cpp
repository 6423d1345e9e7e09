// The pools behind the handles: recycling, and a steady decode that allocates no picture memory.
#include <gtest/gtest.h>

#include <thread>

#include "Media.h"
#include "Pools.h"
#include "VideoStream.h"

namespace {

TEST(MemoryPoolTest, ReleasedBlocksServeTheNextRequestOfTheirSize) {
  auto pool = zr8::MemoryPool::Create(2);
  uint8_t* first = nullptr;
  {
    zr8::Block block = pool->Acquire(1000);
    first = block.data();
    EXPECT_EQ(reinterpret_cast<uintptr_t>(first) % 16, 0u);
  }
  zr8::Block again = pool->Acquire(1000);
  EXPECT_EQ(again.data(), first);
  zr8::Block other = pool->Acquire(2000);
  EXPECT_NE(other.data(), first);
  EXPECT_EQ(pool->allocations(), 2u);
}

TEST(MemoryPoolTest, BlocksOutliveTheirPool) {
  zr8::Block block;
  {
    auto pool = zr8::MemoryPool::Create();
    block = pool->Acquire(64);
  }
  block.data()[63] = 1;  // still valid; freed on release
}

TEST(MemoryPoolTest, SharedByThreads) {
  auto pool = zr8::MemoryPool::Create(8);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 2000; ++i) {
        zr8::Block block = pool->Acquire(256 + (i % 3) * 64);
        block.data()[0] = static_cast<uint8_t>(i);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_LE(pool->allocations(), 4u * 3u);
}

TEST(VideoStreamPoolTest, SteadyDecodeReusesPictureMemory) {
  const auto path = media::Make(
      "pool_clip.mp4",
      "-f lavfi -i testsrc2=size=128x96:rate=25 -t 2 -c:v libx264 -preset ultrafast -bf 2");
  auto store = std::make_shared<zr8::CpuPictureStore>();
  std::unique_ptr<zr8::VideoStream> stream;
  Zr8DecodePrefs prefs{};
  prefs.pixelType = 0x2000;
  ASSERT_EQ(zr8::VideoStream::Open(path.string(), 0, &prefs, store, &stream), 0);
  for (int64_t n = 0; n < stream->frameCount(); ++n) {
    zr8::Image* image = nullptr;
    ASSERT_EQ(stream->GetFrame(n, &image), 0);
    delete image;
  }
  EXPECT_EQ(store->pool()->allocations(), 1u);
  // Sequential reading never seeks after the opening one; a repeated request decodes nothing.
  EXPECT_EQ(stream->seeks(), 1u);
  const uint64_t decoded = stream->decodedFrames();
  zr8::Image* image = nullptr;
  ASSERT_EQ(stream->GetFrame(stream->frameCount() - 1, &image), 0);
  delete image;
  EXPECT_EQ(stream->decodedFrames(), decoded);
}

TEST(VideoStreamPoolTest, RandomAccessDecodesFromTheNearestKeyFrame) {
  // Key frames every 10 frames, no B-frames: frame 47 needs frames 40..47 only.
  const auto path = media::Make(
      "gop10.mp4",
      "-f lavfi -i testsrc2=size=64x48:rate=25 -t 4 -c:v libx264 -preset ultrafast -bf 0 "
      "-x264-params keyint=10:min-keyint=10:scenecut=0");
  std::unique_ptr<zr8::VideoStream> stream;
  ASSERT_EQ(zr8::VideoStream::Open(path.string(), 0, nullptr,
                                   std::make_shared<zr8::CpuPictureStore>(), &stream),
            0);
  ASSERT_EQ(stream->frameCount(), 100);
  zr8::Image* image = nullptr;
  ASSERT_EQ(stream->GetFrame(47, &image), 0);
  delete image;
  EXPECT_LE(stream->decodedFrames(), 8u);
  // Ahead in the same GOP: no seek.
  const uint64_t seeks = stream->seeks();
  ASSERT_EQ(stream->GetFrame(49, &image), 0);
  delete image;
  EXPECT_EQ(stream->seeks(), seeks);
}

}  // namespace
