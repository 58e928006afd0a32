// The process's threads, counted for the tests that check a camera leaves
// none behind. A joined thread leaves /proc/self/task a moment after the
// join returns (the kernel reaps it after waking the joiner; under qemu-user
// noticeably later), and a sanitizer's runtime or the emulator may start a
// thread of its own with the process's first one, so both counts wait for
// the process to settle rather than read it once.
#pragma once

#include <dirent.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <thread>

#include "support/test_deadlines.h"

namespace Quorvan {
namespace testing_support {

inline size_t threadCountNow() {
    size_t count = 0;
    if (DIR* listing = ::opendir("/proc/self/task")) {
        while (const dirent* entry = ::readdir(listing)) {
            if (entry->d_name[0] != '.')
                ++count;
        }
        ::closedir(listing);
    }
    return count;
}

// The count to compare with later: after a first thread has come and gone,
// the smallest reading over a short while.
inline size_t baselineThreadCount() {
    std::thread([] {}).join();
    size_t lowest = threadCountNow();
    for (int reading = 0; reading < 20; ++reading) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        lowest = std::min(lowest, threadCountNow());
    }
    return lowest;
}

// The count once it has come down to `baseline`, or what it is after a
// generous wait (a leaked thread never leaves).
inline size_t threadCountSettledTo(size_t baseline) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(scaledDeadlineMs(2000));
    size_t count = threadCountNow();
    while (count > baseline && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        count = threadCountNow();
    }
    return count;
}

}  // namespace testing_support
}  // namespace Quorvan
