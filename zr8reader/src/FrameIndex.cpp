#include "FrameIndex.h"

#include <algorithm>
#include <unordered_set>

#include "Av.h"

namespace zr8 {

bool IsPacketOf(const AVPacket& packet, const PacketEntry& entry) {
  return SamePacket(packet, entry.pos, entry.size,
                    entry.pts != AV_NOPTS_VALUE ? entry.pts : entry.dts);
}

bool FrameIndex::OrderByTimes(std::vector<PacketEntry>& packets) {
  std::vector<int64_t> order;
  std::unordered_set<int64_t> times;
  for (int64_t i = 0; i < static_cast<int64_t>(packets.size()); ++i) {
    if (!packets[i].presented) continue;
    if (packets[i].pts == AV_NOPTS_VALUE || !times.insert(packets[i].pts).second) return false;
    order.push_back(i);
  }
  std::sort(order.begin(), order.end(),
            [&](int64_t a, int64_t b) { return packets[a].pts < packets[b].pts; });
  // A stream that starts inside a GOP: the pictures before the first key frame, and those after it
  // that are shown before it (they refer to what is missing), cannot be decoded and are not shown.
  const auto firstKey = std::find_if(packets.begin(), packets.end(),
                                     [](const PacketEntry& packet) { return packet.key; });
  if (firstKey != packets.end()) {
    const int64_t keyIndex = firstKey - packets.begin();
    const int64_t keyPts = firstKey->pts;
    std::vector<int64_t> kept;
    for (int64_t decodeIndex : order) {
      if (decodeIndex >= keyIndex && packets[decodeIndex].pts >= keyPts)
        kept.push_back(decodeIndex);
    }
    if (!kept.empty()) order = std::move(kept);
  }
  packets_ = std::move(packets);
  presentation_ = std::move(order);
  byTimes_ = true;
  Finish();
  return true;
}

void FrameIndex::OrderByOutputs(std::vector<PacketEntry> packets,
                                const std::vector<int64_t>& outputs) {
  packets_ = std::move(packets);
  presentation_.clear();
  presentation_.reserve(std::min(outputs.size(), packets_.size()));
  std::vector<bool> seen(packets_.size(), false);
  for (int64_t decodeIndex : outputs) {
    if (decodeIndex < 0 || decodeIndex >= packetCount() || seen[decodeIndex]) continue;
    seen[decodeIndex] = true;
    presentation_.push_back(decodeIndex);
  }
  byTimes_ = false;
  Finish();
}

bool FrameIndex::Restore(std::vector<PacketEntry> packets, std::vector<int64_t> presentation,
                         bool byTimes) {
  const auto count = static_cast<int64_t>(packets.size());
  if (presentation.empty()) return false;
  std::vector<bool> seen(packets.size(), false);
  for (size_t n = 0; n < presentation.size(); ++n) {
    const int64_t at = presentation[n];
    if (at < 0 || at >= count || seen[at]) return false;
    seen[at] = true;
    if (byTimes && (!packets[at].presented || packets[at].pts == AV_NOPTS_VALUE ||
                    (n > 0 && packets[at].pts <= packets[presentation[n - 1]].pts))) {
      return false;
    }
  }
  for (const PacketEntry& packet : packets) {
    if (packet.size < 0) return false;
  }
  packets_ = std::move(packets);
  presentation_ = std::move(presentation);
  byTimes_ = byTimes;
  Finish();
  return true;
}

void FrameIndex::Finish() {
  frameOf_.assign(packets_.size(), kNone);
  for (int64_t n = 0; n < frameCount(); ++n) frameOf_[presentation_[n]] = n;
  keys_.clear();
  for (int64_t i = 0; i < packetCount(); ++i) {
    if (packets_[i].key || i == 0) keys_.push_back(i);
  }
}

size_t FrameIndex::KeyFor(int64_t frame) const {
  const int64_t target = presentation_[frame];
  auto after = std::upper_bound(keys_.begin(), keys_.end(), target);
  size_t key = static_cast<size_t>(after - keys_.begin()) - 1;
  while (key > 0) {
    const int64_t shown = frameOf_[keys_[key]];
    if (shown != kNone && shown <= frame) break;
    --key;
  }
  return key;
}

}  // namespace zr8
