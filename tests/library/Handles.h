// Owning wrappers for the library's handles in tests, and its video streams opened directly for
// their counters.
#pragma once

#include <Zr8Reader.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include "Media.h"
#include "VideoStream.h"
#include "text/WideText.h"

namespace handles {

template <int32_t (*Delete)(void*)>
struct Deleter {
  void operator()(void* handle) const { Delete(handle); }
};
using File = std::unique_ptr<void, Deleter<ZR8READER_DeleteReadFileHandle>>;
using Audio = std::unique_ptr<void, Deleter<ZR8READER_DeleteReadAudioStreamHandle>>;
using Video = std::unique_ptr<void, Deleter<ZR8READER_DeleteReadVideoStreamHandle>>;
using Image = std::unique_ptr<void, Deleter<ZR8READER_DeleteImageHandle>>;
using ImagePool = std::unique_ptr<void, Deleter<ZR8READER_DeleteImagePoolHandle>>;
using BufferPool = std::unique_ptr<void, Deleter<ZR8READER_DeleteBufferPoolHandle>>;

inline File OpenFile(const std::filesystem::path& path, void* bufferPool = nullptr) {
  void* file = nullptr;
  const std::wstring wide = platform::BytesToWide(path.string());
  if (ZR8READER_OpenReadFileEx(&file, wide.c_str(), 3, bufferPool) < 0) return File();
  return File(file);
}

inline Zr8DecodePrefs StreamPrefs(int32_t pixelType, uint32_t threads = 0, int32_t hardware = 0) {
  Zr8DecodePrefs prefs{};
  prefs.pixelType = pixelType;
  prefs.decoderThreads = threads;
  prefs.hardwarePreference = hardware;
  return prefs;
}

inline Video OpenVideo(void* file, int32_t pixelType, void* imagePool = nullptr,
                       int32_t* status = nullptr) {
  void* video = nullptr;
  const Zr8DecodePrefs prefs = StreamPrefs(pixelType);
  const int32_t result = ZR8READER_ReadFile_OpenVideoStream(file, 0, &prefs, imagePool, &video);
  if (status != nullptr) *status = result;
  return Video(result < 0 ? nullptr : video);
}

inline Audio OpenAudio(void* file, int32_t stream) {
  void* audio = nullptr;
  return Audio(ZR8READER_ReadFile_OpenAudioStream(file, stream, &audio) < 0 ? nullptr : audio);
}

// The bytes of frame n, or an empty string when the request fails.
inline std::string Frame(void* video, int64_t n) {
  void* raw = nullptr;
  if (ZR8READER_ReadVideoStream_GetFrame(video, n, &raw) < 0) return {};
  Image image(raw);
  const auto* bytes = static_cast<const char*>(ZR8READER_Image_LockForCPU(raw, 1));
  std::string copy(bytes, ZR8READER_Image_TotalSize(raw));
  ZR8READER_Image_Unlock(raw);
  return copy;
}

inline std::unique_ptr<zr8::VideoStream> OpenStream(
    const std::filesystem::path& path, const Zr8DecodePrefs& prefs,
    const zr8::HardwareRequest& hardware = {},
    std::shared_ptr<zr8::PictureStore> store = std::make_shared<zr8::CpuPictureStore>()) {
  std::unique_ptr<zr8::VideoStream> stream;
  EXPECT_EQ(zr8::VideoStream::Open(path.string(), 0, &prefs, store, &stream, hardware), 0) << path;
  return stream;
}

// The bytes of picture n of a stream, or an empty string when the request fails.
inline std::string Picture(zr8::VideoStream& stream, int64_t n) {
  zr8::Image* raw = nullptr;
  if (stream.GetFrame(n, &raw) != 0) return {};
  std::unique_ptr<zr8::Image> image(raw);
  const auto* bytes = reinterpret_cast<const char*>(image->Lock());
  std::string copy(bytes, image->layout().totalSize);
  image->Unlock();
  return copy;
}

}  // namespace handles
