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
// platform ids are addresses inside it; context and queue are fixed tokens.
struct Device {
  std::string name;
  std::string vendor;
  std::string version;
};

struct Platform {
  std::vector<Device> gpus;
  std::vector<Device> cpus;
  bool failGpuIds = false;  // the second (id-reading) call for GPUs fails
  bool failCpuIds = false;
};

struct World {
  std::vector<Platform> platforms;
  bool failCount = false;
  bool failPlatformIds = false;
  cl_int contextError = CL_SUCCESS;
  cl_int queueError = CL_SUCCESS;
  std::vector<std::string> calls;
};

World world;
cl_context const kContext = reinterpret_cast<cl_context>(0xC0);
cl_command_queue const kQueue = reinterpret_cast<cl_command_queue>(0xC1);

// Device ids encode (platform, type, index) so that a test can tell which device was chosen.
cl_device_id DeviceId(size_t platform, bool gpu, size_t index) {
  return reinterpret_cast<cl_device_id>(0x10000 + platform * 0x1000 + (gpu ? 0x100 : 0) + index);
}
cl_platform_id PlatformId(size_t platform) {
  return reinterpret_cast<cl_platform_id>(0x500 + platform);
}

const Device* FindDevice(cl_device_id id) {
  for (size_t p = 0; p < world.platforms.size(); ++p) {
    for (size_t i = 0; i < world.platforms[p].gpus.size(); ++i) {
      if (DeviceId(p, true, i) == id) return &world.platforms[p].gpus[i];
    }
    for (size_t i = 0; i < world.platforms[p].cpus.size(); ++i) {
      if (DeviceId(p, false, i) == id) return &world.platforms[p].cpus[i];
    }
  }
  return nullptr;
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
  const Device* device = FindDevice(id);
  if (device == nullptr) return CL_INVALID_DEVICE;
  const std::string& text = what == CL_DEVICE_NAME     ? device->name
                            : what == CL_DEVICE_VENDOR ? device->vendor
                                                       : device->version;
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

cl_int CL_API_CALL Finish(cl_command_queue queue) {
  world.calls.push_back(std::string("finish ") + (queue == kQueue ? "queue" : "?"));
  return CL_SUCCESS;
}
cl_int CL_API_CALL ReleaseCommandQueue(cl_command_queue queue) {
  world.calls.push_back(std::string("releaseCommandQueue ") + (queue == kQueue ? "queue" : "?"));
  return CL_SUCCESS;
}
cl_int CL_API_CALL ReleaseContext(cl_context context) {
  world.calls.push_back(std::string("releaseContext ") + (context == kContext ? "context" : "?"));
  return CL_SUCCESS;
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

struct SetupResult {
  bool ok;
  std::string out;
  OpenCLContextInfo info;
};

SetupResult RunSetup() {
  SetupResult result{};
  // Garbage in the record shows whether the set-up clears it.
  std::memset(static_cast<void*>(&result.info), 0xAB, sizeof(result.info));
  std::ostringstream out;
  result.ok = SetupOpenCLWith(kStandIn, out, &result.info);
  result.out = out.str();
  return result;
}

bool TailIsZero(const OpenCLContextInfo& info) {
  for (uint8_t byte : info.reserved48) {
    if (byte != 0) return false;
  }
  return true;
}

class OpenCLSetupTest : public testing::Test {
 protected:
  void SetUp() override { world = World{}; }
};

struct SelectionCase {
  const char* what;
  std::vector<Platform> platforms;
  std::string listing;
  cl_device_id device;
  cl_platform_id platform;

  // Test names show the case, not its bytes.
  friend void PrintTo(const SelectionCase& c, std::ostream* os) { *os << c.what; }
};

class OpenCLSelection : public OpenCLSetupTest,
                        public testing::WithParamInterface<SelectionCase> {};

TEST_P(OpenCLSelection, ListsEveryDeviceThenChooses) {
  world.platforms = GetParam().platforms;
  const SetupResult result = RunSetup();
  ASSERT_TRUE(result.ok);
  EXPECT_EQ(result.out, GetParam().listing);
  EXPECT_EQ(result.info.device, GetParam().device);
  EXPECT_EQ(result.info.platform, GetParam().platform);
  EXPECT_EQ(result.info.context, kContext);
  EXPECT_EQ(result.info.commandQueue, kQueue);
  EXPECT_EQ(result.info.commandQueue2, kQueue);
  EXPECT_EQ(result.info.commandQueue3, kQueue);
  EXPECT_TRUE(TailIsZero(result.info));
  EXPECT_EQ(world.calls,
            (std::vector<std::string>{
                "createContext 1 " + std::to_string(reinterpret_cast<uintptr_t>(GetParam().device)),
                "createCommandQueue context 0"}));
}

// The listing of these GPU and CPU names (made by Gpu and Cpu), then the selection line.
std::string Listing(const std::vector<std::string>& gpus, const std::vector<std::string>& cpus,
                    const std::string& selected) {
  std::string text = "Detected GPU devices: " + std::to_string(gpus.size()) + "\n";
  for (const auto& name : gpus)
    text += "Name: " + name + "; Vendor: GpuMaker; Version: OpenCL 2.0\n";
  text += "Detected CPU devices: " + std::to_string(cpus.size()) + "\n";
  for (const auto& name : cpus)
    text += "Name: " + name + "; Vendor: CpuMaker; Version: OpenCL 1.2\n";
  return text + "Selected " + selected + " device\n";
}

INSTANTIATE_TEST_SUITE_P(
    OpenCL, OpenCLSelection,
    testing::Values(
        SelectionCase{"TwoGpusTakeTheSecond",
                      {Platform{{Gpu("G0"), Gpu("G1")}, {Cpu("C0")}}},
                      Listing({"G0", "G1"}, {"C0"}, "2nd GPU"),
                      DeviceId(0, true, 1),
                      PlatformId(0)},
        // The GPU list runs across platforms: the second GPU is the second platform's.
        SelectionCase{"SecondGpuAcrossPlatforms",
                      {Platform{{Gpu("A")}, {}}, Platform{{Gpu("B")}, {Cpu("C")}}},
                      Listing({"A", "B"}, {"C"}, "2nd GPU"),
                      DeviceId(1, true, 0),
                      PlatformId(1)},
        // A GPU beats any CPU, even one listed first.
        SelectionCase{"OneGpu",
                      {Platform{{}, {Cpu("C0"), Cpu("C1")}}, Platform{{Gpu("G")}, {}}},
                      Listing({"G"}, {"C0", "C1"}, "1st GPU"),
                      DeviceId(1, true, 0),
                      PlatformId(1)},
        SelectionCase{"OnlyCpus",
                      {Platform{{}, {}}, Platform{{}, {Cpu("C0"), Cpu("C1")}}},
                      Listing({}, {"C0", "C1"}, "1st CPU"),
                      DeviceId(1, false, 0),
                      PlatformId(1)},
        // A text that does not fit in 128 bytes is left empty; one of 127 characters fits.
        SelectionCase{"LongTexts",
                      {Platform{{Device{std::string(128, 'n'), std::string(127, 'v'), "V"}}, {}}},
                      "Detected GPU devices: 1\nName: ; Vendor: " + std::string(127, 'v') +
                          "; Version: V\nDetected CPU devices: 0\nSelected 1st GPU device\n",
                      DeviceId(0, true, 0),
                      PlatformId(0)}),
    [](const auto& info) { return info.param.what; });

struct FailureCase {
  const char* what;
  World world;
  std::string out;
  bool contextSet;  // a failure after the context was created leaves it in the record

  // Test names show the case, not its bytes.
  friend void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.what; }
};

class OpenCLFailure : public OpenCLSetupTest, public testing::WithParamInterface<FailureCase> {};

TEST_P(OpenCLFailure, WritesOneMessageAndReturnsFalse) {
  world = GetParam().world;
  const SetupResult result = RunSetup();
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.out, GetParam().out);
  EXPECT_EQ(result.info.context, GetParam().contextSet ? kContext : nullptr);
  EXPECT_EQ(result.info.commandQueue, nullptr);
  EXPECT_TRUE(TailIsZero(result.info));
}

World WithPlatforms(std::vector<Platform> platforms) {
  World w;
  w.platforms = std::move(platforms);
  return w;
}

World Failing(World w, bool World::*flag) {
  w.*flag = true;
  return w;
}

World WithErrors(World w, cl_int contextError, cl_int queueError) {
  w.contextError = contextError;
  w.queueError = queueError;
  return w;
}

const std::string kOneCpuListing = Listing({}, {"C"}, "1st CPU");

INSTANTIATE_TEST_SUITE_P(
    OpenCL, OpenCLFailure,
    testing::Values(
        FailureCase{"CountFails",
                    Failing(WithPlatforms({Platform{{Gpu("G")}, {}}}), &World::failCount),
                    "Error getting num platforms\n", false},
        FailureCase{"IdsFail",
                    Failing(WithPlatforms({Platform{{Gpu("G")}, {}}}), &World::failPlatformIds),
                    "Error getting platform id\n", false},
        // No platform: the second call has neither list nor count, which the loader rejects.
        FailureCase{"NoPlatform", World{}, "Error getting platform id\n", false},
        FailureCase{"GpuIdsFail", WithPlatforms({Platform{{Gpu("G")}, {Cpu("C")}, true, false}}),
                    "Error getting GPU device ids\n", false},
        FailureCase{"CpuIdsFail", WithPlatforms({Platform{{Gpu("G")}, {Cpu("C")}, false, true}}),
                    "Error getting CPU device ids\n", false},
        FailureCase{"NoDevice", WithPlatforms({Platform{}, Platform{}}),
                    "Detected GPU devices: 0\nDetected CPU devices: 0\n"
                    "No compatible OpenCL device found\n",
                    false},
        FailureCase{
            "ContextFails",
            WithErrors(WithPlatforms({Platform{{}, {Cpu("C")}}}), CL_OUT_OF_RESOURCES, CL_SUCCESS),
            kOneCpuListing + "Error creating context\n", false},
        FailureCase{
            "QueueFails",
            WithErrors(WithPlatforms({Platform{{}, {Cpu("C")}}}), CL_SUCCESS, CL_OUT_OF_RESOURCES),
            kOneCpuListing + "Error creating command queue\n", true}),
    [](const auto& info) { return info.param.what; });

TEST_F(OpenCLSetupTest, ReleaseFinishesTheQueueBeforeReleasingIt) {
  EXPECT_TRUE(ReleaseOpenCLWith(kStandIn, kContext, kQueue));
  EXPECT_EQ(world.calls, (std::vector<std::string>{"finish queue", "releaseCommandQueue queue",
                                                   "releaseContext context"}));
}

TEST_F(OpenCLSetupTest, ReleaseSkipsWhatWasNeverCreated) {
  EXPECT_TRUE(ReleaseOpenCLWith(kStandIn, kContext, nullptr));
  EXPECT_TRUE(ReleaseOpenCLWith(kStandIn, nullptr, nullptr));
  EXPECT_EQ(world.calls, std::vector<std::string>{"releaseContext context"});
}

}  // namespace
