// The V4L2 capture node (/dev/videoN) of a CSI host: its descriptor, the
// format it streams, and the driver buffers mapped into this process with
// their queue/dequeue cycle. Every request goes through the kernel-access
// layer and answers 0 or minus errno, so the node can be driven by a
// simulated board or by any real capture driver.
#pragma once

#include <linux/videodev2.h>

#include <array>
#include <cstddef>
#include <cstdint>

#include "system/kernel_descriptor.h"
#include "system/kernel_request.h"

namespace Quorvan {

// A buffer the driver handed back, valid until it is queued again.
struct CapturedBuffer {
    v4l2_buffer record{};
    v4l2_plane plane{};
    // The mapping of the record's index; null for an index outside the
    // buffer table, which cannot be given back either.
    const uint8_t* data = nullptr;
    // What is mapped, never more than the driver claims.
    size_t length = 0;
};

class CaptureNode {
public:
    static constexpr uint32_t kBufferCount = 8;
    // A blocking DQBUF on a node that stopped delivering (or vanished) would
    // hold the capture thread, and with it the camera's stop, forever; so a
    // dequeue waits this long at most.
    static constexpr int kBufferWaitMs = 500;

    // `path` is kept (at most 79 characters) for open and for messages.
    CaptureNode(KernelInterface& kernel, const char* path);

    // Opens the node read-write and blocking, closing whatever was open.
    int open();
    // Unmaps every buffer and closes the node, which frees the driver's table.
    void close();
    bool isOpen() const { return node.isOpen(); }
    // The node's character-device numbers; -ENODEV for another kind of file.
    int deviceNumbers(uint32_t* major_number, uint32_t* minor_number) const;

    int queryCapabilities(v4l2_capability* capability);
    // Whether the open node's device is no longer there: it no longer
    // answers VIDIOC_QUERYCAP, which any registered device does.
    bool isGone();
    // Single-planar or multi-planar capture: every later request uses it.
    void setBufferType(uint32_t type) { buffer_type = type; }
    uint32_t bufferType() const { return buffer_type; }
    int selectInput(int input);

    // Tries and then sets width x height in `pixel_format` (multi-planar
    // nodes: unpacked 16-bit samples in one plane).
    int applyFormat(uint32_t width, uint32_t height, uint32_t pixel_format);
    // The size of the node's current single-planar format.
    int readSize(uint32_t* width, uint32_t* height);

    // Requests the buffer table from the driver; -ERANGE (after a message)
    // when it grants another number of buffers.
    int requestBuffers();
    // Asks the driver to free its buffer table (a request for none).
    // videobuf2 keeps the buffers until then and refuses a new format while
    // it holds them, so the next start would fail in S_FMT. Every mapping
    // must be gone first: the driver refuses while memory is mapped.
    int freeDriverBuffers();
    // Queries, maps and queues every buffer of the table. On failure the
    // buffers mapped so far stay mapped until unmapBuffers or close.
    int mapAndQueueBuffers();
    int streamOn();
    // The stream stops first; buffers stay mapped when it cannot.
    int streamOff();
    // Queries each mapped buffer once more, unmaps it with the length that
    // was mapped, then frees the driver's table. The first failure, or 0;
    // every buffer is unmapped.
    int releaseBuffers();
    // Unmaps every buffer and frees the driver's table, reporting nothing:
    // the cleanup of a failed start.
    void unmapBuffers();
    int mappedBufferCount() const;
    // Length of the mapped buffers (all of one size), 0 when none is mapped.
    size_t mappedLength() const;

    // Waits at most kBufferWaitMs for the next filled buffer and dequeues
    // it; -ETIMEDOUT when none came, -ENODEV when the node hung up. Per-frame requests print
    // nothing: the caller decides whether a failure is worth a message.
    int dequeue(CapturedBuffer& buffer);
    int requeue(const CapturedBuffer& buffer);

private:
    // Issues a set-up request, reporting a failure with the node's path.
    int setUpRequest(const KernelRequest& request, Attempts attempts, void* argument);
    // 0 when the node has a buffer to dequeue (or an error the DQBUF then
    // returns), -ETIMEDOUT when nothing came within the bound.
    int waitForBuffer();

    KernelInterface& kernel;
    KernelDescriptor node;
    char path[80] = {};
    uint32_t buffer_type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    std::array<MemoryMapping, kBufferCount> buffers{};
    // The driver granted a table that no request for none has freed yet.
    bool holds_driver_buffers = false;
};

}  // namespace Quorvan
