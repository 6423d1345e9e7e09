#include "text/WideText.h"

#include <cstdint>

namespace platform {
namespace {

constexpr char32_t kEscapeBase = 0xDC00;
constexpr char32_t kReplacement = 0xFFFD;

bool IsContinuation(unsigned char byte) {
  return (byte & 0xC0) == 0x80;
}

bool IsHighSurrogate(char32_t unit) {
  return unit >= 0xD800 && unit <= 0xDBFF;
}
bool IsLowSurrogate(char32_t unit) {
  return unit >= 0xDC00 && unit <= 0xDFFF;
}

// Appends one code point as UTF-32 or UTF-16 units, whichever the string's characters hold.
template <typename String>
void AppendUnits(String& out, char32_t codePoint) {
  using Unit = typename String::value_type;
  if constexpr (sizeof(Unit) >= 4) {
    out.push_back(static_cast<Unit>(codePoint));
  } else {
    char16_t units[2];
    const size_t count = EncodeUtf16(codePoint, units);
    for (size_t i = 0; i < count; ++i) out.push_back(static_cast<Unit>(units[i]));
  }
}

// The bytes decoded, each byte outside valid UTF-8 as U+DC00 + byte.
template <typename String>
String DecodeEscaped(std::string_view bytes) {
  String out;
  out.reserve(bytes.size());
  for (size_t pos = 0; pos < bytes.size();) {
    char32_t codePoint = 0;
    const size_t length = DecodeUtf8(bytes, pos, &codePoint);
    if (length == 0) {
      AppendUnits(out, kEscapeBase + static_cast<unsigned char>(bytes[pos]));
      ++pos;
    } else {
      AppendUnits(out, codePoint);
      pos += length;
    }
  }
  return out;
}

void AppendUtf8(std::string& out, char32_t codePoint) {
  if (codePoint >= kEscapeBase + 0x80 && codePoint <= kEscapeBase + 0xFF) {
    out.push_back(static_cast<char>(codePoint - kEscapeBase));
    return;
  }
  if (codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF))
    codePoint = kReplacement;
  if (codePoint < 0x80) {
    out.push_back(static_cast<char>(codePoint));
  } else if (codePoint < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (codePoint >> 6)));
    out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
  } else if (codePoint < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (codePoint >> 12)));
    out.push_back(static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (codePoint >> 18)));
    out.push_back(static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
  }
}

}  // namespace

size_t DecodeUtf8(std::string_view bytes, size_t pos, char32_t* codePoint) {
  const auto lead = static_cast<unsigned char>(bytes[pos]);
  size_t length = 0;
  char32_t value = 0;
  char32_t minimum = 0;
  if (lead < 0x80) {
    *codePoint = lead;
    return 1;
  } else if ((lead & 0xE0) == 0xC0) {
    length = 2, value = lead & 0x1F, minimum = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, value = lead & 0x0F, minimum = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, value = lead & 0x07, minimum = 0x10000;
  } else {
    return 0;
  }
  if (pos + length > bytes.size()) return 0;
  for (size_t i = 1; i < length; ++i) {
    const auto byte = static_cast<unsigned char>(bytes[pos + i]);
    if (!IsContinuation(byte)) return 0;
    value = (value << 6) | (byte & 0x3F);
  }
  if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
  *codePoint = value;
  return length;
}

size_t EncodeUtf16(char32_t codePoint, char16_t units[2]) {
  if (codePoint < 0x10000) {
    units[0] = static_cast<char16_t>(codePoint);
    return 1;
  }
  codePoint -= 0x10000;
  units[0] = static_cast<char16_t>(0xD800 + (codePoint >> 10));
  units[1] = static_cast<char16_t>(0xDC00 + (codePoint & 0x3FF));
  return 2;
}

std::wstring BytesToWide(std::string_view bytes) {
  return DecodeEscaped<std::wstring>(bytes);
}

std::u16string BytesToUtf16(std::string_view bytes) {
  return DecodeEscaped<std::u16string>(bytes);
}

std::string WideToBytes(std::wstring_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    auto codePoint = static_cast<char32_t>(text[i]);
    if constexpr (sizeof(wchar_t) < 4) {
      codePoint &= 0xFFFF;
      if (IsHighSurrogate(codePoint) && i + 1 < text.size()) {
        const auto low = static_cast<char32_t>(text[i + 1]) & 0xFFFF;
        if (IsLowSurrogate(low)) {
          codePoint = 0x10000 + ((codePoint - 0xD800) << 10) + (low - 0xDC00);
          ++i;
        }
      }
    }
    AppendUtf8(out, codePoint);
  }
  return out;
}

std::wstring Utf16ToWide(const char16_t* units, size_t capacity) {
  std::wstring text;
  for (size_t i = 0; i < capacity && units[i] != 0; ++i) {
    const char32_t unit = units[i];
    if (IsHighSurrogate(unit) && i + 1 < capacity && IsLowSurrogate(units[i + 1])) {
      const char32_t low = units[++i];
      AppendUnits(text, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
    } else if (IsHighSurrogate(unit) || IsLowSurrogate(unit)) {
      AppendUnits(text, kReplacement);
    } else {
      AppendUnits(text, unit);
    }
  }
  return text;
}

}  // namespace platform
