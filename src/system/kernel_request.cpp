#include "system/kernel_request.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "system/ioctl_retry.h"

namespace Quorvan {

int issueRequest(KernelInterface& kernel, int fd, const KernelRequest& request, Attempts attempts,
                 void* argument) {
    if (fd < 0) {
        errno = EBADF;
        return -EBADF;
    }
    const int result = attempts == Attempts::RetryTransient
                           ? ioctlWithRetry(kernel, fd, request.code, argument)
                           : kernel.ioctl(fd, request.code, argument);
    if (result >= 0)
        return result;
    // A kernel-access layer that fails without setting errno still reports
    // a failure.
    const int error = errno != 0 ? errno : EIO;
    errno = error;
    return -error;
}

void reportRequestFailure(const char* context, const KernelRequest& request, int result) {
    std::fprintf(stderr, "%s: %s failed: %s\n", context, request.name, std::strerror(-result));
}

}  // namespace Quorvan
