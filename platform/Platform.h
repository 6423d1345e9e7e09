// The platform layer: everything that differs between Windows and Linux, behind plain functions.
// One implementation file per platform (PlatformLinux.cpp, PlatformWindows.cpp); no other file of
// the client tests the platform.
#pragma once

#include <cstdint>
#include <cstdio>
#include <ostream>

namespace platform {

// Paths relative to the current directory, as loaded and as printed.
// Windows: ".\Zr8Reader.dll" and ".\" ; Linux: "./libZr8Reader.so" and "./".
const wchar_t* ReaderLibraryPath();
const char* OutputPathPrefix();

// Dynamic loading. LoadDynamicLibrary returns null on failure; LastLoadError then gives the
// platform's error number for that failure (non-zero).
void* LoadDynamicLibrary(const wchar_t* path);
int LastLoadError();
void* FindSymbol(void* module, const char* name);
// The system's OpenCL library (Windows: OpenCL.dll from the system folder; Linux: libOpenCL.so.1),
// loaded on the first call; null when it cannot be loaded.
void* OpenCLLibrary();

// One line to the debugger output (Linux: standard error, with a line feed added).
void WriteDebuggerText(const char* text);

// The high-resolution counter. Each returns false (and leaves *value at 0) when the read fails.
bool QueryPerfFrequency(uint64_t* value);
bool QueryPerfCounter(uint64_t* value);

// The target runtime's rand(): never seeded, state per thread, values 0 to 32767.
int RuntimeRand();

// The runtime's _wtoi: leading white space, optional sign, decimal digits; saturates at the
// 32-bit limits.
int WideToInt(const wchar_t* text);

// The console channels. All three write to standard output and stay in program order: the wide
// stream, the narrow stream, and printf-style output (std::printf).
std::wostream& WideConsole();
std::ostream& NarrowConsole();

// Opens an output file with a narrow relative path in the given mode; null on failure.
std::FILE* OpenOutputFile(const char* path, const char* mode);

}  // namespace platform

// The client's entry point proper, with the wide command line. On Windows it is the program's
// entry point; on Linux the platform's main() decodes the arguments and calls it.
int wmain(int argc, wchar_t* argv[]);
