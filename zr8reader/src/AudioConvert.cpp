// The sample converter: decoded frames of any layout, rate or sample format to the stream's
// interleaved 32-bit float; and the decoder set-up every decode of the stream shares.
#include <algorithm>

#include "AudioStream.h"

namespace zr8 {
namespace {

bool SameLayout(const AVChannelLayout& a, const AVChannelLayout& b) {
  return av_channel_layout_compare(&a, &b) == 0;
}

}  // namespace

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

int AudioStream::FlushResampler(uint8_t* out, int capacity) {
  if (!resampler_ || inRate_ == sampleRate_) return 0;
  uint8_t* outputs[1] = {out};
  const int flushed = swr_convert(resampler_.get(), outputs, capacity, nullptr, 0);
  resampler_.reset();
  return flushed;
}

CodecPtr AudioStream::NewDecoder(int threads) const {
  CodecPtr decoder = OpenDecoder(input_->streams[streamIndex_], threads);
  // Times in samples, so that a trimmed start moves a frame's tag by its sample count.
  if (decoder && sampleRate_ > 0) decoder->pkt_timebase = AVRational{1, sampleRate_};
  return decoder;
}

void AudioStream::UseDecoder(CodecPtr decoder) {
  decoder_ = std::move(decoder);
  decoderThreads_.Set(decoder_ ? DecoderThreads(*decoder_) : 0);
}

void AudioStream::ThreadFromStart() {
  constexpr int kMostThreads = 4;  // frames of a few thousand samples: more buys little
  if (!decoder_ || nextPacket_ != 0 || !runFromStart_ || decoder_->active_thread_type != 0 ||
      (decoder_->codec->capabilities & AV_CODEC_CAP_FRAME_THREADS) == 0) {
    return;
  }
  const int threads = std::min(DecoderThreadsFor(0), kMostThreads);
  if (threads < 2) return;
  // Nothing has been sent to the decoder yet: another takes its place, or it stays.
  if (CodecPtr threaded = NewDecoder(threads)) UseDecoder(std::move(threaded));
}

}  // namespace zr8
