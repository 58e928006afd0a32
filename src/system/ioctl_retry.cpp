#include "system/ioctl_retry.h"

#include <cerrno>

namespace Quorvan {

namespace {

bool isTransient(int error) {
    return error == EINTR || error == EAGAIN || error == ETIMEDOUT;
}

}  // namespace

int ioctlWithRetry(KernelInterface& kernel, int fd, unsigned long request, void* argument) {
    int result = -1;
    for (int attempt = 0; attempt < kIoctlAttempts; ++attempt) {
        result = kernel.ioctl(fd, request, argument);
        if (result != -1 || !isTransient(errno))
            break;
    }
    return result;
}

}  // namespace Quorvan
