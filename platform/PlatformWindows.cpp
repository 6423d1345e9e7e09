// The platform layer on Windows (x86-64; Microsoft's C runtime, or mingw-w64 over it).
#include <windows.h>
// After windows.h:
#include <io.h>

#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <iostream>
#include <string>

#include "platform/ConsoleBuffers.h"
#include "platform/Platform.h"
#include "text/WideText.h"

namespace platform {
namespace {

thread_local DWORD lastLoadError = 0;

// Standard output's console handle, or null when standard output is redirected (a file or a pipe).
HANDLE StdoutConsole() {
  static const HANDLE console = [] {
    const intptr_t os = _get_osfhandle(_fileno(stdout));
    const auto handle = reinterpret_cast<HANDLE>(os);
    DWORD mode = 0;
    return os != -1 && GetConsoleMode(handle, &mode) != 0 ? handle : nullptr;
  }();
  return console;
}

bool IsAscii(const wchar_t* text, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    if (static_cast<unsigned>(text[i]) >= 0x80) return false;
  }
  return true;
}

bool WriteBytes(const char* bytes, size_t count) {
  return std::fwrite(bytes, 1, count, stdout) == count;
}

// Wide text that is not ASCII: to a console as UTF-16, so that it shows whatever the code page;
// to a file or pipe as UTF-8, converted as on Linux (see WideText.h: U+DC80 to U+DCFF, the code
// points that stand for single bytes, go out as those bytes; another lone surrogate as U+FFFD).
bool WriteWideText(const wchar_t* text, size_t count) {
  HANDLE console = StdoutConsole();
  if (console == nullptr || IsAscii(text, count)) {
    const std::string bytes = WideToBytes(std::wstring_view(text, count));
    return WriteBytes(bytes.data(), bytes.size());
  }
  // Whatever the C runtime still buffers comes first.
  std::fflush(stdout);
  while (count > 0) {
    const DWORD chunk = count > 8192 ? 8192 : static_cast<DWORD>(count);
    DWORD written = 0;
    if (WriteConsoleW(console, text, chunk, &written, nullptr) == 0 || written == 0) return false;
    text += written;
    count -= written;
  }
  return true;
}

// Narrow text goes through the C runtime's standard output in text mode (a line feed goes out as
// CR LF); so does wide text, except on a console (see WriteWideText).
using Console = ThreadConsole<WriteWideText>;

// Made on the thread's first console output and never destroyed: with mingw-w64, the destructor of
// a thread_local object can run after the thread's storage has been freed and reused (seen as heap
// corruption when read threads end). The few hundred bytes per thread are left to the process.
Console& ThisThreadsConsole() {
  thread_local Console* console = nullptr;
  if (console == nullptr) console = new Console;
  return *console;
}

}  // namespace

const wchar_t* ReaderLibraryPath() {
  return L".\\Zr8Reader.dll";
}
const char* OutputPathPrefix() {
  return ".\\";
}

void* LoadDynamicLibrary(const wchar_t* path) {
  HMODULE module = LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  lastLoadError = module == nullptr ? GetLastError() : 0;
  return module;
}

int LastLoadError() {
  return static_cast<int>(lastLoadError);
}

void* FindSymbol(void* module, const char* name) {
  const FARPROC address = GetProcAddress(static_cast<HMODULE>(module), name);
  void* pointer = nullptr;
  static_assert(sizeof(pointer) == sizeof(address));
  std::memcpy(&pointer, &address, sizeof(pointer));
  return pointer;
}

void* OpenCLLibrary() {
  static void* const module = LoadLibraryExW(L"OpenCL.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  return module;
}

void WriteDebuggerText(const char* text) {
  OutputDebugStringA(text);
}

bool QueryPerfFrequency(uint64_t* value) {
  LARGE_INTEGER frequency{};
  const bool ok = QueryPerformanceFrequency(&frequency) != 0;
  *value = ok ? static_cast<uint64_t>(frequency.QuadPart) : 0;
  return ok;
}

bool QueryPerfCounter(uint64_t* value) {
  LARGE_INTEGER counter{};
  const bool ok = QueryPerformanceCounter(&counter) != 0;
  *value = ok ? static_cast<uint64_t>(counter.QuadPart) : 0;
  return ok;
}

// The runtime's own generator: its state is per thread and starts at 1 on every thread.
int RuntimeRand() {
  return std::rand();
}

// wcstol reads the same text as _wtoi (white space, sign, decimal digits), and the C standard
// makes it saturate on overflow, which Microsoft documents for _wtoi only from the Universal CRT
// on; long has 32 bits on Windows.
int WideToInt(const wchar_t* text) {
  static_assert(sizeof(long) == sizeof(int));
  return static_cast<int>(std::wcstol(text, nullptr, 10));
}

std::wostream& WideConsole() {
  return ThisThreadsConsole().wide;
}
std::ostream& NarrowConsole() {
  return ThisThreadsConsole().narrow;
}

std::FILE* OpenOutputFile(const char* path, const char* mode) {
  std::FILE* file = nullptr;
  return fopen_s(&file, path, mode) == 0 ? file : nullptr;
}

}  // namespace platform
