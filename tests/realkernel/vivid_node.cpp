#include "vivid_node.h"

#include <fcntl.h>
#include <linux/videodev2.h>
#include <strings.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace Quorvan::realkernel {

VividNode::VividNode(const char* path) : fd(::open(path, O_RDWR | O_CLOEXEC)) {
    v4l2_capability capability{};
    if (fd >= 0 && ::ioctl(fd, VIDIOC_QUERYCAP, &capability) == 0) {
        multi_planar = (capability.device_caps & V4L2_CAP_VIDEO_CAPTURE_MPLANE) != 0;
    }
}

VividNode::~VividNode() {
    if (fd >= 0)
        ::close(fd);
}

namespace {

template <typename Visit>
void forEachControl(int fd, Visit visit) {
    v4l2_query_ext_ctrl query{};
    query.id = V4L2_CTRL_FLAG_NEXT_CTRL | V4L2_CTRL_FLAG_NEXT_COMPOUND;
    while (::ioctl(fd, VIDIOC_QUERY_EXT_CTRL, &query) == 0) {
        if (!visit(query))
            return;
        query.id |= V4L2_CTRL_FLAG_NEXT_CTRL | V4L2_CTRL_FLAG_NEXT_COMPOUND;
    }
}

bool containsIgnoringCase(const char* text, const char* words) {
    const size_t length = std::strlen(words);
    for (; *text != '\0'; ++text) {
        if (strncasecmp(text, words, length) == 0)
            return true;
    }
    return false;
}

}  // namespace

uint32_t VividNode::findControl(const char* words) const {
    uint32_t found = 0;
    forEachControl(fd, [&](const v4l2_query_ext_ctrl& query) {
        if (query.type != V4L2_CTRL_TYPE_CTRL_CLASS && containsIgnoringCase(query.name, words)) {
            found = query.id;
            return false;
        }
        return true;
    });
    return found;
}

bool VividNode::setControl(const char* words, int value) const {
    const uint32_t id = findControl(words);
    if (id == 0)
        return false;
    v4l2_control control{};
    control.id = id;
    control.value = value;
    return ::ioctl(fd, VIDIOC_S_CTRL, &control) == 0;
}

std::string VividNode::controlNames() const {
    std::string names;
    forEachControl(fd, [&](const v4l2_query_ext_ctrl& query) {
        names += std::string(query.name) + "; ";
        return true;
    });
    return names;
}

int VividNode::useFastestHdmiTimings() const {
    int input = 0;
    if (::ioctl(fd, VIDIOC_S_INPUT, &input) != 0)
        return -1;
    // vivid accepts the standard timings it lists (and consistent CVT/GTF
    // ones); the list's fastest frame rate is as close as it gets to a
    // sensor's sub-frame cadence.
    v4l2_dv_timings fastest{};
    uint64_t fastest_period_ns = UINT64_MAX;
    v4l2_enum_dv_timings listed{};
    for (listed.index = 0; ::ioctl(fd, VIDIOC_ENUM_DV_TIMINGS, &listed) == 0; ++listed.index) {
        const v4l2_bt_timings& bt = listed.timings.bt;
        const uint64_t total =
            static_cast<uint64_t>(V4L2_DV_BT_FRAME_WIDTH(&bt)) * V4L2_DV_BT_FRAME_HEIGHT(&bt);
        if (bt.pixelclock == 0 || bt.interlaced)
            continue;
        const uint64_t period_ns = total * 1000000000ull / bt.pixelclock;
        if (period_ns < fastest_period_ns) {
            fastest_period_ns = period_ns;
            fastest = listed.timings;
        }
    }
    if (fastest_period_ns == UINT64_MAX || ::ioctl(fd, VIDIOC_S_DV_TIMINGS, &fastest) != 0)
        return -1;
    std::printf("NOTE HDMI timings %ux%u, frame period %llu us\n", fastest.bt.width,
                fastest.bt.height, static_cast<unsigned long long>(fastest_period_ns / 1000));
    return static_cast<int>(fastest_period_ns / 1000);
}

}  // namespace Quorvan::realkernel

namespace Quorvan::realkernel {

bool makePatternStatic(const VividNode& node) {
    // "OSD Text Mode": 0 all, 1 counters only, 2 none.
    return node.setControl("OSD Text Mode", 2) && node.setControl("Horizontal Movement", 3) &&
           node.setControl("Vertical Movement", 3);
}

bool hasSeveralSampleValues(const std::string& bytes) {
    for (size_t offset = 2; offset + 1 < bytes.size(); offset += 2) {
        if (bytes[offset] != bytes[0] || bytes[offset + 1] != bytes[1])
            return true;
    }
    return false;
}

std::string lastLine(const std::string& bytes, uint32_t width) {
    const size_t line_bytes = static_cast<size_t>(width) * 2;
    return bytes.size() < line_bytes ? std::string() : bytes.substr(bytes.size() - line_bytes);
}

bool composeWholeBuffer(const VividNode& node) {
    return node.setControl("Enable Capture Composing", 0);
}

std::string captureOneBuffer(const char* path, uint32_t width, uint32_t height) {
    VividNode node(path);
    if (!node.isOpen())
        return {};
    const int fd = node.descriptor();
    const uint32_t type =
        node.isMultiPlanar() ? V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE : V4L2_BUF_TYPE_VIDEO_CAPTURE;
    v4l2_format format{};
    format.type = type;
    if (node.isMultiPlanar()) {
        format.fmt.pix_mp.width = width;
        format.fmt.pix_mp.height = height;
        format.fmt.pix_mp.pixelformat = v4l2_fourcc('Y', '1', '2', ' ');
        format.fmt.pix_mp.num_planes = 1;
    } else {
        format.fmt.pix.width = width;
        format.fmt.pix.height = height;
        format.fmt.pix.pixelformat = v4l2_fourcc('Y', '1', '2', ' ');
    }
    if (::ioctl(fd, VIDIOC_S_FMT, &format) != 0)
        return {};
    v4l2_requestbuffers request{};
    request.count = 2;
    request.type = type;
    request.memory = V4L2_MEMORY_MMAP;
    if (::ioctl(fd, VIDIOC_REQBUFS, &request) != 0 || request.count < 2)
        return {};
    void* addresses[2] = {MAP_FAILED, MAP_FAILED};
    size_t lengths[2] = {};
    bool ok = true;
    for (uint32_t index = 0; index < 2 && ok; ++index) {
        v4l2_plane plane{};
        v4l2_buffer buffer{};
        buffer.index = index;
        buffer.type = type;
        buffer.memory = V4L2_MEMORY_MMAP;
        if (node.isMultiPlanar()) {
            buffer.length = 1;
            buffer.m.planes = &plane;
        }
        ok = ::ioctl(fd, VIDIOC_QUERYBUF, &buffer) == 0;
        lengths[index] = node.isMultiPlanar() ? plane.length : buffer.length;
        const off_t offset = node.isMultiPlanar() ? plane.m.mem_offset : buffer.m.offset;
        addresses[index] =
            ok ? ::mmap(nullptr, lengths[index], PROT_READ, MAP_SHARED, fd, offset) : MAP_FAILED;
        ok = ok && addresses[index] != MAP_FAILED && ::ioctl(fd, VIDIOC_QBUF, &buffer) == 0;
    }
    int stream_type = static_cast<int>(type);
    std::string bytes;
    if (ok && ::ioctl(fd, VIDIOC_STREAMON, &stream_type) == 0) {
        v4l2_plane plane{};
        v4l2_buffer buffer{};
        buffer.type = type;
        buffer.memory = V4L2_MEMORY_MMAP;
        if (node.isMultiPlanar()) {
            buffer.length = 1;
            buffer.m.planes = &plane;
        }
        if (::ioctl(fd, VIDIOC_DQBUF, &buffer) == 0 && buffer.index < 2) {
            const size_t used = node.isMultiPlanar() ? plane.bytesused : buffer.bytesused;
            bytes.assign(static_cast<const char*>(addresses[buffer.index]), used);
        }
        ::ioctl(fd, VIDIOC_STREAMOFF, &stream_type);
    }
    for (int index = 0; index < 2; ++index) {
        if (addresses[index] != MAP_FAILED)
            ::munmap(addresses[index], lengths[index]);
    }
    request.count = 0;
    ::ioctl(fd, VIDIOC_REQBUFS, &request);
    return bytes;
}

}  // namespace Quorvan::realkernel
