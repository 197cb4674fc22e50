// Simulation build of the system actions: record, never perform.
#include "platform/sys_action.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/plat_clock.h"
#include "platform/plat_path.h"

namespace {

bool read_small_file(const std::string &path, std::string &out) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char buf[4096];
    ssize_t n;
    out.clear();
    while ((n = read(fd, buf, sizeof buf)) > 0) {
        out.append(buf, static_cast<size_t>(n));
        if (out.size() > 65536) break;
    }
    close(fd);
    return true;
}

bool refused(const std::string &line) {
    std::string rules;
    if (!read_small_file(plat_path("/var/actions.refuse"), rules)) return false;
    size_t i = 0;
    while (i < rules.size()) {
        size_t j = rules.find('\n', i);
        if (j == std::string::npos) j = rules.size();
        std::string frag = rules.substr(i, j - i);
        while (!frag.empty() && (frag.back() == '\r' || frag.back() == ' ')) frag.pop_back();
        if (!frag.empty() && line.find(frag) != std::string::npos) return true;
        i = j + 1;
    }
    return false;
}

// Appends one line; returns false when the action is refused.
bool record(const char *action, const char *arg) {
    std::string line = action;
    if (arg != nullptr) {
        line += ' ';
        // One action, one line: a command with line breaks must not forge entries.
        for (const char *p = arg; *p; ++p) line += (*p == '\n' || *p == '\r') ? ' ' : *p;
    }
    bool refuse = refused(line);
    std::string out = std::to_string(static_cast<long long>(plat_now())) + ' ' + line;
    if (refuse) out += " [refused]";
    out += '\n';
    if (plat_root_usable()) {
        std::string dir = plat_path("/var");
        mkdir(dir.c_str(), 0777);
        int fd = open(plat_path("/var/actions.log").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (fd >= 0) {
            ssize_t w = write(fd, out.data(), out.size());
            (void)w;
            close(fd);
        }
    }
    return !refuse;
}

}  // namespace

void sys_sync() {}

int sys_reboot() {
    if (!record("reboot", nullptr)) return -1;
    fflush(stdout);
    _exit(0);
}

int sys_poweroff() {
    if (!record("poweroff", nullptr)) return -1;
    fflush(stdout);
    _exit(0);
}

int sys_set_time(time_t seconds) {
    if (!record("settime", std::to_string(static_cast<long long>(seconds)).c_str())) return -1;
    plat_clock_shift_to(seconds);
    return 0;
}

int sys_shell(const char *command) {
    if (command == nullptr) return -1;
    if (!record("shell", command)) return 1 << 8;
    return 0;
}

void sys_exit(int status) {
    record("exit", std::to_string(status).c_str());
    fflush(stdout);
    exit(status);
}

int sys_disk_space(const char *device_path, unsigned long long *free_bytes,
                   unsigned long long *total_bytes) {
    struct statvfs st {};
    if (statvfs(plat_path(device_path ? device_path : "/").c_str(), &st) != 0) return -1;
    unsigned long long fr = static_cast<unsigned long long>(st.f_bsize) * st.f_bavail;
    unsigned long long tot = static_cast<unsigned long long>(st.f_bsize) * st.f_blocks;
    std::string text;
    if (read_small_file(plat_path("/var/sim/disk_free"), text)) {
        char *end = nullptr;
        unsigned long long v = strtoull(text.c_str(), &end, 10);
        if (end != text.c_str()) fr = v;
    }
    if (free_bytes) *free_bytes = fr;
    if (total_bytes) *total_bytes = tot;
    return 0;
}
