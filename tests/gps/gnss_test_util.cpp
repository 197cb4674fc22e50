#include "gnss_test_util.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <stdexcept>

namespace {

unsigned xor_sum(const std::string &body) {
    unsigned x = 0;
    for (unsigned char c : body) x ^= c;
    return x;
}

bool write_all(int fd, const std::string &s) {
    size_t off = 0;
    while (off < s.size()) {
        ssize_t w = send(fd, s.data() + off, s.size() - off, MSG_NOSIGNAL);
        if (w <= 0) return false;
        off += static_cast<size_t>(w);
    }
    return true;
}

}  // namespace

std::string nmea(const std::string &body) {
    char tail[8];
    snprintf(tail, sizeof tail, "*%02X\r\n", xor_sum(body));
    return "$" + body + tail;
}

std::string nmea_bad(const std::string &body) {
    char tail[8];
    snprintf(tail, sizeof tail, "*%02X\r\n", xor_sum(body) ^ 0x5a);
    return "$" + body + tail;
}

FakeEngine::FakeEngine() {
    const char *root = std::getenv("TELAGENT_ROOT");
    if (root == nullptr) throw std::runtime_error("TELAGENT_ROOT unset");
    const std::string dir = std::string(root) + "/var/devsim";
    std::filesystem::create_directories(dir);
    const std::string path = dir + "/gnss.sock";
    unlink(path.c_str());
    listen_fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un sa {};
    sa.sun_family = AF_UNIX;
    if (listen_fd_ < 0 || path.size() >= sizeof sa.sun_path) throw std::runtime_error("socket");
    memcpy(sa.sun_path, path.c_str(), path.size() + 1);
    if (bind(listen_fd_, reinterpret_cast<struct sockaddr *>(&sa), sizeof sa) != 0 || listen(listen_fd_, 4) != 0) {
        throw std::runtime_error("bind/listen");
    }
    if (pipe(wake_) != 0) throw std::runtime_error("pipe");
    thread_ = std::thread([this] { serve(); });
}

FakeEngine::~FakeEngine() {
    if (write(wake_[1], "x", 1) != 1) {
        // the thread then ends at its next poll timeout
    }
    thread_.join();
    close(listen_fd_);
    close(wake_[0]);
    close(wake_[1]);
}

void FakeEngine::set_on_start(std::vector<std::string> sentences) {
    std::lock_guard<std::mutex> lk(mu_);
    on_start_ = std::move(sentences);
}

bool FakeEngine::send_line(const std::string &line) {
    std::lock_guard<std::mutex> lk(mu_);
    if (client_fd_ < 0) return false;
    return write_all(client_fd_, line + "\n");
}

std::vector<std::string> FakeEngine::requests() const {
    std::lock_guard<std::mutex> lk(mu_);
    return requests_;
}

bool FakeEngine::wait_for(const std::function<bool()> &pred, int timeout_ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < end) {
        if (pred()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return pred();
}

void FakeEngine::handle_line(int fd, const std::string &line) {
    if (line.rfind("req ", 0) != 0) return;
    const std::string rest = line.substr(4);
    const unsigned id = static_cast<unsigned>(strtoul(rest.c_str(), nullptr, 16));
    std::vector<std::string> play;
    {
        std::lock_guard<std::mutex> lk(mu_);
        requests_.push_back(rest);
        if (id == 0x22 && start_status_ == 0) play = on_start_;
    }
    const int status = id == 0x22 ? start_status_.load() : 0;
    char ack[64];
    snprintf(ack, sizeof ack, "ack %x %d\nind %x %d\n", id, status, id, status);
    std::lock_guard<std::mutex> lk(mu_);
    write_all(fd, ack);
    for (const std::string &s : play) {
        std::string body = s;
        while (!body.empty() && (body.back() == '\n' || body.back() == '\r')) body.pop_back();
        write_all(fd, "nmea " + body + "\n");
    }
}

void FakeEngine::serve() {
    std::string pending;
    int fd = -1;
    for (;;) {
        struct pollfd p[2] = {{wake_[0], POLLIN, 0}, {fd >= 0 ? fd : listen_fd_, POLLIN, 0}};
        if (poll(p, 2, 1000) < 0) continue;
        if (p[0].revents & POLLIN) break;
        if (!(p[1].revents & (POLLIN | POLLHUP | POLLERR))) continue;
        if (fd < 0) {
            fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) continue;
            ++connections_;
            std::lock_guard<std::mutex> lk(mu_);
            client_fd_ = fd;
            pending.clear();
            continue;
        }
        char buf[4096];
        ssize_t r = read(fd, buf, sizeof buf);
        if (r <= 0) {
            {
                std::lock_guard<std::mutex> lk(mu_);
                client_fd_ = -1;
            }
            close(fd);
            fd = -1;
            ++disconnects_;
            continue;
        }
        pending.append(buf, static_cast<size_t>(r));
        size_t nl;
        while ((nl = pending.find('\n')) != std::string::npos) {
            handle_line(fd, pending.substr(0, nl));
            pending.erase(0, nl + 1);
        }
    }
    if (fd >= 0) close(fd);
}
