// One video stream of a file with random access to every presented frame.
//
// Frame n is the n-th picture a full sequential decode of the stream presents (FrameIndex). A
// request is answered from the picture cache, or decoded forward by a cursor whose run reaches the
// frame, or by a cursor seeking to the key frame at or before it (AccessPolicy, DecodeCursor). A
// frame that does not come out from its key frame is looked for from one key frame earlier, and
// no further. The stream holds the lock, describes the format and falls back from hardware.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "../include/Zr8Reader.h"
#include "AccessPolicy.h"
#include "Av.h"
#include "DecodeCursor.h"
#include "FrameIndex.h"
#include "Handle.h"
#include "HardwareDecode.h"
#include "IndexBuilder.h"
#include "Picture.h"
#include "Pools.h"
#include "ThreadBudget.h"

namespace zr8 {

class VideoStream final : public Handle {
 public:
  static constexpr HandleKind kKind = HandleKind::kVideo;

  // Opens the `number`-th video stream; the status on failure. With a hardware request the stream
  // decodes on that hardware where it can, and in software otherwise or once the hardware fails.
  // `probed`, when given, is a reader of the file that has read its stream information.
  static int32_t Open(const std::string& path, int number, const Zr8DecodePrefs* prefs,
                      std::shared_ptr<PictureStore> store, std::unique_ptr<VideoStream>* out,
                      const HardwareRequest& hardware = {}, FormatPtr probed = nullptr);

  // The frame count and format may change once, while a request orders the stream anew (a
  // decode contradicted the order read from the headers); both are read safely meanwhile.
  int64_t frameCount() const { return frames_.load(); }
  int64_t length() const { return length_; }
  Zr8VideoFormat format() {
    std::lock_guard lock(mutex_);
    return format_;
  }
  Zr8VideoCompressedFormat compressedFormat() const { return compressed_; }
  Zr8DecodePrefs prefs() {
    std::lock_guard lock(mutex_);
    return prefs_;
  }
  // Whether the pictures come from the hardware.
  bool onHardware() {
    std::lock_guard lock(mutex_);
    return hardware_ != nullptr && prefs_.hardwarePreference != 0;
  }

  int32_t GetFrame(int64_t index, Image** image);

  // How many frames were decoded and how many seeks made so far (for tests of the access paths).
  uint64_t decodedFrames() const { return decodedFrames_; }
  uint64_t seeks() const { return seeks_; }
  uint64_t rereads() const { return rereads_; }  // seeks that counted packets from the start
  uint64_t cacheHits() const { return cacheHits_; }
  // Passes over the file made to index the stream at open (a scan of its packets, a decode of it,
  // a check of its sample table); 0 when the index came from the index cache (IndexCache).
  uint64_t indexPasses() const { return builder_.passes(); }
  // Times a decode contradicted the frame order read from the headers, and the stream was ordered
  // by a decode of it instead.
  uint64_t orderRebuilds() const { return builder_.rebuilds(); }
  int decoderThreads() { return access_.current().threads(); }
  size_t cursors() const { return access_.cursors(); }

 private:
  // kEarlier: the target's group holds a damaged picture, concealed from pictures before the
  // group's key frame, and the run started at that key frame: it must start one key frame earlier.
  // kLost: the reader met a packet the index does not have there. kContradicted: the decoder's
  // pictures contradicted the order the index predicted.
  enum class Outcome { kFound, kMissed, kHardwareFailed, kAgain, kEarlier, kLost, kContradicted };
  // Decoding positions of a stream on hardware: two, so that a caller alternating between two
  // places does not seek, each decoder holding its own surfaces of the device.
  static constexpr size_t kHardwareCursors = 2;

  VideoStream(std::string path, std::shared_ptr<PictureStore> store)
      : Handle(kKind), store_(std::move(store)) {
    source_.path = std::move(path);
  }
  bool SeekToKey(int64_t decodeIndex, bool fromStart = false);
  void RebalanceThreads();
  int ThreadLimit() const;  // for the budget
  std::unique_ptr<DecodeCursor> MakeCursor();
  Outcome DecodeTo(int64_t index);
  bool NewlyConcealed(const DecodeCursor& cursor, int64_t target);
  int32_t Deliver(const AVFrame& frame, Image** image);
  // Keeps the current cursor's frame (frame `index`) as the last delivered frame and delivers it.
  int32_t DeliverFound(AVFrame* frame, int64_t index, Image** image);
  // Orders the stream by a decode of it, its predicted order contradicted.
  bool ReorderByDecoding();
  // Brings a picture of the hardware into system memory; false when the hardware failed.
  bool Download(AVFrame* frame);
  bool FallBackToSoftware();
  void ReportSoftware();

  std::mutex mutex_;
  StreamSource source_;
  std::shared_ptr<PictureStore> store_;
  FrameIndex index_;
  std::unique_ptr<HardwareDecoder> hardware_;  // null: software decoding
  // The threads of the current cursor's decoder in the budget; declared before the cursors, so
  // given back after their decoders close.
  BudgetLease lease_;
  int threadLimit_ = 0;
  AccessPolicy access_;
  FramePtr last_ = MakeFrame();  // the last delivered frame, kept for a repeated request
  int64_t lastIndex_ = -1;
  // Damage seen (pictures before a target are all decoded), the groups with a concealed picture
  // (decoded from the key frame before), packed pictures (every picture is decoded).
  index_cache::VideoFacts facts_;
  IndexBuilder builder_{source_, index_, facts_};
  bool madeInSoftware_ = false;  // the hardware's decoder chose system memory for a picture

  std::optional<PictureConverter> converter_;
  PictureLayout layout_;
  Zr8VideoFormat format_{};
  Zr8VideoCompressedFormat compressed_{};
  Zr8DecodePrefs prefs_{};
  std::atomic<int64_t> length_{0};
  std::atomic<int64_t> frames_{0};
  bool fullRange_ = false;
  uint64_t decodedFrames_ = 0;
  uint64_t seeks_ = 0;
  uint64_t rereads_ = 0;
  uint64_t cacheHits_ = 0;
};

}  // namespace zr8
