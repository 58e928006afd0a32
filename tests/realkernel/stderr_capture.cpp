#include "stderr_capture.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

namespace Quorvan::realkernel {

StderrCapture::StderrCapture() {
    std::fflush(stderr);
    char path[] = "/tmp/stderr-XXXXXX";
    file = ::mkstemp(path);
    if (file < 0)
        return;
    ::unlink(path);
    saved_stderr = ::dup(2);
    ::dup2(file, 2);
}

StderrCapture::~StderrCapture() {
    finish();
}

std::string StderrCapture::finish() {
    if (file < 0)
        return {};
    std::fflush(stderr);
    ::dup2(saved_stderr, 2);
    ::close(saved_stderr);
    std::string text;
    char chunk[512];
    ::lseek(file, 0, SEEK_SET);
    for (ssize_t count; (count = ::read(file, chunk, sizeof(chunk))) > 0;)
        text.append(chunk, static_cast<size_t>(count));
    ::close(file);
    file = -1;
    saved_stderr = -1;
    return text;
}

}  // namespace Quorvan::realkernel
