// The hardware decoder records that the reader library fills, and the printable decoder names.
#pragma once

#include <cstddef>
#include <cstdint>

// HardwareDecoderKind: the codes of HardwareDecoderPreference, with 1 for "Auto".
enum HardwareDecoderKind : int32_t {
  kDecoderNone = 0,
  kDecoderAuto = 1,
  kDecoderIntel = 2,
  kDecoderAmd = 3,
  kDecoderNvidia = 4,
};

// 264 bytes, 4-byte aligned. deviceName is UTF-16 on every platform.
struct HardwareDecoderInfo {
  int32_t kind = 0;
  char16_t deviceName[128] = {};
  uint32_t vendorUniqueId = 0;
};

static_assert(sizeof(HardwareDecoderInfo) == 264);
static_assert(offsetof(HardwareDecoderInfo, deviceName) == 4);
static_assert(offsetof(HardwareDecoderInfo, vendorUniqueId) == 260);

// The detection record: the client reserves 38,240 bytes and reads only the decoder list at its
// tail.
inline constexpr size_t kDetectionResultsSize = 38240;
inline constexpr size_t kDetectionDecoderCountOffset = 33808;
inline constexpr size_t kDetectionDecoderListOffset = 33812;
inline constexpr size_t kDetectedDecoderSize = 276;
inline constexpr size_t kDetectedDecoderVendorIdOffset = 260;
inline constexpr uint32_t kDetectionListCapacity = 16;
static_assert(kDetectionDecoderListOffset + kDetectionListCapacity * kDetectedDecoderSize == 38228);
