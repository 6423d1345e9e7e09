// The 76 entry points of the reader library, as one list, the only one written by hand. It belongs
// to the library, beside its public header (Zr8Reader.h), but is not installed: it serves this
// source tree's builds, not programs built against an installed library.
//
// X(name, result type, parameter list, use), use being `called` or `uncalled` (resolved like every
// other entry point, but the client never calls it). Records used in the parameter lists are
// declared by the including file under these names (without the Zr8 prefix of Zr8Reader.h). The
// macros are used for declarations and tables only: the library's check of its public prototypes
// (src/EntryPointCheck.cpp), the export lists of the library and of the test fake
// (zr8reader/cmake/EntryPoints.cmake reads this file), the client's ReaderApi members and loader
// rows (reader/ReaderApi.*) and the test fake's exports.
//
// Order is ABI law. The loader's table resolves the names in row order, ZR8_ENTRY_POINT_ROWS.
// ReaderApi holds the members in the same order but for one pair: its member for the sample reader
// stands before the one for the compressed-format query, ZR8_ENTRY_POINTS.
#pragma once

#define ZR8_ENTRY_POINT_COUNT 76

#define ZR8_ENTRY_POINTS_BEFORE_AUDIO_PAIR(X)                                                      \
  X(ZR8READER_Initialize, int32_t, (void), called)                                                 \
  X(ZR8READER_Uninitialize, int32_t, (void), called)                                               \
  X(ZR8READER_IsSupported, int32_t, (const wchar_t* path), called)                                 \
  X(ZR8READER_OpenReadFile, int32_t, (void** file, const wchar_t* path, int32_t flags), called)    \
  X(ZR8READER_OpenReadFileEx, int32_t,                                                             \
    (void** file, const wchar_t* path, int32_t flags, void* bufferPool), called)                   \
  X(ZR8READER_OpenReadFileEx2, int32_t,                                                            \
    (void** file, const wchar_t* path, int32_t flags, void* bufferPool, void* gpuImagePool),       \
    called)                                                                                        \
  X(ZR8READER_LoadCUDA, int32_t, (void), uncalled)                                                 \
  X(ZR8READER_UnloadCUDA, int32_t, (void), uncalled)                                               \
  X(ZR8READER_InitCUDA, int32_t,                                                                   \
    (int32_t device, int32_t * cudaId, void** cudaHandle1, void** cudaHandle2, wchar_t* text,      \
     int32_t capacity),                                                                            \
    called)                                                                                        \
  X(ZR8READER_UninitCUDA, int32_t, (int32_t * cudaId, void** cudaHandle1, void** cudaHandle2),     \
    called)                                                                                        \
  X(ZR8READER_InitAMF, int32_t,                                                                    \
    (int32_t device, int32_t mode, void** amfHandle1, void** amfHandle2, wchar_t* text,            \
     int32_t capacity),                                                                            \
    called)                                                                                        \
  X(ZR8READER_UninitAMF, int32_t, (void** amfHandle1, void** amfHandle2), called)                  \
  X(ZR8READER_InitQSV, int32_t,                                                                    \
    (int32_t device, int32_t mode, void** qsvHandle, wchar_t* text, int32_t capacity), called)     \
  X(ZR8READER_UninitQSV, int32_t, (void** qsvHandle), called)                                      \
  X(ZR8READER_GetSupportedHardwareDecoders, int32_t,                                               \
    (int32_t capacity, HardwareDecoderInfo * records, int32_t * count), called)                    \
  X(ZR8READER_GetSupportedHardwareDecodersOOP, int32_t,                                            \
    (int32_t capacity, HardwareDecoderInfo * records, int32_t * count, int32_t timeoutMs,          \
     int32_t useCache),                                                                            \
    called)                                                                                        \
  X(ZR8READER_GetHardwareDetectionResults, int32_t, (void* results, int32_t dxgiEnumPreference),   \
    called)                                                                                        \
  X(ZR8READER_GetHardwareDetectionResultsOOP, int32_t,                                             \
    (void* results, int32_t timeoutMs, int32_t useCache, int32_t dxgiEnumPreference), called)      \
  X(ZR8READER_SharedLibrary_SetSearchModeAndPath, int32_t, (int32_t mode, const wchar_t* path),    \
    uncalled)                                                                                      \
  X(ZR8READER_FIOPluginPrefs_GetHardwareDecoderPreference, int32_t, (int32_t * preference),        \
    uncalled)                                                                                      \
  X(ZR8READER_FIOPluginPrefs_SetHardwareDecoderPreference, int32_t, (int32_t preference), called)  \
  X(ZR8READER_FIOPluginPrefs_GetAVCBroadcastDecoderPreference, int32_t, (int32_t * preference),    \
    uncalled)                                                                                      \
  X(ZR8READER_FIOPluginPrefs_SetAVCBroadcastDecoderPreference, int32_t, (int32_t preference),      \
    uncalled)                                                                                      \
  X(ZR8READER_FIOPluginPrefs_GetCUDAContext, int32_t,                                              \
    (int32_t * cudaId, void** cudaHandle1, void** cudaHandle2), uncalled)                          \
  X(ZR8READER_FIOPluginPrefs_SetCUDAContext, int32_t,                                              \
    (int32_t cudaId, void* cudaHandle1, void* cudaHandle2), called)                                \
  X(ZR8READER_FIOPluginPrefs_GetAMFContext, int32_t,                                               \
    (int32_t * device, int32_t * mode, void** amfHandle1, void** amfHandle2), uncalled)            \
  X(ZR8READER_FIOPluginPrefs_SetAMFContext, int32_t,                                               \
    (int32_t device, int32_t mode, void* amfHandle1, void* amfHandle2), called)                    \
  X(ZR8READER_FIOPluginPrefs_GetQSVImplHW, int32_t, (int32_t * implementation), uncalled)          \
  X(ZR8READER_FIOPluginPrefs_SetQSVImplHW, int32_t, (int32_t implementation), uncalled)            \
  X(ZR8READER_ReadFile_CloseFile, int32_t, (void* file), called)                                   \
  X(ZR8READER_ReadFile_IsFileOpen, int32_t, (void* file), called)                                  \
  X(ZR8READER_ReadFile_GetFileName, int32_t, (void* file, wchar_t* name, int32_t capacity),        \
    called)                                                                                        \
  X(ZR8READER_ReadFile_GetFileLength, int64_t, (void* file), called)                               \
  X(ZR8READER_ReadFile_GetAudioStreamCount, int32_t, (void* file), called)                         \
  X(ZR8READER_ReadFile_OpenAudioStream, int32_t, (void* file, int32_t index, void** audio),        \
    called)                                                                                        \
  X(ZR8READER_ReadFile_GetVideoStreamCount, int32_t, (void* file), called)                         \
  X(ZR8READER_ReadFile_GetDecoderOptions, int32_t,                                                 \
    (void* file, int32_t index, DecodePrefs* prefs), uncalled)                                     \
  X(ZR8READER_ReadFile_GetDecoderPixelTypes, int32_t,                                              \
    (void* file, int32_t index, int32_t* types, int32_t capacity, int32_t* count), uncalled)       \
  X(ZR8READER_ReadFile_GetDecoderColorSpaces, int32_t,                                             \
    (void* file, int32_t index, int32_t* colorSpaces, int32_t capacity, int32_t* count), uncalled) \
  X(ZR8READER_ReadFile_OpenVideoStream, int32_t,                                                   \
    (void* file, int32_t index, const DecodePrefs* prefs, void* imagePool, void** video), called)  \
  X(ZR8READER_ReadAudioStream_GetStreamLength, int64_t, (void* audio), called)                     \
  X(ZR8READER_ReadAudioStream_GetSampleCount, int64_t, (void* audio), called)                      \
  X(ZR8READER_ReadAudioStream_GetFormat, int32_t, (void* audio, AudioCompressedFormat* format),    \
    uncalled)

#define ZR8_ENTRY_POINT_AUDIO_COMPRESSED_FORMAT(X)          \
  X(ZR8READER_ReadAudioStream_GetCompressedFormat, int32_t, \
    (void* audio, AudioCompressedFormat* format), called)

#define ZR8_ENTRY_POINT_AUDIO_SAMPLES(X)                                                      \
  X(ZR8READER_ReadAudioStream_GetSamples, int32_t,                                            \
    (void* audio, int64_t startFrame, float* buffer, int64_t maxFrames, int64_t* framesRead), \
    called)

#define ZR8_ENTRY_POINTS_AFTER_AUDIO_PAIR(X)                                                      \
  X(ZR8READER_ReadAudioStream_GetCompressedSamples, int32_t,                                      \
    (void* audio, int64_t startPacket, void* buffer, int64_t capacity, int64_t* bytesRead),       \
    uncalled)                                                                                     \
  X(ZR8READER_ReadVideoStream_GetStreamLength, int64_t, (void* video), called)                    \
  X(ZR8READER_ReadVideoStream_GetFrameCount, int64_t, (void* video), called)                      \
  X(ZR8READER_ReadVideoStream_GetFormat, int32_t, (void* video, VideoFormat* format), called)     \
  X(ZR8READER_ReadVideoStream_GetCompressedFormat, int32_t,                                       \
    (void* video, VideoCompressedFormat* format), called)                                         \
  X(ZR8READER_ReadVideoStream_PrepareFrame, int32_t, (void* video, int64_t frameIndex), uncalled) \
  X(ZR8READER_ReadVideoStream_CancelPrepareFrame, int32_t, (void* video, int64_t frameIndex),     \
    uncalled)                                                                                     \
  X(ZR8READER_ReadVideoStream_GetFrame, int32_t, (void* video, int64_t frameIndex, void** image), \
    called)                                                                                       \
  X(ZR8READER_ReadVideoStream_GetDecodePrefs, int32_t, (void* video, DecodePrefs* prefs), called) \
  X(ZR8READER_CreateBufferPoolCPU, int32_t, (void** pool), called)                                \
  X(ZR8READER_CreateBufferPoolGPU, int32_t, (const OpenCLContextInfo* info, void** pool),         \
    uncalled)                                                                                     \
  X(ZR8READER_CreateImagePoolCPU, int32_t, (void** pool), called)                                 \
  X(ZR8READER_CreateImagePoolGPU, int32_t, (const OpenCLContextInfo* info, void** pool), called)  \
  X(ZR8READER_Image_LockForCPU, void*, (void* image, int32_t access), called)                     \
  X(ZR8READER_Image_LockForOpenGL, void*, (void* image, int32_t access), uncalled)                \
  X(ZR8READER_Image_LockForOpenCL, void*, (void* image, int32_t access), uncalled)                \
  X(ZR8READER_Image_Unlock, int32_t, (void* image), called)                                       \
  X(ZR8READER_Image_Width, uint32_t, (void* image), uncalled)                                     \
  X(ZR8READER_Image_Height, uint32_t, (void* image), uncalled)                                    \
  X(ZR8READER_Image_PixelType, int32_t, (void* image), uncalled)                                  \
  X(ZR8READER_Image_Attributes, uint32_t, (void* image), uncalled)                                \
  X(ZR8READER_Image_RowBytes, uint32_t, (void* image, int32_t plane), uncalled)                   \
  X(ZR8READER_Image_TotalSize, uint32_t, (void* image), called)                                   \
  X(ZR8READER_Image_PAR, double, (void* image), uncalled)                                         \
  X(ZR8READER_DeleteBufferPoolHandle, int32_t, (void* pool), called)                              \
  X(ZR8READER_DeleteBufferHandle, int32_t, (void* buffer), uncalled)                              \
  X(ZR8READER_DeleteImagePoolHandle, int32_t, (void* pool), called)                               \
  X(ZR8READER_DeleteImageHandle, int32_t, (void* image), called)                                  \
  X(ZR8READER_DeleteReadFileHandle, int32_t, (void* file), called)                                \
  X(ZR8READER_DeleteReadAudioStreamHandle, int32_t, (void* audio), called)                        \
  X(ZR8READER_DeleteReadVideoStreamHandle, int32_t, (void* video), called)

// Member order of ReaderApi.
#define ZR8_ENTRY_POINTS(X)             \
  ZR8_ENTRY_POINTS_BEFORE_AUDIO_PAIR(X) \
  ZR8_ENTRY_POINT_AUDIO_SAMPLES(X)      \
  ZR8_ENTRY_POINT_AUDIO_COMPRESSED_FORMAT(X) ZR8_ENTRY_POINTS_AFTER_AUDIO_PAIR(X)

// Row order of the loader's table: the order of resolution, and of the exported names' table.
#define ZR8_ENTRY_POINT_ROWS(X)              \
  ZR8_ENTRY_POINTS_BEFORE_AUDIO_PAIR(X)      \
  ZR8_ENTRY_POINT_AUDIO_COMPRESSED_FORMAT(X) \
  ZR8_ENTRY_POINT_AUDIO_SAMPLES(X) ZR8_ENTRY_POINTS_AFTER_AUDIO_PAIR(X)
