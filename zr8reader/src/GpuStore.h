// Picture stores in OpenCL buffers.
#pragma once

#include <memory>

#include "../include/Zr8Reader.h"
#include "Pools.h"

namespace zr8 {

// A store whose pictures live in buffers of info's context, written and mapped through its first
// command queue. The context and queue are retained while the store or any of its pictures lives.
// Null when the record holds no context or queue, or the queue is not of the context.
std::shared_ptr<PictureStore> MakeOpenCLStore(const Zr8OpenCLContextInfo& info);

}  // namespace zr8
