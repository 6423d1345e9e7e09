// Every OpenCL call of the client is made here.
#include "video/OpenCLSetup.h"

#include <cstring>
#include <string_view>
#include <vector>

#include "platform/Platform.h"
#include "video/OpenCLFunctions.h"

namespace {

struct DeviceEntry {
  cl_platform_id platform;
  cl_device_id device;
};

// Adds the platform's devices of one type. Counting them fails silently (the platform has none of
// that type); reading the ids after a successful count does not.
bool CollectDevices(const OpenCLFunctions& cl, cl_platform_id platform, cl_device_type type,
                    std::vector<DeviceEntry>& entries) {
  cl_uint count = 0;
  if (cl.getDeviceIDs(platform, type, 0, nullptr, &count) != CL_SUCCESS || count == 0) return true;
  std::vector<cl_device_id> devices(count);
  if (cl.getDeviceIDs(platform, type, count, devices.data(), nullptr) != CL_SUCCESS) return false;
  for (cl_device_id device : devices) entries.push_back({platform, device});
  return true;
}

// One device text. The buffer starts zeroed and its results are not looked at: a text that did not
// fit, or a failed query, shows as empty, and an unterminated one is cut at the buffer's end.
std::string_view DeviceText(const OpenCLFunctions& cl, cl_device_id device, cl_device_info what,
                            char (&buffer)[128]) {
  std::memset(buffer, 0, sizeof(buffer));
  cl.getDeviceInfo(device, what, sizeof(buffer), buffer, nullptr);
  size_t length = 0;
  while (length < sizeof(buffer) && buffer[length] != '\0') ++length;
  return std::string_view(buffer, length);
}

// Every line of the listing is flushed as it is written.
void WriteLine(std::ostream& out, std::string_view text) {
  out << text << std::endl;
}

void ListDevices(const OpenCLFunctions& cl, std::ostream& out, const char* heading,
                 const std::vector<DeviceEntry>& entries) {
  out << heading << static_cast<uint64_t>(entries.size()) << std::endl;
  for (const DeviceEntry& entry : entries) {
    char name[128];
    char vendor[128];
    char version[128];
    out << "Name: " << DeviceText(cl, entry.device, CL_DEVICE_NAME, name)
        << "; Vendor: " << DeviceText(cl, entry.device, CL_DEVICE_VENDOR, vendor)
        << "; Version: " << DeviceText(cl, entry.device, CL_DEVICE_VERSION, version) << std::endl;
  }
}

}  // namespace

const OpenCLFunctions& SystemOpenCL() {
  static const OpenCLFunctions functions{
      clGetPlatformIDs,     clGetDeviceIDs, clGetDeviceInfo,       clCreateContext,
      clCreateCommandQueue, clFinish,       clReleaseCommandQueue, clReleaseContext,
  };
  return functions;
}

bool SetupOpenCLWith(const OpenCLFunctions& cl, std::ostream& out, OpenCLContextInfo* info) {
  std::memset(static_cast<void*>(info), 0, sizeof(*info));

  cl_uint platformCount = 0;
  if (cl.getPlatformIDs(0, nullptr, &platformCount) != CL_SUCCESS) {
    WriteLine(out, "Error getting num platforms");
    return false;
  }
  // With no platform this passes neither a list nor a count, which the loader rejects.
  std::vector<cl_platform_id> platforms(platformCount);
  if (cl.getPlatformIDs(platformCount, platforms.empty() ? nullptr : platforms.data(), nullptr) !=
      CL_SUCCESS) {
    WriteLine(out, "Error getting platform id");
    return false;
  }

  std::vector<DeviceEntry> gpus;
  std::vector<DeviceEntry> cpus;
  for (cl_platform_id platform : platforms) {
    if (!CollectDevices(cl, platform, CL_DEVICE_TYPE_GPU, gpus)) {
      WriteLine(out, "Error getting GPU device ids");
      return false;
    }
    if (!CollectDevices(cl, platform, CL_DEVICE_TYPE_CPU, cpus)) {
      WriteLine(out, "Error getting CPU device ids");
      return false;
    }
  }

  ListDevices(cl, out, "Detected GPU devices: ", gpus);
  ListDevices(cl, out, "Detected CPU devices: ", cpus);

  // Any GPU beats every CPU; with several GPUs the second is taken, whatever the devices are.
  const DeviceEntry* chosen = nullptr;
  const char* selection = nullptr;
  if (gpus.size() >= 2) {
    chosen = &gpus[1];
    selection = "Selected 2nd GPU device";
  } else if (gpus.size() == 1) {
    chosen = &gpus[0];
    selection = "Selected 1st GPU device";
  } else if (!cpus.empty()) {
    chosen = &cpus[0];
    selection = "Selected 1st CPU device";
  } else {
    WriteLine(out, "No compatible OpenCL device found");
    return false;
  }
  cl_device_id device = chosen->device;
  info->device = device;
  info->platform = chosen->platform;
  WriteLine(out, selection);

  cl_int error = CL_SUCCESS;
  cl_context context = cl.createContext(nullptr, 1, &device, nullptr, nullptr, &error);
  info->context = context;
  if (error != CL_SUCCESS) {
    WriteLine(out, "Error creating context");
    return false;
  }

  error = CL_SUCCESS;
  cl_command_queue queue = cl.createCommandQueue(context, device, 0, &error);
  info->commandQueue = queue;
  info->commandQueue2 = queue;
  info->commandQueue3 = queue;
  if (error != CL_SUCCESS) {
    WriteLine(out, "Error creating command queue");
    return false;
  }
  return true;
}

bool ReleaseOpenCLWith(const OpenCLFunctions& cl, void* context, void* queue) {
  if (queue != nullptr) {
    cl.finish(static_cast<cl_command_queue>(queue));
    cl.releaseCommandQueue(static_cast<cl_command_queue>(queue));
  }
  if (context != nullptr) cl.releaseContext(static_cast<cl_context>(context));
  return true;
}

bool SetupOpenCL(OpenCLContextInfo* info) {
  return SetupOpenCLWith(SystemOpenCL(), platform::NarrowConsole(), info);
}

bool ReleaseOpenCL(void* context, void* queue) {
  return ReleaseOpenCLWith(SystemOpenCL(), context, queue);
}
