#include "fake_qmi_modem.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/sim/qmi_sim_wire.h"

namespace {

bool read_all(int fd, void *data, size_t len) {
    auto *p = static_cast<uint8_t *>(data);
    while (len > 0) {
        ssize_t r = recv(fd, p, len, 0);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        p += r;
        len -= static_cast<size_t>(r);
    }
    return true;
}

}  // namespace

std::string frame(uint8_t kind, uint8_t service, uint16_t msg_id, uint32_t txn, const std::string &payload,
                  int32_t status) {
    qmi_sim::Header h{qmi_sim::kMagic, static_cast<uint32_t>(payload.size()), kind, service, msg_id, txn, status};
    return bytes_of(h) + payload;
}

FakeQmiModem::FakeQmiModem(const std::string &socket_path) : path_(socket_path) {
    const std::string dir = path_.substr(0, path_.rfind('/'));
    for (size_t i = 1; i <= dir.size(); ++i) {
        if (i == dir.size() || dir[i] == '/') mkdir(dir.substr(0, i).c_str(), 0755);
    }
    listen_fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un sa {};
    sa.sun_family = AF_UNIX;
    if (listen_fd_ < 0 || path_.size() >= sizeof sa.sun_path || pipe2(wake_, O_CLOEXEC) != 0) return;
    memcpy(sa.sun_path, path_.c_str(), path_.size() + 1);
    unlink(path_.c_str());
    if (bind(listen_fd_, reinterpret_cast<struct sockaddr *>(&sa), sizeof sa) != 0 || listen(listen_fd_, 16) != 0) {
        return;
    }
    ok_ = true;
    acceptor_ = std::thread([this] { accept_loop(); });
}

FakeQmiModem::~FakeQmiModem() {
    if (wake_[1] >= 0) {
        char c = 'q';
        ssize_t w = write(wake_[1], &c, 1);
        (void)w;
    }
    if (acceptor_.joinable()) acceptor_.join();
    std::vector<std::thread> threads;
    {
        std::lock_guard<std::mutex> hold(mu_);
        for (auto &c : conns_) shutdown(c->fd, SHUT_RDWR);
        threads.swap(threads_);
    }
    for (auto &t : threads) t.join();
    for (auto &c : conns_) close(c->fd);
    if (ok_) unlink(path_.c_str());
    for (int fd : {listen_fd_, wake_[0], wake_[1]}) {
        if (fd >= 0) close(fd);
    }
}

void FakeQmiModem::set_answer(FakeQmiAnswer answer) {
    std::lock_guard<std::mutex> hold(mu_);
    answer_ = std::move(answer);
}

void FakeQmiModem::set_available(uint8_t service, bool available) {
    std::lock_guard<std::mutex> hold(mu_);
    absent_.erase(std::remove(absent_.begin(), absent_.end(), service), absent_.end());
    if (!available) absent_.push_back(service);
}

int FakeQmiModem::accepted(uint8_t service, uint16_t role) const {
    std::lock_guard<std::mutex> hold(mu_);
    int n = 0;
    for (const auto &c : conns_) n += c->accepted && c->service == service && c->role == role;
    return n;
}

std::vector<FakeQmiRequest> FakeQmiModem::requests() const {
    std::lock_guard<std::mutex> hold(mu_);
    return requests_;
}

bool FakeQmiModem::send_to(Conn &c, const std::string &bytes) {
    std::lock_guard<std::mutex> hold(c.write_mu);
    size_t off = 0;
    while (off < bytes.size()) {
        ssize_t w = send(c.fd, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        off += static_cast<size_t>(w);
    }
    return true;
}

void FakeQmiModem::push(uint8_t service, uint16_t role, uint8_t kind, uint16_t msg_id, uint32_t txn,
                        const std::string &payload) {
    push_raw(service, role, frame(kind, service, msg_id, txn, payload));
}

void FakeQmiModem::push_raw(uint8_t service, uint16_t role, const std::string &bytes) {
    std::vector<std::shared_ptr<Conn>> to;
    {
        std::lock_guard<std::mutex> hold(mu_);
        for (auto &c : conns_) {
            if (c->accepted && c->service == service && c->role == role) to.push_back(c);
        }
    }
    for (auto &c : to) send_to(*c, bytes);
}

void FakeQmiModem::service_down(uint8_t service) {
    set_available(service, false);
    push(service, qmi_sim::kRoleNotifier, qmi_sim::kServiceEvent, qmi_sim::kServiceDown, 0, "");
    push(service, qmi_sim::kRoleClient, qmi_sim::kServiceEvent, qmi_sim::kServiceDown, 0, "");
    std::lock_guard<std::mutex> hold(mu_);
    for (auto &c : conns_) {
        if (c->accepted && c->service == service && c->role == qmi_sim::kRoleClient) shutdown(c->fd, SHUT_RDWR);
    }
}

void FakeQmiModem::accept_loop() {
    for (;;) {
        struct pollfd p[2] = {{listen_fd_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        if (poll(p, 2, -1) < 0 && errno != EINTR) return;
        if (p[1].revents & POLLIN) return;
        if (!(p[0].revents & POLLIN)) continue;
        int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        auto c = std::make_shared<Conn>();
        c->fd = fd;
        std::lock_guard<std::mutex> hold(mu_);
        conns_.push_back(c);
        threads_.emplace_back([this, c] { serve(c); });
    }
}

void FakeQmiModem::serve(std::shared_ptr<Conn> c) {
    qmi_sim::Header h{};
    if (!read_all(c->fd, &h, sizeof h) || h.kind != qmi_sim::kHello) return;
    bool refuse;
    {
        std::lock_guard<std::mutex> hold(mu_);
        refuse = std::find(absent_.begin(), absent_.end(), h.service) != absent_.end();
    }
    if (refuse) {
        send_to(*c, frame(qmi_sim::kHelloAck, h.service, 0, 0, "", qmi_sim::kNoService));
        shutdown(c->fd, SHUT_RDWR);
        return;
    }
    {
        std::lock_guard<std::mutex> hold(mu_);
        c->service = h.service;
        c->role = h.msg_id;
        c->accepted = true;
    }
    send_to(*c, frame(qmi_sim::kHelloAck, h.service, 0, 0, ""));
    if (h.msg_id == qmi_sim::kRoleNotifier) send_to(*c, frame(qmi_sim::kServiceEvent, h.service, qmi_sim::kServiceUp, 0, ""));
    for (;;) {
        if (!read_all(c->fd, &h, sizeof h) || !qmi_sim::header_ok(h)) return;
        std::string payload(h.len, '\0');
        if (h.len > 0 && !read_all(c->fd, payload.data(), h.len)) return;
        if (h.kind != qmi_sim::kRequest) continue;
        FakeQmiRequest req{h.service, h.msg_id, h.txn, payload};
        FakeQmiAnswer answer;
        {
            std::lock_guard<std::mutex> hold(mu_);
            requests_.push_back(req);
            answer = answer_;
        }
        std::string resp;
        if (answer && answer(req, &resp)) send_to(*c, frame(qmi_sim::kResponse, h.service, h.msg_id, h.txn, resp));
    }
}
