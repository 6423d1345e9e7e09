#include "WideText.h"

#include <algorithm>

namespace zr8 {
namespace {

constexpr char32_t kRawByteBase = 0xDC00;

// Length of the valid UTF-8 sequence at bytes[pos], 0 when it is not valid.
size_t Utf8Length(std::string_view bytes, size_t pos, char32_t* codePoint) {
  const auto lead = static_cast<unsigned char>(bytes[pos]);
  if (lead < 0x80) {
    *codePoint = lead;
    return 1;
  }
  size_t length = 0;
  char32_t value = 0;
  char32_t smallest = 0;
  if ((lead & 0xE0) == 0xC0) {
    length = 2, value = lead & 0x1F, smallest = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, value = lead & 0x0F, smallest = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, value = lead & 0x07, smallest = 0x10000;
  } else {
    return 0;
  }
  if (pos + length > bytes.size()) return 0;
  for (size_t i = 1; i < length; ++i) {
    const auto next = static_cast<unsigned char>(bytes[pos + i]);
    if ((next & 0xC0) != 0x80) return 0;
    value = (value << 6) | (next & 0x3F);
  }
  if (value < smallest || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
  *codePoint = value;
  return length;
}

void PutWide(std::wstring& out, char32_t codePoint) {
  if constexpr (sizeof(wchar_t) >= 4) {
    out.push_back(static_cast<wchar_t>(codePoint));
  } else if (codePoint >= 0x10000) {
    codePoint -= 0x10000;
    out.push_back(static_cast<wchar_t>(0xD800 + (codePoint >> 10)));
    out.push_back(static_cast<wchar_t>(0xDC00 + (codePoint & 0x3FF)));
  } else {
    out.push_back(static_cast<wchar_t>(codePoint));
  }
}

void PutUtf8(std::string& out, char32_t codePoint) {
  if (codePoint >= kRawByteBase + 0x80 && codePoint <= kRawByteBase + 0xFF) {
    out.push_back(static_cast<char>(codePoint - kRawByteBase));
    return;
  }
  if (codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF)) codePoint = 0xFFFD;
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

std::string WideToFileName(std::wstring_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    auto codePoint = static_cast<char32_t>(text[i]);
    if constexpr (sizeof(wchar_t) < 4) {
      codePoint &= 0xFFFF;
      if (codePoint >= 0xD800 && codePoint <= 0xDBFF && i + 1 < text.size()) {
        const auto low = static_cast<char32_t>(text[i + 1]) & 0xFFFF;
        if (low >= 0xDC00 && low <= 0xDFFF) {
          codePoint = 0x10000 + ((codePoint - 0xD800) << 10) + (low - 0xDC00);
          ++i;
        }
      }
    }
    PutUtf8(out, codePoint);
  }
  return out;
}

std::wstring FileNameToWide(std::string_view bytes) {
  std::wstring out;
  out.reserve(bytes.size());
  for (size_t pos = 0; pos < bytes.size();) {
    char32_t codePoint = 0;
    const size_t length = Utf8Length(bytes, pos, &codePoint);
    if (length == 0) {
      PutWide(out, kRawByteBase + static_cast<unsigned char>(bytes[pos]));
      ++pos;
    } else {
      PutWide(out, codePoint);
      pos += length;
    }
  }
  return out;
}

bool CopyWide(std::wstring_view text, wchar_t* buffer, int capacity) {
  if (buffer == nullptr || capacity < 1) return false;
  const size_t room = static_cast<size_t>(capacity) - 1;
  const size_t count = std::min(room, text.size());
  std::copy_n(text.data(), count, buffer);
  buffer[count] = L'\0';
  return count == text.size();
}

}  // namespace zr8
