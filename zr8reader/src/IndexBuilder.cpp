#include "IndexBuilder.h"

#include <algorithm>
#include <string_view>

#include "BitstreamOrder.h"
#include "PacketDamage.h"
#include "SampleTable.h"

namespace zr8 {
namespace {

// About how many packets a stream has, by its header's count or its duration and rate (0 where it
// tells neither), for the lists a scan of its packets fills.
size_t ExpectedPackets(const AVFormatContext& input, const AVStream& stream) {
  constexpr int64_t kMost = 1 << 20;  // a header's count is not trusted past this
  int64_t count = stream.nb_frames;
  const AVRational rate =
      stream.avg_frame_rate.num > 0 ? stream.avg_frame_rate : stream.r_frame_rate;
  if (count <= 0 && rate.num > 0 && rate.den > 0) {
    double seconds = 0;
    if (stream.duration > 0) {
      seconds = static_cast<double>(stream.duration) * av_q2d(stream.time_base);
    } else if (input.duration > 0) {
      seconds = static_cast<double>(input.duration) / AV_TIME_BASE;
    }
    // A little over, as the duration may be a guess from the file's size.
    const double guess = seconds * av_q2d(rate) * 1.05 + 16;
    count = guess > 0 && guess < static_cast<double>(kMost) ? static_cast<int64_t>(guess) : 0;
  }
  // Nor past a packet for every 16 bytes of the file.
  const int64_t bytes = input.pb != nullptr ? avio_size(input.pb) : -1;
  if (bytes > 0) count = std::min(count, bytes / 16);
  return static_cast<size_t>(std::clamp<int64_t>(count, 0, kMost));
}

}  // namespace

bool IndexBuilder::Build(DecodeCursor& cursor) {
  // The index an earlier open of the same file kept, else built here and kept.
  cacheFolder_ = index_cache::Directory();
  cacheKey_ = cacheFolder_.empty() ? std::string() : IndexKey(cursor);
  if (!cacheKey_.empty() && LoadIndex(cacheFolder_, cacheKey_)) return true;
  std::vector<PacketEntry> packets;
  // Packets the demuxer found damaged (lost transport packets), or that do not reach the decoder
  // whole.
  std::vector<int64_t> corrupt;
  const int lengthSize = NalLengthSize(*source_.parameters);
  const AVCodecID codec = source_.parameters->codec_id;
  std::unique_ptr<BitstreamOrder> headers;
  if (PacketsFromIndex(cursor, &packets)) {
    if (lengthSize > 0) {
      corrupt = DamagedPackets(source_.path, codec, packets, lengthSize);
    }
  } else {
    if (!cursor.input()) return false;
    ++passes_;
    // The order the headers give is read on the way, for a stream whose times do not give it.
    headers = BitstreamOrder::For(*source_.parameters);
    const size_t expected =
        ExpectedPackets(*cursor.input(), *cursor.input()->streams[source_.streamIndex]);
    packets.reserve(expected);
    if (headers) headers->Reserve(expected);
    while (cursor.ReadOwnPacket()) {
      const AVPacket& packet = *cursor.packet();
      if ((packet.flags & AV_PKT_FLAG_CORRUPT) != 0 ||
          !ReadPacketWhole(codec, lengthSize, packet)) {
        corrupt.push_back(static_cast<int64_t>(packets.size()));
      }
      if (headers) headers->Add(packet);
      packets.push_back(PacketEntry{packet.pts, packet.dts, packet.pos, packet.duration,
                                    packet.size, (packet.flags & AV_PKT_FLAG_KEY) != 0,
                                    (packet.flags & AV_PKT_FLAG_DISCARD) == 0});
      av_packet_unref(cursor.packet());
    }
  }
  if (packets.empty() ||
      !OrderIndex(cursor, std::move(packets), !corrupt.empty(), std::move(headers))) {
    return false;
  }
  // Damage seen here is known before any picture shows it (frame threads do not report what they
  // conceal): every picture is decoded. The parser may carry the damage into the packet after the
  // damaged one.
  facts_.damaged = !corrupt.empty();
  for (int64_t decodeIndex : corrupt) {
    for (int64_t at : {decodeIndex, decodeIndex + 1}) {
      const int64_t shown = index_.FrameOf(at);
      if (shown != FrameIndex::kNone) facts_.concealedGroups.insert(index_.KeyFor(shown));
    }
  }
  if (!cacheKey_.empty()) StoreIndex(cacheFolder_, cacheKey_);
  return true;
}

bool IndexBuilder::Reorder() {
  if (!OrderByDecoding(index_.packets())) return false;
  facts_.predicted = false;
  ++rebuilds_;
  if (!cacheKey_.empty()) StoreIndex(cacheFolder_, cacheKey_);
  return true;
}

std::string IndexBuilder::IndexKey(const DecodeCursor& cursor) const {
  if (cursor.input() == nullptr) return {};
  const AVCodecParameters& parameters = *source_.parameters;
  return index_cache::StreamKey(
      source_.path, cursor.input()->iformat->name,
      {source_.number, source_.streamIndex, source_.timeBase.num, source_.timeBase.den,
       Code(parameters.codec_id), parameters.codec_tag, parameters.width, parameters.height,
       parameters.format, parameters.profile, parameters.level, Code(parameters.field_order)},
      Extradata(parameters));
}

bool IndexBuilder::LoadIndex(const std::string& folder, const std::string& key) {
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
    facts_ = std::move(kept);
    source_.reopenUnprobed = facts_.reopenUnprobed;
    return true;
  } catch (...) {
    return false;
  }
}

void IndexBuilder::StoreIndex(const std::string& folder, const std::string& key) const {
  try {
    if (index_.frameCount() == 0) return;
    index_cache::Store(folder, index_cache::NameFor(source_.path, "video", source_.number), key,
                       index_cache::EncodeVideo(index_, facts_));
  } catch (...) {
  }
}

bool IndexBuilder::OrderIndex(DecodeCursor& cursor, std::vector<PacketEntry> packets, bool damaged,
                              std::unique_ptr<BitstreamOrder> headers) {
  // Packed B-frames (MPEG-4 video as older encoders write it): a packet carries a P picture and
  // the B picture shown before it, followed by a placeholder packet of a few bytes. The decoder
  // keeps the second picture of a packet and decodes it with the next packet, so a packet's
  // picture is not its own content, and skipping one would lose the picture held for the next.
  // Such streams decode every picture; the placeholders give them away.
  constexpr int kPlaceholderBytes = 19;  // the decoder's own bound for a placeholder
  facts_.packedPictures =
      source_.parameters->codec_id == AV_CODEC_ID_MPEG4 &&
      std::any_of(packets.begin(), packets.end(),
                  [](const PacketEntry& packet) { return packet.size <= kPlaceholderBytes; });
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
  // Otherwise the order the headers give, where they leave no doubt: a prediction that every
  // decode checks (a contradiction reorders the stream by a decode). Damage, packed pictures and
  // packets the demuxer drops take the decode at once.
  const bool allPresented = std::all_of(packets.begin(), packets.end(),
                                        [](const PacketEntry& packet) { return packet.presented; });
  if (!damaged && !facts_.packedPictures && allPresented) {
    // Packets listed from the sample table: their headers take a read of each.
    if (!headers && timesAreDecodeTimes) headers = ReadHeaders(cursor, packets);
    std::vector<int64_t> order;
    if (headers && headers->Order(&order) && StartAsPredicted(packets.size(), order)) {
      index_.OrderByOutputs(std::move(packets), order);
      facts_.predicted = true;
      return true;
    }
  }
  return OrderByDecoding(std::move(packets));
}

std::unique_ptr<BitstreamOrder> IndexBuilder::ReadHeaders(DecodeCursor& cursor,
                                                          const std::vector<PacketEntry>& packets) {
  auto headers = BitstreamOrder::For(*source_.parameters);
  if (!headers || !cursor.Rewind(source_)) return nullptr;
  ++passes_;
  size_t read = 0;
  for (; read < packets.size() && cursor.ReadOwnPacket(); ++read) {
    if (!IsPacketOf(*cursor.packet(), packets[read])) headers->Doubt();
    headers->Add(*cursor.packet());
    av_packet_unref(cursor.packet());
  }
  if (read != packets.size() || cursor.ReadOwnPacket()) headers->Doubt();
  av_packet_unref(cursor.packet());
  return headers;
}

bool IndexBuilder::StartAsPredicted(size_t packets, const std::vector<int64_t>& order) {
  // What the start of a stream presents rests on the decoder more than on the headers: it drops
  // the leading pictures that refer to pictures before the stream, and one that does not know how
  // far pictures are held back (no such field in the stream's parameters) learns it from the
  // pictures it meets, dropping those it learnt it from too late. A later run from a key frame
  // past the start would not see such a difference, yet every frame number depends on it: where
  // either applies, the start is decoded here and checked.
  int64_t held = 0;  // the most pictures the order holds back at once
  for (size_t n = 0; n < order.size(); ++n) {
    held = std::max(held, order[n] - static_cast<int64_t>(n));
  }
  if (order.size() == packets && held <= source_.parameters->video_delay) return true;
  constexpr size_t kChecked = 32;  // pictures; past the start, every run checks its own
  DecodeCursor pass;
  std::vector<int64_t> outputs;
  const size_t checked = std::min(kChecked, order.size());
  ++passes_;
  return pass.Open(source_, 0, nullptr) && pass.DecodeAll(&outputs, checked) &&
         std::equal(outputs.begin(), outputs.end(), order.begin(),
                    order.begin() + static_cast<std::ptrdiff_t>(checked));
}

bool IndexBuilder::OrderByDecoding(std::vector<PacketEntry> packets) {
  // One decode of the whole stream in software with automatic threads, as a full decode presents
  // it.
  ++passes_;
  DecodeCursor pass;
  std::vector<int64_t> outputs;
  if (!pass.Open(source_, 0, nullptr) || !pass.DecodeAll(&outputs)) return false;
  index_.OrderByOutputs(std::move(packets), outputs);
  return true;
}

bool IndexBuilder::PacketsFromIndex(DecodeCursor& cursor, std::vector<PacketEntry>* out) {
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
  ++passes_;
  if (!check()) {
    av_packet_unref(cursor.packet());
    // From the start again, for the packet scan.
    cursor.Rewind(source_);
    return false;
  }
  for (auto& packet : packets) packet.pts += shift;
  *out = std::move(packets);
  source_.reopenUnprobed = facts_.reopenUnprobed = true;
  return true;
}

}  // namespace zr8
