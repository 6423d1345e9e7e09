// The frame numbers the client requests and the masking of the measured times in its output.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace video_output {

// The first count values of the runtime's never-seeded rand, modulo frameCount.
std::vector<int64_t> RandomFrames(size_t count, uint64_t frameCount);

// Frames 0 to count - 1.
std::vector<int64_t> FirstFrames(int64_t count);

// The output with every measured time replaced by "#": per-frame lines end "in # ms", the
// statistics lines read "in #ms", ": #ms" and ": #fps". A statistics time only where it has the
// printf layout "%6.2f", so that a wrong layout shows in the comparison.
std::string MaskTimes(const std::string& out);

}  // namespace video_output
