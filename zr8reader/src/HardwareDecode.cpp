#include "HardwareDecode.h"

// FFmpeg's CUDA device record names the driver's context and stream types, which its header takes
// from the CUDA toolkit's cuda.h; both are opaque pointers.
#ifndef CUDA_VERSION
#define CUDA_VERSION 11000
typedef struct CUctx_st* CUcontext;
typedef struct CUstream_st* CUstream;
#endif
extern "C" {
#include <libavutil/hwcontext_cuda.h>
}

#include <unistd.h>

#include <mutex>
#include <new>

#include "zr8hardware/Hardware.h"

namespace zr8 {
namespace {

struct BufferUnref {
  void operator()(AVBufferRef* buffer) const { av_buffer_unref(&buffer); }
};
using BufferPtr = std::unique_ptr<AVBufferRef, BufferUnref>;

class FFmpegHardware final : public HardwareDecoder {
 public:
  static constexpr int kHeldSurfaces = 2;

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
    // VA-API's surfaces come from a pool of fixed size: room for the picture the stream holds on
    // the device between its decoding and its download, beyond the decoder's own references.
    context->extra_hw_frames = kHeldSurfaces;
    return true;
  }

  const AVCodec* Codec(AVCodecID id) const override { return HardwareCodec(id, type_); }

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

// A CUDA device on the caller's context (InitCUDA's), which FFmpeg then neither makes nor
// releases; without one, on the device's primary context, which FFmpeg takes only with blocking
// synchronisation (InitCUDA sets it before anyone else makes the context active).
BufferPtr MakeCudaDevice(const HardwareRequest& request) {
  if (request.haveCuda && request.cudaContext != nullptr) {
    BufferPtr device(av_hwdevice_ctx_alloc(AV_HWDEVICE_TYPE_CUDA));
    if (!device) throw std::bad_alloc();
    auto* hardware = reinterpret_cast<AVHWDeviceContext*>(device->data);
    auto* cuda = static_cast<AVCUDADeviceContext*>(hardware->hwctx);
    cuda->cuda_ctx = static_cast<CUcontext>(request.cudaContext);
    cuda->stream = nullptr;
    if (av_hwdevice_ctx_init(device.get()) < 0) return nullptr;
    return device;
  }
  AVBufferRef* device = nullptr;
  const std::string ordinal = std::to_string(request.haveCuda ? request.cudaId : 0);
  if (av_hwdevice_ctx_create(&device, AV_HWDEVICE_TYPE_CUDA, ordinal.c_str(), nullptr,
                             AV_CUDA_USE_PRIMARY_CONTEXT) < 0) {
    return nullptr;
  }
  return BufferPtr(device);
}

std::unique_ptr<HardwareDecoder> MakeFFmpegHardware(const HardwareRequest& request) {
  AVBufferRef* device = nullptr;
  AVHWDeviceType type = AV_HWDEVICE_TYPE_NONE;
  if (request.kind == zr8hw::kKindNvidia) {
    type = AV_HWDEVICE_TYPE_CUDA;
    BufferPtr cuda = MakeCudaDevice(request);
    if (!cuda) return nullptr;
    device = cuda.release();
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

const AVCodec* HardwareDecoder::HardwareCodec(AVCodecID id, std::optional<AVHWDeviceType> type) {
  void* opaque = nullptr;
  while (const AVCodec* codec = av_codec_iterate(&opaque)) {
    if (codec->id != id || !av_codec_is_decoder(codec) ||
        (codec->capabilities & AV_CODEC_CAP_HARDWARE) != 0) {
      continue;
    }
    for (int i = 0;; ++i) {
      const AVCodecHWConfig* config = avcodec_get_hw_config(codec, i);
      if (config == nullptr) break;
      if ((config->methods & AV_CODEC_HW_CONFIG_METHOD_HW_DEVICE_CTX) != 0 &&
          (!type || config->device_type == *type)) {
        return codec;
      }
    }
  }
  return avcodec_find_decoder(id);
}

bool ConfirmHardware(HardwareDecoder& hardware, const AVCodecParameters& parameters,
                     AVRational timeBase, const AVPacket& key) {
  CodecPtr decoder = OpenDecoder(parameters, timeBase, 1, &hardware);
  if (!decoder) return false;
  PacketPtr packet = MakePacket();
  if (av_packet_ref(packet.get(), &key) < 0) throw std::bad_alloc();
  if (avcodec_send_packet(decoder.get(), packet.get()) < 0) return false;
  avcodec_send_packet(decoder.get(), nullptr);
  FramePtr frame = MakeFrame();
  // A picture on the device is the one Download copies from it; one the decoder made in system
  // memory is left alone.
  return avcodec_receive_frame(decoder.get(), frame.get()) == 0 &&
         hardware.Download(frame.get()) == 1;
}

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
