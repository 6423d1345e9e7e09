// Pools and memory: blocks recycled by size, a steady decode that allocates no picture memory,
// picture buffers reused, the pictures kept on the way to a frame, and pictures in OpenCL buffers
// (on the OpenCL device the machine has, PoCL's CPU device here).
#include <CL/cl.h>
#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "Handles.h"
#include "PictureMemory.h"

namespace {

namespace fs = std::filesystem;

// Released blocks are kept up to the pool's bytes, whatever their sizes.
TEST(MemoryPoolTest, ReleasedBlocksServeTheNextRequestOfTheirSizeAndOutliveThePool) {
  auto pool = zr8::MemoryPool::Create(2500);
  uint8_t* first = pool->Acquire(1000).data();
  EXPECT_EQ(reinterpret_cast<uintptr_t>(first) % 16, 0u);
  EXPECT_EQ(pool->keptBytes(), 1000u);
  zr8::Block again = pool->Acquire(1000);
  EXPECT_EQ(again.data(), first);
  EXPECT_NE(pool->Acquire(2000).data(), first);
  EXPECT_EQ(pool->keptBytes(), 2000u);
  { zr8::Block a = pool->Acquire(1000), b = pool->Acquire(1000), c = pool->Acquire(400); }
  EXPECT_EQ(pool->keptBytes(), 2400u);  // the 2000-byte block, then the 400: no room for a 1000
  EXPECT_EQ(pool->allocations(), 5u);
  pool.reset();
  again.data()[999] = 1;  // still valid; freed on release
}

TEST(MemoryPoolTest, SharedByThreads) {
  auto pool = zr8::MemoryPool::Create(64 << 10);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 2000; ++i) pool->Acquire(256 + (i % 3) * 64).data()[0] = uint8_t(i);
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_LE(pool->allocations(), 4u * 3u);
}

// A steady decode allocates one picture and never seeks after its opening; a repeated request
// decodes nothing; a released picture buffer serves the next picture of its size.
TEST(PictureReuseTest, SteadyDecodeReusesPictureMemory) {
  const fs::path path = media::Named("pool_clip.mp4");
  auto store = std::make_shared<zr8::CpuPictureStore>();
  auto stream = handles::OpenStream(path, handles::StreamPrefs(0x2000), {}, store);
  ASSERT_TRUE(stream);
  for (int64_t n = 0; n < stream->frameCount(); ++n) {
    ASSERT_FALSE(handles::Picture(*stream, n).empty());
  }
  EXPECT_EQ(store->pool()->allocations(), 1u);
  EXPECT_EQ(stream->seeks(), 1u);
  const uint64_t decoded = stream->decodedFrames();
  ASSERT_FALSE(handles::Picture(*stream, stream->frameCount() - 1).empty());
  EXPECT_EQ(stream->decodedFrames(), decoded);

  zr8::PictureMemory& memory = zr8::PictureMemory::Instance();
  const size_t size = 3 * 1024 * 1024 + 77;  // a size of its own
  AVBufferRef* buffer = memory.Get(size);
  ASSERT_NE(buffer, nullptr);
  uint8_t* bytes = buffer->data;
  std::memset(bytes, 1, size);
  const size_t kept = memory.keptBytes();
  av_buffer_unref(&buffer);
  EXPECT_EQ(memory.keptBytes(), kept + zr8::PictureFootprint(size));
  buffer = memory.Get(size);
  ASSERT_NE(buffer, nullptr);
  EXPECT_EQ(buffer->data, bytes);
  EXPECT_EQ(memory.keptBytes(), kept);
  av_buffer_unref(&buffer);
}

// Frame 40 is reached through frames 0..39 (key frames every 50 frames, no B-frames): the dearest
// of those passed are kept, exactly, and served without a decode.
TEST(FrameCacheTest, PicturesPassedOnTheWayAreKeptExactly) {
  const fs::path path = media::Named("gop50.mp4");
  auto reference = handles::OpenStream(path, handles::StreamPrefs(0x2000, 1));
  auto stream = handles::OpenStream(path, handles::StreamPrefs(0x2000, 0));
  ASSERT_TRUE(reference && stream);
  std::vector<std::string> pictures;
  for (int64_t n = 0; n < reference->frameCount(); ++n) {
    pictures.push_back(handles::Picture(*reference, n));
  }
  EXPECT_EQ(handles::Picture(*stream, 40), pictures[40]);
  const uint64_t decoded = stream->decodedFrames();
  // Behind the only position, among the 32 dearest of the 40 passed: from the cache.
  for (int64_t n : {39, 25, 38}) EXPECT_EQ(handles::Picture(*stream, n), pictures[n]) << n;
  EXPECT_EQ(stream->cacheHits(), 3u);
  EXPECT_EQ(stream->decodedFrames(), decoded);
  // A picture taken from the cache and then asked for again is still exact.
  for (int64_t n : {45, 39, 99, 60, 1, 0, 98}) {
    EXPECT_EQ(handles::Picture(*stream, n), pictures[n]) << n;
  }
}

// Through the entry points: a GPU pool's pictures lie in buffers of the caller's context, which
// the pool keeps alive when the caller lets go of it, each holding FFmpeg's picture.
TEST(GpuPoolTest, PicturesLiveInBuffersOfTheGivenContext) {
  cl_platform_id platform = nullptr;
  cl_device_id device = nullptr;
  if (clGetPlatformIDs(1, &platform, nullptr) != CL_SUCCESS ||
      clGetDeviceIDs(platform, CL_DEVICE_TYPE_ALL, 1, &device, nullptr) != CL_SUCCESS) {
    GTEST_SKIP() << "no OpenCL device";
  }
  cl_context context = clCreateContext(nullptr, 1, &device, nullptr, nullptr, nullptr);
  cl_command_queue queue = clCreateCommandQueue(context, device, 0, nullptr);
  ASSERT_TRUE(context && queue);
  const Zr8OpenCLContextInfo info{device, platform, context, queue, nullptr, nullptr, {}};
  void* raw = nullptr;
  ASSERT_EQ(ZR8READER_CreateImagePoolGPU(&info, &raw), 0);
  handles::ImagePool pool(raw);
  clReleaseCommandQueue(queue);
  clReleaseContext(context);
  const fs::path clip = media::Named("gpu_store.mkv");
  const std::string reference = media::ReferenceVideo(clip, "rgba");
  auto file = handles::OpenFile(clip);
  auto video = handles::OpenVideo(file.get(), ZR8_PIXEL_RGBA_8u, pool.get());
  ASSERT_TRUE(video);
  const size_t size = 48 * 32 * 4;
  for (int64_t n : {0, 7, 3}) {
    ASSERT_EQ(ZR8READER_ReadVideoStream_GetFrame(video.get(), n, &raw), 0);
    handles::Image image(raw);
    auto buffer = static_cast<cl_mem>(ZR8READER_Image_LockForOpenCL(image.get(), 1));
    cl_context owner = nullptr;
    clGetMemObjectInfo(buffer, CL_MEM_CONTEXT, sizeof owner, &owner, nullptr);
    EXPECT_EQ(owner, context);
    std::string read(size, '\0');
    queue = clCreateCommandQueue(owner, device, 0, nullptr);
    EXPECT_EQ(
        clEnqueueReadBuffer(queue, buffer, CL_TRUE, 0, size, read.data(), 0, nullptr, nullptr),
        CL_SUCCESS);
    clReleaseCommandQueue(queue);
    EXPECT_TRUE(read == reference.substr(n * size, size)) << "frame " << n;
    EXPECT_TRUE(handles::Frame(video.get(), n) == read);
  }
}

}  // namespace
