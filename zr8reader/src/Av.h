// Owning wrappers for the FFmpeg objects the library holds.
#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/cpu.h>
#include <libavutil/imgutils.h>
#include <libavutil/intreadwrite.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "Account.h"

namespace zr8 {

class HardwareDecoder;

struct FormatCloser {
  void operator()(AVFormatContext* context) const {
    Account::ForgetReader(context);
    avformat_close_input(&context);
  }
};
struct CodecCloser {
  void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
};
struct FrameCloser {
  void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
struct PacketCloser {
  void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
struct SwsCloser {
  void operator()(SwsContext* context) const { sws_freeContext(context); }
};
struct SwrCloser {
  void operator()(SwrContext* context) const { swr_free(&context); }
};
struct DictionaryCloser {
  void operator()(AVDictionary* dictionary) const { av_dict_free(&dictionary); }
};
struct ParserCloser {
  void operator()(AVCodecParserContext* parser) const { av_parser_close(parser); }
};
struct ParametersCloser {
  void operator()(AVCodecParameters* parameters) const { avcodec_parameters_free(&parameters); }
};

using FormatPtr = std::unique_ptr<AVFormatContext, FormatCloser>;
using CodecPtr = std::unique_ptr<AVCodecContext, CodecCloser>;
using FramePtr = std::unique_ptr<AVFrame, FrameCloser>;
using PacketPtr = std::unique_ptr<AVPacket, PacketCloser>;
using SwsPtr = std::unique_ptr<SwsContext, SwsCloser>;
using SwrPtr = std::unique_ptr<SwrContext, SwrCloser>;
using ParametersPtr = std::unique_ptr<AVCodecParameters, ParametersCloser>;
using ParserPtr = std::unique_ptr<AVCodecParserContext, ParserCloser>;

FramePtr MakeFrame();
PacketPtr MakePacket();

// Opens a media file (bytes of its name) and, with `probe`, reads its stream information (which
// decodes the first pictures of each stream: tens of milliseconds for HD video). A file reopened
// only for its packets, whose parameters are already known, skips that. Null when the path is not
// a readable regular file or not a recognised media file.
FormatPtr OpenMedia(const std::string& path, bool probe = true);

// A copy of a stream's codec parameters, for decoders opened after its reader is gone.
ParametersPtr CopyParameters(const AVCodecParameters& parameters);

// A decoder for one stream, opened with the given thread count (0: automatic, frame and slice
// threads). Null when the coding has no decoder or it fails to open. With hardware, the decoder is
// attached to it first (null when the hardware cannot take the stream).
CodecPtr OpenDecoder(const AVCodecParameters& parameters, AVRational timeBase, int threads,
                     HardwareDecoder* hardware = nullptr);
inline CodecPtr OpenDecoder(const AVStream* stream, int threads,
                            HardwareDecoder* hardware = nullptr) {
  return OpenDecoder(*stream->codecpar, stream->time_base, threads, hardware);
}

// The worker threads an open decoder runs: one per picture in flight with frame threads, all but
// the calling thread with slice threads (one more for a coding whose slice threads run a main
// function of their own, such as VP9), none without threads.
int DecoderThreads(const AVCodecContext& context);
// The threads a decoder opened with a thread count of `threads` will run, before it is opened.
int DecoderThreadsFor(int threads);

// Whether the stream is a decodable audio or video stream (cover pictures excluded).
bool IsDecodableVideo(const AVStream* stream);
bool IsDecodableAudio(const AVStream* stream);
bool IsVideoStream(const AVStream* stream);

// Converts a FourCC of four characters, the first in the most significant byte.
constexpr uint32_t FourCC(const char (&text)[5]) {
  return (uint32_t(uint8_t(text[0])) << 24) | (uint32_t(uint8_t(text[1])) << 16) |
         (uint32_t(uint8_t(text[2])) << 8) | uint32_t(uint8_t(text[3]));
}

// The container's codec tag (first character in the lowest byte) as a FourCC, 0 when it is not
// four printable characters.
uint32_t TagToFourCC(uint32_t codecTag);

struct FileCloser {
  void operator()(FILE* file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

// The number an enumerated field of FFmpeg's holds, read without loading it as the enumeration: a
// decoder may leave there a value from the bitstream that names none of its members.
template <typename Enum>
int Code(const Enum& field) {
  static_assert(sizeof(Enum) == sizeof(int));
  int value = 0;
  std::memcpy(&value, &field, sizeof value);
  return value;
}

// A stream's codec extra data (parameter sets and the like) as bytes.
inline std::string_view Extradata(const AVCodecParameters& parameters) {
  return {reinterpret_cast<const char*>(parameters.extradata),
          parameters.extradata != nullptr ? static_cast<size_t>(parameters.extradata_size) : 0};
}

// Whether `packet`, read from the file, is the packet an index recorded at position `pos` (-1 where
// it had none) with `size` bytes and time `time` (its presentation time, else its decode time): the
// same size, and the same position where both have one, else the same time. A demuxer may cut or
// time packets otherwise after a seek than in a pass from the start, and a file may change.
inline bool SamePacket(const AVPacket& packet, int64_t pos, int size, int64_t time) {
  if (packet.size != size) return false;
  if (pos >= 0 && packet.pos >= 0) return packet.pos == pos;
  return time == (packet.pts != AV_NOPTS_VALUE ? packet.pts : packet.dts);
}

inline int64_t ToTicks(int64_t value, AVRational timeBase) {
  return av_rescale_q(value, timeBase, AVRational{1, 10000000});
}

}  // namespace zr8
