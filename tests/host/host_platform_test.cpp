#include "host/host_platform.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "device/hqvga_device.h"
#include "quorvan/backend_factory.h"

namespace Quorvan {
namespace {

// Serves one device-tree model text; every other call fails.
class ModelFileKernel : public KernelInterface {
public:
    explicit ModelFileKernel(std::string text, bool exists = true)
        : text(std::move(text)), exists(exists) {}

    int open(const char* path, int) override {
        opened_path = path;
        if (!exists) {
            errno = ENOENT;
            return -1;
        }
        position = 0;
        ++open_files;
        return 7;
    }
    int close(int fd) override {
        if (fd != 7)
            return -1;
        --open_files;
        return 0;
    }
    ssize_t read(int fd, void* buffer, size_t size) override {
        if (fd != 7)
            return -1;
        const size_t count = std::min(size, text.size() - position);
        std::memcpy(buffer, text.data() + position, count);
        position += count;
        return static_cast<ssize_t>(count);
    }
    int createFile(const char*, mode_t) override { return -1; }
    ssize_t write(int, const void*, size_t) override { return -1; }
    int ioctl(int, unsigned long, void*) override { return -1; }
    void* mmap(void*, size_t, int, int, int, off_t) override { return reinterpret_cast<void*>(-1); }
    int munmap(void*, size_t) override { return -1; }
    int fstat(int, struct stat*) override { return -1; }
    int poll(struct pollfd*, nfds_t, int) override { return -1; }
    ssize_t readlink(const char*, char*, size_t) override { return -1; }
    int listDirectory(const char*, std::vector<std::string>&) override { return -1; }

    std::string text;
    bool exists;
    size_t position = 0;
    int open_files = 0;
    std::string opened_path;
};

int32_t detect(const std::string& model) {
    ModelFileKernel kernel(model);
    const int32_t platform = detectHostPlatform(kernel);
    EXPECT_EQ(kernel.opened_path, "/sys/firmware/devicetree/base/model");
    EXPECT_EQ(kernel.open_files, 0) << "model file left open";
    return platform;
}

// Device-tree strings carry their terminating NUL.
std::string deviceTree(const char* model) {
    return std::string(model) + '\0';
}

TEST(HostPlatform, RealBoardModels) {
    EXPECT_EQ(detect(deviceTree("NVIDIA Jetson Nano Developer Kit")), JETSON_TX1_NANO);
    EXPECT_EQ(detect(deviceTree("NVIDIA Jetson TX1 Developer Kit")), JETSON_TX1_NANO);
    EXPECT_EQ(detect(deviceTree("NVIDIA Jetson Xavier NX Developer Kit")), JETSON_XAVIER_ORIN);
    EXPECT_EQ(detect(deviceTree("NVIDIA Jetson AGX Orin Developer Kit")), JETSON_XAVIER_ORIN);
    EXPECT_EQ(detect(deviceTree("NVIDIA Orin Nano Developer Kit")), JETSON_XAVIER_ORIN);
    EXPECT_EQ(detect(deviceTree("Raspberry Pi 4 Model B Rev 1.4")), RASPBERRY_PI);
    EXPECT_EQ(detect(deviceTree("Raspberry Pi 5 Model B Rev 1.0")), RASPBERRY_PI_5);
    EXPECT_EQ(detect(deviceTree("Raspberry Pi Compute Module 4")), RASPBERRY_PI);
    EXPECT_EQ(detect(deviceTree("Radxa ROCK 5B")), RADXA_ROCK);
    EXPECT_EQ(detect(deviceTree("Pine64 RockPro64")), OTHER);
}

TEST(HostPlatform, MarkerPrecedence) {
    // Xavier wins inside the Jetson rule even next to Nano.
    EXPECT_EQ(detect("Jetson Xavier Nano"), JETSON_XAVIER_ORIN);
    // " Orin" is only consulted when "Jetson" is absent.
    EXPECT_EQ(detect("Jetson Orin Nano"), JETSON_TX1_NANO);
    EXPECT_EQ(detect("Jetson something new"), JETSON_XAVIER_ORIN);
    // Case-sensitive, and the leading space of " Orin" matters.
    EXPECT_EQ(detect("jetson nano"), OTHER);
    EXPECT_EQ(detect("Orin board"), OTHER);
    EXPECT_EQ(detect("radxa rock"), OTHER);
}

TEST(HostPlatform, OnlyTheFirst99CharactersOfTheFirstLineCount) {
    EXPECT_EQ(detect(std::string(98, 'x') + " Orin"), OTHER);
    EXPECT_EQ(detect(std::string(94, 'x') + " Orin"), JETSON_XAVIER_ORIN);  // ends at 99
    EXPECT_EQ(detect("Generic board\nRaspberry Pi 5"), OTHER);
    // Text after the device tree's own NUL is not part of the model.
    EXPECT_EQ(detect(std::string("Generic") + '\0' + "Raspberry Pi"), OTHER);
}

TEST(HostPlatform, MissingOrEmptyModelIsOther) {
    ModelFileKernel missing("Raspberry Pi 5", false);
    EXPECT_EQ(detectHostPlatform(missing), OTHER);
    EXPECT_EQ(detect(""), OTHER);
    EXPECT_EQ(detect(std::string(1, '\0')), OTHER);
}

// The default factory looks the shift up itself; a camera only names the host.
TEST(HostPlatform, TheDefaultFactoryGivesThe240x180DeviceTheHostsSampleShift) {
    const std::shared_ptr<BackendFactory> factory = defaultBackendFactory();
    struct Case {
        int32_t platform;
        uint8_t shift;
    };
    // 1, 4 and 99 are values detection never produces.
    for (const Case& c : {Case{OTHER, 0}, Case{JETSON_TX1_NANO, 0}, Case{JETSON_XAVIER_ORIN, 4},
                          Case{RASPBERRY_PI, 0}, Case{RASPBERRY_PI_5, 0}, Case{RADXA_ROCK, 0},
                          Case{1, 0}, Case{4, 0}, Case{99, 0}}) {
        EXPECT_EQ(hqvgaSampleShift(c.platform), c.shift) << c.platform;
        const std::unique_ptr<QuorvanDevice> device =
            factory->createHQVGADevice(c.platform, 37500000.0f, 4000);
        const auto* hqvga = dynamic_cast<const QuorvanDeviceHQVGA*>(device.get());
        ASSERT_NE(hqvga, nullptr);
        EXPECT_EQ(hqvga->sampleShift(), c.shift) << c.platform;
    }
}

}  // namespace
}  // namespace Quorvan
