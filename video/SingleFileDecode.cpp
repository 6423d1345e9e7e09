// The single-file decode: the stream's description and, with extraction, a timed decode of up to
// 128 frames (64 in dual-stream mode) on the calling thread into one frame file.
#include <algorithm>
#include <cstdio>
#include <string>

#include "platform/Platform.h"
#include "reader/Preamble.h"
#include "reader/ReaderApi.h"
#include "video/DecodeStatistics.h"
#include "video/HardwareSetup.h"
#include "video/OpenCLSetup.h"
#include "video/VideoModes.h"
#include "video/VideoNames.h"

namespace {

// What the mode holds of the library and of OpenCL, and its one release, driven by what each call
// obtained.
struct Session {
  void* bufferPool = nullptr;
  void* imagePool = nullptr;
  void* file = nullptr;
  void* video = nullptr;
  OpenCLContextInfo openclInfo;
  bool bufferPoolCreated = false;
  bool imagePoolCreated = false;
  bool fileOpened = false;
  bool streamRequested = false;
  bool streamOpened = false;

  // Releases what was obtained. Once the stream has been asked for, the image pool goes before the
  // read file, even when no pool was created (the stream was offered a null one); before that, a
  // created image pool goes after it. Only a finished run (hardwareState given) closes the file
  // and ends the library's initialisation and the hardware subsystem. The OpenCL objects go last
  // on every path: after the GPU image pool that works in them and after every other library
  // handle, so that nothing of the library can still reach them.
  void Release(HardwareState* hardwareState) {
    if (hardwareState != nullptr) readerApi.ZR8READER_ReadFile_CloseFile(file);
    if (streamOpened) readerApi.ZR8READER_DeleteReadVideoStreamHandle(video);
    if (streamRequested) readerApi.ZR8READER_DeleteImagePoolHandle(imagePool);
    if (fileOpened) readerApi.ZR8READER_DeleteReadFileHandle(file);
    if (!streamRequested && imagePoolCreated) readerApi.ZR8READER_DeleteImagePoolHandle(imagePool);
    if (bufferPoolCreated) readerApi.ZR8READER_DeleteBufferPoolHandle(bufferPool);
    if (hardwareState != nullptr) {
      readerApi.ZR8READER_Uninitialize();
      ReleaseHardware(*hardwareState);
    }
    ReleaseOpenCL(openclInfo.context, openclInfo.commandQueue);
    openclInfo.context = nullptr;
    openclInfo.commandQueue = nullptr;
  }
};

// Sets up the pools: the CPU buffer pool, and with gpuBuffer the OpenCL objects and the GPU image
// pool. Each failure writes its message and releases what was obtained.
bool CreatePools(Session& session, bool gpuBuffer) {
  std::wostream& out = platform::WideConsole();
  if (readerApi.ZR8READER_CreateBufferPoolCPU(&session.bufferPool) < 0) {
    out << "An error occured creating buffer pool.\n";
    return false;
  }
  session.bufferPoolCreated = true;
  if (!gpuBuffer) return true;
  if (!SetupOpenCL(&session.openclInfo)) {
    out << "An error occured setting up OpenCL.\n";
    session.Release(nullptr);
    return false;
  }
  if (readerApi.ZR8READER_CreateImagePoolGPU(&session.openclInfo, &session.imagePool) < 0) {
    out << "An error occured creating image pool on GPU.\n";
    session.Release(nullptr);
    return false;
  }
  session.imagePoolCreated = true;
  return true;
}

// Opens the file and its first video stream and reads its description. Each failure writes its
// message and releases what was obtained.
bool OpenVideo(Session& session, const std::wstring& fileName, const DecodePrefs& prefs,
               int64_t* frameCount, VideoFormat* format, VideoCompressedFormat* compressed) {
  std::wostream& out = platform::WideConsole();
  if (readerApi.ZR8READER_OpenReadFileEx2(&session.file, fileName.c_str(), 1, session.bufferPool,
                                          session.imagePool) < 0) {
    out << "An error occurred opening the specified file.\n";
    session.Release(nullptr);
    return false;
  }
  session.fileOpened = true;
  if (readerApi.ZR8READER_ReadFile_GetVideoStreamCount(session.file) < 1) {
    out << "The specified file does not contain video.\n";
    session.Release(nullptr);
    return false;
  }
  session.streamRequested = true;
  if (readerApi.ZR8READER_ReadFile_OpenVideoStream(session.file, 0, &prefs, session.imagePool,
                                                   &session.video) < 0) {
    out << "An error occurred opening the video stream.\n";
    session.Release(nullptr);
    return false;
  }
  session.streamOpened = true;
  DecodePrefs actualPrefs;
  if (readerApi.ZR8READER_ReadVideoStream_GetDecodePrefs(session.video, &actualPrefs) < 0) {
    out << "An error occurred obtaining decode prefs of the video stream.\n";
    session.Release(nullptr);
    return false;
  }
  readerApi.ZR8READER_ReadVideoStream_GetStreamLength(session.video);
  *frameCount = readerApi.ZR8READER_ReadVideoStream_GetFrameCount(session.video);
  if (readerApi.ZR8READER_ReadVideoStream_GetFormat(session.video, format) < 0) {
    out << "An error occurred access the video format details.\n";
    session.Release(nullptr);
    return false;
  }
  if (readerApi.ZR8READER_ReadVideoStream_GetCompressedFormat(session.video, compressed) < 0) {
    out << "An error occurred access the video compressed format details.\n";
    session.Release(nullptr);
    return false;
  }
  return true;
}

// The running totals of one extraction.
struct Extraction {
  std::FILE* output = nullptr;
  int64_t framesWritten = 0;
  uint64_t bytesWritten = 0;
  uint64_t frequency = 0;
  double totalTicks = 0.0;
};

// One timed request and the picture written; false after the retrieval message.
bool DecodeFrame(void* video, int64_t frameIndex, Extraction& extraction) {
  void* image = nullptr;
  uint64_t start = 0;
  uint64_t end = 0;
  ReadPerfCounter(&start);
  const int32_t status = readerApi.ZR8READER_ReadVideoStream_GetFrame(video, frameIndex, &image);
  ReadPerfCounter(&end);
  const auto ticks = static_cast<double>(end - start);
  extraction.totalTicks += ticks;

  std::wostream& out = platform::WideConsole();
  if (status < 0) {
    out << "An error occurred retrieving frame " << frameIndex << "\n";
    return false;
  }
  out << "Retrieved frame " << frameIndex << " in "
      << TicksToMilliseconds(ticks, extraction.frequency) << " ms\n";

  // Written straight from the locked picture, without a copy.
  const void* data = readerApi.ZR8READER_Image_LockForCPU(image, 1);
  const uint32_t size = readerApi.ZR8READER_Image_TotalSize(image);
  // A picture without readable bytes is counted but has nothing to write.
  if (data != nullptr && size > 0) std::fwrite(data, size, 1, extraction.output);
  extraction.bytesWritten += size;
  ++extraction.framesWritten;
  readerApi.ZR8READER_Image_Unlock(image);
  readerApi.ZR8READER_DeleteImageHandle(image);
  return true;
}

// The timed decode into the frame file. False when it ended on a failure (message written, file
// closed), true after the totals.
bool ExtractFrames(void* video, int64_t frameCount, const VideoFormat& format, bool dualStream) {
  const std::string outputName =
      std::string(platform::OutputPathPrefix()) + "zr8reader." + PixelTypeName(format.pixelType);
  Extraction extraction;
  extraction.output = platform::OpenOutputFile(outputName.c_str(), "wb");
  if (extraction.output == nullptr) {
    platform::NarrowConsole() << "failed to open output file '" << outputName << "' for writing\n";
    return false;
  }

  const int64_t framesToDecode = std::min<int64_t>(frameCount, dualStream ? 64 : 128);
  ReadPerfFrequency(&extraction.frequency);
  if (framesToDecode > 0) {
    // The loop counts written pictures, not passes: a dual-stream pass writes two, so an odd
    // count ends with one picture more than it asks for.
    const int64_t middle = frameCount / 2;
    int64_t frameIndex = 0;
    do {
      if (!DecodeFrame(video, frameIndex, extraction) ||
          (dualStream && !DecodeFrame(video, middle + frameIndex, extraction))) {
        std::fclose(extraction.output);
        return false;
      }
      ++frameIndex;
    } while (extraction.framesWritten < framesToDecode);
  }
  std::fclose(extraction.output);

  platform::NarrowConsole() << "Written " << extraction.bytesWritten << " bytes for  "
                            << framesToDecode << " frames to file '" << outputName << "'\n";
  if (framesToDecode > 0) {
    WriteDecodeStatistics(framesToDecode, extraction.totalTicks, extraction.frequency);
  }
  return true;
}

}  // namespace

void VideoExample(std::wstring fileName, bool extract, bool dualStream, int32_t hardware,
                  bool optimal, bool gpuBuffer) {
  WriteTitle("\nVideo example");
  WriteFileHeader("\nFile: \"", fileName);
  if (!LoadReaderWithMessage()) return;

  // The hardware subsystem is initialised before the library itself.
  HardwareState hardwareState;
  InitializeHardware(hardware, true, hardwareState);
  if (hardware != kHardwareNone && !QuerySupportedDecodersWithMessage()) return;
  if (!InitializeReaderWithMessage()) return;
  SetPluginPreferences(hardware, hardwareState);
  if (!CheckSupportedWithMessage(fileName)) return;

  Session session;
  if (!CreatePools(session, gpuBuffer)) return;

  const DecodePrefs prefs = RequestedDecodePrefs(hardware, optimal, true, hardwareState);
  int64_t frameCount = 0;
  VideoFormat format;
  VideoCompressedFormat compressed;
  if (!OpenVideo(session, fileName, prefs, &frameCount, &format, &compressed)) return;

  WriteVideoDescription(platform::WideConsole(), format, compressed);

  const bool finished = !extract || ExtractFrames(session.video, frameCount, format, dualStream);
  session.Release(finished ? &hardwareState : nullptr);
}
