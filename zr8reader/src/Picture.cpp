#include "Picture.h"

#include <cstring>

namespace zr8 {
namespace {

struct PixelTypeEntry {
  int32_t pixelType;
  AVPixelFormat format;
  bool swapChroma;
};

constexpr PixelTypeEntry kPixelTypes[] = {
    {0x2000, AV_PIX_FMT_YUV420P, false},      // I420
    {0x2001, AV_PIX_FMT_NV12, false},         // NV12
    {0x2002, AV_PIX_FMT_YUV420P, true},       // YV12
    {0x2003, AV_PIX_FMT_YUV422P, true},       // YV16
    {0x2004, AV_PIX_FMT_P010LE, false},       // P010
    {0x2005, AV_PIX_FMT_P016LE, false},       // P016
    {0x2008, AV_PIX_FMT_YUV444P, false},      // YUV444
    {0x2009, AV_PIX_FMT_YUV444P16LE, false},  // YUV444_16
    {0x200A, AV_PIX_FMT_P210LE, false},       // P210
    {0x200B, AV_PIX_FMT_P216LE, false},       // P216
    {0x1000, AV_PIX_FMT_YUYV422, false},      // YUYV
    {0x1001, AV_PIX_FMT_UYVY422, false},      // UYVY
    {0x0100, AV_PIX_FMT_RGBA, false},         // RGBA_8u
    {0x0101, AV_PIX_FMT_RGBA64LE, false},     // RGBA_16u
    {0x0400, AV_PIX_FMT_RGB24, false},        // RGB_8u
    {0x0401, AV_PIX_FMT_BGR24, false},        // BGR_8u
    {0x0402, AV_PIX_FMT_RGB48LE, false},      // RGB_16u
};

bool IsRgb(AVPixelFormat format) {
  const AVPixFmtDescriptor* descriptor = av_pix_fmt_desc_get(format);
  return descriptor != nullptr && (descriptor->flags & AV_PIX_FMT_FLAG_RGB) != 0;
}

// The colour matrix FFmpeg's scale filter takes for a source: its own when it is one libswscale
// knows, else BT.601.
int MatrixOf(int colorSpace) {
  if (colorSpace < 1 || colorSpace > 10 || colorSpace == 8) return AVCOL_SPC_BT470BG;
  return colorSpace;
}

bool IsFullRangeFormat(AVPixelFormat format) {
  switch (format) {
    case AV_PIX_FMT_YUVJ420P:
    case AV_PIX_FMT_YUVJ422P:
    case AV_PIX_FMT_YUVJ444P:
    case AV_PIX_FMT_YUVJ440P:
    case AV_PIX_FMT_YUVJ411P:
      return true;
    default:
      return false;
  }
}

}  // namespace

PixelTypeInfo PixelTypeFormat(int32_t pixelType) {
  for (const auto& entry : kPixelTypes) {
    if (entry.pixelType == pixelType) return {entry.format, entry.swapChroma};
  }
  return {};
}

int32_t NativePixelType(AVPixelFormat format) {
  for (const auto& entry : kPixelTypes) {
    if (entry.format == format && !entry.swapChroma) return entry.pixelType;
  }
  return 0;
}

int32_t PreferredPixelType(AVPixelFormat format) {
  if (const int32_t native = NativePixelType(format); native != 0) return native;
  const AVPixFmtDescriptor* descriptor = av_pix_fmt_desc_get(format);
  if (descriptor == nullptr) return 0x2000;
  const int depth = descriptor->comp[0].depth;
  const bool alpha = (descriptor->flags & AV_PIX_FMT_FLAG_ALPHA) != 0;
  if (IsRgb(format)) {
    if (depth > 8) return 0x0101;
    return alpha ? 0x0100 : 0x0400;
  }
  const int chromaWidthShift = descriptor->log2_chroma_w;
  const int chromaHeightShift = descriptor->log2_chroma_h;
  if (chromaWidthShift == 0 && chromaHeightShift == 0) return depth > 8 ? 0x2009 : 0x2008;
  if (chromaWidthShift == 1 && chromaHeightShift == 0) {
    if (depth > 10) return 0x200B;
    return depth > 8 ? 0x200A : 0x2003;
  }
  if (depth > 10) return 0x2005;
  return depth > 8 ? 0x2004 : 0x2000;
}

const std::vector<int32_t>& DeliverablePixelTypes() {
  static const std::vector<int32_t> types = [] {
    std::vector<int32_t> list;
    for (const auto& entry : kPixelTypes) list.push_back(entry.pixelType);
    return list;
  }();
  return types;
}

bool MakeLayout(int32_t pixelType, int width, int height, PictureLayout* layout) {
  const PixelTypeInfo info = PixelTypeFormat(pixelType);
  if (info.format == AV_PIX_FMT_NONE || width <= 0 || height <= 0) return false;
  const AVPixFmtDescriptor* descriptor = av_pix_fmt_desc_get(info.format);
  int lineSizes[4] = {};
  if (av_image_fill_linesizes(lineSizes, info.format, width) < 0) return false;
  PictureLayout result;
  result.pixelType = pixelType;
  result.width = static_cast<uint32_t>(width);
  result.height = static_cast<uint32_t>(height);
  size_t offset = 0;
  for (int plane = 0; plane < 4 && lineSizes[plane] > 0; ++plane) {
    const bool chroma = plane == 1 || plane == 2;
    const int rows = chroma ? AV_CEIL_RSHIFT(height, descriptor->log2_chroma_h) : height;
    result.rowBytes[plane] = static_cast<uint32_t>(lineSizes[plane]);
    result.rows[plane] = static_cast<uint32_t>(rows);
    result.offsets[plane] = offset;
    offset += static_cast<size_t>(lineSizes[plane]) * static_cast<size_t>(rows);
    result.planes = plane + 1;
  }
  if (offset > UINT32_MAX) return false;
  result.totalSize = offset;
  *layout = result;
  return true;
}

PictureConverter::PictureConverter(const PictureLayout& layout)
    : layout_(layout), target_(PixelTypeFormat(layout.pixelType)), scratch_(MakeFrame()) {}

void PictureConverter::CopyOut(const uint8_t* const planes[4], const int strides[4],
                               uint8_t* out) const {
  for (int plane = 0; plane < layout_.planes; ++plane) {
    int destination = plane;
    if (target_.swapChroma && (plane == 1 || plane == 2)) destination = 3 - plane;
    av_image_copy_plane(out + layout_.offsets[destination],
                        static_cast<int>(layout_.rowBytes[destination]), planes[plane],
                        strides[plane], static_cast<int>(layout_.rowBytes[plane]),
                        static_cast<int>(layout_.rows[plane]));
  }
}

bool PictureConverter::Prepare(const AVFrame& frame) {
  const auto format = static_cast<AVPixelFormat>(frame.format);
  if (sws_ && format == sourceFormat_ && frame.width == sourceWidth_ &&
      frame.height == sourceHeight_ && Code(frame.colorspace) == sourceColorSpace_ &&
      Code(frame.color_range) == sourceRange_) {
    return true;
  }
  // The scaler the ffmpeg tool inserts: bicubic, in slices on as many threads as its filters use
  // (cores + 1: the calling thread and `cores` workers of its own). Where slices meet, some
  // conversions (packed RGB among them) round a sample differently than a single pass would, so
  // the slicing is FFmpeg's own.
  const int cores = av_cpu_count();
  sws_.reset();
  threads_.Set(0);
  sws_.reset(sws_alloc_context());
  if (!sws_) return false;
  threads_.Set(cores > 1 ? cores : 0);  // counted before the scaler starts them
  SwsContext* sws = sws_.get();
  if (av_opt_set_int(sws, "srcw", frame.width, 0) < 0 ||
      av_opt_set_int(sws, "srch", frame.height, 0) < 0 ||
      av_opt_set_pixel_fmt(sws, "src_format", format, 0) < 0 ||
      av_opt_set_int(sws, "dstw", layout_.width, 0) < 0 ||
      av_opt_set_int(sws, "dsth", layout_.height, 0) < 0 ||
      av_opt_set_pixel_fmt(sws, "dst_format", target_.format, 0) < 0 ||
      av_opt_set_int(sws, "sws_flags", SWS_BICUBIC, 0) < 0 ||
      av_opt_set_int(sws, "threads", cores > 1 ? cores + 1 : 1, 0) < 0 ||
      sws_init_context(sws, nullptr, nullptr) < 0) {
    sws_.reset();
    threads_.Set(0);
    return false;
  }
  int* inverseTable = nullptr;
  int* table = nullptr;
  int sourceFull = 0;
  int destinationFull = 0;
  int brightness = 0;
  int contrast = 0;
  int saturation = 0;
  sws_getColorspaceDetails(sws_.get(), &inverseTable, &sourceFull, &table, &destinationFull,
                           &brightness, &contrast, &saturation);
  const int* coefficients = sws_getCoefficients(MatrixOf(Code(frame.colorspace)));
  if (Code(frame.color_range) != AVCOL_RANGE_UNSPECIFIED) {
    sourceFull = Code(frame.color_range) == AVCOL_RANGE_JPEG ? 1 : 0;
  } else if (IsFullRangeFormat(format)) {
    sourceFull = 1;
  }
  sws_setColorspaceDetails(sws_.get(), coefficients, sourceFull, coefficients, destinationFull,
                           brightness, contrast, saturation);
  av_frame_unref(scratch_.get());
  scratch_->format = target_.format;
  scratch_->width = static_cast<int>(layout_.width);
  scratch_->height = static_cast<int>(layout_.height);
  if (av_frame_get_buffer(scratch_.get(), 0) < 0) {
    sws_.reset();
    threads_.Set(0);
    return false;
  }
  int64_t scratchBytes = 0;
  for (const AVBufferRef* buffer : scratch_->buf) scratchBytes += buffer ? buffer->size : 0;
  scratchBytes_.Set(scratchBytes);
  sourceFormat_ = format;
  sourceWidth_ = frame.width;
  sourceHeight_ = frame.height;
  sourceColorSpace_ = Code(frame.colorspace);
  sourceRange_ = Code(frame.color_range);
  return true;
}

bool PictureConverter::Convert(const AVFrame& frame, uint8_t* out) {
  const auto format = static_cast<AVPixelFormat>(frame.format);
  const bool sameShape = frame.width == static_cast<int>(layout_.width) &&
                         frame.height == static_cast<int>(layout_.height);
  // Limited-range frames already in the target's layout need no conversion at all.
  if (sameShape && format == target_.format &&
      (IsRgb(format) || Code(frame.color_range) != AVCOL_RANGE_JPEG)) {
    CopyOut(frame.data, frame.linesize, out);
    return true;
  }
  if (!Prepare(frame)) return false;
  if (sws_scale_frame(sws_.get(), scratch_.get(), &frame) < 0) return false;
  CopyOut(scratch_->data, scratch_->linesize, out);
  return true;
}

}  // namespace zr8
