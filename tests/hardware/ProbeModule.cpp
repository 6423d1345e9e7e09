// A shared object holding the hardware module, as the reader library will: where does the module
// look for its helper?
#include <string>

#include "zr8hardware/Hardware.h"

extern "C" __attribute__((visibility("default"))) const char* Zr8HwProbeHelperPath() {
  static const std::string path = zr8hw::DefaultOutOfProcessConfig().helperPath;
  return path.c_str();
}
