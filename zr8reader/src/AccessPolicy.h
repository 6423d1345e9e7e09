// How a video stream reaches a requested frame: from the picture cache, by decoding forward with a
// cursor whose run reaches it, or by seeking a cursor to the frame's key frame.
//
// A stream keeps up to eight cursors (each its own reader and decoder): a caller that alternates
// between places of the stream decodes forward at each instead of seeking for every request, and a
// random request near an earlier one continues from it. A new cursor is made at a request that no
// cursor reaches more cheaply than a seek; once there are as many as the stream may keep, the one
// used longest ago seeks. Pictures decoded on the way to a requested one are kept in the cache.
// The memory for parked cursors (their decoders' pictures and their readers' indexes) and kept
// pictures is shared by the open streams of the process: with more streams open, larger pictures
// or longer files, each keeps fewer (at least two cursors, so that two places alternate freely). A
// stream may cap its cursors lower (two, for decoders on one device).
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "DecodeCursor.h"
#include "FrameCache.h"
#include "FrameIndex.h"

namespace zr8 {

class AccessPolicy {
 public:
  using CursorMaker = std::function<std::unique_ptr<DecodeCursor>()>;

  explicit AccessPolicy(int64_t pictureBytes = 1)
      : pictureBytes_(std::max<int64_t>(pictureBytes, 1)) {}
  void SetPictureBytes(int64_t bytes) { pictureBytes_ = std::max<int64_t>(bytes, 1); }

  void Add(std::unique_ptr<DecodeCursor> cursor) { cursors_.push_back(std::move(cursor)); }
  DecodeCursor& current() { return *cursors_.back(); }
  size_t cursors() const { return cursors_.size(); }
  FrameCache& cache() { return cache_; }

  // Applies the limits of the moment (more streams opened since: fewer cursors and pictures).
  void Trim();
  // Makes the cursor to use for frame `target` (whose key frame is keys()[key]) the current one;
  // true when it decodes forward to the frame, false when it must seek. `make`, when given, makes a
  // new cursor (null when it cannot).
  bool Choose(const FrameIndex& index, int64_t target, size_t key, const CursorMaker& make);
  // Whether the cache would keep the picture of `frame`, passed on the way to another; Pass offers
  // it.
  bool Wants(const FrameIndex& index, int64_t frame) const;
  void Pass(const FrameIndex& index, int64_t frame, const AVFrame& picture);
  // At most `cap` cursors from now on (a hardware stream's decoders share one device).
  void CapCursors(size_t cap) { cap_ = std::min(cap, kCursors); }
  // Forgets every cursor but the current one.
  void DropParked() { cursors_.erase(cursors_.begin(), cursors_.end() - 1); }

 private:
  static constexpr size_t kCursors = 8;        // cursors of one stream at most
  static constexpr size_t kCachedFrames = 32;  // pictures kept by one stream at most
  // Memory of the whole process for parked cursors and kept pictures (half for each).
  static constexpr int64_t kAidBytes = int64_t{320} << 20;
  static int64_t AidShare();  // of kAidBytes, for each kind of aid of one stream
  // Packets to decode from the frame's key frame to the frame.
  static int64_t Cost(const FrameIndex& index, int64_t frame);
  size_t CursorLimit() const;
  size_t CacheLimit() const;

  std::vector<std::unique_ptr<DecodeCursor>> cursors_;  // used longest ago first
  FrameCache cache_;
  int64_t pictureBytes_;  // of one decoded picture
  size_t cap_ = kCursors;
};

}  // namespace zr8
