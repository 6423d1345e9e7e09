#include "HardwareDecode.h"

extern "C" {
#include <libavutil/hwcontext.h>
}

#include <unistd.h>

#include <mutex>
#include <new>

#include "zr8hardware/Hardware.h"

namespace zr8 {
namespace {

// Share the device's primary context, the one the hardware module's InitCuda retains
// (AV_CUDA_USE_PRIMARY_CONTEXT; its header needs the CUDA toolkit's).
constexpr int kCudaUsePrimaryContext = 1 << 0;

struct BufferUnref {
  void operator()(AVBufferRef* buffer) const { av_buffer_unref(&buffer); }
};
using BufferPtr = std::unique_ptr<AVBufferRef, BufferUnref>;

class FFmpegHardware final : public HardwareDecoder {
 public:
  FFmpegHardware(AVHWDeviceType type, BufferPtr device) : type_(type), device_(std::move(device)) {}

  bool Attach(AVCodecContext* context) override {
    for (int i = 0;; ++i) {
      const AVCodecHWConfig* config = avcodec_get_hw_config(context->codec, i);
      if (config == nullptr) return false;
      if ((config->methods & AV_CODEC_HW_CONFIG_METHOD_HW_DEVICE_CTX) != 0 &&
          config->device_type == type_) {
        surface_ = config->pix_fmt;
        break;
      }
    }
    context->hw_device_ctx = av_buffer_ref(device_.get());
    if (context->hw_device_ctx == nullptr) throw std::bad_alloc();
    context->opaque = this;
    context->get_format = &FFmpegHardware::ChooseFormat;
    // The hardware decodes one picture at a time; threads would only hold surfaces.
    context->thread_count = 1;
    return true;
  }

  int Download(AVFrame* frame) override {
    if (frame->format != surface_) return 0;
    FramePtr copy = MakeFrame();
    int status = av_hwframe_transfer_data(copy.get(), frame, 0);
    if (status >= 0) status = av_frame_copy_props(copy.get(), frame);
    if (status < 0) return status;
    av_frame_unref(frame);
    av_frame_move_ref(frame, copy.get());
    return 1;
  }

 private:
  // The hardware surface when the decoder offers it (it does not for profiles the hardware lacks,
  // and FFmpeg asks again without it when the hardware refuses), else the first software format.
  static AVPixelFormat ChooseFormat(AVCodecContext* context, const AVPixelFormat* formats) {
    const auto* self = static_cast<const FFmpegHardware*>(context->opaque);
    for (const AVPixelFormat* format = formats; *format != AV_PIX_FMT_NONE; ++format) {
      if (*format == self->surface_) return *format;
    }
    for (const AVPixelFormat* format = formats; *format != AV_PIX_FMT_NONE; ++format) {
      const AVPixFmtDescriptor* descriptor = av_pix_fmt_desc_get(*format);
      if (descriptor != nullptr && (descriptor->flags & AV_PIX_FMT_FLAG_HWACCEL) == 0) {
        return *format;
      }
    }
    return AV_PIX_FMT_NONE;
  }

  AVHWDeviceType type_;
  BufferPtr device_;
  AVPixelFormat surface_ = AV_PIX_FMT_NONE;
};

// The render node of an open VA-API handle, else the first node of the vendor that detection
// finds.
std::string RenderNode(const HardwareRequest& request) {
  const int fd = zr8hw::VaapiFd(request.vaapiHandle);
  if (fd >= 0) {
    char target[256] = {};
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    const ssize_t length = readlink(link.c_str(), target, sizeof(target) - 1);
    if (length > 0) return std::string(target, static_cast<size_t>(length));
  }
  const zr8hw::Detection detection = zr8hw::Detect(zr8hw::FilesystemOnly(""));
  for (const zr8hw::Device& device : detection.devices) {
    if (device.source == zr8hw::DeviceSource::kRenderNode && device.kind == request.kind) {
      return device.location;
    }
  }
  return {};
}

std::unique_ptr<HardwareDecoder> MakeFFmpegHardware(const HardwareRequest& request) {
  AVBufferRef* device = nullptr;
  AVHWDeviceType type = AV_HWDEVICE_TYPE_NONE;
  if (request.kind == zr8hw::kKindNvidia) {
    type = AV_HWDEVICE_TYPE_CUDA;
    const std::string ordinal = std::to_string(request.haveCuda ? request.cudaId : 0);
    if (av_hwdevice_ctx_create(&device, type, ordinal.c_str(), nullptr, kCudaUsePrimaryContext) <
        0) {
      return nullptr;
    }
  } else if (request.kind == zr8hw::kKindIntel || request.kind == zr8hw::kKindAmd) {
    type = AV_HWDEVICE_TYPE_VAAPI;
    const std::string node = RenderNode(request);
    if (node.empty() || av_hwdevice_ctx_create(&device, type, node.c_str(), nullptr, 0) < 0) {
      return nullptr;
    }
  } else {
    return nullptr;
  }
  return std::make_unique<FFmpegHardware>(type, BufferPtr(device));
}

std::mutex gFactoryMutex;
HardwareFactory gFactory;

}  // namespace

std::unique_ptr<HardwareDecoder> CreateHardwareDecoder(const HardwareRequest& request) {
  HardwareFactory factory;
  {
    std::lock_guard lock(gFactoryMutex);
    factory = gFactory;
  }
  return factory ? factory(request) : MakeFFmpegHardware(request);
}

HardwareFactory SetHardwareFactory(HardwareFactory factory) {
  std::lock_guard lock(gFactoryMutex);
  std::swap(factory, gFactory);
  return factory;
}

}  // namespace zr8
