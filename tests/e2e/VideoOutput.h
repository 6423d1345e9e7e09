// What the fake delivers into the client's files, the random frame numbers of the read threads,
// and the masking of the measured times in the client's output.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace video_output {

// The bytes of these frames of one stream, one picture after the other, as the fake delivers them.
std::string Pictures(const std::vector<int64_t>& frames, int32_t streamSerial, uint32_t size = 192);

// The bytes the fake delivers for frames [0, frames) of an audio stream with this many channels.
std::string Pcm(int64_t frames, int channels);

// The first count values of the runtime's never-seeded rand, modulo frameCount.
std::vector<int64_t> RandomFrames(size_t count, uint64_t frameCount);

// Frames 0 to count - 1.
std::vector<int64_t> FirstFrames(int64_t count);

// The output with every measured time replaced by "#": per-frame lines end "in # ms", the
// statistics lines read "in #ms", ": #ms" and ": #fps". A statistics time only where it has the
// printf layout "%6.2f", so that a wrong layout shows in the comparison.
std::string MaskTimes(const std::string& out);

// The lines of out that contain needle, in order.
std::vector<std::string> LinesWith(const std::string& out, const std::string& needle);

// The frame numbers of the GetFrame calls on one stream handle ("video2"), in order.
std::vector<int64_t> RequestedFrames(const std::vector<std::string>& calls,
                                     const std::string& stream);

}  // namespace video_output
