// The device name of a hardware decoder record: UTF-16 on every platform, shown as wide text.
#pragma once

#include <cstddef>
#include <string>

// The text of name up to its terminating zero, or of all capacity code units when it has none.
// Surrogate pairs become one character where wchar_t has 32 bits and stay a pair where it has 16;
// a surrogate without its partner becomes U+FFFD on both.
std::wstring DeviceNameToWide(const char16_t* name, size_t capacity);
