// The multi-file decode: every file opened on shared pools and described, and with extraction one
// read thread per file.
#include <cstdint>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/Platform.h"
#include "reader/Preamble.h"
#include "reader/ReaderApi.h"
#include "video/HardwareSetup.h"
#include "video/ReadThread.h"
#include "video/VideoModes.h"
#include "video/VideoNames.h"

namespace {

// What the driver holds of the library, one table entry per file, with what each open obtained.
struct Driver {
  void* bufferPool = nullptr;
  void* imagePool = nullptr;
  std::vector<void*> fileHandles;
  std::vector<void*> streamHandles;
  std::vector<bool> filesOpened;
  std::vector<bool> streamsOpened;
  std::vector<DecodePrefs> reportedPrefs;
  std::vector<uint64_t> frameCounts;
  std::vector<VideoFormat> formats;

  explicit Driver(size_t fileCount)
      : fileHandles(fileCount, nullptr),
        streamHandles(fileCount, nullptr),
        filesOpened(fileCount, false),
        streamsOpened(fileCount, false),
        reportedPrefs(fileCount),
        frameCounts(fileCount, 0),
        formats(fileCount) {}

  // The release of the finished run. A run that stopped while opening the files goes the same
  // way, skipping what it never obtained: every file whose open succeeded is closed and deleted,
  // with its stream if that opened, then the pools, the library's initialisation and the hardware
  // subsystem. What a handle holds says nothing: a library may hand out null on success.
  void Release(HardwareState& hardwareState) {
    for (size_t i = 0; i < fileHandles.size(); ++i) {
      if (!filesOpened[i]) continue;
      readerApi.ZR8READER_ReadFile_CloseFile(fileHandles[i]);
      if (streamsOpened[i]) readerApi.ZR8READER_DeleteReadVideoStreamHandle(streamHandles[i]);
      readerApi.ZR8READER_DeleteReadFileHandle(fileHandles[i]);
    }
    readerApi.ZR8READER_DeleteImagePoolHandle(imagePool);
    readerApi.ZR8READER_DeleteBufferPoolHandle(bufferPool);
    readerApi.ZR8READER_Uninitialize();
    ReleaseHardware(hardwareState);
  }
};

// Opens file i and its first video stream, reads its description and prints it. False after the
// failure message of the step that failed.
bool OpenAndDescribe(Driver& driver, size_t i, const std::wstring& name,
                     const DecodePrefs& requestedPrefs) {
  std::wostream& out = platform::WideConsole();
  if (readerApi.ZR8READER_IsSupported(name.c_str()) == 0) {
    out << "The specified file '" << name << "' is not of a supported type.\n";
    return false;
  }
  if (readerApi.ZR8READER_OpenReadFileEx(&driver.fileHandles[i], name.c_str(), 1,
                                         driver.bufferPool) < 0) {
    out << "An error occurred opening the specified file '" << name << "'.\n";
    return false;
  }
  driver.filesOpened[i] = true;
  void* file = driver.fileHandles[i];
  if (readerApi.ZR8READER_ReadFile_GetVideoStreamCount(file) < 1) {
    out << "The specified file does not contain video.\n";
    return false;
  }
  if (readerApi.ZR8READER_ReadFile_OpenVideoStream(file, 0, &requestedPrefs, driver.imagePool,
                                                   &driver.streamHandles[i]) < 0) {
    out << "An error occurred opening the video stream for file '" << name << "'\n";
    return false;
  }
  driver.streamsOpened[i] = true;
  void* video = driver.streamHandles[i];
  if (readerApi.ZR8READER_ReadVideoStream_GetDecodePrefs(video, &driver.reportedPrefs[i]) < 0) {
    out << "An error occurred obtaining decode prefs of the video stream for file '" << name
        << "'\n";
    return false;
  }
  driver.frameCounts[i] =
      static_cast<uint64_t>(readerApi.ZR8READER_ReadVideoStream_GetFrameCount(video));
  const VideoFormat& format = driver.formats[i];
  if (readerApi.ZR8READER_ReadVideoStream_GetFormat(video, &driver.formats[i]) < 0) {
    out << "An error occurred access the video format details.\n";
    return false;
  }
  VideoCompressedFormat compressed;
  if (readerApi.ZR8READER_ReadVideoStream_GetCompressedFormat(video, &compressed) < 0) {
    out << "An error occurred access the video compressed format details.\n";
    return false;
  }

  out << "File: " << name << "\n";
  out << "  Frame rate:   " << format.frameRate << "\n";
  out << "  Interlace:    " << format.interlace << "\n";
  out << "  Aspect ratio: " << format.aspectRatio << "\n";
  out << "  Frame size:   " << format.width << "x" << format.height << "\n";
  out << "  Pixel format: " << PixelTypeName(format.pixelType) << "\n";
  out << "  FourCC: " << FourCCToWString(compressed.fourCC) << "\n";
  out << "  Frame count:   " << driver.frameCounts[i] << "\n";
  return true;
}

// One read thread per file, all started before any is joined, joined in list order. A thread that
// cannot be started ends the decode: the threads already running are joined all the same.
void RunReadThreads(const Driver& driver) {
  std::vector<std::thread> readThreads;
  readThreads.reserve(driver.streamHandles.size());
  for (size_t i = 0; i < driver.streamHandles.size(); ++i) {
    try {
      readThreads.emplace_back(ReadThreadMain, static_cast<int32_t>(i), driver.streamHandles[i],
                               driver.frameCounts[i], driver.formats[i]);
    } catch (const std::system_error& error) {
      platform::WideConsole() << "Failed to start read thread " << i << ": " << error.what()
                              << "\n";
      break;
    }
  }
  for (std::thread& thread : readThreads) thread.join();
}

}  // namespace

void MultiFileVideoExample(std::vector<std::wstring> files, bool extract, bool, int32_t hardware,
                           bool optimal, bool) {
  WriteTitle("\nVideo example");
  WriteFileHeader("\nFile: \"", files.front());
  if (!LoadReaderWithMessage()) return;

  // No QSV context and no decoder query in this mode.
  HardwareState hardwareState;
  InitializeHardware(hardware, false, hardwareState);
  if (!InitializeReaderWithMessage()) return;
  SetPluginPreferences(hardware, hardwareState);

  Driver driver(files.size());
  std::wostream& out = platform::WideConsole();
  if (readerApi.ZR8READER_CreateBufferPoolCPU(&driver.bufferPool) < 0) {
    out << "An error occured creating buffer pool.\n";
    return;
  }
  const DecodePrefs requestedPrefs =
      RequestedDecodePrefs(hardware, optimal, optimal, hardwareState);
  if (readerApi.ZR8READER_CreateImagePoolCPU(&driver.imagePool) < 0) {
    out << "An error occured creating image pool.\n";
    readerApi.ZR8READER_DeleteBufferPoolHandle(driver.bufferPool);
    return;
  }

  for (size_t i = 0; i < files.size(); ++i) {
    if (!OpenAndDescribe(driver, i, files[i], requestedPrefs)) {
      driver.Release(hardwareState);
      return;
    }
  }
  out << "\n";

  // The threads share the library, both pools and the console; nothing is released before the
  // last of them has been joined.
  if (extract) RunReadThreads(driver);
  driver.Release(hardwareState);
}
