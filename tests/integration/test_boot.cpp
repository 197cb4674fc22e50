// The real agent library on a simulated box.
#include <gtest/gtest.h>

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
