#pragma once
// HTTP peers for download tests, all on loopback: Python's http.server for
// plain files, and a raw server of our own that plays a script to each
// connection (split headers, stalls, early close, lying lengths, any status).
#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct RawStep {
    enum Kind { kSend, kPause, kAdvanceClock, kClose } kind = kSend;
    std::string bytes;  // kSend
    int gap_ms = 0;     // kSend: pause between single bytes (0: all at once)
    int ms = 0;         // kPause: real milliseconds; kAdvanceClock: fake clock step
};

RawStep raw_send(const std::string &bytes, int gap_ms = 0);
RawStep raw_pause(int ms);
// Moves this process's fake clock (plat_clock_fake) forward.
RawStep raw_advance(int ms);
RawStep raw_close();

class RawHttpServer {
public:
    // Each connection: the request is read up to its blank line (and whatever
    // follows within 100 ms), then the script plays; the end of the script
    // closes the connection.
    explicit RawHttpServer(std::vector<RawStep> script);
    ~RawHttpServer();
    RawHttpServer(const RawHttpServer &) = delete;
    RawHttpServer &operator=(const RawHttpServer &) = delete;

    uint16_t port() const { return port_; }
    // Bytes of the last request received.
    std::string request() const;
    int connections() const { return connections_.load(); }

private:
    void run();
    void serve(int fd);

    std::vector<RawStep> script_;
    int listen_fd_ = -1;
    int wake_[2] = {-1, -1};
    uint16_t port_ = 0;
    std::atomic<int> connections_{0};
    mutable std::mutex mu_;
    std::string request_;
    std::thread thread_;
};

// python3 -m http.server on 127.0.0.1, serving `dir`, on a free port.
class PyHttpServer {
public:
    explicit PyHttpServer(const std::string &dir);
    ~PyHttpServer();
    PyHttpServer(const PyHttpServer &) = delete;
    PyHttpServer &operator=(const PyHttpServer &) = delete;
    bool ok() const { return port_ != 0; }
    uint16_t port() const { return port_; }

private:
    pid_t pid_ = -1;
    uint16_t port_ = 0;
};

// A 200 answer with Content-Length and the given separator style.
std::string http_ok_head(size_t length, bool crlf = true);
