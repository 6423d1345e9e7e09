// Pixel types and the conversion of decoded frames into tightly packed pictures.
#pragma once

#include <cstdint>
#include <vector>

#include "Av.h"
#include "Pools.h"

namespace zr8 {

// FFmpeg's pixel format that a pixel type is produced from, and whether its two chroma planes
// are written in the other order (YV12, YV16). AV_PIX_FMT_NONE for a type the library does not
// deliver.
struct PixelTypeInfo {
  AVPixelFormat format = AV_PIX_FMT_NONE;
  bool swapChroma = false;
};
PixelTypeInfo PixelTypeFormat(int32_t pixelType);

// The pixel type a decoded format is delivered in without conversion, 0 when there is none.
int32_t NativePixelType(AVPixelFormat format);
// The pixel type chosen for a stream when the caller leaves the choice to the library: the
// native one, else the closest by chroma layout and depth.
int32_t PreferredPixelType(AVPixelFormat format);
// Every pixel type the library delivers.
const std::vector<int32_t>& DeliverablePixelTypes();

// Layout of a tightly packed picture; false when the type or size is not deliverable.
bool MakeLayout(int32_t pixelType, int width, int height, PictureLayout* layout);

// Turns decoded frames into pictures of one pixel type and size. Frames of the target's own
// format and size are copied plane by plane; others go through libswscale with the flags and
// colour handling of FFmpeg's command-line tool (bicubic; the source's matrix and range; limited
// range for YUV output).
class PictureConverter {
 public:
  explicit PictureConverter(const PictureLayout& layout);
  // Writes the frame into `out` (layout().totalSize bytes). False when the conversion fails.
  bool Convert(const AVFrame& frame, uint8_t* out);
  const PictureLayout& layout() const { return layout_; }

 private:
  bool Prepare(const AVFrame& frame);
  void CopyOut(const uint8_t* const planes[4], const int strides[4], uint8_t* out) const;

  PictureLayout layout_;
  PixelTypeInfo target_;
  // The scaler's worker threads and its scratch picture in the account: declared before them, so
  // counted until they are gone.
  Holding threads_{Held::kConverterThreads};
  Holding scratchBytes_{Held::kPictureBytes};
  SwsPtr sws_;
  AVPixelFormat sourceFormat_ = AV_PIX_FMT_NONE;
  int sourceWidth_ = 0;
  int sourceHeight_ = 0;
  int sourceColorSpace_ = -1;
  int sourceRange_ = -1;
  FramePtr scratch_;
};

}  // namespace zr8
