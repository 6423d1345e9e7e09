// Decoding video on hardware through FFmpeg's hardware acceleration: CUDA (NVDEC) for NVIDIA,
// VA-API on a render node for Intel and AMD. Decoded surfaces stay on the device until Download
// brings one back to system memory with av_hwframe_transfer_data; everything after that is the
// software path's.
//
// The CUDA device is made on the very context the caller's InitCUDA produced when there is one
// (the decoder is handed it), else on the device's primary context with the flags FFmpeg requires.
// A VA-API device is opened on the render node of the caller's InitVaapi handle.
//
// The creation of the hardware goes through a replaceable factory, so that tests can make it fail
// at open or in the middle of a stream.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "Av.h"

extern "C" {
#include <libavutil/hwcontext.h>
}

namespace zr8 {

// What the caller asked for: the decoder kind (2 Intel, 3 AMD, 4 NVIDIA) and, where it has set one
// up, its CUDA device or VA-API handle.
struct HardwareRequest {
  int32_t kind = 0;
  bool haveCuda = false;
  int32_t cudaId = 0;
  void* cudaContext = nullptr;
  void* vaapiHandle = nullptr;  // a handle of the hardware module's InitVaapi
};

// The hardware side of one decoder.
class HardwareDecoder {
 public:
  virtual ~HardwareDecoder() = default;
  // Called on the decoder's context before it opens. False when the hardware cannot decode the
  // stream's coding (the stream then decodes in software). Several decoders may be attached at
  // once (one per decoding position); they share the device, each with its own surfaces. The
  // context's thread count stays as the caller set it, so a decoder whose format negotiation
  // ends in software keeps those threads.
  virtual bool Attach(AVCodecContext* context) = 0;
  // Brings a decoded frame into system memory, in place: 1 when it was copied from the hardware,
  // 0 when the decoder made it in system memory (left alone), negative on failure. Until then a
  // frame of the hardware holds one of the device's surfaces and no picture bytes.
  virtual int Download(AVFrame* frame) = 0;
  // The decoder for a coding on this hardware: one of FFmpeg's own decoders with a hardware
  // configuration for it (the native "av1" rather than libdav1d, which has none), else the
  // software default. Null when FFmpeg has no decoder for the coding at all.
  virtual const AVCodec* Codec(AVCodecID id) const { return HardwareCodec(id, {}); }

  // The decoder for `id` among FFmpeg's own (not the wrappers of a vendor's decoding library)
  // with a hardware configuration for a device of `type` (any type when nullopt); else
  // avcodec_find_decoder's.
  static const AVCodec* HardwareCodec(AVCodecID id, std::optional<AVHWDeviceType> type);
};

// Whether the hardware really decodes the stream, known before the stream delivers anything: the
// key frame `key` (the stream's first packet to decode) goes through a decoder of its own attached
// to `hardware`, and the answer is whether its picture came out on the device. False when the
// hardware takes the coding but refuses this stream (a profile it lacks, a driver without a
// decoder for it, a failure), and the stream should then open its software decoder with its
// threads.
bool ConfirmHardware(HardwareDecoder& hardware, const AVCodecParameters& parameters,
                     AVRational timeBase, const AVPacket& key);

using HardwareFactory = std::function<std::unique_ptr<HardwareDecoder>(const HardwareRequest&)>;

// The hardware for a request, null when it cannot be had (no device, no driver, nothing opens).
std::unique_ptr<HardwareDecoder> CreateHardwareDecoder(const HardwareRequest& request);

// Replaces the factory (an empty one restores FFmpeg's); returns the one it replaces.
HardwareFactory SetHardwareFactory(HardwareFactory factory);

}  // namespace zr8
