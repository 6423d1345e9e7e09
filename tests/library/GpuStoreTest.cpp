// Pictures in OpenCL buffers, on the OpenCL device the machine has (PoCL's CPU device here): the
// OpenCL calls the store makes are counted by wrappers that this file puts in front of the OpenCL
// library for the whole test program.
#include <CL/cl.h>
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "GpuStore.h"
#include "Media.h"
#include "VideoStream.h"

namespace {

struct Calls {
  std::vector<cl_map_flags> maps;
  int unmaps = 0;
  int copies = 0;  // reads and writes of whole buffers
  std::vector<cl_command_queue> finished;
};
Calls gCalls;

template <typename F>
F Next(const char* name) {
  return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" {

void* clEnqueueMapBuffer(cl_command_queue queue, cl_mem buffer, cl_bool blocking,
                         cl_map_flags flags, size_t offset, size_t size, cl_uint waits,
                         const cl_event* waitList, cl_event* event, cl_int* error) {
  static auto next = Next<decltype(&clEnqueueMapBuffer)>("clEnqueueMapBuffer");
  gCalls.maps.push_back(flags);
  return next(queue, buffer, blocking, flags, offset, size, waits, waitList, event, error);
}

cl_int clEnqueueUnmapMemObject(cl_command_queue queue, cl_mem memory, void* mapped, cl_uint waits,
                               const cl_event* waitList, cl_event* event) {
  static auto next = Next<decltype(&clEnqueueUnmapMemObject)>("clEnqueueUnmapMemObject");
  ++gCalls.unmaps;
  return next(queue, memory, mapped, waits, waitList, event);
}

cl_int clEnqueueWriteBuffer(cl_command_queue queue, cl_mem buffer, cl_bool blocking, size_t offset,
                            size_t size, const void* bytes, cl_uint waits, const cl_event* waitList,
                            cl_event* event) {
  static auto next = Next<decltype(&clEnqueueWriteBuffer)>("clEnqueueWriteBuffer");
  ++gCalls.copies;
  return next(queue, buffer, blocking, offset, size, bytes, waits, waitList, event);
}

cl_int clEnqueueReadBuffer(cl_command_queue queue, cl_mem buffer, cl_bool blocking, size_t offset,
                           size_t size, void* bytes, cl_uint waits, const cl_event* waitList,
                           cl_event* event) {
  static auto next = Next<decltype(&clEnqueueReadBuffer)>("clEnqueueReadBuffer");
  ++gCalls.copies;
  return next(queue, buffer, blocking, offset, size, bytes, waits, waitList, event);
}

cl_int clFinish(cl_command_queue queue) {
  static auto next = Next<decltype(&clFinish)>("clFinish");
  gCalls.finished.push_back(queue);
  return next(queue);
}

}  // extern "C"

namespace {

class GpuStore : public testing::Test {
 protected:
  void SetUp() override {
    cl_platform_id platform = nullptr;
    if (clGetPlatformIDs(1, &platform, nullptr) != CL_SUCCESS ||
        clGetDeviceIDs(platform, CL_DEVICE_TYPE_ALL, 1, &device_, nullptr) != CL_SUCCESS) {
      GTEST_SKIP() << "no OpenCL device";
    }
    cl_int error = CL_SUCCESS;
    context_ = clCreateContext(nullptr, 1, &device_, nullptr, nullptr, &error);
    ASSERT_EQ(error, CL_SUCCESS);
    queue_ = clCreateCommandQueue(context_, device_, 0, &error);
    ASSERT_EQ(error, CL_SUCCESS);
    Zr8OpenCLContextInfo info{};
    info.device = device_;
    info.platform = platform;
    info.context = context_;
    info.commandQueue = queue_;
    store_ = zr8::MakeOpenCLStore(info);
    ASSERT_TRUE(store_);
    gCalls = {};
  }
  void TearDown() override {
    store_.reset();
    if (queue_ != nullptr) clReleaseCommandQueue(queue_);
    if (context_ != nullptr) clReleaseContext(context_);
    // Whatever the store did, it never waited on the caller's queue.
    for (cl_command_queue queue : gCalls.finished) EXPECT_NE(queue, queue_);
  }

  std::unique_ptr<zr8::DevicePicture> Upload(const std::string& bytes) {
    zr8::Block block = store_->Acquire(bytes.size());
    std::memcpy(block.data(), bytes.data(), bytes.size());
    return store_->Upload(block);
  }

  std::string Read(cl_mem buffer, size_t size) {
    std::string bytes(size, '\0');
    EXPECT_EQ(
        clEnqueueReadBuffer(queue_, buffer, CL_TRUE, 0, size, bytes.data(), 0, nullptr, nullptr),
        CL_SUCCESS);
    return bytes;
  }

  cl_device_id device_ = nullptr;
  cl_context context_ = nullptr;
  cl_command_queue queue_ = nullptr;
  std::shared_ptr<zr8::PictureStore> store_;
};

TEST_F(GpuStore, ThePictureMovesToTheDeviceOnlyWhenItIsAskedFor) {
  const std::string first(4096, 'a');
  const std::string second(4096, 'b');
  auto picture = Upload(first);
  ASSERT_TRUE(picture);
  // Written into a mapping that reads nothing back; read by the CPU from it, with no transfer.
  ASSERT_EQ(gCalls.maps, std::vector<cl_map_flags>{CL_MAP_WRITE_INVALIDATE_REGION});
  for (int lock = 0; lock < 2; ++lock) {
    const uint8_t* bytes = picture->Map(false);
    ASSERT_NE(bytes, nullptr);
    EXPECT_EQ(std::memcmp(bytes, first.data(), first.size()), 0);
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
  auto* buffer = static_cast<cl_mem>(picture->Buffer());
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
  uint8_t* writable = picture->Map(true);
  ASSERT_NE(writable, nullptr);
  writable[0] = 'c';
  picture->Unmap();
  EXPECT_EQ(gCalls.maps, (std::vector<cl_map_flags>{CL_MAP_READ, CL_MAP_READ | CL_MAP_WRITE}));
  EXPECT_EQ(Read(static_cast<cl_mem>(picture->Buffer()), 1), "c");
}

TEST_F(GpuStore, DeliversTheFramesOfTheCpuStoreWithoutCopies) {
  const auto path =
      media::Make("gpu_store.mkv", "-f lavfi -i testsrc2=size=48x32:rate=10 -t 2 -c:v ffv1");
  Zr8DecodePrefs prefs{};
  prefs.pixelType = 0x2001;
  std::unique_ptr<zr8::VideoStream> cpu;
  std::unique_ptr<zr8::VideoStream> gpu;
  ASSERT_EQ(zr8::VideoStream::Open(path.string(), 0, &prefs,
                                   std::make_shared<zr8::CpuPictureStore>(), &cpu),
            0);
  ASSERT_EQ(zr8::VideoStream::Open(path.string(), 0, &prefs, store_, &gpu), 0);
  gCalls = {};
  for (int64_t n : {0, 1, 2, 15, 3, 19}) {
    zr8::Image* made = nullptr;
    ASSERT_EQ(gpu->GetFrame(n, &made), 0);
    std::unique_ptr<zr8::Image> onDevice(made);
    ASSERT_EQ(cpu->GetFrame(n, &made), 0);
    std::unique_ptr<zr8::Image> inMemory(made);
    const size_t size = inMemory->layout().totalSize;
    const uint8_t* bytes = onDevice->Lock(false);
    ASSERT_NE(bytes, nullptr);
    EXPECT_EQ(std::memcmp(bytes, inMemory->Lock(false), size), 0) << "frame " << n;
    onDevice->Unlock();
    inMemory->Unlock();
  }
  // Pictures read on the CPU only never travel: no copies, no unmaps, no waits.
  EXPECT_EQ(gCalls.copies + gCalls.unmaps, 0);
  EXPECT_TRUE(gCalls.finished.empty());
}

}  // namespace
