// The performance-counter reads and the three statistics lines that close a timed decode, shared by
// the single-file decode and the read threads.
#pragma once

#include <cstdint>
#include <string>

// Each sets *value to 0, then to the counter's frequency or current value; false (and 0) when the
// platform cannot read it. Callers use the value without looking at the result.
bool ReadPerfFrequency(uint64_t* value);
bool ReadPerfCounter(uint64_t* value);

// Milliseconds for a tick count at the given frequency (non-finite when the frequency is 0).
double TicksToMilliseconds(double ticks, uint64_t frequency);

// The three statistics lines for frameCount frames that took totalTicks in all:
//   "Decoded %lld frames in %6.2fms\n", "Average Decode Time : %6.2fms\n",
//   "Frames per second: %dfps\n".
std::string DecodeStatisticsText(int64_t frameCount, double totalTicks, uint64_t frequency);

// Prints DecodeStatisticsText through printf-style output.
void WriteDecodeStatistics(int64_t frameCount, double totalTicks, uint64_t frequency);
