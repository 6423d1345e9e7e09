// Memory pools: blocks of bytes recycled by size, shared by any number of streams and threads.
// A block returns to its pool when released, and is freed instead when the pool is gone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "Handle.h"

namespace zr8 {

// Frees a block's bytes (FreePictureBytes), which knows their size.
struct BlockFree {
  size_t size = 0;
  void operator()(uint8_t* bytes) const;
};
using Bytes = std::unique_ptr<uint8_t[], BlockFree>;

class MemoryPool;

// A block of memory on loan from a pool.
class Block {
 public:
  Block() = default;
  Block(Block&&) = default;
  Block& operator=(Block&&) noexcept;
  ~Block();

  uint8_t* data() const { return bytes_.get(); }
  size_t size() const { return size_; }
  explicit operator bool() const { return bytes_ != nullptr; }

 private:
  friend class MemoryPool;
  void Release();

  std::weak_ptr<MemoryPool> pool_;
  Bytes bytes_;
  size_t size_ = 0;
};

class MemoryPool : public std::enable_shared_from_this<MemoryPool> {
 public:
  // Released blocks kept for reuse, by their footprint (PictureFootprint): a steady decode of
  // 4K RGBA_16u pictures (66 MB each) still finds the one it released.
  static constexpr size_t kKeepBytes = size_t{128} << 20;

  // keepBytes: how much released memory the pool keeps for reuse, all sizes together.
  static std::shared_ptr<MemoryPool> Create(size_t keepBytes = kKeepBytes);

  // A block of at least `size` bytes (exactly `size` usable), 64-byte aligned.
  Block Acquire(size_t size);

  // How many blocks were newly allocated so far (reuse does not count).
  uint64_t allocations() const;
  // The footprint of the released blocks kept.
  size_t keptBytes() const;

 private:
  friend class Block;
  explicit MemoryPool(size_t keepBytes) : keepBytes_(keepBytes) {}
  void Return(size_t size, Bytes bytes);

  mutable std::mutex mutex_;
  std::map<size_t, std::vector<Bytes>> free_;
  size_t keepBytes_;
  size_t keptBytes_ = 0;
  uint64_t allocations_ = 0;
};

// A picture kept in device memory (an OpenCL buffer), mapped into system memory on demand.
class DevicePicture {
 public:
  virtual ~DevicePicture() = default;
  // The picture's bytes for the CPU until Unmap; null when the mapping fails. What is written
  // through a mapping that is not `writable` may never reach the device.
  virtual uint8_t* Map(bool writable) = 0;
  virtual void Unmap() = 0;
  // The device's own handle of the memory (a cl_mem), holding the picture for the device's use.
  virtual void* Buffer() const = 0;
};

// Where pictures live. The CPU store keeps them in recycled system memory; a store on a GPU
// (OpenCL) takes this place for the streams that are given such a pool: pictures are converted
// into system memory from Acquire, then moved to the device by Upload.
class PictureStore {
 public:
  virtual ~PictureStore() = default;
  virtual Block Acquire(size_t size) = 0;
  virtual bool InCpuMemory() const = 0;
  // The converted picture in the store's device memory; null on failure (or for a CPU store).
  virtual std::unique_ptr<DevicePicture> Upload(const Block&) { return nullptr; }
};

class CpuPictureStore final : public PictureStore {
 public:
  CpuPictureStore() : pool_(MemoryPool::Create()) {}
  Block Acquire(size_t size) override { return pool_->Acquire(size); }
  bool InCpuMemory() const override { return true; }
  const std::shared_ptr<MemoryPool>& pool() const { return pool_; }

 private:
  std::shared_ptr<MemoryPool> pool_;
};

class BufferPoolHandle final : public Handle {
 public:
  static constexpr HandleKind kKind = HandleKind::kBufferPool;
  BufferPoolHandle() : Handle(kKind), pool_(MemoryPool::Create()) {}
  const std::shared_ptr<MemoryPool>& pool() const { return pool_; }

 private:
  std::shared_ptr<MemoryPool> pool_;
};

class ImagePoolHandle final : public Handle {
 public:
  static constexpr HandleKind kKind = HandleKind::kImagePool;
  explicit ImagePoolHandle(std::shared_ptr<PictureStore> store)
      : Handle(kKind), store_(std::move(store)) {}
  const std::shared_ptr<PictureStore>& store() const { return store_; }

 private:
  std::shared_ptr<PictureStore> store_;
};

// Layout of a delivered picture: up to four tightly packed planes.
struct PictureLayout {
  int32_t pixelType = 0;
  uint32_t width = 0;
  uint32_t height = 0;
  int planes = 0;
  uint32_t rowBytes[4] = {};
  uint32_t rows[4] = {};
  size_t offsets[4] = {};
  size_t totalSize = 0;
};

class Image final : public Handle {
 public:
  static constexpr HandleKind kKind = HandleKind::kImage;
  Image(Block block, const PictureLayout& layout, double par, uint32_t attributes)
      : Handle(kKind),
        block_(std::move(block)),
        layout_(layout),
        par_(par),
        attributes_(attributes) {}
  Image(std::unique_ptr<DevicePicture> device, const PictureLayout& layout, double par,
        uint32_t attributes)
      : Handle(kKind),
        device_(std::move(device)),
        layout_(layout),
        par_(par),
        attributes_(attributes) {}

  // A picture in device memory is mapped by the first lock (again by a lock that writes after
  // locks that only read); the device picture keeps its mapping after the last unlock, until the
  // device asks for the buffer.
  uint8_t* Lock(bool writable = true) {
    if (device_ && (locks_ == 0 || writable)) {
      mapped_ = device_->Map(writable);
      if (mapped_ == nullptr) return nullptr;
    }
    ++locks_;
    return device_ ? mapped_ : block_.data();
  }
  bool Unlock() {
    if (locks_ == 0) return false;
    if (--locks_ == 0 && device_) {
      device_->Unmap();
      mapped_ = nullptr;
    }
    return true;
  }
  // The device memory's handle; null for a picture in system memory.
  void* DeviceBuffer() const { return device_ ? device_->Buffer() : nullptr; }
  const PictureLayout& layout() const { return layout_; }
  double par() const { return par_; }
  uint32_t attributes() const { return attributes_; }

 private:
  Block block_;
  std::unique_ptr<DevicePicture> device_;
  uint8_t* mapped_ = nullptr;
  PictureLayout layout_;
  double par_;
  uint32_t attributes_;
  int locks_ = 0;
};

}  // namespace zr8
