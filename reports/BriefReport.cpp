// The brief report: supported or not, stream counts, duration, and the library's name for the file.
#include "platform/Platform.h"
#include "reader/Preamble.h"
#include "reader/ReaderApi.h"
#include "reports/Reports.h"

void BasicInformationExample(std::wstring fileName) {
  void* file = nullptr;
  if (!StartFileMode("\nBasic information example\n", "File: \"", fileName, 3, &file)) return;

  const int32_t audioCount = readerApi.ZR8READER_ReadFile_GetAudioStreamCount(file);
  const int32_t videoCount = readerApi.ZR8READER_ReadFile_GetVideoStreamCount(file);
  const int64_t duration = readerApi.ZR8READER_ReadFile_GetFileLength(file);

  std::wostream& out = platform::WideConsole();
  out << "File is of a supported format.\n";
  out << "Audio stream count: " << audioCount << "\n";
  out << "Video stream count: " << videoCount << "\n";
  out << "Duration: " << TicksToSeconds(duration) << " seconds\n\n";

  // The library's text is relied on to be terminated; the last slot stays zero all the same.
  constexpr int32_t kNameCapacity = 512;
  wchar_t name[kNameCapacity + 1] = {};
  readerApi.ZR8READER_ReadFile_GetFileName(file, name, kNameCapacity);
  out << "Closing file '" << name << "'\n";

  if (readerApi.ZR8READER_ReadFile_IsFileOpen(file) != 0)
    readerApi.ZR8READER_ReadFile_CloseFile(file);
  readerApi.ZR8READER_DeleteReadFileHandle(file);
}
