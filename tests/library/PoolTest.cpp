// Pools and memory: blocks recycled by size, a steady decode that allocates no picture memory,
// picture buffers reused, the pictures kept on the way to a frame, and pictures in OpenCL buffers
// (on the OpenCL device the machine has, PoCL's CPU device here), whose OpenCL calls are counted by
// wrappers that this file puts in front of the OpenCL library for the whole test program.
#include <CL/cl.h>
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <utility>

#include "GpuStore.h"
#include "Handles.h"
#include "PictureMemory.h"

namespace {

namespace fs = std::filesystem;

struct Calls {
  std::vector<cl_map_flags> maps;
  int unmaps = 0;
  int copies = 0;  // reads and writes of whole buffers
  std::vector<cl_command_queue> finished;
};
Calls gCalls;

template <typename F>
F Next(F, const char* name) {
  return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" {

void* clEnqueueMapBuffer(cl_command_queue queue, cl_mem buffer, cl_bool blocking,
                         cl_map_flags flags, size_t offset, size_t size, cl_uint waits,
                         const cl_event* waitList, cl_event* event, cl_int* error) {
  static auto next = Next(&clEnqueueMapBuffer, "clEnqueueMapBuffer");
  gCalls.maps.push_back(flags);
  return next(queue, buffer, blocking, flags, offset, size, waits, waitList, event, error);
}

cl_int clEnqueueUnmapMemObject(cl_command_queue queue, cl_mem memory, void* mapped, cl_uint waits,
                               const cl_event* waitList, cl_event* event) {
  static auto next = Next(&clEnqueueUnmapMemObject, "clEnqueueUnmapMemObject");
  ++gCalls.unmaps;
  return next(queue, memory, mapped, waits, waitList, event);
}

cl_int clEnqueueWriteBuffer(cl_command_queue queue, cl_mem buffer, cl_bool blocking, size_t offset,
                            size_t size, const void* bytes, cl_uint waits, const cl_event* waitList,
                            cl_event* event) {
  static auto next = Next(&clEnqueueWriteBuffer, "clEnqueueWriteBuffer");
  ++gCalls.copies;
  return next(queue, buffer, blocking, offset, size, bytes, waits, waitList, event);
}

cl_int clEnqueueReadBuffer(cl_command_queue queue, cl_mem buffer, cl_bool blocking, size_t offset,
                           size_t size, void* bytes, cl_uint waits, const cl_event* waitList,
                           cl_event* event) {
  static auto next = Next(&clEnqueueReadBuffer, "clEnqueueReadBuffer");
  ++gCalls.copies;
  return next(queue, buffer, blocking, offset, size, bytes, waits, waitList, event);
}

cl_int clFinish(cl_command_queue queue) {
  static auto next = Next(&clFinish, "clFinish");
  gCalls.finished.push_back(queue);
  return next(queue);
}

}  // extern "C"

namespace {

TEST(MemoryPoolTest, ReleasedBlocksServeTheNextRequestOfTheirSizeAndOutliveThePool) {
  auto pool = zr8::MemoryPool::Create(2);
  uint8_t* first = pool->Acquire(1000).data();
  EXPECT_EQ(reinterpret_cast<uintptr_t>(first) % 16, 0u);
  zr8::Block again = pool->Acquire(1000);
  EXPECT_EQ(again.data(), first);
  EXPECT_NE(pool->Acquire(2000).data(), first);
  EXPECT_EQ(pool->allocations(), 2u);
  pool.reset();
  again.data()[999] = 1;  // still valid; freed on release
}

TEST(MemoryPoolTest, SharedByThreads) {
  auto pool = zr8::MemoryPool::Create(8);
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
  const auto path = media::Make(
      "pool_clip.mp4",
      "-f lavfi -i testsrc2=size=128x96:rate=25 -t 2 -c:v libx264 -preset ultrafast -bf 2");
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
  const auto path = media::Make(
      "gop50.mp4",
      "-f lavfi -i testsrc2=size=96x64:rate=25 -t 4 -c:v libx264 -preset ultrafast -bf 0 "
      "-x264-params keyint=50:min-keyint=50:scenecut=0");
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

// A store of pictures in buffers of the caller's context (which the fixture lets go of at once).
class GpuStoreTest : public testing::Test {
 protected:
  void SetUp() override {
    cl_platform_id platform = nullptr;
    if (clGetPlatformIDs(1, &platform, nullptr) != CL_SUCCESS ||
        clGetDeviceIDs(platform, CL_DEVICE_TYPE_ALL, 1, &device_, nullptr) != CL_SUCCESS) {
      GTEST_SKIP() << "no OpenCL device";
    }
    cl_context context = clCreateContext(nullptr, 1, &device_, nullptr, nullptr, nullptr);
    queue_ = clCreateCommandQueue(context, device_, 0, nullptr);
    ASSERT_TRUE(context && queue_);
    info_.device = device_;
    info_.platform = platform;
    info_.context = context;
    info_.commandQueue = queue_;
    store_ = zr8::MakeOpenCLStore(info_);
    ASSERT_TRUE(store_);
    clReleaseContext(context);
    gCalls = {};
  }
  void TearDown() override {
    store_.reset();
    if (queue_ != nullptr) clReleaseCommandQueue(queue_);
    // Whatever the store did, it never waited on the caller's queue.
    for (cl_command_queue queue : gCalls.finished) EXPECT_NE(queue, info_.commandQueue);
  }

  std::unique_ptr<zr8::DevicePicture> Upload(const std::string& bytes) {
    zr8::Block block = store_->Acquire(bytes.size());
    std::memcpy(block.data(), bytes.data(), bytes.size());
    return store_->Upload(block);
  }

  // The buffer's bytes, read on a queue of its own; the buffer must belong to the caller's context.
  std::string Read(void* buffer, size_t size) {
    cl_context owner = nullptr;
    clGetMemObjectInfo(static_cast<cl_mem>(buffer), CL_MEM_CONTEXT, sizeof owner, &owner, nullptr);
    EXPECT_EQ(owner, info_.context);
    std::string bytes(size, '\0');
    cl_command_queue queue = clCreateCommandQueue(owner, device_, 0, nullptr);
    EXPECT_EQ(clEnqueueReadBuffer(queue, static_cast<cl_mem>(buffer), CL_TRUE, 0, size,
                                  bytes.data(), 0, nullptr, nullptr),
              CL_SUCCESS);
    clReleaseCommandQueue(queue);
    return bytes;
  }

  cl_device_id device_ = nullptr;
  cl_command_queue queue_ = nullptr;
  Zr8OpenCLContextInfo info_{};
  std::shared_ptr<zr8::PictureStore> store_;
};

TEST_F(GpuStoreTest, ThePictureMovesToTheDeviceOnlyWhenItIsAskedFor) {
  const std::string first(4096, 'a');
  const std::string second(4096, 'b');
  auto picture = Upload(first);
  ASSERT_TRUE(picture);
  // Written into a mapping that reads nothing back; read by the CPU from it, with no transfer.
  ASSERT_EQ(gCalls.maps, std::vector<cl_map_flags>{CL_MAP_WRITE_INVALIDATE_REGION});
  for (int lock = 0; lock < 2; ++lock) {
    EXPECT_EQ(std::memcmp(picture->Map(false), first.data(), first.size()), 0);
    picture->Unmap();
  }
  EXPECT_EQ(gCalls.maps.size(), 1u);
  EXPECT_EQ(gCalls.unmaps + gCalls.copies, 0);

  // Its buffer, still mapped, serves the next picture as it is.
  picture.reset();
  picture = Upload(second);
  EXPECT_EQ(gCalls.maps.size(), 1u);
  EXPECT_EQ(gCalls.unmaps, 0);

  // The device's use: one unmap, then the device holds the picture.
  void* buffer = picture->Buffer();
  EXPECT_EQ(gCalls.unmaps, 1);
  EXPECT_EQ(gCalls.copies, 0);
  EXPECT_EQ(Read(buffer, second.size()), second);

  // A read-only lock after the device maps for reading only, so that its end writes nothing back;
  // a lock that writes maps again for writing.
  gCalls = {};
  ASSERT_NE(picture->Map(false), nullptr);
  picture->Unmap();
  EXPECT_EQ(gCalls.maps, std::vector<cl_map_flags>{CL_MAP_READ});
  picture->Buffer();
  picture->Map(true)[0] = 'c';
  picture->Unmap();
  EXPECT_EQ(gCalls.maps, (std::vector<cl_map_flags>{CL_MAP_READ, CL_MAP_READ | CL_MAP_WRITE}));
  EXPECT_EQ(Read(picture->Buffer(), 1), "c");
}

fs::path GpuClip() {
  return media::Make("gpu_store.mkv", "-f lavfi -i testsrc2=size=48x32:rate=10 -t 2 -c:v ffv1");
}

TEST_F(GpuStoreTest, DeliversTheFramesOfTheCpuStoreWithoutCopies) {
  auto cpu = handles::OpenStream(GpuClip(), handles::StreamPrefs(0x2001));
  auto gpu = handles::OpenStream(GpuClip(), handles::StreamPrefs(0x2001), {}, store_);
  ASSERT_TRUE(cpu && gpu);
  gCalls = {};
  for (int64_t n : {0, 1, 2, 15, 3, 19}) {
    EXPECT_EQ(handles::Picture(*gpu, n), handles::Picture(*cpu, n)) << "frame " << n;
  }
  // Pictures read on the CPU only never travel: no copies, no unmaps, no waits.
  EXPECT_EQ(gCalls.copies + gCalls.unmaps, 0);
  EXPECT_TRUE(gCalls.finished.empty());
}

// Through the entry points: a GPU pool's pictures lie in buffers of the caller's context, which
// the pool keeps alive when the caller lets go of it, each holding FFmpeg's picture.
TEST_F(GpuStoreTest, PoolPicturesLiveInBuffersOfTheGivenContext) {
  void* raw = nullptr;
  ASSERT_EQ(ZR8READER_CreateImagePoolGPU(&info_, &raw), 0);
  handles::ImagePool pool(raw);
  store_.reset();
  clReleaseCommandQueue(std::exchange(queue_, nullptr));
  const std::string reference = media::ReferenceVideo(GpuClip(), "rgba");
  auto file = handles::OpenFile(GpuClip());
  auto video = handles::OpenVideo(file.get(), ZR8_PIXEL_RGBA_8u, pool.get());
  ASSERT_TRUE(video);
  const size_t size = 48 * 32 * 4;
  for (int64_t n : {0, 7, 3}) {
    ASSERT_EQ(ZR8READER_ReadVideoStream_GetFrame(video.get(), n, &raw), 0);
    handles::Image image(raw);
    const std::string read = Read(ZR8READER_Image_LockForOpenCL(image.get(), 1), size);
    EXPECT_TRUE(read == reference.substr(n * size, size)) << "frame " << n;
    EXPECT_TRUE(handles::Frame(video.get(), n) == read);
  }
}

}  // namespace
