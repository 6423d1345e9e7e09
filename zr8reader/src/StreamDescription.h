// What a video stream is, as the client sees it: its format (size, rate, length, aspect, range,
// interlacing) from the container, the codec parameters and the frame index, and its coding.
#pragma once

#include <cstdint>

#include "../include/Zr8Reader.h"
#include "Av.h"
#include "FrameIndex.h"
#include "Pools.h"

namespace zr8 {

struct StreamDescription {
  Zr8VideoFormat format{};
  Zr8VideoCompressedFormat compressed{};
  int64_t length = 0;  // in 100 ns ticks
  bool fullRange = false;
};

// The description of stream `streamIndex` of `input`, whose frames `index` lists and which is
// delivered in `layout` as `pixelType`.
StreamDescription DescribeStream(AVFormatContext* input, int streamIndex,
                                 const AVCodecParameters& parameters, const FrameIndex& index,
                                 const PictureLayout& layout, int32_t pixelType);

}  // namespace zr8
