// Builds a video stream's frame index when it opens: from the index cache where an earlier open
// kept it, else from the container's sample table (MP4, MOV) or one pass over the packets, ordered
// by the packets' presentation times where they give the order and by one decode of the whole
// stream where they do not. Beside the index it concludes the facts the stream keeps (damage seen
// in the packets and the groups it conceals, packed pictures, readers that need no stream
// information) and keeps both in the index cache.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "BitstreamOrder.h"
#include "DecodeCursor.h"
#include "FrameIndex.h"
#include "IndexCache.h"

namespace zr8 {

class IndexBuilder {
 public:
  // Builds into `index` and `facts` the index of the stream `source` describes (whose
  // reopenUnprobed it sets).
  IndexBuilder(StreamSource& source, FrameIndex& index, index_cache::VideoFacts& facts)
      : source_(source), index_(index), facts_(facts) {}

  // `cursor` reads the file from its start; it is left anywhere in it.
  bool Build(DecodeCursor& cursor);
  // Passes over the file made to index the stream (a scan of its packets, a decode of it, a check
  // of its sample table); none when the index came from the index cache.
  uint64_t passes() const { return passes_; }
  // Orders the built index anew by one decode of the whole stream (its predicted order was
  // contradicted by the decoder) and keeps it in the index cache in place of the prediction.
  bool Reorder();
  // How many times that was done.
  uint64_t rebuilds() const { return rebuilds_; }

 private:
  bool OrderIndex(DecodeCursor& cursor, std::vector<PacketEntry> packets, bool damaged,
                  std::unique_ptr<BitstreamOrder> headers);
  // The headers of `packets` read from the file (from its start, by `cursor`).
  std::unique_ptr<BitstreamOrder> ReadHeaders(DecodeCursor& cursor,
                                              const std::vector<PacketEntry>& packets);
  bool PacketsFromIndex(DecodeCursor& cursor, std::vector<PacketEntry>* packets);
  // Whether a decode presents the first pictures of the stream (of `packets` packets) as `order`
  // predicts, where what the start presents rests on the decoder.
  bool StartAsPredicted(size_t packets, const std::vector<int64_t>& order);
  bool OrderByDecoding(std::vector<PacketEntry> packets);
  // The index cache's key for this stream (empty: not cached), and its load and store.
  std::string IndexKey(const DecodeCursor& cursor) const;
  bool LoadIndex(const std::string& folder, const std::string& key);
  void StoreIndex(const std::string& folder, const std::string& key) const;

  StreamSource& source_;
  FrameIndex& index_;
  index_cache::VideoFacts& facts_;
  std::string cacheFolder_, cacheKey_;  // where the index is kept (no key: not kept)
  uint64_t passes_ = 0;
  uint64_t rebuilds_ = 0;
};

}  // namespace zr8
