// Wide text handed out through the library's entry points. File names convert with the shared
// codec (text/WideText.h): a character U+DC80..U+DCFF stands for one raw byte.
#pragma once

#include <string_view>

#include "text/WideText.h"

namespace zr8 {

// Copies text into a buffer of `capacity` characters, always terminated. False when truncated.
bool CopyWide(std::wstring_view text, wchar_t* buffer, int capacity);

}  // namespace zr8
