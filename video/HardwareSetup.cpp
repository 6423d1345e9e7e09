#include "video/HardwareSetup.h"

#include <cwchar>
#include <string_view>

#include "platform/Platform.h"
#include "reader/HardwareRecords.h"
#include "reader/ReaderApi.h"

namespace {

// The library's text, up to its terminator or the end of the buffer.
std::wstring_view MessageOf(const HardwareState& state) {
  size_t length = 0;
  while (length < HardwareState::kMessageCapacity && state.messageText[length] != L'\0') ++length;
  return std::wstring_view(state.messageText, length);
}

void WriteInitialization(bool ok, const char* success, const char* failure,
                         const HardwareState& state) {
  std::wostream& out = platform::WideConsole();
  if (ok) {
    out << success << MessageOf(state) << "\n";
  } else {
    out << failure;
  }
}

}  // namespace

void InitializeHardware(int32_t hardware, bool withQsv, HardwareState& state) {
  switch (hardware) {
    case kHardwareNvidia:
      state.cudaReady =
          readerApi.ZR8READER_InitCUDA(0, &state.cudaId, &state.cudaHandle1, &state.cudaHandle2,
                                       state.messageText, HardwareState::kMessageCapacity) >= 0;
      WriteInitialization(state.cudaReady, "CUDA Init OK:\n", "Failed to initialize CUDA subsystem",
                          state);
      break;
    case kHardwareAmd:
      state.amfReady =
          readerApi.ZR8READER_InitAMF(0, 1, &state.amfHandle1, &state.amfHandle2, state.messageText,
                                      HardwareState::kMessageCapacity) >= 0;
      WriteInitialization(state.amfReady, "AMF Init OK:\n", "Failed to initialize AMF subsystem",
                          state);
      break;
    case kHardwareIntel:
      if (!withQsv) break;
      state.qsvReady = readerApi.ZR8READER_InitQSV(0, 0, &state.qsvHandle, state.messageText,
                                                   HardwareState::kMessageCapacity) >= 0;
      WriteInitialization(state.qsvReady, "QSV Init OK:\n", "Failed to initialize QSV subsystem",
                          state);
      break;
    default:
      break;
  }
}

bool QuerySupportedDecodersWithMessage() {
  constexpr int32_t kCapacity = 10;
  HardwareDecoderInfo list[kCapacity] = {};
  int32_t count = 0;
  if (readerApi.ZR8READER_GetSupportedHardwareDecoders(kCapacity, list, &count) < 0) {
    platform::WideConsole() << "Failed to query supported hardware decoders";
    return false;
  }
  return true;
}

void SetPluginPreferences(int32_t hardware, const HardwareState& state) {
  readerApi.ZR8READER_FIOPluginPrefs_SetHardwareDecoderPreference(hardware);
  readerApi.ZR8READER_FIOPluginPrefs_SetCUDAContext(state.cudaId, state.cudaHandle1,
                                                    state.cudaHandle2);
  readerApi.ZR8READER_FIOPluginPrefs_SetAMFContext(0, 1, state.amfHandle1, state.amfHandle2);
}

DecodePrefs RequestedDecodePrefs(int32_t hardware, bool optimal, bool useOptimalPixelType,
                                 const HardwareState& state) {
  DecodePrefs prefs;
  prefs.useOptimalPixelType = useOptimalPixelType;
  prefs.pixelType = optimal ? 0 : kPixelTypeI420;
  prefs.hardwarePreference = hardware;
  prefs.reserved36 = true;
  if (hardware == kHardwareNvidia && state.cudaReady) {
    prefs.useCuda = true;
    prefs.cudaId = state.cudaId;
    prefs.cudaHandle1 = state.cudaHandle1;
    prefs.cudaHandle2 = state.cudaHandle2;
  }
  if (hardware == kHardwareAmd && state.amfReady) {
    prefs.useAmf = true;
    prefs.amfHandle1 = state.amfHandle1;
    prefs.amfHandle2 = state.amfHandle2;
  }
  return prefs;
}

void ReleaseHardware(HardwareState& state) {
  if (state.amfReady) readerApi.ZR8READER_UninitAMF(&state.amfHandle1, &state.amfHandle2);
  if (state.cudaReady) {
    readerApi.ZR8READER_UninitCUDA(&state.cudaId, &state.cudaHandle1, &state.cudaHandle2);
  }
  // The QSV context is the only thing the run holds of that subsystem, and the library's table
  // offers its counterpart: it goes back like the other two, once the library is done with it.
  if (state.qsvReady) readerApi.ZR8READER_UninitQSV(&state.qsvHandle);
}
