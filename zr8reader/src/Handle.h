// The base of every object handed out as a handle, so that a handle of the wrong kind (or a
// deleted one, while its memory is not reused) is refused instead of misused.
#pragma once

#include <cstdint>

namespace zr8 {

enum class HandleKind : uint32_t {
  kFile = 1,
  kAudio,
  kVideo,
  kBufferPool,
  kImagePool,
  kImage,
};

class Handle {
 public:
  explicit Handle(HandleKind kind) : kind_(kind) {}
  virtual ~Handle() { magic_ = 0; }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;

  void* AsOpaque() { return this; }

  // The object behind an opaque handle when it is of kind T::kKind, else null.
  template <class T>
  static T* From(void* opaque) {
    auto* handle = static_cast<Handle*>(opaque);
    if (handle == nullptr || handle->magic_ != kMagic || handle->kind_ != T::kKind) return nullptr;
    return static_cast<T*>(handle);
  }

 private:
  static constexpr uint32_t kMagic = 0x5A523852;  // "ZR8R"
  uint32_t magic_ = kMagic;
  HandleKind kind_;
};

}  // namespace zr8
