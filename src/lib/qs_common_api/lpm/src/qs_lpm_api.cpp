#include "lib/qs_common_api/lpm/src/qs_lpm_api.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "lib/qs_common_api/platform/qs_log/src/qs_log.h"
#include "platform/plat_path.h"
#include "platform/plat_thread.h"

namespace {

std::atomic<qs_lpm_wakeup_handler> g_handler{nullptr};

constexpr const char *kAutosleep = "/sys/power/autosleep";
constexpr const char *kWakeupSources = "/sys/kernel/debug/wakeup_sources";
constexpr const char *kUsbOnline = "/sys/devices/78d9000.usb/power_supply/usb/online";
constexpr const char *kUsbDusb = "/sys/devices/virtual/android_usb/android0/dusb";

bool is_separator(char c) { return c == '\0' || c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

void *monitor_loop(void *arg) {
    int fd = static_cast<int>(reinterpret_cast<intptr_t>(arg));
    plat_set_thread_name("lpm-wake");
    for (;;) {
        fd_set rd;
        FD_ZERO(&rd);
        FD_SET(fd, &rd);
        struct timeval tv {3, 0};
        int r = select(fd + 1, &rd, nullptr, nullptr, &tv);
        if (r < 0) {
            if (errno == EINTR) continue;
            printf("select error %d\n", errno);
            // Keeps a lasting error from spinning a core.
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            continue;
        }
        if (r == 0 || !FD_ISSET(fd, &rd)) continue;
        char buf[kQsWakeReadLen + 1] = {};
        ssize_t n = read(fd, buf, kQsWakeReadLen);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            printf("Read Plm Event Falied, errno:%d\n", errno);
            close(fd);
            return nullptr;
        }
        buf[n] = '\0';
        int ids[kQsWakeReadLen];
        size_t count = qs_lpm_parse_ids(buf, static_cast<size_t>(n), ids, kQsWakeReadLen);
        for (size_t i = 0; i < count; ++i) {
            int id = ids[i];
            qs_lpm_wakeup_handler h = g_handler.load();
            if (id >= E_QS_LPM_WAKEUP_NEW_SMS && id <= E_QS_LPM_WAKEUP_RTC_ALARM) {
                if (h != nullptr) h(static_cast<e_qs_lpm_wakeup_type>(id));
                printf(qs_lpm_event_fmt(id), id);
            } else {
                printf("read id is default.\n");
            }
        }
        fflush(stdout);
    }
}

// Writes `text` to a sysfs node of the device root; 0 or -1.
int write_node(const char *device_path, const char *text) {
    std::string p = plat_path(device_path);
    int fd = open(p.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    size_t len = strlen(text);
    ssize_t n = write(fd, text, len);
    close(fd);
    return n == static_cast<ssize_t>(len) ? 0 : -1;
}

// Reads the first line of a node; empty on failure.
std::string read_node(const char *device_path, size_t max) {
    std::string p = plat_path(device_path);
    FILE *f = fopen(p.c_str(), "re");
    if (f == nullptr) return {};
    std::string out;
    int c;
    while (out.size() < max && (c = fgetc(f)) != EOF) out.push_back(static_cast<char>(c));
    fclose(f);
    return out;
}

// The USB controller's wake source holds the kernel awake while a cable is
// not present; toggling the gadget drops it.  Read without a shell.
void check_usb_wake_source() {
    qs_ol_log(QS_OL_LOG_DEBUG, __FILE__, __func__, __LINE__, "%s:check usb_lock in\n\n", __func__);
    std::string src = read_node(kWakeupSources, 64 * 1024);
    if (src.empty()) {
        qs_ol_log(QS_OL_LOG_DEBUG, __FILE__, __func__, __LINE__, "%s:popen wakeup_sources error\n\n", __func__);
        qs_ol_log(QS_OL_LOG_DEBUG, __FILE__, __func__, __LINE__, "%s:check usb no lock !\n\n", __func__);
        return;
    }
    long active = -1;
    size_t at = src.find("msm_otg");
    if (at != std::string::npos) {
        size_t eol = src.find('\n', at);
        std::string line = src.substr(at, eol == std::string::npos ? std::string::npos : eol - at);
        char name[64];
        long f[5];
        if (sscanf(line.c_str(), "%63s %ld %ld %ld %ld %ld", name, &f[0], &f[1], &f[2], &f[3], &f[4]) == 6)
            active = f[4];
    }
    if (active < 0) {
        qs_ol_log(QS_OL_LOG_DEBUG, __FILE__, __func__, __LINE__, "%s:sscanf error\n\n", __func__);
        qs_ol_log(QS_OL_LOG_DEBUG, __FILE__, __func__, __LINE__, "%s:check usb no lock !\n\n", __func__);
        return;
    }
    if (active == 1) return;
    qs_ol_log(QS_OL_LOG_DEBUG, __FILE__, __func__, __LINE__, "%s:check usb_sta start\n\n", __func__);
    std::string online = read_node(kUsbOnline, 16);
    if (online.empty()) {
        qs_ol_log(QS_OL_LOG_DEBUG, __FILE__, __func__, __LINE__, "%s:cat usb/online error\n\n", __func__);
        qs_ol_log(QS_OL_LOG_DEBUG, __FILE__, __func__, __LINE__, "%s:check usb no lock !\n\n", __func__);
        return;
    }
    if (online[0] == '0') {
        write_node(kUsbDusb, "1");
        write_node(kUsbDusb, "0");
        qs_ol_log(QS_OL_LOG_DEBUG, __FILE__, __func__, __LINE__, "%s:suspend usb lock.\n", __func__);
    }
}

}  // namespace

size_t qs_lpm_parse_ids(const char *buf, size_t len, int *ids, size_t max) {
    size_t count = 0;
    bool in_garbage = false;
    for (size_t i = 0; i < len && count < max; ++i) {
        char c = buf[i];
        if (c >= '0' && c <= '9') {
            ids[count++] = c - '0';
            in_garbage = false;
        } else if (is_separator(c)) {
            in_garbage = false;
        } else if (!in_garbage) {
            ids[count++] = -1;
            in_garbage = true;
        }
    }
    return count;
}

const char *qs_lpm_event_fmt(int id) {
    switch (id) {
    case E_QS_LPM_WAKEUP_NEW_SMS: return "read id is %d, event QS_MDM_WAKEUP_NEW_SMS.\n";
    case E_QS_LPM_WAKEUP_VOICE_NEW_CALL: return "read id is %d, event QS_MDM_VOICE_NEW_CALL.\n";
    case E_QS_LPM_WAKEUP_VOICE_CALL_END: return "read id is %d, event QS_MDM_VOICE_CALL_END.\n";
    case E_QS_LPM_WAKEUP_MCU_GPIO_SUSPEND: return "read id is %d, event QS_MDM_MCU_GPIO_SUSPEND.\n";
    case E_QS_LPM_WAKEUP_MCU_GPIO_RESUME: return "read id is %d, event QS_MDM_MCU_GPIO_RESUME.\n";
    case E_QS_LPM_WAKEUP_RTC_ALARM: return "read id is %d, event QS_MDM_RTC_ALARM.\n";
    default: return "read id is default.\n";
    }
}

int QS_Lpm_Init(qs_lpm_wakeup_handler handler) {
    g_handler.store(handler);
    std::string fifo = plat_path(kQsWakeFifo);
    int r = access(fifo.c_str(), F_OK);
    if (r != 0) {
        r = mkfifo(fifo.c_str(), 0777);
        if (r != 0) {
            printf("Failed to Create Pipe, errno:%d\n", errno);
            return r;
        }
    }
    // Read-write: the FIFO never reports end-of-file while the daemon is away.
    int fd = open(fifo.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        printf("Open Pipe File %s Failed, errno:%d\n", kQsWakeFifo, errno);
        return -1;
    }
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) {
        printf("Pthread Attr Init Failed, errno:%d\n", errno);
        close(fd);
        return -1;
    }
    if (pthread_attr_setstacksize(&attr, 1024 * 1024) != 0) {
        printf("Set Pthread Stack Failed, errno:%d\n", errno);
        pthread_attr_destroy(&attr);
        close(fd);
        return -1;
    }
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t tid;
    int e = pthread_create(&tid, &attr, monitor_loop, reinterpret_cast<void *>(static_cast<intptr_t>(fd)));
    pthread_attr_destroy(&attr);
    if (e != 0) {
        printf("Failed to Create Pthread, errno:%d\n", e);
        close(fd);
        return -1;
    }
    return 0;
}

int QS_Posix_Timer_Enable(qs_timer_t *timer_id, qs_timer_cb cb, void *param, int64_t interval_s, int periodic) {
    if (timer_id == nullptr || cb == nullptr) {
        printf("Posix Time Param is NUll.\n");
        return -1;
    }
    if (periodic > 1) {
        printf("Param timer_id is Invalid, peridic\n");
        return -1;
    }
    if (plat_alarm_create(timer_id, cb, param, interval_s, periodic) != 0) {
        printf("Failed to Create Timer, errno:%d\n", errno);
        return -1;
    }
    return 0;
}

int QS_Posix_Timer_Disable(qs_timer_t timer_id) {
    plat_alarm_delete(timer_id);
    return 0;
}

int QS_Autosleep_Enable(void) {
    check_usb_wake_source();
    std::string p = plat_path(kAutosleep);
    if (access(p.c_str(), F_OK) != 0) {
        printf("Sysfs node '/sys/power/autosleep' does not exist!\n");
        return -1;
    }
    int fd = open(p.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        printf("open sysfs node '/sys/power/autosleep' error!\n");
        return -1;
    }
    ssize_t n = write(fd, "mem", 3);
    close(fd);
    if (n != 3) {
        printf("Failed to write '%s' to sysfs node '/sys/power/autosleep'!\n", "mem");
        return -1;
    }
    return 0;
}
