// libFuzzer entry point; ZR8_FUZZ_AUDIO picks the audio exercise, else video.
#include "Exercise.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
#ifdef ZR8_FUZZ_AUDIO
  zr8fuzz::Exercise(data, size, zr8fuzz::Mode::Audio);
#else
  zr8fuzz::Exercise(data, size, zr8fuzz::Mode::Video);
#endif
  return 0;
}
