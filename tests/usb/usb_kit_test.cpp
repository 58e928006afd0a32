// The USB backend driving the emulated kit through its real C interface.
#include <gtest/gtest.h>

#include <vector>

#include "device/hqvga_kernels.h"
#include "device/usb_sensor.h"
#include "emulation/kit_test_support.h"
#include "quorvan/camera.h"

namespace Quorvan {
namespace {

using testing_support::compareDepth;
using testing_support::hqvgaGroundTruth;
using testing_support::TempConfigFile;

class UsbOnEmulatedKit {
public:
    explicit UsbOnEmulatedKit(const std::string& config) : file(config), sensor(file.c_str(), 0) {
        opened = sensor.open(camera);
        sensor.subframe_count = 4;
        started = opened == QuorvanSuccess ? sensor.start() : opened;
    }
    ~UsbOnEmulatedKit() {
        sensor.stop();
        sensor.close();
    }
    int frame() { return sensor.getFrame(reinterpret_cast<uint8_t*>(cache.data()), &timestamp); }

    TempConfigFile file;
    QuorvanTOFCamera camera;
    QuorvanTOFUSBSensor sensor;
    int opened = -100;
    int started = -100;
    std::vector<uint16_t> cache = std::vector<uint16_t>(4 * hqvga::kPixels);
    uint64_t timestamp = 0;
};

testing_support::DepthComparison decode(const std::vector<uint16_t>& cache, int range) {
    std::vector<float> depth(hqvga::kPixels), amplitude(hqvga::kPixels), confidence(hqvga::kPixels);
    hqvga::computeDepth(cache.data(), depth.data(), amplitude.data(), confidence.data(), range,
                        range == 2000 ? 75e6f : 37.5e6f, 0);
    static const auto truth = hqvgaGroundTruth();
    return compareDepth(depth.data(), amplitude.data(), truth, range, 3200.0f);
}

TEST(UsbOnEmulatedKit, EverySampleWidthGivesTheSameTwelveBitCache) {
    UsbOnEmulatedKit reference("noise = off\nframe_rate = unpaced\n");
    ASSERT_EQ(reference.started, QuorvanSuccess);
    ASSERT_EQ(reference.frame(), QuorvanSuccess);
    for (int bits : {16, 10, 8}) {
        UsbOnEmulatedKit kit("noise = off\nframe_rate = unpaced\nbits_per_pixel = " +
                             std::to_string(bits));
        ASSERT_EQ(kit.started, QuorvanSuccess);
        EXPECT_EQ(kit.camera.getCameraInfo().bit_width, static_cast<uint32_t>(bits));
        EXPECT_EQ(kit.camera.getCameraInfo().bpp, bits > 8 ? 2u : 1u);
        ASSERT_EQ(kit.frame(), QuorvanSuccess);
        // Narrower kits lose the low bits of the word, wider ones nothing.
        const uint16_t kept = bits >= 12 ? 0xFFF : static_cast<uint16_t>(0xFFF << (12 - bits));
        for (size_t i = 0; i < kit.cache.size(); ++i)
            ASSERT_EQ(kit.cache[i], reference.cache[i] & kept) << bits << " bits, sample " << i;
    }
    EXPECT_LT(decode(reference.cache, 4000).p99_error_mm, 2.0);
}

TEST(UsbOnEmulatedKit, RangeControlSwitchesTheKitsModulation) {
    UsbOnEmulatedKit kit("noise = off\nframe_rate = unpaced\n");
    ASSERT_EQ(kit.frame(), QuorvanSuccess);
    EXPECT_LT(decode(kit.cache, 4000).p99_error_mm, 2.0);
    ASSERT_EQ(kit.sensor.setControl(CameraCtrl::RANGE, 2000), QuorvanSuccess);
    ASSERT_EQ(kit.frame(), QuorvanSuccess);
    EXPECT_LT(decode(kit.cache, 2000).p99_error_mm, 2.0);
}

TEST(UsbOnEmulatedKit, GapsRealignTheFrame) {
    // Gaps before images 7, 14, ...: image 7 restarts the second call's
    // assembly, which then completes from the images that follow.
    UsbOnEmulatedKit kit("noise = off\nframe_rate = unpaced\ngap_every = 7\n");
    for (int call = 0; call < 5; ++call) {
        ASSERT_EQ(kit.frame(), QuorvanSuccess) << call;
        EXPECT_LT(decode(kit.cache, 4000).p99_error_mm, 2.0) << call;
    }
    // Gaps more often than a frame's worth of images: no frame ever completes,
    // and each call gives up instead of spinning.
    UsbOnEmulatedKit broken("noise = off\nframe_rate = unpaced\ngap_every = 2\n");
    for (int call = 0; call < 3; ++call)
        EXPECT_EQ(broken.frame(), QuorvanUnkownError);
}

TEST(UsbOnEmulatedKit, TimeoutsAndShortImagesCostOneFrame) {
    UsbOnEmulatedKit kit(
        "noise = off\nframe_rate = unpaced\ntimeout_every = 6\ntimeout_wait_ms = 5\n"
        "wrong_size_every = 11\n");
    int good = 0;
    int dropped = 0;
    for (int call = 0; call < 12; ++call) {
        if (kit.frame() != QuorvanSuccess) {
            ++dropped;
            continue;
        }
        ++good;
        // A frame the backend accepts is always a whole, aligned frame.
        EXPECT_LT(decode(kit.cache, 4000).p99_error_mm, 2.0) << call;
    }
    EXPECT_GT(dropped, 0);
    EXPECT_GT(good, 0);
}

TEST(UsbOnEmulatedKit, OpenFailuresAreMinusOne) {
    ::testing::internal::CaptureStderr();
    UsbOnEmulatedKit missing_key("no_such_key = 1\n");
    UsbOnEmulatedKit cannot_open("fail_open = on\n");
    UsbOnEmulatedKit cannot_init("fail_init = on\n");
    ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(missing_key.opened, QuorvanUnkownError);
    EXPECT_EQ(cannot_open.opened, QuorvanUnkownError);
    EXPECT_EQ(cannot_init.opened, QuorvanUnkownError);
}

}  // namespace
}  // namespace Quorvan
