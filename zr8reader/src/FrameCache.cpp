#include "FrameCache.h"

#include <algorithm>

namespace zr8 {

std::vector<FrameCache::Entry>::iterator FrameCache::Cheapest() {
  return std::min_element(entries_.begin(), entries_.end(), [](const Entry& a, const Entry& b) {
    return a.cost != b.cost ? a.cost < b.cost : a.stamp < b.stamp;
  });
}

void FrameCache::Offer(int64_t index, int64_t cost, const AVFrame& frame, size_t capacity) {
  Trim(capacity);
  if (capacity == 0) return;
  for (const Entry& entry : entries_) {
    if (entry.index == index) return;
  }
  auto slot = entries_.end();
  if (entries_.size() >= capacity) {
    slot = Cheapest();
    if (slot->cost > cost) return;
  }
  if (slot == entries_.end()) {
    entries_.push_back(Entry{index, cost, 0, MakeFrame()});
    slot = entries_.end() - 1;
  }
  slot->index = index;
  slot->cost = cost;
  slot->stamp = ++clock_;
  av_frame_unref(slot->frame.get());
  if (av_frame_ref(slot->frame.get(), &frame) < 0) entries_.erase(slot);
}

bool FrameCache::Wants(int64_t index, int64_t cost, size_t capacity) const {
  if (capacity == 0) return false;
  for (const Entry& entry : entries_) {
    if (entry.index == index) return false;
  }
  if (entries_.size() < capacity) return true;
  // When full, the cheapest kept makes way for one that costs no less.
  return std::any_of(entries_.begin(), entries_.end(),
                     [cost](const Entry& entry) { return entry.cost <= cost; });
}

bool FrameCache::Take(int64_t index, AVFrame* out) {
  auto found = std::find_if(entries_.begin(), entries_.end(),
                            [index](const Entry& entry) { return entry.index == index; });
  if (found == entries_.end()) return false;
  av_frame_move_ref(out, found->frame.get());
  entries_.erase(found);
  return true;
}

void FrameCache::Trim(size_t capacity) {
  while (entries_.size() > capacity) entries_.erase(Cheapest());
}

}  // namespace zr8
