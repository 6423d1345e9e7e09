// Which packets of an H.264 or HEVC stream do not reach the decoder whole: NAL units that do not
// split, or that the decoder rejects at their first header bits. The decoder drops such a unit, and
// the picture with it where it held the picture's only slice.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Av.h"
#include "FrameIndex.h"

namespace zr8 {

// Length-prefixed H.264 and HEVC (as MP4 and Matroska carry them): the bytes of each NAL unit's
// length; 0 for other streams.
int NalLengthSize(const AVCodecParameters& parameters);

// Whether a packet read from the file reaches the decoder whole: its NAL units split (in length
// prefixes of `lengthSize` bytes, or in start codes where that is 0) and none is damaged at its
// start. Streams of other codings are always whole.
bool ReadPacketWhole(AVCodecID codec, int lengthSize, const AVPacket& packet);

// The packets of an indexed stream (length-prefixed) that do not reach the decoder whole, read from
// the file by position through a window of 16 KB (small packets share one read).
std::vector<int64_t> DamagedPackets(const std::string& path, AVCodecID codec,
                                    const std::vector<PacketEntry>& packets, int lengthSize);

}  // namespace zr8
