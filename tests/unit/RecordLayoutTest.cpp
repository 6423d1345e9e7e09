// The client's records against the reader library's public header: the same size, alignment and
// field offsets (of the decode preferences, which the client fills, every field; of the records it
// reads, the fields it reads). Headers only, no library code.
#include <gtest/gtest.h>

#include <cstddef>

#include "reader/AudioRecords.h"
#include "reader/HardwareRecords.h"
#include "reader/OpenCLContextInfo.h"
#include "reader/VideoRecords.h"
#include "zr8reader/include/Zr8Reader.h"

namespace {

#define EXPECT_SAME_RECORD(client, library)              \
  EXPECT_EQ(sizeof(client), sizeof(library)) << #client; \
  EXPECT_EQ(alignof(client), alignof(library)) << #client
#define EXPECT_SAME_FIELD(client, field, library, libraryField) \
  EXPECT_EQ(offsetof(client, field), offsetof(library, libraryField)) << #client "." #field

TEST(RecordLayout, ClientRecordsMatchTheLibraryHeader) {
  EXPECT_SAME_RECORD(AudioCompressedFormat, Zr8AudioCompressedFormat);
  EXPECT_SAME_FIELD(AudioCompressedFormat, format, Zr8AudioCompressedFormat, format);
  EXPECT_SAME_FIELD(AudioCompressedFormat, sampleRate, Zr8AudioCompressedFormat, sampleRate);
  EXPECT_SAME_FIELD(AudioCompressedFormat, channels, Zr8AudioCompressedFormat, channels);
  EXPECT_SAME_FIELD(AudioCompressedFormat, bitDepth, Zr8AudioCompressedFormat, bitDepth);
  EXPECT_SAME_FIELD(AudioCompressedFormat, avgBitRate, Zr8AudioCompressedFormat, avgBitRate);
  EXPECT_SAME_FIELD(AudioCompressedFormat, maxBitRate, Zr8AudioCompressedFormat, maxBitRate);
  EXPECT_SAME_FIELD(AudioCompressedFormat, fourCC, Zr8AudioCompressedFormat, fourCC);

  EXPECT_SAME_RECORD(VideoFormat, Zr8VideoFormat);
  EXPECT_SAME_FIELD(VideoFormat, pixelType, Zr8VideoFormat, pixelType);
  EXPECT_SAME_FIELD(VideoFormat, width, Zr8VideoFormat, width);
  EXPECT_SAME_FIELD(VideoFormat, height, Zr8VideoFormat, height);
  EXPECT_SAME_FIELD(VideoFormat, interlace, Zr8VideoFormat, interlace);
  EXPECT_SAME_FIELD(VideoFormat, aspectRatio, Zr8VideoFormat, aspectRatio);
  EXPECT_SAME_FIELD(VideoFormat, frameRate, Zr8VideoFormat, frameRate);

  EXPECT_SAME_RECORD(VideoCompressedFormat, Zr8VideoCompressedFormat);
  EXPECT_SAME_FIELD(VideoCompressedFormat, fourCC, Zr8VideoCompressedFormat, fourCC);

  EXPECT_SAME_RECORD(DecodePrefs, Zr8DecodePrefs);
  EXPECT_SAME_FIELD(DecodePrefs, reserved8, Zr8DecodePrefs, reserved8);
  EXPECT_SAME_FIELD(DecodePrefs, useOptimalPixelType, Zr8DecodePrefs, useOptimalPixelType);
  EXPECT_SAME_FIELD(DecodePrefs, pixelType, Zr8DecodePrefs, pixelType);
  EXPECT_SAME_FIELD(DecodePrefs, hardwarePreference, Zr8DecodePrefs, hardwarePreference);
  EXPECT_SAME_FIELD(DecodePrefs, reserved32, Zr8DecodePrefs, decoderThreads);
  EXPECT_SAME_FIELD(DecodePrefs, reserved40, Zr8DecodePrefs, reserved40);
  EXPECT_SAME_FIELD(DecodePrefs, useCuda, Zr8DecodePrefs, useCuda);
  EXPECT_SAME_FIELD(DecodePrefs, cudaId, Zr8DecodePrefs, cudaId);
  EXPECT_SAME_FIELD(DecodePrefs, cudaHandle1, Zr8DecodePrefs, cudaHandle1);
  EXPECT_SAME_FIELD(DecodePrefs, cudaHandle2, Zr8DecodePrefs, cudaHandle2);
  EXPECT_SAME_FIELD(DecodePrefs, useAmf, Zr8DecodePrefs, useAmf);
  EXPECT_SAME_FIELD(DecodePrefs, reserved96, Zr8DecodePrefs, reserved96);
  EXPECT_SAME_FIELD(DecodePrefs, amfHandle1, Zr8DecodePrefs, amfHandle1);
  EXPECT_SAME_FIELD(DecodePrefs, amfHandle2, Zr8DecodePrefs, amfHandle2);

  EXPECT_SAME_RECORD(OpenCLContextInfo, Zr8OpenCLContextInfo);
  EXPECT_SAME_FIELD(OpenCLContextInfo, device, Zr8OpenCLContextInfo, device);
  EXPECT_SAME_FIELD(OpenCLContextInfo, context, Zr8OpenCLContextInfo, context);
  EXPECT_SAME_FIELD(OpenCLContextInfo, commandQueue, Zr8OpenCLContextInfo, commandQueue);

  EXPECT_SAME_RECORD(HardwareDecoderInfo, Zr8HardwareDecoderInfo);
  EXPECT_SAME_FIELD(HardwareDecoderInfo, deviceName, Zr8HardwareDecoderInfo, deviceName);
  EXPECT_SAME_FIELD(HardwareDecoderInfo, vendorUniqueId, Zr8HardwareDecoderInfo, vendorUniqueId);
  EXPECT_EQ(kDetectionResultsSize, size_t{ZR8_DETECTION_RESULTS_SIZE});
  EXPECT_EQ(kDetectionDecoderCountOffset, size_t{ZR8_DETECTION_COUNT_OFFSET});
}

}  // namespace
