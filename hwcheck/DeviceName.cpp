#include "hwcheck/DeviceName.h"

#include "text/WideText.h"

std::wstring DeviceNameToWide(const char16_t* name, size_t capacity) {
  return platform::Utf16ToWide(name, capacity);
}
