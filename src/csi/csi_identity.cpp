#include "csi/csi_identity.h"

#include <fcntl.h>

#include <algorithm>
#include <cstring>

#include "csi/v4l2_records.h"
#include "csi/v4l2_requests.h"
#include "system/kernel_descriptor.h"

namespace Quorvan {

namespace {

constexpr const char* kVideoPrefix = "/dev/video";

template <size_t N>
std::string fieldText(const uint8_t (&field)[N]) {
    const char* text = reinterpret_cast<const char*>(field);
    return std::string(text, strnlen(text, N));
}

int numberAfter(const std::string& text, size_t prefix) {
    if (text.size() <= prefix || text.size() - prefix > 6)
        return -1;
    int number = 0;
    for (size_t i = prefix; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9')
            return -1;
        number = number * 10 + (text[i] - '0');
    }
    return number;
}

}  // namespace

void CsiIdentity::setCapture(const v4l2_capability& capability) {
    capture_driver = fieldText(capability.driver);
    capture_card = fieldText(capability.card);
    capture_bus = fieldText(capability.bus_info);
}

bool CsiIdentity::sameCaptureNode(const CsiIdentity& other) const {
    return capture_driver == other.capture_driver && capture_card == other.capture_card &&
           capture_bus == other.capture_bus;
}

bool CsiIdentity::operator==(const CsiIdentity& other) const {
    return sameCaptureNode(other) && media_driver == other.media_driver &&
           media_model == other.media_model && media_bus == other.media_bus &&
           media_serial == other.media_serial && sensor_bus == other.sensor_bus;
}

bool probeCaptureNode(KernelInterface& kernel, const char* path, CsiIdentity* identity) {
    const int handle = kernel.open(path, O_RDWR);
    if (handle < 0)
        return false;
    const KernelDescriptor node(kernel, handle);
    v4l2_capability capability{};
    // Single attempt: a node that does not answer at once is not the camera
    // being looked for, and the next poll asks again.
    if (issueRequest(kernel, node.get(), request::kQueryCapability, Attempts::Single, &capability) <
        0)
        return false;
    const CaptureCapabilities capabilities(capability);
    if (!capabilities.hasStreaming() ||
        (!capabilities.hasSinglePlanarCapture() && !capabilities.hasMultiPlanarCapture()))
        return false;
    identity->setCapture(capability);
    return true;
}

int videoNodeNumber(const std::string& path) {
    if (path.compare(0, std::strlen(kVideoPrefix), kVideoPrefix) != 0)
        return -1;
    return numberAfter(path, std::strlen(kVideoPrefix));
}

std::vector<std::string> listVideoNodes(KernelInterface& kernel) {
    std::vector<std::string> entries;
    std::vector<std::string> nodes;
    if (kernel.listDirectory("/dev", entries) != 0)
        return nodes;
    for (const std::string& entry : entries) {
        const std::string path = "/dev/" + entry;
        if (videoNodeNumber(path) >= 0)
            nodes.push_back(path);
    }
    std::sort(nodes.begin(), nodes.end(), [](const std::string& a, const std::string& b) {
        return videoNodeNumber(a) < videoNodeNumber(b);
    });
    return nodes;
}

}  // namespace Quorvan
