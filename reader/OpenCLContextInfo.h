// The OpenCL objects that the reader library's GPU image pool works in.
#pragma once

#include <cstddef>
#include <cstdint>

// 88 bytes, every slot pointer-sized. Kept free of OpenCL types so that code which only passes the
// record on needs no OpenCL headers.
struct OpenCLContextInfo {
  void* device = nullptr;
  void* platform = nullptr;
  void* context = nullptr;
  void* commandQueue = nullptr;
  void* commandQueue2 = nullptr;
  void* commandQueue3 = nullptr;
  uint8_t reserved48[40] = {};
};

static_assert(sizeof(OpenCLContextInfo) == 88);
static_assert(offsetof(OpenCLContextInfo, context) == 16);
static_assert(offsetof(OpenCLContextInfo, commandQueue3) == 40);
static_assert(offsetof(OpenCLContextInfo, reserved48) == 48);
