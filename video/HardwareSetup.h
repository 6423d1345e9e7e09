// The hardware decoder and pool set-up of the video modes: the vendor decode subsystem, the
// library's plug-in preferences, and the decode preferences that go with each stream.
#pragma once

#include <cstdint>

#include "reader/VideoRecords.h"

// HardwareDecoderPreference codes (the "-hardware" words).
inline constexpr int32_t kHardwareNone = 0;
inline constexpr int32_t kHardwareIntel = 2;
inline constexpr int32_t kHardwareAmd = 3;
inline constexpr int32_t kHardwareNvidia = 4;

// What the hardware initialisation produced; all zero before it. The handles are the library's.
struct HardwareState {
  static constexpr int32_t kMessageCapacity = 512;

  int32_t cudaId = 0;
  void* cudaHandle1 = nullptr;
  void* cudaHandle2 = nullptr;
  void* amfHandle1 = nullptr;
  void* amfHandle2 = nullptr;
  void* qsvHandle = nullptr;
  bool cudaReady = false;
  bool amfReady = false;
  bool qsvReady = false;
  wchar_t messageText[kMessageCapacity] = {};
};

// Initialises the subsystem that hardware selects (4 CUDA, 3 AMF, 2 QSV when withQsv) and writes
// its success lines or its failure message. A failure only leaves its flag false.
void InitializeHardware(int32_t hardware, bool withQsv, HardwareState& state);

// Asks for up to ten supported hardware decoders; writes the failure message and returns false
// when the query fails. Only the status is used.
bool QuerySupportedDecodersWithMessage();

// The three plug-in preference calls, made in every run with whatever the initialisation left.
void SetPluginPreferences(int32_t hardware, const HardwareState& state);

// The decode preferences requested for every stream: the defaults, with the pixel type, the
// hardware preference and the context of the chosen subsystem when it is ready.
DecodePrefs RequestedDecodePrefs(int32_t hardware, bool optimal, bool useOptimalPixelType,
                                 const HardwareState& state);

// The release after a successful run: AMF, then CUDA, then QSV, each only when it was initialised.
void ReleaseHardware(HardwareState& state);
