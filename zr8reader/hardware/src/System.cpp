// The running machine's CUDA driver, loaded at run time, and small file helpers.
#include "zr8hardware/System.h"

#include <dlfcn.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>

#include "Internal.h"

namespace zr8hw {

bool CudaDriver::Complete() const {
  return init && driverGetVersion && deviceGetCount && deviceGet && deviceGetName &&
         deviceTotalMem && primaryCtxRetain && primaryCtxRelease;
}

namespace {

struct DlCloser {
  void operator()(void* handle) const { ::dlclose(handle); }
};
using DlHandle = std::unique_ptr<void, DlCloser>;

// The loaded driver library and the table of its functions.
struct LoadedCuda {
  DlHandle library;
  CudaDriver driver;
};

template <typename F>
void Resolve(void* library, F& slot, std::initializer_list<const char*> names) {
  for (const char* name : names) {
    if (void* symbol = ::dlsym(library, name)) {
      slot = reinterpret_cast<F>(symbol);
      return;
    }
  }
}

std::unique_ptr<LoadedCuda> LoadCuda() {
  DlHandle library(::dlopen("libcuda.so.1", RTLD_NOW | RTLD_LOCAL));
  if (!library) return nullptr;
  auto loaded = std::make_unique<LoadedCuda>();
  CudaDriver& d = loaded->driver;
  void* lib = library.get();
  Resolve(lib, d.init, {"cuInit"});
  Resolve(lib, d.driverGetVersion, {"cuDriverGetVersion"});
  Resolve(lib, d.deviceGetCount, {"cuDeviceGetCount"});
  Resolve(lib, d.deviceGet, {"cuDeviceGet"});
  Resolve(lib, d.deviceGetName, {"cuDeviceGetName"});
  Resolve(lib, d.deviceTotalMem, {"cuDeviceTotalMem_v2"});
  Resolve(lib, d.primaryCtxRetain, {"cuDevicePrimaryCtxRetain"});
  Resolve(lib, d.primaryCtxRelease, {"cuDevicePrimaryCtxRelease_v2", "cuDevicePrimaryCtxRelease"});
  Resolve(lib, d.primaryCtxGetState, {"cuDevicePrimaryCtxGetState"});
  Resolve(lib, d.primaryCtxSetFlags,
          {"cuDevicePrimaryCtxSetFlags_v2", "cuDevicePrimaryCtxSetFlags"});
  if (!d.Complete()) return nullptr;
  loaded->library = std::move(library);
  return loaded;
}

}  // namespace

const System& HostSystem() {
  static const std::unique_ptr<LoadedCuda> cuda = LoadCuda();
  static const System system{cuda ? &cuda->driver : nullptr, ""};
  return system;
}

System FilesystemOnly(std::string root) {
  return System{nullptr, std::move(root)};
}

std::optional<std::string> ReadSmallFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) return std::nullopt;
  return text.str();
}

std::string FirstLine(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  if (!in || !std::getline(in, line)) return "";
  const auto first = line.find_first_not_of(" \t\r");
  if (first == std::string::npos) return "";
  const auto last = line.find_last_not_of(" \t\r");
  return line.substr(first, last - first + 1);
}

uint32_t ReadHexFile(const std::string& path) {
  const std::string line = FirstLine(path);
  unsigned long value = 0;
  if (line.empty() || std::sscanf(line.c_str(), "%lx", &value) != 1) return 0;
  return static_cast<uint32_t>(value);
}

std::string LinkName(const std::string& path) {
  char target[4096];
  const ssize_t length = ::readlink(path.c_str(), target, sizeof target - 1);
  if (length <= 0) return "";
  std::string text(target, static_cast<std::size_t>(length));
  while (!text.empty() && text.back() == '/') text.pop_back();
  const auto slash = text.rfind('/');
  return slash == std::string::npos ? text : text.substr(slash + 1);
}

}  // namespace zr8hw
