#include "StreamDescription.h"

#include <algorithm>
#include <cmath>

namespace zr8 {
namespace {

uint32_t VideoFourCC(const AVCodecParameters& parameters) {
  switch (parameters.codec_id) {
    case AV_CODEC_ID_H264:
      return FourCC("avc1");
    case AV_CODEC_ID_HEVC:
      return FourCC("hvc1");
    case AV_CODEC_ID_VP9:
      return FourCC("vp09");
    case AV_CODEC_ID_VP8:
      return FourCC("vp08");
    case AV_CODEC_ID_AV1:
      return FourCC("av01");
    case AV_CODEC_ID_MPEG2VIDEO:
      return FourCC("mp2v");
    case AV_CODEC_ID_MPEG1VIDEO:
      return FourCC("mp1v");
    case AV_CODEC_ID_MPEG4:
      return FourCC("mp4v");
    case AV_CODEC_ID_MJPEG:
      return FourCC("MJPG");
    case AV_CODEC_ID_PRORES: {
      const uint32_t tag = TagToFourCC(parameters.codec_tag);
      return tag != 0 && (tag >> 24) == 'a' ? tag : FourCC("apcn");
    }
    case AV_CODEC_ID_DNXHD:
      return FourCC("AVdn");
    default:
      return TagToFourCC(parameters.codec_tag);
  }
}

int InterlaceCode(AVFieldOrder order) {
  switch (order) {
    case AV_FIELD_TT:
    case AV_FIELD_TB:
      return 1;
    case AV_FIELD_BB:
    case AV_FIELD_BT:
      return 2;
    default:
      return 0;
  }
}

}  // namespace

StreamDescription DescribeStream(AVFormatContext* input, int streamIndex,
                                 const AVCodecParameters& parameters, const FrameIndex& index,
                                 const PictureLayout& layout, int32_t pixelType) {
  StreamDescription described;
  const AVStream* stream = input->streams[streamIndex];
  AVRational par = av_guess_sample_aspect_ratio(input, const_cast<AVStream*>(stream), nullptr);
  const double parValue = par.num > 0 && par.den > 0 ? av_q2d(par) : 1.0;
  AVRational rate = stream->avg_frame_rate;
  if (rate.num <= 0 || rate.den <= 0) rate = stream->r_frame_rate;
  double frameRate = rate.num > 0 && rate.den > 0 ? av_q2d(rate) : 0.0;

  const bool timed = index.byTimes();
  const PacketEntry& first = index.packetOfFrame(0);
  const PacketEntry& last = index.packetOfFrame(index.frameCount() - 1);
  bool variable = false;
  int64_t previousDelta = -1;
  for (int64_t n = 1; timed && n < index.frameCount(); ++n) {
    int64_t delta = 0;
    if (__builtin_sub_overflow(index.packetOfFrame(n).pts, index.packetOfFrame(n - 1).pts,
                               &delta)) {
      delta = INT64_MAX;
    }
    if (previousDelta >= 0 && delta != previousDelta) variable = true;
    previousDelta = delta;
  }
  int64_t lastDuration = last.duration;
  if (lastDuration <= 0 && previousDelta > 0) lastDuration = previousDelta;
  if (timed) {
    // A span that does not fit is as good as no length.
    int64_t span = 0;
    if (!__builtin_sub_overflow(last.pts, first.pts, &span) &&
        !__builtin_add_overflow(span, std::max<int64_t>(lastDuration, 0), &span)) {
      described.length = std::max<int64_t>(ToTicks(span, stream->time_base), 0);
    }
  } else if (frameRate > 0) {
    described.length = static_cast<int64_t>(std::llround(index.frameCount() * 1e7 / frameRate));
  }
  if (frameRate <= 0 && described.length > 0)
    frameRate = index.frameCount() * 1e7 / described.length;

  const AVPixFmtDescriptor* descriptor =
      av_pix_fmt_desc_get(static_cast<AVPixelFormat>(parameters.format));
  described.fullRange = Code(parameters.color_range) == AVCOL_RANGE_JPEG ||
                        parameters.format == AV_PIX_FMT_YUVJ420P ||
                        parameters.format == AV_PIX_FMT_YUVJ422P ||
                        parameters.format == AV_PIX_FMT_YUVJ444P;

  described.format = {};
  described.format.frameCount = index.frameCount();
  described.format.pixelType = pixelType;
  described.format.bitDepth = descriptor != nullptr ? descriptor->comp[0].depth : 8;
  described.format.imageSize = static_cast<uint32_t>(layout.totalSize);
  described.format.width = layout.width;
  described.format.height = layout.height;
  described.format.topDown = 1;
  described.format.duration = described.length;
  described.format.displayAspect = parValue * layout.width / layout.height;
  described.format.startTime = !timed ? 0 : ToTicks(first.pts, stream->time_base);
  described.format.fullRange = described.fullRange ? 1 : 0;
  described.format.interlace = InterlaceCode(parameters.field_order);
  described.format.aspectRatio = parValue;
  described.format.frameRate = frameRate;
  described.format.frameDuration = frameRate > 0 ? 1.0 / frameRate : 0.0;
  described.format.colorSpace = Code(parameters.color_space);
  described.format.variableRate = variable ? 1 : 0;

  described.compressed = {};
  described.compressed.codecId = parameters.codec_id;
  described.compressed.profile = parameters.profile;
  described.compressed.fourCC = VideoFourCC(parameters);
  return described;
}

}  // namespace zr8
