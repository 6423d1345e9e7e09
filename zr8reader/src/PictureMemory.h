// Memory for decoded pictures, recycled across the whole process. Decoders come and go (a stream's
// decoding positions, thread count changes, streams opened one after another) and each would
// otherwise take fresh pages for its pictures; on a virtual machine a fresh page costs about as
// much as decoding dozens of rows. Released buffers of a size are kept for the next decoder or
// kept picture, up to a fixed amount; large buffers ask the kernel for huge pages.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <vector>

#include "Av.h"

namespace zr8 {

class PictureMemory {
 public:
  static PictureMemory& Instance();

  // A buffer of `size` bytes, 64-byte aligned; it comes back here when its last reference goes.
  // Null when memory runs out.
  AVBufferRef* Get(size_t size);

  // Released bytes kept for reuse (their footprints).
  size_t keptBytes() const;

 private:
  PictureMemory() = default;
  static void Return(void* opaque, uint8_t* data);

  static constexpr size_t kKeepBytes = size_t{128} << 20;

  mutable std::mutex mutex_;
  std::map<size_t, std::vector<uint8_t*>> free_;
  size_t keptBytes_ = 0;
};

// Memory for a picture of `size` bytes, 64-byte aligned, released with FreePictureBytes; large ones
// in huge pages where the kernel gives them. Its footprint is counted in the Account until then.
uint8_t* AllocatePictureBytes(size_t size);
void FreePictureBytes(uint8_t* bytes, size_t size);
// The memory such a picture takes: from 1 MB up, whole huge pages.
size_t PictureFootprint(size_t size);

// Gives the decoder its pictures from PictureMemory (software video decoders only; others keep
// FFmpeg's own allocation).
void UsePictureMemory(AVCodecContext* context);

}  // namespace zr8
