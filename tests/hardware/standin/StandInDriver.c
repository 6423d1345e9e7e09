/* A stand-in for the NVIDIA driver libraries on a machine without a GPU, built twice: as
 * libcuda.so.1 (devices and their primary contexts with the driver's flag rules) and as
 * libnvcuvid.so.1 (a video decoder whose capability query says that no coding is supported, so
 * FFmpeg's hardware decoder refuses every stream). Every other function FFmpeg's loaders resolve
 * answers "not supported": none is called on the way to that refusal. What was asked of it is
 * recorded for the tests (StandInCudaRecord, StandInNvcuvidRecord), which also set the devices and
 * the failures. */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "StandIn.h"

#define EXPORT __attribute__((visibility("default")))

enum {
  kSuccess = 0,
  kInvalidValue = 1,
  kInvalidDevice = 101,
  kInvalidContext = 201,
  kContextActive = 708,
  kNotSupported = 801
};

static StandInCuda record = {.deviceCount = 1};
static StandInNvcuvid cuvid;
static char primary[kStandInMaxDevices]; /* a primary context's address is its handle */
static __thread void* stack[16];
static __thread int depth;

EXPORT StandInCuda* StandInCudaRecord(void) {
  return &record;
}
EXPORT StandInNvcuvid* StandInNvcuvidRecord(void) {
  return &cuvid;
}

static int Known(int device) {
  return device >= 0 && device < record.deviceCount && device < kStandInMaxDevices ? kSuccess
                                                                                   : kInvalidDevice;
}

EXPORT int cuInit(unsigned int flags) {
  (void)flags;
  return record.initResult;
}
EXPORT int cuDriverGetVersion(int* version) {
  *version = 12040;
  return kSuccess;
}
EXPORT int cuDeviceGetCount(int* count) {
  *count = record.deviceCount;
  return kSuccess;
}
EXPORT int cuDeviceGet(int* device, int ordinal) {
  if (Known(ordinal) != kSuccess) return kInvalidDevice;
  *device = ordinal;
  return kSuccess;
}
EXPORT int cuDeviceGetName(char* name, int length, int device) {
  if (Known(device) != kSuccess) return kInvalidDevice;
  snprintf(name, (size_t)length, device ? "Stand-in GPU %d" : "Stand-in GPU", device);
  return kSuccess;
}
EXPORT int cuDeviceTotalMem_v2(size_t* bytes, int device) {
  *bytes = (size_t)8 << 30;
  return Known(device);
}

EXPORT int cuDeviceGetAttribute(int* value, int attribute, int device) {
  (void)attribute;
  *value = 0;
  return Known(device);
}

EXPORT int cuDevicePrimaryCtxGetState(int device, unsigned int* flags, int* active) {
  if (Known(device) != kSuccess) return kInvalidDevice;
  *flags = record.primaryFlags;
  *active = record.primaryRetains > 0;
  return kSuccess;
}
/* The first version refuses while the context is active; the second takes the flags anyway. */
EXPORT int cuDevicePrimaryCtxSetFlags(int device, unsigned int flags) {
  if (Known(device) != kSuccess) return kInvalidDevice;
  if (record.primaryRetains > 0) return kContextActive;
  record.primaryFlags = flags;
  return kSuccess;
}
EXPORT int cuDevicePrimaryCtxSetFlags_v2(int device, unsigned int flags) {
  if (Known(device) != kSuccess) return kInvalidDevice;
  record.primaryFlags = flags;
  return kSuccess;
}
EXPORT int cuDevicePrimaryCtxRetain(void** context, int device) {
  if (Known(device) != kSuccess) return kInvalidDevice;
  if (record.retainResult != kSuccess) return record.retainResult;
  if (record.primaryRetains++ == 0) record.flagsWhenMadeActive = record.primaryFlags;
  record.primaryContext = &primary[device];
  *context = &primary[device];
  return kSuccess;
}
static int Release(int device) {
  if (Known(device) != kSuccess) return kInvalidDevice;
  if (record.primaryRetains == 0) return kInvalidContext;
  --record.primaryRetains;
  return kSuccess;
}
EXPORT int cuDevicePrimaryCtxRelease(int device) {
  return Release(device);
}
EXPORT int cuDevicePrimaryCtxRelease_v2(int device) {
  return Release(device);
}

EXPORT int cuCtxCreate_v2(void** context, unsigned int flags, int device) {
  (void)flags;
  if (Known(device) != kSuccess) return kInvalidDevice;
  ++record.contextsCreated;
  *context = malloc(1);
  return *context ? kSuccess : kInvalidValue;
}
EXPORT int cuCtxDestroy_v2(void* context) {
  free(context);
  return kSuccess;
}
EXPORT int cuCtxPushCurrent_v2(void* context) {
  if (context == NULL || depth == 16) return kInvalidContext;
  stack[depth++] = context;
  record.lastPushed = context;
  ++record.pushes;
  return kSuccess;
}
EXPORT int cuCtxPopCurrent_v2(void** context) {
  if (depth == 0) return kInvalidContext;
  --depth;
  if (context) *context = stack[depth];
  return kSuccess;
}

EXPORT int cuGetErrorName(int error, const char** text) {
  *text = error == kNotSupported ? "CUDA_ERROR_NOT_SUPPORTED" : "CUDA_ERROR_STAND_IN";
  return kSuccess;
}
EXPORT int cuGetErrorString(int error, const char** text) {
  *text = error == kNotSupported ? "not supported by the stand-in driver" : "stand-in error";
  return kSuccess;
}

/* CUVIDDECODECAPS: codec, chroma format, bit depth - 8, three reserved words, then bIsSupported. */
EXPORT int cuvidGetDecoderCaps(void* caps) {
  ++cuvid.capsQueries;
  memcpy(&cuvid.lastCodec, caps, sizeof cuvid.lastCodec);
  ((unsigned char*)caps)[24] = 0;
  return kSuccess;
}

/* Resolved by FFmpeg's loaders, never needed on the way to the decoder's refusal: each answers
 * "not supported". */
/* clang-format off */
#define NOT_SUPPORTED_LIST(X) \
  X(cuDeviceComputeCapability) X(cuDeviceGetUuid) X(cuDevicePrimaryCtxReset) X(cuCtxSetLimit) X(cuStreamSynchronize) X(cuMemAlloc_v2) X(cuMemFree_v2) X(cuCtxGetDevice) X(cuArray3DCreate_v2) X(cuArrayDestroy) X(cuDestroyExternalMemory) X(cuDestroyExternalSemaphore) \
  X(cuEGLStreamConsumerDisconnect) X(cuEGLStreamProducerConnect) X(cuEGLStreamProducerDisconnect) \
  X(cuEGLStreamProducerPresentFrame) X(cuEGLStreamProducerReturnFrame) X(cuEventCreate) \
  X(cuEventDestroy_v2) X(cuEventQuery) X(cuEventRecord) X(cuEventSynchronize) \
  X(cuExternalMemoryGetMappedBuffer) X(cuExternalMemoryGetMappedMipmappedArray) \
  X(cuGLGetDevices_v2) X(cuGraphicsGLRegisterImage) X(cuGraphicsMapResources) \
  X(cuGraphicsResourceGetMappedPointer_v2) X(cuGraphicsSubResourceGetMappedArray) \
  X(cuGraphicsUnmapResources) X(cuGraphicsUnregisterResource) X(cuImportExternalMemory) \
  X(cuImportExternalSemaphore) X(cuLaunchKernel) X(cuLinkAddData) X(cuLinkComplete) X(cuLinkCreate) \
  X(cuLinkDestroy) X(cuMemAllocManaged) X(cuMemAllocPitch_v2) X(cuMemcpy) X(cuMemcpy2DAsync_v2) \
  X(cuMemcpy2D_v2) X(cuMemcpyAsync) X(cuMemcpyDtoDAsync_v2) X(cuMemcpyDtoD_v2) \
  X(cuMemcpyDtoHAsync_v2) X(cuMemcpyDtoH_v2) X(cuMemcpyHtoDAsync_v2) X(cuMemcpyHtoD_v2) \
  X(cuMemsetD8Async) X(cuMipmappedArrayDestroy) X(cuMipmappedArrayGetLevel) X(cuModuleGetFunction) \
  X(cuModuleGetGlobal) X(cuModuleLoadData) X(cuModuleUnload) X(cuSignalExternalSemaphoresAsync) \
  X(cuStreamAddCallback) X(cuStreamCreate) X(cuStreamDestroy_v2) X(cuStreamQuery) \
  X(cuTexObjectCreate) X(cuTexObjectDestroy) X(cuWaitExternalSemaphoresAsync) \
  X(cuvidCreateDecoder) X(cuvidCreateVideoParser) X(cuvidCreateVideoSource) \
  X(cuvidCreateVideoSourceW) X(cuvidCtxLock) X(cuvidCtxLockCreate) X(cuvidCtxLockDestroy) \
  X(cuvidCtxUnlock) X(cuvidDecodePicture) X(cuvidDestroyDecoder) X(cuvidDestroyVideoParser) \
  X(cuvidDestroyVideoSource) X(cuvidGetDecodeStatus) X(cuvidGetSourceAudioFormat) \
  X(cuvidGetSourceVideoFormat) X(cuvidGetVideoSourceState) X(cuvidMapVideoFrame64) \
  X(cuvidParseVideoData) X(cuvidReconfigureDecoder) X(cuvidSetVideoSourceState) \
  X(cuvidUnmapVideoFrame64)
/* clang-format on */
#define NOT_SUPPORTED(name) \
  EXPORT int name(void) {   \
    return kNotSupported;   \
  }
NOT_SUPPORTED_LIST(NOT_SUPPORTED)
