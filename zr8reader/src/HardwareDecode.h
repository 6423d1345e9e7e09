// Decoding video on hardware through FFmpeg's hardware acceleration: CUDA (NVDEC) for NVIDIA,
// VA-API on a render node for Intel and AMD. Decoded surfaces are brought back to system memory
// with av_hwframe_transfer_data; everything after that is the software path's.
//
// The creation of the hardware goes through a replaceable factory, so that tests can make it fail
// at open or in the middle of a stream.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "Av.h"

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
  // stream's coding (the stream then decodes in software).
  virtual bool Attach(AVCodecContext* context) = 0;
  // Brings a decoded frame into system memory, in place: 1 when it was copied from the hardware,
  // 0 when the decoder made it in system memory (left alone), negative on failure.
  virtual int Download(AVFrame* frame) = 0;
};

using HardwareFactory = std::function<std::unique_ptr<HardwareDecoder>(const HardwareRequest&)>;

// The hardware for a request, null when it cannot be had (no device, no driver, nothing opens).
std::unique_ptr<HardwareDecoder> CreateHardwareDecoder(const HardwareRequest& request);

// Replaces the factory (an empty one restores FFmpeg's); returns the one it replaces.
HardwareFactory SetHardwareFactory(HardwareFactory factory);

}  // namespace zr8
