#include "VideoStream.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string_view>

#include "IndexCache.h"
#include "PictureMemory.h"
#include "SampleTable.h"
#include "Status.h"
#include "zr8hardware/Hardware.h"

namespace zr8 {
namespace {

// Length-prefixed H.264 and HEVC (as MP4 and Matroska carry them): the bytes of each NAL unit's
// length; 0 for other streams.
int NalLengthSize(const AVCodecParameters& parameters) {
  const uint8_t* extra = parameters.extradata;
  const int size = parameters.extradata_size;
  if (parameters.codec_id == AV_CODEC_ID_H264 && size >= 7 && extra[0] == 1) {
    return (extra[4] & 3) + 1;
  }
  if (parameters.codec_id == AV_CODEC_ID_HEVC && size >= 23 &&
      (extra[0] != 0 || extra[1] != 0 || extra[2] > 1)) {
    return (extra[21] & 3) + 1;
  }
  return 0;
}

// The first bits of a NAL unit, emulation prevention bytes removed, read as the slice header's
// fields are.
class HeaderBits {
 public:
  HeaderBits(const uint8_t* data, int size) {
    int zeros = 0;
    for (int i = 0; i < size && bytes_ < static_cast<int>(sizeof(data_)); ++i) {
      if (zeros >= 2 && data[i] == 3) {
        zeros = 0;
        continue;
      }
      zeros = data[i] == 0 ? zeros + 1 : 0;
      data_[bytes_++] = data[i];
    }
  }
  // -1 past the end.
  int Bit() {
    if (at_ >= bytes_ * 8) return -1;
    const int bit = (data_[at_ / 8] >> (7 - at_ % 8)) & 1;
    ++at_;
    return bit;
  }
  // An unsigned Exp-Golomb number; -1 where it runs past the end or past 31 leading zeros.
  int64_t Ue() {
    int zeros = 0;
    for (int bit = Bit(); bit != 1; bit = Bit()) {
      if (bit < 0 || ++zeros > 31) return -1;
    }
    int64_t value = 1;
    for (int i = 0; i < zeros; ++i) {
      const int bit = Bit();
      if (bit < 0) return -1;
      value = (value << 1) | bit;
    }
    return value - 1;
  }

 private:
  uint8_t data_[16] = {};
  int bytes_ = 0;
  int at_ = 0;
};

// Whether a NAL unit, from its first bytes, is damaged where the decoder looks first: a forbidden
// bit set, or a slice whose header has a slice type or parameter set number out of range (or, in
// an IDR picture, a slice type that is not intra). The decoder skips such a unit; where it held a
// picture's only slice, the picture is lost.
bool HeaderDamaged(AVCodecID codec, const uint8_t* nal, int size) {
  if (size < 2) return false;
  HeaderBits bits(nal, size);
  if (bits.Bit() != 0) return true;
  int type = 0;
  for (int i = 0; i < (codec == AV_CODEC_ID_HEVC ? 6 : 7); ++i) type = (type << 1) | bits.Bit();
  if (codec == AV_CODEC_ID_H264) {
    type &= 31;  // after the two bits of nal_ref_idc
    if (type != 1 && type != 5) return false;
    const int64_t firstBlock = bits.Ue(), sliceType = bits.Ue(), parameterSet = bits.Ue();
    // An IDR picture's slices are intra (I or SI) only; the decoder drops any other.
    const bool idrNotIntra = type == 5 && sliceType % 5 != 2 && sliceType % 5 != 4;
    return firstBlock < 0 || sliceType < 0 || sliceType > 9 || parameterSet < 0 ||
           parameterSet >= 256 || idrNotIntra;
  }
  int layerAndTemporal = 0;
  for (int i = 0; i < 9; ++i) layerAndTemporal = (layerAndTemporal << 1) | bits.Bit();
  if ((layerAndTemporal & 7) == 0) return true;  // temporal id + 1 is 0
  const bool slice = type <= 9 || (type >= 16 && type <= 21);
  if (!slice || (layerAndTemporal >> 3) != 0) return false;
  bits.Bit();                  // first slice segment in the picture
  if (type >= 16) bits.Bit();  // no output of prior pictures
  const int64_t parameterSet = bits.Ue();
  return parameterSet < 0 || parameterSet >= 64;
}

constexpr int kHeaderBytes = 12;

// Whether a packet of `size` bytes reaches the decoder whole: its NAL units split (each length is
// not 0 and fits in what follows it; the decoder drops a packet where one does not, and shows no
// picture of it), and none is damaged at its start. `read(offset, bytes, out)` reads bytes of the
// packet.
template <typename Read>
bool PacketWhole(AVCodecID codec, int64_t size, int lengthSize, Read read) {
  int64_t at = 0;
  while (size - at >= 4) {
    uint8_t prefix[4 + kHeaderBytes];
    const int bytes = static_cast<int>(std::min<int64_t>(lengthSize + kHeaderBytes, size - at));
    if (!read(at, bytes, prefix)) return false;
    uint64_t length = 0;
    for (int i = 0; i < lengthSize; ++i) length = (length << 8) | prefix[i];
    at += lengthSize;
    if (length == 0 || length > static_cast<uint64_t>(size - at)) return false;
    const int headerBytes = static_cast<int>(std::min<uint64_t>(length, bytes - lengthSize));
    if (HeaderDamaged(codec, prefix + lengthSize, headerBytes)) return false;
    at += static_cast<int64_t>(length);
  }
  return true;
}

// The same for a packet in start codes (transport, program and raw streams): NAL units are what
// follows each 00 00 01.
bool StartCodedPacketWhole(AVCodecID codec, const uint8_t* data, int size) {
  // Each 01 byte (found by memchr, a few per kilobyte of coded data) that ends 00 00 01.
  for (int at = 2; at < size;) {
    const auto* one = static_cast<const uint8_t*>(std::memchr(data + at, 1, size - at));
    if (one == nullptr) break;
    at = static_cast<int>(one - data) + 1;
    if (one[-1] != 0 || one[-2] != 0) continue;
    if (HeaderDamaged(codec, data + at, std::min(size - at, kHeaderBytes))) return false;
  }
  return true;
}

// The packets of an indexed stream that do not reach the decoder whole, read from the file by
// position through a window of 16 KB (small packets share one read).
std::vector<int64_t> DamagedPackets(const std::string& path, AVCodecID codec,
                                    const std::vector<PacketEntry>& packets, int lengthSize) {
  std::vector<int64_t> found;
  const FilePtr file(std::fopen(path.c_str(), "rbe"));
  if (!file) return found;
  const int fd = fileno(file.get());
  std::vector<uint8_t> window(16 << 10);
  int64_t windowStart = 0, windowBytes = 0;
  auto readFile = [&](int64_t at, int bytes, uint8_t* out) {
    if (at < windowStart || at + bytes > windowStart + windowBytes) {
      const ssize_t got = ::pread(fd, window.data(), window.size(), at);
      windowStart = at;
      windowBytes = got > 0 ? got : 0;
      if (windowBytes < bytes) return false;
    }
    std::copy_n(window.data() + (at - windowStart), bytes, out);
    return true;
  };
  for (size_t i = 0; i < packets.size(); ++i) {
    const int64_t pos = packets[i].pos;
    auto read = [&readFile, pos](int64_t offset, int bytes, uint8_t* out) {
      return readFile(pos + offset, bytes, out);
    };
    if (pos >= 0 && !PacketWhole(codec, packets[i].size, lengthSize, read)) {
      found.push_back(static_cast<int64_t>(i));
    }
  }
  return found;
}

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

int32_t VideoStream::Open(const std::string& path, int number, const Zr8DecodePrefs* prefs,
                          std::shared_ptr<PictureStore> store, std::unique_ptr<VideoStream>* out,
                          const HardwareRequest& hardware, FormatPtr probed) {
  std::unique_ptr<VideoStream> stream(new VideoStream(path, std::move(store)));
  StreamSource& source = stream->source_;
  source.number = number;
  FormatPtr input = probed ? std::move(probed) : OpenMedia(path, true);
  if (!input || !source.Describe(input.get())) return kFail;
  const AVCodecParameters& parameters = *source.parameters;
  stream->threadLimit_ = prefs != nullptr ? static_cast<int>(prefs->decoderThreads) : 0;
  auto cursor = std::make_unique<DecodeCursor>();
  bool opened = false;
  if (hardware.kind != 0) {
    // A hardware decoder takes no threads of the budget: it decodes on the calling thread.
    stream->hardware_ = CreateHardwareDecoder(hardware);
    opened =
        stream->hardware_ && cursor->Open(source, 1, stream->hardware_.get(), std::move(input));
    if (!opened) stream->hardware_.reset();
  }
  if (!opened) {
    const int threads = stream->lease_.Rebalance(stream->threadLimit_);
    opened = cursor->input() != nullptr ? cursor->Reopen(source, threads)
                                        : cursor->Open(source, threads, nullptr, std::move(input));
  }
  if (!opened) return kFail;
  const auto nativeFormat = static_cast<AVPixelFormat>(parameters.format);
  int32_t pixelType = prefs != nullptr ? prefs->pixelType : 0;
  if (pixelType == 0) pixelType = PreferredPixelType(nativeFormat);
  if (PixelTypeFormat(pixelType).format == AV_PIX_FMT_NONE) return kNoInterface;
  if (!MakeLayout(pixelType, parameters.width, parameters.height, &stream->layout_)) {
    return kNoInterface;
  }
  if (!stream->BuildIndex(*cursor) || stream->index_.frameCount() == 0) return kFail;
  stream->access_.Add(std::move(cursor));
  if (!stream->SeekToKey(0)) return kFail;
  // Whether the hardware decodes this stream is known from its first key frame, before the stream
  // is reported as decoded there; where it does not, the software decoder takes its threads.
  if (stream->hardware_ &&
      !ConfirmHardware(*stream->hardware_, parameters, source.timeBase,
                       *stream->access_.current().packet()) &&
      !stream->FallBackToSoftware()) {
    return kFail;
  }
  if (stream->hardware_) stream->access_.CapCursors(kHardwareCursors);
  stream->converter_.emplace(stream->layout_);
  if (prefs != nullptr)
    stream->prefs_ = *prefs;
  else {
    stream->prefs_.reserved0 = 1.0;
    stream->prefs_.reserved8 = 1.0;
    stream->prefs_.reserved40 = 23.976;
    stream->prefs_.reserved96 = 1;
  }
  stream->prefs_.pixelType = pixelType;
  if (stream->hardware_) {
    // The hardware in effect, with the context it was given (the caller's own values).
    stream->prefs_.hardwarePreference = hardware.kind;
    if (hardware.kind != zr8hw::kKindNvidia || !hardware.haveCuda) {
      stream->prefs_.useCuda = 0;
      stream->prefs_.cudaId = 0;
      stream->prefs_.cudaHandle1 = nullptr;
      stream->prefs_.cudaHandle2 = nullptr;
    }
    if (hardware.kind != zr8hw::kKindAmd || hardware.vaapiHandle == nullptr) {
      stream->prefs_.useAmf = 0;
      stream->prefs_.amfHandle1 = nullptr;
      stream->prefs_.amfHandle2 = nullptr;
    }
  } else {
    stream->ReportSoftware();
  }
  stream->BuildFormat(stream->access_.current().input(), pixelType);
  const int nativeBytes =
      av_image_get_buffer_size(nativeFormat, parameters.width, parameters.height, 1);
  stream->access_.SetPictureBytes(static_cast<int64_t>(PictureFootprint(static_cast<size_t>(
      std::max<int64_t>({nativeBytes, static_cast<int64_t>(stream->layout_.totalSize), 1})))));
  *out = std::move(stream);
  return kOk;
}

void VideoStream::ReportSoftware() {
  prefs_.hardwarePreference = 0;
  prefs_.useCuda = 0;
  prefs_.cudaId = 0;
  prefs_.cudaHandle1 = nullptr;
  prefs_.cudaHandle2 = nullptr;
  prefs_.useAmf = 0;
  prefs_.amfHandle1 = nullptr;
  prefs_.amfHandle2 = nullptr;
}

bool VideoStream::FallBackToSoftware() {
  // The decoders go before the hardware they refer to (the hardware stays while one is left); the
  // software decoder takes its share of the thread budget, and further cursors are made anew.
  access_.DropParked();
  access_.CapCursors(SIZE_MAX);
  madeInSoftware_ = false;
  if (!access_.current().Reopen(source_, lease_.Rebalance(threadLimit_))) return false;
  hardware_.reset();
  ReportSoftware();
  return true;
}

bool VideoStream::Download(AVFrame* frame) {
  if (!hardware_) return true;
  const int downloaded = hardware_->Download(frame);
  if (downloaded < 0) {
    av_frame_unref(frame);
    return false;
  }
  madeInSoftware_ = madeInSoftware_ || downloaded == 0;
  return true;
}

bool VideoStream::BuildIndex(DecodeCursor& cursor) {
  // The index an earlier open of the same file kept, else built here and kept.
  const std::string cacheFolder = index_cache::Directory();
  const std::string cacheKey = cacheFolder.empty() ? std::string() : IndexKey(cursor);
  if (!cacheKey.empty() && LoadIndex(cacheFolder, cacheKey)) return true;
  std::vector<PacketEntry> packets;
  // Packets the demuxer found damaged (lost transport packets), or that do not reach the decoder
  // whole.
  std::vector<int64_t> corrupt;
  const int lengthSize = NalLengthSize(*source_.parameters);
  const AVCodecID codec = source_.parameters->codec_id;
  const bool startCoded =
      lengthSize == 0 && (codec == AV_CODEC_ID_H264 || codec == AV_CODEC_ID_HEVC);
  if (PacketsFromIndex(cursor, &packets)) {
    if (lengthSize > 0) {
      corrupt = DamagedPackets(source_.path, codec, packets, lengthSize);
    }
  } else {
    if (!cursor.input()) return false;
    ++indexPasses_;
    while (cursor.ReadOwnPacket()) {
      const AVPacket& packet = *cursor.packet();
      auto read = [&packet](int64_t offset, int bytes, uint8_t* out) {
        std::copy_n(packet.data + offset, bytes, out);
        return true;
      };
      if ((packet.flags & AV_PKT_FLAG_CORRUPT) != 0 ||
          (lengthSize > 0 && !PacketWhole(codec, packet.size, lengthSize, read)) ||
          (startCoded && !StartCodedPacketWhole(codec, packet.data, packet.size))) {
        corrupt.push_back(static_cast<int64_t>(packets.size()));
      }
      packets.push_back(PacketEntry{packet.pts, packet.dts, packet.pos, packet.duration,
                                    packet.size, (packet.flags & AV_PKT_FLAG_KEY) != 0,
                                    (packet.flags & AV_PKT_FLAG_DISCARD) == 0});
      av_packet_unref(cursor.packet());
    }
  }
  if (packets.empty() || !OrderIndex(cursor, std::move(packets), !corrupt.empty())) return false;
  // Damage seen here is known before any picture shows it (frame threads do not report what they
  // conceal): every picture is decoded. The parser may carry the damage into the packet after the
  // damaged one.
  damaged_ = !corrupt.empty();
  for (int64_t decodeIndex : corrupt) {
    for (int64_t at : {decodeIndex, decodeIndex + 1}) {
      const int64_t shown = index_.FrameOf(at);
      if (shown != FrameIndex::kNone) concealedGroups_.insert(index_.KeyFor(shown));
    }
  }
  if (!cacheKey.empty()) StoreIndex(cacheFolder, cacheKey);
  return true;
}

std::string VideoStream::IndexKey(const DecodeCursor& cursor) const {
  if (cursor.input() == nullptr) return {};
  const AVCodecParameters& parameters = *source_.parameters;
  return index_cache::StreamKey(
      source_.path, cursor.input()->iformat->name,
      {source_.number, source_.streamIndex, source_.timeBase.num, source_.timeBase.den,
       Code(parameters.codec_id), parameters.codec_tag, parameters.width, parameters.height,
       parameters.format, parameters.profile, parameters.level, Code(parameters.field_order)},
      Extradata(parameters));
}

bool VideoStream::LoadIndex(const std::string& folder, const std::string& key) {
  try {
    FrameIndex index;
    index_cache::VideoFacts kept;
    auto decode = [&](std::string_view payload) {
      return index_cache::DecodeVideo(payload, &index, &kept);
    };
    if (!index_cache::Load(folder, index_cache::NameFor(source_.path, "video", source_.number), key,
                           decode)) {
      return false;
    }
    index_ = std::move(index);
    damaged_ = kept.damaged;
    packedPictures_ = kept.packedPictures;
    source_.reopenUnprobed = kept.reopenUnprobed;
    concealedGroups_ = std::move(kept.concealedGroups);
    return true;
  } catch (...) {
    return false;
  }
}

void VideoStream::StoreIndex(const std::string& folder, const std::string& key) const {
  try {
    if (index_.frameCount() == 0) return;
    index_cache::VideoFacts kept;
    kept.damaged = damaged_;
    kept.packedPictures = packedPictures_;
    kept.reopenUnprobed = source_.reopenUnprobed;
    kept.concealedGroups = concealedGroups_;
    index_cache::Store(folder, index_cache::NameFor(source_.path, "video", source_.number), key,
                       index_cache::EncodeVideo(index_, kept));
  } catch (...) {
  }
}

bool VideoStream::OrderIndex(DecodeCursor& cursor, std::vector<PacketEntry> packets, bool damaged) {
  // Packed B-frames (MPEG-4 Part 2 as older encoders write it): a packet carries a P picture and
  // the B picture shown before it, followed by a placeholder packet of a few bytes. The decoder
  // keeps the second picture of a packet and decodes it with the next packet, so a packet's
  // picture is not its own content, and skipping one would lose the picture held for the next.
  // Such streams decode every picture; the placeholders give them away.
  constexpr int kPlaceholderBytes = 19;  // the decoder's own bound for a placeholder
  packedPictures_ = source_.parameters->codec_id == AV_CODEC_ID_MPEG4 &&
                    std::any_of(packets.begin(), packets.end(), [](const PacketEntry& packet) {
                      return packet.size <= kPlaceholderBytes;
                    });
  // AVI keeps decode times only: what times its demuxer shows are guesses.
  const bool decodeTimesOnly = std::string_view(cursor.input()->iformat->name) == "avi";
  const AVCodecDescriptor* coding = avcodec_descriptor_get(source_.parameters->codec_id);
  const bool intraOnly = coding != nullptr && (coding->props & AV_CODEC_PROP_INTRA_ONLY) != 0;
  // A damaged packet may give no picture, or take the next one's with it: only a decode tells
  // which pictures a stream with damage the demuxer saw presents.
  if (intraOnly && !damaged) {
    // Pictures are shown in the order they are decoded.
    std::vector<int64_t> order;
    for (int64_t i = 0; i < static_cast<int64_t>(packets.size()); ++i) {
      if (packets[i].presented) order.push_back(i);
    }
    index_.OrderByOutputs(std::move(packets), order);
    return true;
  }
  // Presentation times equal to the decode times in a stream whose decoder holds pictures back
  // (B-frames; some phones' muxers write them so) give the decode order, not the one shown: the
  // decoder shows its pictures by their order counts, which only a decode tells here.
  const bool timesAreDecodeTimes =
      source_.parameters->video_delay > 0 &&
      std::all_of(packets.begin(), packets.end(), [](const PacketEntry& packet) {
        return !packet.presented || packet.pts == packet.dts;
      });
  if (!decodeTimesOnly && !damaged && !timesAreDecodeTimes && index_.OrderByTimes(packets)) {
    return true;
  }
  return OrderByDecoding(std::move(packets));
}

bool VideoStream::OrderByDecoding(std::vector<PacketEntry> packets) {
  // One decode of the whole stream in software with automatic threads, as a full decode presents
  // it.
  ++indexPasses_;
  DecodeCursor pass;
  std::vector<int64_t> outputs;
  if (!pass.Open(source_, 0, nullptr) || !pass.DecodeAll(&outputs)) return false;
  index_.OrderByOutputs(std::move(packets), outputs);
  return true;
}

bool VideoStream::PacketsFromIndex(DecodeCursor& cursor, std::vector<PacketEntry>* out) {
  // MP4 and MOV files list every sample with its position, size, decode time and key flag; the
  // demuxer keeps that list as the stream's index. Presentation times add the composition offsets
  // of the file's sample table. The result is checked against packets actually read at the start
  // and at the end; any difference, or a file whose index is not exactly its sample table (edited
  // or fragmented), is read packet by packet instead.
  AVFormatContext* input = cursor.input();
  AVStream* stream = input->streams[source_.streamIndex];
  if (std::string_view(input->iformat->name).find("mp4") == std::string_view::npos) return false;
  const int count = avformat_index_get_entries_count(stream);
  SampleTable table;
  if (count <= 0 || !ReadSampleTable(source_.path, stream->id, &table) ||
      table.sampleCount != count) {
    return false;
  }
  std::vector<PacketEntry> packets(count);
  for (int i = 0; i < count; ++i) {
    const AVIndexEntry* entry = avformat_index_get_entry(stream, i);
    // A sample of no bytes is no frame: such a file is read packet by packet.
    if (entry == nullptr || (entry->flags & AVINDEX_DISCARD_FRAME) != 0 || entry->size <= 0) {
      return false;
    }
    PacketEntry& packet = packets[i];
    packet.dts = entry->timestamp;
    // Times that do not fit are a damaged table: the packets are read instead.
    const int64_t offset = table.compositionOffsets.empty() ? 0 : table.compositionOffsets[i];
    if (__builtin_add_overflow(entry->timestamp, offset, &packet.pts)) return false;
    packet.pos = entry->pos;
    packet.size = entry->size;
    packet.key = (entry->flags & AVINDEX_KEYFRAME) != 0;
    packet.presented = true;
    if (i > 0 &&
        (packet.dts <= packets[i - 1].dts ||
         __builtin_sub_overflow(packet.dts, packets[i - 1].dts, &packets[i - 1].duration))) {
      return false;
    }
  }
  packets.back().duration = table.lastDuration;

  // The demuxer's own shift of presentation times, from the first packet, then the check.
  auto same = [](const PacketEntry& entry, const AVPacket& packet, int64_t shift) {
    int64_t shifted = 0;
    return !__builtin_add_overflow(entry.pts, shift, &shifted) && packet.dts == entry.dts &&
           packet.pts == shifted && packet.pos == entry.pos && packet.size == entry.size &&
           packet.duration == entry.duration &&
           ((packet.flags & AV_PKT_FLAG_KEY) != 0) == entry.key &&
           (packet.flags & AV_PKT_FLAG_DISCARD) == 0;
  };
  int64_t shift = 0;
  auto check = [&]() {
    if (!cursor.ReadOwnPacket() || cursor.packet()->pts == AV_NOPTS_VALUE ||
        __builtin_sub_overflow(cursor.packet()->pts, packets[0].pts, &shift)) {
      return false;
    }
    bool matches = same(packets[0], *cursor.packet(), shift);
    av_packet_unref(cursor.packet());
    for (int i = 1; matches && i < std::min(count, 64); ++i) {
      matches = cursor.ReadOwnPacket() && same(packets[i], *cursor.packet(), shift);
      av_packet_unref(cursor.packet());
    }
    if (!matches || count <= 64) return matches;
    const PacketEntry& last = packets.back();
    // The seek may land a few samples early (it looks up times the demuxer has shifted).
    if (av_seek_frame(input, source_.streamIndex, last.dts,
                      AVSEEK_FLAG_BACKWARD | AVSEEK_FLAG_ANY) < 0) {
      return false;
    }
    for (int read = 0; read < 256; ++read) {
      if (!cursor.ReadOwnPacket()) return false;
      const bool reached = cursor.packet()->pos == last.pos;
      matches = reached ? same(last, *cursor.packet(), shift) : cursor.packet()->pos < last.pos;
      av_packet_unref(cursor.packet());
      if (reached || !matches) return matches;
    }
    return false;
  };
  ++indexPasses_;
  if (!check()) {
    av_packet_unref(cursor.packet());
    // From the start again, for the packet scan.
    cursor.Rewind(source_);
    return false;
  }
  for (auto& packet : packets) packet.pts += shift;
  *out = std::move(packets);
  source_.reopenUnprobed = true;
  return true;
}

void VideoStream::BuildFormat(AVFormatContext* input, int32_t pixelType) {
  const AVStream* stream = input->streams[source_.streamIndex];
  const AVCodecParameters& parameters = *source_.parameters;
  AVRational par = av_guess_sample_aspect_ratio(input, const_cast<AVStream*>(stream), nullptr);
  const double parValue = par.num > 0 && par.den > 0 ? av_q2d(par) : 1.0;
  AVRational rate = stream->avg_frame_rate;
  if (rate.num <= 0 || rate.den <= 0) rate = stream->r_frame_rate;
  double frameRate = rate.num > 0 && rate.den > 0 ? av_q2d(rate) : 0.0;

  const bool timed = index_.byTimes();
  const PacketEntry& first = index_.packetOfFrame(0);
  const PacketEntry& last = index_.packetOfFrame(frameCount() - 1);
  bool variable = false;
  int64_t previousDelta = -1;
  for (int64_t n = 1; timed && n < frameCount(); ++n) {
    int64_t delta = 0;
    if (__builtin_sub_overflow(index_.packetOfFrame(n).pts, index_.packetOfFrame(n - 1).pts,
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
      length_ = std::max<int64_t>(ToTicks(span, stream->time_base), 0);
    }
  } else if (frameRate > 0) {
    length_ = static_cast<int64_t>(std::llround(frameCount() * 1e7 / frameRate));
  }
  if (frameRate <= 0 && length_ > 0) frameRate = frameCount() * 1e7 / length_;

  const AVPixFmtDescriptor* descriptor =
      av_pix_fmt_desc_get(static_cast<AVPixelFormat>(parameters.format));
  fullRange_ = Code(parameters.color_range) == AVCOL_RANGE_JPEG ||
               parameters.format == AV_PIX_FMT_YUVJ420P ||
               parameters.format == AV_PIX_FMT_YUVJ422P || parameters.format == AV_PIX_FMT_YUVJ444P;

  format_ = {};
  format_.frameCount = frameCount();
  format_.pixelType = pixelType;
  format_.bitDepth = descriptor != nullptr ? descriptor->comp[0].depth : 8;
  format_.imageSize = static_cast<uint32_t>(layout_.totalSize);
  format_.width = layout_.width;
  format_.height = layout_.height;
  format_.topDown = 1;
  format_.duration = length_;
  format_.displayAspect = parValue * layout_.width / layout_.height;
  format_.startTime = !timed ? 0 : ToTicks(first.pts, stream->time_base);
  format_.fullRange = fullRange_ ? 1 : 0;
  format_.interlace = InterlaceCode(parameters.field_order);
  format_.aspectRatio = parValue;
  format_.frameRate = frameRate;
  format_.frameDuration = frameRate > 0 ? 1.0 / frameRate : 0.0;
  format_.colorSpace = Code(parameters.color_space);
  format_.variableRate = variable ? 1 : 0;

  compressed_ = {};
  compressed_.codecId = parameters.codec_id;
  compressed_.profile = parameters.profile;
  compressed_.fourCC = VideoFourCC(parameters);
}

int VideoStream::ThreadLimit() const {
  // What a damaged stream's decoder conceals depends on its thread count: every cursor of such a
  // stream decodes with the count of a full decode.
  if (access_.cursors() < 2 || damaged_) return threadLimit_;
  // A stream that moves between cursors restarts a decoder at most requests; a thread beyond the
  // cores only lengthens each restart.
  const int cores = ThreadBudget::Instance().total() - 1;
  return threadLimit_ > 0 ? std::min(threadLimit_, cores) : cores;
}

void VideoStream::RebalanceThreads() {
  if (hardware_) return;  // a hardware decoder keeps the calling thread
  DecodeCursor& cursor = access_.current();
  const int threads = lease_.Rebalance(ThreadLimit());
  if (threads != cursor.threads() && !cursor.Reopen(source_, threads)) {
    lease_.Rebalance(cursor.threads());
  }
}

bool VideoStream::SeekToKey(int64_t decodeIndex, bool fromStart) {
  ++seeks_;
  RebalanceThreads();
  DecodeCursor& cursor = access_.current();
  const uint64_t before = cursor.rereads();
  const bool sought = cursor.SeekToKey(source_, index_, decodeIndex, fromStart);
  rereads_ += cursor.rereads() - before;
  return sought;
}

std::unique_ptr<DecodeCursor> VideoStream::MakeCursor() {
  auto cursor = std::make_unique<DecodeCursor>();
  if (hardware_) {
    // On the same device, decoding on the calling thread.
    if (!cursor->Open(source_, 1, hardware_.get())) return nullptr;
    return cursor;
  }
  const int threads = lease_.Rebalance(ThreadLimit());
  if (!cursor->Open(source_, threads, nullptr)) {
    lease_.Rebalance(access_.current().threads());
    return nullptr;
  }
  return cursor;
}

VideoStream::Outcome VideoStream::DecodeTo(int64_t index) {
  DecodeCursor& cursor = access_.current();
  while (true) {
    int64_t identity = FrameIndex::kNone;
    switch (cursor.Next(index_, index, !damaged_ && !packedPictures_, hardware_ != nullptr,
                        &identity)) {
      case DecodeCursor::Step::kEnd:
        return Outcome::kMissed;
      case DecodeCursor::Step::kHardwareFailed:
        return Outcome::kHardwareFailed;
      case DecodeCursor::Step::kLost:
        return Outcome::kLost;
      case DecodeCursor::Step::kDamaged:
        // From now on every picture is decoded, and none kept from runs that skipped some.
        damaged_ = true;
        access_.cache().Trim(0);
        return Outcome::kAgain;
      case DecodeCursor::Step::kFrame:
        break;
    }
    ++decodedFrames_;
    if (cursor.concealed() && !hardware_ && NewlyConcealed(cursor, index)) {
      av_frame_unref(cursor.frame());
      access_.cache().Trim(0);
      return Outcome::kEarlier;
    }
    // Only the picture asked for and those the cache keeps leave the device.
    const bool kept =
        identity == index || (identity != FrameIndex::kNone && access_.Wants(index_, identity));
    if (kept && !Download(cursor.frame())) return Outcome::kHardwareFailed;
    if (identity == index) return Outcome::kFound;
    if (kept) access_.Pass(index_, identity, *cursor.frame());
    av_frame_unref(cursor.frame());
    if (identity > index) return Outcome::kMissed;
  }
}

// Records the group of the concealed picture in the cursor's frame; true when it is the group of
// frame `target` (not the first), seen for the first time, in a run that started at its key frame:
// the picture was concealed without the pictures a full decode had before it.
bool VideoStream::NewlyConcealed(const DecodeCursor& cursor, int64_t target) {
  const int64_t shown = index_.FrameOf(cursor.frame()->pts);
  if (shown == FrameIndex::kNone) return false;
  const size_t group = index_.KeyFor(shown);
  if (!concealedGroups_.insert(group).second) return false;
  return group > 0 && group == index_.KeyFor(target) && cursor.runStart() == index_.keys()[group];
}

int32_t VideoStream::Deliver(const AVFrame& frame, Image** image) {
  Block block = store_->Acquire(layout_.totalSize);
  if (!converter_->Convert(frame, block.data())) return kFail;
  std::unique_ptr<DevicePicture> device;
  if (!store_->InCpuMemory()) {
    device = store_->Upload(block);
    if (!device) return kFail;
  }
  uint32_t attributes = store_->InCpuMemory() ? 8u : 0u;
  if (frame.key_frame) attributes |= 1;
  if (frame.interlaced_frame) attributes |= 2;
  if (Code(frame.color_range) == AVCOL_RANGE_JPEG || fullRange_) attributes |= 4;
  double par = format_.aspectRatio;
  if (frame.sample_aspect_ratio.num > 0 && frame.sample_aspect_ratio.den > 0) {
    par = av_q2d(frame.sample_aspect_ratio);
  }
  *image = device ? new Image(std::move(device), layout_, par, attributes)
                  : new Image(std::move(block), layout_, par, attributes);
  return kOk;
}

int32_t VideoStream::GetFrame(int64_t index, Image** image) {
  std::lock_guard lock(mutex_);
  if (index < 0 || index >= frameCount()) return kBounds;
  if (index == lastIndex_) return Deliver(*last_, image);
  FramePtr kept = MakeFrame();
  if (access_.cache().Take(index, kept.get())) {
    ++cacheHits_;
    return DeliverFound(kept.get(), index, image);
  }
  access_.Trim();

  // Nothing sent to the decoder since its last seek: it may change its thread count for free.
  if (access_.current().fresh()) RebalanceThreads();
  size_t key = index_.KeyFor(index);
  const size_t needed = key;
  // A group with a concealed picture is decoded from the key frame before it, as a full decode
  // conceals it from the pictures before.
  if (key > 0 && concealedGroups_.count(key) != 0) --key;
  bool forward = access_.Choose(index_, index, key, [this] { return MakeCursor(); });
  lease_.Hold(access_.current().threads());
  if (!forward && !SeekToKey(index_.keys()[key])) return kFail;
  bool lost = false;  // a run of this request lost its place: later runs count from the start
  for (Outcome outcome; (outcome = DecodeTo(index)) != Outcome::kFound;) {
    if (outcome == Outcome::kLost) {
      // The packets after the run's start are not those of the index (a demuxer that cuts them
      // otherwise after a seek): the run starts again from the packets counted from the start of
      // the file. A run counted so that still does not match reads a file that has changed.
      if (lost) return kFail;
      lost = true;
      forward = false;
    } else if (outcome == Outcome::kAgain) {
      forward = false;
    } else if (outcome == Outcome::kEarlier) {
      forward = false;
      key = needed - 1;
    } else if (outcome == Outcome::kHardwareFailed) {
      // The same frames from software, from the key frame the target needs.
      if (!FallBackToSoftware()) return kFail;
      key = needed;
    } else if (forward) {
      forward = false;
    } else if (hardware_) {
      // Not delivered from the hardware: software may still deliver it.
      if (!FallBackToSoftware()) return kFail;
      key = needed;
    } else if (key + 1 == needed || key == 0) {
      // Not even from one key frame earlier: the frame cannot be had (damage the index did not
      // see); no request walks further back.
      return kFail;
    } else {
      key = needed - 1;
    }
    if (!SeekToKey(index_.keys()[key], lost)) return kFail;
  }
  const int32_t delivered = DeliverFound(access_.current().frame(), index, image);
  // The decoder's format negotiation ended in software (a profile the hardware lacks): the stream
  // goes on in software with its threads (on the hardware still, should that decoder not open).
  if (madeInSoftware_) FallBackToSoftware();
  return delivered;
}

int32_t VideoStream::DeliverFound(AVFrame* frame, int64_t index, Image** image) {
  av_frame_unref(last_.get());
  av_frame_move_ref(last_.get(), frame);
  lastIndex_ = index;
  return Deliver(*last_, image);
}

}  // namespace zr8
