#include "AudioStream.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <deque>
#include <thread>

#include "AudioPreroll.h"
#include "IndexCache.h"
#include "ReadFile.h"
#include "Status.h"

namespace zr8 {
namespace {

// Each packet sent to the decoder carries its index in the stream as its time, shifted past any
// adjustment the decoder makes for skipped samples, so that a frame tells the packet it comes from.
constexpr int kTagShift = 32;

// Windows of packets (their first packet and length) where a random start is tried against the
// full decode at indexing: a coding whose state reaches back further than its pre-roll (AAC's noise
// substitution, whose generator runs through the whole stream) shows there and decodes from the
// start instead.
constexpr int64_t kProbeStarts[] = {48, 400, 3000};
constexpr int64_t kProbeLength = 8;

std::atomic<int64_t> gCountingDecodes{0};
std::atomic<int64_t> gTimelineRebuilds{0};

// What fixes the samples a packet of a coding decodes to, where the timeline may be predicted.
enum class CountRule {
  kNone,      // not predicted: counted by a decode
  kFixed,     // one frame length, learnt from the first decoded packets (AAC 1024 or 2048 with
              // SBR, MP3 1152 or 576, MP2 1152, AC-3 1536, E-AC-3 as its headers say)
  kOpusToc,   // the packet's table of contents
  kDuration,  // the packet's duration, exact in the container's time base (Vorbis's block flags,
              // FLAC's block size, PCM's bytes)
};

CountRule RuleFor(AVCodecID id) {
  switch (id) {
    case AV_CODEC_ID_AAC:
    case AV_CODEC_ID_MP3:
    case AV_CODEC_ID_MP2:
    case AV_CODEC_ID_AC3:
    case AV_CODEC_ID_EAC3:
      return CountRule::kFixed;
    case AV_CODEC_ID_OPUS:
      return CountRule::kOpusToc;
    case AV_CODEC_ID_VORBIS:
    case AV_CODEC_ID_FLAC:
    case AV_CODEC_ID_ALAC:
      return CountRule::kDuration;
    default: {
      const AVCodecDescriptor* descriptor = avcodec_descriptor_get(id);
      const bool pcm = descriptor != nullptr && std::strncmp(descriptor->name, "pcm_", 4) == 0;
      return pcm ? CountRule::kDuration : CountRule::kNone;
    }
  }
}

// The samples (at 48 kHz) an Opus packet decodes to, from its table of contents; -1 when it does
// not tell.
int64_t OpusSamples(const AVPacket& packet) {
  if (packet.size < 1) return -1;
  static constexpr int kSilk[] = {480, 960, 1920, 2880};
  static constexpr int kCelt[] = {120, 240, 480, 960};
  const int config = packet.data[0] >> 3;
  const int frame = config < 12   ? kSilk[config & 3]
                    : config < 16 ? 480 << (config & 1)
                                  : kCelt[config & 3];
  int frames = 1;
  switch (packet.data[0] & 3) {
    case 0:
      break;
    case 1:
    case 2:
      frames = 2;
      break;
    default:
      if (packet.size < 2) return -1;
      frames = packet.data[1] & 0x3f;
  }
  const int64_t samples = int64_t{frame} * frames;
  return samples > 0 && samples <= 5760 ? samples : -1;
}

uint64_t HashSamples(uint64_t hash, const AVFrame& frame) {
  const auto format = static_cast<AVSampleFormat>(frame.format);
  const bool planar = av_sample_fmt_is_planar(format) != 0;
  const int channels = std::max(frame.ch_layout.nb_channels, 1);
  const size_t bytes = static_cast<size_t>(frame.nb_samples) * av_get_bytes_per_sample(format) *
                       (planar ? 1 : channels);
  for (int plane = 0; plane < (planar ? channels : 1); ++plane) {
    for (size_t i = 0; i < bytes; ++i)
      hash = (hash ^ frame.extended_data[plane][i]) * 0x100000001b3u;
  }
  return hash;
}

bool SameLayout(const AVChannelLayout& a, const AVChannelLayout& b) {
  return av_channel_layout_compare(&a, &b) == 0;
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

}  // namespace

std::unique_ptr<AudioStream> AudioStream::Open(const std::string& path, int number,
                                               std::shared_ptr<MemoryPool> buffers,
                                               FormatPtr probed,
                                               std::shared_ptr<const ProbedStreams> known) {
  std::unique_ptr<AudioStream> stream(new AudioStream(path, std::move(buffers)));
  stream->number_ = number;
  stream->known_ = std::move(known);
  if (!stream->Restart(std::move(probed))) return nullptr;
  // The timeline an earlier open of the same file kept, else counted here and kept.
  const std::string key = stream->TimelineKey();
  const bool kept = stream->LoadTimeline(key);
  // Counting reads the whole file: the reader then starts again. A kept timeline leaves the first
  // reader at the start.
  if (!kept && (!stream->Index() || !stream->Restart())) return nullptr;
  // A predicted timeline is kept once a decode has confirmed it (ObserveEnd).
  if (!kept && !stream->predicted_) stream->StoreTimeline(key);
  stream->FillFormat();
  return stream;
}

AudioStream::~AudioStream() {
  av_channel_layout_uninit(&layout_);
  av_channel_layout_uninit(&inLayout_);
}

bool AudioStream::Restart(FormatPtr probed) {
  // Until it succeeds the stream has no reader (the file renamed, replaced or out of reach, no
  // descriptor left): a later read tries again.
  decoder_.reset();
  nextPosition_ = -1;
  pendingFrames_ = 0;
  drained_ = true;
  if (probed) {
    input_ = std::move(probed);
  } else {
    input_ = known_ ? known_->Open(path_, known_->AudioIndex(number_)) : OpenMedia(path_);
  }
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
  if (sampleRate_ == 0) {
    // The first opening fixes the rate and layout every sample is delivered in.
    timeBase_ = stream->time_base;
    sampleRate_ = decoder_->sample_rate;
    if (decoder_->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC) {
      av_channel_layout_default(&layout_, decoder_->ch_layout.nb_channels);
    } else if (av_channel_layout_copy(&layout_, &decoder_->ch_layout) < 0) {
      return false;
    }
    channels_ = layout_.nb_channels;
    if (sampleRate_ <= 0 || channels_ <= 0) return false;
  }
  // Times in samples, so that a trimmed start moves a frame's tag by its sample count.
  decoder_->pkt_timebase = AVRational{1, sampleRate_};
  if (!frame_) frame_ = MakeFrame();
  if (!packet_) packet_ = MakePacket();
  resampler_.reset();
  nextPacket_ = 0;
  lastSource_ = -1;
  sourceOffset_ = 0;
  pendingFrames_ = 0;
  pendingStart_ = 0;
  nextPosition_ = 0;
  drained_ = false;
  flushSent_ = false;
  lost_ = false;
  observed_ = -1;
  confirmFrom_ = 0;
  runFromStart_ = true;
  return true;
}

// Where each packet's output falls on the decoded timeline and how many samples a full decode
// yields: predicted from the packets where the coding allows (PredictTimeline), else counted by
// decoding the whole stream, in parts on several threads where the packets fit in memory and the
// coding's frame lengths do not depend on what came long before.
bool AudioStream::Index() {
  predicted_ = PredictTimeline();
  if (!predicted_ && (!Restart() || !CountTimeline())) return false;
  PlaceTimeline();
  return true;
}

bool AudioStream::CountTimeline() {
  ++gCountingDecodes;
  probePackets_.clear();
  probeHashes_.clear();
  rateChanges_ = false;
  if (!CountInParts()) {
    if (!packets_.empty() && !Restart()) return false;  // the packets were read already
    CountByOneDecode();
  }
  return true;
}

void AudioStream::PlaceTimeline() {
  int64_t total = 0;
  for (PacketInfo& info : packets_) {
    info.outStart = total;
    total += info.outCount;
  }
  sampleCount_ = total;
  // A seek never lands on or before a packet whose start the decoder trims: after a seek it
  // would not be trimmed.
  firstSeekable_ = 0;
  for (size_t i = 0; i < packets_.size(); ++i) {
    if (packets_[i].trimmedStart) firstSeekable_ = static_cast<int64_t>(i) + 1;
  }
  const AVCodecID id = input_->streams[streamIndex_]->codecpar->codec_id;
  prerollChoice_ = rateChanges_ ? audio_preroll::Choice{} : audio_preroll::For(id);
  if (prerollChoice_.packets >= 0 && !prerollChoice_.bounded &&
      !PrerollReproduces(prerollChoice_.packets)) {
    prerollChoice_ = audio_preroll::NotReproduced(prerollChoice_);
  }
  preroll_ = audio_preroll::Packets(prerollChoice_, audio_preroll::ExactAsked());
  probePackets_.clear();
  probeHashes_.clear();
}

int64_t AudioStream::CountingDecodes() {
  return gCountingDecodes.load();
}
int64_t AudioStream::TimelineRebuilds() {
  return gTimelineRebuilds.load();
}

// The packets are read without decoding. The first ones (up to a few past the last whose start the
// decoder trims) and the last ones (after a warm-up, as a part of CountInParts starts) are decoded
// and counted; every other packet yields what its coding fixes (CountRule). That holds only where
// each packet in between is plain (none trimmed, discarded or marked corrupt), its duration agrees
// with the rule, the rule agrees with every decoded packet, and those decodes keep one frame shape
// at the stream's rate. Every later decode checks the prediction (Observe).
bool AudioStream::PredictTimeline() {
  constexpr int64_t kHeldHead = 80;     // packets held from the start
  constexpr int64_t kMostHead = 64;     // the first decode ends by then
  constexpr int64_t kPastTrim = 8;      // packets it decodes past the last trimmed one
  constexpr int64_t kTail = 8;          // last packets counted
  constexpr int64_t kWarmUp = 16;       // packets decoded before them, not counted
  constexpr int64_t kLongPreroll = 48;  // packets before a probe window in its reference decode
  const AVCodecID id = input_->streams[streamIndex_]->codecpar->codec_id;
  const CountRule rule = RuleFor(id);
  if (rule == CountRule::kNone || timeBase_.num <= 0 || timeBase_.num > 1000) return false;
  packets_.clear();
  changes_.clear();
  rateChanges_ = false;
  probePackets_.clear();
  probeHashes_.clear();
  struct Scanned {
    int64_t duration;
    int64_t coded;  // what the packet's own header says it yields, -1 where it says nothing
    bool plain;
  };
  std::vector<Scanned> scanned;
  std::map<int64_t, PacketPtr> held;
  std::deque<std::pair<int64_t, PacketPtr>> last;
  auto probed = [](int64_t i) {
    return std::any_of(std::begin(kProbeStarts), std::end(kProbeStarts), [&](int64_t start) {
      return i >= start - kLongPreroll && i < start + kProbeLength + 4;
    });
  };
  while (av_read_frame(input_.get(), packet_.get()) >= 0) {
    if (packet_->stream_index != streamIndex_) {
      av_packet_unref(packet_.get());
      continue;
    }
    const auto i = static_cast<int64_t>(packets_.size());
    packets_.push_back(Describe(*packet_));
    size_t sideSize = 0;
    const bool plain =
        av_packet_get_side_data(packet_.get(), AV_PKT_DATA_SKIP_SAMPLES, &sideSize) == nullptr &&
        (packet_->flags & (AV_PKT_FLAG_DISCARD | AV_PKT_FLAG_CORRUPT)) == 0;
    scanned.push_back(
        {packet_->duration, rule == CountRule::kOpusToc ? OpusSamples(*packet_) : -1, plain});
    PacketPtr kept = MakePacket();
    av_packet_move_ref(kept.get(), packet_.get());
    if (i < kHeldHead || probed(i)) {
      PacketPtr copy = MakePacket();
      if (av_packet_ref(copy.get(), kept.get()) < 0) return false;
      held.emplace(i, std::move(copy));
    }
    last.emplace_back(i, std::move(kept));
    if (static_cast<int64_t>(last.size()) > kTail + kWarmUp) last.pop_front();
  }
  for (auto& [i, packet] : last) held.try_emplace(i, std::move(packet));
  const auto count = static_cast<int64_t>(packets_.size());
  if (count == 0) return false;

  // The first decode reaches past every trimmed packet near the start; any other packet that is
  // not plain must be among the last.
  int64_t head = kPastTrim;
  int64_t firstSeekable = 0;
  for (int64_t i = 0; i < count; ++i) {
    if (packets_[i].trimmedStart) firstSeekable = i + 1;
    if (!scanned[i].plain && i + kPastTrim <= kMostHead) head = std::max(head, i + kPastTrim);
  }
  const bool whole = count <= head + kTail + kWarmUp;
  if (whole) head = count;
  for (int64_t i = head; i < count - kTail; ++i) {
    if (!scanned[i].plain) return false;
  }
  FrameShape shape;
  if (!DecodeHeld(held, 0, whole ? count : head + kPastTrim, 0, head, whole, &shape, nullptr))
    return false;
  if (!whole && !DecodeHeld(held, count - kTail - kWarmUp, count, count - kTail, count, true,
                            &shape, nullptr)) {
    return false;
  }

  // The rule, checked on the last packets of the first decode (a trim at the start may reach over
  // several packets) and on the last ones but the very last (whose duration may say where the
  // stream ends, while the decoder gives out the whole frame).
  const int64_t frame = packets_[head - 1].outCount;
  const int64_t tick =
      av_rescale_rnd(1, int64_t{timeBase_.num} * sampleRate_, timeBase_.den, AV_ROUND_UP) + 1;
  auto expected = [&](int64_t i) -> int64_t {
    const Scanned& packet = scanned[i];
    if (packet.duration <= 0 || packet.duration > INT32_MAX) return -1;
    const int64_t scaled = packet.duration * timeBase_.num * sampleRate_;
    const int64_t samples = scaled / timeBase_.den;
    switch (rule) {
      case CountRule::kFixed:
        return frame > 0 && std::abs(samples - frame) <= tick ? frame : -1;
      case CountRule::kOpusToc:
        return packet.coded >= 0 && std::abs(samples - packet.coded) <= tick ? packet.coded : -1;
      case CountRule::kDuration:
        return scaled % timeBase_.den == 0 ? samples : -1;
      case CountRule::kNone:
        break;
    }
    return -1;
  };
  std::vector<int64_t> checked;
  for (int64_t i = std::max<int64_t>(1, head - kPastTrim / 2); i < head; ++i) checked.push_back(i);
  for (int64_t i = std::max(head, count - kTail); i + 1 < count; ++i) checked.push_back(i);
  for (int64_t i : checked) {
    if (scanned[i].plain && expected(i) != packets_[i].outCount) return false;
  }
  for (int64_t i = head; i < count - kTail && !whole; ++i) packets_[i].outCount = expected(i);

  // The pre-roll is probed on windows decoded after it and after a much longer one (from the
  // start where that reaches the trimmed packets), instead of against a full decode.
  const audio_preroll::Choice choice = audio_preroll::For(id);
  if (choice.packets >= 0 && !choice.bounded) {
    for (int64_t start : kProbeStarts) {
      const int64_t end = start + kProbeLength + 4;
      if (end > count) continue;
      const int64_t from = start - kLongPreroll <= firstSeekable ? 0 : start - kLongPreroll;
      if (!DecodeHeld(held, from, end, 0, 0, false, &shape, &probeHashes_)) return false;
      for (int64_t i = std::max<int64_t>(0, start - choice.packets); i < end; ++i) {
        PacketPtr copy = MakePacket();
        if (av_packet_ref(copy.get(), held.at(i).get()) < 0) return false;
        probePackets_.emplace(i, std::move(copy));
      }
    }
  }
  probedBelow_ = count;
  return true;
}

bool AudioStream::DecodeHeld(const std::map<int64_t, PacketPtr>& held, int64_t from, int64_t to,
                             int64_t countFrom, int64_t countTo, bool drain, FrameShape* shape,
                             std::map<int64_t, uint64_t>* hashes) {
  CodecPtr decoder = OpenDecoder(input_->streams[streamIndex_], 1);
  if (!decoder) return false;
  decoder->pkt_timebase = AVRational{1, sampleRate_};
  FramePtr frame = MakeFrame();
  PacketPtr copy = MakePacket();
  for (int64_t i = from; i <= to; ++i) {
    if (i < to) {
      const auto found = held.find(i);
      if (found == held.end() || av_packet_ref(copy.get(), found->second.get()) < 0) return false;
      copy->pts = copy->dts = i << kTagShift;
      avcodec_send_packet(decoder.get(), copy.get());
      av_packet_unref(copy.get());
    } else if (drain) {
      avcodec_send_packet(decoder.get(), nullptr);
    }
    while (avcodec_receive_frame(decoder.get(), frame.get()) >= 0) {
      const int64_t source = frame->pts != AV_NOPTS_VALUE && frame->pts >= 0
                                 ? frame->pts >> kTagShift
                                 : std::min(i, to - 1);
      const FrameShape got = FrameShape::Of(*frame);
      if (shape->format < 0) *shape = got;
      if (got != *shape || frame->sample_rate != sampleRate_) return false;
      if (source >= countFrom && source < countTo) packets_[source].outCount += frame->nb_samples;
      if (hashes != nullptr) HashProbe(source, *frame, hashes);
      av_frame_unref(frame.get());
    }
  }
  return true;
}

bool AudioStream::Observe(int64_t source, int64_t samples) {
  if (source == observed_) {
    observedSamples_ += samples;
    return true;
  }
  if (!Settle(source)) return false;
  observed_ = source;
  observedSamples_ = samples;
  return true;
}

bool AudioStream::Settle(int64_t until) {
  for (int64_t i = std::max(observed_, confirmFrom_); i < until; ++i) {
    if ((i == observed_ ? observedSamples_ : 0) != packets_[i].outCount) {
      contradicted_ = true;
      return false;
    }
  }
  return true;
}

bool AudioStream::ObserveEnd() {
  if (!Settle(static_cast<int64_t>(packets_.size()))) return false;
  observed_ = static_cast<int64_t>(packets_.size());
  if (runFromStart_) {
    predicted_ = false;
    StoreTimeline(TimelineKey());
  }
  return true;
}

bool AudioStream::Rebuild() {
  ++gTimelineRebuilds;
  contradicted_ = false;
  predicted_ = false;
  if (Restart() && CountTimeline()) {
    PlaceTimeline();
    StoreTimeline(TimelineKey());
  } else {
    packets_.clear();
    PlaceTimeline();
  }
  if (!Restart()) return false;
  FillFormat();
  return true;
}

void AudioStream::KeepForProbe(int64_t index, const AVPacket& packet) {
  const audio_preroll::Choice choice =
      audio_preroll::For(input_->streams[streamIndex_]->codecpar->codec_id);
  const int64_t preroll = choice.packets;
  const bool kept =
      preroll >= 0 && !choice.bounded &&
      std::any_of(std::begin(kProbeStarts), std::end(kProbeStarts), [&](int64_t start) {
        return index >= start - preroll && index < start + kProbeLength + 4;  // and late frames
      });
  if (!kept) return;
  PacketPtr copy = MakePacket();
  if (av_packet_ref(copy.get(), &packet) >= 0) probePackets_.emplace(index, std::move(copy));
}

void AudioStream::HashProbe(int64_t source, const AVFrame& frame,
                            std::map<int64_t, uint64_t>* hashes) {
  const bool probed =
      std::any_of(std::begin(kProbeStarts), std::end(kProbeStarts),
                  [&](int64_t start) { return source >= start && source < start + kProbeLength; });
  if (!probed) return;
  uint64_t& hash = hashes->try_emplace(source, 0xcbf29ce484222325u).first->second;
  hash = HashSamples(hash, frame);
}

// Decodes each probe window after its pre-roll only, as a random start does, and compares what
// it makes of the window's packets with the full decode. A window the counting decode did not
// reach from the start is not tried; with none tried, the stream decodes from the start.
bool AudioStream::PrerollReproduces(int64_t preroll) {
  bool tried = false;
  for (int64_t start : kProbeStarts) {
    if (start - preroll <= firstSeekable_ || start + kProbeLength + 4 > probedBelow_) continue;
    CodecPtr decoder = OpenDecoder(input_->streams[streamIndex_], 1);
    if (!decoder) return false;
    decoder->pkt_timebase = AVRational{1, sampleRate_};
    FramePtr frame = MakeFrame();
    PacketPtr copy = MakePacket();
    std::map<int64_t, uint64_t> got;
    for (const auto& [index, packet] : probePackets_) {
      if (index < start - preroll || index >= start + kProbeLength + 4) continue;
      if (av_packet_ref(copy.get(), packet.get()) < 0) return false;
      copy->pts = copy->dts = index << kTagShift;
      avcodec_send_packet(decoder.get(), copy.get());
      av_packet_unref(copy.get());
      while (avcodec_receive_frame(decoder.get(), frame.get()) >= 0) {
        HashProbe(SourceOf(*frame), *frame, &got);
        av_frame_unref(frame.get());
      }
    }
    // The full decode's hashes of this window's packets (a packet without output has none).
    const std::map<int64_t, uint64_t> expected(probeHashes_.lower_bound(start),
                                               probeHashes_.lower_bound(start + kProbeLength));
    if (got != expected) return false;
    tried = true;
  }
  return tried;
}

AudioStream::PacketInfo AudioStream::Describe(const AVPacket& packet) {
  size_t sideSize = 0;
  const uint8_t* side = av_packet_get_side_data(&packet, AV_PKT_DATA_SKIP_SAMPLES, &sideSize);
  const bool trimmed = (side != nullptr && sideSize >= 4 && AV_RL32(side) > 0) ||
                       (packet.flags & AV_PKT_FLAG_DISCARD) != 0;
  const int64_t pts = packet.pts != AV_NOPTS_VALUE ? packet.pts : packet.dts;
  return {pts, packet.pos, packet.size, trimmed, 0, 0};
}

// One decode of the whole stream on this thread. Frames are converted only where their rate
// differs from the stream's, whose resampling changes their length.
void AudioStream::CountByOneDecode() {
  packets_.clear();
  changes_.clear();
  std::vector<uint8_t> scratch;
  FrameShape last;
  while (DecodeFrame(true)) {
    const int64_t source = SourceOf(*frame_);
    HashProbe(source, *frame_, &probeHashes_);
    const FrameShape shape = FrameShape::Of(*frame_);
    if (last.format >= 0 && shape != last) {
      changes_.push_back(source >= 0 ? source : static_cast<int64_t>(packets_.size()) - 1);
    }
    last = shape;
    int64_t samples = frame_->nb_samples;
    if (frame_->sample_rate != sampleRate_) {
      rateChanges_ = true;
      scratch.resize(static_cast<size_t>(OutputCapacity(frame_->nb_samples)) * channels_ *
                     sizeof(float));
      samples = std::max(Convert(0, frame_->nb_samples, scratch.data()), 0);
    }
    av_frame_unref(frame_.get());
    if (packets_.empty()) continue;
    // A frame that cannot be told belongs to the last packet sent.
    packets_[source >= 0 ? source : packets_.size() - 1].outCount += samples;
  }
  probedBelow_ = static_cast<int64_t>(packets_.size());
  // What the resampler holds at the end is delivered after the last frame, as a full decode
  // delivers it.
  if (rateChanges_ && !packets_.empty()) {
    scratch.resize(static_cast<size_t>(sampleRate_) * channels_ * sizeof(float));
    packets_.back().outCount += std::max(FlushResampler(scratch.data(), sampleRate_), 0);
  }
}

int AudioStream::FlushResampler(uint8_t* out, int capacity) {
  if (!resampler_ || inRate_ == sampleRate_) return 0;
  uint8_t* outputs[1] = {out};
  const int flushed = swr_convert(resampler_.get(), outputs, capacity, nullptr, 0);
  resampler_.reset();
  return flushed;
}

// The packets are read into memory and the stream is cut into parts, one per thread; each part's
// decoder starts a few packets before it (so that bit reservoirs and overlaps are rebuilt) and
// counts the output of the part's own packets. False where that does not apply: one core, a
// coding not known to give the same frame lengths after such a start, packets beyond 64 MB, or a
// change of rate (whose resampling is counted by one decode).
bool AudioStream::CountInParts() {
  constexpr int64_t kWarmUp = 16;     // packets decoded before a part, not counted
  constexpr int64_t kLeastPart = 32;  // packets
  constexpr int64_t kMostBytes = 64 << 20;
  const unsigned threads = std::min(std::thread::hardware_concurrency(), 8u);
  const AVCodecID id = input_->streams[streamIndex_]->codecpar->codec_id;
  if (threads < 2 || audio_preroll::For(id).packets < 0) return false;
  packets_.clear();
  changes_.clear();
  std::vector<PacketPtr> held;
  int64_t bytes = 0;
  while (av_read_frame(input_.get(), packet_.get()) >= 0) {
    if (packet_->stream_index != streamIndex_) {
      av_packet_unref(packet_.get());
      continue;
    }
    packets_.push_back(Describe(*packet_));
    bytes += packet_->size;
    PacketPtr kept = MakePacket();
    av_packet_move_ref(kept.get(), packet_.get());
    held.push_back(std::move(kept));
    if (bytes > kMostBytes) return false;
  }
  const int64_t count = static_cast<int64_t>(packets_.size());
  const int64_t parts = std::max<int64_t>(1, std::min<int64_t>(threads, count / kLeastPart));
  for (int64_t i = 0; i < count; ++i) KeepForProbe(i, *held[i]);
  probedBelow_ = count / parts;

  struct Part {
    int64_t begin = 0, end = 0;
    CodecPtr decoder;
    FrameShape first, last;
    std::vector<int64_t> changes;
    bool rateChanges = false;
    bool failed = false;
  };
  std::vector<Part> work(static_cast<size_t>(parts));
  for (int64_t p = 0; p < parts; ++p) {
    Part& part = work[p];
    part.begin = count * p / parts;
    part.end = count * (p + 1) / parts;
    part.decoder = OpenDecoder(input_->streams[streamIndex_], 1);
    if (!part.decoder) return false;
    part.decoder->pkt_timebase = AVRational{1, sampleRate_};
  }
  auto countPart = [&](Part& part) {
    FramePtr frame = MakeFrame();
    PacketPtr copy = MakePacket();
    const int64_t last = std::min(count, part.end + 8);  // a little past the part: late frames
    for (int64_t i = std::max<int64_t>(0, part.begin - kWarmUp); i <= last; ++i) {
      if (i < last) {
        if (av_packet_ref(copy.get(), held[i].get()) < 0) break;
        copy->pts = copy->dts = i << kTagShift;
        avcodec_send_packet(part.decoder.get(), copy.get());
        av_packet_unref(copy.get());
      } else if (last == count) {
        avcodec_send_packet(part.decoder.get(), nullptr);
      }
      while (avcodec_receive_frame(part.decoder.get(), frame.get()) >= 0) {
        int64_t source = frame->pts != AV_NOPTS_VALUE && frame->pts >= 0 ? frame->pts >> kTagShift
                                                                         : std::min(i, count - 1);
        if (source >= part.begin && source < part.end) {
          // Only the first part decodes from the start.
          if (part.begin == 0) HashProbe(source, *frame, &probeHashes_);
          const FrameShape shape = FrameShape::Of(*frame);
          if (part.first.format < 0) part.first = shape;
          if (part.last.format >= 0 && shape != part.last) part.changes.push_back(source);
          part.last = shape;
          if (frame->sample_rate != sampleRate_) part.rateChanges = true;
          packets_[source].outCount += frame->nb_samples;
        }
        av_frame_unref(frame.get());
      }
    }
  };
  // No exception leaves a thread: a part that fails (no memory) fails the count, which is then
  // made by one decode. A part whose thread cannot start is counted on this one.
  auto run = [&](Part& part) noexcept {
    try {
      countPart(part);
    } catch (...) {
      part.failed = true;
    }
  };
  // The helpers are counted in the account while they run (this thread takes the first part).
  Holding counting(Held::kCountingThreads);
  counting.Set(static_cast<int64_t>(work.size()) - 1);
  std::vector<std::thread> helpers;
  std::vector<Part*> here{&work[0]};
  helpers.reserve(work.size());  // no allocation once a thread runs
  here.reserve(work.size());
  for (size_t p = 1; p < work.size(); ++p) {
    try {
      helpers.emplace_back(run, std::ref(work[p]));
    } catch (...) {
      here.push_back(&work[p]);
    }
  }
  counting.Set(static_cast<int64_t>(helpers.size()));
  for (Part* part : here) run(*part);
  for (std::thread& helper : helpers) helper.join();
  counting.Set(0);
  for (size_t p = 0; p < work.size(); ++p) {
    if (work[p].rateChanges || work[p].failed) {
      for (PacketInfo& info : packets_) info.outCount = 0;
      return false;
    }
    if (p > 0 && work[p].first.format >= 0 && work[p - 1].last.format >= 0 &&
        work[p].first != work[p - 1].last) {
      // The part begins with a new shape: its first packet with output changes it.
      int64_t at = work[p].begin;
      while (at < work[p].end && packets_[at].outCount == 0) ++at;
      changes_.push_back(at);
    }
    changes_.insert(changes_.end(), work[p].changes.begin(), work[p].changes.end());
  }
  return true;
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

int64_t AudioStream::SourceOf(const AVFrame& frame) const {
  if (frame.pts == AV_NOPTS_VALUE || frame.pts < 0) return -1;
  const int64_t source = frame.pts >> kTagShift;
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
  while (!drained_ && input_ && decoder_) {
    const int received = avcodec_receive_frame(decoder_.get(), frame_.get());
    if (received >= 0) return true;
    if (received == AVERROR_EOF || flushSent_) break;  // a drained decoder has nothing more
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

int64_t AudioStream::OutputCapacity(int count) const {
  const int rate = frame_->sample_rate;
  if (rate == sampleRate_ || rate <= 0) return count;
  return av_rescale(count, sampleRate_, rate) + 256;  // what the resampler holds back is kept
}

int AudioStream::Convert(int first, int count, uint8_t* out) {
  const AVFrame& frame = *frame_;
  AVChannelLayout in{};
  if (frame.ch_layout.order == AV_CHANNEL_ORDER_UNSPEC || frame.ch_layout.nb_channels == 0) {
    av_channel_layout_default(
        &in, frame.ch_layout.nb_channels > 0 ? frame.ch_layout.nb_channels : channels_);
  } else if (av_channel_layout_copy(&in, &frame.ch_layout) < 0) {
    return -1;
  }
  if (!resampler_ || frame.format != inFormat_ || frame.sample_rate != inRate_ ||
      !SameLayout(in, inLayout_)) {
    // The first frame, or the coding changed its layout, rate or sample format mid-stream: a
    // converter for the new input, still delivering the stream's layout and rate.
    resampler_.reset();
    SwrContext* raw = nullptr;
    const int made = swr_alloc_set_opts2(&raw, &layout_, AV_SAMPLE_FMT_FLT, sampleRate_, &in,
                                         static_cast<AVSampleFormat>(frame.format),
                                         frame.sample_rate, 0, nullptr);
    resampler_.reset(raw);
    if (made < 0 || swr_init(resampler_.get()) < 0) {
      resampler_.reset();
      av_channel_layout_uninit(&in);
      return -1;
    }
    inFormat_ = frame.format;
    inRate_ = frame.sample_rate;
    av_channel_layout_uninit(&inLayout_);
    inLayout_ = in;
  } else {
    av_channel_layout_uninit(&in);
  }
  const auto format = static_cast<AVSampleFormat>(frame.format);
  const int bytes = av_get_bytes_per_sample(format);
  const int inChannels = frame.ch_layout.nb_channels > 0 ? frame.ch_layout.nb_channels : 1;
  const bool planar = av_sample_fmt_is_planar(format) != 0;
  const int planes = planar ? inChannels : 1;
  if (planes > 64) return -1;
  const uint8_t* inputs[64];
  for (int plane = 0; plane < planes; ++plane) {
    inputs[plane] =
        frame.extended_data[plane] + static_cast<size_t>(first) * bytes * (planar ? 1 : inChannels);
  }
  uint8_t* outputs[1] = {out};
  return swr_convert(resampler_.get(), outputs, static_cast<int>(OutputCapacity(count)), inputs,
                     count);
}

bool AudioStream::DecodeNext() {
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
    const size_t bytes =
        static_cast<size_t>(OutputCapacity(std::max(count, 1))) * channels_ * sizeof(float);
    if (pending_.size() < bytes) pending_ = buffers_->Acquire(std::max<size_t>(bytes, 65536));
    const int converted = count > 0 ? Convert(first, count, pending_.data()) : 0;
    av_frame_unref(frame_.get());
    if (converted < 0) {
      drained_ = true;
      return false;
    }
    pendingStart_ = position;
    pendingFrames_ = converted;
    sourceOffset_ += converted;
    nextPosition_ = position + converted;
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
  while (read.size() < 16) {
    PacketPtr packet = MakePacket();
    if (av_read_frame(input_.get(), packet.get()) < 0) break;
    if (packet->stream_index != streamIndex_) continue;
    const int64_t k = static_cast<int64_t>(read.size());
    if (k == 0) {
      for (int64_t i = latest; i >= std::max<int64_t>(firstSeekable_, latest - 256); --i) {
        if (Matches(i, *packet)) candidates.push_back(i);
      }
    } else {
      std::erase_if(candidates,
                    [&](int64_t i) { return i + k >= size || !Matches(i + k, *packet); });
    }
    read.push_back(std::move(packet));
    if (candidates.size() <= 1) break;
  }
  if (candidates.size() != 1) return false;
  decoder_ = OpenDecoder(input_->streams[streamIndex_], 1);
  if (!decoder_) return false;
  decoder_->pkt_timebase = AVRational{1, sampleRate_};
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

int32_t AudioStream::GetSamples(int64_t start, float* buffer, int64_t maxFrames,
                                int64_t* framesRead) {
  std::lock_guard lock(mutex_);
  const int32_t status = Read(start, buffer, maxFrames, framesRead);
  if (!contradicted_) return status;
  // A decode contradicted the predicted timeline: it is counted anew and the request read on it.
  *framesRead = 0;
  if (!Rebuild()) return kFail;
  return Read(start, buffer, maxFrames, framesRead);
}

int32_t AudioStream::Read(int64_t start, float* buffer, int64_t maxFrames, int64_t* framesRead) {
  *framesRead = 0;
  if (start < 0 || start > sampleCount_) return kBounds;
  if (start == sampleCount_ || maxFrames == 0) return start == sampleCount_ ? kFalse : kOk;
  const int64_t wanted = std::min(maxFrames, sampleCount_ - start);
  const bool inPending =
      pendingFrames_ > 0 && start >= pendingStart_ && start < pendingStart_ + pendingFrames_;
  // Ahead of the decoder: decode forward, unless a seek saves much decoding.
  const bool ahead = nextPosition_ >= 0 && !drained_ && start >= nextPosition_ &&
                     (preroll_ < 0 || start - nextPosition_ < 4 * 8192);
  if (!inPending && !ahead && !SeekNear(start)) return kFail;
  bool restarted = false;
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
    const bool behind = pendingFrames_ > 0 && position < pendingStart_;
    const bool decoded = !behind && DecodeNext();
    if (contradicted_) return kFail;
    if (behind || (!decoded && lost_)) {
      // A seek landed past the start, or the reader lost its place: decode from the beginning.
      if (restarted || !Restart()) return kFail;
      restarted = true;
      skipBefore_ = position;
      continue;
    }
    if (drained_ && pendingFrames_ == 0) {
      // The decode ended early: what the count promises is completed with silence.
      std::fill(buffer + done * channels_, buffer + wanted * channels_, 0.0f);
      done = wanted;
      break;
    }
  }
  // The last samples of a predicted timeline: the decode runs on to the end of the stream, so that
  // its last packets are checked too.
  if (predicted_ && start + done == sampleCount_) {
    while (DecodeNext()) {
    }
    if (contradicted_) return kFail;
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
  // A reader of its own, opened once without probing, so the decode position is left alone;
  // consecutive packets are read on without a seek.
  if (!packetReader_) {
    packetReader_ = OpenMedia(path_, false);
    packetRead_ = MakePacket();
    packetReaderNext_ = 0;
    if (!packetReader_) return kFail;
  }
  for (int attempt = 0; attempt < 3; ++attempt) {
    if (attempt == 1 || (attempt == 0 && packetReaderNext_ != number)) {
      packetReaderNext_ = -1;
      if (info.pts == AV_NOPTS_VALUE ||
          av_seek_frame(packetReader_.get(), streamIndex_, info.pts, AVSEEK_FLAG_BACKWARD) < 0) {
        continue;
      }
    } else if (attempt == 2) {
      packetReader_ = OpenMedia(path_, false);
      if (!packetReader_) break;
      packetReaderNext_ = 0;
    }
    AVPacket* packet = packetRead_.get();
    while (av_read_frame(packetReader_.get(), packet) >= 0) {
      if (packet->stream_index != streamIndex_) {
        av_packet_unref(packet);
        continue;
      }
      const int64_t pts = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
      const bool match = packet->size == info.size && (packet->pos == info.pos || info.pos < 0) &&
                         (packetReaderNext_ == number || pts == info.pts);
      if (packetReaderNext_ >= 0) ++packetReaderNext_;
      if (match) {
        std::memcpy(buffer, packet->data, static_cast<size_t>(packet->size));
        av_packet_unref(packet);
        packetReaderNext_ = number + 1;
        return kOk;
      }
      av_packet_unref(packet);
      if (packetReaderNext_ > number) break;
    }
    packetReaderNext_ = -1;
  }
  *bytesRead = 0;
  return kFail;
}

std::string AudioStream::TimelineKey() const {
  if (index_cache::Directory().empty()) return {};
  const AVCodecParameters& parameters = *input_->streams[streamIndex_]->codecpar;
  return index_cache::StreamKey(
      path_, input_->iformat->name,
      {number_, streamIndex_, timeBase_.num, timeBase_.den, sampleRate_, channels_,
       Code(parameters.codec_id), parameters.codec_tag, parameters.format, parameters.sample_rate,
       parameters.ch_layout.nb_channels, parameters.profile, parameters.initial_padding,
       parameters.trailing_padding},
      Extradata(parameters));
}

bool AudioStream::LoadTimeline(const std::string& key) {
  try {
    if (key.empty()) return false;
    index_cache::AudioTimeline timeline;
    auto decode = [&](std::string_view payload) {
      return index_cache::DecodeAudio(payload, &timeline);
    };
    if (!index_cache::Load(index_cache::Directory(), index_cache::NameFor(path_, "audio", number_),
                           key, decode)) {
      return false;
    }
    // As Index() leaves them: the packets on the timeline, the first packet a seek may land on.
    packets_.clear();
    packets_.reserve(timeline.packets.size());
    sampleCount_ = 0;
    firstSeekable_ = 0;
    for (const index_cache::AudioPacketEntry& entry : timeline.packets) {
      if (entry.trimmedStart) firstSeekable_ = static_cast<int64_t>(packets_.size()) + 1;
      packets_.push_back(
          {entry.pts, entry.pos, entry.size, entry.trimmedStart, sampleCount_, entry.outCount});
      sampleCount_ += entry.outCount;
    }
    prerollChoice_ = {timeline.preroll, timeline.prerollBounded};
    preroll_ = audio_preroll::Packets(prerollChoice_, audio_preroll::ExactAsked());
    rateChanges_ = timeline.rateChanges;
    changes_ = std::move(timeline.changes);
    timelineFromCache_ = true;
    return true;
  } catch (...) {
    return false;
  }
}

void AudioStream::StoreTimeline(const std::string& key) const {
  try {
    if (key.empty()) return;
    index_cache::AudioTimeline timeline;
    timeline.packets.reserve(packets_.size());
    for (const PacketInfo& info : packets_) {
      timeline.packets.push_back({info.pts, info.pos, info.size, info.trimmedStart, info.outCount});
    }
    timeline.preroll = prerollChoice_.packets;
    timeline.prerollBounded = prerollChoice_.bounded;
    timeline.rateChanges = rateChanges_;
    timeline.changes = changes_;
    index_cache::Store(index_cache::Directory(), index_cache::NameFor(path_, "audio", number_), key,
                       index_cache::EncodeAudio(timeline));
  } catch (...) {
  }
}

}  // namespace zr8
