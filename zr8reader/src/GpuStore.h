// Picture stores in OpenCL buffers.
#pragma once

#include <memory>

#include "../include/Zr8Reader.h"
#include "Pools.h"

namespace zr8 {

// A store whose pictures live in host-mappable buffers of info's context, mapped through a queue
// of the store's own on the device of info's queue (which is never waited on). The context is
// retained while the store or any of its pictures lives. A picture reaches the device when its
// buffer is asked for, in at most one transfer; CPU locks before that read the mapping itself.
// Null when the record holds no context or queue, or the queue is not of the context.
std::shared_ptr<PictureStore> MakeOpenCLStore(const Zr8OpenCLContextInfo& info);

}  // namespace zr8
