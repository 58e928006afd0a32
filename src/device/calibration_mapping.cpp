#include "device/calibration_mapping.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <cstdint>
#include <limits>

namespace Quorvan {

bool CalibrationMapping::map(const char* path) {
    release();
    const int opened = kernel.open(path, O_RDONLY | O_CLOEXEC);
    if (opened < 0) {
        return false;
    }
    struct stat status {};
    if (kernel.fstat(opened, &status) != 0 || status.st_size <= 0) {
        kernel.close(opened);
        return false;
    }
    descriptor = opened;
    length = static_cast<size_t>(status.st_size);
    void* mapped = kernel.mmap(nullptr, length, PROT_READ, MAP_SHARED, descriptor, 0);
    address = mapped == MAP_FAILED ? nullptr : mapped;
    return true;
}

void CalibrationMapping::release() {
    if (address != nullptr) {
        kernel.munmap(address, length);
        address = nullptr;
    }
    if (descriptor >= 0) {
        kernel.close(descriptor);
        descriptor = -1;
    }
    length = 0;
}

uint32_t CalibrationMapping::size() const {
    // A calibration file beyond 4 GiB is not one; the library then sees a
    // truncated length and rejects or ignores the tail.
    constexpr size_t kLargest = std::numeric_limits<uint32_t>::max();
    return static_cast<uint32_t>(length < kLargest ? length : kLargest);
}

}  // namespace Quorvan
