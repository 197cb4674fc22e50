// Low-power state machine against a scripted modem on a pseudo-terminal and
// sysfs nodes as files under the device root: the bytes written to the nodes,
// the AT commands, the 360 s wait under the fake clock, the wake paths, and a
// wake racing the decision to sleep.
#include "power/lpm_handle.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <climits>
#include <mutex>
#include <cstdio>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/logging.h"
#include "gps/gps_handle.h"
#include "gps/nmea_parse.h"
#include "lte/lte_handle.h"
#include "platform/plat_clock.h"
#include "support/pty_modem.h"
#include "support/test_root.h"
#include "vehicle/mcu_watchdog.h"

namespace {

constexpr time_t kT = 1710498030;  // 2024-03-15, a clock already set by time sync
const unsigned char kBackup[6] = {0x10, 0x0e, 0, 1, 0, 0};
const unsigned char kMain[6] = {0, 0, 0, 0, 0, 0};

std::atomic<int> g_subscribed{0};
int subscribed() { return g_subscribed.load(); }

std::string block(const std::string &text) {
    std::string b = text;
    b.resize(kWakelockBlock, '\0');
    return b;
}

std::string gga_with_fix() {
    const std::string body = "GPGGA,1,3112.5000,N,12130.0000,E,1,05,1.0,5.0,M,,M,,";
    unsigned x = 0;
    for (char c : body) x ^= static_cast<unsigned char>(c);
    char sum[8];
    snprintf(sum, sizeof sum, "*%02X\r\n", x);
    return "$" + body + sum;
}

class LpmTest : public ::testing::Test {
protected:
    void SetUp() override {
        plat_clock_fake(kT);
        mLogInit(2, LOG_TYPE_FILE);
        init_lte_common();
        for (const char *n : {"/sys/power/wake_lock", "/sys/power/wake_unlock", "/sys/power/autosleep",
                              "/sys/devices/virtual/android_usb/android0/enable",
                              "/sys/devices/virtual/android_usb/android0/dusb"})
            root.write(n, "");
        set_lpm_mqtt_subscribed_cb(subscribed);
        set_factory_booting(1);
    }
    // A modem that answers OK to every command; CFUN=0 after `cfun0_delay_ms`.
    // What autosleep read when each CFUN=1 arrived goes to `at_radio_on`.
    void start_modem(int cfun0_delay_ms = 0) {
        modem = std::make_unique<PtyModem>(
            root.at("/dev/smd7"),
            [this, cfun0_delay_ms](const std::string &cmd) {
                if (cmd == "AT+CFUN=1") {
                    std::lock_guard<std::mutex> g(at_mu);
                    at_radio_on += root.read("/sys/power/autosleep") + ";";
                }
                int d = cmd == "AT+CFUN=0" ? cfun0_delay_ms : 0;
                return std::vector<ModemChunk>{{d, "\r\nOK\r\n"}};
            },
            false);
        ASSERT_TRUE(modem->ok());
    }
    int count(const std::string &cmd) const {
        int n = 0;
        for (const auto &c : modem->commands()) n += c == cmd;
        return n;
    }
    std::string node(const char *path) const { return root.read(path); }
    // Backup battery, subscribed with a fix: begin, then asleep.
    void cycle_to_sleep() {
        set_bakbat_info(kBackup);
        g_subscribed = 1;
        if (get_lpm_status() != IOT_LPM_WAITING_NET_GPS) px510_backup_battery_step();
        ASSERT_EQ(get_lpm_status(), IOT_LPM_WAITING_NET_GPS);
        ASSERT_EQ(check_gps_gga(gga_with_fix().c_str()), 1);
        px510_backup_battery_step();
        ASSERT_EQ(get_lpm_status(), IOT_LPM_SLEEPING);
    }

    // Autosleep as each CFUN=1 found it since the last call, and forgets it.
    std::string radio_on_seen() {
        std::lock_guard<std::mutex> g(at_mu);
        return std::exchange(at_radio_on, std::string());
    }

    TestRoot root;
    std::mutex at_mu;
    std::string at_radio_on;  // the modem's thread writes it
    std::unique_ptr<PtyModem> modem;
};

}  // namespace

TEST_F(LpmTest, WakeLockWritesAreOneZeroPaddedBlockAndMissingNodesAreNotCreated) {
    EXPECT_EQ(Qs_wakelock_create(kLpmLockKey, 12), 1);
    EXPECT_EQ(node("/sys/power/wake_lock"), block("LPM_LOCK_KEY 1000"));
    EXPECT_EQ(Qs_wakelock_lock(kLpmLockKey, 12), 1);
    EXPECT_EQ(node("/sys/power/wake_lock"), block("LPM_LOCK_KEY"));
    EXPECT_EQ(Qs_wakelock_unlock(kLpmLockKey, 12), 1);
    EXPECT_EQ(node("/sys/power/wake_unlock"), block("LPM_LOCK_KEY"));
    EXPECT_EQ(Qs_autosleep_enable(), 1);
    EXPECT_EQ(node("/sys/power/autosleep"), "mem");
    EXPECT_EQ(Qs_autosleep_disable(), 1);
    EXPECT_EQ(node("/sys/power/autosleep"), "off");

    // 23 characters fill the block with its terminator; 24 would lose it.
    const std::string n23(23, 'A'), n24(24, 'B');
    EXPECT_EQ(Qs_wakelock_lock(n23.c_str(), n23.size()), 1);
    EXPECT_EQ(node("/sys/power/wake_lock"), n23 + std::string(1, '\0'));
    EXPECT_EQ(Qs_wakelock_lock(n24.c_str(), n24.size()), 0);
    EXPECT_EQ(node("/sys/power/wake_lock"), n23 + std::string(1, '\0'));
    // The create text "<name> 1000" must fit too.
    EXPECT_EQ(Qs_wakelock_create(n23.c_str(), n23.size()), 0);

    unlink(root.at("/sys/power/wake_unlock").c_str());
    unlink(root.at("/sys/power/autosleep").c_str());
    EXPECT_EQ(Qs_wakelock_unlock(kLpmLockKey, 12), 0);
    EXPECT_EQ(Qs_autosleep_enable(), 0);
    EXPECT_FALSE(root.exists("/sys/power/wake_unlock"));
    EXPECT_FALSE(root.exists("/sys/power/autosleep"));
}

TEST_F(LpmTest, BackupBatteryRecordAndIntervalBoundaries) {
    struct Case {
        std::array<unsigned char, 6> b;
        int backup;
    } cases[] = {
        {{0, 0, 0, 1, 0, 0}, 0},  // no first field
        {{1, 0, 0, 1, 0, 0}, 1},  {{0, 1, 0, 1, 0, 0}, 1},  {{0xff, 0xff, 0xff, 1, 0xff, 0xff}, 1},
        {{1, 0, 1, 0, 0, 0}, 0},  // byte 2 is not the flag
        {{1, 0, 0, 2, 0, 0}, 0},  {{1, 0, 0, 0, 0, 0}, 0},
    };
    for (const auto &c : cases) {
        set_bakbat_info(c.b.data());
        EXPECT_EQ(lpm_on_backup_battery(), c.backup) << int(c.b[0]) << "," << int(c.b[1]) << "," << int(c.b[3]);
    }
    EXPECT_EQ(lpm_interval_seconds(0), 0);
    EXPECT_EQ(lpm_interval_seconds(-1), 0);
    EXPECT_EQ(lpm_interval_seconds(INT_MIN), 0);
    EXPECT_EQ(lpm_interval_seconds(1), 60);
    EXPECT_EQ(lpm_interval_seconds(200), 12000);
    EXPECT_EQ(lpm_interval_seconds(INT_MAX / 60 + 1), INT32_MAX);  // would overflow in 32 bits
    EXPECT_EQ(lpm_interval_seconds(INT_MAX), INT32_MAX);
}

TEST_F(LpmTest, MainBatteryOrChecknvZeroStaysInStateThreeAndTouchesNothing) {
    start_modem();
    set_bakbat_info(kMain);
    g_subscribed = 1;
    for (int i = 0; i < 3; ++i) px510_backup_battery_step();
    EXPECT_EQ(get_lpm_status(), IOT_LPM_MAIN_BATTERY);
    set_bakbat_info(kBackup);
    set_factory_booting(0);
    px510_backup_battery_step();
    EXPECT_EQ(get_lpm_status(), IOT_LPM_MAIN_BATTERY);
    EXPECT_TRUE(modem->commands().empty());
    EXPECT_EQ(node("/sys/power/autosleep"), "");

    // checknv 0: going to sleep leaves USB enabled.
    goto_sleep();
    EXPECT_EQ(node("/sys/power/autosleep"), "mem");
    EXPECT_EQ(node("/sys/devices/virtual/android_usb/android0/dusb"), "");
    EXPECT_EQ(node("/sys/devices/virtual/android_usb/android0/enable"), "");
}

TEST_F(LpmTest, SubscribedWithAFixGoesToSleepAndReleasesEverything) {
    start_modem();
    iot_ctl_mcu_watchdog(1);
    set_bakbat_info(kBackup);
    g_subscribed = 0;
    px510_backup_battery_step();
    EXPECT_EQ(get_lpm_status(), IOT_LPM_WAITING_NET_GPS);
    EXPECT_EQ(count("AT+CFUN=1"), 1);
    EXPECT_EQ(get_gps_enable_flag(), 1);
    // Not subscribed, then subscribed without a fix: still waiting.
    px510_backup_battery_step();
    g_subscribed = 1;
    px510_backup_battery_step();
    EXPECT_EQ(get_lpm_status(), IOT_LPM_WAITING_NET_GPS);
    EXPECT_EQ(get_lpm_sleeping(), 0);

    ASSERT_EQ(check_gps_gga(gga_with_fix().c_str()), 1);
    px510_backup_battery_step();
    EXPECT_EQ(get_lpm_status(), IOT_LPM_SLEEPING);
    EXPECT_EQ(get_lpm_sleeping(), 1);
    EXPECT_EQ(get_gps_enable_flag(), 0);
    EXPECT_EQ(get_ping_status(), 0);
    EXPECT_GE(count("AT+CFUN=0"), 1);
    EXPECT_EQ(node("/sys/power/wake_unlock"), block("LPM_LOCK_KEY"));
    EXPECT_EQ(node("/sys/power/autosleep"), "mem");
    // checknv 1: USB off too.
    EXPECT_EQ(node("/sys/devices/virtual/android_usb/android0/dusb"), "0");
    EXPECT_EQ(node("/sys/devices/virtual/android_usb/android0/enable"), "0");
    enable_usb();
    EXPECT_EQ(node("/sys/devices/virtual/android_usb/android0/dusb"), "1");
    EXPECT_EQ(node("/sys/devices/virtual/android_usb/android0/enable"), "1");

    // Every pass while the kernel lets the thread run goes back to sleep.
    const int before = count("AT+CFUN=0");
    px510_backup_battery_step();
    EXPECT_EQ(get_lpm_status(), IOT_LPM_SLEEPING);
    EXPECT_EQ(count("AT+CFUN=0"), before + 1);
}

TEST_F(LpmTest, WaitEndsAfter360SecondsOnTheFakeClock) {
    start_modem();
    set_bakbat_info(kBackup);
    g_subscribed = 0;
    px510_backup_battery_step();
    plat_clock_advance_ms(360 * 1000);
    px510_backup_battery_step();
    EXPECT_EQ(get_lpm_status(), IOT_LPM_WAITING_NET_GPS);  // 360 s is not above 360 s
    plat_clock_advance_ms(1000);
    px510_backup_battery_step();
    EXPECT_EQ(get_lpm_status(), IOT_LPM_SLEEPING);
    EXPECT_EQ(node("/sys/power/autosleep"), "mem");
}

TEST_F(LpmTest, ClockSetDuringTheWaitRestartsItOnce) {
    start_modem();
    plat_clock_fake(1600000000);  // before time sync
    set_bakbat_info(kBackup);
    g_subscribed = 0;
    px510_backup_battery_step();
    plat_clock_advance_ms(300 * 1000);
    plat_clock_shift_to(kT);  // time sync sets the clock
    px510_backup_battery_step();
    plat_clock_advance_ms(300 * 1000);
    px510_backup_battery_step();
    EXPECT_EQ(get_lpm_status(), IOT_LPM_WAITING_NET_GPS);  // 600 s in all, 300 s since the restart
    // A second set (after the mark already) does not restart it again.
    plat_clock_shift_to(plat_now() + 61);
    px510_backup_battery_step();
    EXPECT_EQ(get_lpm_status(), IOT_LPM_SLEEPING);
}

TEST_F(LpmTest, WakeIdsFourToSixWakeTheBoxOthersOnlyLog) {
    start_modem();
    cycle_to_sleep();
    for (int id : {1, 2, 3, 0, 7, 99, -1}) {
        qs_wakeup_hander(static_cast<e_qs_lpm_wakeup_type>(id));
        EXPECT_EQ(get_lpm_status(), IOT_LPM_SLEEPING) << id;
        EXPECT_EQ(get_lpm_sleeping(), 1) << id;
    }
    for (int id : {4, 5, 6}) {
        if (id != 4) cycle_to_sleep();
        const int on = count("AT+CFUN=1");
        radio_on_seen();
        qs_wakeup_hander(static_cast<e_qs_lpm_wakeup_type>(id));
        EXPECT_EQ(get_lpm_status(), IOT_LPM_BEGIN) << id;
        EXPECT_EQ(get_lpm_sleeping(), 0) << id;
        EXPECT_EQ(get_ping_status(), 1) << id;
        EXPECT_EQ(get_gps_enable_flag(), 1) << id;
        EXPECT_EQ(node("/sys/power/wake_lock"), block("LPM_LOCK_KEY")) << id;
        EXPECT_EQ(node("/sys/power/autosleep"), "off") << id;
        EXPECT_GE(count("AT+CFUN=1"), on + 1) << id;
        // Autosleep was off before the first AT exchange of the wake.
        EXPECT_EQ(radio_on_seen().substr(0, 4), "off;") << id;
        // The next pass begins a new cycle.
        px510_backup_battery_step();
        EXPECT_EQ(get_lpm_status(), IOT_LPM_WAITING_NET_GPS) << id;
    }
}

TEST_F(LpmTest, AlarmWakesFromSleepButNotOnTheMainBattery) {
    start_modem();
    set_bakbat_info(kMain);
    px510_backup_battery_step();
    posix_timer_hander(nullptr);
    EXPECT_EQ(get_lpm_status(), IOT_LPM_MAIN_BATTERY);
    EXPECT_TRUE(modem->commands().empty());

    cycle_to_sleep();
    radio_on_seen();
    posix_timer_hander(nullptr);
    EXPECT_EQ(get_lpm_status(), IOT_LPM_BEGIN);
    EXPECT_EQ(get_lpm_sleeping(), 0);
    EXPECT_EQ(get_ping_status(), 1);
    EXPECT_EQ(node("/sys/power/autosleep"), "off");
    EXPECT_EQ(radio_on_seen().substr(0, 4), "off;");

    cycle_to_sleep();
    radio_on_seen();
    mcu_force_disable_sleeping();
    EXPECT_EQ(get_lpm_status(), IOT_LPM_BEGIN);
    EXPECT_EQ(get_lpm_sleeping(), 0);
    EXPECT_EQ(radio_on_seen().substr(0, 4), "off;");
    // disable_sleep is idempotent: nothing to undo a second time.
    EXPECT_EQ(disable_sleep(), 0);
}

TEST_F(LpmTest, MainBatteryReturningDuringSleepWakesTheBoxFully) {
    start_modem();
    cycle_to_sleep();
    const int on = count("AT+CFUN=1");
    set_bakbat_info(kMain);
    px510_backup_battery_step();
    EXPECT_EQ(get_lpm_status(), IOT_LPM_MAIN_BATTERY);
    EXPECT_EQ(get_lpm_sleeping(), 0);
    EXPECT_EQ(count("AT+CFUN=1"), on + 1);
    EXPECT_EQ(node("/sys/power/wake_lock"), block("LPM_LOCK_KEY"));
    EXPECT_EQ(node("/sys/power/autosleep"), "off");
    EXPECT_EQ(get_gps_enable_flag(), 1);
    EXPECT_EQ(get_ping_status(), 1);
    // USB, switched off for the sleep, is back for good.
    EXPECT_EQ(node("/sys/devices/virtual/android_usb/android0/enable"), "1");
    EXPECT_EQ(node("/sys/devices/virtual/android_usb/android0/dusb"), "1");
}

TEST_F(LpmTest, WakeDuringTheDecisionToSleepIsNotUndone) {
    // The modem holds the CFUN=0 answer while the thread is on its way to sleep.
    start_modem(400);
    set_bakbat_info(kBackup);
    g_subscribed = 1;
    px510_backup_battery_step();
    ASSERT_EQ(check_gps_gga(gga_with_fix().c_str()), 1);
    std::thread sleeper(px510_backup_battery_step);
    for (int i = 0; i < 500 && count("AT+CFUN=0") == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_GE(count("AT+CFUN=0"), 1);
    qs_wakeup_hander(E_QS_LPM_WAKEUP_MCU_GPIO_RESUME);
    sleeper.join();
    EXPECT_EQ(get_lpm_status(), IOT_LPM_BEGIN);
    EXPECT_EQ(get_lpm_sleeping(), 0);
    EXPECT_EQ(node("/sys/power/autosleep"), "off");
    EXPECT_EQ(node("/sys/power/wake_lock"), block("LPM_LOCK_KEY"));
}
