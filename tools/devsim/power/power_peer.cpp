#include "power/power_peer.h"
#include "core/devsim_clock.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "core/devsim_files.h"

namespace {

constexpr const char *kPowerDir = "/sys/power";
constexpr const char *kUsbDir = "/sys/devices/virtual/android_usb/android0";
constexpr const char *kFifo = "/tmp/wakemsgid_fifo";

bool parse_long(const std::string &s, long lo, long hi, long *out) {
    if (s.empty() || s.size() > 9) return false;
    char *end = nullptr;
    long v = strtol(s.c_str(), &end, 10);
    if (*end != '\0' || v < lo || v > hi) return false;
    *out = v;
    return true;
}

int hexval(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// What a node holds, as text: NULs of a wake-lock block cut, line ends dropped.
std::string shown(const std::string &raw) {
    std::string s = raw.substr(0, raw.find('\0'));
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
    return s;
}

}  // namespace

std::string power_bakbat_hex(const std::string &which) {
    // First field non-zero (3600 mV) and byte 3 set: running on the backup battery.
    if (which == "backup") return "100e00010000";
    if (which == "main") return "000000000000";
    return "";
}

PowerPeer::~PowerPeer() { stop(); }

int PowerPeer::start(const std::string &root) {
    root_ = root;
    devsim_mkdirs(root + "/var/devsim");
    devsim_mkdirs(root + kPowerDir);
    devsim_mkdirs(root + kUsbDir);
    devsim_mkdirs(root + "/tmp");
    int bad = 0;
    for (const char *n : {"/wake_lock", "/wake_unlock"}) bad |= devsim_write_file(root + kPowerDir + n, "");
    bad |= devsim_write_file(root + kPowerDir + std::string("/autosleep"), "off\n");
    bad |= devsim_write_file(root + kUsbDir + std::string("/enable"), "1\n");
    bad |= devsim_write_file(root + kUsbDir + std::string("/dusb"), "1\n");
    const std::string fifo = root + kFifo;
    struct stat st {};
    if (lstat(fifo.c_str(), &st) == 0 && !S_ISFIFO(st.st_mode)) unlink(fifo.c_str());
    if (mkfifo(fifo.c_str(), 0600) != 0 && errno != EEXIST) bad = -1;
    // Read-write: writes never block or fail for want of a reader, as the
    // daemon's own end behaves while the agent is restarting.
    fifo_fd_ = open(fifo.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    log_fd_ = open((root + "/var/devsim/power.log").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    inotify_fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    event_fd_ = eventfd(0, EFD_CLOEXEC);
    if (inotify_fd_ >= 0) {
        watch_power_ = inotify_add_watch(inotify_fd_, (root + kPowerDir).c_str(), IN_CLOSE_WRITE);
        watch_usb_ = inotify_add_watch(inotify_fd_, (root + kUsbDir).c_str(), IN_CLOSE_WRITE);
    }
    if (bad != 0 || fifo_fd_ < 0 || inotify_fd_ < 0 || event_fd_ < 0) {
        fprintf(stderr, "devsim: power nodes or wake FIFO not set up under %s\n", root.c_str());
        stop();
        return -1;
    }
    control_ = std::make_unique<ControlRegistration>(
        "power", [this](const std::string &c, const std::string &a, std::string *why) { return command(c, a, why); });
    thread_ = std::thread(&PowerPeer::run, this);
    return 0;
}

void PowerPeer::stop() {
    control_.reset();
    stopping_ = true;
    if (event_fd_ >= 0) {
        uint64_t one = 1;
        (void)!write(event_fd_, &one, sizeof one);
    }
    if (thread_.joinable()) thread_.join();
    for (int *fd : {&fifo_fd_, &inotify_fd_, &log_fd_, &event_fd_}) {
        if (*fd >= 0) close(*fd);
        *fd = -1;
    }
}

void PowerPeer::log(const std::string &line) {
    if (log_fd_ < 0) return;
    const std::string l = std::to_string(devsim_wall_ms()) + " " + line + "\n";
    (void)!write(log_fd_, l.data(), l.size());
}

int PowerPeer::fifo_write(const std::string &bytes, std::string *why) {
    ssize_t n = write(fifo_fd_, bytes.data(), bytes.size());
    if (n != static_cast<ssize_t>(bytes.size())) {
        *why = "FIFO full or closed";
        return -1;
    }
    return 0;
}

int PowerPeer::command(const std::string &cmd, const std::string &args, std::string *why) {
    std::lock_guard<std::mutex> lk(mu_);
    const std::vector<std::string> w = control_words(args);
    int r = -1;
    if (cmd == "wake") {
        if (args.empty()) {
            *why = "wake <text>";
            return -1;
        }
        r = fifo_write(args, why);
    } else if (cmd == "raw") {
        if (args.empty() || args.size() % 2 != 0 || args.size() > 512) {
            *why = "raw <hex bytes>";
            return -1;
        }
        std::string b;
        for (size_t i = 0; i < args.size(); i += 2) {
            int h = hexval(args[i]), l = hexval(args[i + 1]);
            if (h < 0 || l < 0) {
                *why = "raw <hex bytes>";
                return -1;
            }
            b.push_back(static_cast<char>(h * 16 + l));
        }
        r = fifo_write(b, why);
    } else if (cmd == "burst") {
        long n = 0;
        if (w.size() != 2 || w[0].empty() || w[0].size() > 4 || !parse_long(w[1], 1, 1000, &n)) {
            *why = "burst <id> <1..1000>";
            return -1;
        }
        std::string b;
        for (long i = 0; i < n; ++i) b += w[0];
        r = fifo_write(b, why);
    } else if (cmd == "partial") {
        long ms = 0;
        if (w.size() != 2 || w[0].size() > 64 || !parse_long(w[1], 0, 1000, &ms)) {
            *why = "partial <text> <0..1000 ms>";
            return -1;
        }
        r = 0;
        for (size_t i = 0; i < w[0].size() && r == 0; ++i) {
            if (i > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
            r = fifo_write(w[0].substr(i, 1), why);
        }
    } else if (cmd == "battery") {
        const std::string hex = w.size() == 1 ? power_bakbat_hex(w[0]) : "";
        if (hex.empty()) {
            *why = "battery main|backup";
            return -1;
        }
        int fd = open((root_ + "/var/host/control").c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            *why = "host control channel not open";
            return -1;
        }
        const std::string line = "bakbat " + hex + "\n";
        ssize_t n = write(fd, line.data(), line.size());
        close(fd);
        if (n != static_cast<ssize_t>(line.size())) {
            *why = "host control channel refused the line";
            return -1;
        }
        r = 0;
    } else {
        *why = "unknown command";
        return -1;
    }
    if (r == 0) log("C " + cmd + (args.empty() ? "" : " " + args));
    return r;
}

void PowerPeer::drain_writes() {
    alignas(struct inotify_event) char buf[4096];
    for (;;) {
        ssize_t r = read(inotify_fd_, buf, sizeof buf);
        if (r <= 0) return;
        for (ssize_t off = 0; off + static_cast<ssize_t>(sizeof(struct inotify_event)) <= r;) {
            const auto *ev = reinterpret_cast<const struct inotify_event *>(buf + off);
            off += static_cast<ssize_t>(sizeof(struct inotify_event) + ev->len);
            if (ev->len == 0 || (ev->mask & IN_CLOSE_WRITE) == 0) continue;
            const std::string name(ev->name, strnlen(ev->name, ev->len));
            // devsim's own files go through a temporary name.
            if (name.find(".tmp.") != std::string::npos) continue;
            const std::string dir = ev->wd == watch_power_ ? kPowerDir : ev->wd == watch_usb_ ? kUsbDir : "";
            if (dir.empty()) continue;
            std::string text;
            devsim_read_file(root_ + dir + "/" + name, 256, &text);
            std::lock_guard<std::mutex> lk(mu_);
            log("W " + name + " " + shown(text));
        }
    }
}

void PowerPeer::run() {
    while (!stopping_) {
        struct pollfd p[2] = {{inotify_fd_, POLLIN, 0}, {event_fd_, POLLIN, 0}};
        if (poll(p, 2, 1000) < 0 && errno != EINTR) break;
        if (p[1].revents & POLLIN) break;
        if (p[0].revents & POLLIN) drain_writes();
    }
}
