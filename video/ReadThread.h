// The body of one read thread of the multi-file decode.
#pragma once

#include <cstdint>

#include "reader/VideoRecords.h"

// Requests up to 32 frames of videoStream (in order on thread 0, at random positions on the
// others), times each request, writes every picture to the thread's own file and prints its own
// totals. The stream stays open: the driver releases it after the join.
void ReadThreadMain(int32_t threadIndex, void* videoStream, uint64_t frameCount,
                    VideoFormat videoFormat);
