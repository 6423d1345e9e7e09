// One video stream of a file with random access to every presented frame.
//
// When the stream opens, the container's own sample index (MP4, MOV) or else one pass over its
// packets (no decoding) gives each packet's times, position and key flag; sorting the packets that
// are presented by their presentation time gives frame n. A request decodes forward when the frame
// lies ahead of the decoder in the run it is in, and otherwise seeks to the key frame at or before
// it (one whose own presentation time is not later, so that the leading frames of an open GOP are
// reached from the GOP before). Frames are recognised by their presentation time; a frame that does
// not come out makes the request start again from an earlier key frame.
//
// A stream keeps up to eight decoding positions (each its own reader and decoder, used one at a
// time): a caller that alternates between places of the stream decodes forward at each instead
// of seeking for every request, and a random request near an earlier one continues from it. A
// new position is made at a request that no position reaches more cheaply than a seek; once
// there are as many as the stream may keep, the one used longest ago seeks. Pictures decoded on
// the way to a requested one are kept in a cache (FrameCache). The memory for parked positions and
// kept pictures is shared by the open streams of the process: with more streams open, or larger
// pictures, each keeps fewer (at least two positions, so that two places alternate freely).
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "../include/Zr8Reader.h"
#include "Av.h"
#include "FrameCache.h"
#include "Handle.h"
#include "HardwareDecode.h"
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

  int64_t frameCount() const { return static_cast<int64_t>(presentation_.size()); }
  int64_t length() const { return length_; }
  Zr8VideoFormat format() const { return format_; }
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
  uint64_t cacheHits() const { return cacheHits_; }
  int decoderThreads() const { return decoderThreads_; }

 private:
  struct PacketEntry {
    int64_t pts;
    int64_t dts;
    int64_t pos;
    int64_t duration;
    int size;
    bool key;
    bool presented;
  };
  enum class Outcome { kFound, kMissed, kHardwareFailed };

  // A decoding position other than the current one (see SwapPosition).
  struct Position {
    FormatPtr input;
    CodecPtr decoder;
    int decoderThreads = 1;
    PacketPtr packet;
    FramePtr frame;
    bool live = false;
    bool packetHeld = false;
    bool flushSent = false;
    int64_t nextPacket = 0;
    int64_t runStart = 0;
    int64_t lastOutput = -1;
    int64_t outputsInRun = 0;
  };

  VideoStream(std::string path, std::shared_ptr<PictureStore> store)
      : Handle(kKind), path_(std::move(path)), store_(std::move(store)) {}
  // Opens the file anew as the current reader (or takes `probed`). Once the stream's parameters are
  // known, a file indexed from its sample table is reopened without reading stream information
  // again: its packets and their times come from the table alone.
  bool OpenInput(FormatPtr probed = nullptr);
  bool ScanPackets();
  bool PacketsFromIndex();
  void ReadAllPackets();
  bool OrderFrames();
  void BuildFormat(int32_t pixelType);
  size_t KeyFor(int64_t index) const;  // position in keys_ of the key frame to start from
  bool SeekToKey(int64_t decodeIndex);
  void RebalanceThreads();
  int ThreadLimit() const;  // for the budget
  static constexpr int64_t kUnreachable = INT64_MAX;
  static constexpr size_t kPositions = 8;      // decoding positions of one stream at most
  static constexpr size_t kCachedFrames = 32;  // pictures kept by one stream at most
  // Memory of the whole process for parked positions and kept pictures.
  static constexpr int64_t kAidBytes = int64_t{320} << 20;
  static int64_t AidShare();  // of kAidBytes, for each kind of aid of one stream
  size_t PositionLimit() const;
  size_t CacheLimit() const;
  // Packets to decode from the key frame to frame `index`.
  int64_t RunLength(int64_t index) const;
  // Offers frame_ (frame `index`, passed on the way to another) to the cache, then empties it.
  void Pass(int64_t index);
  // Packets to decode from a position to frame `index`, kUnreachable when it cannot go forward.
  int64_t ForwardCost(bool live, int64_t lastOutput, int64_t runStart, int64_t nextPacket,
                      int64_t index, size_t key) const;
  void SwapPosition(Position& other);
  void TakeParked(size_t slot);
  bool MakePosition();
  bool ChoosePosition(int64_t index, size_t key);  // true: the current position goes forward
  bool ReadOwnPacket();
  Outcome DecodeTo(int64_t index);
  int64_t Identify(const AVFrame& frame);
  int32_t Deliver(const AVFrame& frame, Image** image);
  // Keeps frame_ (frame `index`) as the last delivered frame and delivers it.
  int32_t DeliverFound(int64_t index, Image** image);
  bool FallBackToSoftware();
  void ReportSoftware();

  std::mutex mutex_;
  std::string path_;
  std::shared_ptr<PictureStore> store_;
  int number_ = 0;
  int streamIndex_ = -1;
  FormatPtr input_;
  ParametersPtr parameters_;  // of the stream, as its stream information gave them
  AVRational timeBase_{1, 1};
  bool reopenUnprobed_ = false;
  std::unique_ptr<HardwareDecoder> hardware_;  // null: software decoding
  BudgetLease lease_;  // declared before the decoder: given back after it closes
  int threadLimit_ = 0;
  int decoderThreads_ = 1;
  CodecPtr decoder_;
  PacketPtr packet_;
  FramePtr frame_;
  FramePtr last_;  // the last delivered frame, kept for a repeated request
  int64_t lastIndex_ = -1;
  FrameCache cache_;
  int64_t pictureBytes_ = 0;  // of one decoded picture

  std::vector<PacketEntry> packets_;   // decode order
  std::vector<int64_t> presentation_;  // decode index of each presented frame
  std::vector<int64_t> keys_;          // decode indices of key frames
  std::unordered_map<int64_t, int64_t> presentationOfPts_;
  bool timesReliable_ = true;  // every presented packet has its own presentation time

  // Decoder position.
  bool live_ = false;
  bool packetHeld_ = false;  // packet_ holds the next packet to send
  bool flushSent_ = false;
  int64_t nextPacket_ = 0;   // decode index of the next packet of the stream to send
  int64_t runStart_ = 0;     // decode index of the key frame the run started at
  int64_t lastOutput_ = -1;  // presentation index of the last frame that came out
  int64_t outputsInRun_ = 0;

  std::vector<Position> parked_;  // positions other than the current one, least recently used first

  std::optional<PictureConverter> converter_;
  PictureLayout layout_;
  Zr8VideoFormat format_{};
  Zr8VideoCompressedFormat compressed_{};
  Zr8DecodePrefs prefs_{};
  int64_t length_ = 0;
  bool fullRange_ = false;
  uint64_t decodedFrames_ = 0;
  uint64_t seeks_ = 0;
  uint64_t cacheHits_ = 0;
};

}  // namespace zr8
