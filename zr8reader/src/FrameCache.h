// Pictures a stream decoded on the way to the ones asked for, kept in case they are asked for
// later. A random request behind every decoding position costs a run from its key frame; a picture
// kept saves that run. When the cache is full, the picture cheapest to decode again (fewest packets
// from its key frame) makes way, the one kept longest first among equals.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "Av.h"

namespace zr8 {

class FrameCache {
 public:
  // Keeps a reference to the picture of presentation index `index` when there is room, or when it
  // costs more to decode again than the cheapest one kept (which then goes). The decoder takes
  // recycled memory (PictureMemory) in place of the picture it no longer gets back.
  void Offer(int64_t index, int64_t cost, const AVFrame& frame, size_t capacity);
  // Whether Offer would keep a picture of `index` and `cost` (one not yet in system memory is
  // brought there only then).
  bool Wants(int64_t index, int64_t cost, size_t capacity) const;
  // Moves the picture of `index` into `out` (which must be empty) and forgets it; false when it is
  // not kept.
  bool Take(int64_t index, AVFrame* out);
  // Forgets the cheapest pictures until at most `capacity` are kept.
  void Trim(size_t capacity);
  size_t size() const { return entries_.size(); }

 private:
  struct Entry {
    int64_t index;
    int64_t cost;
    uint64_t stamp;
    FramePtr frame;
  };
  std::vector<Entry>::iterator Cheapest();

  std::vector<Entry> entries_;
  uint64_t clock_ = 0;
};

}  // namespace zr8
