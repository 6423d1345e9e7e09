#include "VideoStream.h"

#include <algorithm>
#include <cmath>
#include <numeric>

#include "Status.h"
#include "zr8hardware/Hardware.h"

namespace zr8 {
namespace {

uint32_t VideoFourCC(const AVCodecParameters& parameters) {
  switch (parameters.codec_id) {
    case AV_CODEC_ID_H264:
      return FourCC("avc1");
    case AV_CODEC_ID_HEVC:
      return FourCC("hvc1");
    case AV_CODEC_ID_VP9:
      return FourCC("vp09");
    case AV_CODEC_ID_VP8:
      return FourCC("vp08");
    case AV_CODEC_ID_AV1:
      return FourCC("av01");
    case AV_CODEC_ID_MPEG2VIDEO:
      return FourCC("mp2v");
    case AV_CODEC_ID_MPEG1VIDEO:
      return FourCC("mp1v");
    case AV_CODEC_ID_MPEG4:
      return FourCC("mp4v");
    case AV_CODEC_ID_MJPEG:
      return FourCC("MJPG");
    case AV_CODEC_ID_PRORES: {
      const uint32_t tag = TagToFourCC(parameters.codec_tag);
      return tag != 0 && (tag >> 24) == 'a' ? tag : FourCC("apcn");
    }
    case AV_CODEC_ID_DNXHD:
      return FourCC("AVdn");
    default:
      return TagToFourCC(parameters.codec_tag);
  }
}

int InterlaceCode(AVFieldOrder order) {
  switch (order) {
    case AV_FIELD_TT:
    case AV_FIELD_TB:
      return 1;
    case AV_FIELD_BB:
    case AV_FIELD_BT:
      return 2;
    default:
      return 0;
  }
}

}  // namespace

int32_t VideoStream::Open(const std::string& path, int number, const Zr8DecodePrefs* prefs,
                          std::shared_ptr<PictureStore> store, std::unique_ptr<VideoStream>* out,
                          const HardwareRequest& hardware) {
  std::unique_ptr<VideoStream> stream(new VideoStream(path, std::move(store)));
  stream->number_ = number;
  if (!stream->OpenInput()) return kFail;
  AVStream* avStream = stream->input_->streams[stream->streamIndex_];
  if (hardware.kind != 0) {
    stream->hardware_ = CreateHardwareDecoder(hardware);
    if (stream->hardware_) stream->decoder_ = OpenDecoder(avStream, 0, stream->hardware_.get());
    if (!stream->decoder_) stream->hardware_.reset();
  }
  if (!stream->decoder_) stream->decoder_ = OpenDecoder(avStream, 0);
  if (!stream->decoder_) return kFail;
  const auto nativeFormat = static_cast<AVPixelFormat>(avStream->codecpar->format);
  int32_t pixelType = prefs != nullptr ? prefs->pixelType : 0;
  if (pixelType == 0) pixelType = PreferredPixelType(nativeFormat);
  if (PixelTypeFormat(pixelType).format == AV_PIX_FMT_NONE) return kNoInterface;
  if (!MakeLayout(pixelType, avStream->codecpar->width, avStream->codecpar->height,
                  &stream->layout_)) {
    return kNoInterface;
  }
  stream->packet_ = MakePacket();
  stream->frame_ = MakeFrame();
  stream->last_ = MakeFrame();
  if (!stream->ScanPackets() || stream->presentation_.empty()) return kFail;
  if (!stream->SeekToKey(stream->keys_.front())) return kFail;
  stream->converter_.emplace(stream->layout_);
  if (prefs != nullptr)
    stream->prefs_ = *prefs;
  else {
    stream->prefs_.reserved0 = 1.0;
    stream->prefs_.reserved8 = 1.0;
    stream->prefs_.reserved40 = 23.976;
    stream->prefs_.reserved96 = 1;
  }
  stream->prefs_.pixelType = pixelType;
  if (stream->hardware_) {
    // The hardware in effect, with the context it was given (the caller's own values).
    stream->prefs_.hardwarePreference = hardware.kind;
    if (hardware.kind != zr8hw::kKindNvidia || !hardware.haveCuda) {
      stream->prefs_.useCuda = 0;
      stream->prefs_.cudaId = 0;
      stream->prefs_.cudaHandle1 = nullptr;
      stream->prefs_.cudaHandle2 = nullptr;
    }
    if (hardware.kind != zr8hw::kKindAmd || hardware.vaapiHandle == nullptr) {
      stream->prefs_.useAmf = 0;
      stream->prefs_.amfHandle1 = nullptr;
      stream->prefs_.amfHandle2 = nullptr;
    }
  } else {
    stream->ReportSoftware();
  }
  stream->BuildFormat(pixelType);
  *out = std::move(stream);
  return kOk;
}

void VideoStream::ReportSoftware() {
  prefs_.hardwarePreference = 0;
  prefs_.useCuda = 0;
  prefs_.cudaId = 0;
  prefs_.cudaHandle1 = nullptr;
  prefs_.cudaHandle2 = nullptr;
  prefs_.useAmf = 0;
  prefs_.amfHandle1 = nullptr;
  prefs_.amfHandle2 = nullptr;
}

bool VideoStream::FallBackToSoftware() {
  // The decoder goes before the hardware it refers to.
  decoder_ = OpenDecoder(input_->streams[streamIndex_], 0);
  hardware_.reset();
  ReportSoftware();
  return decoder_ != nullptr;
}

bool VideoStream::OpenInput() {
  input_ = OpenMedia(path_);
  if (!input_) return false;
  int seen = 0;
  streamIndex_ = -1;
  for (unsigned i = 0; i < input_->nb_streams; ++i) {
    AVStream* stream = input_->streams[i];
    if (IsVideoStream(stream) && seen++ == number_) {
      streamIndex_ = static_cast<int>(i);
    } else {
      stream->discard = AVDISCARD_ALL;
    }
  }
  return streamIndex_ >= 0 && IsDecodableVideo(input_->streams[streamIndex_]);
}

bool VideoStream::ScanPackets() {
  packets_.clear();
  while (av_read_frame(input_.get(), packet_.get()) >= 0) {
    if (packet_->stream_index == streamIndex_) {
      PacketEntry entry{};
      entry.pts = packet_->pts;
      entry.dts = packet_->dts;
      entry.pos = packet_->pos;
      entry.duration = packet_->duration;
      entry.size = packet_->size;
      entry.key = (packet_->flags & AV_PKT_FLAG_KEY) != 0;
      entry.presented = (packet_->flags & AV_PKT_FLAG_DISCARD) == 0;
      packets_.push_back(entry);
    }
    av_packet_unref(packet_.get());
  }
  if (packets_.empty()) return false;

  // Presentation times: the packet's own, else its decode time (no reordering then).
  for (auto& entry : packets_) {
    if (entry.pts == AV_NOPTS_VALUE) entry.pts = entry.dts;
    if (entry.pts == AV_NOPTS_VALUE) timesReliable_ = false;
  }
  presentation_.clear();
  for (int64_t i = 0; i < static_cast<int64_t>(packets_.size()); ++i) {
    if (packets_[i].presented) presentation_.push_back(i);
  }
  if (timesReliable_) {
    std::stable_sort(presentation_.begin(), presentation_.end(),
                     [this](int64_t a, int64_t b) { return packets_[a].pts < packets_[b].pts; });
    for (int64_t n = 0; n < static_cast<int64_t>(presentation_.size()); ++n) {
      if (!presentationOfPts_.emplace(packets_[presentation_[n]].pts, n).second) {
        timesReliable_ = false;  // two frames at one time: recognise frames by their order
      }
    }
  }
  if (!timesReliable_) {
    std::sort(presentation_.begin(), presentation_.end());
    presentationOfPts_.clear();
  }
  keys_.clear();
  for (int64_t i = 0; i < static_cast<int64_t>(packets_.size()); ++i) {
    if (packets_[i].key) keys_.push_back(i);
  }
  if (!keys_.empty() && timesReliable_) {
    // A stream that starts inside a GOP: the pictures before the first key frame, and those
    // after it that are shown before it (they refer to what is missing), cannot be decoded and
    // are not presented.
    const int64_t firstKey = keys_.front();
    const int64_t firstKeyPts = packets_[firstKey].pts;
    std::vector<int64_t> kept;
    for (int64_t decodeIndex : presentation_) {
      if (decodeIndex >= firstKey && packets_[decodeIndex].pts >= firstKeyPts) {
        kept.push_back(decodeIndex);
      }
    }
    if (kept.size() != presentation_.size() && !kept.empty()) {
      presentation_ = std::move(kept);
      presentationOfPts_.clear();
      for (int64_t n = 0; n < static_cast<int64_t>(presentation_.size()); ++n) {
        presentationOfPts_.emplace(packets_[presentation_[n]].pts, n);
      }
    }
  }
  if (keys_.empty() || keys_.front() != 0) keys_.insert(keys_.begin(), 0);
  return true;
}

void VideoStream::BuildFormat(int32_t pixelType) {
  const AVStream* stream = input_->streams[streamIndex_];
  const AVCodecParameters& parameters = *stream->codecpar;
  AVRational par =
      av_guess_sample_aspect_ratio(input_.get(), const_cast<AVStream*>(stream), nullptr);
  const double parValue = par.num > 0 && par.den > 0 ? av_q2d(par) : 1.0;
  AVRational rate = stream->avg_frame_rate;
  if (rate.num <= 0 || rate.den <= 0) rate = stream->r_frame_rate;
  double frameRate = rate.num > 0 && rate.den > 0 ? av_q2d(rate) : 0.0;

  const PacketEntry& first = packets_[presentation_.front()];
  const PacketEntry& last = packets_[presentation_.back()];
  bool variable = false;
  int64_t previousDelta = -1;
  for (size_t n = 1; timesReliable_ && n < presentation_.size(); ++n) {
    const int64_t delta = packets_[presentation_[n]].pts - packets_[presentation_[n - 1]].pts;
    if (previousDelta >= 0 && delta != previousDelta) variable = true;
    previousDelta = delta;
  }
  int64_t lastDuration = last.duration;
  if (lastDuration <= 0 && previousDelta > 0) lastDuration = previousDelta;
  if (timesReliable_) {
    length_ = ToTicks(last.pts + std::max<int64_t>(lastDuration, 0) - first.pts, stream->time_base);
  } else if (frameRate > 0) {
    length_ = static_cast<int64_t>(std::llround(frameCount() * 1e7 / frameRate));
  }
  if (frameRate <= 0 && length_ > 0) frameRate = frameCount() * 1e7 / length_;

  const AVPixFmtDescriptor* descriptor =
      av_pix_fmt_desc_get(static_cast<AVPixelFormat>(parameters.format));
  fullRange_ = parameters.color_range == AVCOL_RANGE_JPEG ||
               parameters.format == AV_PIX_FMT_YUVJ420P ||
               parameters.format == AV_PIX_FMT_YUVJ422P || parameters.format == AV_PIX_FMT_YUVJ444P;

  format_ = {};
  format_.frameCount = frameCount();
  format_.pixelType = pixelType;
  format_.bitDepth = descriptor != nullptr ? descriptor->comp[0].depth : 8;
  format_.imageSize = static_cast<uint32_t>(layout_.totalSize);
  format_.width = layout_.width;
  format_.height = layout_.height;
  format_.topDown = 1;
  format_.duration = length_;
  format_.displayAspect = parValue * layout_.width / layout_.height;
  format_.startTime = first.pts == AV_NOPTS_VALUE ? 0 : ToTicks(first.pts, stream->time_base);
  format_.fullRange = fullRange_ ? 1 : 0;
  format_.interlace = InterlaceCode(parameters.field_order);
  format_.aspectRatio = parValue;
  format_.frameRate = frameRate;
  format_.frameDuration = frameRate > 0 ? 1.0 / frameRate : 0.0;
  format_.colorSpace = parameters.color_space;
  format_.variableRate = variable ? 1 : 0;

  compressed_ = {};
  compressed_.codecId = parameters.codec_id;
  compressed_.profile = parameters.profile;
  compressed_.fourCC = VideoFourCC(parameters);
}

size_t VideoStream::KeyFor(int64_t index) const {
  const int64_t target = presentation_[index];
  const int64_t targetPts = packets_[target].pts;
  auto after = std::upper_bound(keys_.begin(), keys_.end(), target);
  size_t key = static_cast<size_t>(after - keys_.begin()) - 1;
  while (key > 0 && timesReliable_ && packets_[keys_[key]].pts > targetPts) --key;
  return key;
}

bool VideoStream::ReadOwnPacket() {
  while (true) {
    if (av_read_frame(input_.get(), packet_.get()) < 0) return false;
    if (packet_->stream_index == streamIndex_) return true;
    av_packet_unref(packet_.get());
  }
}

bool VideoStream::SeekToKey(int64_t decodeIndex) {
  ++seeks_;
  avcodec_flush_buffers(decoder_.get());
  av_packet_unref(packet_.get());
  live_ = false;
  packetHeld_ = false;
  flushSent_ = false;
  lastOutput_ = -1;
  outputsInRun_ = 0;
  const PacketEntry& key = packets_[decodeIndex];
  const int64_t time = key.dts != AV_NOPTS_VALUE ? key.dts : key.pts;
  bool found = false;
  if (time != AV_NOPTS_VALUE &&
      av_seek_frame(input_.get(), streamIndex_, time, AVSEEK_FLAG_BACKWARD) >= 0) {
    // Read up to the key frame's own packet; past it means the seek overshot.
    while (ReadOwnPacket()) {
      const bool samePlace = key.pos >= 0 ? packet_->pos == key.pos : packet_->dts == key.dts;
      if (samePlace && packet_->size == key.size && packet_->pts == key.pts) {
        found = true;
        break;
      }
      const bool beyond = key.pos >= 0 && packet_->pos > key.pos;
      av_packet_unref(packet_.get());
      if (beyond) break;
    }
  }
  if (!found) {
    // From the start of the file (opened anew), counting packets up to the key frame.
    if (!OpenInput()) return false;
    for (int64_t skipped = 0; skipped <= decodeIndex; ++skipped) {
      if (!ReadOwnPacket()) return false;
      if (skipped == decodeIndex) break;
      av_packet_unref(packet_.get());
    }
  }
  packetHeld_ = true;
  nextPacket_ = decodeIndex;
  runStart_ = decodeIndex;
  live_ = true;
  return true;
}

int64_t VideoStream::Identify(const AVFrame& frame) {
  if (!timesReliable_) {
    // Without times, frames come out in decode order from the run's key frame.
    const int64_t first = std::lower_bound(presentation_.begin(), presentation_.end(), runStart_) -
                          presentation_.begin();
    return first + outputsInRun_ - 1;
  }
  int64_t time = frame.best_effort_timestamp;
  if (time == AV_NOPTS_VALUE) time = frame.pts;
  auto found = presentationOfPts_.find(time);
  return found == presentationOfPts_.end() ? -1 : found->second;
}

VideoStream::Outcome VideoStream::DecodeTo(int64_t index) {
  const int64_t targetPts = packets_[presentation_[index]].pts;
  while (true) {
    const int received = avcodec_receive_frame(decoder_.get(), frame_.get());
    if (received == 0) {
      if (hardware_) {
        const int downloaded = hardware_->Download(frame_.get());
        if (downloaded < 0) {
          av_frame_unref(frame_.get());
          return Outcome::kHardwareFailed;
        }
        // The decoder chose software for these pictures (a profile the hardware lacks).
        if (downloaded == 0) ReportSoftware();
      }
      ++decodedFrames_;
      ++outputsInRun_;
      const int64_t identity = Identify(*frame_);
      if (identity < 0) {
        av_frame_unref(frame_.get());
        continue;
      }
      lastOutput_ = identity;
      if (identity == index) return Outcome::kFound;
      av_frame_unref(frame_.get());
      if (identity > index) return Outcome::kMissed;
      continue;
    }
    if (hardware_ && received != AVERROR(EAGAIN) && received != AVERROR_EOF) {
      return Outcome::kHardwareFailed;
    }
    if (received == AVERROR_EOF || flushSent_) {
      live_ = false;
      return Outcome::kMissed;
    }
    if (!packetHeld_) {
      if (!ReadOwnPacket()) {
        avcodec_send_packet(decoder_.get(), nullptr);
        flushSent_ = true;
        continue;
      }
    }
    packetHeld_ = false;
    // Pictures shown before the target that no other picture refers to are not decoded at all.
    if (timesReliable_ && nextPacket_ < static_cast<int64_t>(packets_.size())) {
      const bool before = packets_[nextPacket_].pts < targetPts;
      decoder_->skip_frame = before ? AVDISCARD_NONREF : AVDISCARD_DEFAULT;
    }
    ++nextPacket_;
    // Output is always taken before input is offered, so a packet is never refused for want of
    // room; a damaged packet is dropped (but not a failure of the hardware).
    const int sent = avcodec_send_packet(decoder_.get(), packet_.get());
    av_packet_unref(packet_.get());
    if (hardware_ && sent < 0 && sent != AVERROR(EAGAIN) && sent != AVERROR_INVALIDDATA) {
      return Outcome::kHardwareFailed;
    }
  }
}

int32_t VideoStream::Deliver(const AVFrame& frame, Image** image) {
  Block block = store_->Acquire(layout_.totalSize);
  if (!converter_->Convert(frame, block.data())) return kFail;
  std::unique_ptr<DevicePicture> device;
  if (!store_->InCpuMemory()) {
    device = store_->Upload(block);
    if (!device) return kFail;
  }
  uint32_t attributes = store_->InCpuMemory() ? 8u : 0u;
  if (frame.key_frame) attributes |= 1;
  if (frame.interlaced_frame) attributes |= 2;
  if (frame.color_range == AVCOL_RANGE_JPEG || fullRange_) attributes |= 4;
  double par = format_.aspectRatio;
  if (frame.sample_aspect_ratio.num > 0 && frame.sample_aspect_ratio.den > 0) {
    par = av_q2d(frame.sample_aspect_ratio);
  }
  *image = device ? new Image(std::move(device), layout_, par, attributes)
                  : new Image(std::move(block), layout_, par, attributes);
  return kOk;
}

int32_t VideoStream::GetFrame(int64_t index, Image** image) {
  std::lock_guard lock(mutex_);
  if (index < 0 || index >= frameCount()) return kBounds;
  if (index == lastIndex_) return Deliver(*last_, image);

  size_t key = KeyFor(index);
  bool forward = live_ && index > lastOutput_ && keys_[key] >= runStart_ &&
                 (keys_[key] < nextPacket_ || index == lastOutput_ + 1);
  if (!forward && !SeekToKey(keys_[key])) return kFail;
  for (Outcome outcome; (outcome = DecodeTo(index)) != Outcome::kFound;) {
    if (outcome == Outcome::kHardwareFailed) {
      // The same frames from software, from the key frame the target needs.
      if (!FallBackToSoftware()) return kFail;
      forward = false;
      key = KeyFor(index);
    } else if (forward) {
      forward = false;
    } else if (runStart_ == 0 && hardware_) {
      // Not delivered even from the start: software may still deliver it.
      if (!FallBackToSoftware()) return kFail;
      key = KeyFor(index);
    } else {
      // Not delivered from this key frame: start from an earlier one.
      if (runStart_ == 0) return kFail;
      while (key > 0 && keys_[key] >= runStart_) --key;
    }
    if (!SeekToKey(keys_[key])) return kFail;
  }
  av_frame_unref(last_.get());
  av_frame_move_ref(last_.get(), frame_.get());
  lastIndex_ = index;
  return Deliver(*last_, image);
}

}  // namespace zr8
