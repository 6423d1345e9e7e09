/* A stand-in for the NVIDIA video decoder library (libnvcuvid.so.1): the capability query answers
 * that no coding is supported, so FFmpeg's hardware decoder refuses every stream. */
#include <string.h>

#include "StandIn.h"

#define EXPORT __attribute__((visibility("default")))

enum { kNotSupported = 801 };

/* CUVIDDECODECAPS: codec, chroma format, bit depth - 8, three reserved words, then bIsSupported. */
enum { kIsSupportedOffset = 24 };

static StandInNvcuvid record;

EXPORT StandInNvcuvid* StandInNvcuvidRecord(void) {
  return &record;
}

EXPORT int cuvidGetDecoderCaps(void* caps) {
  ++record.capsQueries;
  memcpy(&record.lastCodec, caps, sizeof record.lastCodec);
  ((unsigned char*)caps)[kIsSupportedOffset] = 0;
  return 0;
}

#define NOT_SUPPORTED(name) \
  EXPORT int name(void) {   \
    return kNotSupported;   \
  }
NOT_SUPPORTED(cuvidCreateDecoder)
NOT_SUPPORTED(cuvidCreateVideoParser)
NOT_SUPPORTED(cuvidCreateVideoSource)
NOT_SUPPORTED(cuvidCreateVideoSourceW)
NOT_SUPPORTED(cuvidCtxLock)
NOT_SUPPORTED(cuvidCtxLockCreate)
NOT_SUPPORTED(cuvidCtxLockDestroy)
NOT_SUPPORTED(cuvidCtxUnlock)
NOT_SUPPORTED(cuvidDecodePicture)
NOT_SUPPORTED(cuvidDestroyDecoder)
NOT_SUPPORTED(cuvidDestroyVideoParser)
NOT_SUPPORTED(cuvidDestroyVideoSource)
NOT_SUPPORTED(cuvidGetDecodeStatus)
NOT_SUPPORTED(cuvidGetSourceAudioFormat)
NOT_SUPPORTED(cuvidGetSourceVideoFormat)
NOT_SUPPORTED(cuvidGetVideoSourceState)
NOT_SUPPORTED(cuvidMapVideoFrame64)
NOT_SUPPORTED(cuvidParseVideoData)
NOT_SUPPORTED(cuvidReconfigureDecoder)
NOT_SUPPORTED(cuvidSetVideoSourceState)
NOT_SUPPORTED(cuvidUnmapVideoFrame64)
