// The platform layer on Linux (glibc).
#include <dlfcn.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <iostream>
#include <streambuf>
#include <string>

#include "platform/Platform.h"
#include "platform/WideText.h"

namespace platform {
namespace {

thread_local int lastLoadError = 0;

// Writes straight through to the C library's standard output, so that every channel shares one
// byte-oriented stream and keeps program order. It holds no state: each thread's console stream
// has its own instance.
class StdoutBuffer : public std::streambuf {
 protected:
  int_type overflow(int_type ch) override {
    if (traits_type::eq_int_type(ch, traits_type::eof())) return traits_type::not_eof(ch);
    return std::fputc(ch, stdout) == EOF ? traits_type::eof() : ch;
  }
  std::streamsize xsputn(const char* text, std::streamsize count) override {
    return static_cast<std::streamsize>(std::fwrite(text, 1, static_cast<size_t>(count), stdout));
  }
  int sync() override { return std::fflush(stdout) == 0 ? 0 : -1; }
};

// The wide channel: glibc fixes a FILE's orientation on first use, so wide text cannot share
// standard output with byte output through std::wcout. Wide text is written as UTF-8 bytes instead
// (escaped bytes of non-UTF-8 file names go out unchanged).
class WideStdoutBuffer : public std::wstreambuf {
 protected:
  int_type overflow(int_type ch) override {
    if (traits_type::eq_int_type(ch, traits_type::eof())) return traits_type::not_eof(ch);
    const wchar_t single = traits_type::to_char_type(ch);
    return Write(&single, 1) ? ch : traits_type::eof();
  }
  std::streamsize xsputn(const wchar_t* text, std::streamsize count) override {
    return Write(text, static_cast<size_t>(count)) ? count : 0;
  }
  int sync() override { return std::fflush(stdout) == 0 ? 0 : -1; }

 private:
  static bool Write(const wchar_t* text, size_t count) {
    const std::string bytes = WideToBytes(std::wstring_view(text, count));
    return std::fwrite(bytes.data(), 1, bytes.size(), stdout) == bytes.size();
  }
};

// One stream object per thread: the read threads write to the console at the same time, and a
// stream object's own state (its width, its error bits) must not be shared between them.
struct ThreadConsole {
  StdoutBuffer narrowBuffer;
  WideStdoutBuffer wideBuffer;
  std::ostream narrow{&narrowBuffer};
  std::wostream wide{&wideBuffer};
};

ThreadConsole& Console() {
  thread_local ThreadConsole console;
  return console;
}

}  // namespace

const wchar_t* ReaderLibraryPath() {
  return L"./libZr8Reader.so";
}
const char* OutputPathPrefix() {
  return "./";
}

void* LoadDynamicLibrary(const wchar_t* path) {
  const std::string bytes = WideToBytes(path);
  void* module = dlopen(bytes.c_str(), RTLD_NOW);
  if (module == nullptr) {
    // dlopen reports text, not a number: derive an errno-style code from the file itself.
    struct stat info {};
    if (stat(bytes.c_str(), &info) != 0) {
      lastLoadError = errno != 0 ? errno : ENOENT;
    } else if (access(bytes.c_str(), R_OK) != 0) {
      lastLoadError = EACCES;
    } else {
      lastLoadError = ENOEXEC;  // present but not loadable: wrong format or a missing dependency
    }
  }
  return module;
}

int LastLoadError() {
  return lastLoadError;
}

void* FindSymbol(void* module, const char* name) {
  return dlsym(module, name);
}

void WriteDebuggerText(const char* text) {
  std::fputs(text, stderr);
  std::fputc('\n', stderr);
  std::fflush(stderr);
}

bool QueryPerfFrequency(uint64_t* value) {
  *value = 1000000000ULL;
  return true;
}

bool QueryPerfCounter(uint64_t* value) {
  *value = 0;
  timespec now{};
  if (clock_gettime(CLOCK_MONOTONIC, &now) != 0) return false;
  *value = static_cast<uint64_t>(now.tv_sec) * 1000000000ULL + static_cast<uint64_t>(now.tv_nsec);
  return true;
}

int RuntimeRand() {
  thread_local uint32_t state = 1;
  state = state * 214013u + 2531011u;
  return static_cast<int>((state >> 16) & 0x7FFF);
}

int WideToInt(const wchar_t* text) {
  while (*text == L' ' || (*text >= L'\t' && *text <= L'\r')) ++text;
  bool negative = false;
  if (*text == L'+' || *text == L'-') negative = *text++ == L'-';
  long long value = 0;
  for (; *text >= L'0' && *text <= L'9'; ++text) {
    value = value * 10 + (*text - L'0');
    if (value > static_cast<long long>(INT_MAX) + 1) value = static_cast<long long>(INT_MAX) + 1;
  }
  if (negative) value = -value;
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

std::wostream& WideConsole() {
  return Console().wide;
}
std::ostream& NarrowConsole() {
  return Console().narrow;
}

std::FILE* OpenOutputFile(const char* path, const char* mode) {
  return std::fopen(path, mode);
}

}  // namespace platform
