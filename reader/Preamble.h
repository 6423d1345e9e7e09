// The frame with which every mode starts: title and file header, library load, initialisation,
// supported-type test and file open, each with its fixed message on failure.
#pragma once

#include <cstdint>
#include <string>

// Durations from the library are counts of 100-ns units.
double TicksToSeconds(int64_t ticks);

// The mode's title, then for file modes the header: headerOpening, the file name, "\"\n\n".
void WriteTitle(const char* title);
void WriteFileHeader(const char* headerOpening, const std::wstring& fileName);

// Each writes its fixed failure message and returns false when its step fails.
bool LoadReaderWithMessage();
bool InitializeReaderWithMessage();
bool CheckSupportedWithMessage(const std::wstring& fileName);

// The whole preamble of the brief and audio reports: header, load, initialisation, supported-type
// test and ZR8READER_OpenReadFile with the given flags. True when *file is open.
bool StartFileMode(const char* title, const char* headerOpening, const std::wstring& fileName,
                   int32_t openFlags, void** file);

// The preamble of the hardware modes: title, load, initialisation. Returns 0 to go on, -1 when the
// library is not loaded, -2 when it is not initialised.
int32_t StartHardwareMode(const char* title);
