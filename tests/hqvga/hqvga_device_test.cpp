#include "device/hqvga_device.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <memory>
#include <vector>

#include "fakes/fake_sensor.h"
#include "hqvga/hqvga_test_support.h"
#include "support/plane_descriptors.h"

namespace Quorvan {
namespace {

using hqvga::kPixels;
using hqvga::kWidth;
using hqvga_test::uniformCapture;

struct DepthPlanes {
    std::vector<float> depth = std::vector<float>(kPixels, -1.0f);
    std::vector<float> amplitude = std::vector<float>(kPixels, -1.0f);
    std::vector<float> confidence = std::vector<float>(kPixels, -1.0f);
};

DepthPlanes computeUniform(QuorvanDeviceHQVGA& device, const std::array<uint16_t, 4>& phases) {
    const std::vector<uint8_t> cache = uniformCapture(phases);
    DepthPlanes planes;
    EXPECT_TRUE(device.getPhaseImage(cache.data(), planes.depth.data(), planes.amplitude.data(),
                                     planes.confidence.data()));
    return planes;
}

// Every pixel of every plane must carry the one expected value.
void expectUniform(const DepthPlanes& planes, float depth, float amplitude) {
    for (int i = 0; i < kPixels; i += 997) {
        EXPECT_FLOAT_EQ(planes.depth[i], depth) << i;
        EXPECT_FLOAT_EQ(planes.amplitude[i], amplitude) << i;
        EXPECT_FLOAT_EQ(planes.confidence[i], amplitude) << i;
    }
    EXPECT_FLOAT_EQ(planes.depth[kPixels - 1], depth);
    EXPECT_FLOAT_EQ(planes.confidence[kPixels - 1], amplitude);
}

class HQVGADevice : public ::testing::Test {
protected:
    std::shared_ptr<fakes::CallLog> log = std::make_shared<fakes::CallLog>();
    fakes::FakeSensor sensor{"sensor", fakes::FakeSensorConfig{}, log};
    QuorvanDeviceHQVGA device{0, 37500000.0f, 4000, 0};

    void SetUp() override { ASSERT_EQ(device.open(&sensor), QuorvanSuccess); }
};

TEST_F(HQVGADevice, WorkedDepthExamples) {
    expectUniform(computeUniform(device, {100, 200, 300, 50}), 1409.6655f, 2000.0f);
    expectUniform(computeUniform(device, {300, 100, 100, 100}), 3000.0f, 1600.0f);
    expectUniform(computeUniform(device, {700, 700, 700, 700}), 0.0f, 0.0f);

    ASSERT_EQ(device.setControl(CameraCtrl::RANGE, 2000), QuorvanSuccess);
    expectUniform(computeUniform(device, {100, 200, 300, 50}), 204.83275f, 2000.0f);
}

TEST_F(HQVGADevice, RangeSelectsFrequencyAndPairing) {
    ASSERT_EQ(device.setControl(CameraCtrl::RANGE, 2000), QuorvanSuccess);
    EXPECT_EQ(device.rangeSettings().modulation_frequency, 75000000.0f);
    // A range outside the sensor's modes is refused and changes nothing.
    for (const int32_t refused : {3000, -1, 0, 1000000000}) {
        EXPECT_EQ(device.setControl(CameraCtrl::RANGE, refused), QuorvanInvalidParameter)
            << refused;
        int32_t range = 0;
        ASSERT_EQ(device.getControl(CameraCtrl::RANGE, &range), QuorvanSuccess);
        EXPECT_EQ(range, 2000);
        EXPECT_EQ(device.rangeSettings().modulation_frequency, 75000000.0f);
    }
    ASSERT_EQ(device.setControl(CameraCtrl::RANGE, 4000), QuorvanSuccess);
    EXPECT_EQ(device.rangeSettings().modulation_frequency, 37500000.0f);
}

TEST_F(HQVGADevice, KnownRangesAreForwardedToTheSensor) {
    device.setControl(CameraCtrl::RANGE, 2000);
    EXPECT_EQ(device.setControl(CameraCtrl::RANGE, 3000), QuorvanInvalidParameter);
    device.setControl(CameraCtrl::RANGE, 4000);
    EXPECT_EQ(log->entriesStartingWith("sensor.setControl"),
              (std::vector<std::string>{"sensor.setControl(0,2000)", "sensor.setControl(0,4000)"}));
    EXPECT_EQ(sensor.controls[0], 4000);

    // Without a bound sensor the device still answers for itself.
    QuorvanDeviceHQVGA unbound(0, 37500000.0f, 4000, 0);
    EXPECT_EQ(unbound.setControl(CameraCtrl::RANGE, 2000), QuorvanSuccess);
    int32_t value = 0;
    EXPECT_EQ(unbound.getControl(CameraCtrl::EXPOSURE, &value), QuorvanUnkownError);
}

TEST_F(HQVGADevice, OtherControlsAreRefusedOnSetAndAskedOfTheSensorOnGet) {
    log->clear();
    EXPECT_EQ(device.setControl(CameraCtrl::FRAME_RATE, 10), QuorvanInvalidParameter);
    EXPECT_EQ(device.setControl(CameraCtrl::EXPOSURE, 10), QuorvanInvalidParameter);
    EXPECT_TRUE(log->entries().empty());
    int32_t value = 0;
    EXPECT_EQ(device.getControl(CameraCtrl::FRAME_RATE, &value), QuorvanSuccess);
    EXPECT_EQ(value, 30);  // the fake sensor's rate
    EXPECT_EQ(device.getControl(CameraCtrl::CONFIG_DIR_EXT, &value), QuorvanInvalidParameter);
    const char* text = nullptr;
    EXPECT_EQ(device.setControlExt(CameraCtrl::CONFIG_DIR_EXT, "dir"), QuorvanInvalidParameter);
    EXPECT_EQ(device.getControlExt(CameraCtrl::CONFIG_DIR_EXT, &text), QuorvanInvalidParameter);
    EXPECT_EQ(text, nullptr);
}

TEST_F(HQVGADevice, DescribesItsPlanes) {
    EXPECT_EQ(device.getDeviceType(), HQVGA);
    PlaneDescriptor raw{}, depth{};
    device.getFrameFormats(raw, depth);
    EXPECT_TRUE(testing_support::planeIs(raw, 2, 240, 720));
    EXPECT_TRUE(testing_support::planeIs(depth, 2, 240, 180));
    for (auto call : {&QuorvanDevice::close, &QuorvanDevice::configureSensor,
                      &QuorvanDevice::startProcessing, &QuorvanDevice::stop}) {
        EXPECT_EQ((device.*call)(), QuorvanSuccess);
    }
}

TEST_F(HQVGADevice, SampleConversion) {
    std::vector<uint8_t> cache(4 * kPixels * 2, 0);
    const uint16_t samples[] = {0x0064, 0x0400, 0x07FF, 0x0800, 0x0FFF, 0xF064};
    const int16_t expected[] = {1600, -16384, -16, 0, -16, 1600};
    std::memcpy(cache.data(), samples, sizeof(samples));
    std::vector<int16_t> raw(kPixels * 4, 1);
    ASSERT_TRUE(device.getRawImages(cache.data(), raw.data()));
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(raw[i], expected[i]) << std::hex << samples[i];

    // The Xavier/Orin line layout puts the value four bits higher.
    QuorvanDeviceHQVGA shifted(3, 37500000.0f, 4000, 4);
    EXPECT_EQ(shifted.sampleShift(), 4);
    const uint16_t high = 0x0640;
    std::memcpy(cache.data(), &high, 2);
    ASSERT_TRUE(shifted.getRawImages(cache.data(), raw.data()));
    EXPECT_EQ(raw[0], 1600);
    const DepthPlanes planes = computeUniform(shifted, {100 << 4, 200 << 4, 300 << 4, 50 << 4});
    EXPECT_FLOAT_EQ(planes.depth[0], 1409.6655f);
}

TEST_F(HQVGADevice, RawUnpackInterleavesPhasesRowByRow) {
    // Sample (phase p, row k, column j) carries a value naming its origin.
    auto origin = [](int phase, int row, int column) {
        return static_cast<uint16_t>((phase * 180 + row + column) % 1024);
    };
    std::vector<uint8_t> cache(4 * kPixels * 2);
    for (int phase = 0; phase < 4; ++phase) {
        for (int row = 0; row < 180; ++row) {
            for (int column = 0; column < kWidth; ++column) {
                const uint16_t value = origin(phase, row, column);
                std::memcpy(&cache[((phase * 180 + row) * kWidth + column) * 2], &value, 2);
            }
        }
    }
    std::vector<int16_t> raw(kPixels * 4 + 1, INT16_MIN);  // one guard sample
    ASSERT_TRUE(device.getRawImages(cache.data(), raw.data()));
    int mismatches = 0;
    for (int out_row = 0; out_row < 720; ++out_row) {
        for (int column = 0; column < kWidth; ++column) {
            const int expected = origin(out_row % 4, out_row / 4, column) * 16;
            mismatches += raw[out_row * kWidth + column] != expected;
        }
    }
    EXPECT_EQ(mismatches, 0);
    EXPECT_EQ(raw[0], origin(0, 0, 0) * 16);                   // row 0: P0 row 0
    EXPECT_EQ(raw[3 * kWidth], origin(3, 0, 0) * 16);          // row 3: P3 row 0
    EXPECT_EQ(raw[719 * kWidth + 5], origin(3, 179, 5) * 16);  // row 719: P3 row 179
    EXPECT_EQ(raw[kPixels * 4], INT16_MIN);
}

TEST_F(HQVGADevice, NullPlanesAreRefused) {
    std::vector<uint8_t> cache = uniformCapture({1, 2, 3, 4});
    std::vector<float> plane(kPixels);
    EXPECT_FALSE(device.getPhaseImage(nullptr, plane.data(), plane.data(), plane.data()));
    EXPECT_FALSE(device.getPhaseImage(cache.data(), plane.data(), nullptr, plane.data()));
    EXPECT_FALSE(device.getRawImages(cache.data(), nullptr));
}

}  // namespace
}  // namespace Quorvan
