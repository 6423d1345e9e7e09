// The hardware decoder checks: the supported decoders asked in process or out of process, and the
// decoder list of the library's detection results.
#include "hwcheck/HardwareChecks.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <memory>
#include <new>

#include "hwcheck/DeviceName.h"
#include "platform/Platform.h"
#include "reader/HardwareRecords.h"
#include "reader/Preamble.h"
#include "reader/ReaderApi.h"

namespace {

// The printable names by HardwareDecoderKind. The detection report names code 4 differently.
const char* const kCheckNames[] = {"None", "Auto", "QSV", "UVD/VCN", "NVDEC"};
const char* const kDetectionNames[] = {"None", "Auto", "QSV", "UVD/VCN", "NVDEC/NVENC"};

// A kind outside 0 to 4 has no name of its own; the library is not expected to report one, and
// if it does, this fixed text stands in its place.
const char* DecoderName(const char* const (&names)[5], int32_t kind) {
  return kind >= 0 && kind < 5 ? names[kind] : "Unknown";
}

const char* const kTotalLine = "Total Hardware Decoders detected = ";
const char* const kListHeader = " Hardware Decoders detected (in order of preference):";

// The supported-decoders query, in process or out of process: (capacity, records, count).
template <typename Query>
int32_t ListSupportedDecoders(Query query, bool withDeviceName) {
  std::wostream& out = platform::WideConsole();
  int32_t count = 0;
  if (query(0, nullptr, &count) < 0) return 0;
  out << kTotalLine << count << "\n";
  if (count < 1) return 0;

  // A count no machine can hold: say so rather than end the process. The allocation that cannot
  // be made answers null rather than throwing, which sanitizer runtimes also support.
  const auto capacity = static_cast<size_t>(count);
  std::unique_ptr<HardwareDecoderInfo[]> list(new (std::nothrow) HardwareDecoderInfo[capacity]());
  if (list == nullptr) {
    out << "Not enough memory for " << count << " decoder records\n";
    return 0;
  }
  if (query(count, list.get(), &count) < 0) return 0;
  out << kListHeader << "\n";
  // A second answer larger than the list would read past its end: at most the list's length.
  const size_t shown = std::min(static_cast<size_t>(std::max(count, 0)), capacity);
  for (size_t i = 0; i < shown; ++i) {
    const HardwareDecoderInfo& info = list[i];
    out << "   " << i << ": " << DecoderName(kCheckNames, info.kind) << " on ";
    if (withDeviceName) {
      // Without its terminating zero the name ends after its 128 code units.
      out << DeviceNameToWide(info.deviceName, std::size(info.deviceName))
          << " with vendor unique id ";
    }
    out << info.vendorUniqueId << "\n";
  }
  return 0;
}

template <typename T>
T ReadAt(const unsigned char* record, size_t offset) {
  T value{};
  std::memcpy(&value, record + offset, sizeof(T));
  return value;
}

}  // namespace

int32_t HardwareCheck(std::wstring) {
  const int32_t started = StartHardwareMode("\nCheck for supported hardware decoders\n");
  if (started != 0) return started;
  return ListSupportedDecoders(
      [](int32_t capacity, HardwareDecoderInfo* records, int32_t* count) {
        return readerApi.ZR8READER_GetSupportedHardwareDecoders(capacity, records, count);
      },
      false);
}

int32_t HardwareCheckOOP(std::wstring, int32_t timeoutMs, bool useCache) {
  const int32_t started =
      StartHardwareMode("\nCheck for supported hardware decoders via Out-of-Process launch ...\n");
  if (started != 0) return started;
  const int32_t cacheFlag = useCache ? 1 : 0;
  return ListSupportedDecoders(
      [&](int32_t capacity, HardwareDecoderInfo* records, int32_t* count) {
        return readerApi.ZR8READER_GetSupportedHardwareDecodersOOP(capacity, records, count,
                                                                   timeoutMs, cacheFlag);
      },
      true);
}

int32_t HardwareDetection(std::wstring, bool outOfProcess, int32_t timeoutMs, bool useCache,
                          int32_t dxgiEnumPreference) {
  const int32_t started = StartHardwareMode(
      "\nCheck for supported hardware decoders, plus print all collected information\n");
  if (started != 0) return started;

  // The library fills the record; the client leaves it uninitialised and reads only its tail,
  // field by field, since the entries are not aligned for a structure of their own.
  const auto results = std::make_unique_for_overwrite<unsigned char[]>(kDetectionResultsSize);
  const int32_t status =
      outOfProcess
          ? readerApi.ZR8READER_GetHardwareDetectionResultsOOP(results.get(), timeoutMs,
                                                               useCache ? 1 : 0, dxgiEnumPreference)
          : readerApi.ZR8READER_GetHardwareDetectionResults(results.get(), dxgiEnumPreference);
  if (status < 0) return 0;

  std::wostream& out = platform::WideConsole();
  const auto decoderCount = ReadAt<uint32_t>(results.get(), kDetectionDecoderCountOffset);
  out << kTotalLine << decoderCount << "\n";
  if (decoderCount == 0) return 0;
  out << kListHeader << "\n";
  const uint32_t shown = std::min(decoderCount, kDetectionListCapacity);
  for (uint32_t i = 0; i < shown; ++i) {
    const size_t entry = kDetectionDecoderListOffset + i * kDetectedDecoderSize;
    const auto kind = ReadAt<int32_t>(results.get(), entry);
    const auto vendorId = ReadAt<uint32_t>(results.get(), entry + kDetectedDecoderVendorIdOffset);
    out << "   " << i << ": " << DecoderName(kDetectionNames, kind) << " on " << vendorId << "\n";
  }
  return 0;
}
