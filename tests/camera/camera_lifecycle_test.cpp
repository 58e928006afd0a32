#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "fakes/fake_backends.h"
#include "quorvan/camera.h"

namespace Quorvan {
namespace {

using fakes::FakeBackendFactory;

using Calls = std::vector<std::string>;

class CameraLifecycle : public ::testing::Test {
protected:
    std::shared_ptr<FakeBackendFactory> factory = std::make_shared<FakeBackendFactory>();

    // Lifecycle calls only: factory, sensor and device entries minus controls.
    Calls lifecycleCalls() const {
        Calls calls;
        for (const std::string& call : factory->log->entries()) {
            if (call.find("Control") == std::string::npos)
                calls.push_back(call);
        }
        return calls;
    }
};

TEST_F(CameraLifecycle, StartUpAndShutdownOrder) {
    factory->platform = 3;
    {
        QuorvanTOFCamera camera(factory);
        ASSERT_EQ(camera.open(Connection::USB, 0), QuorvanSuccess);
        ASSERT_EQ(camera.start(FrameType::DEPTH), QuorvanSuccess);
        ASSERT_EQ(camera.stop(), QuorvanSuccess);
        ASSERT_EQ(camera.close(), QuorvanSuccess);
    }
    const Calls expected = {
        "factory.detectPlatform",
        "factory.createUSBSensor(,0)",
        "sensor1.open",
        "factory.createHQVGADevice(3,37500000.0,4000)",
        "device1.open",
        "device1.setControl(0,4000)",
        "device1.configureSensor",
        "sensor1.start",
        "device1.startProcessing",
        "sensor1.getFormat",
        "device1.getFrameFormats",
        "device1.stop",
        "sensor1.stop",
        "device1.close",
        "sensor1.close",
        "device1.destroy",
        "sensor1.destroy",
    };
    EXPECT_EQ(factory->log->entries(), expected);
}

TEST_F(CameraLifecycle, DestroyingAStreamingCameraStopsItFirst) {
    fakes::FakeSensor* sensor = nullptr;
    {
        QuorvanTOFCamera camera(factory);
        ASSERT_EQ(camera.open(Connection::USB, 0), QuorvanSuccess);
        ASSERT_EQ(camera.start(FrameType::RAW), QuorvanSuccess);
        sensor = factory->lastSensor();
        ASSERT_TRUE(fakes::waitUntil([&] { return sensor->frames_captured > 2; }));
        factory->log->clear();
    }
    const Calls expected = {"device1.stop", "sensor1.stop", "device1.destroy", "sensor1.destroy"};
    EXPECT_EQ(lifecycleCalls(), expected);
}

TEST_F(CameraLifecycle, CloseWhileStreamingStopsOnceAndCloseAfterStopDoesNotStopAgain) {
    QuorvanTOFCamera camera(factory);
    ASSERT_EQ(camera.open(Connection::USB, 0), QuorvanSuccess);
    ASSERT_EQ(camera.start(FrameType::DEPTH), QuorvanSuccess);
    factory->log->clear();
    EXPECT_EQ(camera.close(), QuorvanSuccess);
    EXPECT_EQ(lifecycleCalls(),
              (Calls{"device1.stop", "sensor1.stop", "device1.close", "sensor1.close"}));

    ASSERT_EQ(camera.start(FrameType::DEPTH), QuorvanSuccess);
    ASSERT_EQ(camera.stop(), QuorvanSuccess);
    factory->log->clear();
    EXPECT_EQ(camera.close(), QuorvanSuccess);
    EXPECT_EQ(lifecycleCalls(), (Calls{"device1.close", "sensor1.close"}));
}

TEST_F(CameraLifecycle, StopReturnsTheSensorsResultWhateverTheDeviceSays) {
    factory->device_config.stop_result = QuorvanUnkownError;
    factory->sensor_config.stop_result = QuorvanSystemError;
    QuorvanTOFCamera camera(factory);
    ASSERT_EQ(camera.open(Connection::USB, 0), QuorvanSuccess);
    ASSERT_EQ(camera.start(FrameType::DEPTH), QuorvanSuccess);
    EXPECT_EQ(camera.stop(), QuorvanSystemError);
    factory->log->clear();
    // Not streaming any more: nothing to stop, nothing touched.
    EXPECT_EQ(camera.stop(), QuorvanUnkownError);
    EXPECT_TRUE(factory->log->entries().empty());
}

TEST_F(CameraLifecycle, CallsBeforeASuccessfulOpenAreRefused) {
    QuorvanTOFCamera camera(factory);
    int32_t value = 5;
    EXPECT_EQ(camera.start(FrameType::DEPTH), QuorvanUnkownError);
    EXPECT_EQ(camera.stop(), QuorvanUnkownError);
    EXPECT_EQ(camera.close(), QuorvanUnkownError);
    EXPECT_EQ(camera.setOutputType(FrameType::RAW), QuorvanUnkownError);
    EXPECT_EQ(camera.setControl(CameraCtrl::RANGE, 2000), QuorvanUnkownError);
    EXPECT_EQ(camera.setControl(CameraCtrl::FRAME_RATE, 10), QuorvanUnkownError);
    EXPECT_EQ(camera.getControl(CameraCtrl::RANGE, &value), QuorvanUnkownError);
    EXPECT_EQ(camera.setControlExt(CameraCtrl::CONFIG_DIR_EXT, "/tmp"), QuorvanUnkownError);
    EXPECT_EQ(camera.requestFrame(0), nullptr);
    EXPECT_EQ(camera.releaseFrame(nullptr), QuorvanUnkownError);
    EXPECT_EQ(camera.openPostHandle(), QuorvanUnkownError);
    EXPECT_FALSE(CameraTestAccess::isFrameHeld(camera, nullptr));
    EXPECT_EQ(CameraTestAccess::poolGeneration(camera), 0u);
    EXPECT_EQ(value, 5);
    // Camera-held controls work without a device.
    EXPECT_EQ(camera.setControl(CameraCtrl::SKIP_FRAME_LOOP, 4), QuorvanSuccess);
    EXPECT_EQ(camera.getControl(CameraCtrl::AUTO_FRAME_RATE, &value), QuorvanSuccess);
    EXPECT_EQ(value, 1);
}

TEST_F(CameraLifecycle, OpenArgumentsReachTheFactory) {
    QuorvanTOFCamera camera(factory);
    ASSERT_EQ(camera.open(Connection::CSI, 3), QuorvanSuccess);
    EXPECT_TRUE(factory->log->contains("factory.createCSISensor(/dev/video3,0)"));
    ASSERT_EQ(camera.open(Connection::USB, 2), QuorvanSuccess);
    EXPECT_TRUE(factory->log->contains("factory.createUSBSensor(,2)"));
    CameraInfo info = camera.getCameraInfo();
    EXPECT_EQ(info.index, 2u);
    EXPECT_EQ(info.connect, Connection::USB);

    ASSERT_EQ(camera.open(Connection::CSI, 1), QuorvanSuccess);
    ASSERT_EQ(camera.openWithFile("/etc/kit.cfg", 4), QuorvanSuccess);
    EXPECT_TRUE(factory->log->contains("factory.createUSBSensor(/etc/kit.cfg,4)"));
    info = camera.getCameraInfo();
    EXPECT_EQ(info.connect, Connection::USB);
    EXPECT_EQ(info.index, 4u);
    EXPECT_EQ(info.width, 240u);
    EXPECT_EQ(info.bit_width, 12u);
    EXPECT_EQ(info.bpp, 2u);

    factory->log->clear();
    EXPECT_EQ(camera.openWithFile(nullptr, 9), QuorvanUnkownError);
    EXPECT_EQ(camera.getCameraInfo().index, 4u);
    EXPECT_EQ(camera.open(static_cast<Connection>(7), 8), QuorvanUnkownError);
    EXPECT_EQ(camera.getCameraInfo().index, 8u);  // stored before the check
    EXPECT_TRUE(factory->log->entries().empty());
}

TEST_F(CameraLifecycle, SensorSizeChoosesTheDevice) {
    struct Case {
        uint32_t width, height;
        DeviceType type;
        int32_t subframes;
    };
    for (const Case& c : {Case{240, 180, HQVGA, 4}, Case{180, 240, VGA, 1}, Case{640, 480, VGA, 1},
                          Case{0, 0, VGA, 1}}) {
        auto own_factory = std::make_shared<FakeBackendFactory>();
        own_factory->sensor_config.width = c.width;
        own_factory->sensor_config.height = c.height;
        QuorvanTOFCamera camera(own_factory);
        ASSERT_EQ(camera.open(Connection::USB, 0), QuorvanSuccess);
        EXPECT_EQ(camera.getCameraInfo().device_type, c.type) << c.width << "x" << c.height;
        EXPECT_EQ(own_factory->lastDevice()->getDeviceType(), c.type);
        EXPECT_EQ(own_factory->lastSensor()->subframe_count, c.subframes);
        EXPECT_EQ(own_factory->lastDevice()->boundSensor(), own_factory->lastSensor());
        if (c.type == VGA) {
            EXPECT_TRUE(own_factory->log->contains("factory.createVGADevice(0,640,480)"));
        }
    }
}

TEST_F(CameraLifecycle, ReopeningReplacesSensorAndDeviceDeviceFirst) {
    QuorvanTOFCamera camera(factory);
    ASSERT_EQ(camera.open(Connection::USB, 0), QuorvanSuccess);
    factory->log->clear();
    ASSERT_EQ(camera.open(Connection::USB, 1), QuorvanSuccess);
    EXPECT_EQ(
        lifecycleCalls(),
        (Calls{"factory.createUSBSensor(,1)", "device1.destroy", "sensor1.destroy", "sensor2.open",
               "factory.createHQVGADevice(0,37500000.0,4000)", "device2.open"}));
    EXPECT_EQ(factory->lastDevice()->boundSensor(), factory->lastSensor());
}

TEST_F(CameraLifecycle, AFailedSensorOpenLeavesNoDeviceBoundToTheOldSensor) {
    QuorvanTOFCamera camera(factory);
    ASSERT_EQ(camera.open(Connection::USB, 0), QuorvanSuccess);
    factory->sensor_config.open_result = QuorvanSystemError;
    EXPECT_EQ(camera.open(Connection::CSI, 0), QuorvanSystemError);
    EXPECT_TRUE(factory->log->contains("device1.destroy"));
    EXPECT_TRUE(factory->log->contains("sensor1.destroy"));
    factory->log->clear();
    // Nothing may reach the destroyed sensor through the old device.
    int32_t value = 0;
    EXPECT_EQ(camera.start(FrameType::DEPTH), QuorvanUnkownError);
    EXPECT_EQ(camera.getControl(CameraCtrl::EXPOSURE, &value), QuorvanUnkownError);
    EXPECT_EQ(camera.close(), QuorvanUnkownError);
    EXPECT_TRUE(factory->log->entries().empty());

    factory->sensor_config.open_result = QuorvanSuccess;
    EXPECT_EQ(camera.open(Connection::CSI, 0), QuorvanSuccess);
    EXPECT_EQ(camera.start(FrameType::DEPTH), QuorvanSuccess);
    EXPECT_EQ(camera.stop(), QuorvanSuccess);
}

TEST_F(CameraLifecycle, MissingBackendsFailCleanly) {
    factory->provide_sensors = false;
    QuorvanTOFCamera camera(factory);
    EXPECT_EQ(camera.open(Connection::CSI, 0), QuorvanSystemError);
    EXPECT_EQ(camera.start(FrameType::DEPTH), QuorvanUnkownError);

    factory->provide_sensors = true;
    factory->provide_devices = false;
    EXPECT_EQ(camera.open(Connection::USB, 0), QuorvanUnkownError);
    EXPECT_EQ(camera.start(FrameType::DEPTH), QuorvanUnkownError);
    EXPECT_EQ(factory->lastSensor()->subframe_count, 1);

    factory->provide_devices = true;
    EXPECT_EQ(camera.openPostHandle(), QuorvanSuccess);
    EXPECT_EQ(camera.start(FrameType::DEPTH), QuorvanSuccess);
    EXPECT_EQ(camera.stop(), QuorvanSuccess);
}

TEST_F(CameraLifecycle, FailedDeviceOpenIsReturnedAndTheDeviceStaysInstalled) {
    factory->device_config.open_result = QuorvanInvalidParameter;
    QuorvanTOFCamera camera(factory);
    EXPECT_EQ(camera.open(Connection::USB, 0), QuorvanInvalidParameter);
    EXPECT_EQ(camera.getCameraInfo().device_type, HQVGA);
    EXPECT_EQ(camera.close(), QuorvanSuccess);
}

TEST_F(CameraLifecycle, StartStepFailuresAreReturnedWithoutAThread) {
    for (auto set : {+[](FakeBackendFactory& f) { f.device_config.configure_result = -1; },
                     +[](FakeBackendFactory& f) { f.sensor_config.start_result = -2; },
                     +[](FakeBackendFactory& f) { f.device_config.start_processing_result = 4; }}) {
        auto own_factory = std::make_shared<FakeBackendFactory>();
        set(*own_factory);
        QuorvanTOFCamera camera(own_factory);
        ASSERT_EQ(camera.open(Connection::USB, 0), QuorvanSuccess);
        const TofErrorCode result = camera.start(FrameType::DEPTH);
        EXPECT_NE(result, QuorvanSuccess);
        EXPECT_EQ(camera.stop(), QuorvanUnkownError);  // no thread was started
        EXPECT_EQ(CameraTestAccess::poolGeneration(camera), 0u);
    }
}

TEST_F(CameraLifecycle, AFailedStartStopsWhatItStarted) {
    // Refused output types, a sensor that refuses to start and a device that
    // cannot process: each leaves the sensor (and device) stopped again, so the
    // next start can succeed without a close and open.
    struct Case {
        const char* name;
        FrameType type;
        void (*set)(FakeBackendFactory&);
        Calls undo;
    };
    const Case cases[] = {
        {"confidence", FrameType::CONFIDENCE, nullptr, {"device1.stop", "sensor1.stop"}},
        {"cache", FrameType::CACHE, nullptr, {"device1.stop", "sensor1.stop"}},
        {"sensor start",
         FrameType::DEPTH,
         +[](FakeBackendFactory& f) { f.sensor_config.start_result = -2; },
         {"sensor1.stop"}},
        {"processing",
         FrameType::DEPTH,
         +[](FakeBackendFactory& f) { f.device_config.start_processing_result = 4; },
         {"device1.stop", "sensor1.stop"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto own_factory = std::make_shared<FakeBackendFactory>();
        if (c.set)
            c.set(*own_factory);
        QuorvanTOFCamera camera(own_factory);
        ASSERT_EQ(camera.open(Connection::USB, 0), QuorvanSuccess);
        own_factory->log->clear();
        EXPECT_NE(camera.start(c.type), QuorvanSuccess);
        Calls stops;
        for (const std::string& call : own_factory->log->entries()) {
            if (call.find(".stop") != std::string::npos)
                stops.push_back(call);
        }
        EXPECT_EQ(stops, c.undo);
        own_factory->sensor_config.start_result = 0;
        own_factory->device_config.start_processing_result = 0;
    }
}

TEST_F(CameraLifecycle, OutputTypeSizesForThe240x180Sensor) {
    QuorvanTOFCamera camera(factory);
    ASSERT_EQ(camera.open(Connection::USB, 0), QuorvanSuccess);
    ASSERT_EQ(camera.start(FrameType::RAW), QuorvanSuccess);
    ASSERT_TRUE(fakes::waitUntil([&] { return factory->lastSensor()->frames_captured >= 2; }));
    ASSERT_EQ(camera.stop(), QuorvanSuccess);

    const CacheData* cache = CameraTestAccess::cache(camera);
    ASSERT_NE(cache, nullptr);
    FrameDataFormat format{};
    ASSERT_EQ(const_cast<CacheData*>(cache)->getFormat(FrameType::CACHE, format), QuorvanSuccess);
    EXPECT_EQ(format.width, 240u);
    EXPECT_EQ(format.height, 1440u);
    EXPECT_EQ(format.timestamp, 0u);
    EXPECT_EQ(cache->size(), 345600u);

    QuorvanFrameBuffer* raw = camera.requestFrame(1000);
    ASSERT_NE(raw, nullptr);
    ASSERT_EQ(raw->getFormat(FrameType::RAW, format), QuorvanSuccess);
    EXPECT_EQ(format.width, 240u);
    EXPECT_EQ(format.height, 720u);
    EXPECT_EQ(camera.releaseFrame(raw), QuorvanSuccess);

    ASSERT_EQ(camera.setOutputType(FrameType::DEPTH), QuorvanSuccess);
    EXPECT_EQ(camera.getCameraInfo().type, FrameType::DEPTH);
    EXPECT_EQ(CameraTestAccess::census(camera).total, 3);
    const uint64_t generation = CameraTestAccess::poolGeneration(camera);
    const CacheData* depth_cache = CameraTestAccess::cache(camera);

    // CONFIDENCE is refused, yet recorded; the depth pool stays.
    EXPECT_EQ(camera.setOutputType(FrameType::CONFIDENCE), QuorvanUnkownError);
    EXPECT_EQ(camera.getCameraInfo().type, FrameType::CONFIDENCE);
    EXPECT_EQ(CameraTestAccess::poolGeneration(camera), generation);
    EXPECT_EQ(CameraTestAccess::cache(camera), depth_cache);
    EXPECT_EQ(camera.start(FrameType::CACHE), QuorvanUnkownError);
    EXPECT_EQ(camera.getCameraInfo().type, FrameType::CACHE);
    EXPECT_EQ(camera.stop(), QuorvanUnkownError);
}

TEST_F(CameraLifecycle, StartWhileStreamingIsRefusedAndTheThreadKeepsRunning) {
    QuorvanTOFCamera camera(factory);
    ASSERT_EQ(camera.open(Connection::USB, 0), QuorvanSuccess);
    ASSERT_EQ(camera.start(FrameType::DEPTH), QuorvanSuccess);
    const uint64_t generation = CameraTestAccess::poolGeneration(camera);
    EXPECT_EQ(camera.start(FrameType::DEPTH), QuorvanUnkownError);
    EXPECT_EQ(camera.setOutputType(FrameType::RAW), QuorvanUnkownError);
    EXPECT_EQ(camera.open(Connection::USB, 1), QuorvanUnkownError);
    EXPECT_EQ(camera.openWithFile("x.cfg", 1), QuorvanUnkownError);
    EXPECT_EQ(camera.openPostHandle(), QuorvanUnkownError);
    EXPECT_EQ(factory->sensors.size(), 1u);
    EXPECT_EQ(CameraTestAccess::poolGeneration(camera), generation);
    fakes::FakeSensor* sensor = factory->lastSensor();
    const uint64_t before = sensor->frames_captured;
    EXPECT_TRUE(fakes::waitUntil([&] { return sensor->frames_captured > before + 2; }));
    EXPECT_EQ(camera.stop(), QuorvanSuccess);
    EXPECT_FALSE(sensor->frame_called_while_stopped);
}

TEST_F(CameraLifecycle, SensorFormatIsRefreshedAtStart) {
    QuorvanTOFCamera camera(factory);
    ASSERT_EQ(camera.open(Connection::USB, 0), QuorvanSuccess);
    factory->lastSensor()->format.bit_width = 10;
    factory->lastSensor()->format.index = 99;  // ignored: only the four format fields
    ASSERT_EQ(camera.start(FrameType::DEPTH), QuorvanSuccess);
    ASSERT_EQ(camera.stop(), QuorvanSuccess);
    EXPECT_EQ(camera.getCameraInfo().bit_width, 10u);
    EXPECT_EQ(camera.getCameraInfo().index, 0u);
}

TEST_F(CameraLifecycle, ADeviceThatReadsMoreThanTheCacheHoldsIsRefused) {
    factory->device_config.raw = {2, 240, 721};
    QuorvanTOFCamera camera(factory);
    ASSERT_EQ(camera.open(Connection::USB, 0), QuorvanSuccess);
    EXPECT_EQ(camera.start(FrameType::DEPTH), QuorvanUnkownError);
    EXPECT_EQ(CameraTestAccess::poolGeneration(camera), 0u);
}

}  // namespace
}  // namespace Quorvan
