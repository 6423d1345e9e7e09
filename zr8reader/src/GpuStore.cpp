// Pictures in OpenCL buffers that the host can map (CL_MEM_ALLOC_HOST_PTR: memory the device and
// the host share where the platform has it, pinned memory otherwise). A picture is written into a
// mapping of its buffer and stays mapped for the CPU's locks; it moves to the device (the unmap,
// the one transfer) only when the caller asks for the buffer. Everything goes through a queue of
// the store's own on the caller's device, so the caller's queue is never waited on.
#include "GpuStore.h"

#include <CL/cl.h>

#include <cstring>
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

// A buffer and, while the host holds it, its mapping.
struct MappedBuffer {
  MemPtr memory;
  uint8_t* mapped = nullptr;
  bool writable = false;  // whether the mapping's content goes back to the device at unmap
};

// What the store and its pictures share: the context, the store's queue, and released buffers by
// size (kept mapped, ready for the next picture).
class OpenCLShared {
 public:
  OpenCLShared(ContextPtr context, QueuePtr queue)
      : context_(std::move(context)), queue_(std::move(queue)) {}
  ~OpenCLShared() {
    for (auto& [size, list] : free_) {
      for (MappedBuffer& buffer : list) Unmap(buffer);
    }
    clFinish(queue_.get());
  }

  // A buffer of `size` bytes mapped for writing its whole content; an empty one on failure.
  MappedBuffer Take(size_t size) {
    MappedBuffer buffer;
    {
      std::lock_guard lock(mutex_);
      auto found = free_.find(size);
      if (found != free_.end() && !found->second.empty()) {
        buffer = std::move(found->second.back());
        found->second.pop_back();
      }
    }
    if (!buffer.memory) {
      cl_int error = CL_SUCCESS;
      buffer.memory.reset(clCreateBuffer(context_.get(), CL_MEM_READ_WRITE | CL_MEM_ALLOC_HOST_PTR,
                                         Bytes(size), nullptr, &error));
      if (error != CL_SUCCESS) return {};
    }
    // Already mapped for writing (a released picture's), or mapped now without reading anything
    // back: the whole buffer is about to be written.
    if (buffer.mapped == nullptr && !Map(buffer, CL_MAP_WRITE_INVALIDATE_REGION, size)) return {};
    return buffer;
  }

  void Give(size_t size, MappedBuffer buffer) {
    // A buffer in the list is mapped for writing; one the device had is mapped again when taken.
    if (buffer.mapped != nullptr && !buffer.writable) Unmap(buffer);
    std::lock_guard lock(mutex_);
    auto& list = free_[size];
    if (list.size() < kKeepPerSize) {
      list.push_back(std::move(buffer));
    } else {
      Unmap(buffer);
    }
  }

  // Maps the buffer on the store's queue, waiting for the mapping only.
  bool Map(MappedBuffer& buffer, cl_map_flags flags, size_t size) {
    cl_int error = CL_SUCCESS;
    void* bytes = clEnqueueMapBuffer(queue_.get(), buffer.memory.get(), CL_TRUE, flags, 0,
                                     Bytes(size), 0, nullptr, nullptr, &error);
    if (error != CL_SUCCESS) return false;
    buffer.mapped = static_cast<uint8_t*>(bytes);
    buffer.writable = (flags & (CL_MAP_WRITE | CL_MAP_WRITE_INVALIDATE_REGION)) != 0;
    return true;
  }

  // Ends the buffer's mapping; a read-only mapping writes nothing back.
  void Unmap(MappedBuffer& buffer) {
    if (buffer.mapped == nullptr) return;
    clEnqueueUnmapMemObject(queue_.get(), buffer.memory.get(), buffer.mapped, 0, nullptr, nullptr);
    buffer.mapped = nullptr;
  }

  // Waits for the store's own queue (never the caller's).
  void Finish() { clFinish(queue_.get()); }

 private:
  static size_t Bytes(size_t size) { return size == 0 ? 1 : size; }

  static constexpr size_t kKeepPerSize = 16;
  // Buffers go before the context and queue they belong to.
  ContextPtr context_;
  QueuePtr queue_;
  std::mutex mutex_;
  std::map<size_t, std::vector<MappedBuffer>> free_;
};

class OpenCLPicture final : public DevicePicture {
 public:
  OpenCLPicture(std::shared_ptr<OpenCLShared> shared, MappedBuffer buffer, size_t size)
      : shared_(std::move(shared)), buffer_(std::move(buffer)), size_(size) {}
  ~OpenCLPicture() override { shared_->Give(size_, std::move(buffer_)); }

  uint8_t* Map(bool writable) override {
    if (buffer_.mapped != nullptr && (buffer_.writable || !writable)) return buffer_.mapped;
    // The device has had the picture (or the host read it and now writes): a mapping that reads
    // it back, and writes only when asked to.
    shared_->Unmap(buffer_);
    if (!shared_->Map(buffer_, writable ? CL_MAP_READ | CL_MAP_WRITE : CL_MAP_READ, size_)) {
      return nullptr;
    }
    return buffer_.mapped;
  }

  // The mapping stays for later locks; the device gets the picture when it asks (Buffer).
  void Unmap() override {}

  void* Buffer() const override {
    if (buffer_.mapped != nullptr) {
      shared_->Unmap(buffer_);
      shared_->Finish();
    }
    return buffer_.memory.get();
  }

 private:
  std::shared_ptr<OpenCLShared> shared_;
  mutable MappedBuffer buffer_;
  size_t size_;
};

class OpenCLStore final : public PictureStore {
 public:
  explicit OpenCLStore(std::shared_ptr<OpenCLShared> shared)
      : shared_(std::move(shared)), staging_(MemoryPool::Create()) {}

  Block Acquire(size_t size) override { return staging_->Acquire(size); }
  bool InCpuMemory() const override { return false; }

  std::unique_ptr<DevicePicture> Upload(const Block& block) override {
    MappedBuffer buffer = shared_->Take(block.size());
    if (!buffer.memory) return nullptr;
    if (block.size() > 0) std::memcpy(buffer.mapped, block.data(), block.size());
    return std::make_unique<OpenCLPicture>(shared_, std::move(buffer), block.size());
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
  cl_device_id device = nullptr;
  if (clGetCommandQueueInfo(queue, CL_QUEUE_CONTEXT, sizeof(owner), &owner, nullptr) !=
          CL_SUCCESS ||
      owner != context ||
      clGetCommandQueueInfo(queue, CL_QUEUE_DEVICE, sizeof(device), &device, nullptr) !=
          CL_SUCCESS) {
    return nullptr;
  }
  if (clRetainContext(context) != CL_SUCCESS) return nullptr;
  ContextPtr heldContext(context);
  // The store's own queue on the caller's device.
  cl_int error = CL_SUCCESS;
  QueuePtr own(clCreateCommandQueue(context, device, 0, &error));
  if (error != CL_SUCCESS) return nullptr;
  return std::make_shared<OpenCLStore>(
      std::make_shared<OpenCLShared>(std::move(heldContext), std::move(own)));
}

}  // namespace zr8
