// How far a decode that starts a few packets before a random place strays from a full decode: for
// each pre-roll given, the largest absolute difference of a sample (on the library's float scale)
// over windows of packets at random places of the file's first audio stream. The measurement
// behind the pre-roll table of AudioPreroll.cpp; not a test: run it by hand on long files.
//
// Usage: zr8_preroll_diff FILE [--starts N] PREROLL...
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "Av.h"

namespace {

using namespace zr8;

constexpr int64_t kWindow = 8;  // packets compared after each pre-roll
constexpr int64_t kLate = 4;    // packets sent after a window, for frames that come out late
constexpr int kTagShift = 32;

// One frame's samples on the library's scale (floats, integers divided by their full scale),
// interleaved.
void AppendFloats(const AVFrame& frame, std::vector<float>* out) {
  const auto format = static_cast<AVSampleFormat>(frame.format);
  const bool planar = av_sample_fmt_is_planar(format) != 0;
  const int channels = std::max(frame.ch_layout.nb_channels, 1);
  const AVSampleFormat packed = av_get_packed_sample_fmt(format);
  for (int i = 0; i < frame.nb_samples; ++i) {
    for (int c = 0; c < channels; ++c) {
      const uint8_t* plane = frame.extended_data[planar ? c : 0];
      const size_t at = planar ? i : static_cast<size_t>(i) * channels + c;
      float value = 0;
      switch (packed) {
        case AV_SAMPLE_FMT_U8:
          value = (plane[at] - 128) / 128.0f;
          break;
        case AV_SAMPLE_FMT_S16:
          value = reinterpret_cast<const int16_t*>(plane)[at] / 32768.0f;
          break;
        case AV_SAMPLE_FMT_S32:
          value = static_cast<float>(reinterpret_cast<const int32_t*>(plane)[at] / 2147483648.0);
          break;
        case AV_SAMPLE_FMT_FLT:
          value = reinterpret_cast<const float*>(plane)[at];
          break;
        case AV_SAMPLE_FMT_DBL:
          value = static_cast<float>(reinterpret_cast<const double*>(plane)[at]);
          break;
        default:
          break;
      }
      out->push_back(value);
    }
  }
}

struct Stream {
  ParametersPtr parameters;
  AVRational timeBase{1, 1};
  std::vector<PacketPtr> packets;
};

// Decodes packets [first, last) with a fresh decoder; what each packet gave, by its index.
std::vector<std::vector<float>> Decode(const Stream& stream, int64_t first, int64_t last) {
  std::vector<std::vector<float>> out(static_cast<size_t>(last - first));
  CodecPtr decoder = OpenDecoder(*stream.parameters, stream.timeBase, 1);
  if (!decoder) return out;
  FramePtr frame = MakeFrame();
  PacketPtr copy = MakePacket();
  auto drain = [&](int64_t sent) {
    while (avcodec_receive_frame(decoder.get(), frame.get()) >= 0) {
      int64_t source = frame->pts != AV_NOPTS_VALUE
                           ? (frame->pts + (int64_t{1} << (kTagShift - 1))) >> kTagShift
                           : sent;
      if (source < first || source >= last) source = sent;
      AppendFloats(*frame, &out[source - first]);
      av_frame_unref(frame.get());
    }
  };
  for (int64_t i = first; i < last; ++i) {
    av_packet_ref(copy.get(), stream.packets[i].get());
    copy->pts = copy->dts = i << kTagShift;
    avcodec_send_packet(decoder.get(), copy.get());
    av_packet_unref(copy.get());
    drain(i);
  }
  avcodec_send_packet(decoder.get(), nullptr);
  drain(last - 1);
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s FILE [--starts N] PREROLL...\n", argv[0]);
    return 2;
  }
  int starts = 64;
  std::vector<int64_t> prerolls;
  for (int i = 2; i < argc; ++i) {
    if (std::string(argv[i]) == "--starts" && i + 1 < argc) {
      starts = std::atoi(argv[++i]);
    } else {
      prerolls.push_back(std::atoll(argv[i]));
    }
  }
  FormatPtr input = OpenMedia(argv[1]);
  const int index =
      input ? av_find_best_stream(input.get(), AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0) : -1;
  if (index < 0) {
    std::fprintf(stderr, "no audio stream in %s\n", argv[1]);
    return 1;
  }
  Stream stream;
  stream.parameters = CopyParameters(*input->streams[index]->codecpar);
  stream.timeBase = input->streams[index]->time_base;
  for (PacketPtr packet = MakePacket(); av_read_frame(input.get(), packet.get()) >= 0;) {
    if (packet->stream_index != index) {
      av_packet_unref(packet.get());
      continue;
    }
    // A trim at the start is the full decode's alone: a decode from a place in the middle does not
    // meet one, and neither does this one.
    av_packet_free_side_data(packet.get());
    stream.packets.push_back(std::move(packet));
    packet = MakePacket();
  }
  const int64_t count = static_cast<int64_t>(stream.packets.size());
  const std::vector<std::vector<float>> full = Decode(stream, 0, count);
  const int64_t most = *std::max_element(prerolls.begin(), prerolls.end());
  std::printf("%s: %s, %lld packets\n", argv[1], avcodec_get_name(stream.parameters->codec_id),
              static_cast<long long>(count));
  std::mt19937_64 generator(11);
  std::vector<int64_t> places;
  for (int i = 0; i < starts && count > most + kWindow + kLate + 1; ++i) {
    places.push_back(most + 1 +
                     static_cast<int64_t>(generator() % (count - most - kWindow - kLate - 1)));
  }
  for (int64_t preroll : prerolls) {
    double largest = 0;
    int differing = 0, misplaced = 0;
    for (int64_t place : places) {
      const auto part = Decode(stream, place - preroll, place + kWindow + kLate);
      bool differs = false;
      for (int64_t i = place; i < place + kWindow; ++i) {
        const std::vector<float>& want = full[i];
        const std::vector<float>& got = part[i - (place - preroll)];
        if (got.size() != want.size()) {
          ++misplaced;
          continue;
        }
        for (size_t k = 0; k < want.size(); ++k) {
          const double difference = std::fabs(static_cast<double>(got[k]) - want[k]);
          if (difference > 0) differs = true;
          largest = std::max(largest, difference);
        }
      }
      differing += differs;
    }
    std::printf(
        "preroll %4lld: largest difference %.3g, %d of %zu windows differ, %d packets of "
        "another length\n",
        static_cast<long long>(preroll), largest, differing, places.size(), misplaced);
  }
  return 0;
}
