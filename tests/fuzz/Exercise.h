// One fuzz input run through the reader library the way a client uses it: shared by the libFuzzer
// targets (build-fuzz, clang) and the regression test of the saved inputs (the normal build).
#pragma once

#include <cstddef>
#include <cstdint>

namespace zr8fuzz {

enum class Mode { Video, Audio };

// The last kTrailerSize bytes of an input (when it is longer) steer the requests: stream, pixel
// type, frame indices, sample positions and sizes. The bytes before them are the media file.
constexpr size_t kTrailerSize = 16;

// Writes the media part to a temporary file in /dev/shm (else /tmp), opens and indexes it, and asks
// for at most 8 frames (Video) or 6 sample ranges (Audio); every handle is released. Returns the
// number of library calls that succeeded (a statistic; findings are crashes and sanitizer reports).
int Exercise(const uint8_t* data, size_t size, Mode mode);

}  // namespace zr8fuzz
