// The audio timeline's counter: each packet's output predicted from what its coding fixes, else
// counted by a decode of the whole stream (in parts on several threads, or in one); and the probe
// of the pre-roll on windows of the stream.
#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <functional>
#include <optional>
#include <thread>

#include "AudioPreroll.h"
#include "AudioStream.h"

namespace zr8 {
namespace {

std::atomic<int64_t> gCountingDecodes{0};

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

}  // namespace

int64_t AudioStream::CountingDecodes() {
  return gCountingDecodes.load();
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

// The packets are read without decoding. The first ones (up to a few past the last whose start the
// decoder trims) and the last ones (after a warm-up, as a part of CountInParts starts) are decoded
// and counted; every other packet yields what its coding fixes (CountRule). That holds only where
// each packet in between is plain (none trimmed, discarded or marked corrupt), its duration agrees
// with the rule, the rule agrees with every decoded packet, and those decodes keep one frame shape
// at the stream's rate. Every later decode checks the prediction (Observe).
bool AudioStream::PredictTimeline() {
  constexpr int64_t kHeldHead = 80;  // packets held from the start
  constexpr int64_t kMostHead = 64;  // the first decode ends by then
  constexpr int64_t kPastTrim = 8;   // packets it decodes past the last trimmed one
  constexpr int64_t kTail = 8;       // last packets counted
  constexpr int64_t kWarmUp = 16;    // packets decoded before them, not counted
  const AVCodecID id = input_->streams[streamIndex_]->codecpar->codec_id;
  const audio_preroll::Choice choice = audio_preroll::For(id);
  // Packets before a probe window in its reference decode: many times the pre-roll.
  const int64_t longPreroll = std::max<int64_t>(48, 4 * choice.packets);
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
  // The last packets read, in a ring reused packet after packet.
  std::array<PacketPtr, kTail + kWarmUp> last;
  for (PacketPtr& packet : last) packet = MakePacket();
  // Room for as many packets as the stream's duration holds of the first one (a hint; the vectors
  // grow past it where it is wrong).
  auto reserve = [&](const AVPacket& first) {
    const int64_t duration = input_->streams[streamIndex_]->duration;
    if (first.duration <= 0 || duration <= 0 || duration == AV_NOPTS_VALUE) return;
    const int64_t expected = std::min<int64_t>(duration / first.duration + 16, int64_t{1} << 24);
    packets_.reserve(static_cast<size_t>(expected));
    scanned.reserve(static_cast<size_t>(expected));
  };
  auto probed = [&](int64_t i) {
    return std::any_of(std::begin(kProbeStarts), std::end(kProbeStarts), [&](int64_t start) {
      return i >= start - longPreroll && i < start + kProbeLength + 4;
    });
  };
  while (av_read_frame(input_.get(), packet_.get()) >= 0) {
    if (packet_->stream_index != streamIndex_) {
      av_packet_unref(packet_.get());
      continue;
    }
    const auto i = static_cast<int64_t>(packets_.size());
    if (i == 0) reserve(*packet_);
    packets_.push_back(Describe(*packet_));
    size_t sideSize = 0;
    const bool plain =
        av_packet_get_side_data(packet_.get(), AV_PKT_DATA_SKIP_SAMPLES, &sideSize) == nullptr &&
        (packet_->flags & (AV_PKT_FLAG_DISCARD | AV_PKT_FLAG_CORRUPT)) == 0;
    scanned.push_back(
        {packet_->duration, rule == CountRule::kOpusToc ? OpusSamples(*packet_) : -1, plain});
    AVPacket* kept = last[static_cast<size_t>(i) % last.size()].get();
    av_packet_unref(kept);
    av_packet_move_ref(kept, packet_.get());
    if (i < kHeldHead || probed(i)) {
      PacketPtr copy = MakePacket();
      if (av_packet_ref(copy.get(), kept) < 0) return false;
      held.emplace(i, std::move(copy));
    }
  }
  const auto count = static_cast<int64_t>(packets_.size());
  for (int64_t i = std::max<int64_t>(0, count - static_cast<int64_t>(last.size())); i < count;
       ++i) {
    held.try_emplace(i, std::move(last[static_cast<size_t>(i) % last.size()]));
  }
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
  if (choice.packets >= 0 && !choice.bounded) {
    for (int64_t start : kProbeStarts) {
      const int64_t end = start + kProbeLength + 4;
      if (end > count) continue;
      const int64_t from = start - longPreroll <= firstSeekable ? 0 : start - longPreroll;
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
  CodecPtr decoder = NewDecoder();
  if (!decoder) return false;
  auto packet = [&](int64_t i) -> const AVPacket* {
    const auto found = held.find(i);
    return found != held.end() ? found->second.get() : nullptr;
  };
  return DecodeRun(decoder.get(), packet, from, to, drain,
                   [&](int64_t source, const AVFrame& frame) {
                     const FrameShape got = FrameShape::Of(frame);
                     if (shape->format < 0) *shape = got;
                     if (got != *shape || frame.sample_rate != sampleRate_) return false;
                     if (source >= countFrom && source < countTo)
                       packets_[source].outCount += frame.nb_samples;
                     if (hashes != nullptr) HashProbe(source, frame, hashes);
                     return true;
                   });
}

bool AudioStream::DecodeRun(AVCodecContext* decoder,
                            const std::function<const AVPacket*(int64_t)>& packet, int64_t from,
                            int64_t to, bool drain,
                            const std::function<bool(int64_t, const AVFrame&)>& take) {
  FramePtr frame = MakeFrame();
  PacketPtr copy = MakePacket();
  for (int64_t i = from; i <= to; ++i) {
    if (i < to) {
      const AVPacket* next = packet(i);
      if (next == nullptr || !SendHeld(decoder, *next, i, copy.get())) return false;
    } else if (drain) {
      avcodec_send_packet(decoder, nullptr);
    }
    while (avcodec_receive_frame(decoder, frame.get()) >= 0) {
      const int64_t tag = TagOf(*frame);
      const bool more = take(tag >= 0 ? tag : std::min(i, to - 1), *frame);
      av_frame_unref(frame.get());
      if (!more) return false;
    }
  }
  return true;
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
    part.decoder = NewDecoder();
    if (!part.decoder) return false;
  }
  auto countPart = [&](Part& part) {
    const int64_t last = std::min(count, part.end + 8);  // a little past the part: late frames
    auto packet = [&](int64_t i) -> const AVPacket* { return held[i].get(); };
    const bool decoded =
        DecodeRun(part.decoder.get(), packet, std::max<int64_t>(0, part.begin - kWarmUp), last,
                  last == count, [&](int64_t source, const AVFrame& frame) {
                    if (source < part.begin || source >= part.end) return true;
                    // Only the first part decodes from the start.
                    if (part.begin == 0) HashProbe(source, frame, &probeHashes_);
                    const FrameShape shape = FrameShape::Of(frame);
                    if (part.first.format < 0) part.first = shape;
                    if (part.last.format >= 0 && shape != part.last) part.changes.push_back(source);
                    part.last = shape;
                    if (frame.sample_rate != sampleRate_) part.rateChanges = true;
                    packets_[source].outCount += frame.nb_samples;
                    return true;
                  });
    if (!decoded) part.failed = true;
  };
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
// reach from the start is not tried; with none tried, no answer.
std::optional<bool> AudioStream::PrerollReproduces(int64_t preroll) {
  bool tried = false;
  for (int64_t start : kProbeStarts) {
    if (start - preroll <= firstSeekable_ || start + kProbeLength + 4 > probedBelow_) continue;
    CodecPtr decoder = NewDecoder();
    if (!decoder) return std::nullopt;
    FramePtr frame = MakeFrame();
    PacketPtr copy = MakePacket();
    std::map<int64_t, uint64_t> got;
    for (const auto& [index, packet] : probePackets_) {
      if (index < start - preroll || index >= start + kProbeLength + 4) continue;
      if (!SendHeld(decoder.get(), *packet, index, copy.get())) return std::nullopt;
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
  return tried ? std::optional<bool>(true) : std::nullopt;
}

}  // namespace zr8
