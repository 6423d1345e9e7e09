#include "VideoStream.h"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <string_view>

#include "PictureMemory.h"
#include "SampleTable.h"
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
                          const HardwareRequest& hardware, FormatPtr probed) {
  std::unique_ptr<VideoStream> stream(new VideoStream(path, std::move(store)));
  stream->number_ = number;
  if (!stream->OpenInput(std::move(probed))) return kFail;
  const AVCodecParameters& parameters = *stream->parameters_;
  stream->threadLimit_ = prefs != nullptr ? static_cast<int>(prefs->decoderThreads) : 0;
  if (hardware.kind != 0) {
    // A hardware decoder takes no threads of the budget: it decodes on the calling thread.
    stream->hardware_ = CreateHardwareDecoder(hardware);
    if (stream->hardware_) {
      stream->decoder_ = OpenDecoder(parameters, stream->timeBase_, 1, stream->hardware_.get());
    }
    if (!stream->decoder_) stream->hardware_.reset();
  }
  if (!stream->decoder_) {
    stream->decoderThreads_ = stream->lease_.Rebalance(stream->threadLimit_);
    stream->decoder_ = OpenDecoder(parameters, stream->timeBase_, stream->decoderThreads_);
  }
  if (!stream->decoder_) return kFail;
  const auto nativeFormat = static_cast<AVPixelFormat>(parameters.format);
  int32_t pixelType = prefs != nullptr ? prefs->pixelType : 0;
  if (pixelType == 0) pixelType = PreferredPixelType(nativeFormat);
  if (PixelTypeFormat(pixelType).format == AV_PIX_FMT_NONE) return kNoInterface;
  if (!MakeLayout(pixelType, parameters.width, parameters.height, &stream->layout_)) {
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
  const int nativeBytes =
      av_image_get_buffer_size(nativeFormat, parameters.width, parameters.height, 1);
  stream->pictureBytes_ = static_cast<int64_t>(PictureFootprint(static_cast<size_t>(
      std::max<int64_t>({nativeBytes, static_cast<int64_t>(stream->layout_.totalSize), 1}))));
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
  // The decoder goes before the hardware it refers to; the software decoder takes its share of the
  // thread budget.
  decoderThreads_ = lease_.Rebalance(threadLimit_);
  decoder_ = OpenDecoder(*parameters_, timeBase_, decoderThreads_);
  hardware_.reset();
  ReportSoftware();
  return decoder_ != nullptr;
}

bool VideoStream::OpenInput(FormatPtr probed) {
  const bool unprobed = !probed && parameters_ && reopenUnprobed_;
  input_ = probed ? std::move(probed) : OpenMedia(path_, !unprobed);
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
  if (streamIndex_ < 0) return false;
  const AVStream* stream = input_->streams[streamIndex_];
  if (parameters_) {
    // The same stream as before.
    return stream->codecpar->codec_id == parameters_->codec_id &&
           av_cmp_q(stream->time_base, timeBase_) == 0;
  }
  if (!IsDecodableVideo(stream)) return false;
  parameters_ = CopyParameters(*stream->codecpar);
  timeBase_ = stream->time_base;
  return true;
}

bool VideoStream::ScanPackets() {
  packets_.clear();
  if (!PacketsFromIndex()) {
    if (!input_) return false;
    ReadAllPackets();
  }
  return OrderFrames();
}

bool VideoStream::PacketsFromIndex() {
  // MP4 and MOV files list every sample with its position, size, decode time and key flag; the
  // demuxer keeps that list as the stream's index. Presentation times add the composition offsets
  // of the file's sample table. The result is checked against packets actually read at the start
  // and at the end; any difference, or a file whose index is not exactly its sample table (edited
  // or fragmented), is read packet by packet instead.
  AVStream* stream = input_->streams[streamIndex_];
  if (std::string_view(input_->iformat->name).find("mp4") == std::string_view::npos) return false;
  const int count = avformat_index_get_entries_count(stream);
  SampleTable table;
  if (count <= 0 || !ReadSampleTable(path_, stream->id, &table) || table.sampleCount != count) {
    return false;
  }
  std::vector<PacketEntry> packets(count);
  for (int i = 0; i < count; ++i) {
    const AVIndexEntry* entry = avformat_index_get_entry(stream, i);
    if (entry == nullptr || (entry->flags & AVINDEX_DISCARD_FRAME) != 0) return false;
    PacketEntry& packet = packets[i];
    packet.dts = entry->timestamp;
    packet.pts =
        entry->timestamp + (table.compositionOffsets.empty() ? 0 : table.compositionOffsets[i]);
    packet.pos = entry->pos;
    packet.size = entry->size;
    packet.key = (entry->flags & AVINDEX_KEYFRAME) != 0;
    packet.presented = true;
    if (i > 0) {
      packets[i - 1].duration = packet.dts - packets[i - 1].dts;
      if (packet.dts <= packets[i - 1].dts) return false;
    }
  }
  packets.back().duration = table.lastDuration;

  // The demuxer's own shift of presentation times, from the first packet, then the check.
  auto same = [](const PacketEntry& entry, const AVPacket& packet, int64_t shift) {
    return packet.dts == entry.dts && packet.pts == entry.pts + shift && packet.pos == entry.pos &&
           packet.size == entry.size && packet.duration == entry.duration &&
           ((packet.flags & AV_PKT_FLAG_KEY) != 0) == entry.key &&
           (packet.flags & AV_PKT_FLAG_DISCARD) == 0;
  };
  int64_t shift = 0;
  auto check = [&]() {
    if (!ReadOwnPacket() || packet_->pts == AV_NOPTS_VALUE) return false;
    shift = packet_->pts - packets[0].pts;
    bool matches = same(packets[0], *packet_, shift);
    av_packet_unref(packet_.get());
    for (int i = 1; matches && i < std::min(count, 64); ++i) {
      matches = ReadOwnPacket() && same(packets[i], *packet_, shift);
      av_packet_unref(packet_.get());
    }
    if (!matches || count <= 64) return matches;
    const PacketEntry& last = packets.back();
    // The seek may land a few samples early (it looks up times the demuxer has shifted).
    if (av_seek_frame(input_.get(), streamIndex_, last.dts,
                      AVSEEK_FLAG_BACKWARD | AVSEEK_FLAG_ANY) < 0) {
      return false;
    }
    for (int read = 0; read < 256; ++read) {
      if (!ReadOwnPacket()) return false;
      const bool reached = packet_->pos == last.pos;
      matches = reached ? same(last, *packet_, shift) : packet_->pos < last.pos;
      av_packet_unref(packet_.get());
      if (reached || !matches) return matches;
    }
    return false;
  };
  if (!check()) {
    av_packet_unref(packet_.get());
    if (!OpenInput()) input_.reset();  // from the start again, for the packet scan
    return false;
  }
  for (auto& packet : packets) packet.pts += shift;
  packets_ = std::move(packets);
  reopenUnprobed_ = true;
  return true;
}

void VideoStream::ReadAllPackets() {
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
}

bool VideoStream::OrderFrames() {
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

int VideoStream::ThreadLimit() const {
  if (parked_.empty()) return threadLimit_;
  // A stream that moves between positions restarts a decoder at most requests; a thread beyond
  // the cores only lengthens each restart.
  const int cores = ThreadBudget::Instance().total() - 1;
  return threadLimit_ > 0 ? std::min(threadLimit_, cores) : cores;
}

void VideoStream::RebalanceThreads() {
  if (hardware_) return;  // a hardware decoder keeps the calling thread
  const int threads = lease_.Rebalance(ThreadLimit());
  if (threads == decoderThreads_) return;
  CodecPtr fresh = OpenDecoder(*parameters_, timeBase_, threads);
  if (!fresh) {
    lease_.Rebalance(decoderThreads_);
    return;
  }
  decoder_ = std::move(fresh);
  decoderThreads_ = threads;
}

bool VideoStream::SeekToKey(int64_t decodeIndex) {
  ++seeks_;
  RebalanceThreads();
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
    // From the start of the file (opened anew, reading its stream information), counting packets
    // up to the key frame.
    reopenUnprobed_ = false;
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
      Pass(identity);
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

int64_t VideoStream::ForwardCost(bool live, int64_t lastOutput, int64_t runStart,
                                 int64_t nextPacket, int64_t index, size_t key) const {
  const bool reaches = live && index > lastOutput && keys_[key] >= runStart &&
                       (keys_[key] < nextPacket || index == lastOutput + 1);
  if (!reaches) return kUnreachable;
  return std::max<int64_t>(presentation_[index] - nextPacket, 0);
}

void VideoStream::SwapPosition(Position& other) {
  std::swap(input_, other.input);
  std::swap(decoder_, other.decoder);
  std::swap(decoderThreads_, other.decoderThreads);
  std::swap(packet_, other.packet);
  std::swap(frame_, other.frame);
  std::swap(live_, other.live);
  std::swap(packetHeld_, other.packetHeld);
  std::swap(flushSent_, other.flushSent);
  std::swap(nextPacket_, other.nextPacket);
  std::swap(runStart_, other.runStart);
  std::swap(lastOutput_, other.lastOutput);
  std::swap(outputsInRun_, other.outputsInRun);
}

void VideoStream::TakeParked(size_t slot) {
  SwapPosition(parked_[slot]);
  // The position just left is now the most recently used of the parked ones.
  std::rotate(parked_.begin() + static_cast<std::ptrdiff_t>(slot),
              parked_.begin() + static_cast<std::ptrdiff_t>(slot) + 1, parked_.end());
}

int64_t VideoStream::RunLength(int64_t index) const {
  return presentation_[index] - keys_[KeyFor(index)] + 1;
}

void VideoStream::Pass(int64_t index) {
  cache_.Offer(index, RunLength(index), *frame_, CacheLimit());
  av_frame_unref(frame_.get());
}

int64_t VideoStream::AidShare() {
  return kAidBytes / 2 / std::max(ThreadBudget::Instance().streams(), 1);
}

size_t VideoStream::CacheLimit() const {
  return static_cast<size_t>(std::min<int64_t>(AidShare() / pictureBytes_, kCachedFrames));
}

size_t VideoStream::PositionLimit() const {
  // A parked decoder holds about its threads' pictures and a few references.
  const int64_t perPosition = pictureBytes_ * (decoderThreads_ + 3);
  return static_cast<size_t>(std::clamp<int64_t>(AidShare() / perPosition, 2, kPositions));
}

bool VideoStream::MakePosition() {
  if (hardware_) return false;  // a hardware-decoded stream keeps one position on its device
  const int streamIndex = streamIndex_;
  parked_.emplace_back();
  SwapPosition(parked_.back());  // the current position is parked; an empty one becomes current
  const int threads = lease_.Rebalance(ThreadLimit());
  bool made = OpenInput() && streamIndex_ == streamIndex;
  if (made) {
    decoder_ = OpenDecoder(*parameters_, timeBase_, threads);
    made = decoder_ != nullptr;
  }
  if (!made) {
    SwapPosition(parked_.back());
    parked_.pop_back();
    streamIndex_ = streamIndex;
    lease_.Rebalance(decoderThreads_);
    return false;
  }
  decoderThreads_ = threads;
  packet_ = MakePacket();
  frame_ = MakeFrame();
  live_ = false;
  return true;
}

bool VideoStream::ChoosePosition(int64_t index, size_t key) {
  // Decoding forward from a position costs the packets up to the frame; seeking costs those from
  // the key frame. The cheapest position that can go forward is taken when it is not dearer than
  // a seek; otherwise the position used longest ago seeks (a new one while there are fewer than
  // kPositions and the current one has delivered frames).
  const int64_t seekCost = presentation_[index] - keys_[key] + 1;
  int64_t best = ForwardCost(live_, lastOutput_, runStart_, nextPacket_, index, key);
  int chosen = -1;
  for (size_t slot = 0; slot < parked_.size(); ++slot) {
    const Position& other = parked_[slot];
    const int64_t cost =
        ForwardCost(other.live, other.lastOutput, other.runStart, other.nextPacket, index, key);
    if (cost < best) {
      best = cost;
      chosen = static_cast<int>(slot);
    }
  }
  if (best != kUnreachable && best <= seekCost) {
    if (chosen >= 0) TakeParked(static_cast<size_t>(chosen));
    return true;
  }
  if (live_ && outputsInRun_ > 0) {
    if (parked_.size() + 1 < PositionLimit() && MakePosition()) return false;
    if (!parked_.empty()) TakeParked(0);
  }
  return false;
}

int32_t VideoStream::GetFrame(int64_t index, Image** image) {
  std::lock_guard lock(mutex_);
  if (index < 0 || index >= frameCount()) return kBounds;
  if (index == lastIndex_) return Deliver(*last_, image);
  av_frame_unref(frame_.get());
  if (cache_.Take(index, frame_.get())) {
    ++cacheHits_;
    return DeliverFound(index, image);
  }
  // More streams opened since: fewer parked positions (those used longest ago go).
  const size_t positions = PositionLimit();
  if (parked_.size() + 1 > positions) {
    parked_.erase(parked_.begin(),
                  parked_.begin() + static_cast<std::ptrdiff_t>(parked_.size() + 1 - positions));
  }
  cache_.Trim(CacheLimit());

  // Nothing sent to the decoder since its last seek: it may change its thread count for free.
  if (live_ && nextPacket_ == runStart_ && !flushSent_) RebalanceThreads();
  size_t key = KeyFor(index);
  bool forward = ChoosePosition(index, key);
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
  return DeliverFound(index, image);
}

int32_t VideoStream::DeliverFound(int64_t index, Image** image) {
  av_frame_unref(last_.get());
  av_frame_move_ref(last_.get(), frame_.get());
  lastIndex_ = index;
  return Deliver(*last_, image);
}

}  // namespace zr8
