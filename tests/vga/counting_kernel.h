// The Linux kernel-access layer with counters of open descriptors and live
// mappings, to show that repeated starts and closes leak neither.
#pragma once

#include <sys/mman.h>

#include "system/kernel_interface.h"

namespace Quorvan {
namespace testing_support {

class CountingKernel final : public KernelInterface {
public:
    int open(const char* path, int flags) override {
        const int descriptor = linuxKernel().open(path, flags);
        open_descriptors += descriptor >= 0 ? 1 : 0;
        return descriptor;
    }
    int createFile(const char* path, mode_t mode) override {
        const int descriptor = linuxKernel().createFile(path, mode);
        open_descriptors += descriptor >= 0 ? 1 : 0;
        return descriptor;
    }
    int close(int fd) override {
        const int result = linuxKernel().close(fd);
        open_descriptors -= result == 0 ? 1 : 0;
        return result;
    }
    int ioctl(int fd, unsigned long request, void* arg) override {
        return linuxKernel().ioctl(fd, request, arg);
    }
    ssize_t read(int fd, void* buffer, size_t size) override {
        return linuxKernel().read(fd, buffer, size);
    }
    ssize_t write(int fd, const void* buffer, size_t size) override {
        return linuxKernel().write(fd, buffer, size);
    }
    void* mmap(void* address, size_t length, int protection, int flags, int fd,
               off_t offset) override {
        void* mapped = linuxKernel().mmap(address, length, protection, flags, fd, offset);
        live_mappings += mapped != MAP_FAILED ? 1 : 0;
        return mapped;
    }
    int poll(struct pollfd* descriptors, nfds_t count, int timeout_ms) override {
        return linuxKernel().poll(descriptors, count, timeout_ms);
    }
    int munmap(void* address, size_t length) override {
        const int result = linuxKernel().munmap(address, length);
        live_mappings -= result == 0 ? 1 : 0;
        return result;
    }
    int fstat(int fd, struct stat* status) override { return linuxKernel().fstat(fd, status); }
    ssize_t readlink(const char* path, char* buffer, size_t size) override {
        return linuxKernel().readlink(path, buffer, size);
    }
    int listDirectory(const char* path, std::vector<std::string>& entries) override {
        return linuxKernel().listDirectory(path, entries);
    }

    int open_descriptors = 0;
    int live_mappings = 0;
};

}  // namespace testing_support
}  // namespace Quorvan
