// The OpenCL device listing, selection and failures, over a stand-in for the OpenCL loader (the
// machine's own loader is used end to end by OpenCLDecodeTest).
#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "video/OpenCLFunctions.h"
#include "video/OpenCLSetup.h"

namespace {

// A made-up machine: platforms with their GPU and CPU devices, and the calls that fail. Device and
// platform ids encode where they are; context and queue are fixed tokens.
struct Device {
  std::string name, vendor, version;
};

struct Platform {
  std::vector<Device> gpus, cpus;
  bool failGpuIds = false, failCpuIds = false;  // the second (id-reading) call fails
};

struct World {
  std::vector<Platform> platforms;
  bool failCount = false, failPlatformIds = false;
  cl_int contextError = CL_SUCCESS, queueError = CL_SUCCESS;
  std::vector<std::string> calls;
};

World world;
cl_context const kContext = reinterpret_cast<cl_context>(0xC0);
cl_command_queue const kQueue = reinterpret_cast<cl_command_queue>(0xC1);

cl_device_id DeviceId(size_t platform, bool gpu, size_t index) {
  return reinterpret_cast<cl_device_id>(0x10000 + platform * 0x1000 + (gpu ? 0x100 : 0) + index);
}
cl_platform_id PlatformId(size_t platform) {
  return reinterpret_cast<cl_platform_id>(0x500 + platform);
}

cl_int CL_API_CALL GetPlatformIDs(cl_uint capacity, cl_platform_id* ids, cl_uint* count) {
  if (ids == nullptr && count == nullptr) return CL_INVALID_VALUE;
  if (ids == nullptr ? world.failCount : world.failPlatformIds) return CL_OUT_OF_HOST_MEMORY;
  if (count != nullptr) *count = static_cast<cl_uint>(world.platforms.size());
  for (cl_uint i = 0; ids != nullptr && i < capacity && i < world.platforms.size(); ++i) {
    ids[i] = PlatformId(i);
  }
  return CL_SUCCESS;
}

cl_int CL_API_CALL GetDeviceIDs(cl_platform_id platformId, cl_device_type type, cl_uint capacity,
                                cl_device_id* ids, cl_uint* count) {
  const size_t p = reinterpret_cast<uintptr_t>(platformId) - 0x500;
  const bool gpu = type == CL_DEVICE_TYPE_GPU;
  const Platform& platform = world.platforms.at(p);
  const auto& devices = gpu ? platform.gpus : platform.cpus;
  if (ids != nullptr && (gpu ? platform.failGpuIds : platform.failCpuIds)) {
    return CL_OUT_OF_RESOURCES;
  }
  if (devices.empty()) return CL_DEVICE_NOT_FOUND;
  if (count != nullptr) *count = static_cast<cl_uint>(devices.size());
  for (cl_uint i = 0; ids != nullptr && i < capacity && i < devices.size(); ++i) {
    ids[i] = DeviceId(p, gpu, i);
  }
  return CL_SUCCESS;
}

cl_int CL_API_CALL GetDeviceInfo(cl_device_id id, cl_device_info what, size_t size, void* value,
                                 size_t*) {
  const uintptr_t code = reinterpret_cast<uintptr_t>(id) - 0x10000;
  const Platform& platform = world.platforms.at(code / 0x1000);
  const Device& device = ((code & 0x100) != 0 ? platform.gpus : platform.cpus).at(code & 0xFF);
  const std::string& text = what == CL_DEVICE_NAME     ? device.name
                            : what == CL_DEVICE_VENDOR ? device.vendor
                                                       : device.version;
  if (text.size() + 1 > size) return CL_INVALID_VALUE;  // as the standard has it: nothing written
  std::memcpy(value, text.c_str(), text.size() + 1);
  return CL_SUCCESS;
}

cl_context CL_API_CALL CreateContext(const cl_context_properties*, cl_uint count,
                                     const cl_device_id* devices,
                                     void(CL_CALLBACK*)(const char*, const void*, size_t, void*),
                                     void*, cl_int* error) {
  world.calls.push_back("createContext " + std::to_string(count) + " " +
                        std::to_string(reinterpret_cast<uintptr_t>(devices[0])));
  *error = world.contextError;
  return world.contextError == CL_SUCCESS ? kContext : nullptr;
}

cl_command_queue CL_API_CALL CreateCommandQueue(cl_context context, cl_device_id,
                                                cl_command_queue_properties properties,
                                                cl_int* error) {
  world.calls.push_back(std::string("createCommandQueue ") +
                        (context == kContext ? "context" : "?") + " " + std::to_string(properties));
  *error = world.queueError;
  return world.queueError == CL_SUCCESS ? kQueue : nullptr;
}

// A release step, logged with "?" where the handle is not the one the stand-in gave out.
cl_int Logged(const std::string& call, bool known) {
  world.calls.push_back(call + (known ? "" : "?"));
  return CL_SUCCESS;
}
cl_int CL_API_CALL Finish(cl_command_queue queue) {
  return Logged("finish queue", queue == kQueue);
}
cl_int CL_API_CALL ReleaseCommandQueue(cl_command_queue queue) {
  return Logged("releaseCommandQueue queue", queue == kQueue);
}
cl_int CL_API_CALL ReleaseContext(cl_context context) {
  return Logged("releaseContext context", context == kContext);
}

const OpenCLFunctions kStandIn{GetPlatformIDs,      GetDeviceIDs,       GetDeviceInfo,
                               CreateContext,       CreateCommandQueue, Finish,
                               ReleaseCommandQueue, ReleaseContext};

Device Gpu(const std::string& name) {
  return {name, "GpuMaker", "OpenCL 2.0"};
}
Device Cpu(const std::string& name) {
  return {name, "CpuMaker", "OpenCL 1.2"};
}

// Runs the set-up on the world given, into a record full of garbage (so that clearing shows).
bool RunSetup(World given, std::string* out, OpenCLContextInfo* info) {
  world = std::move(given);
  std::memset(static_cast<void*>(info), 0xAB, sizeof(*info));
  std::ostringstream text;
  const bool ok = SetupOpenCLWith(kStandIn, text, info);
  *out = text.str();
  return ok;
}

bool TailIsZero(const OpenCLContextInfo& info) {
  for (uint8_t byte : info.reserved48) {
    if (byte != 0) return false;
  }
  return true;
}

// The listing of these GPU and CPU names (made by Gpu and Cpu), then the selection line.
std::string Listing(const std::vector<std::string>& gpus, const std::vector<std::string>& cpus,
                    const std::string& selected) {
  std::string text = "Detected GPU devices: " + std::to_string(gpus.size()) + "\n";
  for (const auto& name : gpus) {
    text += "Name: " + name + "; Vendor: GpuMaker; Version: OpenCL 2.0\n";
  }
  text += "Detected CPU devices: " + std::to_string(cpus.size()) + "\n";
  for (const auto& name : cpus) {
    text += "Name: " + name + "; Vendor: CpuMaker; Version: OpenCL 1.2\n";
  }
  return selected.empty() ? text : text + "Selected " + selected + " device\n";
}

TEST(OpenCLSetup, ListsEveryDeviceThenChooses) {
  struct Case {
    const char* what;
    std::vector<Platform> platforms;
    std::string listing;
    size_t platform;  // the chosen device's
    bool gpu;
    size_t index;
  };
  const Case cases[] = {
      {"TwoGpusTakeTheSecond",
       {{{Gpu("G0"), Gpu("G1")}, {Cpu("C0")}}},
       Listing({"G0", "G1"}, {"C0"}, "2nd GPU"),
       0,
       true,
       1},
      // The GPU list runs across platforms: the second GPU is the second platform's.
      {"SecondGpuAcrossPlatforms",
       {{{Gpu("A")}, {}}, {{Gpu("B")}, {Cpu("C")}}},
       Listing({"A", "B"}, {"C"}, "2nd GPU"),
       1,
       true,
       0},
      // A GPU beats any CPU, even one listed first.
      {"OneGpu",
       {{{}, {Cpu("C0"), Cpu("C1")}}, {{Gpu("G")}, {}}},
       Listing({"G"}, {"C0", "C1"}, "1st GPU"),
       1,
       true,
       0},
      {"OnlyCpus",
       {{{}, {}}, {{}, {Cpu("C0"), Cpu("C1")}}},
       Listing({}, {"C0", "C1"}, "1st CPU"),
       1,
       false,
       0},
      // A text that does not fit in 128 bytes is left empty; one of 127 characters fits.
      {"LongTexts",
       {{{Device{std::string(128, 'n'), std::string(127, 'v'), "V"}}, {}}},
       "Detected GPU devices: 1\nName: ; Vendor: " + std::string(127, 'v') +
           "; Version: V\nDetected CPU devices: 0\nSelected 1st GPU device\n",
       0,
       true,
       0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string out;
    OpenCLContextInfo info;
    World given;
    given.platforms = c.platforms;
    ASSERT_TRUE(RunSetup(given, &out, &info));
    EXPECT_EQ(out, c.listing);
    const cl_device_id device = DeviceId(c.platform, c.gpu, c.index);
    EXPECT_EQ(info.device, device);
    EXPECT_EQ(info.platform, PlatformId(c.platform));
    EXPECT_EQ(info.context, kContext);
    EXPECT_EQ(info.commandQueue, kQueue);
    EXPECT_EQ(info.commandQueue2, kQueue);
    EXPECT_EQ(info.commandQueue3, kQueue);
    EXPECT_TRUE(TailIsZero(info));
    EXPECT_EQ(world.calls,
              (std::vector<std::string>{
                  "createContext 1 " + std::to_string(reinterpret_cast<uintptr_t>(device)),
                  "createCommandQueue context 0"}));
  }
}

// Each failure writes one message and returns false; a failure after the context was created
// leaves it in the record.
TEST(OpenCLSetup, WritesOneMessageAndReturnsFalse) {
  struct Case {
    const char* what;
    std::vector<Platform> platforms;
    void (*change)(World&);
    std::string out;
    bool contextSet;
  };
  const std::vector<Platform> oneGpu{{{Gpu("G")}, {}}};
  const std::vector<Platform> oneCpu{{{}, {Cpu("C")}}};
  const Case cases[] = {
      {"CountFails", oneGpu, [](World& w) { w.failCount = true; }, "Error getting num platforms\n",
       false},
      {"IdsFail", oneGpu, [](World& w) { w.failPlatformIds = true; }, "Error getting platform id\n",
       false},
      // No platform: the second call has neither list nor count, which the loader rejects.
      {"NoPlatform", {}, [](World&) {}, "Error getting platform id\n", false},
      {"GpuIdsFail",
       {{{Gpu("G")}, {Cpu("C")}, true, false}},
       [](World&) {},
       "Error getting GPU device ids\n",
       false},
      {"CpuIdsFail",
       {{{Gpu("G")}, {Cpu("C")}, false, true}},
       [](World&) {},
       "Error getting CPU device ids\n",
       false},
      {"NoDevice",
       {{}, {}},
       [](World&) {},
       Listing({}, {}, "") + "No compatible OpenCL device found\n",
       false},
      {"ContextFails", oneCpu, [](World& w) { w.contextError = CL_OUT_OF_RESOURCES; },
       Listing({}, {"C"}, "1st CPU") + "Error creating context\n", false},
      {"QueueFails", oneCpu, [](World& w) { w.queueError = CL_OUT_OF_RESOURCES; },
       Listing({}, {"C"}, "1st CPU") + "Error creating command queue\n", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    World given;
    given.platforms = c.platforms;
    c.change(given);
    std::string out;
    OpenCLContextInfo info;
    EXPECT_FALSE(RunSetup(given, &out, &info));
    EXPECT_EQ(out, c.out);
    EXPECT_EQ(info.context, c.contextSet ? kContext : nullptr);
    EXPECT_EQ(info.commandQueue, nullptr);
    EXPECT_TRUE(TailIsZero(info));
  }
}

TEST(OpenCLSetup, ReleaseFinishesTheQueueBeforeReleasingItAndSkipsWhatWasNeverCreated) {
  world = World{};
  EXPECT_TRUE(ReleaseOpenCLWith(kStandIn, kContext, kQueue));
  EXPECT_EQ(world.calls, (std::vector<std::string>{"finish queue", "releaseCommandQueue queue",
                                                   "releaseContext context"}));
  world = World{};
  EXPECT_TRUE(ReleaseOpenCLWith(kStandIn, kContext, nullptr));
  EXPECT_TRUE(ReleaseOpenCLWith(kStandIn, nullptr, nullptr));
  EXPECT_EQ(world.calls, std::vector<std::string>{"releaseContext context"});
}

}  // namespace
