// The reader of the frame index cache's files (IndexCache): the input is read as a whole cache file
// (from disk, as an open reads it), and again as the video index or audio timeline it holds with
// its checksum made to hold, so that their own checks are reached.
//
// Seeds: with ZR8_FUZZ_CACHE_SEEDS=<clips folder>:<seeds folder> the target instead indexes the
// video and audio of every clip in the first folder and copies the cache files that makes to the
// second.
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>

#include "AudioStream.h"
#include "IndexCache.h"
#include "Pools.h"
#include "VideoStream.h"

namespace {

namespace fs = std::filesystem;
namespace ic = zr8::index_cache;

// This process's folder (not a static: the clean-up at exit needs it after statics are gone).
std::string Folder() {
  return std::string(access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") + "/zr8fuzz-cache-" +
         std::to_string(getpid());
}

void MakeSeeds(const std::string& clips, const std::string& seeds) {
  ::setenv("XDG_CACHE_HOME", Folder().c_str(), 1);
  std::error_code error;
  for (const auto& clip : fs::directory_iterator(clips, error)) {
    std::unique_ptr<zr8::VideoStream> stream;
    zr8::VideoStream::Open(clip.path().string(), 0, nullptr,
                           std::make_shared<zr8::CpuPictureStore>(), &stream);
    zr8::AudioStream::Open(clip.path().string(), 0, zr8::MemoryPool::Create());
  }
  fs::create_directories(seeds, error);
  for (const auto& file : fs::directory_iterator(ic::Directory(), error)) {
    fs::copy_file(file.path(), fs::path(seeds) / file.path().filename(),
                  fs::copy_options::overwrite_existing, error);
  }
  fs::remove_all(Folder(), error);
}

struct Cleanup {
  ~Cleanup() {
    std::error_code ignored;
    fs::remove_all(Folder(), ignored);
  }
} cleanup;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const char* seeds = std::getenv("ZR8_FUZZ_CACHE_SEEDS");
  if (seeds != nullptr) {
    const std::string both(seeds);
    MakeSeeds(both.substr(0, both.find(':')), both.substr(both.find(':') + 1));
    std::exit(0);
  }
  fs::create_directories(Folder());
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  {
    FILE* file = std::fopen((Folder() + "/input.idx").c_str(), "wb");
    if (file == nullptr) return 0;
    std::fwrite(data, 1, size, file);
    std::fclose(file);
  }
  const std::optional<ic::Contents> contents = ic::Unwrap(bytes);
  const std::string key = contents ? std::string(contents->key) : std::string("key");
  zr8::FrameIndex index;
  ic::VideoFacts facts;
  if (ic::Load(Folder(), "input", key, [&](std::string_view payload) {
        return ic::DecodeVideo(payload, &index, &facts);
      })) {
    // A valid index answers every question about its frames.
    for (int64_t frame = 0; frame < index.frameCount(); ++frame) {
      index.KeyFor(frame);
      index.FrameOf(index.decodeIndexOf(frame));
    }
  }
  // The index behind a checksum that holds: where a cache file's payload would be (after the
  // 24 bytes of header and the key whose size they give, before the 8 of the checksum), else the
  // whole input.
  std::string_view indexBytes = bytes;
  uint32_t keyBytes = 0;
  if (size >= 32) {
    std::memcpy(&keyBytes, data + 8, sizeof keyBytes);
    if (keyBytes <= size - 32) indexBytes = bytes.substr(24 + keyBytes, size - 32 - keyBytes);
  }
  const std::string sealed = ic::Wrap(key, indexBytes);
  const std::optional<ic::Contents> again = ic::Unwrap(sealed);
  if (again && ic::DecodeVideo(again->payload, &index, &facts)) {
    for (int64_t frame = 0; frame < index.frameCount(); ++frame) index.KeyFor(frame);
  }
  ic::AudioTimeline timeline;
  if (again) ic::DecodeAudio(again->payload, &timeline);
  return 0;
}
