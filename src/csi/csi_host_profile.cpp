#include "csi/csi_host_profile.h"

#include <linux/videodev2.h>

#include "csi/v4l2_records.h"
#include "host/host_platform.h"

namespace Quorvan {

namespace {

// The Pi 5 receiver ("csi2") reaches the capture node only once its source
// pad 4 is linked to the first capture channel.
constexpr ReceiverRoute kPi5ReceiverRoute{"csi2", 4, "rp1-cfe-csi2_ch0"};

constexpr uint32_t kSinglePlanar = V4L2_BUF_TYPE_VIDEO_CAPTURE;
constexpr uint32_t kMultiPlanar = V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE;
// The sensor driver's name; the Radxa driver registers its entity without
// the maker prefix.
constexpr const char* kSensorEntity = "quorvan-tessavine";
constexpr const char* kRadxaSensorEntity = "tessavine";
constexpr const char* kJetsonSensorDriver = "quorvan";

using D = DiscoveryKind;

// clang-format off
constexpr HostProfile kProfiles[] = {
    // platform          buffer type    discovery           sensor name          bridge                 receiver route      pixel format           line copy
    {OTHER,              kSinglePlanar, D::None,            nullptr,             nullptr,               nullptr,            kPixelFormatY12,       copyPlain},
    {JETSON_TX1_NANO,    kSinglePlanar, D::CaptureNodeName, kJetsonSensorDriver, nullptr,               nullptr,            kPixelFormatY12,       copyPlain},
    {JETSON_XAVIER_ORIN, kSinglePlanar, D::CaptureNodeName, kJetsonSensorDriver, nullptr,               nullptr,            kPixelFormatY12,       copyLinePairs},
    {RASPBERRY_PI,       kSinglePlanar, D::MediaGraph,      kSensorEntity,       nullptr,               nullptr,            kPixelFormatY12,       copyPlain},
    {RASPBERRY_PI_5,     kSinglePlanar, D::MediaGraph,      kSensorEntity,       "csi2",                &kPi5ReceiverRoute, kPixelFormatY12Packed, unpackPacked12Lines},
    {RADXA_ROCK,         kMultiPlanar,  D::MediaGraph,      kRadxaSensorEntity,  "rockchip-csi2-dphy1", nullptr,            kPixelFormatY12,       copyPlain},
};
// clang-format on

}  // namespace

const HostProfile& hostProfile(int32_t platform) {
    for (const HostProfile& profile : kProfiles) {
        if (profile.platform == platform)
            return profile;
    }
    return kProfiles[0];
}

LineCopyRoutine chooseLineCopy(const HostProfile& profile, uint32_t buffer_type,
                               size_t buffer_length) {
    if (!isMultiPlanar(buffer_type) && buffer_length == kPaddedFrameLength)
        return copyPaddedLines;
    return profile.line_copy;
}

}  // namespace Quorvan
