#include "reader/Preamble.h"

#include "platform/Platform.h"
#include "reader/ReaderApi.h"

double TicksToSeconds(int64_t ticks) {
  return static_cast<double>(ticks) / 1e7;
}

void WriteTitle(const char* title) {
  platform::WideConsole() << title;
}

void WriteFileHeader(const char* headerOpening, const std::wstring& fileName) {
  platform::WideConsole() << headerOpening << fileName << "\"\n\n";
}

bool LoadReaderWithMessage() {
  if (LoadReaderLibrary(&readerApi.module) < 0) {
    platform::WideConsole() << "Failed to load the Zr8Reader DLL and/or find suitable entrypoints";
    return false;
  }
  return true;
}

bool InitializeReaderWithMessage() {
  if (readerApi.ZR8READER_Initialize() < 0) {
    platform::WideConsole() << "Failed to initialize FileIO subsystem";
    return false;
  }
  return true;
}

bool CheckSupportedWithMessage(const std::wstring& fileName) {
  if (readerApi.ZR8READER_IsSupported(fileName.c_str()) == 0) {
    platform::WideConsole() << "The specified file is not of a supported type.\n";
    return false;
  }
  return true;
}

bool StartFileMode(const char* title, const char* headerOpening, const std::wstring& fileName,
                   int32_t openFlags, void** file) {
  WriteTitle(title);
  WriteFileHeader(headerOpening, fileName);
  if (!LoadReaderWithMessage() || !InitializeReaderWithMessage() ||
      !CheckSupportedWithMessage(fileName)) {
    return false;
  }
  *file = nullptr;
  if (readerApi.ZR8READER_OpenReadFile(file, fileName.c_str(), openFlags) < 0) {
    platform::WideConsole() << "An error occurred opening the specified file.\n";
    return false;
  }
  return true;
}

int32_t StartHardwareMode(const char* title) {
  WriteTitle(title);
  if (!LoadReaderWithMessage()) return -1;
  if (!InitializeReaderWithMessage()) return -2;
  return 0;
}
