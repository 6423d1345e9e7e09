#include "DecodeCursor.h"

#include <algorithm>

#include "HardwareDecode.h"

namespace zr8 {
FormatPtr StreamSource::Open(bool probe) const {
  FormatPtr input = OpenMedia(path, probe);
  if (!input || streamIndex < 0 || static_cast<unsigned>(streamIndex) >= input->nb_streams) {
    return nullptr;
  }
  for (unsigned i = 0; i < input->nb_streams; ++i) {
    if (static_cast<int>(i) != streamIndex) input->streams[i]->discard = AVDISCARD_ALL;
  }
  const AVStream* stream = input->streams[streamIndex];
  if (!IsVideoStream(stream) || stream->codecpar->codec_id != parameters->codec_id ||
      av_cmp_q(stream->time_base, timeBase) != 0) {
    return nullptr;
  }
  return input;
}

bool StreamSource::Describe(AVFormatContext* input) {
  int seen = 0;
  streamIndex = -1;
  for (unsigned i = 0; i < input->nb_streams; ++i) {
    AVStream* stream = input->streams[i];
    if (IsVideoStream(stream) && seen++ == number) {
      streamIndex = static_cast<int>(i);
    } else {
      stream->discard = AVDISCARD_ALL;
    }
  }
  if (streamIndex < 0 || !IsDecodableVideo(input->streams[streamIndex])) return false;
  parameters = CopyParameters(*input->streams[streamIndex]->codecpar);
  timeBase = input->streams[streamIndex]->time_base;
  return true;
}

bool DecodeCursor::Open(const StreamSource& source, int threads, HardwareDecoder* hardware,
                        FormatPtr input) {
  input_ = input ? std::move(input) : source.Open(!source.reopenUnprobed);
  if (!input_) return false;
  readerBytes_ = Account::CountReader(input_.get());
  streamIndex_ = source.streamIndex;
  live_ = false;
  // The threads are counted before the decoder starts them.
  decoderThreads_.Set(decoderThreads_.amount() + (hardware ? 0 : DecoderThreadsFor(threads)));
  return Install(OpenDecoder(*source.parameters, source.timeBase, threads, hardware), threads,
                 *source.parameters, hardware != nullptr);
}

bool DecodeCursor::Reopen(const StreamSource& source, int threads) {
  decoderThreads_.Set(decoderThreads_.amount() + DecoderThreadsFor(threads));
  return Install(OpenDecoder(*source.parameters, source.timeBase, threads), threads,
                 *source.parameters, false);
}

bool DecodeCursor::Install(CodecPtr fresh, int threads, const AVCodecParameters& parameters,
                           bool hardware) {
  const bool opened = fresh != nullptr;
  if (opened) {
    decoder_ = std::move(fresh);
    threads_ = threads;
    live_ = false;
    // Beside its pictures, a software decoder holds tables per picture (motion vectors, block
    // types) and per block row, and each frame thread a context of its own: about two pictures'
    // bytes for each context (5.5 MB measured for a 1080p H.264 decoder of one thread).
    const int bytes = av_image_get_buffer_size(static_cast<AVPixelFormat>(parameters.format),
                                               parameters.width, parameters.height, 1);
    const int contexts = std::max(
        1, (decoder_->active_thread_type & FF_THREAD_FRAME) != 0 ? decoder_->thread_count : 1);
    decoderBytes_.Set(hardware ? 0 : 2 * int64_t{std::max(bytes, 0)} * contexts);
  }
  // What the decoder in place runs (the one it replaced has ended its threads).
  decoders_.Set(decoder_ ? 1 : 0);
  decoderThreads_.Set(decoder_ ? DecoderThreads(*decoder_) : 0);
  return opened;
}

bool DecodeCursor::ReadOwnPacket() {
  while (input_ && av_read_frame(input_.get(), packet_.get()) >= 0) {
    if (packet_->stream_index == streamIndex_ && packet_->size > 0) return true;
    av_packet_unref(packet_.get());
  }
  return false;
}

bool DecodeCursor::SeekInFile(const FrameIndex& index, int64_t decodeIndex) {
  // By the key frame's time, then (where that lands elsewhere, or the file has no times) by its
  // place in the file; then read up to its own packet (past it means the seek overshot).
  if (!input_) return false;
  const PacketEntry& key = index.packet(decodeIndex);
  const int64_t time = key.dts != AV_NOPTS_VALUE ? key.dts : key.pts;
  auto reached = [&]() {
    while (ReadOwnPacket()) {
      if (IsPacketOf(*packet_, key)) return true;
      const bool beyond = key.pos >= 0
                              ? packet_->pos > key.pos
                              : key.dts != AV_NOPTS_VALUE && packet_->dts != AV_NOPTS_VALUE &&
                                    packet_->dts > key.dts;
      av_packet_unref(packet_.get());
      if (beyond) break;
    }
    return false;
  };
  // A program stream finds times by the packets that carry one: a key frame without its own lies
  // past the place a seek to its time lands, so the seek aims a few packets earlier as well.
  for (int64_t back : {int64_t{0}, int64_t{8}}) {
    const PacketEntry& aim = index.packet(std::max<int64_t>(decodeIndex - back, 0));
    const int64_t at = aim.dts != AV_NOPTS_VALUE ? aim.dts : aim.pts;
    if (time != AV_NOPTS_VALUE && at != AV_NOPTS_VALUE && (back == 0 || at < time) &&
        av_seek_frame(input_.get(), streamIndex_, at, AVSEEK_FLAG_BACKWARD) >= 0 && reached()) {
      return true;
    }
  }
  return key.pos >= 0 && (input_->iformat->flags & AVFMT_NO_BYTE_SEEK) == 0 &&
         av_seek_frame(input_.get(), streamIndex_, key.pos, AVSEEK_FLAG_BYTE) >= 0 && reached();
}

bool DecodeCursor::SeekToKey(const StreamSource& source, const FrameIndex& index,
                             int64_t decodeIndex, bool fromStart) {
  avcodec_flush_buffers(decoder_.get());
  av_packet_unref(packet_.get());
  av_frame_unref(frame_.get());
  live_ = false;
  packetHeld_ = false;
  flushSent_ = false;
  lastOutput_ = -1;
  outputsInRun_ = 0;
  skippedInRun_ = false;
  skippedBelow_ = -1;
  if (fromStart || !SeekInFile(index, decodeIndex)) {
    // From the start of the file (opened anew, reading its stream information), counting packets
    // up to the key frame. Where it cannot be opened (renamed, replaced, no descriptor left) the
    // cursor has no reader until a later seek opens it.
    ++rereads_;
    input_ = source.Open(true);
    if (!input_) return false;
    for (int64_t skipped = 0; skipped <= decodeIndex; ++skipped) {
      if (!ReadOwnPacket()) return false;
      if (skipped == decodeIndex) break;
      av_packet_unref(packet_.get());
    }
    if (!IsPacketOf(*packet_, index.packet(decodeIndex))) {
      av_packet_unref(packet_.get());  // the file has changed since the index was made
      return false;
    }
  }
  packetHeld_ = true;
  nextPacket_ = decodeIndex;
  runStart_ = decodeIndex;
  live_ = true;
  readerBytes_ = Account::CountReader(input_.get());
  return true;
}

bool DecodeCursor::AsPredicted(const FrameIndex& index, int64_t shown, bool whole) const {
  // A packet that shows no picture shows none; the frames from the run's key frame on come out one
  // after the other, from the key frame's own, but for those before a target that no other picture
  // refers to (they may be skipped).
  if (shown == FrameIndex::kNone) return false;
  if (!whole) return true;
  const int64_t expected = lastOutput_ >= 0 ? lastOutput_ + 1 : index.FrameOf(runStart_);
  if (expected == FrameIndex::kNone) return true;
  return shown == expected || (shown > expected && shown <= skippedBelow_);
}

DecodeCursor::Step DecodeCursor::Next(const FrameIndex& index, int64_t target,
                                      bool skipNonReference, bool onHardware, bool checkOrder,
                                      int64_t* identity) {
  while (true) {
    const int received = avcodec_receive_frame(decoder_.get(), frame_.get());
    if (received == 0) {
      if (skippedInRun_ && concealed()) {
        // A damaged picture is concealed from the pictures decoded before it: with some skipped,
        // it and those after it differ from a full decode's.
        av_frame_unref(frame_.get());
        live_ = false;
        return Step::kDamaged;
      }
      ++outputsInRun_;
      // A picture whose references lie before the run's key frame was decoded without them.
      const int64_t shown = index.FrameOf(frame_->pts);
      const bool whole =
          shown != FrameIndex::kNone && index.keys()[index.KeyFor(shown)] >= runStart_;
      if (checkOrder && !AsPredicted(index, shown, whole)) {
        av_frame_unref(frame_.get());
        live_ = false;
        return Step::kContradicted;
      }
      *identity = whole ? shown : FrameIndex::kNone;
      if (whole) lastOutput_ = shown;
      return Step::kFrame;
    }
    if (onHardware && received != AVERROR(EAGAIN) && received != AVERROR_EOF) {
      return Step::kHardwareFailed;
    }
    if (received == AVERROR_EOF || flushSent_) {
      live_ = false;
      // Every frame from the run's start comes out by the end of the stream.
      if (checkOrder && lastOutput_ != index.frameCount() - 1) return Step::kContradicted;
      return Step::kEnd;
    }
    if (!packetHeld_) {
      if (!ReadOwnPacket()) {
        avcodec_send_packet(decoder_.get(), nullptr);
        flushSent_ = true;
        continue;
      }
      // Each packet is checked against the index before it is numbered: after a seek a demuxer may
      // cut packets otherwise than in the pass that made the index, and the file may have changed.
      if (nextPacket_ >= index.packetCount() || !IsPacketOf(*packet_, index.packet(nextPacket_))) {
        av_packet_unref(packet_.get());
        live_ = false;
        return Step::kLost;
      }
    }
    packetHeld_ = false;
    const int64_t shown = index.FrameOf(nextPacket_);
    const bool skip = skipNonReference && shown != FrameIndex::kNone && shown < target;
    skippedInRun_ = skippedInRun_ || skip;
    if (skip) skippedBelow_ = std::max(skippedBelow_, target);
    decoder_->skip_frame = skip ? AVDISCARD_NONREF : AVDISCARD_DEFAULT;
    packet_->pts = nextPacket_++;
    packet_->dts = AV_NOPTS_VALUE;
    // Output is always taken before input is offered, so a packet is never refused for want of
    // room; a damaged packet is dropped (but not a failure of the hardware).
    const int sent = avcodec_send_packet(decoder_.get(), packet_.get());
    av_packet_unref(packet_.get());
    if (onHardware && sent < 0 && sent != AVERROR(EAGAIN) && sent != AVERROR_INVALIDDATA) {
      return Step::kHardwareFailed;
    }
  }
}

bool DecodeCursor::DecodeAll(std::vector<int64_t>* outputs, size_t most) {
  int64_t next = 0;
  bool flushed = false;
  while (true) {
    const int received = avcodec_receive_frame(decoder_.get(), frame_.get());
    if (received == 0) {
      outputs->push_back(frame_->pts == AV_NOPTS_VALUE ? FrameIndex::kNone : frame_->pts);
      av_frame_unref(frame_.get());
      if (outputs->size() == most) return true;
      continue;
    }
    if (received != AVERROR(EAGAIN) || flushed) return true;
    if (ReadOwnPacket()) {
      packet_->pts = next++;
      packet_->dts = AV_NOPTS_VALUE;
      avcodec_send_packet(decoder_.get(), packet_.get());
      av_packet_unref(packet_.get());
    } else {
      avcodec_send_packet(decoder_.get(), nullptr);
      flushed = true;
    }
  }
}

int64_t DecodeCursor::ForwardCost(const FrameIndex& index, int64_t target, size_t key) const {
  const int64_t keyIndex = index.keys()[key];
  const bool reaches = live_ && target > lastOutput_ && keyIndex >= runStart_ &&
                       (keyIndex < nextPacket_ || target == lastOutput_ + 1);
  if (!reaches) return -1;
  return std::max<int64_t>(index.decodeIndexOf(target) - nextPacket_, 0);
}

}  // namespace zr8
