#include "Exercise.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <string>
#include <vector>

#include "Zr8Reader.h"

namespace zr8fuzz {
namespace {

// Pictures larger than this are not decoded (time per input); the index is still built.
constexpr uint64_t kMaxPixels = 1024 * 1024;
constexpr int kMaxFrameRequests = 8;
constexpr int kMaxSampleRequests = 6;
constexpr int64_t kMaxSampleFrames = 8192;
constexpr int32_t kMaxChannels = 64;

// Every pixel type of the header, and one that is none.
constexpr int32_t kPixelTypes[] = {
    ZR8_PIXEL_NONE,      ZR8_PIXEL_RGBA_8u, ZR8_PIXEL_RGBA_16u, ZR8_PIXEL_RGB_8u, ZR8_PIXEL_BGR_8u,
    ZR8_PIXEL_RGB_16u,   ZR8_PIXEL_YUYV,    ZR8_PIXEL_UYVY,     ZR8_PIXEL_I420,   ZR8_PIXEL_NV12,
    ZR8_PIXEL_YV12,      ZR8_PIXEL_YV16,    ZR8_PIXEL_P010,     ZR8_PIXEL_P016,   ZR8_PIXEL_YUV444,
    ZR8_PIXEL_YUV444_16, ZR8_PIXEL_P210,    ZR8_PIXEL_P216,     0x7777,
};

struct Trailer {
  std::array<uint8_t, kTrailerSize> bytes{};
  uint8_t at(size_t i) const { return bytes[i % kTrailerSize]; }
};

// The temporary file of this process, removed at exit.
struct TempFile {
  std::string path = std::string(access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") +
                     "/zr8fuzz-" + std::to_string(getpid()) + ".bin";
  ~TempFile() { std::remove(path.c_str()); }
};

// A frame index from one byte: spread over the stream, with the edges and a few outside.
int64_t FrameIndex(uint8_t b, int64_t count) {
  if (b >= 252) return std::array<int64_t, 4>{0, count - 1, -1, count}[b - 252];
  return count > 0 ? (static_cast<int64_t>(b) * count) / 252 : b;
}

// Touches every page of a delivered picture and its last byte, so that a short buffer shows.
int TouchImage(void* image) {
  uint32_t size = ZR8READER_Image_TotalSize(image);
  ZR8READER_Image_Width(image);
  ZR8READER_Image_Height(image);
  ZR8READER_Image_PixelType(image);
  ZR8READER_Image_RowBytes(image, 0);
  ZR8READER_Image_PAR(image);
  auto* bytes = static_cast<const volatile uint8_t*>(ZR8READER_Image_LockForCPU(image, 1));
  if (bytes == nullptr) return 0;
  unsigned sum = 0;
  for (uint32_t i = 0; i < size; i += 4096) sum += bytes[i];
  if (size > 0) sum += bytes[size - 1];
  ZR8READER_Image_Unlock(image);
  return static_cast<int>(sum & 1);
}

int ExerciseVideo(void* file, const Trailer& t) {
  int ok = 0;
  int32_t count = ZR8READER_ReadFile_GetVideoStreamCount(file);
  if (count <= 0) return ok;
  int32_t index = t.at(1) % (count + 1);  // one past the last: a rejected index
  Zr8DecodePrefs options{};
  ok += ZR8READER_ReadFile_GetDecoderOptions(file, index, &options) == ZR8_S_OK;
  std::array<int32_t, 32> types{};
  int32_t typeCount = 0;
  ok += ZR8READER_ReadFile_GetDecoderPixelTypes(file, index, types.data(), types.size(),
                                                &typeCount) == ZR8_S_OK;
  int32_t colorSpace = 0;
  ok +=
      ZR8READER_ReadFile_GetDecoderColorSpaces(file, index, &colorSpace, 1, &typeCount) == ZR8_S_OK;

  Zr8DecodePrefs prefs{};
  prefs.pixelType = kPixelTypes[t.at(2) % std::size(kPixelTypes)];
  prefs.useOptimalPixelType = t.at(3) & 1;
  void* pool = nullptr;
  if (t.at(3) & 2) ZR8READER_CreateImagePoolCPU(&pool);
  void* video = nullptr;
  if (ZR8READER_ReadFile_OpenVideoStream(file, index, (t.at(3) & 4) ? nullptr : &prefs, pool,
                                         &video) != ZR8_S_OK) {
    if (pool != nullptr) ZR8READER_DeleteImagePoolHandle(pool);
    return ok;
  }
  ++ok;
  Zr8VideoFormat format{};
  Zr8VideoCompressedFormat compressed{};
  ok += ZR8READER_ReadVideoStream_GetFormat(video, &format) == ZR8_S_OK;
  ok += ZR8READER_ReadVideoStream_GetCompressedFormat(video, &compressed) == ZR8_S_OK;
  ok += ZR8READER_ReadVideoStream_GetDecodePrefs(video, &prefs) == ZR8_S_OK;
  ZR8READER_ReadVideoStream_GetStreamLength(video);
  int64_t frames = ZR8READER_ReadVideoStream_GetFrameCount(video);
  if (static_cast<uint64_t>(format.width) * format.height <= kMaxPixels) {
    int requests = 1 + t.at(4) % kMaxFrameRequests;
    std::vector<void*> kept;
    for (int i = 0; i < requests; ++i) {
      int64_t n = FrameIndex(t.at(5 + i), frames);
      ZR8READER_ReadVideoStream_PrepareFrame(video, n);
      void* image = nullptr;
      if (ZR8READER_ReadVideoStream_GetFrame(video, n, &image) == ZR8_S_OK && image != nullptr) {
        ++ok;
        TouchImage(image);
        // Some pictures stay alive across later requests, the others go back to the pool at once.
        if (t.at(13) & (1u << i)) {
          kept.push_back(image);
        } else {
          ZR8READER_DeleteImageHandle(image);
        }
      }
    }
    // The stream goes before its pictures: any order of release is allowed.
    if (t.at(14) & 1) {
      ZR8READER_DeleteReadVideoStreamHandle(video);
      video = nullptr;
    }
    for (void* image : kept) ZR8READER_DeleteImageHandle(image);
  }
  if (video != nullptr) ZR8READER_DeleteReadVideoStreamHandle(video);
  if (pool != nullptr) ZR8READER_DeleteImagePoolHandle(pool);
  return ok;
}

int ExerciseAudio(void* file, const Trailer& t) {
  int ok = 0;
  int32_t count = ZR8READER_ReadFile_GetAudioStreamCount(file);
  if (count <= 0) return ok;
  int32_t index = t.at(1) % (count + 1);
  void* audio = nullptr;
  if (ZR8READER_ReadFile_OpenAudioStream(file, index, &audio) != ZR8_S_OK) return ok;
  ++ok;
  Zr8AudioCompressedFormat format{};
  Zr8AudioCompressedFormat compressed{};
  ok += ZR8READER_ReadAudioStream_GetFormat(audio, &format) == ZR8_S_OK;
  ok += ZR8READER_ReadAudioStream_GetCompressedFormat(audio, &compressed) == ZR8_S_OK;
  ZR8READER_ReadAudioStream_GetStreamLength(audio);
  int64_t samples = ZR8READER_ReadAudioStream_GetSampleCount(audio);
  int64_t packetBytes = 0;
  ZR8READER_ReadAudioStream_GetCompressedSamples(audio, t.at(2), nullptr, 0, &packetBytes);
  if (packetBytes > 0 && packetBytes < (1 << 20)) {
    std::vector<uint8_t> packet(packetBytes);
    ok += ZR8READER_ReadAudioStream_GetCompressedSamples(audio, t.at(2), packet.data(), packetBytes,
                                                         &packetBytes) == ZR8_S_OK;
  }
  if (format.channels >= 1 && format.channels <= kMaxChannels) {
    int requests = 1 + t.at(3) % kMaxSampleRequests;
    std::vector<float> buffer;
    for (int i = 0; i < requests; ++i) {
      uint8_t where = t.at(4 + 2 * i);
      uint8_t size = t.at(5 + 2 * i);
      int64_t start = where == 255   ? samples
                      : where == 254 ? samples + 1
                      : where == 253 ? -1
                                     : (samples * where) / 253;
      int64_t frames = size == 255 ? kMaxSampleFrames : (size * size) % (kMaxSampleFrames + 1);
      buffer.assign(static_cast<size_t>(std::max<int64_t>(frames, 1)) * format.channels, 0.0f);
      int64_t read = -1;
      int32_t status =
          ZR8READER_ReadAudioStream_GetSamples(audio, start, buffer.data(), frames, &read);
      if (status >= 0) {
        ++ok;
        // A delivery must fit the request: touch the last value it claims to have written.
        if (read > frames || read < 0) __builtin_trap();
        if (read > 0) ok += buffer[static_cast<size_t>(read) * format.channels - 1] != 0.0f;
      }
    }
  }
  ZR8READER_DeleteReadAudioStreamHandle(audio);
  return ok;
}

}  // namespace

int Exercise(const uint8_t* data, size_t size, Mode mode) {
  static TempFile temp;
  Trailer trailer;
  size_t media = size;
  if (size > kTrailerSize) {
    media = size - kTrailerSize;
    std::copy(data + media, data + size, trailer.bytes.begin());
  }
  std::FILE* out = std::fopen(temp.path.c_str(), "wb");
  if (out == nullptr) return 0;
  const bool written = media == 0 || std::fwrite(data, 1, media, out) == media;
  if (std::fclose(out) != 0 || !written) return 0;
  const std::wstring path(temp.path.begin(), temp.path.end());
  int ok = ZR8READER_IsSupported(path.c_str());
  void* file = nullptr;
  if (ZR8READER_OpenReadFile(&file, path.c_str(), 0) != ZR8_S_OK) return ok;
  ++ok;
  ZR8READER_ReadFile_GetFileLength(file);
  std::array<wchar_t, 16> shortName{};
  ZR8READER_ReadFile_GetFileName(file, shortName.data(), shortName.size());
  ok += mode == Mode::Video ? ExerciseVideo(file, trailer) : ExerciseAudio(file, trailer);
  if (trailer.at(0) & 1) ZR8READER_ReadFile_CloseFile(file);
  ZR8READER_DeleteReadFileHandle(file);
  return ok;
}

}  // namespace zr8fuzz

#ifdef ZR8_FUZZ_TARGET
// The libFuzzer entry point (build-fuzz): ZR8_FUZZ_AUDIO picks the audio exercise, else video.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
#ifdef ZR8_FUZZ_AUDIO
  zr8fuzz::Exercise(data, size, zr8fuzz::Mode::Audio);
#else
  zr8fuzz::Exercise(data, size, zr8fuzz::Mode::Video);
#endif
  return 0;
}
#endif
