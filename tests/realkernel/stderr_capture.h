// Collects what the code under test prints to stderr while the object lives,
// so the checks can look for the messages the I2C helpers and the backend
// give on failure.
#pragma once

#include <string>

namespace Quorvan::realkernel {

class StderrCapture {
public:
    StderrCapture();
    ~StderrCapture();
    StderrCapture(const StderrCapture&) = delete;
    StderrCapture& operator=(const StderrCapture&) = delete;

    // Everything printed so far; ends the capture.
    std::string finish();

private:
    int saved_stderr = -1;
    int file = -1;
};

}  // namespace Quorvan::realkernel
