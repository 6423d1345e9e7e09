// Lossless conversion between the bytes of a file name or console text and wide strings.
//
// Bytes are read as UTF-8; a byte that is not part of valid UTF-8 becomes the code point
// U+DC00 + byte (U+DC80 to U+DCFF), and the way back turns such a code point into that byte again,
// so any byte string survives the round trip. Wide strings are UTF-32 where wchar_t has 32 bits and
// UTF-16 where it has 16.
#pragma once

#include <string>
#include <string_view>

namespace platform {

std::wstring BytesToWide(std::string_view bytes);
std::string WideToBytes(std::wstring_view text);

}  // namespace platform
