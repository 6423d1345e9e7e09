// The platform layer on Linux (glibc).
#include <dlfcn.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <iostream>
#include <string>

#include "platform/ConsoleBuffers.h"
#include "platform/Platform.h"
#include "text/WideText.h"

namespace platform {
namespace {

thread_local int lastLoadError = 0;

// The wide channel: glibc fixes a FILE's orientation on first use, so wide text cannot share
// standard output with byte output through std::wcout. Wide text is written as UTF-8 bytes instead
// (escaped bytes of non-UTF-8 file names go out unchanged).
bool WriteWide(const wchar_t* text, size_t count) {
  const std::string bytes = WideToBytes(std::wstring_view(text, count));
  return std::fwrite(bytes.data(), 1, bytes.size(), stdout) == bytes.size();
}

using Console = ThreadConsole<WriteWide>;

Console& ThisThreadsConsole() {
  thread_local Console console;
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

void* OpenCLLibrary() {
  static void* const module = dlopen("libOpenCL.so.1", RTLD_NOW | RTLD_LOCAL);
  return module;
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
  return ThisThreadsConsole().wide;
}
std::ostream& NarrowConsole() {
  return ThisThreadsConsole().narrow;
}

std::FILE* OpenOutputFile(const char* path, const char* mode) {
  return std::fopen(path, mode);
}

}  // namespace platform
