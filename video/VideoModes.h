// The video modes: the timed decode of one file, and the decode of several files on read threads.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

void VideoExample(std::wstring fileName, bool extract, bool dualStream, int32_t hardware,
                  bool optimal, bool gpuBuffer);
void MultiFileVideoExample(std::vector<std::wstring> files, bool extract, bool dualStream,
                           int32_t hardware, bool optimal, bool gpuBuffer);
