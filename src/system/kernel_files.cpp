#include "system/kernel_files.h"

#include <fcntl.h>

#include <cerrno>

#include "system/kernel_descriptor.h"

namespace Quorvan {

namespace {

constexpr size_t kReadChunk = 4096;

}  // namespace

bool readWholeFile(KernelInterface& kernel, const char* path, size_t max_bytes, std::string* text) {
    if (path == nullptr || text == nullptr)
        return false;
    KernelDescriptor file(kernel, kernel.open(path, O_RDONLY));
    if (!file.isOpen())
        return false;
    text->clear();
    char chunk[kReadChunk];
    for (;;) {
        const ssize_t count = kernel.read(file.get(), chunk, sizeof(chunk));
        if (count < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (count == 0)
            return true;
        if (text->size() + static_cast<size_t>(count) > max_bytes)
            return false;
        text->append(chunk, static_cast<size_t>(count));
    }
}

bool writeWholeFile(KernelInterface& kernel, const char* path, const void* bytes, size_t size,
                    mode_t mode) {
    if (path == nullptr || (bytes == nullptr && size > 0))
        return false;
    KernelDescriptor file(kernel, kernel.createFile(path, mode));
    if (!file.isOpen())
        return false;
    const char* next = static_cast<const char*>(bytes);
    size_t left = size;
    while (left > 0) {
        const ssize_t count = kernel.write(file.get(), next, left);
        if (count < 0 && errno == EINTR)
            continue;
        // A write that makes no progress would repeat forever.
        if (count <= 0)
            return false;
        next += count;
        left -= static_cast<size_t>(count);
    }
    return file.reset() == 0;
}

}  // namespace Quorvan
