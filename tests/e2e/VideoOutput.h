// The frames the client requests, and its output with the measured times masked.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace video_output {

// The first count values of the runtime's never-seeded rand, modulo frameCount.
std::vector<int64_t> RandomFrames(size_t count, uint64_t frameCount);
std::vector<int64_t> FirstFrames(int64_t count);  // 0 to count - 1

// Every measured time as "#": per-frame lines end "in # ms", the statistics lines read "in #ms",
// ": #ms" and ": #fps"; a statistics time only in its printf layout "%6.2f".
std::string MaskTimes(const std::string& out);

}  // namespace video_output
