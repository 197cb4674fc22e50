#pragma once
// Owns one file descriptor: closed when the holder goes, or earlier through
// close_checked() where the result of close matters (write-back errors of a
// file show only there).
#include <unistd.h>

struct UniqueFd {
    int fd = -1;
    explicit UniqueFd(int f = -1) : fd(f) {}
    ~UniqueFd() { reset(); }
    UniqueFd(const UniqueFd &) = delete;
    UniqueFd &operator=(const UniqueFd &) = delete;

    int get() const { return fd; }
    bool ok() const { return fd >= 0; }
    // Closes now; true when there was nothing to close or close succeeded.
    bool close_checked() {
        const int f = fd;
        fd = -1;
        return f < 0 || ::close(f) == 0;
    }
    void reset() {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
};
