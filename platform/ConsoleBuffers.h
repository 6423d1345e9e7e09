// The stream buffers behind the console channels of both platforms. They hold no state and write
// straight through to the C runtime's standard output, so that the wide, narrow and printf-style
// channels share one stream and keep program order; each thread's console streams have their own
// instances (a stream object's width and error bits must not be shared between read threads).
#pragma once

#include <cstdio>
#include <ostream>
#include <streambuf>

namespace platform {

class ByteConsoleBuffer : public std::streambuf {
 protected:
  int_type overflow(int_type ch) override {
    if (traits_type::eq_int_type(ch, traits_type::eof())) return traits_type::not_eof(ch);
    return std::fputc(ch, stdout) == EOF ? traits_type::eof() : ch;
  }
  std::streamsize xsputn(const char* text, std::streamsize count) override {
    const auto size = static_cast<size_t>(count);
    return std::fwrite(text, 1, size, stdout) == size ? count : 0;
  }
  int sync() override { return std::fflush(stdout) == 0 ? 0 : -1; }
};

// Wide text goes out through WriteWide, the platform's own conversion.
template <bool (*WriteWide)(const wchar_t* text, size_t count)>
class WideConsoleBuffer : public std::wstreambuf {
 protected:
  int_type overflow(int_type ch) override {
    if (traits_type::eq_int_type(ch, traits_type::eof())) return traits_type::not_eof(ch);
    const wchar_t single = traits_type::to_char_type(ch);
    return WriteWide(&single, 1) ? ch : traits_type::eof();
  }
  std::streamsize xsputn(const wchar_t* text, std::streamsize count) override {
    return WriteWide(text, static_cast<size_t>(count)) ? count : 0;
  }
  int sync() override { return std::fflush(stdout) == 0 ? 0 : -1; }
};

template <bool (*WriteWide)(const wchar_t* text, size_t count)>
struct ThreadConsole {
  ByteConsoleBuffer narrowBuffer;
  WideConsoleBuffer<WriteWide> wideBuffer;
  std::ostream narrow{&narrowBuffer};
  std::wostream wide{&wideBuffer};
};

}  // namespace platform
