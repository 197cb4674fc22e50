#include "sntp/sntp_responder.h"
#include "core/devsim_clock.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>

#include "core/devsim_files.h"

namespace {

constexpr uint32_t kEra = 2208988800u;
constexpr size_t kHeader = 48;

void put32(std::string &s, size_t at, uint32_t v) {
    s[at] = static_cast<char>(v >> 24);
    s[at + 1] = static_cast<char>(v >> 16);
    s[at + 2] = static_cast<char>(v >> 8);
    s[at + 3] = static_cast<char>(v);
}

// NTP timestamp of a Unix time in ms (era 0 only: this machine's clock).
void put_ts(std::string &s, size_t at, int64_t unix_ms) {
    const int64_t sec = unix_ms / 1000;
    put32(s, at, static_cast<uint32_t>(sec + kEra));
    put32(s, at + 4, static_cast<uint32_t>(((unix_ms % 1000) << 32) / 1000));
}

// 64-bit on every target: the offsets reach a century of seconds, past a
// 32-bit long.
bool parse_long(const std::string &t, int64_t lo, int64_t hi, int64_t *out) {
    if (t.empty()) return false;
    char *end = nullptr;
    errno = 0;
    const long long v = strtoll(t.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v < lo || v > hi) return false;
    *out = v;
    return true;
}

std::string trim(std::string s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.erase(0, 1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.pop_back();
    return s;
}

constexpr int64_t kOffsetMax = int64_t{100} * 365 * 86400;

}  // namespace

bool sntp_parse_behaviour(const std::string &text, SntpBehaviour *out) {
    const std::string t = trim(text);
    const size_t colon = t.find(':');
    const std::string name = t.substr(0, colon);
    const std::string arg = colon == std::string::npos ? std::string() : t.substr(colon + 1);
    SntpBehaviour b;
    int64_t v = 0;
    if (name == "good") {
        b.kind = SntpBehaviour::kGood;
        if (colon != std::string::npos) {
            if (!parse_long(arg, -kOffsetMax, kOffsetMax, &v)) return false;
            b.arg = v;
            b.has_offset = true;
        }
    } else if (name == "late") {
        if (!parse_long(arg, 0, 60000, &v)) return false;
        b.kind = SntpBehaviour::kLate;
        b.arg = v;
    } else if (name == "mode") {
        if (!parse_long(arg, 0, 7, &v)) return false;
        b.kind = SntpBehaviour::kMode;
        b.arg = v;
    } else if (colon != std::string::npos) {
        return false;
    } else if (name == "silent") {
        b.kind = SntpBehaviour::kSilent;
    } else if (name == "kod") {
        b.kind = SntpBehaviour::kKod;
    } else if (name == "leap3") {
        b.kind = SntpBehaviour::kLeap3;
    } else if (name == "zero_tx") {
        b.kind = SntpBehaviour::kZeroTx;
    } else if (name == "bad_origin") {
        b.kind = SntpBehaviour::kBadOrigin;
    } else if (name == "short") {
        b.kind = SntpBehaviour::kShort;
    } else if (name == "short_only") {
        b.kind = SntpBehaviour::kShortOnly;
    } else if (name == "garbage") {
        b.kind = SntpBehaviour::kGarbage;
    } else {
        return false;
    }
    *out = b;
    return true;
}

std::vector<SntpDatagram> sntp_answer(const SntpBehaviour &b, const std::string &req, int64_t unix_ms) {
    if (b.kind == SntpBehaviour::kSilent || req.size() < kHeader) return {};
    std::string a(kHeader, '\0');
    if (b.kind == SntpBehaviour::kGarbage) {
        std::random_device rd;
        for (char &c : a) c = static_cast<char>(rd());
        // Random bytes alone make a valid broadcast answer (mode 5, leap not 3,
        // stratum not 0) about one time in eleven, and a box would set its
        // clock from it: garbage never carries mode 4 or 5.
        static const int kNotServer[] = {0, 1, 2, 3, 6, 7};
        a[0] = static_cast<char>((a[0] & ~7) | kNotServer[rd() % 6]);
        return {{0, a}};
    }
    const int version = (static_cast<uint8_t>(req[0]) >> 3) & 7;
    const int mode = b.kind == SntpBehaviour::kMode ? static_cast<int>(b.arg) : 4;
    const int leap = b.kind == SntpBehaviour::kLeap3 ? 3 : 0;
    a[0] = static_cast<char>((leap << 6) | ((version == 0 ? 4 : version) << 3) | mode);
    a[1] = b.kind == SntpBehaviour::kKod ? 0 : 2;  // stratum
    a[2] = 6;                                      // poll
    a[3] = static_cast<char>(-20);                 // precision
    memcpy(&a[12], b.kind == SntpBehaviour::kKod ? "RATE" : "LOCL", 4);
    put_ts(a, 16, unix_ms - 60000);                // reference
    a.replace(24, 8, req, 40, 8);                  // originate = the request's transmit
    if (b.kind == SntpBehaviour::kBadOrigin) a[27] = static_cast<char>(a[27] ^ 0x55);
    put_ts(a, 32, unix_ms);                        // receive
    put_ts(a, 40, unix_ms);                        // transmit
    if (b.kind == SntpBehaviour::kZeroTx) a.replace(40, 8, 8, '\0');
    if (b.kind == SntpBehaviour::kShort) return {{0, a.substr(0, 47)}, {50, a.substr(47)}};
    if (b.kind == SntpBehaviour::kShortOnly) return {{0, a.substr(0, 47)}};
    if (b.kind == SntpBehaviour::kLate) return {{static_cast<unsigned>(b.arg), a}};
    return {{0, a}};
}

SntpResponder::~SntpResponder() { stop(); }

int SntpResponder::configure(const std::string &key, const std::string &value) {
    std::lock_guard<std::mutex> g(mu_);
    int64_t v = 0;
    if (key == "offset") {
        if (!parse_long(trim(value), -kOffsetMax, kOffsetMax, &v)) return 0;
        offset_s_ = v;
        configured_ = true;
        return 1;
    }
    if (key == "servers") {
        std::vector<SntpBehaviour> list;
        std::string rest = value + ",";
        size_t i = 0;
        while (i < rest.size()) {
            const size_t j = rest.find(',', i);
            SntpBehaviour b;
            if (!sntp_parse_behaviour(rest.substr(i, j - i), &b)) return 0;
            list.push_back(b);
            i = j + 1;
        }
        if (list.empty() || list.size() > kSntpResponderMax) return 0;
        servers_ = list;
        configured_ = true;
        return 1;
    }
    return 0;
}

int SntpResponder::start(const std::string &root) {
    root_ = root;
    const std::string list_path = root + "/var/devsim/sntp_servers";
    unlink(list_path.c_str());  // a stale list from an earlier run must not point anywhere
    if (!configured_) return 0;
    {
        std::lock_guard<std::mutex> g(mu_);
        if (servers_.empty()) servers_.push_back(SntpBehaviour{});
    }
    std::string list;
    for (size_t i = 0; i < servers_.size(); ++i) {
        const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        struct sockaddr_in a {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t l = sizeof a;
        if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
            getsockname(fd, reinterpret_cast<sockaddr *>(&a), &l) != 0) {
            fprintf(stderr, "devsim: sntp: cannot bind a loopback port: %s\n", strerror(errno));
            if (fd >= 0) close(fd);
            stop();
            return -1;
        }
        fds_.push_back(fd);
        list += "127.0.0.1:" + std::to_string(ntohs(a.sin_port)) + "\n";
    }
    event_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    log_fd_ = open((root + "/var/devsim/sntp.log").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (event_fd_ < 0) {
        stop();
        return -1;
    }
    control_ = std::make_unique<ControlRegistration>(
        "sntp", [this](const std::string &cmd, const std::string &args, std::string *why) {
            return command(cmd, args, why);
        });
    thread_ = std::thread([this] { run(); });
    if (devsim_write_file(list_path, list) != 0) {
        fprintf(stderr, "devsim: sntp: cannot write %s\n", list_path.c_str());
        stop();
        return -1;
    }
    return 0;
}

void SntpResponder::stop() {
    control_.reset();
    stopping_ = true;
    if (event_fd_ >= 0) {
        const uint64_t one = 1;
        ssize_t w = write(event_fd_, &one, sizeof one);
        (void)w;
    }
    if (thread_.joinable()) thread_.join();
    for (int fd : fds_) close(fd);
    fds_.clear();
    if (event_fd_ >= 0) close(event_fd_);
    event_fd_ = -1;
    if (log_fd_ >= 0) close(log_fd_);
    log_fd_ = -1;
    if (!root_.empty() && configured_) unlink((root_ + "/var/devsim/sntp_servers").c_str());
}

int SntpResponder::command(const std::string &cmd, const std::string &args, std::string *why) {
    if (cmd == "offset") {
        if (configure("offset", args) == 1) return 0;
        *why = "sntp offset <seconds>";
        return -1;
    }
    if (cmd == "server") {
        const size_t sp = args.find(' ');
        int64_t n = 0;
        SntpBehaviour b;
        std::lock_guard<std::mutex> g(mu_);
        if (sp == std::string::npos || !parse_long(args.substr(0, sp), 1, static_cast<int64_t>(servers_.size()), &n) ||
            !sntp_parse_behaviour(args.substr(sp + 1), &b)) {
            *why = "sntp server <n> <behaviour>";
            return -1;
        }
        servers_[static_cast<size_t>(n - 1)] = b;
        return 0;
    }
    *why = "sntp offset <s> | sntp server <n> <behaviour>";
    return -1;
}

void SntpResponder::log(const char *dir, size_t i, const std::string &bytes) {
    if (log_fd_ < 0) return;
    std::string line = std::to_string(devsim_wall_ms()) + " " + dir + " " + std::to_string(i + 1) + " ";
    static const char kHex[] = "0123456789abcdef";
    for (unsigned char c : bytes) {
        line += kHex[c >> 4];
        line += kHex[c & 15];
    }
    line += '\n';
    ssize_t w = write(log_fd_, line.data(), line.size());
    (void)w;
}

void SntpResponder::serve(size_t i) {
    char buf[1024];
    struct sockaddr_in from {};
    socklen_t fl = sizeof from;
    const ssize_t n = recvfrom(fds_[i], buf, sizeof buf, 0, reinterpret_cast<sockaddr *>(&from), &fl);
    if (n < 0) return;
    const std::string req(buf, static_cast<size_t>(n));
    log("RX", i, req);
    SntpBehaviour b;
    int64_t offset;
    {
        std::lock_guard<std::mutex> g(mu_);
        b = servers_[i];
        offset = b.has_offset ? b.arg : offset_s_;
    }
    const int64_t now = devsim_mono_ms();
    for (const SntpDatagram &d : sntp_answer(b, req, devsim_wall_ms() + offset * 1000)) {
        pending_.push_back({now + d.delay_ms, i, from.sin_addr.s_addr, from.sin_port, d.bytes});
    }
}

void SntpResponder::run() {
    std::vector<struct pollfd> pfds(fds_.size() + 1);
    while (!stopping_) {
        const int64_t now = devsim_mono_ms();
        for (size_t k = 0; k < pending_.size();) {
            if (pending_[k].due_ms > now) {
                ++k;
                continue;
            }
            const Pending p = pending_[k];
            pending_.erase(pending_.begin() + static_cast<long>(k));
            struct sockaddr_in to {};
            to.sin_family = AF_INET;
            to.sin_addr.s_addr = p.addr;
            to.sin_port = p.port;
            sendto(fds_[p.server], p.bytes.data(), p.bytes.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
            log("TX", p.server, p.bytes);
        }
        int64_t wait = 1000;
        for (const Pending &p : pending_) wait = std::min(wait, std::max<int64_t>(0, p.due_ms - now));
        pfds[0] = {event_fd_, POLLIN, 0};
        for (size_t i = 0; i < fds_.size(); ++i) pfds[i + 1] = {fds_[i], POLLIN, 0};
        const int n = poll(pfds.data(), pfds.size(), static_cast<int>(wait));
        if (n <= 0) continue;
        if (pfds[0].revents & POLLIN) break;
        for (size_t i = 0; i < fds_.size(); ++i) {
            if (pfds[i + 1].revents & POLLIN) serve(i);
        }
    }
}
