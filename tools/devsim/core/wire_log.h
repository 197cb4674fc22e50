#pragma once
// Per-port trace of the wire: var/devsim/<port>.log, one line per chunk
//     <unix ms> <port> <RX|TX> <hex bytes>
// RX is what the agent wrote, TX what the peer sent it.
#include <cstddef>
#include <cstdint>
#include <string>

std::string wire_line(int64_t unix_ms, const std::string &port, const char *dir, const uint8_t *data,
                      size_t len);

class WireLog {
public:
    WireLog() = default;
    ~WireLog();
    WireLog(const WireLog &) = delete;
    WireLog &operator=(const WireLog &) = delete;

    int open(const std::string &path);  // 0 / -1
    void write(const std::string &port, const char *dir, const uint8_t *data, size_t len);

private:
    int fd_ = -1;
};
