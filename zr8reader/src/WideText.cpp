#include "WideText.h"

#include <algorithm>

namespace zr8 {

bool CopyWide(std::wstring_view text, wchar_t* buffer, int capacity) {
  if (buffer == nullptr || capacity < 1) return false;
  const size_t room = static_cast<size_t>(capacity) - 1;
  const size_t count = std::min(room, text.size());
  std::copy_n(text.data(), count, buffer);
  buffer[count] = L'\0';
  return count == text.size();
}

}  // namespace zr8
