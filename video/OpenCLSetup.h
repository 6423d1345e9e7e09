// The OpenCL device, context and command queue in which the GPU image pool keeps its pictures.
#pragma once

#include "reader/OpenCLContextInfo.h"

// Lists every OpenCL device on the narrow console stream, picks one (the 2nd GPU, else the 1st
// GPU, else the 1st CPU), and creates a context and a command queue on it, all left in *info.
// True when the context and the queue exist; false after one failure message.
bool SetupOpenCL(OpenCLContextInfo* info);

// Waits for the queue, then releases it and the context. A null object is skipped, so that what a
// failed set-up left behind can go back too. Always true.
bool ReleaseOpenCL(void* context, void* queue);
