// Lossless conversion between wide text and the bytes of file names: a character U+DC80..U+DCFF
// stands for one raw byte (value - 0xDC00), everything else is UTF-8.
#pragma once

#include <string>
#include <string_view>

namespace zr8 {

std::string WideToFileName(std::wstring_view text);
std::wstring FileNameToWide(std::string_view bytes);

// Copies text into a buffer of `capacity` characters, always terminated. False when truncated.
bool CopyWide(std::wstring_view text, wchar_t* buffer, int capacity);

}  // namespace zr8
