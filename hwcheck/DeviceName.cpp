#include "hwcheck/DeviceName.h"

namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool IsHighSurrogate(char32_t unit) {
  return unit >= 0xD800 && unit <= 0xDBFF;
}
bool IsLowSurrogate(char32_t unit) {
  return unit >= 0xDC00 && unit <= 0xDFFF;
}

void Append(std::wstring& text, char32_t codePoint) {
  if constexpr (sizeof(wchar_t) >= 4) {
    text.push_back(static_cast<wchar_t>(codePoint));
  } else if (codePoint >= 0x10000) {
    codePoint -= 0x10000;
    text.push_back(static_cast<wchar_t>(0xD800 + (codePoint >> 10)));
    text.push_back(static_cast<wchar_t>(0xDC00 + (codePoint & 0x3FF)));
  } else {
    text.push_back(static_cast<wchar_t>(codePoint));
  }
}

}  // namespace

std::wstring DeviceNameToWide(const char16_t* name, size_t capacity) {
  std::wstring text;
  for (size_t i = 0; i < capacity && name[i] != 0; ++i) {
    const char32_t unit = name[i];
    if (IsHighSurrogate(unit) && i + 1 < capacity && IsLowSurrogate(name[i + 1])) {
      const char32_t low = name[++i];
      Append(text, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
    } else if (IsHighSurrogate(unit) || IsLowSurrogate(unit)) {
      Append(text, kReplacement);
    } else {
      Append(text, unit);
    }
  }
  return text;
}
