// Owning wrappers for what the kernel hands out: a descriptor, closed when
// its owner goes, and a memory mapping, unmapped when its owner goes. Both
// release through the kernel-access layer that produced them.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "system/kernel_interface.h"

namespace Quorvan {

class KernelDescriptor {
public:
    KernelDescriptor() = default;
    KernelDescriptor(KernelInterface& kernel, int fd) : kernel(&kernel), fd(fd) {}
    ~KernelDescriptor() { reset(); }
    KernelDescriptor(KernelDescriptor&& other) noexcept
        : kernel(other.kernel), fd(std::exchange(other.fd, -1)) {}
    KernelDescriptor& operator=(KernelDescriptor&& other) noexcept {
        if (this != &other) {
            reset();
            kernel = other.kernel;
            fd = std::exchange(other.fd, -1);
        }
        return *this;
    }
    KernelDescriptor(const KernelDescriptor&) = delete;
    KernelDescriptor& operator=(const KernelDescriptor&) = delete;

    int get() const { return fd; }
    bool isOpen() const { return fd >= 0; }
    // Closes the descriptor (if any). 0, or minus errno from close; the
    // descriptor is gone either way, as close(2) leaves it.
    int reset() {
        if (fd < 0)
            return 0;
        const int result = kernel->close(std::exchange(fd, -1));
        return result == 0 ? 0 : -errno;
    }

private:
    KernelInterface* kernel = nullptr;
    int fd = -1;
};

class MemoryMapping {
public:
    MemoryMapping() = default;
    MemoryMapping(KernelInterface& kernel, void* address, size_t length)
        : kernel(&kernel), address(static_cast<uint8_t*>(address)), size(length) {}
    ~MemoryMapping() { release(); }
    MemoryMapping(MemoryMapping&& other) noexcept
        : kernel(other.kernel),
          address(std::exchange(other.address, nullptr)),
          size(std::exchange(other.size, 0)) {}
    MemoryMapping& operator=(MemoryMapping&& other) noexcept {
        if (this != &other) {
            release();
            kernel = other.kernel;
            address = std::exchange(other.address, nullptr);
            size = std::exchange(other.size, 0);
        }
        return *this;
    }
    MemoryMapping(const MemoryMapping&) = delete;
    MemoryMapping& operator=(const MemoryMapping&) = delete;

    const uint8_t* data() const { return address; }
    size_t length() const { return size; }
    bool isMapped() const { return address != nullptr; }
    // Unmaps with the length that was mapped. 0, or minus errno from munmap;
    // the mapping is forgotten either way.
    int release() {
        if (address == nullptr)
            return 0;
        const int result = kernel->munmap(std::exchange(address, nullptr), std::exchange(size, 0));
        return result == 0 ? 0 : -errno;
    }

private:
    KernelInterface* kernel = nullptr;
    uint8_t* address = nullptr;
    size_t size = 0;
};

}  // namespace Quorvan
