#include "AudioStream.h"

#include <algorithm>
#include <cstring>

#include "Status.h"

namespace zr8 {
namespace {

// Packets decoded before a random start so that the decoder's state is rebuilt exactly when the
// wanted samples come out, for the codings whose decoders hold no state beyond a few packets
// (overlap, bit reservoir). Decoders with state of unbounded reach (noise generators in AAC, Opus,
// Vorbis, AC-3; MPEG layer II, whose output after a seek is not that of a continuous decode) give
// exactly the samples of a full decode only when they decode from the start:
// for those, -1, and a start behind the decoder decodes again from the beginning.
int64_t PrerollPackets(AVCodecID id) {
  switch (id) {
    case AV_CODEC_ID_FLAC:
    case AV_CODEC_ID_ALAC:
    case AV_CODEC_ID_TTA:
    case AV_CODEC_ID_WAVPACK:
      return 1;
    case AV_CODEC_ID_MP3:
      return 10;
    default: {
      const AVCodecDescriptor* descriptor = avcodec_descriptor_get(id);
      if (descriptor != nullptr && std::strncmp(descriptor->name, "pcm_", 4) == 0) return 1;
      return -1;
    }
  }
}

uint32_t FormatFamily(AVCodecID id, uint32_t* fourCC) {
  struct Entry {
    AVCodecID id;
    uint32_t family;
    uint32_t fourCC;
  };
  static const Entry kEntries[] = {
      {AV_CODEC_ID_AAC, FourCC("AAC "), FourCC("mp4a")},
      {AV_CODEC_ID_AAC_LATM, FourCC("AAC "), FourCC("mp4a")},
      {AV_CODEC_ID_MP3, FourCC("MP3 "), FourCC(".mp3")},
      {AV_CODEC_ID_MP2, FourCC("MP2 "), FourCC(".mp2")},
      {AV_CODEC_ID_OPUS, FourCC("OPUS"), FourCC("Opus")},
      {AV_CODEC_ID_VORBIS, FourCC("VORB"), FourCC("vorb")},
      {AV_CODEC_ID_FLAC, FourCC("FLAC"), FourCC("fLaC")},
      {AV_CODEC_ID_ALAC, FourCC("ALAC"), FourCC("alac")},
      {AV_CODEC_ID_AC3, FourCC("AC3 "), FourCC("ac-3")},
      {AV_CODEC_ID_EAC3, FourCC("EAC3"), FourCC("ec-3")},
      {AV_CODEC_ID_DTS, FourCC("DTS "), FourCC("dtsc")},
      {AV_CODEC_ID_PCM_F32LE, FourCC("PCM "), FourCC("fl32")},
      {AV_CODEC_ID_PCM_F32BE, FourCC("PCM "), FourCC("fl32")},
      {AV_CODEC_ID_PCM_F64LE, FourCC("PCM "), FourCC("fl64")},
      {AV_CODEC_ID_PCM_F64BE, FourCC("PCM "), FourCC("fl64")},
      {AV_CODEC_ID_WMAV2, FourCC("WMA "), FourCC("WMA2")},
  };
  for (const auto& entry : kEntries) {
    if (entry.id == id) {
      *fourCC = entry.fourCC;
      return entry.family;
    }
  }
  const AVCodecDescriptor* descriptor = avcodec_descriptor_get(id);
  if (descriptor != nullptr && std::strncmp(descriptor->name, "pcm_", 4) == 0) {
    *fourCC = FourCC("lpcm");
    return FourCC("PCM ");
  }
  *fourCC = 0;
  uint32_t family = 0;
  const char* name = descriptor != nullptr ? descriptor->name : "";
  for (int i = 0; i < 4; ++i) {
    const char letter = name[0] == '\0' ? ' ' : *name++;
    const char upper = (letter >= 'a' && letter <= 'z') ? static_cast<char>(letter - 32) : letter;
    family = (family << 8) | static_cast<uint8_t>(upper);
  }
  return family;
}

// Codings whose every packet decodes to the stream's frame size.
bool HasFixedFrames(AVCodecID id) {
  switch (id) {
    case AV_CODEC_ID_AAC:
    case AV_CODEC_ID_MP1:
    case AV_CODEC_ID_MP2:
    case AV_CODEC_ID_MP3:
    case AV_CODEC_ID_AC3:
    case AV_CODEC_ID_EAC3:
      return true;
    default:
      return false;
  }
}

// Codings whose decoded length the packets tell exactly (durations or fixed frame sizes, less
// the container's skip marks); the others are counted by decoding.
bool CountedFromPackets(AVCodecID id) {
  if (HasFixedFrames(id)) return true;
  switch (id) {
    case AV_CODEC_ID_FLAC:
    case AV_CODEC_ID_ALAC:
      return true;
    default: {
      const AVCodecDescriptor* descriptor = avcodec_descriptor_get(id);
      return descriptor != nullptr && std::strncmp(descriptor->name, "pcm_", 4) == 0;
    }
  }
}

}  // namespace

std::unique_ptr<AudioStream> AudioStream::Open(const std::string& path, int number,
                                               std::shared_ptr<MemoryPool> buffers,
                                               FormatPtr probed) {
  std::unique_ptr<AudioStream> stream(new AudioStream(path, std::move(buffers)));
  stream->number_ = number;
  if (!stream->Restart(std::move(probed)) || !stream->Scan() || !stream->Restart()) return nullptr;
  const AVCodecID id = stream->input_->streams[stream->streamIndex_]->codecpar->codec_id;
  stream->preroll_ = PrerollPackets(id);
  if (!CountedFromPackets(id) && !stream->CountByDecoding()) return nullptr;
  stream->FillFormat();
  return stream;
}

bool AudioStream::Restart(FormatPtr probed) {
  input_ = probed ? std::move(probed) : OpenMedia(path_);
  if (!input_) return false;
  int seen = 0;
  streamIndex_ = -1;
  for (unsigned i = 0; i < input_->nb_streams; ++i) {
    AVStream* stream = input_->streams[i];
    if (stream->codecpar->codec_type != AVMEDIA_TYPE_AUDIO) {
      stream->discard = AVDISCARD_ALL;
      continue;
    }
    if (seen++ == number_) {
      streamIndex_ = static_cast<int>(i);
    } else {
      stream->discard = AVDISCARD_ALL;
    }
  }
  if (streamIndex_ < 0 || !IsDecodableAudio(input_->streams[streamIndex_])) return false;
  AVStream* stream = input_->streams[streamIndex_];
  decoder_ = OpenDecoder(stream, 1);
  if (!decoder_) return false;
  timeBase_ = stream->time_base;
  sampleRate_ = decoder_->sample_rate;
  channels_ = decoder_->ch_layout.nb_channels;
  if (sampleRate_ <= 0 || channels_ <= 0) return false;
  if (!frame_) frame_ = MakeFrame();
  if (!packet_) packet_ = MakePacket();
  resampler_.reset();
  pendingFrames_ = 0;
  pendingStart_ = 0;
  nextPosition_ = 0;
  live_ = true;
  drained_ = false;
  flushSent_ = false;
  return true;
}

// Counts the samples a full decode yields from the packets alone: every packet decodes to its
// duration, less the samples that the container or the coding marks to be skipped at the start
// (priming, edit lists) and discarded at the end (padding).
bool AudioStream::Scan() {
  packets_.clear();
  int64_t total = 0;
  const AVRational sampleBase{1, sampleRate_};
  const bool durationsTrimmed = std::strcmp(input_->iformat->name, "ogg") == 0;
  const AVCodecParameters* parameters = input_->streams[streamIndex_]->codecpar;
  const int64_t fixedFrame = HasFixedFrames(parameters->codec_id) ? parameters->frame_size : 0;
  while (av_read_frame(input_.get(), packet_.get()) >= 0) {
    if (packet_->stream_index != streamIndex_) {
      av_packet_unref(packet_.get());
      continue;
    }
    PacketInfo info{packet_->pts, packet_->pos, packet_->size, total};
    if (info.pts == AV_NOPTS_VALUE) info.pts = packet_->dts;
    // Codings of a fixed frame size decode every packet to a whole frame, also the last one,
    // whatever duration the container gives it.
    int64_t samples =
        fixedFrame > 0 ? fixedFrame : av_rescale_q(packet_->duration, timeBase_, sampleBase);
    if (samples <= 0) {
      samples =
          av_get_audio_frame_duration2(input_->streams[streamIndex_]->codecpar, packet_->size);
    }
    size_t sideSize = 0;
    const uint8_t* side =
        av_packet_get_side_data(packet_.get(), AV_PKT_DATA_SKIP_SAMPLES, &sideSize);
    if (side != nullptr && sideSize >= 8) {
      const int64_t skipStart = AV_RL32(side);
      const int64_t skipEnd = AV_RL32(side + 4);
      if (!durationsTrimmed || skipStart > 0) samples -= skipStart;
      if (!durationsTrimmed) samples -= skipEnd;
    }
    if ((packet_->flags & AV_PKT_FLAG_DISCARD) != 0) samples = 0;
    samples = std::max<int64_t>(samples, 0);
    packets_.push_back(info);
    total += samples;
    av_packet_unref(packet_.get());
  }
  sampleCount_ = total;
  packetsByPosition_ = !packets_.empty();
  for (size_t i = 0; i < packets_.size(); ++i) {
    if (packets_[i].pos < 0 || (i > 0 && packets_[i].pos <= packets_[i - 1].pos)) {
      packetsByPosition_ = false;
    }
  }
  return true;
}

// The exact count for codings whose decoders trim or hold back samples in ways the packets do not
// show (pre-skip held in the coding's own header, a first packet that yields nothing): one decode
// of the whole stream, without conversion.
bool AudioStream::CountByDecoding() {
  if (!Restart()) return false;
  skipBefore_ = INT64_MAX;
  while (DecodeNext()) {
  }
  sampleCount_ = nextPosition_;
  skipBefore_ = 0;
  return Restart();
}

int64_t AudioStream::length() const {
  return av_rescale(sampleCount_, 10000000, sampleRate_);
}

void AudioStream::FillFormat() {
  const AVCodecParameters* parameters = input_->streams[streamIndex_]->codecpar;
  format_ = {};
  uint32_t fourCC = 0;
  format_.format = FormatFamily(parameters->codec_id, &fourCC);
  if (fourCC == 0) fourCC = TagToFourCC(parameters->codec_tag);
  format_.fourCC = fourCC;
  format_.sampleFormat = FourCC("F32I");
  format_.sampleRate = sampleRate_;
  format_.channels = channels_;
  const AVCodecDescriptor* descriptor = avcodec_descriptor_get(parameters->codec_id);
  const bool lossy = descriptor != nullptr && (descriptor->props & AV_CODEC_PROP_LOSSY) != 0;
  int bits = parameters->bits_per_raw_sample;
  if (bits <= 0 && !lossy) bits = parameters->bits_per_coded_sample;
  if (bits <= 0 || lossy) bits = 8 * av_get_bytes_per_sample(decoder_->sample_fmt);
  format_.bitDepth = bits;
  format_.sampleCount = sampleCount_;
  format_.duration = length();
  int64_t bitRate = parameters->bit_rate;
  if (bitRate <= 0 && input_->duration > 0 && input_->pb != nullptr) {
    int64_t bytes = 0;
    for (const auto& packet : packets_) bytes += packet.size;
    bitRate = av_rescale(bytes * 8, AV_TIME_BASE, input_->duration);
  }
  format_.avgBitRate = static_cast<uint32_t>(std::clamp<int64_t>(bitRate, 0, UINT32_MAX));
  format_.maxBitRate = format_.avgBitRate;
  size_t sideSize = 0;
  const auto* properties = reinterpret_cast<const AVCPBProperties*>(av_stream_get_side_data(
      input_->streams[streamIndex_], AV_PKT_DATA_CPB_PROPERTIES, &sideSize));
  if (properties != nullptr && properties->max_bitrate > 0) {
    format_.maxBitRate =
        static_cast<uint32_t>(std::clamp<int64_t>(properties->max_bitrate, 0, UINT32_MAX));
  }
}

// Where a frame decoded after a seek belongs: found by the file position of its packet (exact
// also where a demuxer only estimates times after a seek), else by its time.
int64_t AudioStream::PositionOfFrame(const AVFrame& frame) const {
  if (frame.pkt_pos >= 0 && packetsByPosition_) {
    auto found =
        std::lower_bound(packets_.begin(), packets_.end(), frame.pkt_pos,
                         [](const PacketInfo& info, int64_t value) { return info.pos < value; });
    if (found != packets_.end() && found->pos == frame.pkt_pos) return found->outStart;
    return -1;
  }
  if (frame.pts == AV_NOPTS_VALUE) return -1;
  auto found =
      std::lower_bound(packets_.begin(), packets_.end(), frame.pts,
                       [](const PacketInfo& info, int64_t value) { return info.pts < value; });
  if (found == packets_.end() || found->pts != frame.pts) return -1;
  return found->outStart;
}

AudioStream::Received AudioStream::ReceiveInto() {
  const int received = avcodec_receive_frame(decoder_.get(), frame_.get());
  if (received == AVERROR_EOF) {
    drained_ = true;
    return Received::kEnd;
  }
  if (received < 0) return Received::kNeedInput;
  if (!live_) {
    nextPosition_ = PositionOfFrame(*frame_);
    if (nextPosition_ < 0) {
      av_frame_unref(frame_.get());
      return Received::kSkipped;  // not placed yet: keep decoding
    }
    live_ = true;
  }
  const int samples = frame_->nb_samples;
  if (nextPosition_ + samples <= skipBefore_) {
    // Decoded only to reach a later start: not converted.
    nextPosition_ += samples;
    pendingFrames_ = 0;
    av_frame_unref(frame_.get());
    return Received::kSkipped;
  }
  if (!resampler_) {
    AVChannelLayout layout{};
    if (frame_->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC || frame_->ch_layout.nb_channels == 0) {
      av_channel_layout_default(&layout, channels_);
    } else {
      av_channel_layout_copy(&layout, &frame_->ch_layout);
    }
    SwrContext* raw = nullptr;
    const int made = swr_alloc_set_opts2(&raw, &layout, AV_SAMPLE_FMT_FLT, frame_->sample_rate,
                                         &layout, static_cast<AVSampleFormat>(frame_->format),
                                         frame_->sample_rate, 0, nullptr);
    av_channel_layout_uninit(&layout);
    resampler_.reset(raw);
    if (made < 0 || swr_init(resampler_.get()) < 0) {
      resampler_.reset();
      av_frame_unref(frame_.get());
      drained_ = true;
      return Received::kEnd;
    }
  }
  const size_t bytes = static_cast<size_t>(samples) * channels_ * sizeof(float);
  if (pending_.size() < bytes) pending_ = buffers_->Acquire(std::max<size_t>(bytes, 65536));
  uint8_t* out[1] = {pending_.data()};
  const int converted = swr_convert(resampler_.get(), out, samples,
                                    const_cast<const uint8_t**>(frame_->extended_data), samples);
  av_frame_unref(frame_.get());
  pendingStart_ = nextPosition_;
  pendingFrames_ = std::max(converted, 0);
  nextPosition_ += pendingFrames_;
  return Received::kFrame;
}

bool AudioStream::DecodeNext() {
  while (!drained_) {
    const Received received = ReceiveInto();
    if (received == Received::kFrame) return true;
    if (received == Received::kEnd) break;
    if (received == Received::kSkipped) continue;
    if (flushSent_) break;  // a drained decoder that asks for input has nothing more
    const int read = av_read_frame(input_.get(), packet_.get());
    if (read < 0) {
      avcodec_send_packet(decoder_.get(), nullptr);
      flushSent_ = true;
      continue;
    }
    // The decoder's output is always taken before input is offered, so a packet is never
    // refused for want of room; a packet it rejects as damaged is dropped.
    if (packet_->stream_index == streamIndex_) avcodec_send_packet(decoder_.get(), packet_.get());
    av_packet_unref(packet_.get());
  }
  return false;
}

bool AudioStream::SeekNear(int64_t start) {
  auto holding =
      std::upper_bound(packets_.begin(), packets_.end(), start,
                       [](int64_t value, const PacketInfo& info) { return value < info.outStart; });
  const int64_t index = std::max<int64_t>(0, (holding - packets_.begin()) - 1);
  const int64_t from = index - preroll_;
  if (preroll_ < 0 || from <= 0 || packets_[from].pts == AV_NOPTS_VALUE) return Restart();
  if (av_seek_frame(input_.get(), streamIndex_, packets_[from].pts, AVSEEK_FLAG_BACKWARD) < 0) {
    return Restart();
  }
  avcodec_flush_buffers(decoder_.get());
  pendingFrames_ = 0;
  nextPosition_ = -1;
  live_ = false;
  drained_ = false;
  flushSent_ = false;
  return true;
}

int32_t AudioStream::GetSamples(int64_t start, float* buffer, int64_t maxFrames,
                                int64_t* framesRead) {
  std::lock_guard lock(mutex_);
  *framesRead = 0;
  if (start < 0 || start > sampleCount_) return kBounds;
  if (start == sampleCount_ || maxFrames == 0) return start == sampleCount_ ? kFalse : kOk;
  const int64_t wanted = std::min(maxFrames, sampleCount_ - start);
  const bool inPending =
      pendingFrames_ > 0 && start >= pendingStart_ && start < pendingStart_ + pendingFrames_;
  // Ahead of the decoder: decode forward, unless a seek saves much decoding.
  const bool ahead = live_ && !drained_ && start >= nextPosition_ &&
                     (preroll_ < 0 || start - nextPosition_ < 4 * 8192);
  if (!inPending && !ahead && !SeekNear(start)) return kFail;
  bool reseeked = false;
  int64_t done = 0;
  skipBefore_ = start;
  while (done < wanted) {
    const int64_t position = start + done;
    if (pendingFrames_ > 0 && position >= pendingStart_ &&
        position < pendingStart_ + pendingFrames_) {
      const int64_t offset = position - pendingStart_;
      const int64_t count = std::min(wanted - done, pendingFrames_ - offset);
      std::memcpy(buffer + done * channels_,
                  reinterpret_cast<const float*>(pending_.data()) + offset * channels_,
                  static_cast<size_t>(count * channels_) * sizeof(float));
      done += count;
      continue;
    }
    if (live_ && pendingFrames_ > 0 && position < pendingStart_) {
      // A seek landed past the start: decode from the beginning instead.
      if (reseeked || !Restart()) return kFail;
      reseeked = true;
      continue;
    }
    if (!DecodeNext()) {
      // The decode ended early: what the count promises is completed with silence.
      std::fill(buffer + done * channels_, buffer + wanted * channels_, 0.0f);
      done = wanted;
      pendingFrames_ = 0;
      break;
    }
  }
  *framesRead = done;
  return kOk;
}

int32_t AudioStream::GetPacket(int64_t number, void* buffer, int64_t capacity, int64_t* bytesRead) {
  std::lock_guard lock(mutex_);
  *bytesRead = 0;
  if (number < 0 || number >= static_cast<int64_t>(packets_.size())) return kBounds;
  const PacketInfo& info = packets_[number];
  *bytesRead = info.size;
  if (capacity < info.size || buffer == nullptr) return kBounds;
  // Read it with a reader of its own, so the decode position is left alone.
  FormatPtr reader = OpenMedia(path_);
  if (!reader) return kFail;
  PacketPtr packet = MakePacket();
  if (info.pts != AV_NOPTS_VALUE) {
    av_seek_frame(reader.get(), streamIndex_, info.pts, AVSEEK_FLAG_BACKWARD);
  }
  for (int attempt = 0; attempt < 2; ++attempt) {
    while (av_read_frame(reader.get(), packet.get()) >= 0) {
      const bool match = packet->stream_index == streamIndex_ && packet->size == info.size &&
                         (packet->pos == info.pos || info.pos < 0) &&
                         (packet->pts == info.pts || packet->dts == info.pts);
      if (match) {
        std::memcpy(buffer, packet->data, static_cast<size_t>(packet->size));
        av_packet_unref(packet.get());
        return kOk;
      }
      av_packet_unref(packet.get());
    }
    reader = OpenMedia(path_);
    if (!reader) break;
  }
  *bytesRead = 0;
  return kFail;
}

}  // namespace zr8
