// One reader of a video stream's file and one decoder, with the run they are in: the key frame the
// run started at, the next packet to send and the last frame that came out. Each packet is sent
// with its decode index as its time, and each picture that comes out is recognised by it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Av.h"
#include "FrameIndex.h"

namespace zr8 {

class HardwareDecoder;

// Where a cursor finds its stream: the file, which video stream, and its parameters.
struct StreamSource {
  std::string path;
  int number = 0;  // among the file's video streams
  int streamIndex = -1;
  ParametersPtr parameters;
  AVRational timeBase{1, 1};
  bool reopenUnprobed = false;  // packets and times need no stream information

  // The file opened anew (with its stream information unless `probe` is false), reading only the
  // stream; null when it cannot be opened or is not the same stream as before.
  FormatPtr Open(bool probe) const;
  // Takes the stream from a reader that has read its stream information; false when the file has
  // no such decodable video stream.
  bool Describe(AVFormatContext* input);
};

class DecodeCursor {
 public:
  enum class Step {
    kFrame,
    kEnd,
    kHardwareFailed,
    kDamaged,  // a damaged picture after skipped ones: the run must be made again without skipping
    kLost,     // a packet read is not the one the index expects: the reader has lost its place
    // The decoder's pictures do not come out in the order the index predicted: a picture of a
    // packet it has as showing none, one out of turn, or one that did not come out.
    kContradicted,
  };

  // A cursor of a fresh reader (or `input`) and a decoder of `threads` threads (on `hardware`
  // when given); false when either cannot be had.
  bool Open(const StreamSource& source, int threads, HardwareDecoder* hardware,
            FormatPtr input = nullptr);
  // Replaces the decoder with one of `threads` threads (and no hardware); the run starts again.
  bool Reopen(const StreamSource& source, int threads);
  // Opens the file anew (reading its stream information) at its start. Without a reader (the file
  // cannot be opened) the cursor reads nothing until a seek opens it again.
  bool Rewind(const StreamSource& source) { return (input_ = source.Open(true)) != nullptr; }

  // Positions the cursor at the key frame of decode index `decodeIndex`: a seek where the file
  // allows it (not `fromStart`), else the packets counted from the start of the file (opened anew).
  bool SeekToKey(const StreamSource& source, const FrameIndex& index, int64_t decodeIndex,
                 bool fromStart = false);
  // The next picture on the way to frame `target`, in frame(); its frame number in *identity
  // (FrameIndex::kNone when it is not one to deliver from this run). With `skipNonReference`,
  // pictures shown before the target that no other picture refers to are not decoded. A picture of
  // a decoder `onHardware` may still be on the device (HardwareDecoder::Download). With
  // `checkOrder` (an order predicted from the headers) each picture is checked against the order.
  Step Next(const FrameIndex& index, int64_t target, bool skipNonReference, bool onHardware,
            bool checkOrder, int64_t* identity);
  // Every picture of the stream from the start of the file, as the decode index each came from;
  // with `most` > 0, only the first `most` pictures.
  bool DecodeAll(std::vector<int64_t>* outputs, size_t most = 0);

  // Packets to decode to frame `target` (whose key frame is keys()[key]) going forward, -1 when it
  // cannot go forward.
  int64_t ForwardCost(const FrameIndex& index, int64_t target, size_t key) const;
  // Reads the stream's next packet of at least one byte into packet(): a packet of none is no
  // picture (the decoder refuses it and a full decode skips it), so neither the index nor a run
  // counts it. False at the end, or without a reader.
  bool ReadOwnPacket();

  AVFormatContext* input() const { return input_.get(); }
  AVCodecContext* decoder() const { return decoder_.get(); }
  AVPacket* packet() const { return packet_.get(); }
  AVFrame* frame() const { return frame_.get(); }
  int threads() const { return threads_; }
  // The memory its reader holds, as last counted (at opening and after each seek).
  int64_t readerBytes() const { return readerBytes_; }
  bool live() const { return live_; }
  bool fresh() const { return live_ && nextPacket_ == runStart_ && !flushSent_; }
  bool delivered() const { return live_ && outputsInRun_ > 0; }
  // The picture in frame() was concealed by the decoder (damage in its data).
  bool concealed() const {
    return frame_->decode_error_flags != 0 || (frame_->flags & AV_FRAME_FLAG_CORRUPT) != 0;
  }
  int64_t runStart() const { return runStart_; }
  // How many seeks found no way into the file but its start (the packets counted from there).
  uint64_t rereads() const { return rereads_; }

 private:
  bool SeekInFile(const FrameIndex& index, int64_t decodeIndex);
  // Whether a picture that came out (frame `shown`, `whole` when decoded from what it refers to)
  // is the one the index has next.
  bool AsPredicted(const FrameIndex& index, int64_t shown, bool whole) const;
  // Makes `fresh` (opened with `threads`) the decoder, counting its threads; false when null.
  bool Install(CodecPtr fresh, int threads, const AVCodecParameters& parameters, bool hardware);

  FormatPtr input_;
  int64_t readerBytes_ = 0;
  int streamIndex_ = -1;
  // The decoder and its threads in the account: declared before it, so counted until they have
  // ended.
  Holding decoders_{Held::kDecoders};
  Holding decoderThreads_{Held::kDecoderThreads};
  Holding decoderBytes_{Held::kDecoderBytes};
  CodecPtr decoder_;
  int threads_ = 1;
  PacketPtr packet_ = MakePacket();
  FramePtr frame_ = MakeFrame();
  bool live_ = false;
  bool packetHeld_ = false;  // packet_ holds the next packet to send
  bool flushSent_ = false;
  int64_t nextPacket_ = 0;   // decode index of the next packet of the stream to send
  int64_t runStart_ = 0;     // decode index of the key frame the run started at
  int64_t lastOutput_ = -1;  // frame number of the last frame that came out
  int64_t outputsInRun_ = 0;
  bool skippedInRun_ = false;  // some picture of the run was not decoded
  int64_t skippedBelow_ = -1;  // pictures shown before this frame may have been skipped
  uint64_t rereads_ = 0;
};

}  // namespace zr8
