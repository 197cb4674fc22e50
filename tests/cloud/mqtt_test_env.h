#pragma once
// Test surroundings of the MQTT session: a mosquitto broker on a free loopback
// port (password file, full log, stop and restart on the same port), a second
// client (mosquitto_sub / mosquitto_pub), a relay that can hold or cut the
// broker's bytes, and a capture of this process's console.  Header-only so the
// MQTT benchmark uses the same pieces.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/stdout_capture.h"

namespace mqtt_test {

// Identity and credentials the simulated box is provisioned with.
inline constexpr const char *kImei = "866123045678901";
inline constexpr const char *kUser = "ebikeiot";
inline constexpr const char *kPass = "hQ4rusLent";

inline int64_t now_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

inline int64_t now_us() {
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

inline void sleep_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

template <class F>
bool poll_until(F cond, int timeout_ms) {
    const int64_t end = now_ms() + timeout_ms;
    for (;;) {
        if (cond()) return true;
        if (now_ms() >= end) return cond();
        sleep_ms(5);
    }
}

inline std::string read_file(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

inline size_t count_of(const std::string &hay, const std::string &needle) {
    size_t n = 0;
    for (size_t p = hay.find(needle); p != std::string::npos; p = hay.find(needle, p + needle.size())) ++n;
    return n;
}

inline std::string find_program(const std::string &name) {
    const char *path = getenv("PATH");
    std::string dirs = std::string(path ? path : "") + ":/usr/sbin:/usr/bin:/sbin";
    std::stringstream ss(dirs);
    std::string d;
    while (std::getline(ss, d, ':')) {
        if (d.empty()) continue;
        const std::string p = d + "/" + name;
        if (access(p.c_str(), X_OK) == 0) return p;
    }
    return {};
}

inline std::string temp_dir(const char *prefix) {
    const char *tmp = getenv("TMPDIR");
    std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/" + prefix + "-XXXXXX";
    if (mkdtemp(tmpl.data()) == nullptr) return {};
    return tmpl;
}

inline bool port_accepts(int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    close(fd);
    return ok;
}

// Bound and listening loopback socket on a port the kernel picks; -1 on failure.
inline int listen_loopback(int *port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(fd, 16) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) != 0) {
        close(fd);
        return -1;
    }
    *port = ntohs(a.sin_port);
    return fd;
}

inline int free_loopback_port() {
    int port = 0;
    int fd = listen_loopback(&port);
    if (fd < 0) return 0;
    close(fd);
    return port;
}

// Starts argv in a process group of its own, stdin from /dev/null, stdout and
// stderr to `out_fd` (or appended to `out_path`).  Everything is prepared
// before fork: the library's threads may hold locks in the child.
inline pid_t spawn(const std::vector<std::string> &argv, const std::string &out_path, int out_fd = -1) {
    std::vector<char *> av;
    for (const auto &a : argv) av.push_back(const_cast<char *>(a.c_str()));
    av.push_back(nullptr);
    int out = out_fd >= 0 ? out_fd : open(out_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (out < 0 || in < 0) {
        if (out >= 0 && out_fd < 0) close(out);
        if (in >= 0) close(in);
        return -1;
    }
    pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        dup2(in, 0);
        dup2(out, 1);
        dup2(out, 2);
        execv(av[0], av.data());
        _exit(127);
    }
    if (pid > 0) setpgid(pid, pid);
    if (out_fd < 0) close(out);
    close(in);
    return pid;
}

// Exit status of pid within timeout_ms (128+signal when killed), -1 if still running.
inline int wait_exit(pid_t pid, int timeout_ms) {
    const int64_t end = now_ms() + timeout_ms;
    for (;;) {
        int st = 0;
        pid_t r = waitpid(pid, &st, WNOHANG);
        if (r == pid) return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        if (r < 0) return 255;
        if (now_ms() >= end) return -1;
        sleep_ms(2);
    }
}

inline void stop_process(pid_t pid, int sig = SIGTERM) {
    if (pid <= 0) return;
    kill(pid, sig);
    if (wait_exit(pid, 3000) == -1) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
}

// Runs a program to completion; exit status, -1 on timeout (then killed).
inline int run_program(const std::vector<std::string> &argv, std::string *out, int timeout_ms) {
    const std::string dir = temp_dir("telagent-run");
    const std::string path = dir + "/out";
    pid_t pid = spawn(argv, path);
    int rc = pid < 0 ? -1 : wait_exit(pid, timeout_ms);
    if (pid > 0 && rc == -1) stop_process(pid, SIGKILL);
    if (out) *out = read_file(path);
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return rc;
}

// mosquitto on 127.0.0.1, user kUser / kPass only, every event logged.
// `listener_extra` goes under the listener line (the TLS settings of a test).
class Broker {
public:
    explicit Broker(const std::string &user = kUser, const std::string &pass = kPass,
                    const std::string &listener_extra = "")
        : listener_extra_(listener_extra) {
        mosquitto_ = find_program("mosquitto");
        const std::string passwd_tool = find_program("mosquitto_passwd");
        if (mosquitto_.empty() || passwd_tool.empty()) {
            error_ = "mosquitto is not installed (make deps installs it)";
            return;
        }
        dir_ = temp_dir("telagent-mqtt");
        if (dir_.empty()) {
            error_ = "mkdtemp failed";
            return;
        }
        chmod(dir_.c_str(), 0755);
        std::string out;
        if (run_program({passwd_tool, "-b", "-c", dir_ + "/passwd", user, pass}, &out, 10000) != 0) {
            error_ = "mosquitto_passwd failed: " + out;
            return;
        }
        // The broker drops root for its own user, which must still read the file.
        chmod((dir_ + "/passwd").c_str(), 0644);
        for (int attempt = 0; attempt < 3 && pid_ < 0; ++attempt) {
            port_ = free_loopback_port();
            if (start() != 0) pid_ = -1;
        }
        if (pid_ < 0) error_ = "mosquitto did not start: " + log() + read_file(dir_ + "/mosquitto.out");
    }
    ~Broker() {
        stop();
        if (!dir_.empty()) {
            std::error_code ec;
            std::filesystem::remove_all(dir_, ec);
        }
    }
    Broker(const Broker &) = delete;
    Broker &operator=(const Broker &) = delete;

    bool ok() const { return error_.empty(); }
    const std::string &error() const { return error_; }
    int port() const { return port_; }
    std::string log() const { return read_file(dir_ + "/mosquitto.log"); }
    bool running() const { return pid_ > 0; }

    // Starts (again) on the same port; 0 once it accepts connections.
    int start() {
        if (pid_ > 0) return 0;
        // As root the broker would switch to its own user, which can write
        // nothing here; its log file is written line by line, stdout is not.
        std::ofstream(dir_ + "/mosquitto.conf", std::ios::trunc)
            << (geteuid() == 0 ? "user root\n" : "") << "listener " << port_ << " 127.0.0.1\n"
            << listener_extra_ << "allow_anonymous false\n"
            << "password_file " << dir_ << "/passwd\n"
            << "persistence false\n"
            << "log_dest file " << dir_ << "/mosquitto.log\nlog_type all\nconnection_messages true\n";
        pid_ = spawn({mosquitto_, "-c", dir_ + "/mosquitto.conf"}, dir_ + "/mosquitto.out");
        if (pid_ < 0) return -1;
        bool exited = false;
        poll_until([&] { return port_accepts(port_) || (exited = wait_exit(pid_, 0) != -1); }, 5000);
        if (exited || !port_accepts(port_)) {
            if (!exited) stop_process(pid_, SIGKILL);
            pid_ = -1;
            return -1;
        }
        return 0;
    }
    // SIGTERM: the broker closes every connection and ends.
    void stop() {
        if (pid_ > 0) stop_process(pid_);
        pid_ = -1;
    }
    int restart() {
        stop();
        return start();
    }

private:
    std::string listener_extra_;
    std::string mosquitto_;
    std::string dir_;
    std::string error_;
    pid_t pid_ = -1;
    int port_ = 0;
};

// A second client subscribed through mosquitto_sub; every message becomes one
// line "topic|qos|retain|hex payload".
class Subscriber {
public:
    Subscriber(int port, const std::vector<std::string> &filters, const std::string &user = kUser,
               const std::string &pass = kPass) {
        const std::string prog = find_program("mosquitto_sub");
        ready_topic_ = "telagent-test/ready/" + std::to_string(getpid()) + "/" + std::to_string(now_ms());
        std::vector<std::string> argv = {prog, "-h", "127.0.0.1", "-p", std::to_string(port), "-u", user,
                                         "-P", pass, "-q", "2", "-F", "%t|%q|%r|%x", "-t", ready_topic_};
        for (const auto &f : filters) {
            argv.push_back("-t");
            argv.push_back(f);
        }
        int fds[2];
        if (prog.empty() || pipe2(fds, O_CLOEXEC) != 0) return;
        pid_ = spawn(argv, "", fds[1]);
        close(fds[1]);
        rfd_ = fds[0];
        reader_ = std::thread([this] { read_loop(); });
        // Subscribed once a message on the ready topic comes back.
        ready_ = poll_until(
            [&] {
                publish(port, ready_topic_, "x", false, user, pass);
                return wait_for([&](const std::string &l) { return l.rfind(ready_topic_ + "|", 0) == 0; }, 300);
            },
            10000);
    }
    ~Subscriber() {
        stop_process(pid_);
        if (reader_.joinable()) reader_.join();
        if (rfd_ >= 0) close(rfd_);
    }
    Subscriber(const Subscriber &) = delete;
    Subscriber &operator=(const Subscriber &) = delete;

    bool ready() const { return ready_; }
    // Lines received so far, the ready topic's left out.
    std::vector<std::string> lines() const {
        std::lock_guard<std::mutex> lk(mu_);
        std::vector<std::string> out;
        for (const auto &l : lines_) {
            if (l.rfind(ready_topic_ + "|", 0) != 0) out.push_back(l);
        }
        return out;
    }
    bool wait_for(const std::function<bool(const std::string &)> &pred, int timeout_ms) const {
        return poll_until(
            [&] {
                std::lock_guard<std::mutex> lk(mu_);
                for (const auto &l : lines_) {
                    if (pred(l)) return true;
                }
                return false;
            },
            timeout_ms);
    }
    bool wait_line(const std::string &line, int timeout_ms) const {
        return wait_for([&](const std::string &l) { return l == line; }, timeout_ms);
    }
    // Arrival time (steady clock, microseconds) of the first line equal to `line`, or -1.
    int64_t arrival(const std::string &line) const {
        std::lock_guard<std::mutex> lk(mu_);
        for (size_t i = 0; i < lines_.size(); ++i) {
            if (lines_[i] == line) return times_[i];
        }
        return -1;
    }

    static int publish(int port, const std::string &topic, const std::string &payload, bool empty,
                       const std::string &user = kUser, const std::string &pass = kPass) {
        std::vector<std::string> argv = {find_program("mosquitto_pub"), "-h", "127.0.0.1", "-p",
                                         std::to_string(port), "-u", user, "-P", pass, "-q", "1", "-t", topic};
        if (empty) {
            argv.push_back("-n");
        } else {
            argv.push_back("-m");
            argv.push_back(payload);
        }
        std::string out;
        return run_program(argv, &out, 10000);
    }

private:
    void read_loop() {
        std::string pending;
        char buf[4096];
        for (;;) {
            ssize_t n = read(rfd_, buf, sizeof buf);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            pending.append(buf, static_cast<size_t>(n));
            size_t nl;
            while ((nl = pending.find('\n')) != std::string::npos) {
                std::lock_guard<std::mutex> lk(mu_);
                lines_.push_back(pending.substr(0, nl));
                times_.push_back(now_us());
                pending.erase(0, nl + 1);
            }
        }
    }

    pid_t pid_ = -1;
    int rfd_ = -1;
    bool ready_ = false;
    std::string ready_topic_;
    std::thread reader_;
    mutable std::mutex mu_;
    std::vector<std::string> lines_;
    std::vector<int64_t> times_;
};

inline std::string hex_of(const std::string &bytes) {
    static const char *d = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out.push_back(d[c >> 4]);
        out.push_back(d[c & 15]);
    }
    return out;
}

// A TCP relay between the agent and the broker.  hold(true) keeps every byte
// the broker sends (CONNACK, SUBACK, PUBACK, messages) until hold(false);
// cut() drops every connection at once, as a dead radio link would.
class Relay {
public:
    explicit Relay(int broker_port) : broker_port_(broker_port) {
        lfd_ = listen_loopback(&port_);
        if (lfd_ < 0 || pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) return;
        thread_ = std::thread([this] { run(); });
    }
    ~Relay() {
        stop_.store(true);
        poke();
        if (thread_.joinable()) thread_.join();
        for (auto &p : pairs_) close_pair(p);
        if (lfd_ >= 0) close(lfd_);
        for (int fd : wake_) {
            if (fd >= 0) close(fd);
        }
    }
    Relay(const Relay &) = delete;
    Relay &operator=(const Relay &) = delete;

    bool ok() const { return lfd_ >= 0 && thread_.joinable(); }
    int port() const { return port_; }
    void hold(bool on) {
        hold_.store(on);
        poke();
    }
    // Refuse new connections (accepted and closed at once) while set.
    void refuse(bool on) { refuse_.store(on); }
    void cut() {
        cut_.store(true);
        poke();
        poll_until([&] { return !cut_.load(); }, 2000);
    }
    int accepted() const { return accepted_.load(); }
    long upstream_bytes() const { return up_bytes_.load(); }

private:
    struct Pair {
        int client = -1;
        int broker = -1;
        std::string held;  // broker -> client bytes kept while holding
    };
    static void close_pair(Pair &p) {
        if (p.client >= 0) close(p.client);
        if (p.broker >= 0) close(p.broker);
        p.client = p.broker = -1;
    }
    void poke() {
        char c = 1;
        if (wake_[1] >= 0) (void)!write(wake_[1], &c, 1);
    }
    static bool send_all(int fd, const char *p, size_t n) {
        while (n > 0) {
            ssize_t w = send(fd, p, n, MSG_NOSIGNAL);
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) return false;
            p += w;
            n -= static_cast<size_t>(w);
        }
        return true;
    }
    void run() {
        while (!stop_.load()) {
            if (cut_.load()) {
                for (auto &p : pairs_) close_pair(p);
                pairs_.clear();
                cut_.store(false);
            }
            std::vector<pollfd> pf;
            pf.push_back({wake_[0], POLLIN, 0});
            pf.push_back({lfd_, POLLIN, 0});
            for (auto &p : pairs_) {
                pf.push_back({p.client, POLLIN, 0});
                pf.push_back({p.broker, POLLIN, 0});
            }
            if (poll(pf.data(), pf.size(), 100) < 0 && errno != EINTR) break;
            if (pf[0].revents) {
                char b[64];
                while (read(wake_[0], b, sizeof b) > 0) {
                }
            }
            std::vector<Pair> fresh;  // polled from the next round on
            if (pf[1].revents & POLLIN) {
                int c = accept4(lfd_, nullptr, nullptr, SOCK_CLOEXEC);
                if (c >= 0) {
                    accepted_.fetch_add(1);
                    int b = refuse_.load() ? -1 : socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
                    sockaddr_in a{};
                    a.sin_family = AF_INET;
                    a.sin_port = htons(static_cast<uint16_t>(broker_port_));
                    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
                    if (b >= 0 && connect(b, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0) {
                        fresh.push_back(Pair{c, b, {}});
                    } else {
                        if (b >= 0) close(b);
                        close(c);
                    }
                }
            }
            std::vector<Pair> keep;
            for (size_t i = 0; i < pairs_.size(); ++i) {
                Pair &p = pairs_[i];
                bool alive = true;
                char buf[65536];
                const short cr = pf[2 + 2 * i].revents;
                const short br = pf[3 + 2 * i].revents;
                if (cr & (POLLIN | POLLHUP | POLLERR)) {
                    ssize_t n = recv(p.client, buf, sizeof buf, 0);
                    if (n <= 0 || !send_all(p.broker, buf, static_cast<size_t>(n))) alive = false;
                    if (n > 0) up_bytes_.fetch_add(n);
                }
                if (alive && (br & (POLLIN | POLLHUP | POLLERR))) {
                    ssize_t n = recv(p.broker, buf, sizeof buf, 0);
                    if (n <= 0) {
                        alive = false;
                    } else {
                        p.held.append(buf, static_cast<size_t>(n));
                    }
                }
                if (alive && !hold_.load() && !p.held.empty()) {
                    alive = send_all(p.client, p.held.data(), p.held.size());
                    p.held.clear();
                }
                if (alive) {
                    keep.push_back(std::move(p));
                } else {
                    close_pair(p);
                }
            }
            for (auto &p : fresh) keep.push_back(std::move(p));
            pairs_.swap(keep);
        }
    }

    int broker_port_;
    int port_ = 0;
    int lfd_ = -1;
    int wake_[2] = {-1, -1};
    std::atomic<bool> stop_{false};
    std::atomic<bool> hold_{false};
    std::atomic<bool> refuse_{false};
    std::atomic<bool> cut_{false};
    std::atomic<int> accepted_{0};
    std::atomic<long> up_bytes_{0};
    std::vector<Pair> pairs_;
    std::thread thread_;
};

// This process's stdout into a file of a temporary folder of its own.
class ConsoleCapture {
public:
    ConsoleCapture() : dir_(temp_dir("telagent-console")), capture_(dir_ + "/console") {}
    ~ConsoleCapture() {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    ConsoleCapture(const ConsoleCapture &) = delete;
    ConsoleCapture &operator=(const ConsoleCapture &) = delete;

    std::string text() const { return capture_.text(); }
    bool wait_text(const std::string &needle, int timeout_ms) const {
        return poll_until([&] { return text().find(needle) != std::string::npos; }, timeout_ms);
    }

private:
    std::string dir_;
    StdoutCapture capture_;  // after dir_: the folder exists before the file opens
};

}  // namespace mqtt_test
