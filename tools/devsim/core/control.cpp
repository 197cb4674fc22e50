#include "core/control.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <mutex>

#include "core/devsim_files.h"

namespace {

struct ControlState {
    std::mutex mu;  // registrations may come from peer threads
    std::map<std::string, ControlHandler> handlers;
    int read_fd = -1;
    int keep_fd = -1;  // our own writer: the read end never sees end-of-file
    std::string fifo;
    std::string log;
    std::string pending;
    bool overflow = false;  // dropping the rest of an overlong line
};

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

ControlState &state() {
    static ControlState s;
    return s;
}

}  // namespace

int control_register(const std::string &module, ControlHandler handler) {
    ControlState &s = state();
    std::lock_guard<std::mutex> hold(s.mu);
    if (module.empty() || !handler || s.handlers.count(module) != 0) return -1;
    s.handlers[module] = std::move(handler);
    return 0;
}

void control_unregister(const std::string &module) {
    ControlState &s = state();
    std::lock_guard<std::mutex> hold(s.mu);
    s.handlers.erase(module);
}

ControlRegistration::ControlRegistration(const std::string &module, ControlHandler handler)
    : module_(module), registered_(control_register(module, std::move(handler)) == 0) {}

ControlRegistration::~ControlRegistration() {
    if (registered_) control_unregister(module_);
}

std::vector<std::string> control_words(const std::string &line) {
    std::vector<std::string> out;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && is_blank(line[i])) ++i;
        size_t j = i;
        while (j < line.size() && !is_blank(line[j])) ++j;
        if (j > i) out.push_back(line.substr(i, j - i));
        i = j;
    }
    return out;
}

std::string control_rest(const std::string &line, size_t skip) {
    size_t i = 0;
    for (size_t w = 0; w < skip; ++w) {
        while (i < line.size() && is_blank(line[i])) ++i;
        while (i < line.size() && !is_blank(line[i])) ++i;
    }
    while (i < line.size() && is_blank(line[i])) ++i;
    size_t j = line.size();
    while (j > i && is_blank(line[j - 1])) --j;
    return line.substr(i, j - i);
}

int control_open(const std::string &root) {
    control_close();
    ControlState &s = state();
    const std::string dir = root + "/var/devsim";
    if (devsim_mkdirs(dir) != 0) return -1;
    const std::string fifo = dir + "/control";
    unlink(fifo.c_str());
    if (mkfifo(fifo.c_str(), 0622) != 0) return -1;
    const int rfd = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (rfd < 0) return -1;
    const int wfd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (wfd < 0) {
        close(rfd);
        return -1;
    }
    std::lock_guard<std::mutex> hold(s.mu);
    s.read_fd = rfd;
    s.keep_fd = wfd;
    s.fifo = fifo;
    s.log = dir + "/control.log";
    s.pending.clear();
    s.overflow = false;
    return rfd;
}

int control_fd() {
    ControlState &s = state();
    std::lock_guard<std::mutex> hold(s.mu);
    return s.read_fd;
}

void control_close() {
    ControlState &s = state();
    std::lock_guard<std::mutex> hold(s.mu);
    if (s.read_fd >= 0) close(s.read_fd);
    if (s.keep_fd >= 0) close(s.keep_fd);
    if (!s.fifo.empty()) unlink(s.fifo.c_str());
    s.read_fd = s.keep_fd = -1;
    s.fifo.clear();
    s.log.clear();
    s.pending.clear();
}

int control_dispatch(const std::string &line) {
    ControlState &s = state();
    const std::vector<std::string> words = control_words(line);
    ControlHandler handler;
    std::string log;
    {
        std::lock_guard<std::mutex> hold(s.mu);
        log = s.log;
        if (!words.empty()) {
            auto it = s.handlers.find(words[0]);
            if (it != s.handlers.end()) handler = it->second;
        }
    }
    int rc = -2;
    std::string why;
    if (handler) {
        const std::string cmd = words.size() > 1 ? words[1] : std::string();
        rc = handler(cmd, control_rest(line, 2), &why) == 0 ? 0 : -1;
    }
    if (!log.empty()) {
        const std::string what = rc == 0 ? "ok" : rc == -1 ? "error: " + why : "unknown module";
        devsim_append_file(log, line + " -> " + what + "\n");
    }
    return rc;
}

void control_service() {
    ControlState &s = state();
    std::vector<std::string> lines;
    {
        std::lock_guard<std::mutex> hold(s.mu);
        if (s.read_fd < 0) return;
        char buf[1024];
        for (;;) {
            ssize_t r = read(s.read_fd, buf, sizeof buf);
            if (r < 0 && errno == EINTR) continue;
            if (r <= 0) break;
            for (ssize_t i = 0; i < r; ++i) {
                const char c = buf[i];
                if (c == '\n') {
                    if (!s.overflow && !s.pending.empty()) lines.push_back(s.pending);
                    s.pending.clear();
                    s.overflow = false;
                } else if (!s.overflow) {
                    if (s.pending.size() >= kControlLineMax) {
                        s.overflow = true;
                        s.pending.clear();
                    } else {
                        s.pending += c;
                    }
                }
            }
        }
    }
    // Handlers run without our lock: they may register or log themselves.
    for (const std::string &l : lines) control_dispatch(l);
}
