#include "AccessPolicy.h"

#include <algorithm>

#include "ThreadBudget.h"

namespace zr8 {

int64_t AccessPolicy::AidShare() {
  return kAidBytes / 2 / std::max(ThreadBudget::Instance().streams(), 1);
}

size_t AccessPolicy::CacheLimit() const {
  return static_cast<size_t>(std::min<int64_t>(AidShare() / pictureBytes_, kCachedFrames));
}

size_t AccessPolicy::CursorLimit() const {
  // A parked decoder holds about its threads' pictures and a few references; its reader holds the
  // demuxer's index of every track (10 MB or more for two hours of an MP4). The decoder's own
  // tables (about two pictures per thread) are in the Account, not here: counted, they would
  // halve the positions a lone 1080p stream keeps.
  const DecodeCursor& cursor = *cursors_.back();
  const int64_t perCursor =
      std::max<int64_t>(pictureBytes_ * (cursor.threads() + 3) + cursor.readerBytes(), 1);
  return std::min(static_cast<size_t>(std::clamp<int64_t>(AidShare() / perCursor, 2, kCursors)),
                  cap_);
}

void AccessPolicy::Trim() {
  const size_t limit = CursorLimit();
  if (cursors_.size() > limit) {
    cursors_.erase(cursors_.begin(),
                   cursors_.begin() + static_cast<std::ptrdiff_t>(cursors_.size() - limit));
  }
  cache_.Trim(CacheLimit());
}

int64_t AccessPolicy::Cost(const FrameIndex& index, int64_t frame) {
  return index.decodeIndexOf(frame) - index.keys()[index.KeyFor(frame)] + 1;
}

bool AccessPolicy::Wants(const FrameIndex& index, int64_t frame) const {
  return cache_.Wants(frame, Cost(index, frame), CacheLimit());
}

void AccessPolicy::Pass(const FrameIndex& index, int64_t frame, const AVFrame& picture) {
  cache_.Offer(frame, Cost(index, frame), picture, CacheLimit());
}

bool AccessPolicy::Choose(const FrameIndex& index, int64_t target, size_t key,
                          const CursorMaker& make) {
  // Decoding forward from a cursor costs the packets up to the frame; seeking costs those from the
  // key frame. The cheapest cursor that can go forward is taken when it is not dearer than a seek;
  // otherwise the cursor used longest ago seeks (a new one while there are fewer than the limit
  // and the current one has delivered frames).
  const int64_t seekCost = index.decodeIndexOf(target) - index.keys()[key] + 1;
  int64_t best = -1;
  size_t chosen = 0;
  for (size_t slot = 0; slot < cursors_.size(); ++slot) {
    const int64_t cost = cursors_[slot]->ForwardCost(index, target, key);
    // Among equals the current cursor (the last) wins.
    if (cost >= 0 && (best < 0 || cost <= best)) {
      best = cost;
      chosen = slot;
    }
  }
  auto makeCurrent = [this](size_t slot) {
    std::rotate(cursors_.begin() + static_cast<std::ptrdiff_t>(slot),
                cursors_.begin() + static_cast<std::ptrdiff_t>(slot) + 1, cursors_.end());
  };
  if (best >= 0 && best <= seekCost) {
    makeCurrent(chosen);
    return true;
  }
  if (current().delivered()) {
    if (make && cursors_.size() < CursorLimit()) {
      if (auto fresh = make()) {
        cursors_.push_back(std::move(fresh));
        return false;
      }
    }
    makeCurrent(0);
  }
  return false;
}

}  // namespace zr8
