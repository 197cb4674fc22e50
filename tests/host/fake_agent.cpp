// Stand-in for libTelAgent.so in the host's tests.  Each call_iotmain appends
//     lib=<lib_path> cwd=<cwd> pid=<pid> pgid=<pgid>
// to var/fake/calls.log and then does what the root tells it:
//   var/fake/once  one command, consumed when read (checked at start and every 20 ms)
//   var/fake/mode  the standing command at start (default "loop")
//   var/fake/mode.<file name of the library>  the same for one library only
// Commands: "exit N", "reboot" (through the platform seam), "segv", "loop"
// (runs and, as a working agent does once online, writes the health marker),
// "offline" (runs and never marks), "spawn" (leaves a child that ignores
// SIGTERM, pid in var/fake/child_pid).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/plat_path.h"
#include "platform/sys_action.h"
#include "telagent/export.h"
#include "telagent/iotsdk.h"

namespace {

std::string read_file(const std::string &path, bool *found) {
    *found = false;
    FILE *f = fopen(path.c_str(), "re");
    if (f == nullptr) return {};
    *found = true;
    char buf[256];
    size_t n = fread(buf, 1, sizeof buf - 1, f);
    fclose(f);
    std::string s(buf, n);
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ')) s.pop_back();
    return s;
}

void append(const std::string &device_path, const std::string &line) {
    mkdir(plat_path("/var/fake").c_str(), 0755);
    int fd = open(plat_path(device_path).c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return;
    ssize_t w = write(fd, line.data(), line.size());
    (void)w;
    close(fd);
}

void spawn_child() {
    pid_t c = fork();
    if (c == 0) {
        signal(SIGTERM, SIG_IGN);
        for (;;) pause();
    }
    append("/var/fake/child_pid", std::to_string(c) + "\n");
}

std::string g_lib;

void mark_online() {
    const std::string path = plat_path(TELAGENT_HEALTH_FILE);
    mkdir(plat_path("/var/run").c_str(), 0755);
    const std::string tmp = path + ".tmp";
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return;
    const std::string text = g_lib + "\n";
    ssize_t w = write(fd, text.data(), text.size());
    (void)w;
    close(fd);
    rename(tmp.c_str(), path.c_str());
}

void act(const std::string &cmd) {
    if (cmd.rfind("exit ", 0) == 0) {
        fflush(stdout);
        _exit(atoi(cmd.c_str() + 5));
    } else if (cmd == "reboot") {
        if (sys_reboot() != 0) printf("fake: reboot refused\n");
    } else if (cmd == "segv") {
        // A crash with nobody catching it (a sanitizer runtime would otherwise).
        signal(SIGSEGV, SIG_DFL);
        raise(SIGSEGV);
    } else if (cmd == "spawn") {
        spawn_child();
    } else if (cmd == "loop") {
        mark_online();
    }
}

}  // namespace

extern "C" TELAGENT_API void call_iotmain(const char *lib_path) {
    // As the agent does: a polite stop request is not enough to end it.
    signal(SIGTERM, SIG_IGN);
    char cwd[1024] = "?";
    if (getcwd(cwd, sizeof cwd) == nullptr) cwd[0] = '?';
    append("/var/fake/calls.log", std::string("lib=") + lib_path + " cwd=" + cwd + " pid=" +
                                      std::to_string(getpid()) + " pgid=" + std::to_string(getpgid(0)) + "\n");
    // Deliberately no fflush: the line shows only if the host made stdout line-buffered.
    printf("fake: running %s\n", lib_path);
    g_lib = lib_path != nullptr ? lib_path : "";

    bool found = false;
    std::string once = read_file(plat_path("/var/fake/once"), &found);
    if (found) {
        unlink(plat_path("/var/fake/once").c_str());
        act(once);
    } else {
        // A standing command for this library file alone wins over the common one.
        const std::string lib(lib_path != nullptr ? lib_path : "");
        const std::string base = lib.substr(lib.rfind('/') + 1);
        std::string mode = read_file(plat_path("/var/fake/mode." + base), &found);
        if (!found) mode = read_file(plat_path("/var/fake/mode"), &found);
        act(found ? mode : "loop");
    }
    for (;;) {
        usleep(20 * 1000);
        once = read_file(plat_path("/var/fake/once"), &found);
        if (found) {
            unlink(plat_path("/var/fake/once").c_str());
            act(once);
        }
    }
}

#ifndef FAKE_AGENT_BARE
extern "C" TELAGENT_API int init_cb(const iot_host_cb_t *cb) {
    append("/var/fake/calls.log", "init_cb\n");
    if (cb != nullptr && cb->event_msg != nullptr) cb->event_msg("gsensor", "motion");
    return 1;
}

extern "C" TELAGENT_API int init_lpm(void) {
    append("/var/fake/calls.log", "init_lpm\n");
    return 1;
}
#endif
