// The audio cursor: the decoder's place in the stream, a seek to a packet before a start and the
// landing after it, and the decode of frames onto the timeline.
#include <algorithm>

#include "AudioStream.h"

namespace zr8 {

int64_t AudioStream::SourceOf(const AVFrame& frame) const {
  const int64_t source = TagOf(frame);
  return source < static_cast<int64_t>(packets_.size()) ? source : -1;
}

void AudioStream::SendTagged(AVPacket* packet) {
  const int64_t index = nextPacket_++;
  packet->pts = index << kTagShift;
  packet->dts = packet->pts;
  // A packet the decoder rejects as damaged is dropped, as a full decode drops it.
  avcodec_send_packet(decoder_.get(), packet);
  av_packet_unref(packet);
}

bool AudioStream::DecodeFrame(bool indexing) {
  // Frames that fail while the decoder drains give their errors in turn, and those after them still
  // come out (a decoder on frame threads holds several), as a full decode goes on past them.
  constexpr int kMostDrainErrors = 64;
  int drainErrors = 0;
  while (!drained_ && input_ && decoder_) {
    const int received = avcodec_receive_frame(decoder_.get(), frame_.get());
    if (received >= 0) return true;
    if (received == AVERROR_EOF) break;  // a drained decoder has nothing more
    if (flushSent_) {
      if (received == AVERROR(EAGAIN) || ++drainErrors > kMostDrainErrors) break;
      continue;
    }
    if (av_read_frame(input_.get(), packet_.get()) < 0) {
      if (!indexing && nextPacket_ < static_cast<int64_t>(packets_.size())) {
        // The file ends before the packets the index holds (it was cut since).
        lost_ = true;
        break;
      }
      avcodec_send_packet(decoder_.get(), nullptr);
      flushSent_ = true;
      continue;
    }
    if (packet_->stream_index != streamIndex_) {
      av_packet_unref(packet_.get());
      continue;
    }
    if (indexing) {
      KeepForProbe(static_cast<int64_t>(packets_.size()), *packet_);
      packets_.push_back(Describe(*packet_));
    } else if (nextPacket_ >= static_cast<int64_t>(packets_.size()) ||
               !Matches(nextPacket_, *packet_)) {
      // Not the packet the index holds next: the reader cannot say where it is.
      av_packet_unref(packet_.get());
      lost_ = true;
      break;
    }
    SendTagged(packet_.get());
  }
  drained_ = true;
  return false;
}

bool AudioStream::DecodeNext(float* into, int64_t at, int64_t room, int64_t* straight) {
  if (straight != nullptr) *straight = 0;
  while (DecodeFrame(false)) {
    int64_t source = SourceOf(*frame_);
    // A frame without its packet's tag (a decoder that cuts a packet into several frames and tags
    // the first, or gives out its last frame when drained) belongs to the last packet sent, as the
    // count has it.
    if (source < 0 && nextPacket_ > 0) source = nextPacket_ - 1;
    if (source < 0 || source < lastSource_) {
      av_frame_unref(frame_.get());
      continue;  // not from a packet of the index: dropped, as before a place is known
    }
    if (predicted_ && !Observe(source, frame_->nb_samples)) {
      av_frame_unref(frame_.get());
      drained_ = true;
      lost_ = true;
      return false;
    }
    if (source != lastSource_) sourceOffset_ = 0;
    lastSource_ = source;
    const PacketInfo& info = packets_[source];
    const int samples = frame_->nb_samples;
    int first = 0;
    int count = samples;
    if (!rateChanges_) {
      // After a seek, a trim the full decode made is not made again: the samples it kept.
      const int64_t left = std::max<int64_t>(info.outCount - sourceOffset_, 0);
      if (count > left) {
        if (info.trimmedStart) first = static_cast<int>(count - left);
        count = static_cast<int>(left);
      }
    }
    const int64_t position = info.outStart + sourceOffset_;
    if (!rateChanges_ && position + count <= skipBefore_) {
      // Decoded only to reach a later start: not converted.
      sourceOffset_ += count;
      nextPosition_ = position + count;
      av_frame_unref(frame_.get());
      continue;
    }
    // Where the caller's buffer starts at the frame's samples and holds all the converter may
    // write (a frame at the stream's rate: exactly `count`), they go there.
    const int64_t capacity = OutputCapacity(std::max(count, 1));
    const bool direct = into != nullptr && straight != nullptr && !rateChanges_ && position == at &&
                        capacity <= room;
    if (!direct) {
      const size_t bytes = static_cast<size_t>(capacity) * channels_ * sizeof(float);
      if (pending_.size() < bytes) pending_ = buffers_->Acquire(std::max<size_t>(bytes, 65536));
    }
    uint8_t* out = direct ? reinterpret_cast<uint8_t*>(into) : pending_.data();
    const int converted = count > 0 ? Convert(first, count, out) : 0;
    av_frame_unref(frame_.get());
    if (converted < 0) {
      drained_ = true;
      return false;
    }
    sourceOffset_ += converted;
    nextPosition_ = position + converted;
    if (direct) {
      pendingFrames_ = 0;
      *straight = converted;
      if (converted > 0) return true;
      continue;
    }
    pendingStart_ = position;
    pendingFrames_ = converted;
    if (converted > 0) return true;
  }
  pendingFrames_ = 0;
  if (predicted_ && !lost_ && flushSent_ && !ObserveEnd()) {
    lost_ = true;
    return false;
  }
  if (rateChanges_ && !lost_ && resampler_ && inRate_ != sampleRate_) {
    const size_t bytes = static_cast<size_t>(sampleRate_) * channels_ * sizeof(float);
    if (pending_.size() < bytes) pending_ = buffers_->Acquire(bytes);
    const int flushed = FlushResampler(pending_.data(), sampleRate_);
    if (flushed > 0) {
      pendingStart_ = nextPosition_;
      pendingFrames_ = flushed;
      nextPosition_ += flushed;
      return true;
    }
  }
  return false;
}

bool AudioStream::Matches(int64_t index, const AVPacket& packet) const {
  const PacketInfo& info = packets_[index];
  return SamePacket(packet, info.pos, info.size, info.pts);
}

bool AudioStream::SeekNear(int64_t start) {
  // The packet whose output holds `start`.
  auto holding =
      std::upper_bound(packets_.begin(), packets_.end(), start,
                       [](int64_t value, const PacketInfo& info) { return value < info.outStart; });
  const int64_t index = std::max<int64_t>(0, (holding - packets_.begin()) - 1);
  int64_t from = index - preroll_;
  // A change of layout or format inside the pre-roll is decoded from before it, as a continuous
  // decode meets it.
  for (auto change = std::upper_bound(changes_.begin(), changes_.end(), index);
       change != changes_.begin() && *(change - 1) >= from;) {
    --change;
    from = *change - preroll_ - 1;
  }
  // Where the reader lands after a seek is up to the demuxer: a second try aims further back.
  for (int64_t target = from; input_ && decoder_ && preroll_ >= 0 && target > firstSeekable_;
       target = std::max(firstSeekable_, from - 4 * std::max<int64_t>(preroll_, 8))) {
    if (packets_[target].pts == AV_NOPTS_VALUE ||
        av_seek_frame(input_.get(), streamIndex_, packets_[target].pts, AVSEEK_FLAG_BACKWARD) < 0) {
      break;
    }
    if (Land(from)) return true;
    if (target < from) break;
  }
  if (from > firstSeekable_) ++readsFromStart_;
  return Restart();
}

// After a seek: reads packets of the stream until they tell which packet of the index the reader
// is at (the sizes and positions of a run of packets, where several share a position as in an
// Ogg page), one no later than `latest`; then decodes on from there with a fresh decoder (a
// flushed one keeps state, such as the window shape of a channel element met before, that a
// continuous decode does not have).
bool AudioStream::Land(int64_t latest) {
  std::vector<PacketPtr> read;
  std::vector<int64_t> candidates;
  const int64_t size = static_cast<int64_t>(packets_.size());
  // The first packets after a seek may be none of the index's: a parser that splits frames out of
  // a container's blocks (MPEG audio in a program stream) starts at a block, in the middle of a
  // frame, and takes a few frames to find the frames' bounds again, one of them perhaps alike to a
  // packet of the index. They are passed over: the landing is a packet of the index confirmed by
  // the one after it.
  constexpr int kStrangers = 16;
  auto firstCandidates = [&](const AVPacket& packet) {
    candidates.clear();
    for (int64_t i = latest; i >= std::max<int64_t>(firstSeekable_, latest - 256); --i) {
      if (Matches(i, packet)) candidates.push_back(i);
    }
  };
  for (int strangers = 0; read.size() < 16 && strangers <= kStrangers;) {
    PacketPtr packet = MakePacket();
    if (av_read_frame(input_.get(), packet.get()) < 0) break;
    if (packet->stream_index != streamIndex_) continue;
    const auto k = static_cast<int64_t>(read.size());
    if (k > 0) {
      std::erase_if(candidates,
                    [&](int64_t i) { return i + k >= size || !Matches(i + k, *packet); });
      if (candidates.empty()) {
        strangers += static_cast<int>(read.size());
        read.clear();
      }
    }
    if (read.empty()) {
      firstCandidates(*packet);
      if (candidates.empty()) {
        ++strangers;
        continue;
      }
    }
    read.push_back(std::move(packet));
    if (candidates.size() == 1 && read.size() >= 2) break;
  }
  if (candidates.size() > 1 && !read.empty()) {
    // Packets alike in size and position (an Ogg page of packets of one size): told by their times
    // where the reader gives them.
    const AVPacket& first = *read.front();
    const int64_t time = first.pts != AV_NOPTS_VALUE ? first.pts : first.dts;
    std::erase_if(candidates,
                  [&](int64_t i) { return time == AV_NOPTS_VALUE || packets_[i].pts != time; });
  }
  if (candidates.size() != 1) return false;
  UseDecoder(NewDecoder());
  if (!decoder_) return false;
  nextPacket_ = candidates.front();
  lastSource_ = -1;
  sourceOffset_ = 0;
  pendingFrames_ = 0;
  nextPosition_ = -1;
  drained_ = false;
  flushSent_ = false;
  lost_ = false;
  resampler_.reset();
  observed_ = -1;
  confirmFrom_ = nextPacket_ + std::max<int64_t>(preroll_, 1);
  runFromStart_ = false;
  for (auto& packet : read) SendTagged(packet.get());
  return true;
}

bool AudioStream::SendHeld(AVCodecContext* decoder, const AVPacket& packet, int64_t index,
                           AVPacket* copy) {
  if (av_packet_ref(copy, &packet) < 0) return false;
  copy->pts = copy->dts = index << kTagShift;
  avcodec_send_packet(decoder, copy);
  av_packet_unref(copy);
  return true;
}

int64_t AudioStream::TagOf(const AVFrame& frame) {
  return frame.pts != AV_NOPTS_VALUE && frame.pts >= 0 ? frame.pts >> kTagShift : -1;
}

}  // namespace zr8
