// OpenCL: the host functions that the client calls, forwarded to the system's OpenCL library
// (OpenCL.dll on Windows, libOpenCL.so.1 elsewhere), loaded on first use. Linked against it, the
// client would not start at all on a machine without it; this way only its OpenCL set-up fails,
// and says so.
#include <CL/cl.h>

#include <cstring>

#include "platform/Platform.h"

namespace {

// What an ICD loader answers when it finds no platform.
constexpr cl_int kNoPlatform = -1001;

// The function of that name in the OpenCL library, or null when there is none.
template <typename Function>
Function Find(const char* name) {
  Function function = nullptr;
  if (void* module = platform::OpenCLLibrary()) {
    void* const address = platform::FindSymbol(module, name);
    static_assert(sizeof(function) == sizeof(address));
    std::memcpy(&function, &address, sizeof(function));
  }
  return function;
}

#define ZR8_OPENCL_FUNCTION(name) static const auto real = Find<decltype(&name)>(#name)

}  // namespace

extern "C" {

CL_API_ENTRY cl_int CL_API_CALL clGetPlatformIDs(cl_uint num_entries, cl_platform_id* platforms,
                                                 cl_uint* num_platforms) {
  ZR8_OPENCL_FUNCTION(clGetPlatformIDs);
  if (real == nullptr) {
    if (num_platforms != nullptr) *num_platforms = 0;
    return kNoPlatform;
  }
  return real(num_entries, platforms, num_platforms);
}

CL_API_ENTRY cl_int CL_API_CALL clGetDeviceIDs(cl_platform_id platform, cl_device_type device_type,
                                               cl_uint num_entries, cl_device_id* devices,
                                               cl_uint* num_devices) {
  ZR8_OPENCL_FUNCTION(clGetDeviceIDs);
  if (real == nullptr) {
    if (num_devices != nullptr) *num_devices = 0;
    return CL_INVALID_PLATFORM;
  }
  return real(platform, device_type, num_entries, devices, num_devices);
}

CL_API_ENTRY cl_int CL_API_CALL clGetDeviceInfo(cl_device_id device, cl_device_info param_name,
                                                size_t param_value_size, void* param_value,
                                                size_t* param_value_size_ret) {
  ZR8_OPENCL_FUNCTION(clGetDeviceInfo);
  if (real == nullptr) return CL_INVALID_DEVICE;
  return real(device, param_name, param_value_size, param_value, param_value_size_ret);
}

CL_API_ENTRY cl_context CL_API_CALL clCreateContext(
    const cl_context_properties* properties, cl_uint num_devices, const cl_device_id* devices,
    void(CL_CALLBACK* pfn_notify)(const char*, const void*, size_t, void*), void* user_data,
    cl_int* errcode_ret) {
  ZR8_OPENCL_FUNCTION(clCreateContext);
  if (real == nullptr) {
    if (errcode_ret != nullptr) *errcode_ret = CL_INVALID_PLATFORM;
    return nullptr;
  }
  return real(properties, num_devices, devices, pfn_notify, user_data, errcode_ret);
}

CL_API_ENTRY cl_command_queue CL_API_CALL
clCreateCommandQueue(cl_context context, cl_device_id device,
                     cl_command_queue_properties properties, cl_int* errcode_ret) {
  ZR8_OPENCL_FUNCTION(clCreateCommandQueue);
  if (real == nullptr) {
    if (errcode_ret != nullptr) *errcode_ret = CL_INVALID_CONTEXT;
    return nullptr;
  }
  return real(context, device, properties, errcode_ret);
}

CL_API_ENTRY cl_int CL_API_CALL clFinish(cl_command_queue command_queue) {
  ZR8_OPENCL_FUNCTION(clFinish);
  return real == nullptr ? CL_INVALID_COMMAND_QUEUE : real(command_queue);
}

CL_API_ENTRY cl_int CL_API_CALL clReleaseCommandQueue(cl_command_queue command_queue) {
  ZR8_OPENCL_FUNCTION(clReleaseCommandQueue);
  return real == nullptr ? CL_INVALID_COMMAND_QUEUE : real(command_queue);
}

CL_API_ENTRY cl_int CL_API_CALL clReleaseContext(cl_context context) {
  ZR8_OPENCL_FUNCTION(clReleaseContext);
  return real == nullptr ? CL_INVALID_CONTEXT : real(context);
}

}  // extern "C"
