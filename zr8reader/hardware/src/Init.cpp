// Setting up a decoder's device: a CUDA primary context or an open render node.
#include <fcntl.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "Internal.h"
#include "zr8hardware/Hardware.h"

namespace zr8hw {

namespace {

void Say(std::string* message, const std::string& text) {
  if (message) *message = text;
}

std::string CudaError(const char* call, int result) {
  return std::string("CUDA: ") + call + " failed with error " + std::to_string(result);
}

// An open render node, owned through the handle InitVaapi gives out.
struct VaapiDevice {
  UniqueFd fd;
  std::string path;
};

}  // namespace

int32_t InitCuda(int32_t device, int32_t* cudaId, void** context, void** deviceHandle,
                 std::string* message, const System& system) {
  if (!cudaId || !context || !deviceHandle) {
    Say(message, "CUDA: missing output argument");
    return kInvalidArg;
  }
  const CudaDriver* cuda = system.cuda;
  if (!cuda || !cuda->Complete()) {
    Say(message, "CUDA: the NVIDIA driver library (libcuda.so.1) is not available");
    return kFail;
  }
  if (const int result = cuda->init(0); result != 0) {
    Say(message, CudaError("cuInit", result));
    return kFail;
  }
  int count = 0;
  if (const int result = cuda->deviceGetCount(&count); result != 0) {
    Say(message, CudaError("cuDeviceGetCount", result));
    return kFail;
  }
  if (device < 0 || device >= count) {
    Say(message,
        "CUDA: no device " + std::to_string(device) + " (" + std::to_string(count) + " present)");
    return kFail;
  }
  int handle = 0;
  if (const int result = cuda->deviceGet(&handle, device); result != 0) {
    Say(message, CudaError("cuDeviceGet", result));
    return kFail;
  }
  char name[256] = {};
  if (cuda->deviceGetName(name, sizeof name - 1, handle) != 0) name[0] = '\0';
  std::size_t memory = 0;
  if (cuda->deviceTotalMem(&memory, handle) != 0) memory = 0;
  int version = 0;
  if (cuda->driverGetVersion(&version) != 0) version = 0;
  // FFmpeg's CUDA device takes a primary context only with blocking synchronisation, and the flags
  // hold only while no one has made the context active with others: they are set before the
  // retain. A driver that refuses (the context already active elsewhere in the process) leaves
  // them; the decoder is then handed this very context rather than asking for the primary one.
  if (cuda->primaryCtxGetState && cuda->primaryCtxSetFlags) {
    unsigned int flags = 0;
    int active = 0;
    if (cuda->primaryCtxGetState(handle, &flags, &active) == 0 && flags != kCudaBlockingSync) {
      cuda->primaryCtxSetFlags(handle, kCudaBlockingSync);
    }
  }
  void* primary = nullptr;
  if (const int result = cuda->primaryCtxRetain(&primary, handle); result != 0 || !primary) {
    Say(message, CudaError("cuDevicePrimaryCtxRetain", result));
    return kFail;
  }
  char text[512];
  std::snprintf(text, sizeof text, "%s (CUDA device %d), CUDA driver %d.%d, %llu MiB",
                name[0] ? name : "NVIDIA device", device, version / 1000, version % 1000 / 10,
                static_cast<unsigned long long>(memory >> 20));
  Say(message, text);
  *cudaId = handle;
  *context = primary;
  *deviceHandle = reinterpret_cast<void*>(static_cast<intptr_t>(handle));
  return kOk;
}

int32_t UninitCuda(int32_t* cudaId, void** context, void** deviceHandle, const System& system) {
  if (!cudaId || !context || !deviceHandle || !*context) return kInvalidArg;
  const CudaDriver* cuda = system.cuda;
  if (!cuda || !cuda->Complete()) return kFail;
  const int result = cuda->primaryCtxRelease(*cudaId);
  *cudaId = 0;
  *context = nullptr;
  *deviceHandle = nullptr;
  return result == 0 ? kOk : kFail;
}

int32_t InitVaapi(uint32_t vendorId, void** handle, std::string* message, const System& system) {
  if (!handle) {
    Say(message, "VA-API: missing output argument");
    return kInvalidArg;
  }
  char vendor[64];
  std::snprintf(vendor, sizeof vendor, "%s (PCI vendor 0x%04x)", VendorName(vendorId), vendorId);
  std::string failures;
  bool found = false;
  try {
    for (const RenderNode& node : ListRenderNodes(system.root)) {
      if (node.vendorId != vendorId) continue;
      found = true;
      UniqueFd fd(::open(system.Path(node.nodePath).c_str(), O_RDWR | O_CLOEXEC));
      if (!fd.Valid()) {
        failures += (failures.empty() ? "" : "; ") + node.nodePath + ": " + std::strerror(errno);
        continue;
      }
      char text[512];
      std::snprintf(text, sizeof text, "%s: %s [%04x:%04x], kernel driver %s",
                    node.nodePath.c_str(), RenderNodeName(system.root, node).c_str(), node.vendorId,
                    node.deviceId, node.driver.empty() ? "unknown" : node.driver.c_str());
      *handle = new VaapiDevice{std::move(fd), node.nodePath};
      Say(message, text);
      return kOk;
    }
  } catch (const std::bad_alloc&) {
    Say(message, "VA-API: out of memory");
    return kOutOfMemory;
  } catch (...) {
    Say(message, "VA-API: the render nodes could not be listed");
    return kFail;
  }
  if (!found) {
    Say(message, std::string("VA-API: no render node of ") + vendor + " under /dev/dri");
  } else {
    Say(message,
        std::string("VA-API: no render node of ") + vendor + " could be opened: " + failures);
  }
  return kFail;
}

int VaapiFd(const void* handle) {
  return handle ? static_cast<const VaapiDevice*>(handle)->fd.Get() : -1;
}

int32_t UninitVaapi(void** handle) {
  if (!handle || !*handle) return kInvalidArg;
  delete static_cast<VaapiDevice*>(*handle);
  *handle = nullptr;
  return kOk;
}

}  // namespace zr8hw
