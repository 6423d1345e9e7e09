// The 76 entry points of the reader library, as one list.
//
// Order is ABI law: this list is in the member order of ReaderApi, which is the row order of the
// loader's table except for one pair (the sample reader stands before the compressed-format query).
// The loader's table in ReaderApi.cpp names every member explicitly in row order.
//
// X(name, result type, parameter list). The list is used for declarations only: the members of
// ReaderApi and the exported prototypes of the test fake.
//
// Records used in the parameter lists are declared by the including file.
#pragma once

#define ZR8_ENTRY_POINT_COUNT 76

#define ZR8_ENTRY_POINTS(X)                                                                       \
  X(ZR8READER_Initialize, int32_t, (void))                                                        \
  X(ZR8READER_Uninitialize, int32_t, (void))                                                      \
  X(ZR8READER_IsSupported, int32_t, (const wchar_t* path))                                        \
  X(ZR8READER_OpenReadFile, int32_t, (void** file, const wchar_t* path, int32_t flags))           \
  X(ZR8READER_OpenReadFileEx, int32_t,                                                            \
    (void** file, const wchar_t* path, int32_t flags, void* bufferPool))                          \
  X(ZR8READER_OpenReadFileEx2, int32_t,                                                           \
    (void** file, const wchar_t* path, int32_t flags, void* bufferPool, void* gpuImagePool))      \
  X(ZR8READER_LoadCUDA, int32_t, (void))                                                          \
  X(ZR8READER_UnloadCUDA, int32_t, (void))                                                        \
  X(ZR8READER_InitCUDA, int32_t,                                                                  \
    (int32_t device, int32_t * cudaId, void** cudaHandle1, void** cudaHandle2, wchar_t* text,     \
     int32_t capacity))                                                                           \
  X(ZR8READER_UninitCUDA, int32_t, (int32_t * cudaId, void** cudaHandle1, void** cudaHandle2))    \
  X(ZR8READER_InitAMF, int32_t,                                                                   \
    (int32_t device, int32_t mode, void** amfHandle1, void** amfHandle2, wchar_t* text,           \
     int32_t capacity))                                                                           \
  X(ZR8READER_UninitAMF, int32_t, (void** amfHandle1, void** amfHandle2))                         \
  X(ZR8READER_InitQSV, int32_t,                                                                   \
    (int32_t device, int32_t mode, void** qsvHandle, wchar_t* text, int32_t capacity))            \
  X(ZR8READER_UninitQSV, int32_t, (void** qsvHandle))                                             \
  X(ZR8READER_GetSupportedHardwareDecoders, int32_t,                                              \
    (int32_t capacity, HardwareDecoderInfo * records, int32_t * count))                           \
  X(ZR8READER_GetSupportedHardwareDecodersOOP, int32_t,                                           \
    (int32_t capacity, HardwareDecoderInfo * records, int32_t * count, int32_t timeoutMs,         \
     int32_t useCache))                                                                           \
  X(ZR8READER_GetHardwareDetectionResults, int32_t, (void* results, int32_t dxgiEnumPreference))  \
  X(ZR8READER_GetHardwareDetectionResultsOOP, int32_t,                                            \
    (void* results, int32_t timeoutMs, int32_t useCache, int32_t dxgiEnumPreference))             \
  X(ZR8READER_SharedLibrary_SetSearchModeAndPath, int32_t, (int32_t mode, const wchar_t* path))   \
  X(ZR8READER_FIOPluginPrefs_GetHardwareDecoderPreference, int32_t, (int32_t * preference))       \
  X(ZR8READER_FIOPluginPrefs_SetHardwareDecoderPreference, int32_t, (int32_t preference))         \
  X(ZR8READER_FIOPluginPrefs_GetAVCBroadcastDecoderPreference, int32_t, (int32_t * preference))   \
  X(ZR8READER_FIOPluginPrefs_SetAVCBroadcastDecoderPreference, int32_t, (int32_t preference))     \
  X(ZR8READER_FIOPluginPrefs_GetCUDAContext, int32_t,                                             \
    (int32_t * cudaId, void** cudaHandle1, void** cudaHandle2))                                   \
  X(ZR8READER_FIOPluginPrefs_SetCUDAContext, int32_t,                                             \
    (int32_t cudaId, void* cudaHandle1, void* cudaHandle2))                                       \
  X(ZR8READER_FIOPluginPrefs_GetAMFContext, int32_t,                                              \
    (int32_t * device, int32_t * mode, void** amfHandle1, void** amfHandle2))                     \
  X(ZR8READER_FIOPluginPrefs_SetAMFContext, int32_t,                                              \
    (int32_t device, int32_t mode, void* amfHandle1, void* amfHandle2))                           \
  X(ZR8READER_FIOPluginPrefs_GetQSVImplHW, int32_t, (int32_t * implementation))                   \
  X(ZR8READER_FIOPluginPrefs_SetQSVImplHW, int32_t, (int32_t implementation))                     \
  X(ZR8READER_ReadFile_CloseFile, int32_t, (void* file))                                          \
  X(ZR8READER_ReadFile_IsFileOpen, int32_t, (void* file))                                         \
  X(ZR8READER_ReadFile_GetFileName, int32_t, (void* file, wchar_t* name, int32_t capacity))       \
  X(ZR8READER_ReadFile_GetFileLength, int64_t, (void* file))                                      \
  X(ZR8READER_ReadFile_GetAudioStreamCount, int32_t, (void* file))                                \
  X(ZR8READER_ReadFile_OpenAudioStream, int32_t, (void* file, int32_t index, void** audio))       \
  X(ZR8READER_ReadFile_GetVideoStreamCount, int32_t, (void* file))                                \
  X(ZR8READER_ReadFile_GetDecoderOptions, int32_t,                                                \
    (void* file, int32_t index, DecodePrefs* prefs))                                              \
  X(ZR8READER_ReadFile_GetDecoderPixelTypes, int32_t,                                             \
    (void* file, int32_t index, int32_t* types, int32_t capacity, int32_t* count))                \
  X(ZR8READER_ReadFile_GetDecoderColorSpaces, int32_t,                                            \
    (void* file, int32_t index, int32_t* colorSpaces, int32_t capacity, int32_t* count))          \
  X(ZR8READER_ReadFile_OpenVideoStream, int32_t,                                                  \
    (void* file, int32_t index, const DecodePrefs* prefs, void* imagePool, void** video))         \
  X(ZR8READER_ReadAudioStream_GetStreamLength, int64_t, (void* audio))                            \
  X(ZR8READER_ReadAudioStream_GetSampleCount, int64_t, (void* audio))                             \
  X(ZR8READER_ReadAudioStream_GetFormat, int32_t, (void* audio, AudioCompressedFormat* format))   \
  X(ZR8READER_ReadAudioStream_GetSamples, int32_t,                                                \
    (void* audio, int64_t startFrame, float* buffer, int64_t maxFrames, int64_t* framesRead))     \
  X(ZR8READER_ReadAudioStream_GetCompressedFormat, int32_t,                                       \
    (void* audio, AudioCompressedFormat* format))                                                 \
  X(ZR8READER_ReadAudioStream_GetCompressedSamples, int32_t,                                      \
    (void* audio, int64_t startPacket, void* buffer, int64_t capacity, int64_t* bytesRead))       \
  X(ZR8READER_ReadVideoStream_GetStreamLength, int64_t, (void* video))                            \
  X(ZR8READER_ReadVideoStream_GetFrameCount, int64_t, (void* video))                              \
  X(ZR8READER_ReadVideoStream_GetFormat, int32_t, (void* video, VideoFormat* format))             \
  X(ZR8READER_ReadVideoStream_GetCompressedFormat, int32_t,                                       \
    (void* video, VideoCompressedFormat* format))                                                 \
  X(ZR8READER_ReadVideoStream_PrepareFrame, int32_t, (void* video, int64_t frameIndex))           \
  X(ZR8READER_ReadVideoStream_CancelPrepareFrame, int32_t, (void* video, int64_t frameIndex))     \
  X(ZR8READER_ReadVideoStream_GetFrame, int32_t, (void* video, int64_t frameIndex, void** image)) \
  X(ZR8READER_ReadVideoStream_GetDecodePrefs, int32_t, (void* video, DecodePrefs* prefs))         \
  X(ZR8READER_CreateBufferPoolCPU, int32_t, (void** pool))                                        \
  X(ZR8READER_CreateBufferPoolGPU, int32_t, (const OpenCLContextInfo* info, void** pool))         \
  X(ZR8READER_CreateImagePoolCPU, int32_t, (void** pool))                                         \
  X(ZR8READER_CreateImagePoolGPU, int32_t, (const OpenCLContextInfo* info, void** pool))          \
  X(ZR8READER_Image_LockForCPU, void*, (void* image, int32_t access))                             \
  X(ZR8READER_Image_LockForOpenGL, void*, (void* image, int32_t access))                          \
  X(ZR8READER_Image_LockForOpenCL, void*, (void* image, int32_t access))                          \
  X(ZR8READER_Image_Unlock, int32_t, (void* image))                                               \
  X(ZR8READER_Image_Width, uint32_t, (void* image))                                               \
  X(ZR8READER_Image_Height, uint32_t, (void* image))                                              \
  X(ZR8READER_Image_PixelType, int32_t, (void* image))                                            \
  X(ZR8READER_Image_Attributes, uint32_t, (void* image))                                          \
  X(ZR8READER_Image_RowBytes, uint32_t, (void* image, int32_t plane))                             \
  X(ZR8READER_Image_TotalSize, uint32_t, (void* image))                                           \
  X(ZR8READER_Image_PAR, double, (void* image))                                                   \
  X(ZR8READER_DeleteBufferPoolHandle, int32_t, (void* pool))                                      \
  X(ZR8READER_DeleteBufferHandle, int32_t, (void* buffer))                                        \
  X(ZR8READER_DeleteImagePoolHandle, int32_t, (void* pool))                                       \
  X(ZR8READER_DeleteImageHandle, int32_t, (void* image))                                          \
  X(ZR8READER_DeleteReadFileHandle, int32_t, (void* file))                                        \
  X(ZR8READER_DeleteReadAudioStreamHandle, int32_t, (void* audio))                                \
  X(ZR8READER_DeleteReadVideoStreamHandle, int32_t, (void* video))
