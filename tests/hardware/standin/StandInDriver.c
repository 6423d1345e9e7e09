/* A stand-in NVIDIA driver, built as libcuda.so.1 (devices, primary contexts with the driver's
 * flag rules) and libnvcuvid.so.1 (no coding supported, so FFmpeg's hardware decoder refuses every
 * stream). The tests set devices and failures and read what was asked through the records. */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

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
EXPORT int cuDevicePrimaryCtxRelease_v2(int device) {
  if (Known(device) != kSuccess) return kInvalidDevice;
  if (record.primaryRetains == 0) return kInvalidContext;
  --record.primaryRetains;
  return kSuccess;
}
EXPORT int cuDevicePrimaryCtxRelease(int device)
    __attribute__((alias("cuDevicePrimaryCtxRelease_v2")));

EXPORT int cuCtxCreate_v2(void** context, unsigned int flags, int device) {
  (void)flags;
  if (Known(device) != kSuccess) return kInvalidDevice;
  ++record.contextsCreated;
  *context = malloc(1);
  return *context ? kSuccess : kInvalidValue;
}
EXPORT int cuCtxPushCurrent_v2(void* context) {
  if (context == NULL || depth == 16) return kInvalidContext;
  stack[depth++] = context;
  record.lastPushed = context;
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
  ((unsigned char*)caps)[24] = 0;
  return kSuccess;
}

/* The functions of not-supported.txt, each answering "not supported". */
#define NOT_SUPPORTED(name) \
  EXPORT int name(void) {   \
    return kNotSupported;   \
  }
#include "NotSupported.inc"
