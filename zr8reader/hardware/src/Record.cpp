// The detection record and the in-process queries built on it.
#include <algorithm>
#include <cstring>
#include <new>

#include "Internal.h"
#include "text/WideText.h"
#include "zr8hardware/Hardware.h"

namespace zr8hw {

namespace {

template <typename T>
void Put(unsigned char* at, T value) {
  std::memcpy(at, &value, sizeof value);
}

template <typename T>
T Get(const unsigned char* at) {
  T value;
  std::memcpy(&value, at, sizeof value);
  return value;
}

// Zero-terminated UTF-8 into a field of `size` bytes, cut at a character boundary.
void PutText(unsigned char* at, std::size_t size, const std::string& text) {
  std::size_t length = std::min(text.size(), size - 1);
  if (length < text.size()) {
    while (length > 0 && (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80) --length;
  }
  std::memcpy(at, text.data(), length);
}

constexpr std::size_t kDeviceTableOffset = kHeaderSize;

void WriteDevice(unsigned char* at, const Device& device, uint32_t decoderIndex) {
  Put<int32_t>(at + 0, device.kind);
  Put<uint32_t>(at + 4, device.vendorId);
  Put<uint32_t>(at + 8, device.deviceId);
  Put<uint32_t>(at + 12, static_cast<uint32_t>(device.source));
  Put<int32_t>(at + 16, device.index);
  Put<uint32_t>(at + 20, decoderIndex);
  Put<uint64_t>(at + 24, device.totalMemory);
  PutText(at + 32, 128, device.name);
  PutText(at + 160, 64, device.driver);
  PutText(at + 224, 64, device.driverVersion);
  PutText(at + 288, 128, device.location);
  PutText(at + 416, 64, device.pciSlot);
}

}  // namespace

void CopyUtf16(const std::string& text, char16_t* out, std::size_t units) {
  if (units == 0) return;
  std::size_t written = 0;
  std::size_t at = 0;
  while (at < text.size()) {
    char32_t code = 0xFFFD;  // each byte that is not UTF-8
    const std::size_t length = platform::DecodeUtf8(text, at, &code);
    at += length == 0 ? 1 : length;
    char16_t pair[2];
    const std::size_t needed = platform::EncodeUtf16(code, pair);
    if (written + needed > units - 1) break;
    std::copy_n(pair, needed, out + written);
    written += needed;
  }
  std::fill(out + written, out + units, u'\0');
}

void WriteDetectionRecord(const Detection& detection, int32_t dxgiEnumPreference, void* record) {
  auto* bytes = static_cast<unsigned char*>(record);
  std::memset(bytes, 0, kDetectionRecordSize);
  const std::size_t devices = std::min(detection.devices.size(), kDeviceTableCapacity);
  Put<uint32_t>(bytes + 0, kDetectionMagic);
  Put<uint32_t>(bytes + 4, kDetectionLayoutVersion);
  Put<uint32_t>(bytes + 8, kHeaderSize);
  Put<uint32_t>(bytes + 12, kDeviceEntrySize);
  Put<uint32_t>(bytes + 16, kDeviceTableCapacity);
  Put<uint32_t>(bytes + 20, static_cast<uint32_t>(devices));
  Put<int32_t>(bytes + 24, detection.cudaStatus);
  Put<int32_t>(bytes + 28, detection.cudaDriverVersion);
  Put<int32_t>(bytes + 32, dxgiEnumPreference);
  Put<uint32_t>(bytes + 36, detection.renderNodes);
  PutText(bytes + 64, 192, detection.nvidiaKernelDriver);

  uint32_t decoders = 0;
  for (std::size_t i = 0; i < detection.devices.size(); ++i) {
    const Device& device = detection.devices[i];
    const bool isDecoder = device.kind != kKindNone;
    if (i < devices) {
      WriteDevice(bytes + kDeviceTableOffset + i * kDeviceEntrySize, device,
                  isDecoder ? decoders : 0xFFFFFFFFu);
    }
    if (!isDecoder) continue;
    if (decoders < kDecoderListCapacity) {
      unsigned char* entry = bytes + kDecoderListOffset + decoders * kDecoderEntrySize;
      HardwareDecoderInfo info{};
      info.kind = device.kind;
      CopyUtf16(device.name, info.deviceName, std::size(info.deviceName));
      info.vendorUniqueId = device.vendorId;
      std::memcpy(entry, &info, sizeof info);
      Put<uint32_t>(entry + 264, i < devices ? static_cast<uint32_t>(i) : 0xFFFFFFFFu);
    }
    ++decoders;
  }
  Put<uint32_t>(bytes + kDecoderCountOffset, decoders);
}

bool IsValidDetectionRecord(const void* record, std::size_t size) {
  if (!record || size != kDetectionRecordSize) return false;
  const auto* bytes = static_cast<const unsigned char*>(record);
  if (Get<uint32_t>(bytes + 0) != kDetectionMagic ||
      Get<uint32_t>(bytes + 4) != kDetectionLayoutVersion ||
      Get<uint32_t>(bytes + 8) != kHeaderSize || Get<uint32_t>(bytes + 12) != kDeviceEntrySize ||
      Get<uint32_t>(bytes + 16) != kDeviceTableCapacity ||
      Get<uint32_t>(bytes + 20) > kDeviceTableCapacity) {
    return false;
  }
  const uint32_t decoders = Get<uint32_t>(bytes + kDecoderCountOffset);
  for (std::size_t i = 0; i < std::min<std::size_t>(decoders, kDecoderListCapacity); ++i) {
    HardwareDecoderInfo info;
    std::memcpy(&info, bytes + kDecoderListOffset + i * kDecoderEntrySize, sizeof info);
    if (info.kind < kKindIntel || info.kind > kKindNvidia) return false;
    if (info.deviceName[std::size(info.deviceName) - 1] != u'\0') return false;
  }
  return true;
}

std::vector<HardwareDecoderInfo> DecodersOfRecord(const void* record) {
  const auto* bytes = static_cast<const unsigned char*>(record);
  const std::size_t count =
      std::min<std::size_t>(Get<uint32_t>(bytes + kDecoderCountOffset), kDecoderListCapacity);
  std::vector<HardwareDecoderInfo> decoders(count);
  for (std::size_t i = 0; i < count; ++i) {
    std::memcpy(&decoders[i], bytes + kDecoderListOffset + i * kDecoderEntrySize,
                sizeof decoders[i]);
  }
  return decoders;
}

int32_t SupportedDecoders(int32_t capacity, void* records, int32_t* count, const System& system) {
  if (!count || capacity < 0 || (capacity > 0 && !records)) return kInvalidArg;
  try {
    const Detection detection = Detect(system);
    const std::vector<const Device*> decoders = detection.Decoders();
    auto* out = static_cast<HardwareDecoderInfo*>(records);
    const std::size_t fill = std::min(decoders.size(), static_cast<std::size_t>(capacity));
    for (std::size_t i = 0; i < fill; ++i) {
      HardwareDecoderInfo info{};
      info.kind = decoders[i]->kind;
      CopyUtf16(decoders[i]->name, info.deviceName, std::size(info.deviceName));
      info.vendorUniqueId = decoders[i]->vendorId;
      std::memcpy(&out[i], &info, sizeof info);
    }
    *count = static_cast<int32_t>(decoders.size());
    return kOk;
  } catch (const std::bad_alloc&) {
    return kOutOfMemory;
  } catch (...) {
    return kFail;
  }
}

int32_t DetectionResults(void* results, int32_t dxgiEnumPreference, const System& system) {
  if (!results) return kInvalidArg;
  try {
    WriteDetectionRecord(Detect(system), dxgiEnumPreference, results);
    return kOk;
  } catch (const std::bad_alloc&) {
    return kOutOfMemory;
  } catch (...) {
    return kFail;
  }
}

}  // namespace zr8hw
