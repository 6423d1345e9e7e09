// The audio report: the details of one audio stream and, when asked, every sample of it written as
// raw interleaved 32-bit float PCM to zr8reader.pcm in the current directory.
#include <algorithm>
#include <cstdio>
#include <memory>
#include <new>
#include <string>

#include "platform/Platform.h"
#include "reader/AudioRecords.h"
#include "reader/Preamble.h"
#include "reader/ReaderApi.h"
#include "reports/Reports.h"
#include "text/WideText.h"
#include "video/VideoNames.h"

namespace {

// The most frames one request asks for; the sample buffer holds one such block.
constexpr int64_t kBlockFrames = 4096;
constexpr size_t kOutputBuffer = size_t{1} << 20;

// The four bytes of the format code, most significant first, as a zero-terminated text: it ends
// early at the first zero byte. Each byte reaches the console as it is (platform::BytesToWide keeps
// bytes that are not UTF-8), as a narrow text would.
std::wstring FormatText(uint32_t format) {
  const char bytes[5] = {static_cast<char>(format >> 24), static_cast<char>(format >> 16),
                         static_cast<char>(format >> 8), static_cast<char>(format), '\0'};
  return platform::BytesToWide(bytes);
}

void WriteStreamDetails(std::wostream& out, int32_t streamIndex,
                        const AudioCompressedFormat& format, int64_t length, int64_t sampleCount) {
  out << "Details for stream " << streamIndex << ": \n\n";
  out << "Format: " << FormatText(format.format) << "\n";
  out << "Number of channels: " << format.channels << "\n";
  out << "Sample rate: " << format.sampleRate << "\n";
  out << "Bit depth: " << format.bitDepth << "\n";
  out << "Bits per channel: " << format.bitDepth << "\n";
  out << "Duration: " << TicksToSeconds(length) << " seconds\n";
  out << "Sample count: " << sampleCount << "\n";
  out << "Avg bit rate: " << format.avgBitRate << "\n";
  out << "Max bit rate: " << format.maxBitRate << "\n";
  out << "FourCC: " << FourCCToWString(format.fourCC) << "\n";
}

// Reads the stream block by block into buffer (channels x kBlockFrames floats) and writes each
// block to output in one write. The first request is always kBlockFrames frames at frame 0,
// whatever the sample count. A delivery of more frames than asked for but within the block is
// written like any other. False on a failed request, on a delivery of no frames, and on a delivery
// of more frames than the buffer holds.
bool CopySamples(void* audio, int64_t sampleCount, int32_t channels, float* buffer,
                 std::FILE* output, int64_t* written) {
  int64_t framesRead = 0;
  if (readerApi.ZR8READER_ReadAudioStream_GetSamples(audio, 0, buffer, kBlockFrames, &framesRead) <
      0)
    return false;
  int64_t remaining = sampleCount;
  int64_t start = 0;
  for (;;) {
    const int64_t frames = framesRead;
    if (frames <= 0 || frames > kBlockFrames) return false;
    const size_t bytes =
        static_cast<size_t>(channels) * static_cast<size_t>(frames) * sizeof(float);
    std::fwrite(buffer, 1, bytes, output);  // not checked: a short write goes unreported
    *written += frames;
    start += frames;
    // Tested before the subtraction, which overflows for a count near the lowest int64_t.
    if (frames >= remaining) return true;
    remaining -= frames;
    if (readerApi.ZR8READER_ReadAudioStream_GetSamples(
            audio, start, buffer, std::min(remaining, kBlockFrames), &framesRead) < 0) {
      return false;
    }
  }
}

void DeleteStreamAndFile(void* audio, void* file) {
  readerApi.ZR8READER_DeleteReadAudioStreamHandle(audio);
  readerApi.ZR8READER_DeleteReadFileHandle(file);
}

// The releases after a report without extraction and after a complete extraction.
void CloseAndRelease(void* audio, void* file) {
  readerApi.ZR8READER_ReadFile_CloseFile(file);
  DeleteStreamAndFile(audio, file);
}

// Extraction after the report lines. Each end releases the handles in its own order: after a
// sample error the handles go before the output file is closed; after a complete extraction the
// file is closed first and the "Written " line printed before the read file is closed.
void ExtractSamples(void* file, void* audio, int64_t sampleCount, int32_t channels) {
  std::wostream& out = platform::WideConsole();
  // A stream of fewer than one channel cannot be extracted: the buffer would be empty (0) or its
  // size not representable (below 0). The extraction is refused with a message of our own before
  // any buffer or output file exists, and ends like the other failed extractions (no CloseFile).
  // A buffer too large for the memory available is refused the same way rather than ending the
  // program.
  if (channels < 1) {
    out << "The audio samples cannot be extracted: the stream has " << channels << " channels.\n";
    DeleteStreamAndFile(audio, file);
    return;
  }
  const size_t bufferFloats = static_cast<size_t>(channels) * static_cast<size_t>(kBlockFrames);
  std::unique_ptr<float[]> buffer(new (std::nothrow) float[bufferFloats]());
  if (buffer == nullptr) {
    out << "The audio samples cannot be extracted: not enough memory for " << channels
        << " channels.\n";
    DeleteStreamAndFile(audio, file);
    return;
  }

  const std::string path = std::string(platform::OutputPathPrefix()) + "zr8reader.pcm";
  std::FILE* output = platform::OpenOutputFile(path.c_str(), "wb");
  if (output == nullptr) {
    platform::NarrowConsole() << "failed to open output file '" << path << "' for writing\n";
    DeleteStreamAndFile(audio, file);
    return;
  }
  // The blocks go out in large writes, not two system calls for each: the samples of a long
  // stream are written at the speed they are decoded.
  std::setvbuf(output, nullptr, _IOFBF, kOutputBuffer);

  int64_t written = 0;
  if (!CopySamples(audio, sampleCount, channels, buffer.get(), output, &written)) {
    out << "An error occurred retrieving the audio sample data.\n";
    DeleteStreamAndFile(audio, file);
    std::fclose(output);  // keeps every block written before the error
    return;
  }
  std::fclose(output);
  const uint64_t bytes = static_cast<uint64_t>(channels) * static_cast<uint64_t>(written) * 4u;
  platform::NarrowConsole() << "Written " << written << " samples (" << bytes << " bytes) to file '"
                            << path << "'\n";
  CloseAndRelease(audio, file);
}

}  // namespace

void AudioExample(std::wstring fileName, bool extract, int32_t streamIndex) {
  void* file = nullptr;
  if (!StartFileMode("\nAudio example", "\nFile: \"", fileName, 2, &file)) return;

  std::wostream& out = platform::WideConsole();
  const int32_t streamCount = readerApi.ZR8READER_ReadFile_GetAudioStreamCount(file);
  if (streamCount < 1) {
    out << "The specified file does not contain audio.\n";
    readerApi.ZR8READER_DeleteReadFileHandle(file);
    return;
  }
  // A negative index passes this test and goes to the library unchanged.
  if (streamIndex >= streamCount) {
    out << "The specified stream does not exist; file only contains " << streamCount << "\n";
    readerApi.ZR8READER_DeleteReadFileHandle(file);
    return;
  }
  out << "Number of audio streams: " << streamCount << "\n\n";

  void* audio = nullptr;
  if (readerApi.ZR8READER_ReadFile_OpenAudioStream(file, streamIndex, &audio) < 0) {
    out << "An error occurred opening the audio stream.\n";
    readerApi.ZR8READER_DeleteReadFileHandle(file);
    return;
  }

  const int64_t length = readerApi.ZR8READER_ReadAudioStream_GetStreamLength(audio);
  const int64_t sampleCount = readerApi.ZR8READER_ReadAudioStream_GetSampleCount(audio);
  AudioCompressedFormat format{};  // bytes 0 to 51 zeroed; the padding is never read
  if (readerApi.ZR8READER_ReadAudioStream_GetCompressedFormat(audio, &format) < 0) {
    out << "An error occurred access the audio format details.\n";
    DeleteStreamAndFile(audio, file);
    return;
  }
  WriteStreamDetails(out, streamIndex, format, length, sampleCount);

  if (extract) {
    ExtractSamples(file, audio, sampleCount, format.channels);
  } else {
    CloseAndRelease(audio, file);
  }
}
