// Setting up a CUDA context and a VA-API render node, through a fake machine.
#include <fcntl.h>
#include <gtest/gtest.h>

#include "FakeMachine.h"
#include "zr8hardware/Hardware.h"

namespace {

class CudaInit : public ::testing::Test {
 protected:
  void SetUp() override {
    fake::CudaState::Get().Reset();
    fake::CudaState::Get().gpus = {{"GeForce Fake A", 8ull << 30}, {"GeForce Fake B", 4ull << 30}};
  }

  // Init must fail, say `why` and leave the outputs alone.
  void ExpectFailure(int32_t device, const zr8hw::System& system, const std::string& why) {
    int32_t id = -5;
    void* context = &id;
    void* handle = &id;
    std::string message;
    EXPECT_LT(zr8hw::InitCuda(device, &id, &context, &handle, &message, system), 0);
    EXPECT_NE(message.find(why), std::string::npos) << message;
    EXPECT_EQ(id, -5);
    EXPECT_EQ(context, &id);
    EXPECT_EQ(handle, &id);
    EXPECT_TRUE(fake::CudaState::Get().retained[device] == 0);
  }

  zr8hw::System system = zr8hw::System{&fake::FakeCuda(), ""};
};

TEST_F(CudaInit, RetainsThePrimaryContextAndReleasesItOnce) {
  int32_t id = 0;
  void* context = nullptr;
  void* handle = nullptr;
  std::string message;
  ASSERT_EQ(zr8hw::InitCuda(1, &id, &context, &handle, &message, system), zr8hw::kOk);
  EXPECT_EQ(message, "GeForce Fake B (CUDA device 1), CUDA driver 12.4, 4096 MiB");
  EXPECT_EQ(id, 1);
  EXPECT_EQ(context, reinterpret_cast<void*>(0x1001));
  EXPECT_EQ(handle, reinterpret_cast<void*>(1));
  EXPECT_EQ(fake::CudaState::Get().retained[1], 1);
  // Blocking synchronisation before the retain: the only flags FFmpeg's CUDA device accepts.
  EXPECT_EQ(fake::CudaState::Get().flagsAtRetain, zr8hw::kCudaBlockingSync);

  EXPECT_EQ(zr8hw::UninitCuda(&id, &context, &handle, system), zr8hw::kOk);
  EXPECT_EQ(fake::CudaState::Get().retained[1], 0);
  EXPECT_EQ(fake::CudaState::Get().releases, 1);
  EXPECT_EQ(id, 0);
  EXPECT_EQ(context, nullptr);
  EXPECT_EQ(handle, nullptr);
  // A second release has no context left to release.
  EXPECT_LT(zr8hw::UninitCuda(&id, &context, &handle, system), 0);
  EXPECT_EQ(fake::CudaState::Get().releases, 1);
}

TEST_F(CudaInit, TakesAContextAlreadyActiveWithOtherFlags) {
  void* other = nullptr;
  ASSERT_EQ(fake::FakeCuda().primaryCtxRetain(&other, 0), 0);  // someone else's, flags 0
  int32_t id = 0;
  void* context = nullptr;
  void* handle = nullptr;
  std::string message;
  ASSERT_EQ(zr8hw::InitCuda(0, &id, &context, &handle, &message, system), zr8hw::kOk);
  EXPECT_EQ(context, other);
  EXPECT_EQ(fake::CudaState::Get().retained[0], 2);
  EXPECT_EQ(zr8hw::UninitCuda(&id, &context, &handle, system), zr8hw::kOk);
}

TEST_F(CudaInit, FailsCleanlyWithAReason) {
  ExpectFailure(0, zr8hw::System{nullptr, ""}, "libcuda.so.1");
  ExpectFailure(2, system, "no device 2 (2 present)");
  ExpectFailure(-1, system, "no device -1");
  fake::CudaState::Get().retainResult = 2;  // out of memory
  ExpectFailure(0, system, "cuDevicePrimaryCtxRetain failed with error 2");
  fake::CudaState::Get().retainResult = 0;
  fake::CudaState::Get().initResult = 100;
  ExpectFailure(0, system, "cuInit failed with error 100");
  fake::CudaState::Get().initResult = 0;
  fake::CudaState::Get().gpus.clear();
  ExpectFailure(0, system, "no device 0 (0 present)");

  std::string message;
  void* context = nullptr;
  EXPECT_EQ(zr8hw::InitCuda(0, nullptr, &context, &context, &message, system), zr8hw::kInvalidArg);
}

class VaapiInit : public ::testing::Test {
 protected:
  void SetUp() override {
    machine.AddRenderNode(128, 0x8086, 0x56a0, "i915");
    machine.AddRenderNode(129, 0x1002, 0x73bf, "amdgpu");
    machine.AddRenderNode(130, 0x1002, 0x744c, "amdgpu");
  }
  fake::FakeMachine machine;
};

TEST_F(VaapiInit, OpensTheVendorsFirstNodeAndClosesIt) {
  void* handle = nullptr;
  std::string message;
  ASSERT_EQ(zr8hw::InitVaapi(0x1002, &handle, &message, machine.System()), zr8hw::kOk);
  EXPECT_EQ(message, "/dev/dri/renderD129: AMD GPU 1002:73bf [1002:73bf], kernel driver amdgpu");
  const int fd = zr8hw::VaapiFd(handle);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(::fcntl(fd, F_GETFL) & O_ACCMODE, O_RDWR);
  EXPECT_NE(::fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);

  EXPECT_EQ(zr8hw::UninitVaapi(&handle), zr8hw::kOk);
  EXPECT_EQ(handle, nullptr);
  EXPECT_EQ(::fcntl(fd, F_GETFD), -1);  // closed
  EXPECT_LT(zr8hw::UninitVaapi(&handle), 0);
}

TEST_F(VaapiInit, SkipsNodesThatDoNotOpenAndFailsWhenNoneDoes) {
  machine.MakeUnopenable(129);
  void* handle = nullptr;
  std::string message;
  ASSERT_EQ(zr8hw::InitVaapi(0x1002, &handle, &message, machine.System()), zr8hw::kOk);
  EXPECT_EQ(message.rfind("/dev/dri/renderD130: ", 0), 0u) << message;
  zr8hw::UninitVaapi(&handle);

  machine.MakeUnopenable(130);
  handle = &machine;
  EXPECT_EQ(zr8hw::InitVaapi(0x1002, &handle, &message, machine.System()), zr8hw::kFail);
  EXPECT_EQ(handle, &machine);
  EXPECT_EQ(message,
            "VA-API: no render node of AMD (PCI vendor 0x1002) could be opened: "
            "/dev/dri/renderD129: Is a directory; /dev/dri/renderD130: Is a directory");

  EXPECT_EQ(zr8hw::InitVaapi(0x10de, &handle, &message, machine.System()), zr8hw::kFail);
  EXPECT_EQ(message, "VA-API: no render node of NVIDIA (PCI vendor 0x10de) under /dev/dri");
  fake::FakeMachine empty;
  EXPECT_EQ(zr8hw::InitVaapi(0x8086, &handle, &message, empty.System()), zr8hw::kFail);
  EXPECT_EQ(handle, &machine);
}

}  // namespace
