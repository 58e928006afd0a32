// V4L2 requests can be interrupted or time out transiently (a signal during a
// blocking dequeue, a sensor still powering up); those are worth repeating,
// every other error is final.
#pragma once

#include "system/kernel_interface.h"

namespace Quorvan {

constexpr int kIoctlAttempts = 5;

// Issues `request` up to kIoctlAttempts times in all, repeating only while
// errno is EINTR, EAGAIN or ETIMEDOUT. Returns the last result (0 or -1, with
// errno as the last attempt left it).
int ioctlWithRetry(KernelInterface& kernel, int fd, unsigned long request, void* argument);

}  // namespace Quorvan
