// Test-side access to a vivid capture node, by plain system calls and
// independent of the code under test: finding and pulling vivid's
// error-injection and disconnect controls, choosing the input and its
// timings, and reading buffers the way any V4L2 client would.
#pragma once

#include <cstdint>
#include <string>

namespace Quorvan::realkernel {

class VividNode {
public:
    explicit VividNode(const char* path);
    ~VividNode();
    VividNode(const VividNode&) = delete;
    VividNode& operator=(const VividNode&) = delete;

    bool isOpen() const { return fd >= 0; }
    int descriptor() const { return fd; }
    bool isMultiPlanar() const { return multi_planar; }

    // The id of the first control whose name contains `words`
    // (case-insensitive), or 0.
    uint32_t findControl(const char* words) const;
    // Sets a control found by name; buttons take any value. False when the
    // control is missing or the driver refuses.
    bool setControl(const char* words, int value) const;
    // Every control name, for the console.
    std::string controlNames() const;

    // Input 0 (HDMI in the VM's configuration) with the listed timings of
    // the highest frame rate, so buffers come as close together as vivid
    // allows. Returns the frame period in microseconds, or -1.
    int useFastestHdmiTimings() const;

private:
    int fd = -1;
    bool multi_planar = false;
};

}  // namespace Quorvan::realkernel

namespace Quorvan::realkernel {

// One Y12 buffer of `width` x `height` from the node, by the plain V4L2
// streaming calls (two buffers, first one dequeued); empty on any failure.
std::string captureOneBuffer(const char* path, uint32_t width, uint32_t height);

// A byte no Y12 buffer holds in pairs: 0xffff is no 12-bit sample, so a
// cache or buffer filled with it shows whatever a copy or the driver did
// not overwrite.
constexpr uint8_t kPoisonByte = 0xff;

// Whether the 16-bit samples of a buffer take more than one value: a
// reference that is one value everywhere would match a copy that put the
// right value at the wrong places.
bool hasSeveralSampleValues(const std::string& bytes);
// The last line of a Y12 buffer `width` samples wide.
std::string lastLine(const std::string& bytes, uint32_t width);

// vivid without its compose rectangle, so the pattern is scaled over the
// whole buffer: a rectangle kept from a smaller earlier format would leave
// most of a larger buffer one blank value, where a copy that misplaces
// lines still matches.
bool composeWholeBuffer(const VividNode& node);

// vivid's test pattern without anything that changes from frame to frame
// (on-screen text, moving parts), so any two buffers of one size are equal.
bool makePatternStatic(const VividNode& node);

}  // namespace Quorvan::realkernel
