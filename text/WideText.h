// The one UTF-8 / UTF-16 codec of the project, a library of its own (zr8text) that the client, the
// reader library, its hardware module and the test fake all link.
//
// BytesToWide and WideToBytes convert losslessly between the bytes of a file name or console text
// and wide strings: bytes are read as UTF-8; a byte that is not part of valid UTF-8 becomes the
// code point U+DC00 + byte (U+DC80 to U+DCFF), and the way back turns such a code point into that
// byte again, so any byte string survives the round trip. Wide strings are UTF-32 where wchar_t
// has 32 bits and UTF-16 where it has 16.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace platform {

std::wstring BytesToWide(std::string_view bytes);
std::string WideToBytes(std::wstring_view text);

// The same bytes as UTF-16, a byte that is not UTF-8 as the lone surrogate U+DC00 + byte.
std::u16string BytesToUtf16(std::string_view bytes);

// UTF-16 up to its terminating zero, or all `capacity` units when it has none, as wide text.
// Surrogate pairs become one character where wchar_t has 32 bits and stay a pair where it has 16;
// a surrogate without its partner becomes U+FFFD on both.
std::wstring Utf16ToWide(const char16_t* units, size_t capacity);

// The code point of the UTF-8 sequence at bytes[pos] into *codePoint; returns the sequence's
// length, 0 when the bytes there are not valid UTF-8 (overlong, surrogate, cut short).
size_t DecodeUtf8(std::string_view bytes, size_t pos, char32_t* codePoint);

// One code point (at most U+10FFFF) as UTF-16 into units; returns the number of units, 1 or 2.
size_t EncodeUtf16(char32_t codePoint, char16_t units[2]);

}  // namespace platform
