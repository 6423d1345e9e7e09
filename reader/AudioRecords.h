// The audio format record that the reader library fills for one audio stream.
#pragma once

#include <cstddef>
#include <cstdint>

// 56 bytes, 8-byte aligned. The client zeroes bytes 0 to 51 before the query; the bytes it does not
// read belong to the library.
struct AudioCompressedFormat {
  uint32_t format = 0;  // four characters, the first in the most significant byte
  uint8_t reserved4[4] = {};
  double sampleRate = 0.0;
  int32_t channels = 0;
  int32_t bitDepth = 0;
  uint8_t reserved24[16] = {};
  uint32_t avgBitRate = 0;
  uint32_t maxBitRate = 0;
  uint32_t fourCC = 0;
};

static_assert(sizeof(AudioCompressedFormat) == 56);
static_assert(alignof(AudioCompressedFormat) == 8);
static_assert(offsetof(AudioCompressedFormat, format) == 0);
static_assert(offsetof(AudioCompressedFormat, sampleRate) == 8);
static_assert(offsetof(AudioCompressedFormat, channels) == 16);
static_assert(offsetof(AudioCompressedFormat, bitDepth) == 20);
static_assert(offsetof(AudioCompressedFormat, avgBitRate) == 40);
static_assert(offsetof(AudioCompressedFormat, maxBitRate) == 44);
static_assert(offsetof(AudioCompressedFormat, fourCC) == 48);
