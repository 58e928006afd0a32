// Streams a few depth frames from the emulated kit through the installed
// library; every public header is included, so one that reached an internal
// header would fail to compile here.
#include <quorvan/quorvan.h>

#include <cstdio>
#include <cstring>
#include <string>

// The installed library's log reaches a sink the program installs: an I2C
// bus that does not exist is reported in the "i2c" category.
bool logReachesTheProgramsSink() {
    std::string received;
    // Whatever QUORVAN_LOG the environment holds.
    Quorvan::logging::setLevels("i2c:error");
    Quorvan::logging::setSink([&](const Quorvan::logging::Record& record) {
        if (std::strcmp(record.category, "i2c") == 0)
            received = record.message;
    });
    char path[32];
    const int fd = i2c_open_i2c_dev(99999, path, sizeof(path), 0);
    Quorvan::logging::setSink({});
    if (fd >= 0 || received.rfind("Error: Could not open file `/dev/i2c-99999'", 0) != 0) {
        std::fprintf(stderr, "consumer: the log did not reach the sink (got \"%s\")\n",
                     received.c_str());
        return false;
    }
    return true;
}

int main() {
    if (!logReachesTheProgramsSink())
        return 1;
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
