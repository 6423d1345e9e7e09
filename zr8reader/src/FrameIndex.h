// The frames of one video stream and the packets they come from, without decoding.
//
// Packets are listed in decode order (their decode index is their place in the file). Frame n is
// the n-th picture a full sequential decode presents: where every presented packet carries its own
// presentation time, sorting by those times gives the order; otherwise the order is what one decode
// of the stream presented, packet by packet. A decoder's output is recognised by the decode index
// it was sent with, never by the file's times.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

struct AVPacket;

namespace zr8 {

struct PacketEntry {
  int64_t pts;  // as the file gives them (AV_NOPTS_VALUE when it has none)
  int64_t dts;
  int64_t pos;
  int64_t duration;
  int size;
  bool key;
  bool presented;  // not marked for discarding by the demuxer
};

// Whether a packet read from the file is the one `entry` lists (by position where both have one,
// else by time, and by size): after a seek a demuxer may cut packets otherwise than in the pass
// that made the index, and the file may have changed.
bool IsPacketOf(const AVPacket& packet, const PacketEntry& entry);

class FrameIndex {
 public:
  static constexpr int64_t kNone = -1;

  // Orders the frames by the packets' presentation times, taking `packets`. False (and `packets`
  // left as they were) when a presented packet has none or two share one: only a decode can order
  // such a stream.
  bool OrderByTimes(std::vector<PacketEntry>& packets);
  // Orders the frames as a decode presented them: `outputs` lists the decode index of each picture
  // it delivered, in delivery order. A packet delivered twice counts once.
  void OrderByOutputs(std::vector<PacketEntry> packets, const std::vector<int64_t>& outputs);
  // An order kept from an earlier build (`presentation`: the decode index of each frame). False
  // (and nothing kept) when it cannot be one: no frame, a packet out of range, shown twice or of a
  // negative size; ordered by times, a packet not presented or times not rising.
  bool Restore(std::vector<PacketEntry> packets, std::vector<int64_t> presentation, bool byTimes);

  int64_t frameCount() const { return static_cast<int64_t>(presentation_.size()); }
  int64_t packetCount() const { return static_cast<int64_t>(packets_.size()); }
  bool byTimes() const { return byTimes_; }
  const PacketEntry& packet(int64_t decodeIndex) const { return packets_[decodeIndex]; }
  const std::vector<PacketEntry>& packets() const { return packets_; }
  const std::vector<int64_t>& presentation() const { return presentation_; }
  const PacketEntry& packetOfFrame(int64_t frame) const { return packets_[presentation_[frame]]; }
  int64_t decodeIndexOf(int64_t frame) const { return presentation_[frame]; }
  // The frame a packet's picture is, kNone when it is not presented (or out of range).
  int64_t FrameOf(int64_t decodeIndex) const {
    return decodeIndex >= 0 && decodeIndex < packetCount() ? frameOf_[decodeIndex] : kNone;
  }
  // The key frame to start decoding at for frame `frame`: the last at or before its packet whose
  // own picture is not shown after it (the leading pictures of an open GOP are reached from the
  // GOP before). Its place in keys().
  size_t KeyFor(int64_t frame) const;
  // Decode indices of the key frames (the first packet always counts as one).
  const std::vector<int64_t>& keys() const { return keys_; }

 private:
  void Finish();

  std::vector<PacketEntry> packets_;
  std::vector<int64_t> presentation_;  // decode index of each frame
  std::vector<int64_t> frameOf_;       // frame of each packet, kNone when not presented
  std::vector<int64_t> keys_;
  bool byTimes_ = false;
};

}  // namespace zr8
