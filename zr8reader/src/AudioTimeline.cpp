// The audio timeline: where each packet's output falls on the decoded timeline (PacketInfo), how
// it was made (predicted or counted, AudioCount.cpp) and the pre-roll chosen on it, the check every
// decode makes of a predicted one, and its keeping in the index cache.
#include <algorithm>
#include <atomic>
#include <optional>

#include "AudioPreroll.h"
#include "AudioStream.h"
#include "IndexCache.h"

namespace zr8 {
namespace {

std::atomic<int64_t> gTimelineRebuilds{0};

}  // namespace

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
  if (prerollChoice_.packets >= 0 && !prerollChoice_.bounded) {
    // Too short to check: decoded from the start, which costs little here.
    const std::optional<bool> reproduces = PrerollReproduces(prerollChoice_.packets);
    if (!reproduces) prerollChoice_ = {};
    if (reproduces == false) prerollChoice_ = audio_preroll::NotReproduced(prerollChoice_);
  }
  preroll_ = audio_preroll::Packets(prerollChoice_, audio_preroll::ExactAsked());
  probePackets_.clear();
  probeHashes_.clear();
}

AudioStream::PacketInfo AudioStream::Describe(const AVPacket& packet) {
  size_t sideSize = 0;
  const uint8_t* side = av_packet_get_side_data(&packet, AV_PKT_DATA_SKIP_SAMPLES, &sideSize);
  const bool trimmed = (side != nullptr && sideSize >= 4 && AV_RL32(side) > 0) ||
                       (packet.flags & AV_PKT_FLAG_DISCARD) != 0;
  const int64_t pts = packet.pts != AV_NOPTS_VALUE ? packet.pts : packet.dts;
  return {pts, packet.pos, packet.size, trimmed, 0, 0};
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
  if (runFromStart_ && predicted_) {
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
  return Restart();
}

int64_t AudioStream::TimelineRebuilds() {
  return gTimelineRebuilds.load();
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
    predicted_ = timeline.predicted;
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
    timeline.predicted = predicted_;
    timeline.changes = changes_;
    index_cache::Store(index_cache::Directory(), index_cache::NameFor(path_, "audio", number_), key,
                       index_cache::EncodeAudio(timeline));
  } catch (...) {
  }
}

}  // namespace zr8
