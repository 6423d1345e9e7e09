// The reader library's hardware side: which hardware video decoders the machine has, in order of
// preference, the detection record the library hands out, the out-of-process detection with its
// cache, and the set-up of a CUDA context or a VA-API render node.
//
// Decoders, in order of preference:
//   1. NVIDIA devices as the CUDA driver numbers them (kind 4),
//   2. then Intel (kind 2) and AMD (kind 3) render nodes, /dev/dri/renderD<n> in ascending n.
//      A node's vendor is the PCI vendor id in /sys/class/drm/renderD<n>/device/vendor; nodes of
//      other vendors are listed among the devices but offer no decoder.
//
// Vendor unique id: the PCI vendor id of the device: 0x10DE NVIDIA, 0x8086 Intel, 0x1002 AMD.
//
// Device name: the CUDA driver's name for an NVIDIA device; for a render node the device's own
// product_name where sysfs has one, else the name for vendor:device in the PCI name database
// (/usr/share/misc/pci.ids or /usr/share/hwdata/pci.ids), else
// "<vendor> GPU <vendor id>:<device id>" (hexadecimal).
//
// ---- Detection record (kDetectionRecordSize = 38,240 bytes, little-endian) ----
//
//   offset  size    content
//   0       256     header
//   256     64×512  device table: every device found, decoders or not (entries beyond the
//                   header's deviceCount are zero)
//   33,024  784     zero
//   33,808  4       decoderCount (unsigned)
//   33,812  16×276  decoder list, in order of preference; entries past decoderCount are zero
//   38,228  12      zero
//
// Header:
//   0    u32   magic 0x4838525A ("ZR8H")
//   4    u32   layout version, kDetectionLayoutVersion
//   8    u32   header size (256)
//   12   u32   device entry size (512)
//   16   u32   device table capacity (64)
//   20   u32   deviceCount: entries filled
//   24   i32   CUDA driver status: 0 ready; the driver's error from cuInit; -1 driver not loaded
//   28   i32   CUDA driver version as the driver gives it (12040 for 12.4), 0 when unknown
//   32   i32   dxgiEnumPreference as passed to the query (no meaning on this platform)
//   36   u32   render nodes found (all vendors)
//   40   24    zero
//   64   192   NVIDIA kernel driver: first line of /proc/driver/nvidia/version, UTF-8, zero-ended
//
// Device entry (512 bytes; text fields UTF-8, zero-terminated, truncated to fit):
//   0    i32   kind: the decoder kind the device offers, 0 for none
//   4    u32   PCI vendor id
//   8    u32   PCI device id (0 when unknown, as for CUDA devices)
//   12   u32   source: 1 CUDA driver, 2 render node
//   16   i32   CUDA ordinal, or the render node's number (128 for renderD128)
//   20   u32   decoder index: its position in the decoder list, 0xFFFFFFFF when none
//   24   u64   total memory in bytes (CUDA devices; 0 otherwise)
//   32   128   device name
//   160  64    kernel driver ("i915", "xe", "amdgpu", "nvidia"; the device/driver link's name)
//   224  64    driver version ("12.4" for the CUDA driver; /sys/module/<driver>/version otherwise,
//              empty when the module has none)
//   288  128   location: the node path "/dev/dri/renderD128", or "cuda:0"
//   416  64    PCI slot ("0000:03:00.0"), empty when unknown
//   480  32    zero
//
// Decoder list entry (276 bytes): its first 264 bytes are a HardwareDecoderInfo (kind, UTF-16
// device name, vendor unique id); 264: u32 index of the device entry; 268: 8 zero bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "zr8hardware/System.h"

namespace zr8hw {

// Statuses, HRESULT-style: negative is failure.
constexpr int32_t kOk = 0;
constexpr int32_t kFail = static_cast<int32_t>(0x80004005u);
constexpr int32_t kInvalidArg = static_cast<int32_t>(0x80070057u);
constexpr int32_t kOutOfMemory = static_cast<int32_t>(0x8007000Eu);
constexpr int32_t kFileNotFound = static_cast<int32_t>(0x80070002u);  // no detection helper
constexpr int32_t kTimeout = static_cast<int32_t>(0x800705B4u);       // helper too slow
constexpr int32_t kBadRecord = static_cast<int32_t>(0x8007000Du);     // helper answered wrongly

// Decoder kinds.
constexpr int32_t kKindNone = 0;
constexpr int32_t kKindAuto = 1;
constexpr int32_t kKindIntel = 2;
constexpr int32_t kKindAmd = 3;
constexpr int32_t kKindNvidia = 4;

constexpr uint32_t kVendorNvidia = 0x10DE;
constexpr uint32_t kVendorIntel = 0x8086;
constexpr uint32_t kVendorAmd = 0x1002;

constexpr std::size_t kDecoderInfoSize = 264;
constexpr std::size_t kDetectionRecordSize = 38240;
constexpr std::size_t kDecoderCountOffset = 33808;
constexpr std::size_t kDecoderListOffset = 33812;
constexpr std::size_t kDecoderEntrySize = 276;
constexpr std::size_t kDecoderListCapacity = 16;
constexpr std::size_t kHeaderSize = 256;
constexpr std::size_t kDeviceEntrySize = 512;
constexpr std::size_t kDeviceTableCapacity = 64;
constexpr uint32_t kDetectionMagic = 0x4838525A;
constexpr uint32_t kDetectionLayoutVersion = 1;
constexpr int32_t kCudaNotLoaded = -1;

// The library's decoder record, 264 bytes.
struct HardwareDecoderInfo {
  int32_t kind;
  char16_t deviceName[128];
  uint32_t vendorUniqueId;
};
static_assert(sizeof(HardwareDecoderInfo) == kDecoderInfoSize);

enum class DeviceSource : uint32_t { kCuda = 1, kRenderNode = 2 };

// One device that detection found.
struct Device {
  int32_t kind = kKindNone;  // the decoder it offers
  uint32_t vendorId = 0;
  uint32_t deviceId = 0;
  DeviceSource source = DeviceSource::kRenderNode;
  int32_t index = 0;  // CUDA ordinal or render node number
  uint64_t totalMemory = 0;
  std::string name;
  std::string driver;
  std::string driverVersion;
  std::string location;
  std::string pciSlot;
};

struct Detection {
  std::vector<Device> devices;  // NVIDIA first, then the render nodes in ascending number
  int32_t cudaStatus = kCudaNotLoaded;
  int32_t cudaDriverVersion = 0;
  uint32_t renderNodes = 0;
  std::string nvidiaKernelDriver;

  // The devices that offer a decoder, in order of preference.
  std::vector<const Device*> Decoders() const;
};

// Looks at the machine through system.
Detection Detect(const System& system);

// The detection record for detection (record: kDetectionRecordSize bytes, fully written).
void WriteDetectionRecord(const Detection& detection, int32_t dxgiEnumPreference, void* record);
// Whether record (size bytes) is a well-formed detection record of this layout version.
bool IsValidDetectionRecord(const void* record, std::size_t size);
// The decoder list of a valid detection record as HardwareDecoderInfo records.
std::vector<HardwareDecoderInfo> DecodersOfRecord(const void* record);

// ---- In process ----

// capacity 0 with null records: count only. Otherwise fills min(capacity, n) records from the
// most preferred on; count receives n, the number of decoders.
int32_t SupportedDecoders(int32_t capacity, void* records, int32_t* count,
                          const System& system = HostSystem());
// Fills the whole detection record (kDetectionRecordSize bytes).
int32_t DetectionResults(void* results, int32_t dxgiEnumPreference,
                         const System& system = HostSystem());

// ---- Out of process ----

struct OutOfProcessConfig {
  std::string helperPath;               // the detection helper to run
  std::vector<std::string> helperArgs;  // its arguments after its name
  std::string cacheDirectory;           // where detection results are kept; empty: no cache
  std::string fingerprintRoot;          // filesystem root the cache fingerprint reads
};

// The helper's file name, looked for in the directory of the module that holds this code, else
// in the folder ZR8_HELPER_SUBDIR below it (where an install puts it).
constexpr const char* kHelperName = "zr8reader-detect";
// The directory of the shared object or executable holding this module ("" when unknown).
std::string ModuleDirectory();
// $XDG_CACHE_HOME/zr8reader, else $HOME/.cache/zr8reader ("" when neither is set).
std::string DefaultCacheDirectory();
// The helper beside the module, the default cache directory, the real filesystem.
OutOfProcessConfig DefaultOutOfProcessConfig();

// Runs the helper, waits at most timeoutMs for its record, and kills its process group after
// that. On success record holds kDetectionRecordSize bytes; on failure it is left alone.
int32_t RunDetectionHelper(const OutOfProcessConfig& config, int32_t timeoutMs, void* record);

// The fingerprint of the machine's devices and drivers that a cached record must match: one line
// per render node (name, vendor:device, kernel driver), the NVIDIA kernel driver's version line and
// the GPUs it lists (/proc/driver/nvidia/gpus). Cheap: it reads no more than a few sysfs files.
std::string DeviceFingerprint(const std::string& root);
// <cacheDirectory>/detection.bin: u32 magic 0x4338525A ("ZR8C"), u32 layout version, u32
// fingerprint length, the fingerprint, the detection record as the helper wrote it.
std::string CacheFilePath(const std::string& cacheDirectory);
// Reads a saved record whose fingerprint matches; false when absent, unreadable or stale.
bool LoadCachedRecord(const std::string& cacheDirectory, const std::string& fingerprint,
                      void* record);
// Saves record with fingerprint (temporary file, then rename). False on failure.
bool SaveCachedRecord(const std::string& cacheDirectory, const std::string& fingerprint,
                      const void* record);

// The results of an out-of-process detection: from the cache when useCache is set and it holds a
// current record, else from the helper (whose record is then saved). Nothing of the caller's is
// written on failure.
int32_t DetectionResultsOOP(void* results, int32_t timeoutMs, int32_t useCache,
                            int32_t dxgiEnumPreference,
                            const OutOfProcessConfig& config = DefaultOutOfProcessConfig());
// The decoder list of the record: at most kDecoderListCapacity decoders.
int32_t SupportedDecodersOOP(int32_t capacity, void* records, int32_t* count, int32_t timeoutMs,
                             int32_t useCache,
                             const OutOfProcessConfig& config = DefaultOutOfProcessConfig());

// ---- Decoder set-up ----

// CU_CTX_SCHED_BLOCKING_SYNC: the scheduling flag FFmpeg's CUDA device requires of a primary
// context.
constexpr unsigned int kCudaBlockingSync = 0x04;

// Sets the primary context of CUDA device `device` to kCudaBlockingSync (where the driver allows)
// and retains it. cudaId receives the CUdevice, context the
// CUcontext, deviceHandle the CUdevice as a pointer-sized value; message names the device, the
// driver version and the memory. On failure the outputs are left alone and message says why.
int32_t InitCuda(int32_t device, int32_t* cudaId, void** context, void** deviceHandle,
                 std::string* message, const System& system = HostSystem());
// Releases the primary context and zeroes the three values.
int32_t UninitCuda(int32_t* cudaId, void** context, void** deviceHandle,
                   const System& system = HostSystem());

// Opens (read-write) the first render node of the PCI vendor that opens. handle receives an
// owning handle for UninitVaapi; message names the node, the PCI ids and the kernel driver, or
// why nothing opened.
int32_t InitVaapi(uint32_t vendorId, void** handle, std::string* message,
                  const System& system = HostSystem());
// The open node's descriptor (-1 for a null handle).
int VaapiFd(const void* handle);
// Closes the node and nulls the handle.
int32_t UninitVaapi(void** handle);

// UTF-8 to UTF-16 into a zero-terminated field of `units` code units (truncated to fit).
void CopyUtf16(const std::string& text, char16_t* out, std::size_t units);

}  // namespace zr8hw
