// The wake paths end to end: the power daemon's FIFO read by the library's
// monitor thread (partial writes, bursts, garbage, ids back to back), the
// alarm timer on the fake clock and on the boot-time clock, and init_lpm with
// its thread running the whole cycle behind the fake clock.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <algorithm>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/logging.h"
#include "telagent/iot_config.h"
#include "lib/qs_common_api/lpm/src/qs_lpm_api.h"
#include "lte/lte_handle.h"
#include "platform/plat_clock.h"
#include "power/lpm_handle.h"
#include "support/pty_modem.h"
#include "support/stdout_capture.h"
#include "support/test_root.h"

namespace {

constexpr time_t kT = 1710498030;

std::mutex g_mu;
std::vector<int> g_ids;
void record(e_qs_lpm_wakeup_type id) {
    std::lock_guard<std::mutex> lk(g_mu);
    g_ids.push_back(static_cast<int>(id));
}
std::vector<int> ids() {
    std::lock_guard<std::mutex> lk(g_mu);
    return g_ids;
}

std::atomic<int> g_fired{0};
void count_fire(void *param) {
    g_fired.fetch_add(1);
    EXPECT_EQ(param, &g_fired);
}

bool wait_for(const std::function<bool()> &pred, int timeout_ms = 5000) {
    for (int i = 0; i < timeout_ms / 2; ++i) {
        if (pred()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return pred();
}

// Nothing more arrives for a while (real time; the monitor is not clocked).
void settle() { std::this_thread::sleep_for(std::chrono::milliseconds(100)); }

}  // namespace

TEST(LpmWakeIds, EveryDigitIsOneEventAndGarbageRunsAreOneDefault) {
    struct Case {
        std::string in;
        std::vector<int> out;
    } cases[] = {
        {"4", {4}},
        {"45", {4, 5}},  // two writes merged by the pipe
        {"6\n", {6}},
        {std::string("1\0\0\0", 4), {1}},
        {"", {}},
        {"  \r\n", {}},
        {"x7zz", {-1, 7, -1}},
        {"-3", {-1, 3}},
        {"\xff\xfe", {-1}},
        {"9999", {9, 9, 9, 9}},
    };
    for (const auto &c : cases) {
        int out[4] = {42, 42, 42, 42};
        size_t n = qs_lpm_parse_ids(c.in.data(), c.in.size(), out, 4);
        EXPECT_EQ(std::vector<int>(out, out + n), c.out) << c.in;
    }
    // Never more than the caller's room.
    int two[2];
    EXPECT_EQ(qs_lpm_parse_ids("1234", 4, two, 2), 2u);
    EXPECT_EQ(two[1], 2);
}

TEST(LpmWakeFifo, MonitorHandlesPartialWritesBurstsAndGarbage) {
    TestRoot root;
    root.mkdirs("/tmp");
    StdoutCapture out(root.at("/stdout.txt"));
    ASSERT_EQ(QS_Lpm_Init(record), 0);
    struct stat st {};
    ASSERT_EQ(stat(root.at("/tmp/wakemsgid_fifo").c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    int w = open(root.at("/tmp/wakemsgid_fifo").c_str(), O_WRONLY | O_NONBLOCK);
    ASSERT_GE(w, 0);
    auto put = [w](const std::string &s) { ASSERT_EQ(write(w, s.data(), s.size()), (ssize_t)s.size()); };

    put("4");
    ASSERT_TRUE(wait_for([] { return ids().size() == 1; }));
    put("5");
    put("6");  // back to back: read together
    ASSERT_TRUE(wait_for([] { return ids().size() == 3; }));
    put("garbage!");
    put("0");
    put("7");
    settle();
    EXPECT_EQ(ids().size(), 3u);
    put("3");
    for (int i = 0; i < 20; ++i) put("2");
    ASSERT_TRUE(wait_for([] { return ids().size() == 24; }));
    settle();
    const std::vector<int> want = {4, 5, 6, 3, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2};
    EXPECT_EQ(ids(), want);
    close(w);
    const std::string text = out.text();
    EXPECT_NE(text.find("read id is 4, event QS_MDM_MCU_GPIO_SUSPEND.\n"), std::string::npos);
    EXPECT_NE(text.find("read id is 6, event QS_MDM_RTC_ALARM.\n"), std::string::npos);
    EXPECT_NE(text.find("read id is default.\n"), std::string::npos);
}

TEST(LpmWakeFifo, MissingDirectoryFailsInit) {
    TestRoot root;  // no /tmp under the root: the FIFO cannot be made
    EXPECT_NE(QS_Lpm_Init(record), 0);
    EXPECT_FALSE(root.exists("/tmp/wakemsgid_fifo"));
}

TEST(LpmAlarm, FakeClockExpiriesFollowTheIntervalAndBadArgumentsFail) {
    plat_clock_fake(kT);
    qs_timer_t t = nullptr;
    EXPECT_EQ(QS_Posix_Timer_Enable(nullptr, count_fire, &g_fired, 60, 1), -1);
    EXPECT_EQ(QS_Posix_Timer_Enable(&t, nullptr, &g_fired, 60, 1), -1);
    EXPECT_EQ(QS_Posix_Timer_Enable(&t, count_fire, &g_fired, 60, 2), -1);
    EXPECT_EQ(QS_Posix_Timer_Enable(&t, count_fire, &g_fired, 0, 1), -1);

    ASSERT_EQ(QS_Posix_Timer_Enable(&t, count_fire, &g_fired, 60, 1), 0);
    plat_clock_advance_ms(59 * 1000);
    settle();
    EXPECT_EQ(g_fired.load(), 0);
    plat_clock_advance_ms(1000);
    ASSERT_TRUE(wait_for([] { return g_fired.load() == 1; }));
    plat_clock_advance_ms(120 * 1000);
    ASSERT_TRUE(wait_for([] { return g_fired.load() == 3; }));
    QS_Posix_Timer_Disable(t);
    plat_clock_advance_ms(600 * 1000);
    settle();
    EXPECT_EQ(g_fired.load(), 3);

    qs_timer_t once = nullptr;
    ASSERT_EQ(QS_Posix_Timer_Enable(&once, count_fire, &g_fired, 5, 0), 0);
    plat_clock_advance_ms(50 * 1000);
    ASSERT_TRUE(wait_for([] { return g_fired.load() == 4; }));
    settle();
    EXPECT_EQ(g_fired.load(), 4);
    QS_Posix_Timer_Disable(once);
}

TEST(LpmAlarm, BootTimeClockTimerFiresOnItsOwnThread) {
    qs_timer_t t = nullptr;
    ASSERT_EQ(QS_Posix_Timer_Enable(&t, count_fire, &g_fired, 1, 0), 0);
    EXPECT_TRUE(wait_for([] { return g_fired.load() == 1; }, 10000));
    QS_Posix_Timer_Disable(t);
}

namespace {

class InitLpmTest : public ::testing::Test {
protected:
    void SetUp() override {
        plat_clock_fake(kT);
        mLogInit(2, LOG_TYPE_FILE);
        init_lte_common();
        root.mkdirs("/tmp");
        for (const char *n : {"/sys/power/wake_lock", "/sys/power/wake_unlock", "/sys/power/autosleep"})
            root.write(n, "");
        set_factory_booting(1);
        const unsigned char backup[6] = {1, 0, 0, 1, 0, 0};
        set_bakbat_info(backup);
    }
    TestRoot root;
};

}  // namespace

TEST_F(InitLpmTest, IntervalZeroDisablesTheTimerAndKeepsTheMainBatteryPath) {
    root.write("/iot/conf/iot.ini", "[IotCfg]\nBackupBatteryInterval=0\n");
    StdoutCapture out(root.at("/stdout.txt"));
    ASSERT_EQ(init_lpm(), 1);
    EXPECT_EQ(init_lpm(), 0);  // once only
    EXPECT_EQ(get_lpm_rtc_disabled(), 1);
    // The thread has run many 5 s passes of fake time by now.
    const int64_t t0 = plat_mono_ms();
    ASSERT_TRUE(wait_for([t0] { return plat_mono_ms() - t0 > 60 * 1000; }));
    EXPECT_EQ(get_lpm_status(), IOT_LPM_MAIN_BATTERY);
    EXPECT_EQ(root.read("/sys/power/autosleep"), "");
    EXPECT_NE(out.text().find("init_lpm *** mBackupBattery_interval:0 \n"), std::string::npos);
    EXPECT_EQ(root.read("/sys/power/wake_lock"), std::string("LPM_LOCK_KEY 1000") + std::string(7, '\0'));
}

TEST_F(InitLpmTest, WholeCycleSleepsAfterTheWaitAndWakesOnAlarmAndFifo) {
    root.write("/iot/conf/iot.ini", "[IotCfg]\nBackupBatteryInterval=10\n");
    PtyModem modem(root.at("/dev/smd7"),
                   [](const std::string &) { return std::vector<ModemChunk>{{0, "\r\nOK\r\n"}}; }, false);
    ASSERT_TRUE(modem.ok());
    StdoutCapture out(root.at("/stdout.txt"));
    ASSERT_EQ(init_lpm(), 1);
    EXPECT_EQ(get_lpm_rtc_disabled(), 0);
    // Never subscribed: asleep after the 360 s wait, then the 600 s alarm wakes it.
    ASSERT_TRUE(wait_for([&] { return out.text().find("Wakeup success <<<<<<<<< rtc") != std::string::npos; },
                         20000));
    const std::string text = out.text();
    const size_t sleep_at = text.find("goto sleep success");
    ASSERT_NE(sleep_at, std::string::npos);
    EXPECT_LT(sleep_at, text.find("Wakeup success <<<<<<<<< rtc"));
    EXPECT_NE(text.find("Waiting goto sleep 360/360"), std::string::npos);

    // A wake event from the daemon while the cycle runs.
    int w = open(root.at("/tmp/wakemsgid_fifo").c_str(), O_WRONLY | O_NONBLOCK);
    ASSERT_GE(w, 0);
    ASSERT_EQ(write(w, "5", 1), 1);
    close(w);
    EXPECT_TRUE(wait_for(
        [&] { return out.text().find("read id is 5, event QS_MDM_MCU_GPIO_RESUME.\n") != std::string::npos; }));
}

TEST(LpmInit, NoAlarmTimerMeansNoSleep) {
#if defined(TELAGENT_ASAN)
    // The case runs out of descriptors on purpose; the address sanitizer's
    // runtime then cannot read the process maps its type checks need.
    GTEST_SKIP() << "needs a process whose runtime uses no descriptors of its own";
#endif
    // The real clock, and descriptors for the wake FIFO but not for the timer.
    TestRoot root;
    root.mkdirs("/tmp");
    for (const char *n : {"/sys/power/wake_lock", "/sys/power/wake_unlock", "/sys/power/autosleep"})
        root.write(n, "");
    set_factory_booting(1);
    const unsigned char backup[6] = {1, 0, 0, 1, 0, 0};
    set_bakbat_info(backup);
    root.write("/iot/conf/iot.ini", "[IotCfg]\nBackupBatteryInterval=200\n");
    init_iotconfig();  // opened now, so init_lpm's reload needs no new descriptor

    // Fill every hole below the highest open descriptor, then allow one more.
    std::vector<int> fillers;
    int top = -1;
    // Plain readdir: the sanitizer's vptr check trips over the library's
    // directory iterator under our hidden visibility.
    if (DIR *d = opendir("/proc/self/fd")) {
        while (const dirent *e = readdir(d)) {
            if (e->d_name[0] >= '0' && e->d_name[0] <= '9') top = std::max(top, atoi(e->d_name));
        }
        closedir(d);
    }
    for (;;) {
        int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        if (fd > top) {
            close(fd);
            break;
        }
        fillers.push_back(fd);
    }
    struct rlimit old {};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old), 0);
    struct rlimit one_more = old;
    one_more.rlim_cur = static_cast<rlim_t>(top + 2);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &one_more), 0);
    const int r = init_lpm();
    setrlimit(RLIMIT_NOFILE, &old);
    for (int fd : fillers) close(fd);

    ASSERT_EQ(r, 1);
    EXPECT_EQ(get_lpm_rtc_disabled(), 1);
    px510_backup_battery_step();
    EXPECT_EQ(get_lpm_status(), IOT_LPM_MAIN_BATTERY);
    EXPECT_EQ(root.read("/sys/power/autosleep"), "");
}

TEST(LpmAutosleep, UsbWakeSourceIsDroppedOnlyWithoutCableAndWithoutActiveSource) {
    TestRoot root;
    const char *kDusb = "/sys/devices/virtual/android_usb/android0/dusb";
    const char *kSources = "/sys/kernel/debug/wakeup_sources";
    const char *kOnline = "/sys/devices/78d9000.usb/power_supply/usb/online";
    root.write("/sys/power/autosleep", "off");
    root.write(kDusb, "x");
    root.write(kOnline, "0\n");
    const std::string head = "name\t\tactive_count\tevent_count\twakeup_count\texpire_count\tactive_since\n";
    // Source active: nothing to drop.
    root.write(kSources, head + "msm_otg\t\t3\t3\t0\t0\t1\n");
    EXPECT_EQ(QS_Autosleep_Enable(), 0);
    EXPECT_EQ(root.read("/sys/power/autosleep"), "mem");
    EXPECT_EQ(root.read(kDusb), "x");
    // Inactive and no cable: the gadget is toggled (last write "0").
    root.write(kSources, head + "other\t\t1\t1\t0\t0\t1\nmsm_otg\t\t3\t3\t0\t0\t0\n");
    EXPECT_EQ(QS_Autosleep_Enable(), 0);
    EXPECT_EQ(root.read(kDusb), "0");
    // A cable present: left alone.
    root.write(kDusb, "x");
    root.write(kOnline, "1\n");
    EXPECT_EQ(QS_Autosleep_Enable(), 0);
    EXPECT_EQ(root.read(kDusb), "x");
    // An unreadable table still enables autosleep; a missing node does not.
    root.write(kSources, "garbage");
    EXPECT_EQ(QS_Autosleep_Enable(), 0);
    unlink(root.at("/sys/power/autosleep").c_str());
    EXPECT_EQ(QS_Autosleep_Enable(), -1);
    EXPECT_FALSE(root.exists("/sys/power/autosleep"));
}
