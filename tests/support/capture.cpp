#include "capture.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <stdexcept>

namespace testsupport {

namespace {
int g_stdout_captures = 0;

void flush_all() {
    std::cout.flush();
    std::cerr.flush();
    std::fflush(nullptr);
}
}  // namespace

Capture::Capture(int fd) : fd_(fd), saved_(dup(fd)) {
    char name[] = "/tmp/lanlink-capture-XXXXXX";
    file_ = mkstemp(name);
    if (file_ < 0 || saved_ < 0) {
        throw std::runtime_error("capture failed");
    }
    unlink(name);
    flush_all();
    dup2(file_, fd_);
    g_stdout_captures += fd_ == STDOUT_FILENO ? 1 : 0;
}

Capture::~Capture() {
    flush_all();
    g_stdout_captures -= fd_ == STDOUT_FILENO ? 1 : 0;
    dup2(saved_, fd_);
    close(saved_);
    close(file_);
}

std::string Capture::text() {
    flush_all();
    std::string all;
    char buf[4096];
    off_t offset = 0;
    for (;;) {
        const ssize_t n = pread(file_, buf, sizeof buf, offset);
        if (n <= 0) {
            break;
        }
        all.append(buf, static_cast<std::size_t>(n));
        offset += n;
    }
    return all;
}

bool Capture::capturing_stdout() {
    return g_stdout_captures > 0;
}

}  // namespace testsupport
