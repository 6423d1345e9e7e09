// What the fake reader library delivers, shared with the tests that check the client's output
// files.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

namespace fake {

// One audio sample: exact in 32-bit float for every frame the tests use.
inline float SampleValue(int64_t frame, int32_t channel) {
  return static_cast<float>(frame) + 0.125f * static_cast<float>(channel);
}

// The picture of one frame of one stream: the frame number in the first eight bytes
// (little-endian), then a pattern that differs by frame and by stream serial (1 for the first
// stream opened).
inline std::vector<uint8_t> PictureBytes(int64_t frame, int32_t streamSerial, uint32_t size) {
  std::vector<uint8_t> bytes(size);
  for (uint32_t i = 0; i < size; ++i) {
    bytes[i] = static_cast<uint8_t>(frame * 31 + streamSerial * 101 + i);
  }
  for (uint32_t i = 0; i < size && i < 8; ++i) {
    bytes[i] = static_cast<uint8_t>(static_cast<uint64_t>(frame) >> (8 * i));
  }
  return bytes;
}

}  // namespace fake
