#include "GpuStore.h"

#include <CL/cl.h>

#include <map>
#include <mutex>
#include <new>
#include <vector>

namespace zr8 {
namespace {

struct ContextReleaser {
  void operator()(cl_context context) const { clReleaseContext(context); }
};
struct QueueReleaser {
  void operator()(cl_command_queue queue) const { clReleaseCommandQueue(queue); }
};
struct MemReleaser {
  void operator()(cl_mem memory) const { clReleaseMemObject(memory); }
};
using ContextPtr = std::unique_ptr<std::remove_pointer_t<cl_context>, ContextReleaser>;
using QueuePtr = std::unique_ptr<std::remove_pointer_t<cl_command_queue>, QueueReleaser>;
using MemPtr = std::unique_ptr<std::remove_pointer_t<cl_mem>, MemReleaser>;

// What the store and its pictures share: the context, the queue, and released buffers by size.
class OpenCLShared {
 public:
  OpenCLShared(ContextPtr context, QueuePtr queue)
      : context_(std::move(context)), queue_(std::move(queue)) {}

  cl_command_queue queue() const { return queue_.get(); }

  MemPtr Take(size_t size) {
    {
      std::lock_guard lock(mutex_);
      auto found = free_.find(size);
      if (found != free_.end() && !found->second.empty()) {
        MemPtr memory = std::move(found->second.back());
        found->second.pop_back();
        return memory;
      }
    }
    cl_int error = CL_SUCCESS;
    MemPtr memory(
        clCreateBuffer(context_.get(), CL_MEM_READ_WRITE, size == 0 ? 1 : size, nullptr, &error));
    if (error != CL_SUCCESS) memory.reset();
    return memory;
  }

  void Give(size_t size, MemPtr memory) {
    std::lock_guard lock(mutex_);
    auto& list = free_[size];
    if (list.size() < kKeepPerSize) list.push_back(std::move(memory));
  }

 private:
  static constexpr size_t kKeepPerSize = 16;
  // Buffers go before the context and queue they belong to.
  ContextPtr context_;
  QueuePtr queue_;
  std::mutex mutex_;
  std::map<size_t, std::vector<MemPtr>> free_;
};

class OpenCLPicture final : public DevicePicture {
 public:
  OpenCLPicture(std::shared_ptr<OpenCLShared> shared, MemPtr memory, size_t size)
      : shared_(std::move(shared)), memory_(std::move(memory)), size_(size) {}
  ~OpenCLPicture() override {
    Unmap();
    shared_->Give(size_, std::move(memory_));
  }

  uint8_t* Map() override {
    if (mapped_ != nullptr) return mapped_;
    cl_int error = CL_SUCCESS;
    void* bytes =
        clEnqueueMapBuffer(shared_->queue(), memory_.get(), CL_TRUE, CL_MAP_READ | CL_MAP_WRITE, 0,
                           size_ == 0 ? 1 : size_, 0, nullptr, nullptr, &error);
    mapped_ = error == CL_SUCCESS ? static_cast<uint8_t*>(bytes) : nullptr;
    return mapped_;
  }

  void Unmap() override {
    if (mapped_ == nullptr) return;
    clEnqueueUnmapMemObject(shared_->queue(), memory_.get(), mapped_, 0, nullptr, nullptr);
    clFinish(shared_->queue());
    mapped_ = nullptr;
  }

  void* Buffer() const override { return memory_.get(); }

 private:
  std::shared_ptr<OpenCLShared> shared_;
  MemPtr memory_;
  size_t size_;
  uint8_t* mapped_ = nullptr;
};

class OpenCLStore final : public PictureStore {
 public:
  explicit OpenCLStore(std::shared_ptr<OpenCLShared> shared)
      : shared_(std::move(shared)), staging_(MemoryPool::Create(4)) {}

  Block Acquire(size_t size) override { return staging_->Acquire(size); }
  bool InCpuMemory() const override { return false; }

  std::unique_ptr<DevicePicture> Upload(const Block& block) override {
    MemPtr memory = shared_->Take(block.size());
    if (!memory) return nullptr;
    if (block.size() > 0 &&
        clEnqueueWriteBuffer(shared_->queue(), memory.get(), CL_TRUE, 0, block.size(), block.data(),
                             0, nullptr, nullptr) != CL_SUCCESS) {
      return nullptr;
    }
    return std::make_unique<OpenCLPicture>(shared_, std::move(memory), block.size());
  }

 private:
  std::shared_ptr<OpenCLShared> shared_;
  std::shared_ptr<MemoryPool> staging_;
};

}  // namespace

std::shared_ptr<PictureStore> MakeOpenCLStore(const Zr8OpenCLContextInfo& info) {
  auto* context = static_cast<cl_context>(info.context);
  auto* queue = static_cast<cl_command_queue>(info.commandQueue);
  if (context == nullptr || queue == nullptr) return nullptr;
  cl_context owner = nullptr;
  if (clGetCommandQueueInfo(queue, CL_QUEUE_CONTEXT, sizeof(owner), &owner, nullptr) !=
          CL_SUCCESS ||
      owner != context) {
    return nullptr;
  }
  if (clRetainContext(context) != CL_SUCCESS) return nullptr;
  ContextPtr heldContext(context);
  if (clRetainCommandQueue(queue) != CL_SUCCESS) return nullptr;
  QueuePtr heldQueue(queue);
  return std::make_shared<OpenCLStore>(
      std::make_shared<OpenCLShared>(std::move(heldContext), std::move(heldQueue)));
}

}  // namespace zr8
