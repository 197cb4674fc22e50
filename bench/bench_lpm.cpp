// Wake latency and the wake monitor's idle cost, on a temporary root with a
// pseudo-terminal modem that answers OK at once:
//   - FIFO write of id 6 -> wake lock written, and -> "AT+CFUN=1" at the modem,
//     median and spread over 20 wakes (each from a goto_sleep);
//   - CPU of the process over 10 s with only the monitor thread waiting.
//
//   bench_lpm
#include <fcntl.h>
#include <stdlib.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "lib/qs_common_api/lpm/src/qs_lpm_api.h"
#include "lte/lte_handle.h"
#include "power/lpm_handle.h"

namespace {

int64_t now_us() {
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

std::atomic<int64_t> g_cfun1_us{0};
std::atomic<int64_t> g_lock_us{0};
std::atomic<bool> g_stop{false};

// Answers OK to every line; notes when the radio was switched on.
void modem(int master) {
    std::string line;
    char c;
    while (!g_stop) {
        if (read(master, &c, 1) != 1) continue;
        if (c != '\r' && c != '\n') {
            line.push_back(c);
            continue;
        }
        if (line.empty()) continue;
        if (line == "AT+CFUN=1" && g_cfun1_us == 0) g_cfun1_us = now_us();
        line.clear();
        (void)!write(master, "\r\nOK\r\n", 6);
    }
}

void lock_watch(const std::string &dir) {
    int fd = inotify_init1(IN_CLOEXEC);
    inotify_add_watch(fd, dir.c_str(), IN_CLOSE_WRITE);
    alignas(struct inotify_event) char buf[4096];
    while (!g_stop) {
        ssize_t r = read(fd, buf, sizeof buf);
        for (ssize_t off = 0; off < r;) {
            auto *ev = reinterpret_cast<struct inotify_event *>(buf + off);
            off += static_cast<ssize_t>(sizeof *ev + ev->len);
            if (ev->len > 0 && strcmp(ev->name, "wake_lock") == 0 && g_lock_us == 0) g_lock_us = now_us();
        }
    }
}

double cpu_s() {
    struct rusage u {};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

}  // namespace

int main() {
    char tmpl[] = "/tmp/bench_lpm_XXXXXX";
    const std::string root = mkdtemp(tmpl);
    setenv("TELAGENT_ROOT", root.c_str(), 1);
    if (chdir(root.c_str()) != 0) return 1;
    for (const char *d : {"/tmp", "/dev", "/sys/power", "/sys/devices/virtual/android_usb/android0"})
        std::filesystem::create_directories(root + d);
    for (const char *n : {"/sys/power/wake_lock", "/sys/power/wake_unlock", "/sys/power/autosleep"})
        std::ofstream(root + n) << "";

    // Idle cost first, before any other thread exists.
    if (QS_Lpm_Init(qs_wakeup_hander) != 0) return 1;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const double c0 = cpu_s();
    std::this_thread::sleep_for(std::chrono::seconds(10));
    const double idle = cpu_s() - c0;

    int master = posix_openpt(O_RDWR | O_NOCTTY);
    grantpt(master);
    unlockpt(master);
    std::filesystem::create_symlink(ptsname(master), root + "/dev/smd7");
    std::thread m(modem, master);
    std::thread w(lock_watch, root + "/sys/power");
    init_lte_common();
    set_factory_booting(0);  // USB nodes stay alone

    int fifo = open((root + "/tmp/wakemsgid_fifo").c_str(), O_WRONLY | O_NONBLOCK);
    std::vector<double> lock_ms, radio_ms;
    for (int i = 0; i < 20; ++i) {
        goto_sleep();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        g_cfun1_us = 0;
        g_lock_us = 0;
        const int64_t t0 = now_us();
        (void)!write(fifo, "6", 1);
        for (int k = 0; k < 500 && (g_cfun1_us == 0 || g_lock_us == 0); ++k)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        if (g_cfun1_us == 0 || g_lock_us == 0) continue;
        lock_ms.push_back((g_lock_us - t0) / 1000.0);
        radio_ms.push_back((g_cfun1_us - t0) / 1000.0);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    auto report = [](const char *what, std::vector<double> v) {
        if (v.empty()) {
            printf("%s: no samples\n", what);
            return;
        }
        std::sort(v.begin(), v.end());
        printf("%-32s median %.1f ms  min %.1f  max %.1f  (%zu wakes)\n", what, v[v.size() / 2], v.front(),
               v.back(), v.size());
    };
    report("FIFO write -> radio on (CFUN=1)", radio_ms);
    report("FIFO write -> wake lock written", lock_ms);
    printf("monitor idle CPU: %.4f s in 10 s (%.3f %% of one core)\n", idle, idle * 10.0);
    fflush(stdout);
    std::filesystem::remove_all(root);
    _exit(0);
}
