#include "Pools.h"

extern "C" {
#include <libavutil/mem.h>
}

#include <new>

#include "PictureMemory.h"

namespace zr8 {

void BlockFree::operator()(uint8_t* bytes) const {
  FreePictureBytes(bytes, size);
}

Block& Block::operator=(Block&& other) noexcept {
  if (this != &other) {
    Release();
    pool_ = std::move(other.pool_);
    bytes_ = std::move(other.bytes_);
    size_ = other.size_;
    other.size_ = 0;
  }
  return *this;
}

Block::~Block() {
  Release();
}

void Block::Release() {
  if (!bytes_) return;
  if (auto pool = pool_.lock()) pool->Return(size_, std::move(bytes_));
  bytes_.reset();
  size_ = 0;
}

std::shared_ptr<MemoryPool> MemoryPool::Create(size_t keepBytes) {
  return std::shared_ptr<MemoryPool>(new MemoryPool(keepBytes));
}

Block MemoryPool::Acquire(size_t size) {
  Block block;
  block.pool_ = weak_from_this();
  block.size_ = size;
  {
    std::lock_guard lock(mutex_);
    auto found = free_.find(size);
    if (found != free_.end() && !found->second.empty()) {
      block.bytes_ = std::move(found->second.back());
      found->second.pop_back();
      keptBytes_ -= PictureFootprint(size);
      return block;
    }
    ++allocations_;
  }
  block.bytes_ = Bytes(AllocatePictureBytes(size), BlockFree{size});
  if (!block.bytes_) throw std::bad_alloc();
  return block;
}

uint64_t MemoryPool::allocations() const {
  std::lock_guard lock(mutex_);
  return allocations_;
}

size_t MemoryPool::keptBytes() const {
  std::lock_guard lock(mutex_);
  return keptBytes_;
}

void MemoryPool::Return(size_t size, Bytes bytes) {
  {
    std::lock_guard lock(mutex_);
    if (keptBytes_ + PictureFootprint(size) <= keepBytes_) {
      free_[size].push_back(std::move(bytes));
      keptBytes_ += PictureFootprint(size);
      return;
    }
  }
  bytes.reset();  // freed outside the lock
}

}  // namespace zr8
