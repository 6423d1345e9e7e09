// The seam between hardware detection and the machine: every query the module makes of the system
// goes through a System value, which tests replace with a fake CUDA driver table and a directory
// tree standing in for /sys, /dev, /proc and /usr/share.
#pragma once

#include <cstddef>
#include <string>

namespace zr8hw {

// The CUDA driver functions the module uses, with the driver's own signatures (CUresult is an int,
// CUdevice an int, CUcontext a pointer). 0 is success, as with the driver.
struct CudaDriver {
  int (*init)(unsigned int flags) = nullptr;
  int (*driverGetVersion)(int* version) = nullptr;
  int (*deviceGetCount)(int* count) = nullptr;
  int (*deviceGet)(int* device, int ordinal) = nullptr;
  int (*deviceGetName)(char* name, int length, int device) = nullptr;
  int (*deviceTotalMem)(std::size_t* bytes, int device) = nullptr;
  int (*primaryCtxRetain)(void** context, int device) = nullptr;
  int (*primaryCtxRelease)(int device) = nullptr;
  // Optional: drivers without them leave the primary context's flags as they are.
  int (*primaryCtxGetState)(int device, unsigned int* flags, int* active) = nullptr;
  int (*primaryCtxSetFlags)(int device, unsigned int flags) = nullptr;

  // Whether the functions every use needs are there (the optional ones aside).
  bool Complete() const;
};

struct System {
  // Null: no CUDA driver on this machine.
  const CudaDriver* cuda = nullptr;
  // Prefixed to every absolute path the module reads or opens ("/sys/class/drm", "/dev/dri",
  // "/proc/driver/nvidia/version", the PCI name database). Empty on a real system.
  std::string root;

  std::string Path(const std::string& absolute) const { return root + absolute; }
};

// The running machine: the CUDA driver loaded from libcuda.so.1 on first use (and kept loaded for
// the life of the process), or none when it is missing or lacks a function; the real filesystem.
const System& HostSystem();

// The same machine without the CUDA driver, for a given filesystem root.
System FilesystemOnly(std::string root);

}  // namespace zr8hw
