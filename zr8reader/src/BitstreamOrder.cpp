#include "BitstreamOrder.h"

#include <algorithm>
#include <bit>
#include <cstring>

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define ZR8_SSE2 1
#endif

#include "PacketDamage.h"

namespace zr8 {
namespace {

// Calls `each(unit, size)` for each NAL unit of a packet, in length prefixes of `lengthSize` bytes
// or, where that is 0, after each start code; false where the lengths do not split the packet.
template <typename Each>
bool ForEachNal(const uint8_t* data, int size, int lengthSize, Each each) {
  if (lengthSize > 0) {
    for (int at = 0; size - at >= lengthSize;) {
      uint64_t length = 0;
      for (int i = 0; i < lengthSize; ++i) length = (length << 8) | data[at + i];
      at += lengthSize;
      if (length == 0 || length > static_cast<uint64_t>(size - at)) return false;
      each(data + at, static_cast<int>(length));
      at += static_cast<int>(length);
    }
    return true;
  }
  const uint8_t* unit = nullptr;
  for (int at = 2; at < size;) {
    const auto* one = static_cast<const uint8_t*>(std::memchr(data + at, 1, size - at));
    if (one == nullptr) break;
    at = static_cast<int>(one - data) + 1;
    if (one[-1] != 0 || one[-2] != 0) continue;
    if (unit != nullptr) each(unit, static_cast<int>(one - 2 - unit));
    unit = data + at;
  }
  if (unit != nullptr) each(unit, static_cast<int>(data + size - unit));
  return true;
}

// Where the first start code 00 00 01 whose 01 byte is at `from` or later has that byte; `size`
// where none has.
int NextStartCode(const uint8_t* data, int from, int size) {
  int at = std::max(from, 2);
#if defined(ZR8_SSE2)
  // Sixteen places at a time: start codes come every few hundred bytes and a 01 byte every few
  // dozen, too often for a byte search to pay for its calls.
  const __m128i zero = _mm_setzero_si128(), one = _mm_set1_epi8(1);
  for (; at + 16 <= size; at += 16) {
    const auto load = [&](int offset) {
      return _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + at + offset));
    };
    const __m128i found =
        _mm_and_si128(_mm_and_si128(_mm_cmpeq_epi8(load(-2), zero), _mm_cmpeq_epi8(load(-1), zero)),
                      _mm_cmpeq_epi8(load(0), one));
    const auto mask = static_cast<unsigned>(_mm_movemask_epi8(found));
    if (mask != 0) return at + std::countr_zero(mask);
  }
#endif
  while (at < size) {
    const auto* one = static_cast<const uint8_t*>(std::memchr(data + at, 1, size - at));
    if (one == nullptr) break;
    at = static_cast<int>(one - data);
    if (one[-1] == 0 && one[-2] == 0) return at;
    ++at;
  }
  return size;
}

// Calls `each(code, bytes, size)` for each start code 00 00 01 `code` of a packet of MPEG-1/2 or
// MPEG-4 video, with the bytes that follow the code.
template <typename Each>
void ForEachStartCode(const uint8_t* data, int size, Each each) {
  for (int at = NextStartCode(data, 2, size) + 1; at < size;
       at = NextStartCode(data, at, size) + 1) {
    each(data[at], data + at + 1, size - at - 1);
  }
}

}  // namespace

std::unique_ptr<BitstreamOrder> BitstreamOrder::For(const AVCodecParameters& parameters) {
  switch (parameters.codec_id) {
    case AV_CODEC_ID_H264:
    case AV_CODEC_ID_HEVC:
    case AV_CODEC_ID_MPEG1VIDEO:
    case AV_CODEC_ID_MPEG2VIDEO:
    case AV_CODEC_ID_MPEG4:
      break;
    default:
      return nullptr;
  }
  std::unique_ptr<BitstreamOrder> order(new BitstreamOrder(parameters));
  return order;
}

BitstreamOrder::BitstreamOrder(const AVCodecParameters& parameters)
    : codec_(parameters.codec_id), lengthSize_(NalLengthSize(parameters)) {
  if (codec_ != AV_CODEC_ID_H264 && codec_ != AV_CODEC_ID_HEVC) return;
  // The parser reads the parameter sets (in the extradata or in band) and works out each
  // picture's order count as the decoder does.
  parser_.reset(av_parser_init(codec_));
  context_.reset(avcodec_alloc_context3(nullptr));
  if (!parser_ || !context_ || avcodec_parameters_to_context(context_.get(), &parameters) < 0) {
    doubt_ = true;
    return;
  }
  parser_->flags |= PARSER_FLAG_COMPLETE_FRAMES;
}

void BitstreamOrder::Add(const AVPacket& packet) {
  if (doubt_) return;
  if (parser_) {
    AddCounted(packet);
  } else {
    AddTyped(packet);
  }
  // A stream that does not start at a picture that starts it decodes its first pictures from what
  // is missing: what the decoder makes of them is not read here.
  if (!doubt_ && pictures_.size() == 1 && !pictures_[0].starts) doubt_ = true;
}

void BitstreamOrder::AddCounted(const AVPacket& packet) {
  uint8_t* out = nullptr;
  int outSize = 0;
  av_parser_parse2(parser_.get(), context_.get(), &out, &outSize, packet.data, packet.size,
                   AV_NOPTS_VALUE, AV_NOPTS_VALUE, -1);
  const bool hevc = codec_ == AV_CODEC_ID_HEVC;
  // The first slice of the packet tells its picture's kind; a packet of no slice, or of more than
  // one picture, is not read here.
  int type = -1;
  int slices = 0;
  bool noOutputOfPrior = false;
  bool endOfSequence = false;
  const bool split =
      ForEachNal(packet.data, packet.size, lengthSize_, [&](const uint8_t* unit, int size) {
        if (size < 3) return;
        const int unitType = hevc ? (unit[0] >> 1) & 63 : unit[0] & 31;
        const bool slice = hevc ? unitType <= 31 : unitType >= 1 && unitType <= 5;
        if (hevc && (unitType == 36 || unitType == 37)) endOfSequence = true;
        if (!slice) return;
        // The first slice of a picture: first_mb_in_slice 0 (ue(v) "1") or
        // first_slice_segment_in_pic_flag.
        const uint8_t first = hevc ? unit[2] : unit[1];
        if ((first & 0x80) == 0) return;
        ++slices;
        if (type < 0) type = unitType;
        // no_output_of_prior_pics_flag follows in an IRAP picture's slice.
        if (hevc && unitType >= 16 && unitType <= 23) noOutputOfPrior = (first & 0x40) != 0;
      });
  if (!split || slices != 1 || parser_->pict_type == AV_PICTURE_TYPE_NONE || endOfSequence ||
      (!hevc && (type < 0 || type == 2 || type == 3 || type == 4 ||
                 parser_->picture_structure != AV_PICTURE_STRUCTURE_FRAME))) {
    doubt_ = true;
    return;
  }
  Picture picture{parser_->output_picture_number, false, false, false};
  if (!hevc) {
    picture.starts = type == 5;
  } else if (type >= 16 && type <= 23) {
    // IDR and BLA pictures start a sequence, a CRA picture only at the start of the stream; the
    // skipped leading pictures of one that starts it are dropped (those of a BLA picture, and of
    // the CRA picture the stream starts at).
    const bool bla = type <= 18, cra = type == 21;
    picture.starts = !cra || pictures_.empty();
    raslDropped_ = bla || (cra && pictures_.empty());
    if (type > 21 || (picture.starts && !pictures_.empty() && noOutputOfPrior)) doubt_ = true;
  } else if (type == 8 || type == 9) {
    picture.dropped = raslDropped_;
  } else if (type > 9) {
    doubt_ = true;  // reserved kinds
  }
  pictures_.push_back(picture);
}

void BitstreamOrder::AddTyped(const AVPacket& packet) {
  const bool mpeg4 = codec_ == AV_CODEC_ID_MPEG4;
  int pictures = 0;
  int type = 0;  // 1 I, 2 P, 3 B (MPEG-4's S pictures count as P)
  const uint8_t pictureCode = mpeg4 ? 0xB6 : 0x00;
  // One scan for the group and picture headers.
  ForEachStartCode(packet.data, packet.size, [&](uint8_t code, const uint8_t* header, int size) {
    if (code == pictureCode) {
      ++pictures;
      if (mpeg4 && size >= 1) {
        static constexpr int kTypes[] = {1, 2, 3, 2};
        type = kTypes[header[0] >> 6];
      } else if (!mpeg4 && size >= 2) {
        // temporal_reference (10 bits), then picture_coding_type.
        type = (header[1] >> 3) & 7;
      }
    } else if (!mpeg4 && code == 0xB8) {
      // time_code (25 bits), then closed_gop.
      if (size >= 4) closedGroup_ = ((header[3] >> 6) & 1) != 0;
    }
  });
  if (pictures != 1 || type < 1 || type > 3) {
    doubt_ = true;
    return;
  }
  Picture picture{0, type != 3, type == 1 && pictures_.empty(), false};
  // A B picture before two reference pictures refers to one the stream does not have: the decoder
  // skips it (MPEG-1/2: unless its group is closed).
  if (!picture.reference && references_ < 2 && (mpeg4 || !closedGroup_)) picture.dropped = true;
  if (picture.reference) ++references_;
  pictures_.push_back(picture);
}

bool BitstreamOrder::Order(std::vector<int64_t>* order) const {
  if (doubt_ || pictures_.empty()) return false;
  order->clear();
  order->reserve(pictures_.size());
  const auto count = static_cast<int64_t>(pictures_.size());
  if (!parser_) {
    int64_t held = -1;
    for (int64_t i = 0; i < count; ++i) {
      if (pictures_[i].dropped) continue;
      if (!pictures_[i].reference) {
        order->push_back(i);
        continue;
      }
      if (held >= 0) order->push_back(held);
      held = i;
    }
    if (held >= 0) order->push_back(held);
    return true;
  }
  for (int64_t start = 0, end = 0; start < count; start = end) {
    end = start + 1;
    while (end < count && !pictures_[end].starts) ++end;
    const size_t first = order->size();
    for (int64_t i = start; i < end; ++i) {
      if (!pictures_[i].dropped) order->push_back(i);
    }
    std::stable_sort(order->begin() + first, order->end(), [this](int64_t a, int64_t b) {
      return pictures_[a].count < pictures_[b].count;
    });
    for (size_t n = first + 1; n < order->size(); ++n) {
      if (pictures_[(*order)[n]].count == pictures_[(*order)[n - 1]].count) return false;
    }
  }
  return true;
}

}  // namespace zr8
