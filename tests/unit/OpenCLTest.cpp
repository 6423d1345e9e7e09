// The OpenCL host functions are linked on every platform and answer, with or without a driver.
#include <CL/cl.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace {

// ZR8_EXPECT_OPENCL=none: the run hides the platform's OpenCL library (wine: opencl=d).
bool OpenCLHidden() {
  const char* value = std::getenv("ZR8_EXPECT_OPENCL");
  return value != nullptr && std::string(value) == "none";
}

TEST(OpenCL, PlatformQueryAnswers) {
  cl_uint count = 77;
  const cl_int status = clGetPlatformIDs(0, nullptr, &count);
  if (OpenCLHidden()) {
    EXPECT_EQ(status, -1001);  // no platform
    EXPECT_EQ(count, 0u);
  } else if (status == CL_SUCCESS) {
    EXPECT_GT(count, 0u);
  } else {
    EXPECT_EQ(count, 0u);
  }
}

// Without a platform, every later step fails with an error instead of crashing.
TEST(OpenCL, CallsWithoutAPlatformFail) {
  if (!OpenCLHidden()) GTEST_SKIP() << "OpenCL is present";
  cl_uint devices = 77;
  EXPECT_NE(clGetDeviceIDs(nullptr, CL_DEVICE_TYPE_GPU, 0, nullptr, &devices), CL_SUCCESS);
  EXPECT_EQ(devices, 0u);
  cl_int error = CL_SUCCESS;
  EXPECT_EQ(clCreateContext(nullptr, 0, nullptr, nullptr, nullptr, &error), nullptr);
  EXPECT_NE(error, CL_SUCCESS);
  error = CL_SUCCESS;
  EXPECT_EQ(clCreateCommandQueue(nullptr, nullptr, 0, &error), nullptr);
  EXPECT_NE(error, CL_SUCCESS);
  char name[16] = {};
  EXPECT_NE(clGetDeviceInfo(nullptr, CL_DEVICE_NAME, sizeof(name), name, nullptr), CL_SUCCESS);
  EXPECT_NE(clFinish(nullptr), CL_SUCCESS);
  EXPECT_NE(clReleaseCommandQueue(nullptr), CL_SUCCESS);
  EXPECT_NE(clReleaseContext(nullptr), CL_SUCCESS);
}

}  // namespace
