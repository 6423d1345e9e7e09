// Owning wrappers for the library's handles in tests.
#pragma once

#include <Zr8Reader.h>

#include <filesystem>
#include <memory>
#include <string>

#include "Media.h"

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
  const std::wstring wide = media::Wide(path.string());
  if (ZR8READER_OpenReadFileEx(&file, wide.c_str(), 3, bufferPool) < 0) return File();
  return File(file);
}

inline Zr8DecodePrefs Prefs(int32_t pixelType) {
  Zr8DecodePrefs prefs{};
  prefs.reserved0 = 1.0;
  prefs.reserved8 = 1.0;
  prefs.useOptimalPixelType = 1;
  prefs.pixelType = pixelType;
  prefs.reserved36 = 1;
  prefs.reserved40 = 23.976;
  prefs.reserved96 = 1;
  return prefs;
}

inline Video OpenVideo(void* file, int32_t pixelType, void* imagePool = nullptr,
                       int32_t* status = nullptr) {
  void* video = nullptr;
  const Zr8DecodePrefs prefs = Prefs(pixelType);
  const int32_t result = ZR8READER_ReadFile_OpenVideoStream(file, 0, &prefs, imagePool, &video);
  if (status != nullptr) *status = result;
  return Video(result < 0 ? nullptr : video);
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

}  // namespace handles
