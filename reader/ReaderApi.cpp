#include "reader/ReaderApi.h"

#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "platform/Platform.h"

ReaderApi readerApi{};

#define ZR8_ROW(member) \
  { static_cast<int32_t>(offsetof(ReaderApi, member)), #member }

// Row order is the order of resolution; each row names its member, so the one place where the
// member order differs (the sample reader, rows 44 and 45) cannot get mixed up.
const ReaderEntryPoint readerEntryPoints[ZR8_ENTRY_POINT_COUNT] = {
    ZR8_ROW(ZR8READER_Initialize),
    ZR8_ROW(ZR8READER_Uninitialize),
    ZR8_ROW(ZR8READER_IsSupported),
    ZR8_ROW(ZR8READER_OpenReadFile),
    ZR8_ROW(ZR8READER_OpenReadFileEx),
    ZR8_ROW(ZR8READER_OpenReadFileEx2),
    ZR8_ROW(ZR8READER_LoadCUDA),
    ZR8_ROW(ZR8READER_UnloadCUDA),
    ZR8_ROW(ZR8READER_InitCUDA),
    ZR8_ROW(ZR8READER_UninitCUDA),
    ZR8_ROW(ZR8READER_InitAMF),
    ZR8_ROW(ZR8READER_UninitAMF),
    ZR8_ROW(ZR8READER_InitQSV),
    ZR8_ROW(ZR8READER_UninitQSV),
    ZR8_ROW(ZR8READER_GetSupportedHardwareDecoders),
    ZR8_ROW(ZR8READER_GetSupportedHardwareDecodersOOP),
    ZR8_ROW(ZR8READER_GetHardwareDetectionResults),
    ZR8_ROW(ZR8READER_GetHardwareDetectionResultsOOP),
    ZR8_ROW(ZR8READER_SharedLibrary_SetSearchModeAndPath),
    ZR8_ROW(ZR8READER_FIOPluginPrefs_GetHardwareDecoderPreference),
    ZR8_ROW(ZR8READER_FIOPluginPrefs_SetHardwareDecoderPreference),
    ZR8_ROW(ZR8READER_FIOPluginPrefs_GetAVCBroadcastDecoderPreference),
    ZR8_ROW(ZR8READER_FIOPluginPrefs_SetAVCBroadcastDecoderPreference),
    ZR8_ROW(ZR8READER_FIOPluginPrefs_GetCUDAContext),
    ZR8_ROW(ZR8READER_FIOPluginPrefs_SetCUDAContext),
    ZR8_ROW(ZR8READER_FIOPluginPrefs_GetAMFContext),
    ZR8_ROW(ZR8READER_FIOPluginPrefs_SetAMFContext),
    ZR8_ROW(ZR8READER_FIOPluginPrefs_GetQSVImplHW),
    ZR8_ROW(ZR8READER_FIOPluginPrefs_SetQSVImplHW),
    ZR8_ROW(ZR8READER_ReadFile_CloseFile),
    ZR8_ROW(ZR8READER_ReadFile_IsFileOpen),
    ZR8_ROW(ZR8READER_ReadFile_GetFileName),
    ZR8_ROW(ZR8READER_ReadFile_GetFileLength),
    ZR8_ROW(ZR8READER_ReadFile_GetAudioStreamCount),
    ZR8_ROW(ZR8READER_ReadFile_OpenAudioStream),
    ZR8_ROW(ZR8READER_ReadFile_GetVideoStreamCount),
    ZR8_ROW(ZR8READER_ReadFile_GetDecoderOptions),
    ZR8_ROW(ZR8READER_ReadFile_GetDecoderPixelTypes),
    ZR8_ROW(ZR8READER_ReadFile_GetDecoderColorSpaces),
    ZR8_ROW(ZR8READER_ReadFile_OpenVideoStream),
    ZR8_ROW(ZR8READER_ReadAudioStream_GetStreamLength),
    ZR8_ROW(ZR8READER_ReadAudioStream_GetSampleCount),
    ZR8_ROW(ZR8READER_ReadAudioStream_GetFormat),
    ZR8_ROW(ZR8READER_ReadAudioStream_GetCompressedFormat),
    ZR8_ROW(ZR8READER_ReadAudioStream_GetSamples),
    ZR8_ROW(ZR8READER_ReadAudioStream_GetCompressedSamples),
    ZR8_ROW(ZR8READER_ReadVideoStream_GetStreamLength),
    ZR8_ROW(ZR8READER_ReadVideoStream_GetFrameCount),
    ZR8_ROW(ZR8READER_ReadVideoStream_GetFormat),
    ZR8_ROW(ZR8READER_ReadVideoStream_GetCompressedFormat),
    ZR8_ROW(ZR8READER_ReadVideoStream_PrepareFrame),
    ZR8_ROW(ZR8READER_ReadVideoStream_CancelPrepareFrame),
    ZR8_ROW(ZR8READER_ReadVideoStream_GetFrame),
    ZR8_ROW(ZR8READER_ReadVideoStream_GetDecodePrefs),
    ZR8_ROW(ZR8READER_CreateBufferPoolCPU),
    ZR8_ROW(ZR8READER_CreateBufferPoolGPU),
    ZR8_ROW(ZR8READER_CreateImagePoolCPU),
    ZR8_ROW(ZR8READER_CreateImagePoolGPU),
    ZR8_ROW(ZR8READER_Image_LockForCPU),
    ZR8_ROW(ZR8READER_Image_LockForOpenGL),
    ZR8_ROW(ZR8READER_Image_LockForOpenCL),
    ZR8_ROW(ZR8READER_Image_Unlock),
    ZR8_ROW(ZR8READER_Image_Width),
    ZR8_ROW(ZR8READER_Image_Height),
    ZR8_ROW(ZR8READER_Image_PixelType),
    ZR8_ROW(ZR8READER_Image_Attributes),
    ZR8_ROW(ZR8READER_Image_RowBytes),
    ZR8_ROW(ZR8READER_Image_TotalSize),
    ZR8_ROW(ZR8READER_Image_PAR),
    ZR8_ROW(ZR8READER_DeleteBufferPoolHandle),
    ZR8_ROW(ZR8READER_DeleteBufferHandle),
    ZR8_ROW(ZR8READER_DeleteImagePoolHandle),
    ZR8_ROW(ZR8READER_DeleteImageHandle),
    ZR8_ROW(ZR8READER_DeleteReadFileHandle),
    ZR8_ROW(ZR8READER_DeleteReadAudioStreamHandle),
    ZR8_ROW(ZR8READER_DeleteReadVideoStreamHandle),
};

#undef ZR8_ROW

int32_t ResolveEntryPoints(ReaderApi* api, SymbolResolver resolve, void* context) {
  for (const ReaderEntryPoint& row : readerEntryPoints) {
    if (row.name == nullptr) return kStatusOk;
    void* address = resolve(context, row.name);
    if (address == nullptr) return kStatusNoInterface;
    // The member at row.position is a function pointer of the same size as a data pointer.
    std::memcpy(reinterpret_cast<unsigned char*>(api) + row.position, &address, sizeof(address));
  }
  return kStatusOk;
}

int32_t LoadReaderLibrary(void** moduleOut) {
  const wchar_t* path = platform::ReaderLibraryPath();
  void* module = platform::LoadDynamicLibrary(path);
  if (module == nullptr) {
    const int error = platform::LastLoadError();
    DebugLog("LoadLibrary error=%d, failed on '%S'", error, path);
  }
  if (moduleOut != nullptr) *moduleOut = module;
  if (module == nullptr) return kStatusFail;
  return ResolveEntryPoints(
      &readerApi,
      [](void* library, const char* name) { return platform::FindSymbol(library, name); }, module);
}

void DebugLog(const char* format, ...) {
  constexpr size_t kBufferSize = 512;
  constexpr char kPrefix[] = "[DEBUG]";
  constexpr size_t kPrefixLength = sizeof(kPrefix) - 1;
  char buffer[kBufferSize] = {};
  std::memcpy(buffer, kPrefix, kPrefixLength);
  va_list arguments;
  va_start(arguments, format);
  // A text longer than the 505 bytes behind the prefix is cut short.
  std::vsnprintf(buffer + kPrefixLength, kBufferSize - kPrefixLength, format, arguments);
  va_end(arguments);
  platform::WriteDebuggerText(buffer);
}
