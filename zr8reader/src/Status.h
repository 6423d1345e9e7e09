// Status values of the entry points.
#pragma once

#include <cstdint>

namespace zr8 {

inline constexpr int32_t kOk = 0;
inline constexpr int32_t kFalse = 1;
inline constexpr int32_t kNotImpl = static_cast<int32_t>(0x80004001u);
inline constexpr int32_t kNoInterface = static_cast<int32_t>(0x80004002u);
inline constexpr int32_t kFail = static_cast<int32_t>(0x80004005u);
inline constexpr int32_t kOutOfMemory = static_cast<int32_t>(0x8007000Eu);
inline constexpr int32_t kInvalidArg = static_cast<int32_t>(0x80070057u);
inline constexpr int32_t kBounds = static_cast<int32_t>(0x8000000Bu);
inline constexpr int32_t kNotOpen = static_cast<int32_t>(0x80070006u);

}  // namespace zr8
