// Named kernel requests: an ioctl code together with the name a failure
// message gives it, issued with or without the transient-error retry, and
// answering minus errno instead of -1. Callers decide whether and how to
// report a failure, since they know what the request was for.
#pragma once

#include "log/log.h"
#include "system/kernel_interface.h"

namespace Quorvan {

struct KernelRequest {
    unsigned long code;
    const char* name;  // the kernel's name for the request, e.g. "VIDIOC_S_FMT"
};

enum class Attempts {
    // Up to five attempts, repeating while errno is EINTR, EAGAIN or
    // ETIMEDOUT (ioctlWithRetry).
    RetryTransient,
    // One attempt: the caller treats every failure as final.
    Single,
};

// Issues `request` on `fd`. Returns the request's own result (0 or more) on
// success, else minus the errno of the last attempt; errno keeps that value
// too. A negative descriptor fails with -EBADF without reaching the kernel.
// Every failure is logged at debug level in the "kernel" category with the
// request's name and the node the descriptor refers to, so that
// QUORVAN_LOG=kernel:debug shows which node refused what, whatever the
// caller then reports; failures a caller expects (the end of an entity
// enumeration, an empty queue) show up there too.
int issueRequest(KernelInterface& kernel, int fd, const KernelRequest& request, Attempts attempts,
                 void* argument);

// One error line in `category`: "<node>: <request name> failed: <error text>".
void reportRequestFailure(logging::Category category, const char* node,
                          const KernelRequest& request, int result);

}  // namespace Quorvan
