// Named kernel requests: an ioctl code together with the name a failure
// message gives it, issued with or without the transient-error retry, and
// answering minus errno instead of -1. Callers decide whether and how to
// report a failure, since they know what the request was for.
#pragma once

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
int issueRequest(KernelInterface& kernel, int fd, const KernelRequest& request, Attempts attempts,
                 void* argument);

// One diagnostic line: "<context>: <request name> failed: <error text>".
void reportRequestFailure(const char* context, const KernelRequest& request, int result);

}  // namespace Quorvan
