// An open media file: its name, duration and streams. Each stream opened from it reads the file
// through a reader of its own, so streams work independently (and from different threads); the
// first stream opened takes over the reader that read the file's stream information, so that it
// need not be read again, and later readers take the streams' parameters from what it learnt.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Av.h"
#include "Handle.h"
#include "Pools.h"

namespace zr8 {

// What reading the file's stream information learnt, for readers opened later: where the
// container's header lists every stream (the format adds none while reading), such a reader opens
// the header alone and takes its stream's parameters from here, which costs the same for the
// last of many streams as for the first.
struct ProbedStreams {
  std::vector<ParametersPtr> parameters;  // one per stream of the container, in its order
  std::vector<AVRational> timeBases;
  int64_t duration = AV_NOPTS_VALUE;  // the file's, in AV_TIME_BASE units
  bool headerListsAll = false;

  // The container's index of the `number`-th audio stream, -1 when there is none.
  int AudioIndex(int number) const;
  // The file's reader for a stream: unprobed where the header lists the same streams as the probe
  // found, with `stream`'s parameters copied from the probe; otherwise one that reads the stream
  // information itself. Null when the file cannot be opened.
  FormatPtr Open(const std::string& path, int stream) const;
};

struct VideoStreamInfo {
  AVPixelFormat format = AV_PIX_FMT_NONE;
  int colorSpace = AVCOL_SPC_UNSPECIFIED;
};

class ReadFile final : public Handle {
 public:
  static constexpr HandleKind kKind = HandleKind::kFile;

  // Null when the file cannot be opened or holds no decodable stream.
  static std::unique_ptr<ReadFile> Open(const std::string& path,
                                        std::shared_ptr<MemoryPool> buffers);

  const std::string& path() const { return path_; }
  const std::wstring& name() const { return name_; }
  int64_t length() const { return length_; }
  int audioCount() const { return audioCount_; }
  int videoCount() const { return static_cast<int>(video_.size()); }
  const VideoStreamInfo& video(int index) const { return video_[index]; }
  const std::shared_ptr<MemoryPool>& buffers() const { return buffers_; }
  const std::shared_ptr<const ProbedStreams>& streams() const { return streams_; }

  // The reader that read the stream information, once; null afterwards.
  FormatPtr TakeProbed() {
    std::lock_guard lock(mutex_);
    return std::move(probed_);
  }

  bool isOpen() const { return open_; }
  bool Close() { return open_.exchange(false); }

 private:
  ReadFile() : Handle(kKind) {}

  std::string path_;
  std::wstring name_;
  int64_t length_ = 0;
  int audioCount_ = 0;
  std::vector<VideoStreamInfo> video_;
  std::shared_ptr<MemoryPool> buffers_;
  std::mutex mutex_;
  FormatPtr probed_;
  std::shared_ptr<const ProbedStreams> streams_;
  std::atomic<bool> open_{true};
};

// True when the file opens and holds a decodable audio or video stream.
bool IsSupportedMedia(const std::string& path);

}  // namespace zr8
