#include "host_control.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <thread>

namespace {

std::vector<std::string> words_of(const std::string &line) {
    std::vector<std::string> w;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
        size_t j = i;
        while (j < line.size() && line[j] != ' ' && line[j] != '\t') ++j;
        if (j > i) w.push_back(line.substr(i, j - i));
        i = j;
    }
    return w;
}

int hexval(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool parse_int(const std::string &s, long lo, long hi, long *out) {
    if (s.empty() || s.size() > 10) return false;
    char *end = nullptr;
    errno = 0;
    long v = strtol(s.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v < lo || v > hi) return false;
    *out = v;
    return true;
}

// A device path the agent resolves under its root: absolute, no "..".
bool device_path_ok(const std::string &p) {
    if (p.empty() || p[0] != '/' || p.size() > 255) return false;
    return p.find("/../") == std::string::npos && p.compare(p.size() >= 3 ? p.size() - 3 : 0, 3, "/..") != 0;
}

std::string number(int v) { return std::to_string(v); }

}  // namespace

bool host_control_hex(const std::string &text, size_t max, std::vector<uint8_t> *out) {
    out->clear();
    int hi = -1;
    for (char c : text) {
        if (c == ' ' || c == '\t') {
            if (hi >= 0) return false;  // a blank splitting a byte
            continue;
        }
        int v = hexval(c);
        if (v < 0) return false;
        if (hi < 0) {
            hi = v;
            continue;
        }
        if (out->size() >= max) return false;
        out->push_back(static_cast<uint8_t>(hi << 4 | v));
        hi = -1;
    }
    return hi < 0 && !out->empty();
}

std::string host_control_run(const HostControlOps &ops, const std::string &line, std::string *shown) {
    const std::vector<std::string> w = words_of(line);
    *shown = w.empty() ? "" : w[0];
    if (w.empty()) return "error: empty command";
    const std::string &cmd = w[0];
    if (cmd == "upgrade") {
        if (w.size() < 3) return "error: upgrade <type 0..2> <frame hex>";
        long type = 0;
        if (!parse_int(w[1], 0, 2, &type)) return "error: type must be 0, 1 or 2";
        const size_t at = line.find(w[1], line.find("upgrade") + 7) + w[1].size();
        std::vector<uint8_t> frame;
        if (!host_control_hex(line.substr(at), kHostControlFrameMax, &frame))
            return "error: frame must be hex byte pairs, at most " + number(static_cast<int>(kHostControlFrameMax)) +
                   " bytes";
        *shown = "upgrade " + w[1] + " (" + number(static_cast<int>(frame.size())) + " bytes)";
        if (ops.upgrade == nullptr) return "not available";
        return number(ops.upgrade(static_cast<int>(type), frame.data(), static_cast<int>(frame.size())));
    }
    if (cmd == "mcu_update") {
        if (w.size() != 3) return "error: mcu_update <port> <package path>";
        *shown = line.substr(line.find_first_not_of(" \t"));
        if (!device_path_ok(w[1]) || !device_path_ok(w[2])) return "error: paths must be absolute, without ..";
        if (ops.mcu_update == nullptr) return "not available";
        // Before the agent has opened its lines an update would share the
        // MCU port with the agent's own start.
        if (ops.mcu_ready != nullptr && ops.mcu_ready() == 0) return "refused: the agent's lines are not up yet";
        const int r = ops.mcu_update(w[1].c_str(), w[2].c_str());
        // The update leaves the MCU line to its caller: without it the phone
        // app, the key line and the watchdog feeds would go nowhere.
        if (ops.mcu_restore != nullptr && ops.mcu_restore() == 0) return number(r) + " (MCU line not reopened)";
        return number(r);
    }
    if (cmd == "bakbat") {
        std::vector<uint8_t> b;
        if (w.size() != 2 || w[1].size() != 12 || !host_control_hex(w[1], 6, &b) || b.size() != 6)
            return "error: bakbat <12 hex digits>";
        *shown = "bakbat " + w[1];
        if (ops.bakbat == nullptr) return "not available";
        memcpy(ops.bakbat, b.data(), 6);
        return "ok";
    }
    if (cmd == "gd32_update" || cmd == "display_update") {
        if (w.size() != 1) return "error: " + cmd + " takes no arguments";
        int (*fn)(void) = cmd == "gd32_update" ? ops.gd32_update : ops.display_update;
        if (fn == nullptr) return "not available";
        return number(fn());
    }
    if (cmd == "motor_update") {
        long id = 0;
        if (w.size() != 2 || !parse_int(w[1], 0, 255, &id)) return "error: motor_update <controller id 0..255>";
        *shown = "motor_update " + w[1];
        if (ops.motor_update == nullptr) return "not available";
        return number(ops.motor_update(static_cast<int>(id)));
    }
    return "error: unknown command";
}

HostControlOps host_control_resolve(void *lib) {
    HostControlOps o;
    if (lib == nullptr) return o;
    o.upgrade = reinterpret_cast<int (*)(int, const unsigned char *, int)>(dlsym(lib, "handle_hostcore_upgrade_task"));
    o.mcu_update = reinterpret_cast<int (*)(const char *, const char *)>(dlsym(lib, "uart_mcu_update"));
    o.mcu_ready = reinterpret_cast<int (*)(void)>(dlsym(lib, "uart_mcu_link_ready"));
    o.mcu_restore = reinterpret_cast<int (*)(void)>(dlsym(lib, "uart_mcu_link_restore"));
    o.bakbat = reinterpret_cast<unsigned char *>(dlsym(lib, "mBakBatInfo"));
    o.gd32_update = reinterpret_cast<int (*)(void)>(dlsym(lib, "handle_ota_gd_task"));
    o.display_update = reinterpret_cast<int (*)(void)>(dlsym(lib, "handle_ota_diaplay_task"));
    o.motor_update = reinterpret_cast<int (*)(int)>(dlsym(lib, "handle_ota_motor_task"));
    return o;
}

int host_control_start(const std::string &root, const HostControlOps &ops) {
    const std::string dir = root + "/var/host";
    mkdir((root + "/var").c_str(), 0755);
    mkdir(dir.c_str(), 0755);
    const std::string path = dir + "/control";
    struct stat st {};
    if (lstat(path.c_str(), &st) == 0 && !S_ISFIFO(st.st_mode)) unlink(path.c_str());
    if (mkfifo(path.c_str(), 0600) != 0 && errno != EEXIST) return -1;
    // Read and write: the FIFO never reads as ended between two writers.
    int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) return -1;
    std::thread([fd, ops] {
        pthread_setname_np(pthread_self(), "host-control");
        std::string buf;
        bool overlong = false;
        char chunk[1024];
        for (;;) {
            ssize_t n = read(fd, chunk, sizeof chunk);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return;
            for (ssize_t i = 0; i < n; ++i) {
                const char c = chunk[i];
                if (c != '\n') {
                    if (buf.size() < kHostControlLineMax) {
                        buf.push_back(c);
                    } else {
                        overlong = true;
                    }
                    continue;
                }
                if (!buf.empty() && buf.back() == '\r') buf.pop_back();
                std::string shown;
                const std::string result = overlong ? "error: line longer than " +
                                                          std::to_string(kHostControlLineMax) + " characters"
                                                    : host_control_run(ops, buf, &shown);
                if (!buf.empty() || overlong) {
                    fprintf(stderr, "[host] control: %s -> %s\n", shown.c_str(), result.c_str());
                }
                buf.clear();
                overlong = false;
            }
        }
    }).detach();
    return 0;
}

bool host_is_upgrade_frame(const unsigned char *msg, int len) {
    if (msg == nullptr || len < 11 || msg[0] != 0x02 || msg[len - 1] != 0x03) return false;
    const int n = msg[5] | msg[6] << 8;
    if (n + 10 != len) return false;
    const int id = msg[3] | msg[4] << 8;
    return id == 0x0007 && msg[1] == 0x06 && (msg[7] == 0x08 || msg[7] == 0x10);
}
