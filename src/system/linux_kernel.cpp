#include <dirent.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>

#include "system/kernel_interface.h"

namespace Quorvan {
namespace {

class LinuxKernel final : public KernelInterface {
public:
    int open(const char* path, int flags) override { return ::open(path, flags | O_CLOEXEC); }
    int createFile(const char* path, mode_t mode) override {
        return ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    }
    int close(int fd) override { return ::close(fd); }
    int ioctl(int fd, unsigned long request, void* arg) override {
        return ::ioctl(fd, request, arg);
    }
    ssize_t read(int fd, void* buffer, size_t size) override { return ::read(fd, buffer, size); }
    ssize_t write(int fd, const void* buffer, size_t size) override {
        return ::write(fd, buffer, size);
    }
    void* mmap(void* address, size_t length, int protection, int flags, int fd,
               off_t offset) override {
        return ::mmap(address, length, protection, flags, fd, offset);
    }
    int munmap(void* address, size_t length) override { return ::munmap(address, length); }
    int fstat(int fd, struct stat* status) override { return ::fstat(fd, status); }
    int poll(struct pollfd* descriptors, nfds_t count, int timeout_ms) override {
        return ::poll(descriptors, count, timeout_ms);
    }
    ssize_t readlink(const char* path, char* buffer, size_t size) override {
        return ::readlink(path, buffer, size);
    }
    int listDirectory(const char* path, std::vector<std::string>& entries) override {
        DIR* dir = ::opendir(path);
        if (!dir)
            return -1;
        entries.clear();
        errno = 0;
        while (struct dirent* entry = ::readdir(dir))
            entries.emplace_back(entry->d_name);
        int error = errno;
        ::closedir(dir);
        if (error) {
            errno = error;
            return -1;
        }
        return 0;
    }
};

}  // namespace

KernelInterface& linuxKernel() {
    static LinuxKernel kernel;
    return kernel;
}

}  // namespace Quorvan
