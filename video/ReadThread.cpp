#include "video/ReadThread.h"

#include <algorithm>
#include <cstdio>
#include <sstream>
#include <string>

#include "platform/Platform.h"
#include "reader/ReaderApi.h"
#include "video/DecodeStatistics.h"
#include "video/VideoNames.h"

namespace {

constexpr uint64_t kFramesPerThread = 32;

// Threads share the console: each line is put together first and written in one piece, so that
// lines of different threads do not break into each other.
void WriteWideLine(const std::wostringstream& line) {
  platform::WideConsole() << line.str();
}

}  // namespace

void ReadThreadMain(int32_t threadIndex, void* videoStream, uint64_t frameCount,
                    VideoFormat videoFormat) {
  const std::string outputName = std::string(platform::OutputPathPrefix()) + "zr8reader." +
                                 std::to_string(threadIndex) + "." +
                                 PixelTypeName(videoFormat.pixelType);
  std::FILE* output = platform::OpenOutputFile(outputName.c_str(), "wb");
  if (output == nullptr) {
    platform::NarrowConsole() << ("failed to open output file '" + outputName + "' for writing\n");
    return;
  }

  const uint64_t framesToDecode = std::min<uint64_t>(frameCount, kFramesPerThread);
  uint64_t bytesWritten = 0;
  double totalTicks = 0.0;
  uint64_t frequency = 0;
  ReadPerfFrequency(&frequency);

  for (uint64_t request = 0; request < framesToDecode; ++request) {
    const auto frameIndex =
        threadIndex == 0
            ? static_cast<int64_t>(request)
            : static_cast<int64_t>(static_cast<uint64_t>(platform::RuntimeRand()) % frameCount);

    void* image = nullptr;
    uint64_t start = 0;
    uint64_t end = 0;
    ReadPerfCounter(&start);
    const int32_t status =
        readerApi.ZR8READER_ReadVideoStream_GetFrame(videoStream, frameIndex, &image);
    ReadPerfCounter(&end);
    const auto ticks = static_cast<double>(end - start);
    totalTicks += ticks;

    if (status < 0) {
      std::wostringstream line;
      line << "An error occurred retrieving frame " << frameIndex << "\n";
      WriteWideLine(line);
      // The pictures written so far stay in the file.
      std::fclose(output);
      return;
    }
    std::wostringstream line;
    line << "Retrieved frame " << frameIndex << " for file " << threadIndex << " in "
         << TicksToMilliseconds(ticks, frequency) << " ms\n";
    WriteWideLine(line);

    const void* data = readerApi.ZR8READER_Image_LockForCPU(image, 1);
    const uint32_t size = readerApi.ZR8READER_Image_TotalSize(image);
    // A picture without readable bytes is counted but has nothing to write.
    if (data != nullptr && size > 0) std::fwrite(data, size, 1, output);
    bytesWritten += size;
    readerApi.ZR8READER_Image_Unlock(image);
    readerApi.ZR8READER_DeleteImageHandle(image);
  }
  std::fclose(output);

  platform::NarrowConsole() << ("Written " + std::to_string(bytesWritten) + " bytes for  " +
                                std::to_string(framesToDecode) + " frames to file '" + outputName +
                                "' for thread " + std::to_string(threadIndex) + "\n");
  if (framesToDecode > 0) {
    WriteDecodeStatistics(static_cast<int64_t>(framesToDecode), totalTicks, frequency);
  }
  std::printf("Exiting read thread %d\n", threadIndex);
}
