// Reboot and power-off fallbacks of the system utilities, run in this process
// on a simulated box's root, against devsim's modem on the real smd7 port.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "box_harness.h"
#include "core/sys_utils.h"
#include "lte/at_channel.h"
#include "lte/lte_handle.h"
#include "platform/plat_clock.h"

namespace {

void use_root(const Box &box) {
    setenv("TELAGENT_ROOT", box.root().c_str(), 1);
    ASSERT_EQ(chdir(box.root().c_str()), 0);
    init_lte_common();
}

std::string at(const std::string &cmd) {
    char buf[400] = {};
    exec_at(cmd.c_str(), buf, 320);
    return std::string(buf);
}

// "at+RESET\r\n" as the devsim wire log writes what the agent sent.
std::string hex_of(const std::string &s) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : s) {
        if (!out.empty()) out += ' ';
        out += kHex[c >> 4];
        out += kHex[c & 15];
    }
    return out;
}

}  // namespace

TEST(SysModem, RefusedRebootResetsTheModemWhichComesBackOnAir) {
    BoxOptions o;
    o.start_host = false;
    Box box(o);
    ASSERT_TRUE(box.ok()) << box.error();
    use_root(box);
    box.put_file("/var/actions.refuse", "reboot\n");
    ASSERT_NE(at("AT+CFUN=0\r\n").find("OK"), std::string::npos);
    ASSERT_NE(at("AT+CFUN?\r\n").find("+CFUN: 0"), std::string::npos);

    reboot_system_now();  // refused: must fall back to the modem's reset

    EXPECT_NE(box.actions().find(" reboot [refused]\n"), std::string::npos) << box.actions();
    EXPECT_NE(at("AT+CFUN?\r\n").find("+CFUN: 1"), std::string::npos);
    EXPECT_TRUE(box.wait_file("/var/devsim/smd7.log", "RX " + hex_of("at+RESET\r\n"), 3000))
        << box.file("/var/devsim/smd7.log");
}

TEST(SysModem, PoweroffKeepsAskingTheModemEveryRound) {
    BoxOptions o;
    o.start_host = false;
    Box box(o);
    ASSERT_TRUE(box.ok()) << box.error();
    use_root(box);
    plat_clock_fake(1700000000);
    poweroff_system();  // its thread lives as long as this case's process
    const std::string cmd = "RX " + hex_of("at+Poweroff\r\n");
    ASSERT_TRUE(poll_until([&] { return count_of(box.file("/var/devsim/smd7.log"), cmd) >= 2; }, 10000))
        << box.file("/var/devsim/smd7.log");
}
