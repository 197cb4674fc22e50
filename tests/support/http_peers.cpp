#include "support/http_peers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>

#include "platform/plat_clock.h"

RawStep raw_send(const std::string &bytes, int gap_ms) {
    RawStep s;
    s.kind = RawStep::kSend;
    s.bytes = bytes;
    s.gap_ms = gap_ms;
    return s;
}
RawStep raw_pause(int ms) {
    RawStep s;
    s.kind = RawStep::kPause;
    s.ms = ms;
    return s;
}
RawStep raw_advance(int ms) {
    RawStep s;
    s.kind = RawStep::kAdvanceClock;
    s.ms = ms;
    return s;
}
RawStep raw_close() {
    RawStep s;
    s.kind = RawStep::kClose;
    return s;
}

std::string http_ok_head(size_t length, bool crlf) {
    const char *nl = crlf ? "\r\n" : "\n";
    return std::string("HTTP/1.1 200 OK") + nl + "Server: raw" + nl + "Content-Length: " + std::to_string(length) +
           nl + "Content-Type: application/octet-stream" + nl + nl;
}

RawHttpServer::RawHttpServer(std::vector<RawStep> script) : script_(std::move(script)) {
    signal(SIGPIPE, SIG_IGN);
    listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    struct sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t al = sizeof a;
    if (bind(listen_fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(listen_fd_, 8) != 0 ||
        getsockname(listen_fd_, reinterpret_cast<sockaddr *>(&a), &al) != 0 || pipe2(wake_, O_CLOEXEC) != 0) {
        return;
    }
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { run(); });
}

RawHttpServer::~RawHttpServer() {
    if (wake_[1] >= 0) {
        char c = 1;
        ssize_t w = write(wake_[1], &c, 1);
        (void)w;
    }
    if (thread_.joinable()) thread_.join();
    for (int fd : {listen_fd_, wake_[0], wake_[1]}) {
        if (fd >= 0) close(fd);
    }
}

std::string RawHttpServer::request() const {
    std::lock_guard<std::mutex> lk(mu_);
    return request_;
}

void RawHttpServer::run() {
    for (;;) {
        struct pollfd p[2] = {{listen_fd_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        if (poll(p, 2, -1) < 0) continue;
        if (p[1].revents) return;
        int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        connections_.fetch_add(1);
        serve(fd);
        close(fd);
    }
}

void RawHttpServer::serve(int fd) {
    std::string req;
    auto t0 = std::chrono::steady_clock::now();
    int idle_ms = 2000;
    for (;;) {
        struct pollfd p[2] = {{fd, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        int r = poll(p, 2, idle_ms);
        if (r <= 0 || p[1].revents) break;
        char buf[1024];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) break;
        req.append(buf, static_cast<size_t>(n));
        // After the blank line, only what follows at once still belongs to it.
        if (req.find("\n\n") != std::string::npos || req.find("\r\n\r\n") != std::string::npos) idle_ms = 100;
        if (std::chrono::steady_clock::now() - t0 > std::chrono::seconds(5)) break;
    }
    {
        std::lock_guard<std::mutex> lk(mu_);
        request_ = req;
    }
    for (const RawStep &s : script_) {
        switch (s.kind) {
        case RawStep::kSend:
            if (s.gap_ms == 0) {
                size_t done = 0;
                while (done < s.bytes.size()) {
                    ssize_t w = send(fd, s.bytes.data() + done, s.bytes.size() - done, MSG_NOSIGNAL);
                    if (w <= 0) return;
                    done += static_cast<size_t>(w);
                }
            } else {
                for (char c : s.bytes) {
                    if (send(fd, &c, 1, MSG_NOSIGNAL) != 1) return;
                    usleep(static_cast<useconds_t>(s.gap_ms) * 1000);
                }
            }
            break;
        case RawStep::kPause:
            usleep(static_cast<useconds_t>(s.ms) * 1000);
            break;
        case RawStep::kAdvanceClock:
            plat_clock_advance_ms(s.ms);
            break;
        case RawStep::kClose:
            return;
        }
    }
}

PyHttpServer::PyHttpServer(const std::string &dir) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
        dup2(out[1], 1);
        dup2(out[1], 2);
        execlp("python3", "python3", "-u", "-m", "http.server", "--bind", "127.0.0.1", "--directory", dir.c_str(),
               "0", static_cast<char *>(nullptr));
        _exit(127);
    }
    close(out[1]);
    if (pid_ < 0) {
        close(out[0]);
        return;
    }
    // "Serving HTTP on 127.0.0.1 port 40123 (http://127.0.0.1:40123/) ..."
    std::string text;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        struct pollfd p {out[0], POLLIN, 0};
        if (poll(&p, 1, 200) <= 0) continue;
        char buf[256];
        ssize_t n = read(out[0], buf, sizeof buf);
        if (n <= 0) break;
        text.append(buf, static_cast<size_t>(n));
        size_t at = text.find(" port ");
        if (at != std::string::npos && text.find(' ', at + 6) != std::string::npos) {
            port_ = static_cast<uint16_t>(atoi(text.c_str() + at + 6));
            break;
        }
    }
    // The server logs each request to this pipe: keep it drained in the
    // background so it never blocks on a full pipe.
    std::thread([fd = out[0]] {
        char buf[512];
        while (read(fd, buf, sizeof buf) > 0) {
        }
        close(fd);
    }).detach();
}

PyHttpServer::~PyHttpServer() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
}
