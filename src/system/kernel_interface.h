// Every call the product makes into the operating system goes through
// KernelInterface: the CSI backend, host detection, the I2C helpers, the
// 640x480 device's calibration mapping and its configuration-file writer,
// and whole-file reads and writes (kernel_files.h) for calibration texts and
// point clouds.
// The Linux implementation forwards each call unchanged; tests substitute a
// simulated board.
//
// Calls keep POSIX conventions: -1 (or MAP_FAILED) on failure with errno set,
// so callers report failures exactly as they would against the real kernel.
// KernelRequest (kernel_request.h) turns an ioctl into a named request that
// returns minus errno.
#pragma once

#include <poll.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <string>
#include <vector>

namespace Quorvan {

class KernelInterface {
public:
    virtual ~KernelInterface() = default;

    virtual int open(const char* path, int flags) = 0;
    // Opens `path` write-only, creating it with `mode` or truncating it.
    virtual int createFile(const char* path, mode_t mode) = 0;
    virtual int close(int fd) = 0;
    virtual int ioctl(int fd, unsigned long request, void* arg) = 0;
    virtual ssize_t read(int fd, void* buffer, size_t size) = 0;
    virtual ssize_t write(int fd, const void* buffer, size_t size) = 0;
    virtual void* mmap(void* address, size_t length, int protection, int flags, int fd,
                       off_t offset) = 0;
    virtual int munmap(void* address, size_t length) = 0;
    virtual int fstat(int fd, struct stat* status) = 0;
    virtual int poll(struct pollfd* descriptors, nfds_t count, int timeout_ms) = 0;
    virtual ssize_t readlink(const char* path, char* buffer, size_t size) = 0;
    // Entry names of a directory in directory order, "." and ".." included
    // when the directory reports them. -1 with errno on failure.
    virtual int listDirectory(const char* path, std::vector<std::string>& entries) = 0;
};

// The process-wide Linux implementation.
KernelInterface& linuxKernel();

}  // namespace Quorvan
