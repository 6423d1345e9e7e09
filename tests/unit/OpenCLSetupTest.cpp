// The OpenCL device listing, selection, failures and release over a stand-in for the OpenCL loader.
#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "video/OpenCLFunctions.h"
#include "video/OpenCLSetup.h"

namespace {

// A made-up machine: platforms with their GPU and CPU devices (by name), the one call that fails,
// the log of the calls that create and release ("?" marks an unknown handle). Ids encode where a
// device is; the context and the queue are fixed tokens.
struct Platform {
  std::vector<std::string> gpus, cpus;
};
struct Machine {
  std::vector<Platform> platforms;
  std::string failing;  // "count", "platform ids", "GPU ids", "CPU ids", "context" or "queue"
  std::vector<std::string> calls;
} machine;

cl_context const kContext = reinterpret_cast<cl_context>(0xC0);
cl_command_queue const kQueue = reinterpret_cast<cl_command_queue>(0xC1);

cl_platform_id PlatformId(size_t platform) {
  return reinterpret_cast<cl_platform_id>(0x500 + platform);
}
const std::string& Name(const void* device) {
  const uintptr_t code = reinterpret_cast<uintptr_t>(device) - 0x10000;
  const Platform& platform = machine.platforms.at(code / 0x1000);
  return ((code & 0x100) != 0 ? platform.gpus : platform.cpus).at(code & 0xFF);
}

cl_int CL_API_CALL GetPlatformIDs(cl_uint capacity, cl_platform_id* ids, cl_uint* count) {
  if (ids == nullptr && count == nullptr) return CL_INVALID_VALUE;
  if (machine.failing == (ids == nullptr ? "count" : "platform ids")) return CL_OUT_OF_HOST_MEMORY;
  if (count != nullptr) *count = static_cast<cl_uint>(machine.platforms.size());
  for (cl_uint i = 0; ids != nullptr && i < capacity && i < machine.platforms.size(); ++i) {
    ids[i] = PlatformId(i);
  }
  return CL_SUCCESS;
}

cl_int CL_API_CALL GetDeviceIDs(cl_platform_id platformId, cl_device_type type, cl_uint capacity,
                                cl_device_id* ids, cl_uint* count) {
  const size_t p = reinterpret_cast<uintptr_t>(platformId) - 0x500;
  const bool gpu = type == CL_DEVICE_TYPE_GPU;
  const auto& devices = gpu ? machine.platforms.at(p).gpus : machine.platforms.at(p).cpus;
  if (ids != nullptr && machine.failing == (gpu ? "GPU ids" : "CPU ids"))
    return CL_OUT_OF_RESOURCES;
  if (devices.empty()) return CL_DEVICE_NOT_FOUND;
  if (count != nullptr) *count = static_cast<cl_uint>(devices.size());
  for (cl_uint i = 0; ids != nullptr && i < capacity && i < devices.size(); ++i) {
    ids[i] = reinterpret_cast<cl_device_id>(0x10000 + p * 0x1000 + (gpu ? 0x100 : 0) + i);
  }
  return CL_SUCCESS;
}

cl_int CL_API_CALL GetDeviceInfo(cl_device_id id, cl_device_info what, size_t size, void* value,
                                 size_t*) {
  const std::string text = what == CL_DEVICE_NAME     ? Name(id)
                           : what == CL_DEVICE_VENDOR ? "Maker"
                                                      : "OpenCL 3.0";
  if (text.size() + 1 > size) return CL_INVALID_VALUE;  // as the standard has it: nothing written
  std::memcpy(value, text.c_str(), text.size() + 1);
  return CL_SUCCESS;
}

cl_context CL_API_CALL CreateContext(const cl_context_properties*, cl_uint count,
                                     const cl_device_id* devices,
                                     void(CL_CALLBACK*)(const char*, const void*, size_t, void*),
                                     void*, cl_int* error) {
  machine.calls.push_back("createContext " + std::to_string(count) + " " + Name(devices[0]));
  *error = machine.failing == "context" ? CL_OUT_OF_RESOURCES : CL_SUCCESS;
  return *error == CL_SUCCESS ? kContext : nullptr;
}

cl_command_queue CL_API_CALL CreateCommandQueue(cl_context context, cl_device_id device,
                                                cl_command_queue_properties properties,
                                                cl_int* error) {
  machine.calls.push_back(std::string("createCommandQueue ") + (context == kContext ? "" : "?") +
                          Name(device) + " " + std::to_string(properties));
  *error = machine.failing == "queue" ? CL_OUT_OF_RESOURCES : CL_SUCCESS;
  return *error == CL_SUCCESS ? kQueue : nullptr;
}

cl_int Logged(const std::string& call, bool known) {
  machine.calls.push_back(call + (known ? "" : "?"));
  return CL_SUCCESS;
}
cl_int CL_API_CALL Finish(cl_command_queue queue) {
  return Logged("finish", queue == kQueue);
}
cl_int CL_API_CALL ReleaseCommandQueue(cl_command_queue queue) {
  return Logged("releaseCommandQueue", queue == kQueue);
}
cl_int CL_API_CALL ReleaseContext(cl_context context) {
  return Logged("releaseContext", context == kContext);
}

const OpenCLFunctions kStandIn{GetPlatformIDs,      GetDeviceIDs,       GetDeviceInfo,
                               CreateContext,       CreateCommandQueue, Finish,
                               ReleaseCommandQueue, ReleaseContext};

// The listing of these GPU and CPU names, then the selection line.
std::string Listing(const std::vector<std::string>& gpus, const std::vector<std::string>& cpus,
                    const std::string& selected) {
  std::string text = "Detected GPU devices: " + std::to_string(gpus.size()) + "\n";
  for (const auto& name : gpus) text += "Name: " + name + "; Vendor: Maker; Version: OpenCL 3.0\n";
  text += "Detected CPU devices: " + std::to_string(cpus.size()) + "\n";
  for (const auto& name : cpus) text += "Name: " + name + "; Vendor: Maker; Version: OpenCL 3.0\n";
  return selected.empty() ? text : text + "Selected " + selected + " device\n";
}

// The set-up on a made-up machine, into a record full of garbage (so that clearing shows), then the
// release of what it left in the record. A failure writes one message, returns false and releases
// only what it created.
TEST(OpenCLSetup, ListsChoosesCreatesAndReleasesOnlyWhatWasCreated) {
  const std::string longName(128, 'n'), fits(127, 'f');
  const Platform gpuAndCpu{{"G"}, {"C"}}, cpu{{}, {"C"}};
  const std::string cpuListing = Listing({}, {"C"}, "1st CPU");
  const struct {
    std::vector<Platform> platforms;
    std::string failing, out, chosen = {};  // the chosen device: none when the set-up fails
    size_t platform = 0;                    // the chosen device's
    std::string calls = {};                 // those of a failure
  } cases[] = {
      {{{{"G0", "G1"}, {"C0"}}}, "", Listing({"G0", "G1"}, {"C0"}, "2nd GPU"), "G1", 0},
      // The GPU list runs across platforms: the second GPU is the second platform's.
      {{{{"A"}, {}}, {{"B"}, {"C"}}}, "", Listing({"A", "B"}, {"C"}, "2nd GPU"), "B", 1},
      // A GPU beats any CPU, even one listed first.
      {{{{}, {"C0", "C1"}}, {{"G"}, {}}}, "", Listing({"G"}, {"C0", "C1"}, "1st GPU"), "G", 1},
      {{{{}, {}}, {{}, {"C0", "C1"}}}, "", Listing({}, {"C0", "C1"}, "1st CPU"), "C0", 1},
      // A text that does not fit in 128 bytes is left empty; one of 127 characters fits.
      {{{{fits, longName}, {}}}, "", Listing({fits, ""}, {}, "2nd GPU"), longName, 0},
      {{gpuAndCpu}, "count", "Error getting num platforms\n"},
      {{gpuAndCpu}, "platform ids", "Error getting platform id\n"},
      // No platform: the second call has neither list nor count, which the loader rejects.
      {{}, "", "Error getting platform id\n"},
      {{gpuAndCpu}, "GPU ids", "Error getting GPU device ids\n"},
      {{gpuAndCpu}, "CPU ids", "Error getting CPU device ids\n"},
      {{{}, {}}, "", Listing({}, {}, "") + "No compatible OpenCL device found\n"},
      {{cpu}, "context", cpuListing + "Error creating context\n", "", 0, "createContext 1 C"},
      {{cpu},
       "queue",
       cpuListing + "Error creating command queue\n",
       "",
       0,
       "createContext 1 C, createCommandQueue C 0, releaseContext"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.out);
    machine = Machine{c.platforms, c.failing, {}};
    OpenCLContextInfo info;
    std::memset(static_cast<void*>(&info), 0xAB, sizeof(info));
    std::ostringstream out;
    EXPECT_EQ(SetupOpenCLWith(kStandIn, out, &info), !c.chosen.empty());
    for (uint8_t byte : info.reserved48) EXPECT_EQ(byte, 0);
    EXPECT_TRUE(ReleaseOpenCLWith(kStandIn, info.context, info.commandQueue));
    EXPECT_EQ(out.str(), c.out);
    std::string calls;
    for (const auto& call : machine.calls) calls += (calls.empty() ? "" : ", ") + call;
    EXPECT_EQ(calls, c.chosen.empty()
                         ? c.calls
                         : "createContext 1 " + c.chosen + ", createCommandQueue " + c.chosen +
                               " 0, finish, releaseCommandQueue, releaseContext");
    if (c.chosen.empty()) {
      EXPECT_EQ(info.commandQueue, nullptr);
    } else {
      EXPECT_EQ(Name(info.device), c.chosen);
      EXPECT_EQ(info.platform, PlatformId(c.platform));
      EXPECT_TRUE(info.commandQueue2 == kQueue && info.commandQueue3 == kQueue);
    }
  }
}

}  // namespace
