// The host takes a new library on trial and goes back to the previous one
// when it cannot be loaded or keeps ending in its first minutes; the window
// is shortened on the command line so nothing waits 5 minutes.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "box_harness.h"

namespace fs = std::filesystem;

namespace {

constexpr int kWait = 15000;
const std::string kOld = "/iot/lib/libTelAgent.so";
const std::string kNew = "/iot/lib/libTelAgentEx.so";

BoxOptions fake(std::vector<std::string> args) {
    BoxOptions o;
    o.lib = FAKE_AGENT_LIB;
    o.host_args = std::move(args);
    return o;
}

std::vector<std::string> libs_called(const Box &box) {
    std::vector<std::string> out;
    std::istringstream in(box.file("/var/fake/calls.log"));
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("lib=", 0) == 0) out.push_back(line.substr(4, line.find(' ') - 4));
    }
    return out;
}

bool wait_calls(const Box &box, size_t n) {
    return poll_until([&] { return libs_called(box).size() >= n; }, kWait);
}

void install_new(const Box &box, const std::string &target) {
    fs::remove(box.path(kNew));
    fs::create_symlink(target, box.path(kNew));
    box.put_file("/iot/conf/libiot.ini", kNew + "\n");
}

TEST(HostFallback, LibraryThatCannotBeLoadedIsReplacedByThePreviousOne) {
    Box box(fake({"--restart-delay-ms", "100"}));
    ASSERT_TRUE(box.ok()) << box.error();
    ASSERT_TRUE(wait_calls(box, 1));
    EXPECT_TRUE(box.wait_file("/iot/conf/libiot.good", kOld, kWait));
    box.put_file("/iot/lib/garbage.so", "this is not a shared object");
    install_new(box, box.path("/iot/lib/garbage.so"));
    box.put_file("/var/fake/once", "reboot");
    EXPECT_TRUE(box.wait_console("[host] " + kNew + " cannot be loaded: going back to " + kOld + "\n", kWait))
        << box.console();
    ASSERT_TRUE(wait_calls(box, 2)) << box.console();
    EXPECT_EQ(libs_called(box)[1], kOld);
    EXPECT_EQ(box.file("/iot/conf/libiot.ini"), kOld + "\n");
    EXPECT_EQ(box.file("/iot/conf/libiot.good"), kOld + "\n");
}

TEST(HostFallback, FourthCrashWithinTheWindowGoesBack) {
    Box box(fake({"--restart-delay-ms", "50"}));
    ASSERT_TRUE(box.ok()) << box.error();
    ASSERT_TRUE(wait_calls(box, 1));
    box.put_file("/var/fake/mode.libTelAgentEx.so", "segv");
    install_new(box, FAKE_AGENT_LIB);
    box.put_file("/var/fake/once", "exit 0");
    ASSERT_TRUE(wait_calls(box, 6)) << box.console();
    const auto libs = libs_called(box);
    // One old start, four of the new one (the fourth crash is one too many), the old again.
    EXPECT_EQ(libs[0], kOld);
    for (int i = 1; i <= 4; ++i) EXPECT_EQ(libs[i], kNew) << i;
    EXPECT_EQ(libs[5], kOld);
    EXPECT_NE(box.console().find("ended 4 times within"), std::string::npos) << box.console();
    EXPECT_EQ(box.file("/iot/conf/libiot.ini"), kOld + "\n");
    // And it stays on the old one.
    harness_sleep_ms(500);
    EXPECT_EQ(libs_called(box).size(), 6u);
}

TEST(HostFallback, LibraryThatOutlivesItsWindowIsKept) {
    Box box(fake({"--restart-delay-ms", "50", "--trial-window-ms", "400"}));
    ASSERT_TRUE(box.ok()) << box.error();
    ASSERT_TRUE(wait_calls(box, 1));
    install_new(box, FAKE_AGENT_LIB);
    box.put_file("/var/fake/once", "exit 0");
    EXPECT_TRUE(box.wait_console("[host] " + kNew + " passed its trial\n", kWait)) << box.console();
    EXPECT_EQ(box.file("/iot/conf/libiot.good"), kNew + "\n");
    // Crashes from now on are no reason to go back.
    box.put_file("/var/fake/mode.libTelAgentEx.so", "segv");
    box.put_file("/var/fake/once", "segv");
    ASSERT_TRUE(wait_calls(box, 7)) << box.console();
    for (const auto &l : libs_called(box)) EXPECT_TRUE(l == kOld || l == kNew);
    EXPECT_EQ(libs_called(box).back(), kNew);
    EXPECT_EQ(box.console().find("going back"), std::string::npos);
}

TEST(HostFallback, LibraryPushedOverALinkIsTriedAsTheNextOneWithTheCurrentKept) {
    Box box(fake({"--restart-delay-ms", "50"}));
    ASSERT_TRUE(box.ok()) << box.error();
    ASSERT_TRUE(wait_calls(box, 1));
    // A pushed image that does not load: installed, refused, back to the old one.
    box.put_file("/iot/conf/libTelAgent_w.so", "not a shared object");
    box.put_file("/var/fake/once", "exit 0");
    EXPECT_TRUE(box.wait_console("[host] library pushed over a vehicle link installed as " + kNew + "\n", kWait))
        << box.console();
    EXPECT_TRUE(box.wait_console("[host] " + kNew + " cannot be loaded: going back to " + kOld + "\n", kWait))
        << box.console();
    ASSERT_TRUE(wait_calls(box, 2)) << box.console();
    EXPECT_EQ(libs_called(box)[1], kOld);
    EXPECT_FALSE(fs::exists(box.path("/iot/conf/libTelAgent_w.so")));
    // A good one: it runs from the other slot, on trial, the old one in place.
    fs::copy_file(FAKE_AGENT_LIB, box.path("/iot/conf/libTelAgent_w.so"));
    box.put_file("/var/fake/once", "exit 0");
    ASSERT_TRUE(wait_calls(box, 3)) << box.console();
    EXPECT_EQ(libs_called(box)[2], kNew);
    EXPECT_NE(box.console().find("[host] " + kNew + " on trial, previous " + kOld), std::string::npos)
        << box.console();
    EXPECT_EQ(box.file("/iot/conf/libiot.ini"), kNew + "\n");
    EXPECT_TRUE(fs::exists(box.path(kOld)));
}

}  // namespace
