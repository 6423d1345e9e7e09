// An audio stream: its opening (the reader, the decoded shape it delivers, the timeline) and
// sample-accurate reads on the timeline.
#include "AudioStream.h"

#include <algorithm>
#include <cstring>

#include "AudioPreroll.h"
#include "IndexCache.h"
#include "ReadFile.h"
#include "Status.h"

namespace zr8 {
namespace {

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
  // A predicted timeline is kept as one (every decode of a later open checks it too), and kept
  // again once a decode from start to end has confirmed it (ObserveEnd).
  if (!kept) stream->StoreTimeline(key);
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
  UseDecoder(nullptr);
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
  UseDecoder(NewDecoder());
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
    decoder_->pkt_timebase = AVRational{1, sampleRate_};  // as NewDecoder times it
  }
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
  ThreadFromStart();
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
    int64_t straight = 0;
    const bool decoded =
        !behind && DecodeNext(buffer + done * channels_, position, wanted - done, &straight);
    if (contradicted_) return kFail;
    if (decoded && straight > 0) {
      done += straight;
      continue;
    }
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

}  // namespace zr8
