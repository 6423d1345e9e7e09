// The exported entry points: argument checks, handle look-up, and a barrier that keeps every
// exception on this side of the C boundary.
#include <atomic>
#include <cstring>
#include <mutex>
#include <new>
#include <string>

#include "../include/Zr8Reader.h"
#include "AudioStream.h"
#include "Av.h"
#include "GpuStore.h"
#include "HardwareDecode.h"
#include "Picture.h"
#include "Pools.h"
#include "ReadFile.h"
#include "Status.h"
#include "VideoStream.h"
#include "WideText.h"
#include "zr8hardware/Hardware.h"

using namespace zr8;

namespace {

std::atomic<int> gInitializeCount{0};

// Plug-in preferences, kept for files opened later.
struct Preferences {
  std::mutex mutex;
  int32_t hardwareDecoder = 0;
  int32_t broadcastDecoder = 0;
  int32_t cudaId = 0;
  void* cudaHandle1 = nullptr;
  void* cudaHandle2 = nullptr;
  int32_t amfDevice = 0;
  int32_t amfMode = 0;
  void* amfHandle1 = nullptr;
  void* amfHandle2 = nullptr;
  int32_t qsvImplementation = 0;
  int32_t searchMode = 0;
  std::wstring searchPath;
};

Preferences& Prefs() {
  static Preferences preferences;
  return preferences;
}

void SilenceFFmpeg() {
  static std::once_flag once;
  std::call_once(once, [] { av_log_set_level(AV_LOG_QUIET); });
}

// Runs body, turning exceptions into a status (or into `failed` for value results).
template <class Result, class Body>
Result Guard(Result failed, Body&& body) noexcept {
  try {
    SilenceFFmpeg();
    return body();
  } catch (const std::bad_alloc&) {
    if constexpr (std::is_same_v<Result, int32_t>) {
      if (failed == kFail || failed == kInvalidArg) return kOutOfMemory;
    }
    return failed;
  } catch (...) {
    return failed;
  }
}

template <class Body>
int32_t GuardStatus(Body&& body) noexcept {
  return Guard<int32_t>(kFail, std::forward<Body>(body));
}

// The hardware module's message into the caller's text buffer (within capacity, terminated).
void WriteMessage(const std::string& message, wchar_t* text, int32_t capacity) {
  if (text != nullptr && capacity > 0) CopyWide(platform::BytesToWide(message), text, capacity);
}

// A render node of the vendor for the VA-API decoders of Intel (QSV) and AMD (AMF).
int32_t InitRenderNode(uint32_t vendor, void** handle, wchar_t* text, int32_t capacity) {
  if (handle == nullptr) {
    WriteMessage("VA-API: missing output argument", text, capacity);
    return kInvalidArg;
  }
  *handle = nullptr;
  std::string message;
  const int32_t status = zr8hw::InitVaapi(vendor, handle, &message);
  WriteMessage(message, text, capacity);
  return status;
}

int32_t UninitRenderNode(void** handle) {
  if (handle == nullptr) return kInvalidArg;
  if (*handle == nullptr) return kOk;
  return zr8hw::UninitVaapi(handle);
}

// The hardware a stream is to decode on: the request's own fields, else the plug-in preferences.
HardwareRequest HardwareFor(const Zr8DecodePrefs* prefs) {
  HardwareRequest request;
  std::lock_guard lock(Prefs().mutex);
  request.kind = prefs != nullptr && prefs->hardwarePreference != 0 ? prefs->hardwarePreference
                                                                    : Prefs().hardwareDecoder;
  if (request.kind == zr8hw::kKindNvidia) {
    if (prefs != nullptr && prefs->useCuda) {
      request.haveCuda = true;
      request.cudaId = prefs->cudaId;
      request.cudaContext = prefs->cudaHandle1;
    } else if (Prefs().cudaHandle1 != nullptr) {
      request.haveCuda = true;
      request.cudaId = Prefs().cudaId;
      request.cudaContext = Prefs().cudaHandle1;
    }
  } else if (request.kind == zr8hw::kKindAmd) {
    request.vaapiHandle =
        prefs != nullptr && prefs->useAmf ? prefs->amfHandle1 : Prefs().amfHandle1;
  } else if (request.kind != zr8hw::kKindIntel) {
    request.kind = 0;
  }
  return request;
}

int32_t OpenFile(void** file, const wchar_t* path, void* bufferPool) {
  return GuardStatus([&]() -> int32_t {
    if (file == nullptr) return kInvalidArg;
    *file = nullptr;
    if (path == nullptr) return kInvalidArg;
    std::shared_ptr<MemoryPool> buffers;
    if (bufferPool != nullptr) {
      auto* pool = Handle::From<BufferPoolHandle>(bufferPool);
      if (pool == nullptr) return kInvalidArg;
      buffers = pool->pool();
    }
    auto opened = ReadFile::Open(platform::WideToBytes(path), std::move(buffers));
    if (!opened) return kFail;
    *file = opened.release()->AsOpaque();
    return kOk;
  });
}

template <class T>
int32_t DeleteHandle(void* handle) {
  return GuardStatus([&]() -> int32_t {
    T* object = Handle::From<T>(handle);
    if (object == nullptr) return kInvalidArg;
    delete object;
    return kOk;
  });
}

}  // namespace

extern "C" {

ZR8_API int32_t ZR8READER_Initialize(void) {
  return GuardStatus([] {
    ++gInitializeCount;
    return kOk;
  });
}

ZR8_API int32_t ZR8READER_Uninitialize(void) {
  return GuardStatus([] {
    int count = gInitializeCount.load();
    while (count > 0 && !gInitializeCount.compare_exchange_weak(count, count - 1)) {
    }
    return count > 0 ? kOk : kFalse;
  });
}

ZR8_API int32_t ZR8READER_IsSupported(const wchar_t* path) {
  return Guard<int32_t>(0, [&]() -> int32_t {
    if (path == nullptr) return 0;
    return IsSupportedMedia(platform::WideToBytes(path)) ? 1 : 0;
  });
}

ZR8_API int32_t ZR8READER_OpenReadFile(void** file, const wchar_t* path, int32_t) {
  return OpenFile(file, path, nullptr);
}

ZR8_API int32_t ZR8READER_OpenReadFileEx(void** file, const wchar_t* path, int32_t,
                                         void* bufferPool) {
  return OpenFile(file, path, bufferPool);
}

ZR8_API int32_t ZR8READER_OpenReadFileEx2(void** file, const wchar_t* path, int32_t,
                                          void* bufferPool, void*) {
  return OpenFile(file, path, bufferPool);
}

ZR8_API int32_t ZR8READER_LoadCUDA(void) {
  return GuardStatus([] { return zr8hw::HostSystem().cuda != nullptr ? kOk : kFail; });
}

ZR8_API int32_t ZR8READER_UnloadCUDA(void) {
  return kOk;
}

ZR8_API int32_t ZR8READER_InitCUDA(int32_t device, int32_t* cudaId, void** cudaHandle1,
                                   void** cudaHandle2, wchar_t* text, int32_t capacity) {
  return GuardStatus([&] {
    if (cudaId != nullptr) *cudaId = 0;
    if (cudaHandle1 != nullptr) *cudaHandle1 = nullptr;
    if (cudaHandle2 != nullptr) *cudaHandle2 = nullptr;
    std::string message;
    const int32_t status = zr8hw::InitCuda(device, cudaId, cudaHandle1, cudaHandle2, &message);
    WriteMessage(message, text, capacity);
    return status;
  });
}

ZR8_API int32_t ZR8READER_UninitCUDA(int32_t* cudaId, void** cudaHandle1, void** cudaHandle2) {
  return GuardStatus([&]() -> int32_t {
    if (cudaId == nullptr || cudaHandle1 == nullptr || cudaHandle2 == nullptr) return kInvalidArg;
    if (*cudaHandle1 == nullptr) return kOk;  // nothing held
    return zr8hw::UninitCuda(cudaId, cudaHandle1, cudaHandle2);
  });
}

ZR8_API int32_t ZR8READER_InitAMF(int32_t, int32_t, void** amfHandle1, void** amfHandle2,
                                  wchar_t* text, int32_t capacity) {
  return GuardStatus([&] {
    if (amfHandle2 != nullptr) *amfHandle2 = nullptr;
    return InitRenderNode(zr8hw::kVendorAmd, amfHandle1, text, capacity);
  });
}

ZR8_API int32_t ZR8READER_UninitAMF(void** amfHandle1, void** amfHandle2) {
  return GuardStatus([&] {
    if (amfHandle2 != nullptr) *amfHandle2 = nullptr;
    return UninitRenderNode(amfHandle1);
  });
}

ZR8_API int32_t ZR8READER_InitQSV(int32_t, int32_t, void** qsvHandle, wchar_t* text,
                                  int32_t capacity) {
  return GuardStatus(
      [&] { return InitRenderNode(zr8hw::kVendorIntel, qsvHandle, text, capacity); });
}

ZR8_API int32_t ZR8READER_UninitQSV(void** qsvHandle) {
  return GuardStatus([&] { return UninitRenderNode(qsvHandle); });
}

ZR8_API int32_t ZR8READER_GetSupportedHardwareDecoders(int32_t capacity,
                                                       Zr8HardwareDecoderInfo* records,
                                                       int32_t* count) {
  return GuardStatus([&]() -> int32_t {
    if (count == nullptr || capacity < 0 || (records == nullptr && capacity > 0)) {
      return kInvalidArg;
    }
    return zr8hw::SupportedDecoders(capacity, records, count);
  });
}

ZR8_API int32_t ZR8READER_GetSupportedHardwareDecodersOOP(int32_t capacity,
                                                          Zr8HardwareDecoderInfo* records,
                                                          int32_t* count, int32_t timeoutMs,
                                                          int32_t useCache) {
  return GuardStatus([&]() -> int32_t {
    if (count == nullptr || capacity < 0 || (records == nullptr && capacity > 0)) {
      return kInvalidArg;
    }
    return zr8hw::SupportedDecodersOOP(capacity, records, count, timeoutMs, useCache);
  });
}

ZR8_API int32_t ZR8READER_GetHardwareDetectionResults(void* results, int32_t dxgiEnumPreference) {
  return GuardStatus([&]() -> int32_t {
    if (results == nullptr) return kInvalidArg;
    return zr8hw::DetectionResults(results, dxgiEnumPreference);
  });
}

ZR8_API int32_t ZR8READER_GetHardwareDetectionResultsOOP(void* results, int32_t timeoutMs,
                                                         int32_t useCache,
                                                         int32_t dxgiEnumPreference) {
  return GuardStatus([&]() -> int32_t {
    if (results == nullptr) return kInvalidArg;
    return zr8hw::DetectionResultsOOP(results, timeoutMs, useCache, dxgiEnumPreference);
  });
}

ZR8_API int32_t ZR8READER_SharedLibrary_SetSearchModeAndPath(int32_t mode, const wchar_t* path) {
  return GuardStatus([&] {
    std::lock_guard lock(Prefs().mutex);
    Prefs().searchMode = mode;
    Prefs().searchPath = path != nullptr ? path : L"";
    return kOk;
  });
}

#define ZR8_GETTER(name, field)                 \
  ZR8_API int32_t name(int32_t* value) {        \
    return GuardStatus([&]() -> int32_t {       \
      if (value == nullptr) return kInvalidArg; \
      std::lock_guard lock(Prefs().mutex);      \
      *value = Prefs().field;                   \
      return kOk;                               \
    });                                         \
  }
#define ZR8_SETTER(name, field)            \
  ZR8_API int32_t name(int32_t value) {    \
    return GuardStatus([&]() -> int32_t {  \
      std::lock_guard lock(Prefs().mutex); \
      Prefs().field = value;               \
      return kOk;                          \
    });                                    \
  }

ZR8_GETTER(ZR8READER_FIOPluginPrefs_GetHardwareDecoderPreference, hardwareDecoder)
ZR8_SETTER(ZR8READER_FIOPluginPrefs_SetHardwareDecoderPreference, hardwareDecoder)
ZR8_GETTER(ZR8READER_FIOPluginPrefs_GetAVCBroadcastDecoderPreference, broadcastDecoder)
ZR8_SETTER(ZR8READER_FIOPluginPrefs_SetAVCBroadcastDecoderPreference, broadcastDecoder)
ZR8_GETTER(ZR8READER_FIOPluginPrefs_GetQSVImplHW, qsvImplementation)
ZR8_SETTER(ZR8READER_FIOPluginPrefs_SetQSVImplHW, qsvImplementation)

ZR8_API int32_t ZR8READER_FIOPluginPrefs_GetCUDAContext(int32_t* cudaId, void** cudaHandle1,
                                                        void** cudaHandle2) {
  return GuardStatus([&]() -> int32_t {
    if (cudaId == nullptr || cudaHandle1 == nullptr || cudaHandle2 == nullptr) return kInvalidArg;
    std::lock_guard lock(Prefs().mutex);
    *cudaId = Prefs().cudaId;
    *cudaHandle1 = Prefs().cudaHandle1;
    *cudaHandle2 = Prefs().cudaHandle2;
    return kOk;
  });
}

ZR8_API int32_t ZR8READER_FIOPluginPrefs_SetCUDAContext(int32_t cudaId, void* cudaHandle1,
                                                        void* cudaHandle2) {
  return GuardStatus([&]() -> int32_t {
    std::lock_guard lock(Prefs().mutex);
    Prefs().cudaId = cudaId;
    Prefs().cudaHandle1 = cudaHandle1;
    Prefs().cudaHandle2 = cudaHandle2;
    return kOk;
  });
}

ZR8_API int32_t ZR8READER_FIOPluginPrefs_GetAMFContext(int32_t* device, int32_t* mode,
                                                       void** amfHandle1, void** amfHandle2) {
  return GuardStatus([&]() -> int32_t {
    if (device == nullptr || mode == nullptr || amfHandle1 == nullptr || amfHandle2 == nullptr) {
      return kInvalidArg;
    }
    std::lock_guard lock(Prefs().mutex);
    *device = Prefs().amfDevice;
    *mode = Prefs().amfMode;
    *amfHandle1 = Prefs().amfHandle1;
    *amfHandle2 = Prefs().amfHandle2;
    return kOk;
  });
}

ZR8_API int32_t ZR8READER_FIOPluginPrefs_SetAMFContext(int32_t device, int32_t mode,
                                                       void* amfHandle1, void* amfHandle2) {
  return GuardStatus([&]() -> int32_t {
    std::lock_guard lock(Prefs().mutex);
    Prefs().amfDevice = device;
    Prefs().amfMode = mode;
    Prefs().amfHandle1 = amfHandle1;
    Prefs().amfHandle2 = amfHandle2;
    return kOk;
  });
}

ZR8_API int32_t ZR8READER_ReadFile_CloseFile(void* file) {
  return GuardStatus([&]() -> int32_t {
    ReadFile* object = Handle::From<ReadFile>(file);
    if (object == nullptr) return kInvalidArg;
    return object->Close() ? kOk : kFalse;
  });
}

ZR8_API int32_t ZR8READER_ReadFile_IsFileOpen(void* file) {
  ReadFile* object = Handle::From<ReadFile>(file);
  return object != nullptr && object->isOpen() ? 1 : 0;
}

ZR8_API int32_t ZR8READER_ReadFile_GetFileName(void* file, wchar_t* name, int32_t capacity) {
  return GuardStatus([&]() -> int32_t {
    ReadFile* object = Handle::From<ReadFile>(file);
    if (object == nullptr || name == nullptr || capacity < 1) return kInvalidArg;
    return CopyWide(object->name(), name, capacity) ? kOk : kBounds;
  });
}

ZR8_API int64_t ZR8READER_ReadFile_GetFileLength(void* file) {
  ReadFile* object = Handle::From<ReadFile>(file);
  return object != nullptr ? object->length() : 0;
}

ZR8_API int32_t ZR8READER_ReadFile_GetAudioStreamCount(void* file) {
  ReadFile* object = Handle::From<ReadFile>(file);
  return object != nullptr ? object->audioCount() : 0;
}

ZR8_API int32_t ZR8READER_ReadFile_OpenAudioStream(void* file, int32_t index, void** audio) {
  return GuardStatus([&]() -> int32_t {
    if (audio == nullptr) return kInvalidArg;
    *audio = nullptr;
    ReadFile* object = Handle::From<ReadFile>(file);
    if (object == nullptr || index < 0 || index >= object->audioCount()) return kInvalidArg;
    if (!object->isOpen()) return kNotOpen;
    auto stream = AudioStream::Open(object->path(), index, object->buffers(), object->TakeProbed(),
                                    object->streams());
    if (!stream) return kFail;
    *audio = stream.release()->AsOpaque();
    return kOk;
  });
}

ZR8_API int32_t ZR8READER_ReadFile_GetVideoStreamCount(void* file) {
  ReadFile* object = Handle::From<ReadFile>(file);
  return object != nullptr ? object->videoCount() : 0;
}

ZR8_API int32_t ZR8READER_ReadFile_GetDecoderOptions(void* file, int32_t index,
                                                     Zr8DecodePrefs* prefs) {
  return GuardStatus([&]() -> int32_t {
    ReadFile* object = Handle::From<ReadFile>(file);
    if (object == nullptr || prefs == nullptr || index < 0 || index >= object->videoCount()) {
      return kInvalidArg;
    }
    *prefs = Zr8DecodePrefs{};
    prefs->reserved0 = 1.0;
    prefs->reserved8 = 1.0;
    prefs->reserved40 = 23.976;
    prefs->reserved96 = 1;
    prefs->pixelType = PreferredPixelType(object->video(index).format);
    // The hardware the open would try: the plug-in preference and its device.
    const HardwareRequest hardware = HardwareFor(nullptr);
    prefs->hardwarePreference = hardware.kind;
    prefs->useCuda = hardware.haveCuda ? 1 : 0;
    prefs->cudaId = hardware.haveCuda ? hardware.cudaId : 0;
    prefs->cudaHandle1 = hardware.haveCuda ? hardware.cudaContext : nullptr;
    prefs->useAmf = hardware.vaapiHandle != nullptr ? 1 : 0;
    prefs->amfHandle1 = hardware.vaapiHandle;
    return kOk;
  });
}

ZR8_API int32_t ZR8READER_ReadFile_GetDecoderPixelTypes(void* file, int32_t index, int32_t* types,
                                                        int32_t capacity, int32_t* count) {
  return GuardStatus([&]() -> int32_t {
    ReadFile* object = Handle::From<ReadFile>(file);
    if (object == nullptr || count == nullptr || capacity < 0 ||
        (types == nullptr && capacity > 0) || index < 0 || index >= object->videoCount()) {
      return kInvalidArg;
    }
    std::vector<int32_t> list{PreferredPixelType(object->video(index).format)};
    for (int32_t type : DeliverablePixelTypes()) {
      if (type != list.front()) list.push_back(type);
    }
    *count = static_cast<int32_t>(list.size());
    for (int32_t i = 0; i < capacity && i < *count; ++i) types[i] = list[i];
    return kOk;
  });
}

ZR8_API int32_t ZR8READER_ReadFile_GetDecoderColorSpaces(void* file, int32_t index,
                                                         int32_t* colorSpaces, int32_t capacity,
                                                         int32_t* count) {
  return GuardStatus([&]() -> int32_t {
    ReadFile* object = Handle::From<ReadFile>(file);
    if (object == nullptr || count == nullptr || capacity < 0 ||
        (colorSpaces == nullptr && capacity > 0) || index < 0 || index >= object->videoCount()) {
      return kInvalidArg;
    }
    *count = 1;
    if (capacity > 0) colorSpaces[0] = object->video(index).colorSpace;
    return kOk;
  });
}

ZR8_API int32_t ZR8READER_ReadFile_OpenVideoStream(void* file, int32_t index,
                                                   const Zr8DecodePrefs* prefs, void* imagePool,
                                                   void** video) {
  return GuardStatus([&]() -> int32_t {
    if (video == nullptr) return kInvalidArg;
    *video = nullptr;
    ReadFile* object = Handle::From<ReadFile>(file);
    if (object == nullptr || index < 0 || index >= object->videoCount()) return kInvalidArg;
    if (!object->isOpen()) return kNotOpen;
    std::shared_ptr<PictureStore> store;
    if (imagePool != nullptr) {
      auto* pool = Handle::From<ImagePoolHandle>(imagePool);
      if (pool == nullptr) return kInvalidArg;
      store = pool->store();
    } else {
      store = std::make_shared<CpuPictureStore>();
    }
    std::unique_ptr<VideoStream> stream;
    const int32_t status = VideoStream::Open(object->path(), index, prefs, store, &stream,
                                             HardwareFor(prefs), object->TakeProbed());
    if (status < 0) return status;
    *video = stream.release()->AsOpaque();
    return kOk;
  });
}

ZR8_API int64_t ZR8READER_ReadAudioStream_GetStreamLength(void* audio) {
  AudioStream* stream = Handle::From<AudioStream>(audio);
  return stream != nullptr ? stream->length() : 0;
}

ZR8_API int64_t ZR8READER_ReadAudioStream_GetSampleCount(void* audio) {
  AudioStream* stream = Handle::From<AudioStream>(audio);
  return stream != nullptr ? stream->sampleCount() : 0;
}

ZR8_API int32_t ZR8READER_ReadAudioStream_GetFormat(void* audio, Zr8AudioCompressedFormat* format) {
  return ZR8READER_ReadAudioStream_GetCompressedFormat(audio, format);
}

ZR8_API int32_t ZR8READER_ReadAudioStream_GetSamples(void* audio, int64_t startFrame, float* buffer,
                                                     int64_t maxFrames, int64_t* framesRead) {
  return GuardStatus([&]() -> int32_t {
    AudioStream* stream = Handle::From<AudioStream>(audio);
    if (framesRead != nullptr) *framesRead = 0;
    if (stream == nullptr || buffer == nullptr || framesRead == nullptr || maxFrames < 0) {
      return kInvalidArg;
    }
    return stream->GetSamples(startFrame, buffer, maxFrames, framesRead);
  });
}

ZR8_API int32_t ZR8READER_ReadAudioStream_GetCompressedFormat(void* audio,
                                                              Zr8AudioCompressedFormat* format) {
  AudioStream* stream = Handle::From<AudioStream>(audio);
  if (stream == nullptr || format == nullptr) return kInvalidArg;
  *format = stream->format();
  return kOk;
}

ZR8_API int32_t ZR8READER_ReadAudioStream_GetCompressedSamples(void* audio, int64_t startPacket,
                                                               void* buffer, int64_t capacity,
                                                               int64_t* bytesRead) {
  return GuardStatus([&]() -> int32_t {
    AudioStream* stream = Handle::From<AudioStream>(audio);
    if (stream == nullptr || bytesRead == nullptr || capacity < 0) return kInvalidArg;
    return stream->GetPacket(startPacket, buffer, capacity, bytesRead);
  });
}

ZR8_API int64_t ZR8READER_ReadVideoStream_GetStreamLength(void* video) {
  VideoStream* stream = Handle::From<VideoStream>(video);
  return stream != nullptr ? stream->length() : 0;
}

ZR8_API int64_t ZR8READER_ReadVideoStream_GetFrameCount(void* video) {
  VideoStream* stream = Handle::From<VideoStream>(video);
  return stream != nullptr ? stream->frameCount() : 0;
}

ZR8_API int32_t ZR8READER_ReadVideoStream_GetFormat(void* video, Zr8VideoFormat* format) {
  VideoStream* stream = Handle::From<VideoStream>(video);
  if (stream == nullptr || format == nullptr) return kInvalidArg;
  *format = stream->format();
  return kOk;
}

ZR8_API int32_t ZR8READER_ReadVideoStream_GetCompressedFormat(void* video,
                                                              Zr8VideoCompressedFormat* format) {
  VideoStream* stream = Handle::From<VideoStream>(video);
  if (stream == nullptr || format == nullptr) return kInvalidArg;
  *format = stream->compressedFormat();
  return kOk;
}

ZR8_API int32_t ZR8READER_ReadVideoStream_PrepareFrame(void* video, int64_t frameIndex) {
  VideoStream* stream = Handle::From<VideoStream>(video);
  if (stream == nullptr) return kInvalidArg;
  return frameIndex >= 0 && frameIndex < stream->frameCount() ? kOk : kBounds;
}

ZR8_API int32_t ZR8READER_ReadVideoStream_CancelPrepareFrame(void* video, int64_t frameIndex) {
  return ZR8READER_ReadVideoStream_PrepareFrame(video, frameIndex);
}

ZR8_API int32_t ZR8READER_ReadVideoStream_GetFrame(void* video, int64_t frameIndex, void** image) {
  return GuardStatus([&]() -> int32_t {
    if (image == nullptr) return kInvalidArg;
    *image = nullptr;
    VideoStream* stream = Handle::From<VideoStream>(video);
    if (stream == nullptr) return kInvalidArg;
    Image* made = nullptr;
    const int32_t status = stream->GetFrame(frameIndex, &made);
    if (status >= 0) *image = made->AsOpaque();
    return status;
  });
}

ZR8_API int32_t ZR8READER_ReadVideoStream_GetDecodePrefs(void* video, Zr8DecodePrefs* prefs) {
  return GuardStatus([&]() -> int32_t {
    VideoStream* stream = Handle::From<VideoStream>(video);
    if (stream == nullptr || prefs == nullptr) return kInvalidArg;
    *prefs = stream->prefs();
    return kOk;
  });
}

ZR8_API int32_t ZR8READER_CreateBufferPoolCPU(void** pool) {
  return GuardStatus([&]() -> int32_t {
    if (pool == nullptr) return kInvalidArg;
    *pool = (new BufferPoolHandle())->AsOpaque();
    return kOk;
  });
}

ZR8_API int32_t ZR8READER_CreateBufferPoolGPU(const Zr8OpenCLContextInfo*, void** pool) {
  if (pool != nullptr) *pool = nullptr;
  return kNotImpl;
}

ZR8_API int32_t ZR8READER_CreateImagePoolCPU(void** pool) {
  return GuardStatus([&]() -> int32_t {
    if (pool == nullptr) return kInvalidArg;
    *pool = (new ImagePoolHandle(std::make_shared<CpuPictureStore>()))->AsOpaque();
    return kOk;
  });
}

ZR8_API int32_t ZR8READER_CreateImagePoolGPU(const Zr8OpenCLContextInfo* info, void** pool) {
  return GuardStatus([&]() -> int32_t {
    if (pool == nullptr) return kInvalidArg;
    *pool = nullptr;
    if (info == nullptr) return kInvalidArg;
    std::shared_ptr<PictureStore> store = MakeOpenCLStore(*info);
    if (!store) return kInvalidArg;
    *pool = (new ImagePoolHandle(std::move(store)))->AsOpaque();
    return kOk;
  });
}

// access: bit 0 read, bit 1 write (1 read-only, as the client asks; 2 or 3 to write).
ZR8_API void* ZR8READER_Image_LockForCPU(void* image, int32_t access) {
  return Guard<void*>(nullptr, [&]() -> void* {
    Image* object = Handle::From<Image>(image);
    return object != nullptr ? object->Lock((access & 2) != 0) : nullptr;
  });
}

ZR8_API void* ZR8READER_Image_LockForOpenGL(void*, int32_t) {
  return nullptr;
}

ZR8_API void* ZR8READER_Image_LockForOpenCL(void* image, int32_t) {
  return Guard<void*>(nullptr, [&]() -> void* {
    Image* object = Handle::From<Image>(image);
    return object != nullptr ? object->DeviceBuffer() : nullptr;
  });
}

ZR8_API int32_t ZR8READER_Image_Unlock(void* image) {
  return GuardStatus([&]() -> int32_t {
    Image* object = Handle::From<Image>(image);
    if (object == nullptr) return kInvalidArg;
    return object->Unlock() ? kOk : kFalse;
  });
}

ZR8_API uint32_t ZR8READER_Image_Width(void* image) {
  Image* object = Handle::From<Image>(image);
  return object != nullptr ? object->layout().width : 0;
}

ZR8_API uint32_t ZR8READER_Image_Height(void* image) {
  Image* object = Handle::From<Image>(image);
  return object != nullptr ? object->layout().height : 0;
}

ZR8_API int32_t ZR8READER_Image_PixelType(void* image) {
  Image* object = Handle::From<Image>(image);
  return object != nullptr ? object->layout().pixelType : 0;
}

ZR8_API uint32_t ZR8READER_Image_Attributes(void* image) {
  Image* object = Handle::From<Image>(image);
  return object != nullptr ? object->attributes() : 0;
}

ZR8_API uint32_t ZR8READER_Image_RowBytes(void* image, int32_t plane) {
  Image* object = Handle::From<Image>(image);
  if (object == nullptr || plane < 0 || plane >= object->layout().planes) return 0;
  return object->layout().rowBytes[plane];
}

ZR8_API uint32_t ZR8READER_Image_TotalSize(void* image) {
  Image* object = Handle::From<Image>(image);
  return object != nullptr ? static_cast<uint32_t>(object->layout().totalSize) : 0;
}

ZR8_API double ZR8READER_Image_PAR(void* image) {
  Image* object = Handle::From<Image>(image);
  return object != nullptr ? object->par() : 0.0;
}

ZR8_API int32_t ZR8READER_DeleteBufferPoolHandle(void* pool) {
  return DeleteHandle<BufferPoolHandle>(pool);
}

ZR8_API int32_t ZR8READER_DeleteBufferHandle(void*) {
  return kInvalidArg;
}

ZR8_API int32_t ZR8READER_DeleteImagePoolHandle(void* pool) {
  return DeleteHandle<ImagePoolHandle>(pool);
}

ZR8_API int32_t ZR8READER_DeleteImageHandle(void* image) {
  return DeleteHandle<Image>(image);
}

ZR8_API int32_t ZR8READER_DeleteReadFileHandle(void* file) {
  return DeleteHandle<ReadFile>(file);
}

ZR8_API int32_t ZR8READER_DeleteReadAudioStreamHandle(void* audio) {
  return DeleteHandle<AudioStream>(audio);
}

ZR8_API int32_t ZR8READER_DeleteReadVideoStreamHandle(void* video) {
  return DeleteHandle<VideoStream>(video);
}

}  // extern "C"
