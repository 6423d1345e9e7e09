// The file reports: the brief report and the audio report with PCM extraction.
#pragma once

#include <cstdint>
#include <string>

void BasicInformationExample(std::wstring fileName);
void AudioExample(std::wstring fileName, bool extract, int32_t streamIndex);
