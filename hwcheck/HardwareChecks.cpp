// The hardware decoder checks. Not built yet: the preamble runs and the check ends.
#include "hwcheck/HardwareChecks.h"

#include "reader/Preamble.h"

int32_t HardwareCheck(std::wstring) {
  return StartHardwareMode("\nCheck for supported hardware decoders\n");
}

int32_t HardwareCheckOOP(std::wstring, int32_t, bool) {
  return StartHardwareMode(
      "\nCheck for supported hardware decoders via Out-of-Process launch ...\n");
}

int32_t HardwareDetection(std::wstring, bool, int32_t, bool, int32_t) {
  return StartHardwareMode(
      "\nCheck for supported hardware decoders, plus print all collected information\n");
}
