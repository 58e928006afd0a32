// The library log: thresholds in the QUORVAN_LOG syntax, the replaceable
// sink, and what real failures of the CSI path and the I2C helpers say.
#include "log/log.h"

#include <gtest/gtest.h>
#include <linux/i2c-dev.h>
#include <linux/videodev2.h>

#include <atomic>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "csi/csi_rig.h"
#include "csi/i2c_bus.h"
#include "host/host_platform.h"
#include "log/recorded_log.h"

namespace Quorvan {
namespace {

using logging::Level;
using testing_support::RecordedLog;

// Every test starts and ends at the defaults.
class Log : public ::testing::Test {
protected:
    void SetUp() override { logging::setLevels("*:info"); }
    void TearDown() override { logging::setLevels("*:info"); }
};

TEST_F(Log, NamedCategoriesOverrideTheWildcardWhereverTheyStand) {
    EXPECT_TRUE(logging::setLevels("csi:debug,*:warn"));
    EXPECT_EQ(logging::threshold("csi"), Level::Debug);
    EXPECT_EQ(logging::threshold("camera"), Level::Warn);
    EXPECT_EQ(logging::threshold("i2c"), Level::Warn);

    EXPECT_TRUE(logging::setLevels("*:error,CSI:Info"));
    EXPECT_EQ(logging::threshold("csi"), Level::Info);
    EXPECT_EQ(logging::threshold("kernel"), Level::Error);

    // Later entries for the same name win; blanks around entries are fine.
    EXPECT_TRUE(logging::setLevels(" i2c:debug , i2c:warning ,"));
    EXPECT_EQ(logging::threshold("i2c"), Level::Warn);
}

TEST_F(Log, MalformedEntriesAreReportedAndTheRestStillApplies) {
    EXPECT_FALSE(logging::setLevels("csi:loud,camera:error,nosuch:debug,usb"));
    EXPECT_EQ(logging::threshold("csi"), Level::Info);
    EXPECT_EQ(logging::threshold("camera"), Level::Error);
    EXPECT_FALSE(logging::setLevels(nullptr));
    EXPECT_EQ(logging::threshold("nosuch"), Level::None);
    EXPECT_STREQ(logging::levelName(Level::Warn), "warn");
}

TEST_F(Log, OnlyLevelsAtOrAboveTheThresholdReachTheSink) {
    RecordedLog log;
    logging::setLevels("camera:warn");
    QUORVAN_LOGF(Camera, Info, "dropped %d", 1);
    QUORVAN_LOGF(Camera, Warn, "kept %d", 2);
    QUORVAN_LOG(Camera, Error) << "kept " << 3;
    QUORVAN_LOG(Camera, Debug) << "dropped " << 4;
    QUORVAN_LOGF(Csi, Info, "kept %s", "5");
    EXPECT_EQ(log.text(), "kept 2\nkept 3\nkept 5\n");
    const std::vector<RecordedLog::Entry> entries = log.entries();
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0].category, "camera");
    EXPECT_EQ(entries[0].level, Level::Warn);
    EXPECT_EQ(entries[2].category, "csi");
}

TEST_F(Log, DisabledMessagesAreNotEvenFormatted) {
    logging::setLevels("*:none");
    int evaluated = 0;
    auto count = [&] { return ++evaluated; };
    QUORVAN_LOG(Csi, Error) << count();
    QUORVAN_LOGF(Csi, Error, "%d", count());
    EXPECT_EQ(evaluated, 0);
}

TEST_F(Log, TheDefaultSinkWritesOneLinePerMessageAndNoneIsSilent) {
    ::testing::internal::CaptureStderr();
    QUORVAN_LOGF(I2c, Error, "Error: I2C bus out of range!");
    const std::string long_text(2000, 'x');
    QUORVAN_LOG(Device, Warn) << long_text;
    logging::setLevels("*:none");
    QUORVAN_LOGF(I2c, Error, "not shown");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "Error: I2C bus out of range!\n" + long_text + "\n");
}

TEST_F(Log, ASinkThatThrowsOrLogsItselfLosesNothingAndDoesNotRecurse) {
    logging::setSink([](const logging::Record& record) {
        if (std::string(record.message) == "throw")
            throw std::runtime_error("sink failed");
        QUORVAN_LOGF(Camera, Error, "inner: %s", record.message);
    });
    ::testing::internal::CaptureStderr();
    QUORVAN_LOGF(Camera, Error, "throw");
    QUORVAN_LOGF(Camera, Error, "outer");
    logging::setSink({});
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "throw\ninner: outer\n");
}

// The sink is replaced while eight threads log: every record reaches exactly
// one of the two sinks, and nothing is torn or lost.
TEST_F(Log, SinksSwapSafelyWhileThreadsLog) {
    std::atomic<int> counts[2] = {0, 0};
    auto countInto = [&](int which) {
        logging::setSink([&counts, which](const logging::Record&) { counts[which].fetch_add(1); });
    };
    constexpr int kThreads = 8;
    constexpr int kRecordsEach = 2000;
    countInto(0);
    ::testing::internal::CaptureStderr();
    std::atomic<bool> logging_done{false};
    std::thread swapper([&] {
        for (int turn = 1; !logging_done.load(); ++turn)
            countInto(turn % 2);
    });
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([] {
            for (int i = 0; i < kRecordsEach; ++i)
                QUORVAN_LOGF(Camera, Info, "record %d", i);
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    logging_done.store(true);
    swapper.join();
    logging::setSink({});
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(counts[0].load() + counts[1].load(), kThreads * kRecordsEach);
}

TEST_F(Log, AFailingCapabilityQueryNamesTheRequestAndTheNode) {
    RecordedLog log;
    logging::setLevels("kernel:debug");
    CsiRig rig(RASPBERRY_PI);
    rig.board.kernel().injectFault(
        {simulation::KernelCall::Ioctl, VIDIOC_QUERYCAP, "", EIO, 0, simulation::kAlways});
    EXPECT_EQ(rig.open(), -2);
    const std::vector<RecordedLog::Entry> entries = log.entries();
    ASSERT_EQ(entries.size(), 2u) << log.text();
    EXPECT_EQ(entries[0].category, "kernel");
    EXPECT_EQ(entries[0].level, Level::Debug);
    EXPECT_EQ(entries[0].message, std::string(simulation::SimulatedBoard::kVideoNode) +
                                      ": VIDIOC_QUERYCAP failed: Input/output error");
    // The message users already know stays as it was.
    EXPECT_EQ(entries[1].category, "csi");
    EXPECT_EQ(entries[1].level, Level::Error);
    EXPECT_EQ(entries[1].message, "VIDIOC_QUERYCAP: error - " + std::to_string(EIO));
}

TEST_F(Log, SilencedFailuresStillReturnTheirStatus) {
    logging::setLevels("*:none");
    ::testing::internal::CaptureStderr();
    CsiRig rig(RASPBERRY_PI);
    rig.board.kernel().injectFault(
        {simulation::KernelCall::Ioctl, VIDIOC_QUERYCAP, "", EIO, 0, simulation::kAlways});
    EXPECT_EQ(rig.open(), -2);
    EXPECT_EQ(lookupI2cBus(rig.board.kernel(), "no such adapter"), -1);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

TEST_F(Log, I2cHelpersGoThroughTheKernelLayerAndNameTheirRequest) {
    RecordedLog log;
    logging::setLevels("kernel:debug");
    CsiRig rig(RASPBERRY_PI);
    simulation::SimulatedKernel& kernel = rig.board.kernel();
    char path[20];
    const int fd = i2c_open_i2c_dev(kernel, 10, path, sizeof(path), 0);
    ASSERT_GE(fd, 0) << log.text();
    kernel.injectFault({simulation::KernelCall::Ioctl, I2C_FUNCS, "", EIO, 0, simulation::kAlways});
    unsigned long functionality = 0;
    EXPECT_EQ(i2c_get_functionality(kernel, fd, &functionality), -EIO);
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(log.text(), std::string(path) + ": I2C_FUNCS failed: Input/output error\n" +
                              "Error: Could not get adapter functionality: Input/output error\n");
    kernel.close(fd);
}

}  // namespace
}  // namespace Quorvan
