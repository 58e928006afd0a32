// Streams a few depth frames from the emulated kit through the installed
// library; every public header is included, so one that reached an internal
// header would fail to compile here.
#include <quorvan/quorvan.h>

#include <cstdio>

int main() {
    Quorvan::QuorvanTOFCamera camera;
    if (camera.open(Quorvan::Connection::USB, 0) != Quorvan::QuorvanSuccess ||
        camera.start(Quorvan::FrameType::DEPTH) != Quorvan::QuorvanSuccess) {
        std::fprintf(stderr, "consumer: cannot stream from the emulated kit\n");
        return 1;
    }
    int frames = 0;
    for (int attempt = 0; attempt < 20 && frames < 3; ++attempt) {
        Quorvan::QuorvanFrameBuffer* frame = camera.requestFrame(2000);
        if (frame == nullptr)
            continue;
        const auto* depth = static_cast<const float*>(frame->getData(Quorvan::FrameType::DEPTH));
        if (depth != nullptr && depth[90 * 240 + 120] > 0.0f)
            ++frames;
        camera.releaseFrame(frame);
    }
    camera.stop();
    camera.close();
    std::printf("consumer: %d depth frames through the installed library\n", frames);
    return frames == 3 ? 0 : 1;
}
