#include "reader/ReaderApi.h"

#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "platform/Platform.h"

ReaderApi readerApi{};

// Row order is the order of resolution; each row names its member, so the one place where the
// member order differs (the sample reader, rows 44 and 45) cannot get mixed up.
#define ZR8_ROW(name, result, parameters, use) \
  {static_cast<int32_t>(offsetof(ReaderApi, name)), #name},
const ReaderEntryPoint readerEntryPoints[ZR8_ENTRY_POINT_COUNT] = {ZR8_ENTRY_POINT_ROWS(ZR8_ROW)};
#undef ZR8_ROW

int32_t ResolveEntryPoints(ReaderApi* api, SymbolResolver resolve, void* context) {
  for (const ReaderEntryPoint& row : readerEntryPoints) {
    if (row.name == nullptr) return kStatusOk;
    void* address = resolve(context, row.name);
    if (address == nullptr) return kStatusNoInterface;
    // The member at row.position is a function pointer of the same size as a data pointer.
    std::memcpy(reinterpret_cast<unsigned char*>(api) + row.position, &address, sizeof(address));
  }
  return kStatusOk;
}

int32_t LoadReaderLibrary(void** moduleOut) {
  const wchar_t* path = platform::ReaderLibraryPath();
  void* module = platform::LoadDynamicLibrary(path);
  if (module == nullptr) {
    const int error = platform::LastLoadError();
    DebugLog("LoadLibrary error=%d, failed on '%S'", error, path);
  }
  if (moduleOut != nullptr) *moduleOut = module;
  if (module == nullptr) return kStatusFail;
  return ResolveEntryPoints(
      &readerApi,
      [](void* library, const char* name) { return platform::FindSymbol(library, name); }, module);
}

void DebugLog(const char* format, ...) {
  constexpr size_t kBufferSize = 512;
  constexpr char kPrefix[] = "[DEBUG]";
  constexpr size_t kPrefixLength = sizeof(kPrefix) - 1;
  char buffer[kBufferSize] = {};
  std::memcpy(buffer, kPrefix, kPrefixLength);
  va_list arguments;
  va_start(arguments, format);
  // A text longer than the 505 bytes behind the prefix is cut short.
  std::vsnprintf(buffer + kPrefixLength, kBufferSize - kPrefixLength, format, arguments);
  va_end(arguments);
  platform::WriteDebuggerText(buffer);
}
