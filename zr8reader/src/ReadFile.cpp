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
  file->probed_ = std::move(input);
  return file;
}

}  // namespace zr8
