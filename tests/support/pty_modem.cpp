#include "support/pty_modem.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <utility>

PtyModem::PtyModem(const std::string &link, ModemScript script, bool echo)
    : script_(std::move(script)), echo_(echo), link_(link) {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return;
    const char *name = ptsname(master_);
    if (name == nullptr) return;
    // Our own slave fd keeps the line up while the agent opens and closes it.
    slave_ = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave_ < 0) return;
    struct termios t {};
    if (tcgetattr(slave_, &t) != 0) return;
    cfmakeraw(&t);
    if (tcsetattr(slave_, TCSANOW, &t) != 0) return;
    if (pipe2(wake_, O_CLOEXEC) != 0) return;
    unlink(link_.c_str());
    const std::string dir = link_.substr(0, link_.rfind('/'));
    for (size_t i = 1; i <= dir.size(); ++i) {  // parent directories, one by one
        if (i == dir.size() || dir[i] == '/') mkdir(dir.substr(0, i).c_str(), 0755);
    }
    if (symlink(name, link_.c_str()) != 0) return;
    ok_ = true;
    thread_ = std::thread([this] { run(); });
}

PtyModem::~PtyModem() {
    if (wake_[1] >= 0) {
        char c = 'q';
        ssize_t w = write(wake_[1], &c, 1);
        (void)w;
    }
    if (thread_.joinable()) thread_.join();
    if (ok_) unlink(link_.c_str());
    for (int fd : {master_, slave_, wake_[0], wake_[1]}) {
        if (fd >= 0) close(fd);
    }
}

std::vector<std::string> PtyModem::commands() const {
    std::lock_guard<std::mutex> hold(mu_);
    return commands_;
}

std::string PtyModem::received() const {
    std::lock_guard<std::mutex> hold(mu_);
    return received_;
}

void PtyModem::run() {
    std::string line;
    bool skip_lf = false;
    for (;;) {
        struct pollfd p[2] = {{master_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        int n = poll(p, 2, -1);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 || (p[1].revents & POLLIN)) return;
        if (!(p[0].revents & POLLIN)) continue;
        char buf[1024];
        ssize_t r = read(master_, buf, sizeof buf);
        if (r <= 0) continue;
        {
            std::lock_guard<std::mutex> hold(mu_);
            received_.append(buf, static_cast<size_t>(r));
        }
        if (echo_) {
            ssize_t w = write(master_, buf, static_cast<size_t>(r));
            (void)w;
        }
        for (ssize_t i = 0; i < r; ++i) {
            const char c = buf[i];
            if (c == '\n' && skip_lf) {
                skip_lf = false;
                continue;
            }
            skip_lf = false;
            if (c != '\r' && c != '\n') {
                line += c;
                continue;
            }
            skip_lf = c == '\r';
            const std::string cmd = line;
            line.clear();
            {
                std::lock_guard<std::mutex> hold(mu_);
                commands_.push_back(cmd);
            }
            for (const ModemChunk &ch : script_(cmd)) {
                if (ch.delay_ms > 0) {
                    struct pollfd w {wake_[0], POLLIN, 0};
                    if (poll(&w, 1, ch.delay_ms) > 0) return;  // stopping
                }
                size_t off = 0;
                while (off < ch.bytes.size()) {
                    ssize_t w = write(master_, ch.bytes.data() + off, ch.bytes.size() - off);
                    if (w < 0 && errno == EINTR) continue;
                    if (w <= 0) break;
                    off += static_cast<size_t>(w);
                }
                chunks_sent_.fetch_add(1);
            }
        }
    }
}

std::string modem_answer(const std::string &text) { return "\r\n" + text + "\r\n\r\nOK\r\n"; }
