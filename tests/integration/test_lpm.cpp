// Power management on a whole simulated box: telagent-host --init-lpm with the
// real library, devsim's power daemon FIFO, power nodes and modem, mosquitto
// on loopback.  The evidence is what devsim logged of the agent's writes to
// the power nodes and the agent's console.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "box_harness.h"

namespace {

bool control(Box &box, const std::string &line) {
    const int fd = open(box.path("/var/devsim/control").c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    const std::string l = line + "\n";
    const bool wrote = write(fd, l.data(), l.size()) == static_cast<ssize_t>(l.size());
    close(fd);
    return wrote && box.wait_file("/var/devsim/control.log", line + " -> ok\n", 5000);
}

std::string power_log(const Box &box) { return box.file("/var/devsim/power.log"); }

// Waits until the power log holds `text` more than `after` times.
bool wait_power(const Box &box, const std::string &text, size_t after, int timeout_ms) {
    return poll_until([&] { return count_of(power_log(box), text) > after; }, timeout_ms);
}

}  // namespace

TEST(BoxLpm, BackupBatteryCycleSleepsWakesAndComesBackOnMainBattery) {
    Broker broker;
    ASSERT_TRUE(broker.ok()) << broker.error();
    BoxOptions o;
    o.mqtt_port = broker.port();
    o.start_host = false;
    Box box(o);
    ASSERT_TRUE(box.ok()) << box.error();
    box.put_file("/iot/conf/iot.ini", box.file("/iot/conf/iot.ini") + "BackupBatteryInterval=200\n");
    ASSERT_EQ(box.start_host({"--restart-delay-ms", "200", "--init-lpm"}), 0) << box.error();

    // Main battery: the lock is created, nothing sleeps.
    ASSERT_TRUE(box.wait_console("init_lpm *** mBackupBattery_interval:12000 \n", 20000)) << box.console();
    ASSERT_TRUE(wait_power(box, " W wake_lock LPM_LOCK_KEY 1000\n", 0, 10000)) << power_log(box);
    ASSERT_TRUE(box.wait_console("IoT Version:", 20000)) << box.console();
    // A wake event on the main battery is read and handled, and changes nothing.
    ASSERT_TRUE(control(box, "power wake 5"));
    EXPECT_TRUE(box.wait_console("read id is 5, event QS_MDM_MCU_GPIO_RESUME.\n", 10000)) << box.console();
    ASSERT_TRUE(control(box, "power raw 3200"));  // id 2 then a NUL: logged only
    EXPECT_TRUE(box.wait_console("read id is 2, event QS_MDM_VOICE_NEW_CALL.\n", 10000)) << box.console();
    EXPECT_EQ(count_of(power_log(box), " W autosleep mem\n"), 0u) << power_log(box);

    // Backup battery through the host's control channel: once subscribed with a
    // fix the box releases its lock and lets the kernel suspend.
    ASSERT_TRUE(control(box, "power battery backup"));
    EXPECT_TRUE(box.wait_console("[host] control: bakbat 100e00010000", 10000)) << box.console();
    ASSERT_TRUE(box.wait_console("goto sleep success", 90000)) << box.console();
    ASSERT_TRUE(wait_power(box, " W autosleep mem\n", 0, 10000)) << power_log(box);
    EXPECT_GE(count_of(power_log(box), " W wake_unlock LPM_LOCK_KEY\n"), 1u);
    // checknv is 1 by default: USB goes off too.
    EXPECT_GE(count_of(power_log(box), " W dusb 0\n"), 1u) << power_log(box);
    EXPECT_GE(count_of(power_log(box), " W enable 0\n"), 1u) << power_log(box);

    // A wake event from the daemon: lock taken, autosleep off.
    const size_t locks = count_of(power_log(box), " W wake_lock LPM_LOCK_KEY\n");
    const size_t offs = count_of(power_log(box), " W autosleep off\n");
    ASSERT_TRUE(control(box, "power wake 6"));
    EXPECT_TRUE(box.wait_console("Wakeup success <<<<<<<<< 6", 10000)) << box.console();
    EXPECT_TRUE(wait_power(box, " W wake_lock LPM_LOCK_KEY\n", locks, 10000)) << power_log(box);
    EXPECT_TRUE(wait_power(box, " W autosleep off\n", offs, 10000)) << power_log(box);

    // The next cycle sleeps again; then the main battery returns while asleep.
    const size_t mems = count_of(power_log(box), " W autosleep mem\n");
    ASSERT_TRUE(wait_power(box, " W autosleep mem\n", mems, 90000)) << power_log(box);
    const size_t offs2 = count_of(power_log(box), " W autosleep off\n");
    const size_t locks2 = count_of(power_log(box), " W wake_lock LPM_LOCK_KEY\n");
    ASSERT_TRUE(control(box, "power battery main"));
    EXPECT_TRUE(wait_power(box, " W autosleep off\n", offs2, 15000)) << power_log(box);
    EXPECT_TRUE(wait_power(box, " W wake_lock LPM_LOCK_KEY\n", locks2, 15000)) << power_log(box);
    // And stays awake: no further sleep on the main battery.
    const size_t mems2 = count_of(power_log(box), " W autosleep mem\n");
    harness_sleep_ms(11000);
    EXPECT_EQ(count_of(power_log(box), " W autosleep mem\n"), mems2) << power_log(box);
    EXPECT_EQ(box.stop(), 0);
}

namespace {

// A box on its backup battery with `ini_extra` in iot.ini: it must not begin a
// low-power cycle (no "Waiting goto sleep", autosleep never "mem").
void expect_no_cycle(const std::string &ini_extra, const std::string &interval_line) {
    Broker broker;
    ASSERT_TRUE(broker.ok()) << broker.error();
    BoxOptions o;
    o.mqtt_port = broker.port();
    o.start_host = false;
    Box box(o);
    ASSERT_TRUE(box.ok()) << box.error();
    box.put_file("/iot/conf/iot.ini", box.file("/iot/conf/iot.ini") + ini_extra);
    ASSERT_EQ(box.start_host({"--restart-delay-ms", "200", "--init-lpm"}), 0) << box.error();
    ASSERT_TRUE(box.wait_console(interval_line, 20000)) << box.console();
    ASSERT_TRUE(box.wait_console("IoT Version:", 20000)) << box.console();
    ASSERT_TRUE(control(box, "power battery backup"));
    EXPECT_TRUE(box.wait_console("[host] control: bakbat 100e00010000", 10000)) << box.console();
    harness_sleep_ms(16000);  // three passes of the backup-battery thread
    EXPECT_EQ(count_of(box.console(), "Waiting goto sleep"), 0u) << box.console();
    EXPECT_EQ(count_of(power_log(box), " W autosleep mem\n"), 0u) << power_log(box);
    EXPECT_EQ(box.stop(), 0);
}

}  // namespace

TEST(BoxLpm, IntervalZeroKeepsTheBoxAwakeOnTheBackupBattery) {
    expect_no_cycle("BackupBatteryInterval=0\n", "init_lpm *** mBackupBattery_interval:0 \n");
}

TEST(BoxLpm, ChecknvZeroKeepsTheBoxAwakeOnTheBackupBattery) {
    expect_no_cycle("checknv=0\n", "init_lpm *** mBackupBattery_interval:12000 \n");
}
