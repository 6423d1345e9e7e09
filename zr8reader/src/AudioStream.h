// One audio stream of a file, decoded to interleaved 32-bit float with sample-accurate access.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "../include/Zr8Reader.h"
#include "Av.h"
#include "Handle.h"
#include "Pools.h"

namespace zr8 {

class AudioStream final : public Handle {
 public:
  static constexpr HandleKind kKind = HandleKind::kAudio;

  // Opens the `number`-th audio stream of the file; null when it cannot be decoded. `probed`, when
  // given, is a reader of the file that has read its stream information, used first.
  static std::unique_ptr<AudioStream> Open(const std::string& path, int number,
                                           std::shared_ptr<MemoryPool> buffers,
                                           FormatPtr probed = nullptr);

  int64_t sampleCount() const { return sampleCount_; }
  int64_t length() const;
  Zr8AudioCompressedFormat format() const { return format_; }

  int32_t GetSamples(int64_t start, float* buffer, int64_t maxFrames, int64_t* framesRead);
  int32_t GetPacket(int64_t number, void* buffer, int64_t capacity, int64_t* bytesRead);

 private:
  struct PacketInfo {
    int64_t pts;
    int64_t pos;
    int size;
    int64_t outStart;  // first sample frame of the decoded output that comes from this packet
  };

  AudioStream(std::string path, std::shared_ptr<MemoryPool> buffers)
      : Handle(kKind), path_(std::move(path)), buffers_(std::move(buffers)) {}
  bool Scan();
  bool Restart(FormatPtr probed = nullptr);
  bool SeekNear(int64_t start);
  // Decodes the next frame into pending_; false at the end of the stream or on an error.
  bool DecodeNext();
  enum class Received { kFrame, kSkipped, kNeedInput, kEnd };
  Received ReceiveInto();
  int64_t PositionOfFrame(const AVFrame& frame) const;
  bool CountByDecoding();
  void FillFormat();

  std::mutex mutex_;
  std::string path_;
  std::shared_ptr<MemoryPool> buffers_;
  int number_ = 0;
  int streamIndex_ = -1;
  FormatPtr input_;
  CodecPtr decoder_;
  SwrPtr resampler_;
  FramePtr frame_;
  PacketPtr packet_;
  AVRational timeBase_{1, 1};
  int sampleRate_ = 0;
  int channels_ = 0;
  int64_t sampleCount_ = 0;
  int64_t preroll_ = -1;  // packets decoded before a random start; -1: decode from the start
  std::vector<PacketInfo> packets_;
  bool packetsByPosition_ = false;  // every packet has its own, rising file position
  Zr8AudioCompressedFormat format_{};

  Block pending_;             // converted samples of the last decoded frame
  int64_t pendingStart_ = 0;  // sample frame position of pending_'s first frame
  int64_t pendingFrames_ = 0;
  int64_t nextPosition_ = -1;  // position of the next decoded frame, -1 when unknown
  int64_t skipBefore_ = 0;     // frames ending before this position are not converted
  bool live_ = false;          // the decoder continues a known position
  bool drained_ = false;
  bool flushSent_ = false;
};

}  // namespace zr8
