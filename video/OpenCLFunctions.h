// The OpenCL host calls of the set-up, as a table, so that tests can stand in for the platform's
// OpenCL loader (several GPUs, several platforms, failing calls).
#pragma once

#include <CL/cl.h>

#include <ostream>

#include "reader/OpenCLContextInfo.h"

struct OpenCLFunctions {
  cl_int(CL_API_CALL* getPlatformIDs)(cl_uint, cl_platform_id*, cl_uint*);
  cl_int(CL_API_CALL* getDeviceIDs)(cl_platform_id, cl_device_type, cl_uint, cl_device_id*,
                                    cl_uint*);
  cl_int(CL_API_CALL* getDeviceInfo)(cl_device_id, cl_device_info, size_t, void*, size_t*);
  cl_context(CL_API_CALL* createContext)(const cl_context_properties*, cl_uint, const cl_device_id*,
                                         void(CL_CALLBACK*)(const char*, const void*, size_t,
                                                            void*),
                                         void*, cl_int*);
  cl_command_queue(CL_API_CALL* createCommandQueue)(cl_context, cl_device_id,
                                                    cl_command_queue_properties, cl_int*);
  cl_int(CL_API_CALL* finish)(cl_command_queue);
  cl_int(CL_API_CALL* releaseCommandQueue)(cl_command_queue);
  cl_int(CL_API_CALL* releaseContext)(cl_context);
};

// The platform's OpenCL loader.
const OpenCLFunctions& SystemOpenCL();

// SetupOpenCL and ReleaseOpenCL over the given calls, the listing written to out.
bool SetupOpenCLWith(const OpenCLFunctions& cl, std::ostream& out, OpenCLContextInfo* info);
bool ReleaseOpenCLWith(const OpenCLFunctions& cl, void* context, void* queue);
