#include "host/host_platform.h"

#include <fcntl.h>

#include <cstring>

namespace Quorvan {

namespace {

// The Xavier/Orin receiver stores the 12-bit samples four bits up.
constexpr uint8_t kXavierOrinSampleShift = 4;

constexpr const char* kModelPath = "/sys/firmware/devicetree/base/model";
// One line of at most 99 characters plus the terminating NUL.
constexpr size_t kModelBufferSize = 100;

bool contains(const char* text, const char* marker) {
    return std::strstr(text, marker) != nullptr;
}

// Reads like a text-stream getline into a fixed buffer: stops at a newline,
// at end of file, on a read error, or once 99 characters are in. The model
// file is tiny, so reading a byte at a time costs nothing and never consumes
// past the first line.
void readFirstLine(KernelInterface& kernel, int fd, char (&line)[kModelBufferSize]) {
    size_t length = 0;
    while (length + 1 < kModelBufferSize) {
        char byte = 0;
        ssize_t count = kernel.read(fd, &byte, 1);
        if (count != 1 || byte == '\n')
            break;
        line[length++] = byte;
    }
    line[length] = '\0';
}

}  // namespace

int32_t classifyHostModel(const char* model) {
    if (model == nullptr)
        return OTHER;
    if (contains(model, "Jetson")) {
        if (contains(model, "Xavier"))
            return JETSON_XAVIER_ORIN;
        if (contains(model, "TX1") || contains(model, "Nano"))
            return JETSON_TX1_NANO;
        return JETSON_XAVIER_ORIN;
    }
    if (contains(model, " Orin"))
        return JETSON_XAVIER_ORIN;
    if (contains(model, "Raspberry")) {
        return contains(model, "Pi 5") ? RASPBERRY_PI_5 : RASPBERRY_PI;
    }
    if (contains(model, "Radxa ROCK"))
        return RADXA_ROCK;
    return OTHER;
}

int32_t detectHostPlatform(KernelInterface& kernel) {
    int fd = kernel.open(kModelPath, O_RDONLY);
    if (fd < 0)
        return OTHER;
    char line[kModelBufferSize] = {};
    readFirstLine(kernel, fd, line);
    kernel.close(fd);
    // The device-tree text carries its own NUL; strstr stops there by itself.
    return classifyHostModel(line);
}

uint8_t hqvgaSampleShift(int32_t platform) {
    return platform == JETSON_XAVIER_ORIN ? kXavierOrinSampleShift : 0;
}

}  // namespace Quorvan
