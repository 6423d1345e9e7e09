// The process-wide table of the reader library's entry points, and the loader that fills it.
#pragma once

#include <cstdint>

#include "zr8reader/include/Zr8ReaderEntryPoints.h"

struct AudioCompressedFormat;
struct VideoFormat;
struct VideoCompressedFormat;
struct DecodePrefs;
struct OpenCLContextInfo;
struct HardwareDecoderInfo;

// Status values in the platform's HRESULT convention; callers test only the sign.
inline constexpr int32_t kStatusOk = 0;
inline constexpr int32_t kStatusFail = static_cast<int32_t>(0x80004005);
inline constexpr int32_t kStatusNoInterface = static_cast<int32_t>(0x80004002);

// The module handle and one pointer per entry point, all null until the loader fills them.
// Written once, on the main thread, before any read thread exists; only read afterwards.
struct ReaderApi {
  void* module;
#define ZR8_DECLARE_MEMBER(name, result, parameters, use) result(*name) parameters;
  ZR8_ENTRY_POINTS(ZR8_DECLARE_MEMBER)
#undef ZR8_DECLARE_MEMBER
};

static_assert(sizeof(ReaderApi) == (1 + ZR8_ENTRY_POINT_COUNT) * sizeof(void*));

extern ReaderApi readerApi;

// One row of the loader's table: where in ReaderApi the address goes, and the exported name.
struct ReaderEntryPoint {
  int32_t position;
  const char* name;
};

// The table, in the order in which the loader resolves the names.
extern const ReaderEntryPoint readerEntryPoints[ZR8_ENTRY_POINT_COUNT];

// Finds one exported name; null when it is missing.
using SymbolResolver = void* (*)(void* context, const char* name);

// Fills api from the table through resolve. Returns 0, or 0x80004002 at the first missing name,
// with the members of the earlier rows filled and the later ones left as they were.
int32_t ResolveEntryPoints(ReaderApi* api, SymbolResolver resolve, void* context);

// Loads the reader library from the current directory and fills readerApi. moduleOut is
// &readerApi.module or null. Returns 0, 0x80004005 (library not loaded) or 0x80004002.
int32_t LoadReaderLibrary(void** moduleOut);

// printf-style diagnostic line to the debugger output, behind the "[DEBUG]" prefix.
void DebugLog(const char* format, ...);
