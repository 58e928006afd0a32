// Listing the CSI cameras of a host: each capture node behind which the
// host's discovery finds a sensor, under its node number and with its size;
// nodes without a sensor, and hosts without CSI discovery, list nothing.
#include "camera/csi_listing.h"

#include <gtest/gtest.h>

#include <memory>

#include "host/host_platform.h"
#include "support/simulated_board.h"

namespace Quorvan {
namespace {

using simulation::SimulatedBoard;

TEST(CsiListing, ListsTheCameraWhereverItsNodeIsAndNothingElse) {
    simulation::BoardOptions options;
    options.platform = RASPBERRY_PI_5;
    SimulatedBoard board(options);
    board.mediaDevice()->info.serial = "CSI-0042";
    // A capture node of another receiver, with no sensor behind it.
    board.kernel().addDevice(
        "/dev/video9", 81, 90,
        std::make_shared<simulation::SimulatedCaptureNode>(
            simulation::CaptureNodeSetup{}, std::make_shared<simulation::SensorState>(),
            std::make_shared<simulation::SceneSource>()));

    std::vector<AttachedCamera> found = listCsiCameras(board.kernel(), RASPBERRY_PI_5);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].connection, Connection::CSI);
    EXPECT_EQ(found[0].index, 0u);
    EXPECT_EQ(found[0].serial, "CSI-0042");
    EXPECT_EQ(found[0].width, 240u);
    EXPECT_EQ(found[0].height, 180u);
    EXPECT_TRUE(found[0].attached);
    // Listing leaves nothing open.
    EXPECT_EQ(board.kernel().openDescriptorCount(), 0);

    board.unplug();
    EXPECT_TRUE(listCsiCameras(board.kernel(), RASPBERRY_PI_5).empty());
    board.replug(4, 2);
    found = listCsiCameras(board.kernel(), RASPBERRY_PI_5);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].index, 4u);
    EXPECT_EQ(found[0].serial, "");
    EXPECT_EQ(board.kernel().openDescriptorCount(), 0);
}

TEST(CsiListing, SensorSizeAndHostsWithoutDiscovery) {
    simulation::BoardOptions options;
    options.platform = JETSON_XAVIER_ORIN;
    options.native_width = 640;
    options.native_height = 480;
    SimulatedBoard jetson(options);
    const std::vector<AttachedCamera> found = listCsiCameras(jetson.kernel(), JETSON_XAVIER_ORIN);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].width, 640u);
    EXPECT_EQ(found[0].height, 480u);

    // A workstation's capture node (a webcam, say) is no CSI camera.
    SimulatedBoard workstation(OTHER);
    EXPECT_TRUE(listCsiCameras(workstation.kernel(), OTHER).empty());
    EXPECT_EQ(workstation.kernel().openDescriptorCount(), 0);
}

}  // namespace
}  // namespace Quorvan
