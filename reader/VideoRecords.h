// The records exchanged with the reader library about one video stream: its decoded picture
// format, its coded form, and the decode preferences that go with the request to open it.
#pragma once

#include <cstddef>
#include <cstdint>

// Pixel-type codes that the client itself asks for.
inline constexpr int32_t kPixelTypeI420 = 0x2000;

// 144 bytes, 8-byte aligned. A new record holds the defaults below; the library overwrites it.
// Fields named reservedNN are carried but never interpreted by the client.
struct VideoFormat {
  uint64_t reserved0 = 0;
  int32_t pixelType = 0;
  uint32_t reserved12 = 0;
  uint32_t reserved16 = 0;
  uint32_t width = 0;
  uint32_t height = 0;
  bool reserved28 = true;
  uint64_t reserved32 = 0;
  double reserved40 = 0.0;
  uint64_t reserved48 = 0;
  uint32_t reserved56 = 0;
  int32_t interlace = 0;
  double aspectRatio = 1.0;
  double frameRate = 0.0;
  double reserved80 = 0.0;
  uint64_t reserved88 = 0;
  int32_t reserved96 = -1;
  // 8 bytes at offset 100, which is only 4-byte aligned: kept as bytes so the layout needs no
  // packing.
  uint8_t reserved100[8] = {};
  uint8_t padding108[4] = {};
  uint8_t reserved112[16] = {};
  bool reserved128 = false;
  uint64_t reserved136 = 0;
};

static_assert(sizeof(VideoFormat) == 144);
static_assert(alignof(VideoFormat) == 8);
static_assert(offsetof(VideoFormat, pixelType) == 8);
static_assert(offsetof(VideoFormat, width) == 20);
static_assert(offsetof(VideoFormat, height) == 24);
static_assert(offsetof(VideoFormat, reserved28) == 28);
static_assert(offsetof(VideoFormat, reserved32) == 32);
static_assert(offsetof(VideoFormat, interlace) == 60);
static_assert(offsetof(VideoFormat, aspectRatio) == 64);
static_assert(offsetof(VideoFormat, frameRate) == 72);
static_assert(offsetof(VideoFormat, reserved96) == 96);
static_assert(offsetof(VideoFormat, reserved100) == 100);
static_assert(offsetof(VideoFormat, reserved112) == 112);
static_assert(offsetof(VideoFormat, reserved128) == 128);
static_assert(offsetof(VideoFormat, reserved136) == 136);

// 12 bytes, zeroed by the caller before the query.
struct VideoCompressedFormat {
  uint8_t reserved0[8] = {};
  uint32_t fourCC = 0;  // the first character in the most significant byte
};

static_assert(sizeof(VideoCompressedFormat) == 12);
static_assert(offsetof(VideoCompressedFormat, fourCC) == 8);

// 120 bytes, 8-byte aligned. The unnamed fields are the library's; the client passes the defaults.
struct DecodePrefs {
  double reserved0 = 1.0;
  double reserved8 = 1.0;
  bool useOptimalPixelType = false;
  int32_t pixelType = kPixelTypeI420;
  uint32_t reserved24 = 0;
  int32_t hardwarePreference = 0;
  uint32_t reserved32 = 0;
  bool reserved36 = false;
  double reserved40 = 23.976;
  bool reserved48 = false;
  uint32_t reserved52 = 0;
  bool useCuda = false;
  int32_t cudaId = 0;
  void* cudaHandle1 = nullptr;
  void* cudaHandle2 = nullptr;
  bool useAmf = false;
  uint64_t reserved88 = 0;
  uint32_t reserved96 = 1;
  void* amfHandle1 = nullptr;
  void* amfHandle2 = nullptr;
};

static_assert(sizeof(void*) == 8, "the records are laid out for a 64-bit target");
static_assert(sizeof(DecodePrefs) == 120);
static_assert(alignof(DecodePrefs) == 8);
static_assert(offsetof(DecodePrefs, reserved8) == 8);
static_assert(offsetof(DecodePrefs, useOptimalPixelType) == 16);
static_assert(offsetof(DecodePrefs, pixelType) == 20);
static_assert(offsetof(DecodePrefs, reserved24) == 24);
static_assert(offsetof(DecodePrefs, hardwarePreference) == 28);
static_assert(offsetof(DecodePrefs, reserved32) == 32);
static_assert(offsetof(DecodePrefs, reserved36) == 36);
static_assert(offsetof(DecodePrefs, reserved40) == 40);
static_assert(offsetof(DecodePrefs, reserved48) == 48);
static_assert(offsetof(DecodePrefs, reserved52) == 52);
static_assert(offsetof(DecodePrefs, useCuda) == 56);
static_assert(offsetof(DecodePrefs, cudaId) == 60);
static_assert(offsetof(DecodePrefs, cudaHandle1) == 64);
static_assert(offsetof(DecodePrefs, cudaHandle2) == 72);
static_assert(offsetof(DecodePrefs, useAmf) == 80);
static_assert(offsetof(DecodePrefs, reserved88) == 88);
static_assert(offsetof(DecodePrefs, reserved96) == 96);
static_assert(offsetof(DecodePrefs, amfHandle1) == 104);
static_assert(offsetof(DecodePrefs, amfHandle2) == 112);
