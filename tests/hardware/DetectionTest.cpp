// Detection, its record and the set-up of a decoder's device, in process on a fake machine with
// the stand-in CUDA driver (standin/, first on LD_LIBRARY_PATH) as the module loads it.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>

#include <cstring>

#include "FakeMachine.h"
#include "StandIn.h"

namespace {

using namespace zr8hw;
using Lines = std::vector<std::string>;
using Record = std::vector<unsigned char>;

template <typename T>
T At(const Record& record, std::size_t offset) {
  T value;
  std::memcpy(&value, record.data() + offset, sizeof value);
  return value;
}

class Hardware : public ::testing::Test {
 protected:
  void SetUp() override {
    void* library = ::dlopen("libcuda.so.1", RTLD_NOW);
    const auto record =
        library ? reinterpret_cast<StandInCuda* (*)()>(::dlsym(library, "StandInCudaRecord"))
                : nullptr;
    ASSERT_TRUE(record && HostSystem().cuda) << "the stand-in driver is not first on the path";
    cuda = record();
    *cuda = StandInCuda{};
    cuda->deviceCount = 2;
    // An Intel and an AMD node out of order; NVIDIA's own node and a virtual GPU offer no decoder.
    machine.AddRenderNode(129, 0x1002, 0x73bf, "amdgpu");
    machine.AddRenderNode(128, 0x8086, 0x56a0, "i915");
    machine.AddRenderNode(130, 0x10de, 0x2684, "nvidia");
    machine.AddRenderNode(131, 0x1af4, 0x1050, "virtio-pci");
    machine.Write("/usr/share/misc/pci.ids",
                  "# comment\n8086  Intel Corporation\n\t56a0  DG2 [Arc A770]\n"
                  "\t\t1234 5678  Some board\n1002  Advanced Micro Devices\n\t73bf  Navi 21\n");
    machine.Write("/sys/devices/pci0000:00/0000:02:00.0/product_name", "Radeon Fake 6800\n");
    machine.Write("/sys/module/i915/version", "1.6.0\n");
    machine.Write("/proc/driver/nvidia/version", "NVRM version: Fake Kernel Module  550.1\n");
  }

  System WithCuda() const { return machine.System(HostSystem().cuda); }

  Lines Query(const System& system) {
    int32_t count = -1;
    EXPECT_EQ(SupportedDecoders(0, nullptr, &count, system), kOk);
    std::vector<HardwareDecoderInfo> list(static_cast<std::size_t>(count));
    EXPECT_EQ(SupportedDecoders(count, list.data(), &count, system), kOk);
    EXPECT_EQ(static_cast<std::size_t>(count), list.size());
    return fake::Describe(list);
  }

  Record MakeRecord(const System& system, int32_t dxgi = 0) {
    Record record(kDetectionRecordSize, 0xCD);
    EXPECT_EQ(DetectionResults(record.data(), dxgi, system), kOk);
    EXPECT_TRUE(IsValidDetectionRecord(record.data(), record.size()));
    return record;
  }

  // InitCuda must fail, say why and leave the outputs alone.
  void ExpectCudaFailure(int32_t device, const System& system, const std::string& why) {
    int32_t id = -5;
    void* context = &id;
    void* handle = &id;
    std::string message;
    EXPECT_LT(InitCuda(device, &id, &context, &handle, &message, system), 0);
    EXPECT_NE(message.find(why), std::string::npos) << message;
    EXPECT_TRUE(id == -5 && context == &id && handle == &id) << why;
    EXPECT_EQ(cuda->primaryRetains, 0);
  }

  StandInCuda* cuda = nullptr;
  fake::FakeMachine machine;
};

TEST_F(Hardware, ListsNvidiaFirstThenTheNodesInNodeOrderAndFillsOnlyWhatFits) {
  EXPECT_EQ(Query(WithCuda()), (Lines{"4 10de Stand-in GPU", "4 10de Stand-in GPU 1",
                                      "2 8086 DG2 [Arc A770]", "3 1002 Radeon Fake 6800"}));
  std::vector<HardwareDecoderInfo> list(3);
  std::memset(list.data(), 0xAB, sizeof(HardwareDecoderInfo) * 3);
  int32_t count = 0;
  ASSERT_EQ(SupportedDecoders(2, list.data(), &count, WithCuda()), kOk);
  EXPECT_EQ(count, 4);
  EXPECT_EQ(list[1].kind, 4);
  EXPECT_EQ(list[2].kind, static_cast<int32_t>(0xABABABAB));  // beyond the capacity: untouched

  EXPECT_LT(SupportedDecoders(0, nullptr, nullptr, WithCuda()), 0);
  EXPECT_LT(SupportedDecoders(-1, nullptr, &count, WithCuda()), 0);
}

TEST_F(Hardware, FailingOrMissingCudaDriverLeavesTheRenderNodes) {
  cuda->initResult = 100;  // no device
  EXPECT_EQ(Query(WithCuda()), (Lines{"2 8086 DG2 [Arc A770]", "3 1002 Radeon Fake 6800"}));
  auto record = MakeRecord(WithCuda());
  EXPECT_EQ(At<int32_t>(record, 24), 100);
  EXPECT_EQ(At<uint32_t>(record, 20), 4u);  // the four nodes

  fake::FakeMachine empty;
  EXPECT_TRUE(Query(empty.System()).empty());
  record = MakeRecord(empty.System());
  EXPECT_EQ(At<int32_t>(record, 24), kCudaNotLoaded);
  EXPECT_EQ(At<uint32_t>(record, 20), 0u);
  for (std::size_t i = kHeaderSize; i < record.size(); ++i) ASSERT_EQ(record[i], 0) << i;
}

TEST_F(Hardware, RecordHoldsDevicesAndDecodersAtTheirOffsets) {
  const auto record = MakeRecord(WithCuda(), 7);
  std::ifstream table(ZR8_TEST_DATA "/record.tsv");
  int rows = 0;
  for (std::string line; std::getline(table, line);) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    std::string at, type, value;
    std::getline(fields, at, '\t');
    std::getline(fields, type, '\t');
    std::getline(fields, value, '\t');
    ++rows;
    const std::size_t offset = std::stoul(at);
    if (type == "text") {
      EXPECT_STREQ(reinterpret_cast<const char*>(&record[offset]), value.c_str()) << line;
    } else if (type == "u64") {
      EXPECT_EQ(At<uint64_t>(record, offset), std::stoull(value)) << line;
    } else if (type == "u32") {
      EXPECT_EQ(At<uint32_t>(record, offset), std::stoul(value, nullptr, 0)) << line;
    } else {
      for (std::size_t i = offset; i < record.size(); ++i) ASSERT_EQ(record[i], 0) << line;
    }
  }
  EXPECT_GT(rows, 0) << "record.tsv not read";
  // The record's list is the in-process list.
  EXPECT_EQ(fake::Describe(DecodersOfRecord(record.data())), Query(WithCuda()));
}

TEST_F(Hardware, MoreThanSixteenDecodersKeepTheFullCount) {
  cuda->deviceCount = 20;
  const auto record = MakeRecord(WithCuda());
  EXPECT_EQ(At<uint32_t>(record, kDecoderCountOffset), 22u);
  EXPECT_EQ(DecodersOfRecord(record.data()).size(), 16u);
  EXPECT_EQ(Query(WithCuda()).size(), 22u);
}

TEST(Utf16, ConvertsTerminatesAndNeverSplitsAPair) {
  const std::pair<const char*, std::u16string> cases[] = {
      {"abcd\xF0\x9D\x84\x9E", u"abcd"},  // the pair does not fit after "abcd"
      {"ab\xF0\x9D\x84\x9E", u"ab\U0001D11E"},
      {"x\xFFy\xC3", u"x\uFFFDy\uFFFD"},  // malformed bytes
      {"much too long", u"much "}};
  for (const auto& [text, expected] : cases) {
    char16_t field[6];
    CopyUtf16(text, field, 6);
    EXPECT_EQ(std::u16string(field), expected);
  }
}

TEST_F(Hardware, CudaRetainsThePrimaryContextWithBlockingSyncAndReleasesItOnce) {
  int32_t id = 0;
  void* context = nullptr;
  void* handle = nullptr;
  std::string message;
  ASSERT_EQ(InitCuda(1, &id, &context, &handle, &message), kOk);
  EXPECT_EQ(message, "Stand-in GPU 1 (CUDA device 1), CUDA driver 12.4, 8192 MiB");
  EXPECT_TRUE(id == 1 && context == cuda->primaryContext && handle == reinterpret_cast<void*>(1));
  EXPECT_EQ(cuda->primaryRetains, 1);
  EXPECT_EQ(cuda->flagsWhenMadeActive, kCudaBlockingSync);  // the only flags FFmpeg accepts
  EXPECT_EQ(UninitCuda(&id, &context, &handle), kOk);
  EXPECT_EQ(cuda->primaryRetains, 0);
  EXPECT_TRUE(id == 0 && context == nullptr && handle == nullptr);
  EXPECT_LT(UninitCuda(&id, &context, &handle), 0);  // nothing left to release
}

TEST_F(Hardware, CudaFailsCleanlyWithAReason) {
  ExpectCudaFailure(0, System{nullptr, ""}, "libcuda.so.1");
  ExpectCudaFailure(2, HostSystem(), "no device 2 (2 present)");
  ExpectCudaFailure(-1, HostSystem(), "no device -1");
  cuda->retainResult = 2;  // out of memory
  ExpectCudaFailure(0, HostSystem(), "cuDevicePrimaryCtxRetain failed with error 2");
  cuda->initResult = 100;
  ExpectCudaFailure(0, HostSystem(), "cuInit failed with error 100");
  std::string message;
  void* context = nullptr;
  EXPECT_EQ(InitCuda(0, nullptr, &context, &context, &message), kInvalidArg);
}

TEST_F(Hardware, VaapiOpensTheVendorsFirstNodeThatOpensClosesItOrSaysWhyNone) {
  machine.AddRenderNode(132, 0x1002, 0x744c, "amdgpu");
  void* handle = nullptr;
  std::string message;
  ASSERT_EQ(InitVaapi(0x1002, &handle, &message, machine.System()), kOk);
  EXPECT_EQ(message, "/dev/dri/renderD129: Radeon Fake 6800 [1002:73bf], kernel driver amdgpu");
  const int fd = VaapiFd(handle);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(::fcntl(fd, F_GETFL) & O_ACCMODE, O_RDWR);
  EXPECT_NE(::fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
  EXPECT_EQ(UninitVaapi(&handle), kOk);
  EXPECT_EQ(handle, nullptr);
  EXPECT_EQ(::fcntl(fd, F_GETFD), -1);  // closed
  EXPECT_LT(UninitVaapi(&handle), 0);

  machine.MakeUnopenable(129);
  ASSERT_EQ(InitVaapi(0x1002, &handle, &message, machine.System()), kOk);
  EXPECT_EQ(message, "/dev/dri/renderD132: AMD GPU 1002:744c [1002:744c], kernel driver amdgpu");
  UninitVaapi(&handle);
  machine.MakeUnopenable(132);
  handle = &machine;
  EXPECT_EQ(InitVaapi(0x1002, &handle, &message, machine.System()), kFail);
  EXPECT_EQ(handle, &machine);
  EXPECT_EQ(message,
            "VA-API: no render node of AMD (PCI vendor 0x1002) could be opened: "
            "/dev/dri/renderD129: Is a directory; /dev/dri/renderD132: Is a directory");
}

}  // namespace
