#include "PictureMemory.h"

#include <sys/mman.h>

#include <cstdlib>
#include <cstring>

namespace zr8 {
namespace {

constexpr size_t kHugePage = size_t{2} << 20;
constexpr int kAlign = 64;

int GetBuffer(AVCodecContext* context, AVFrame* frame, int flags) {
  const AVPixFmtDescriptor* descriptor =
      av_pix_fmt_desc_get(static_cast<AVPixelFormat>(frame->format));
  if (context->hw_frames_ctx != nullptr || descriptor == nullptr ||
      (descriptor->flags & AV_PIX_FMT_FLAG_HWACCEL) != 0) {
    return avcodec_default_get_buffer2(context, frame, flags);
  }
  // The plane layout FFmpeg's own allocator gives: dimensions aligned as the decoder needs, the
  // width raised until every line size is a multiple of the alignment, and 16 bytes plus an
  // alignment of slack after each plane.
  int width = frame->width;
  int height = frame->height;
  int lineAlign[AV_NUM_DATA_POINTERS];
  avcodec_align_dimensions2(context, &width, &height, lineAlign);
  const auto format = static_cast<AVPixelFormat>(frame->format);
  int lines[4] = {};
  bool unaligned = true;
  while (unaligned) {
    if (av_image_fill_linesizes(lines, format, width) < 0) return AVERROR(EINVAL);
    width += width & ~(width - 1);
    unaligned = false;
    for (int i = 0; i < 4; ++i) unaligned |= lineAlign[i] > 0 && lines[i] % lineAlign[i] != 0;
  }
  const ptrdiff_t strides[4] = {lines[0], lines[1], lines[2], lines[3]};
  size_t sizes[4] = {};
  if (av_image_fill_plane_sizes(sizes, format, height, strides) < 0) return AVERROR(EINVAL);
  // All planes in one buffer (as av_frame_get_buffer lays them out), each at an aligned offset.
  size_t offsets[4] = {};
  size_t total = 0;
  for (int i = 0; i < 4 && sizes[i] > 0; ++i) {
    offsets[i] = total;
    total += (sizes[i] + 16 + kAlign - 1) / kAlign * kAlign;
  }
  frame->buf[0] = PictureMemory::Instance().Get(total);
  if (frame->buf[0] == nullptr) return AVERROR(ENOMEM);
  for (int i = 0; i < AV_NUM_DATA_POINTERS; ++i) {
    frame->data[i] = nullptr;
    frame->linesize[i] = 0;
  }
  for (int i = 0; i < 4 && sizes[i] > 0; ++i) {
    frame->data[i] = frame->buf[0]->data + offsets[i];
    frame->linesize[i] = lines[i];
  }
  frame->extended_data = frame->data;
  return 0;
}

}  // namespace

PictureMemory& PictureMemory::Instance() {
  // Never destroyed: buffers may come back while the process exits.
  static PictureMemory* memory = new PictureMemory();
  return *memory;
}

size_t PictureFootprint(size_t size) {
  return size < kHugePage / 2 ? size : (size + kHugePage - 1) / kHugePage * kHugePage;
}

uint8_t* AllocatePictureBytes(size_t size) {
  void* bytes = nullptr;
  if (size < kHugePage / 2) {
    bytes = av_malloc(size == 0 ? 1 : size);
  } else {
    // Whole huge pages: one page fault for each 2 MB instead of 512 (on a virtual machine each
    // costs microseconds).
    const size_t whole = PictureFootprint(size);
    if (posix_memalign(&bytes, kHugePage, whole) != 0) return nullptr;
    madvise(bytes, whole, MADV_HUGEPAGE);  // only advice: ordinary pages when it is refused
  }
  if (bytes != nullptr) {
    Account::Add(Held::kPictureBytes, static_cast<int64_t>(PictureFootprint(size)));
  }
  return static_cast<uint8_t*>(bytes);
}

void FreePictureBytes(uint8_t* bytes, size_t size) {
  if (bytes == nullptr) return;
  Account::Add(Held::kPictureBytes, -static_cast<int64_t>(PictureFootprint(size)));
  av_free(bytes);
}

AVBufferRef* PictureMemory::Get(size_t size) {
  uint8_t* bytes = nullptr;
  {
    std::lock_guard lock(mutex_);
    auto found = free_.find(size);
    if (found != free_.end() && !found->second.empty()) {
      bytes = found->second.back();
      found->second.pop_back();
      keptBytes_ -= PictureFootprint(size);
    }
  }
  if (bytes == nullptr) {
    bytes = AllocatePictureBytes(size);
    if (bytes == nullptr) return nullptr;
    // New memory is cleared, as FFmpeg clears the pictures it allocates.
    std::memset(bytes, 0, size);
  }
  AVBufferRef* buffer =
      av_buffer_create(bytes, size, &PictureMemory::Return, reinterpret_cast<void*>(size), 0);
  if (buffer == nullptr) FreePictureBytes(bytes, size);
  return buffer;
}

void PictureMemory::Return(void* opaque, uint8_t* data) {
  const auto size = reinterpret_cast<size_t>(opaque);
  PictureMemory& memory = Instance();
  {
    std::lock_guard lock(memory.mutex_);
    if (memory.keptBytes_ + PictureFootprint(size) <= kKeepBytes) {
      memory.free_[size].push_back(data);
      memory.keptBytes_ += PictureFootprint(size);
      return;
    }
  }
  FreePictureBytes(data, size);
}

size_t PictureMemory::keptBytes() const {
  std::lock_guard lock(mutex_);
  return keptBytes_;
}

void UsePictureMemory(AVCodecContext* context) {
  if (context->codec_type == AVMEDIA_TYPE_VIDEO && context->codec != nullptr &&
      (context->codec->capabilities & AV_CODEC_CAP_DR1) != 0) {
    context->get_buffer2 = GetBuffer;
#if LIBAVCODEC_VERSION_MAJOR < 60
    // Older FFmpeg asks the caller to say so (newer ones assume it): GetBuffer is thread-safe.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    context->thread_safe_callbacks = 1;
#pragma GCC diagnostic pop
#endif
  }
}

}  // namespace zr8
