#include "ReadFile.h"

#include <cstdint>
#include <filesystem>

#include "WideText.h"

namespace zr8 {
namespace {

bool HasDecodableStream(const AVFormatContext& input) {
  for (unsigned i = 0; i < input.nb_streams; ++i) {
    if (IsDecodableAudio(input.streams[i]) || IsDecodableVideo(input.streams[i])) return true;
  }
  return false;
}

}  // namespace

int ProbedStreams::AudioIndex(int number) const {
  for (size_t i = 0; i < parameters.size(); ++i) {
    if (parameters[i]->codec_type == AVMEDIA_TYPE_AUDIO && number-- == 0) {
      return static_cast<int>(i);
    }
  }
  return -1;
}

FormatPtr ProbedStreams::Open(const std::string& path, int stream) const {
  if (headerListsAll) {
    FormatPtr input = OpenMedia(path, false);
    if (!input) return nullptr;
    bool same = input->nb_streams == parameters.size() && stream >= 0 &&
                static_cast<unsigned>(stream) < input->nb_streams;
    for (unsigned i = 0; same && i < input->nb_streams; ++i) {
      same = input->streams[i]->codecpar->codec_type == parameters[i]->codec_type;
    }
    if (same) {
      // The header must know the stream as the probe found it (a raw stream's header knows only
      // its coding); what else the probe learnt, such as the decoder's set-up bytes, is copied.
      AVStream* wanted = input->streams[stream];
      const AVCodecParameters& header = *wanted->codecpar;
      const AVCodecParameters& probed = *parameters[stream];
      same = header.codec_id == probed.codec_id &&
             av_cmp_q(wanted->time_base, timeBases[stream]) == 0 &&
             (header.codec_type != AVMEDIA_TYPE_AUDIO ||
              (header.sample_rate == probed.sample_rate &&
               header.ch_layout.nb_channels == probed.ch_layout.nb_channels)) &&
             avcodec_parameters_copy(wanted->codecpar, &probed) >= 0;
    }
    if (same) {
      if (duration != AV_NOPTS_VALUE) input->duration = duration;
      return input;
    }
  }
  return OpenMedia(path);
}

bool IsSupportedMedia(const std::string& path) {
  FormatPtr input = OpenMedia(path);
  return input && HasDecodableStream(*input);
}

std::unique_ptr<ReadFile> ReadFile::Open(const std::string& path,
                                         std::shared_ptr<MemoryPool> buffers) {
  FormatPtr input = OpenMedia(path);
  if (!input || !HasDecodableStream(*input)) return nullptr;
  std::unique_ptr<ReadFile> file(new ReadFile());
  std::error_code error;
  std::filesystem::path absolute = std::filesystem::absolute(path, error);
  file->path_ = error ? path : absolute.lexically_normal().string();
  file->name_ = platform::BytesToWide(file->path_);
  // Microseconds to 100-ns units; a duration beyond what those can hold is as good as none.
  if (input->duration != AV_NOPTS_VALUE && input->duration > 0 &&
      input->duration <= INT64_MAX / 10) {
    file->length_ = input->duration * 10;
  }
  for (unsigned i = 0; i < input->nb_streams; ++i) {
    const AVStream* stream = input->streams[i];
    if (stream->codecpar->codec_type == AVMEDIA_TYPE_AUDIO) ++file->audioCount_;
    if (IsVideoStream(stream)) {
      VideoStreamInfo info;
      info.format = static_cast<AVPixelFormat>(stream->codecpar->format);
      info.colorSpace = Code(stream->codecpar->color_space);
      file->video_.push_back(info);
    }
  }
  file->buffers_ = buffers ? std::move(buffers) : MemoryPool::Create();
  auto streams = std::make_shared<ProbedStreams>();
  for (unsigned i = 0; i < input->nb_streams; ++i) {
    streams->parameters.push_back(CopyParameters(*input->streams[i]->codecpar));
    streams->timeBases.push_back(input->streams[i]->time_base);
  }
  streams->duration = input->duration;
  streams->headerListsAll = (input->ctx_flags & AVFMTCTX_NOHEADER) == 0;
  file->streams_ = std::move(streams);
  file->probed_ = std::move(input);
  return file;
}

}  // namespace zr8
