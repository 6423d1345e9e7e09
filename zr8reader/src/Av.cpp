#include "Av.h"

#include <sys/stat.h>

#include <new>

#include "HardwareDecode.h"
#include "PictureMemory.h"

namespace zr8 {

FramePtr MakeFrame() {
  FramePtr frame(av_frame_alloc());
  if (!frame) throw std::bad_alloc();
  return frame;
}

PacketPtr MakePacket() {
  PacketPtr packet(av_packet_alloc());
  if (!packet) throw std::bad_alloc();
  return packet;
}

FormatPtr OpenMedia(const std::string& path, bool probe) {
  struct stat info {};
  if (path.empty() || stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return nullptr;
  // The "file:" prefix keeps a name with a colon from being read as another protocol.
  const std::string url = "file:" + path;
  AVDictionary* raw = nullptr;
  av_dict_set(&raw, "protocol_whitelist", "file", 0);
  // A stream without a container (FLAC, elementary video and audio) is read in blocks of 64 KB, not
  // FFmpeg's 1 KB: the parser that cuts it into packets runs far less often, and the packets, their
  // positions and times are the same. Other demuxers leave the option unused.
  av_dict_set(&raw, "raw_packet_size", "65536", 0);
  std::unique_ptr<AVDictionary, DictionaryCloser> options(raw);
  AVFormatContext* context = nullptr;
  raw = options.release();
  const int opened = avformat_open_input(&context, url.c_str(), nullptr, &raw);
  options.reset(raw);
  if (opened < 0) return nullptr;
  FormatPtr format(context);
  if (probe && avformat_find_stream_info(format.get(), nullptr) < 0) return nullptr;
  Account::CountReader(format.get());
  return format;
}

ParametersPtr CopyParameters(const AVCodecParameters& parameters) {
  ParametersPtr copy(avcodec_parameters_alloc());
  if (!copy || avcodec_parameters_copy(copy.get(), &parameters) < 0) throw std::bad_alloc();
  return copy;
}

CodecPtr OpenDecoder(const AVCodecParameters& parameters, AVRational timeBase, int threads,
                     HardwareDecoder* hardware) {
  const AVCodec* codec = hardware != nullptr ? hardware->Codec(parameters.codec_id)
                                             : avcodec_find_decoder(parameters.codec_id);
  if (codec == nullptr) return nullptr;
  CodecPtr context(avcodec_alloc_context3(codec));
  if (!context) throw std::bad_alloc();
  if (avcodec_parameters_to_context(context.get(), &parameters) < 0) return nullptr;
  context->pkt_timebase = timeBase;
  context->thread_count = threads;
  context->thread_type = FF_THREAD_FRAME | FF_THREAD_SLICE;
  if (hardware != nullptr && !hardware->Attach(context.get())) return nullptr;
  if (hardware == nullptr) UsePictureMemory(context.get());
  if (avcodec_open2(context.get(), codec, nullptr) < 0) return nullptr;
  return context;
}

int DecoderThreads(const AVCodecContext& context) {
  if ((context.active_thread_type & FF_THREAD_FRAME) != 0) return context.thread_count;
  if ((context.active_thread_type & FF_THREAD_SLICE) != 0) return context.thread_count - 1;
  return 0;
}

int DecoderThreadsFor(int threads) {
  if (threads == 0) {
    const int cores = av_cpu_count();
    threads = cores > 1 ? cores + 1 : 1;
  }
  return threads > 1 ? threads : 0;
}

bool IsVideoStream(const AVStream* stream) {
  return stream->codecpar->codec_type == AVMEDIA_TYPE_VIDEO &&
         (stream->disposition & AV_DISPOSITION_ATTACHED_PIC) == 0;
}

bool IsDecodableVideo(const AVStream* stream) {
  return IsVideoStream(stream) && avcodec_find_decoder(stream->codecpar->codec_id) != nullptr &&
         stream->codecpar->width > 0 && stream->codecpar->height > 0;
}

bool IsDecodableAudio(const AVStream* stream) {
  return stream->codecpar->codec_type == AVMEDIA_TYPE_AUDIO &&
         avcodec_find_decoder(stream->codecpar->codec_id) != nullptr &&
         stream->codecpar->sample_rate > 0 && stream->codecpar->ch_layout.nb_channels > 0;
}

uint32_t TagToFourCC(uint32_t codecTag) {
  uint32_t result = 0;
  for (int i = 0; i < 4; ++i) {
    const uint32_t byte = (codecTag >> (8 * i)) & 0xFF;
    if (byte < 0x20 || byte > 0x7E) return 0;
    result = (result << 8) | byte;
  }
  return result;
}

}  // namespace zr8
