#include "core/wire_log.h"
#include "core/devsim_clock.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

std::string wire_line(int64_t unix_ms, const std::string &port, const char *dir, const uint8_t *data,
                      size_t len) {
    static const char kHex[] = "0123456789abcdef";
    std::string s = std::to_string(unix_ms);
    s += ' ';
    s += port;
    s += ' ';
    s += dir;
    s += ' ';
    s.reserve(s.size() + len * 3 + 1);
    for (size_t i = 0; i < len; ++i) {
        if (i) s += ' ';
        s += kHex[data[i] >> 4];
        s += kHex[data[i] & 0x0f];
    }
    s += '\n';
    return s;
}

WireLog::~WireLog() {
    if (fd_ >= 0) close(fd_);
}

int WireLog::open(const std::string &path) {
    if (fd_ >= 0) close(fd_);
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    return fd_ >= 0 ? 0 : -1;
}

void WireLog::write(const std::string &port, const char *dir, const uint8_t *data, size_t len) {
    if (fd_ < 0) return;
    const int64_t ms = devsim_wall_ms();
    const std::string line = wire_line(ms, port, dir, data, len);
    // One write per line: O_APPEND keeps lines whole for readers tailing the file.
    ssize_t w;
    do {
        w = ::write(fd_, line.data(), line.size());
    } while (w < 0 && errno == EINTR);
}
