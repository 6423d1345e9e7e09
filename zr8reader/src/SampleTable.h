// The parts of an MP4/MOV file's sample table of one track that the demuxer's index entries do
// not carry: how many samples the track has, each sample's composition offset (presentation time
// minus decode time) and the duration of the last sample. Read straight from the file's boxes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zr8 {

struct SampleTable {
  int64_t sampleCount = 0;
  std::vector<int64_t> compositionOffsets;  // one per sample; empty when the track has none
  int64_t lastDuration = 0;                 // the last sample's decode-time step
};

// False when the file cannot be read, is fragmented (its samples are not all in the movie box),
// or has no track `trackId`.
bool ReadSampleTable(const std::string& path, int trackId, SampleTable* table);

}  // namespace zr8
