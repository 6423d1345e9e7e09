// What the fake reader library delivers, shared with the tests that check the client's output
// files.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace fake {

// The pictures of these frames of one stream, one after the other: each holds its frame number in
// its first eight bytes (little-endian), then a pattern that differs by frame and by stream serial
// (1 for the first stream opened).
inline std::string Pictures(const std::vector<int64_t>& frames, int32_t streamSerial,
                            uint32_t size = 192) {
  std::string bytes;
  for (const int64_t frame : frames) {
    for (uint32_t i = 0; i < size; ++i) {
      const auto value = static_cast<uint64_t>(frame);
      bytes.push_back(
          static_cast<char>(i < 8 ? value >> (8 * i) : value * 31 + streamSerial * 101 + i));
    }
  }
  return bytes;
}

// Audio frames [first, first + count) of a stream with this many channels as 32-bit floats, exact
// for every frame the tests use.
inline std::string Pcm(int64_t first, int64_t count, int32_t channels) {
  std::string bytes;
  for (int64_t frame = first; frame < first + count; ++frame) {
    for (int32_t channel = 0; channel < channels; ++channel) {
      const float value = static_cast<float>(frame) + 0.125f * static_cast<float>(channel);
      bytes.append(reinterpret_cast<const char*>(&value), sizeof(value));
    }
  }
  return bytes;
}

}  // namespace fake
