// The real agent library on a simulated box.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <regex>
#include <string>

#include "box_harness.h"

TEST(BoxBoot, StartsAndRecordsOomProtection) {
    Broker broker;
    ASSERT_TRUE(broker.ok()) << broker.error();
    BoxOptions o;
    o.mqtt_port = broker.port();
    Box box(o);
    ASSERT_TRUE(box.ok()) << box.error();
    EXPECT_TRUE(box.wait_console("Runing lib:/iot/lib/libTelAgent.so,nt[1]\n", 20000)) << box.console();
    EXPECT_TRUE(box.wait_console("IoT Version:TX513.880Q.v1.2.2.1.2023.11.21\r\nLoad ...\r\n", 20000))
        << box.console();
    ASSERT_TRUE(box.wait_actions("oom_adj", 20000)) << box.actions();
    EXPECT_TRUE(std::regex_search(box.actions(), std::regex("\\d+ shell echo '-17' > /proc/\\d+/oom_adj\n")))
        << box.actions();
}

// The emulator of a cross-built host is named as a shell would name it
// ("qemu-arm -L /"): found on PATH, and a name that is not there is the box's
// error rather than a host that dies before its first line.  `env` stands in
// for the emulator, wrapping whatever emulator this run already uses.
TEST(BoxBoot, EmulatorIsLookedUpOnPathAndAMissingOneIsReported) {
    const std::string outer = harness_file("TELAGENT_TEST_EMULATOR", "");
    {
        setenv("TELAGENT_TEST_EMULATOR", ("env " + outer).c_str(), 1);
        Box box;
        ASSERT_TRUE(box.ok()) << box.error();
        EXPECT_TRUE(box.wait_console("Runing lib:/iot/lib/libTelAgent.so,nt[1]\n", 20000)) << box.console();
    }
    setenv("TELAGENT_TEST_EMULATOR", "telagent-no-such-emulator -L /", 1);
    Box box;
    EXPECT_FALSE(box.ok());
    EXPECT_NE(box.error().find("telagent-no-such-emulator is not on PATH"), std::string::npos) << box.error();
    EXPECT_EQ(box.host_pid(), -1);
}

TEST(BoxBoot, BrokerAcceptsLoopbackConnectionsUntilDestroyed) {
    int port = 0;
    {
        Broker broker;
        ASSERT_TRUE(broker.ok()) << broker.error();
        port = broker.port();
        EXPECT_TRUE(port_accepts(port));
    }
    EXPECT_TRUE(poll_until([&] { return !port_accepts(port); }, 5000));
}
