// The hardware decoder checks. Each returns -1 (library not loaded), -2 (not initialised) or 0.
#pragma once

#include <cstdint>
#include <string>

int32_t HardwareCheck(std::wstring fileName);
int32_t HardwareCheckOOP(std::wstring fileName, int32_t timeoutMs, bool useCache);
int32_t HardwareDetection(std::wstring fileName, bool outOfProcess, int32_t timeoutMs,
                          bool useCache, int32_t dxgiEnumPreference);
