#include "system/kernel_request.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "system/ioctl_retry.h"

namespace Quorvan {

namespace {

// The path behind a descriptor, as /proc/self/fd shows it; asked through the
// kernel-access layer so that simulated boards answer for their own nodes.
// A layer that cannot answer leaves the descriptor number.
void describeNode(KernelInterface& kernel, int fd, char* text, size_t size) {
    char link[32];
    std::snprintf(link, sizeof(link), "/proc/self/fd/%d", fd);
    const ssize_t length = kernel.readlink(link, text, size - 1);
    if (length > 0) {
        text[length] = '\0';
        return;
    }
    std::snprintf(text, size, "descriptor %d", fd);
}

}  // namespace

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
    if (logging::enabled(logging::Category::Kernel, logging::Level::Debug)) {
        char node[256];
        describeNode(kernel, fd, node, sizeof(node));
        QUORVAN_LOGF(Kernel, Debug, "%s: %s failed: %s", node, request.name, std::strerror(error));
    }
    errno = error;
    return -error;
}

void reportRequestFailure(logging::Category category, const char* node,
                          const KernelRequest& request, int result) {
    if (logging::enabled(category, logging::Level::Error))
        logging::emitFormatted(category, logging::Level::Error, __FILE__, __LINE__,
                               "%s: %s failed: %s", node, request.name, std::strerror(-result));
}

}  // namespace Quorvan
