#include "power/lpm_handle.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "core/logging.h"
#include "gps/gps_handle.h"
#include "lte/lte_handle.h"
#include "platform/plat_clock.h"
#include "platform/plat_path.h"
#include "platform/plat_thread.h"
#include "telagent/iot_config.h"
#include "vehicle/mcu_watchdog.h"

extern "C" {
TELAGENT_API unsigned char mBakBatInfo[6] = {0, 0, 0, 0, 0, 0};
static_assert(sizeof mBakBatInfo == 6, "the host fills the backup-battery record as 6 bytes");
}

namespace {

constexpr const char *kWakeLock = "/sys/power/wake_lock";
constexpr const char *kWakeUnlock = "/sys/power/wake_unlock";
constexpr const char *kAutosleepNode = "/sys/power/autosleep";
constexpr const char *kUsbEnable = "/sys/devices/virtual/android_usb/android0/enable";
constexpr const char *kUsbDusb = "/sys/devices/virtual/android_usb/android0/dusb";
// 29 April 2021: a clock later than this has been set by time sync.
constexpr time_t kClockSetMark = 1619693336;

std::atomic<int> g_factory_booting{0};
std::atomic<int> g_state{IOT_LPM_MAIN_BATTERY};
std::atomic<int> g_sleeping{0};
std::atomic<int> g_rtc_disabled{0};
// Wake lock taken and autosleep off since the last goto_sleep.
std::atomic<bool> g_held{false};
// USB switched off by goto_sleep and not yet back.
std::atomic<bool> g_usb_off{false};
std::atomic<int (*)(void)> g_subscribed_cb{nullptr};
std::atomic<bool> g_started{false};
qs_timer_t g_timer = nullptr;
time_t g_start_time = 0;
// A wake and the thread's decision to sleep must not interleave: a wake that
// lands between "time to sleep" and goto_sleep would otherwise be undone.
std::mutex g_state_mu;

int node_exists(const char *device_path) { return access(plat_path(device_path).c_str(), F_OK) == 0; }

// Writes `len` bytes to a node; 1 written, 0 open failed, -1 short write.
int write_node(const char *device_path, const void *data, size_t len) {
    int fd = open(plat_path(device_path).c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    ssize_t n = write(fd, data, len);
    close(fd);
    return n == static_cast<ssize_t>(len) ? 1 : -1;
}

// The kernel reads the wake-lock block as a string: text, then zeros.
bool make_block(const char *text, std::array<char, kWakelockBlock> *block) {
    block->fill(0);
    size_t len = strnlen(text, kWakelockBlock);
    if (len >= kWakelockBlock) return false;
    memcpy(block->data(), text, len);
    return true;
}

void radio_and_gnss_on() {
    gps_module_ctl(1);
    lte_connect_ctl(1);
}

void radio_and_gnss_off() {
    plat_sleep_s(1);
    lte_connect_ctl(0);
    gps_module_ctl(0);
}

// First step of every wake: while autosleep is "mem" and the lock released
// the kernel may suspend the box again at any moment, and the watchdog set-up
// and the AT exchange that follow take long enough for it to do so.
void hold_awake() {
    if (g_sleeping.load() != 1 || g_held.exchange(true)) return;
    Qs_wakelock_lock(kLpmLockKey, strlen(kLpmLockKey));
    Qs_autosleep_disable();
}

int mqtt_subscribed() {
    auto cb = g_subscribed_cb.load();
    return cb != nullptr ? cb() : 0;
}

}  // namespace

int check_factory_booting(void) { return g_factory_booting.load(std::memory_order_relaxed); }

void set_factory_booting(int flag) { g_factory_booting.store(flag, std::memory_order_relaxed); }

void set_bakbat_info(const unsigned char info[6]) {
    for (int i = 0; i < 6; ++i) std::atomic_ref<unsigned char>(mBakBatInfo[i]).store(info[i]);
}

int lpm_on_backup_battery(void) {
    unsigned char b[6];
    // The host writes the record from its own thread; read it byte by byte.
    for (int i = 0; i < 6; ++i) b[i] = std::atomic_ref<unsigned char>(mBakBatInfo[i]).load();
    uint16_t first;
    memcpy(&first, b, sizeof first);
    return first != 0 && b[3] == 1 ? 1 : 0;
}

void set_lpm_mqtt_subscribed_cb(int (*subscribed)(void)) { g_subscribed_cb.store(subscribed); }

int get_lpm_sleeping(void) { return g_sleeping.load(); }
int get_lpm_rtc_disabled(void) { return g_rtc_disabled.load(); }
extern "C" TELAGENT_API int get_lpm_status(void) { return g_state.load(); }

int64_t lpm_interval_seconds(int minutes) {
    if (minutes <= 0) return 0;
    int64_t s = static_cast<int64_t>(minutes) * 60;
    return s > INT32_MAX ? INT32_MAX : s;
}

// ---- sysfs writers ------------------------------------------------------------

int Qs_wakelock_create(const char *name, size_t length) {
    if (!node_exists(kWakeLock)) {
        mlog(0, "Sysfs node '/sys/power/wake_lock' does not exist!\n");
        return 0;
    }
    char text[kWakelockBlock + 8];
    size_t n = strnlen(name, length);
    snprintf(text, sizeof text, "%.*s 1000", static_cast<int>(n), name);
    std::array<char, kWakelockBlock> block;
    if (!make_block(text, &block)) {
        mlog(0, "Failed to write '%s' to sysfs node '/sys/power/wake_lock'!\n", text);
        return 0;
    }
    int r = write_node(kWakeLock, block.data(), block.size());
    if (r == 0) mlog(0, "open sysfs node '/sys/power/wake_lock' error!\n");
    if (r < 0) mlog(0, "Failed to write '%s' to sysfs node '/sys/power/wake_lock'!\n", text);
    return r == 1 ? 1 : 0;
}

static int wakelock_write(const char *node, const char *name, size_t size, bool lock) {
    if (!node_exists(node)) {
        if (lock)
            mlog(0, "Sysfs node %s does not exist!\n", node);
        else
            mlog(0, "Sysfs node %s does not exist!", node);
        return 0;
    }
    char text[kWakelockBlock];
    size_t n = strnlen(name, size);
    snprintf(text, sizeof text, "%.*s", static_cast<int>(n < sizeof text ? n : sizeof text - 1), name);
    std::array<char, kWakelockBlock> block;
    int r = -1;
    // A name that does not fit the block is refused, never cut to another lock's name.
    if (n < kWakelockBlock && make_block(text, &block)) r = write_node(node, block.data(), block.size());
    if (r == 0) {
        if (lock)
            mlog(0, "open sysfs node %s error!\n", node);
        else
            mlog(0, "open sysfs node %s error!", node);
    }
    if (r < 0) {
        if (lock)
            mlog(0, "Failed to write '%s' to sysfs node '%s'!\n", text, node);
        else
            mlog(0, "Failed to write '%s' to sysfs node '/sys/power/wake_unlock'!\n", text);
    }
    return r == 1 ? 1 : 0;
}

int Qs_wakelock_lock(const char *name, size_t size) { return wakelock_write(kWakeLock, name, size, true); }

int Qs_wakelock_unlock(const char *name, size_t size) { return wakelock_write(kWakeUnlock, name, size, false); }

static int autosleep_write(const char *text) {
    if (!node_exists(kAutosleepNode)) {
        mlog(0, "Sysfs node '/sys/power/autosleep' does not exist!\n");
        return 0;
    }
    int r = write_node(kAutosleepNode, text, strlen(text));
    if (r == 0) mlog(0, "open sysfs node '/sys/power/autosleep' error!\n");
    if (r < 0) mlog(0, "Failed to write '%s' to sysfs node '/sys/power/autosleep'!\n", text);
    return r == 1 ? 1 : 0;
}

int Qs_autosleep_enable(void) { return autosleep_write("mem"); }
int Qs_autosleep_disable(void) { return autosleep_write("off"); }

// ---- USB ------------------------------------------------------------------------

void disable_usb(void) {
    write_node(kUsbDusb, "0", 1);
    write_node(kUsbEnable, "0", 1);
    printf("\n\n\n\n\n%d/%s >>>>>>>>>>>--- ENTRY -------------\r\n\r\n", __LINE__, __func__);
}

extern "C" TELAGENT_API void enable_usb(void) {
    write_node(kUsbEnable, "1", 1);
    write_node(kUsbDusb, "1", 1);
    printf("\n\n\n\n\n%d/%s >>>>>>>>>>>--- ENTRY -------------\r\n\r\n", __LINE__, __func__);
}

// ---- sleeping and waking --------------------------------------------------------

void goto_sleep(void) {
    network_set_airplane_on();
    g_held.store(false);
    Qs_wakelock_unlock(kLpmLockKey, strlen(kLpmLockKey));
    Qs_autosleep_enable();
    g_sleeping.store(1);
    if (check_factory_booting() == 1) {
        disable_usb();
        g_usb_off.store(true);
    }
    printf("\n\n\n\n\n%d/%s >>>>>>>>>>>>>>>>>>>goto sleep success\n\n\n\n\n\n\n\n", __LINE__, __func__);
}

int disable_sleep(void) {
    if (g_sleeping.load() != 1) return 0;
    hold_awake();
    network_set_airplane_off();
    g_sleeping.store(0);
    g_held.store(false);
    return 1;
}

extern "C" TELAGENT_API void mcu_force_disable_sleeping(void) {
    std::lock_guard<std::mutex> lk(g_state_mu);
    hold_awake();
    mlog(2, "%d/%s,mcu_force_disable_sleeping \n", __LINE__, __func__);
    g_state.store(IOT_LPM_BEGIN);
    disable_sleep();
    radio_and_gnss_on();
    printf("\n\n\n\n\n%d/%s MCU PING force Wakeup success <<<<<<<<< rtc \n\n\n\n\n\n\n\n", __LINE__, __func__);
}

void qs_wakeup_hander(e_qs_lpm_wakeup_type id) {
    int n = static_cast<int>(id);
    if (n >= E_QS_LPM_WAKEUP_NEW_SMS && n <= E_QS_LPM_WAKEUP_RTC_ALARM)
        mlog(2, qs_lpm_event_fmt(n), n);
    else
        mlog(2, "read id is default.");
    printf("\n\n%d/%s Wakeup entry <<<<<<<<< %d \n\n", __LINE__, __func__, n);
    if (n < E_QS_LPM_WAKEUP_MCU_GPIO_SUSPEND || n > E_QS_LPM_WAKEUP_RTC_ALARM) return;
    std::lock_guard<std::mutex> lk(g_state_mu);
    hold_awake();
    iot_ctl_mcu_watchdog(1);
    printf("\n\n\n\n\n%d/%s Wakeup success <<<<<<<<< %d \n\n\n\n\n\n\n\n", __LINE__, __func__, n);
    int sleeping = IOT_LPM_SLEEPING;
    g_state.compare_exchange_strong(sleeping, IOT_LPM_BEGIN);
    disable_sleep();
    radio_and_gnss_on();
}

void posix_timer_hander(void *) {
    std::lock_guard<std::mutex> lk(g_state_mu);
    mlog(2, "%d/%s entry.\n", __LINE__, __func__);
    if (g_state.load() == IOT_LPM_MAIN_BATTERY) {
        mlog(2, "%d/%s main battery online, don't report.\n", __LINE__, __func__);
        return;
    }
    hold_awake();
    int sleeping = IOT_LPM_SLEEPING;
    g_state.compare_exchange_strong(sleeping, IOT_LPM_BEGIN);
    printf("\n\n\n\n\n%d/%s Wakeup success <<<<<<<<< rtc \n\n\n\n\n\n\n\n", __LINE__, __func__);
    disable_sleep();
    radio_and_gnss_on();
    iot_ctl_mcu_watchdog(1);
}

// ---- the backup-battery thread ---------------------------------------------------

void px510_backup_battery_step(void) {
    std::lock_guard<std::mutex> lk(g_state_mu);
    if (lpm_on_backup_battery() == 0 || check_factory_booting() == 0 || g_rtc_disabled.load() == 1) {
        // Leaving the low-power path while asleep would keep the radio off
        // until some wake event: come back fully now.
        if (g_sleeping.load() == 1) {
            disable_sleep();  // wake lock, autosleep off, radio on
            gps_module_ctl(1);
            iot_ctl_mcu_watchdog(1);
        }
        // Awake for good: a field engineer gets USB back after a backup cycle.
        if (g_usb_off.exchange(false)) enable_usb();
        g_state.store(IOT_LPM_MAIN_BATTERY);
        return;
    }
    switch (g_state.load()) {
    case IOT_LPM_MAIN_BATTERY:
    case IOT_LPM_BEGIN:
        g_state.store(IOT_LPM_BEGIN);
        radio_and_gnss_on();
        g_state.store(IOT_LPM_WAITING_NET_GPS);
        g_start_time = plat_now();
        mlog(2, "%d/%s, IOT_LPM_BEGIN \n", __LINE__, __func__);
        break;
    case IOT_LPM_WAITING_NET_GPS: {
        time_t now = plat_now();
        // Time sync set the clock during the wait, or set it backwards: the
        // wait starts again rather than ending at once or never.
        if ((now > kClockSetMark && g_start_time <= kClockSetMark) || now < g_start_time) g_start_time = now;
        long elapsed = static_cast<long>(now - g_start_time);
        printf("Waiting goto sleep %lu/%d  ******\n", static_cast<unsigned long>(elapsed), kLpmWaitSeconds);
        if (elapsed > kLpmWaitSeconds) {
            radio_and_gnss_off();
            iot_ctl_mcu_watchdog(0);
            mlog(2, "%d/%s, IOT_LPM_WAITING_NET_GPS timeout, goto sleep \n", __LINE__, __func__);
            g_state.store(IOT_LPM_SLEEPING);
            goto_sleep();
        } else if (mqtt_subscribed() == 1) {
            iot_gps_info_t info{};
            if (iot_get_gps_info(&info) == 1) {
                radio_and_gnss_off();
                g_state.store(IOT_LPM_SLEEPING);
                iot_ctl_mcu_watchdog(0);
                goto_sleep();
                mlog(2, "%d/%s, LPW Submit success ... ..., goto Sleep\n", __LINE__, __func__);
            } else {
                mlog(2, "%d/%s, IOT_LPM_WAITING_NET_GPS waiting GPS ok \n", __LINE__, __func__);
            }
        } else {
            mlog(2, "%d/%s, IOT_LPM_WAITING_NET_GPS waiting mqtt connect \n", __LINE__, __func__);
        }
        break;
    }
    case IOT_LPM_SLEEPING:
        iot_ctl_mcu_watchdog(0);
        goto_sleep();
        break;
    default:
        break;
    }
}

void px510_backup_battery_handle(void) {
    for (;;) {
        px510_backup_battery_step();
        plat_sleep_s(5);
    }
}

extern "C" TELAGENT_API int init_lpm(void) {
    if (g_started.exchange(true)) return 0;
    g_sleeping.store(0);
    // The host calls this before call_iotmain loads the configuration; without
    // loading it here the interval would always be the default.
    init_iotconfig();
    int64_t interval = lpm_interval_seconds(get_backupbattery_interval());
    printf("%s *** mBackupBattery_interval:%d \n", __func__, static_cast<int>(interval));
    QS_Lpm_Init(qs_wakeup_hander);
    if (interval > 4) {
        g_rtc_disabled.store(0);
        if (QS_Posix_Timer_Enable(&g_timer, posix_timer_hander, nullptr, interval, 1) != 0) {
            // Without a timed wake a sleeping box would never report again.
            mlog(0, "%d/%s alarm timer not created, staying on the main-battery path\n", __LINE__, __func__);
            g_rtc_disabled.store(1);
        }
    } else {
        g_rtc_disabled.store(1);
    }
    plat_thread("lpm-battery", px510_backup_battery_handle).detach();
    Qs_wakelock_create(kLpmLockKey, strlen(kLpmLockKey));
    return 1;
}
