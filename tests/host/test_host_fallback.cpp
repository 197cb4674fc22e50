// The host takes a new library on trial and goes back to the previous one
// when it cannot be loaded, keeps ending in its first minutes, or never comes
// online; the windows are shortened on the command line so nothing waits
// minutes.  The real agent is kept as soon as it has subscribed, and power
// cuts during a trial never leave libiot.ini naming nothing loadable.
#include <gtest/gtest.h>

#include <signal.h>

#include <filesystem>
#include <fstream>
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

TEST(HostHealth, ALibraryThatRunsButNeverComesOnlineIsReplaced) {
    Box box(fake({"--restart-delay-ms", "50", "--health-window-ms", "1000"}));
    ASSERT_TRUE(box.ok()) << box.error();
    ASSERT_TRUE(wait_calls(box, 1));
    box.put_file("/var/fake/mode.libTelAgentEx.so", "offline");
    install_new(box, FAKE_AGENT_LIB);
    box.put_file("/var/fake/once", "exit 0");
    EXPECT_TRUE(box.wait_console("[host] " + kNew + " did not reach its broker within 1 s of its start: going back to " +
                                     kOld + "\n",
                                 kWait))
        << box.console();
    ASSERT_TRUE(wait_calls(box, 3)) << box.console();
    // It ran once, without a crash, and was stopped: then the old one again.
    const auto libs = libs_called(box);
    EXPECT_EQ(libs[1], kNew);
    EXPECT_EQ(libs[2], kOld);
    EXPECT_EQ(box.file("/iot/conf/libiot.ini"), kOld + "\n");
    EXPECT_EQ(box.file("/iot/conf/libiot.good"), kOld + "\n");
    EXPECT_EQ(box.console().find("passed its trial"), std::string::npos);
}

TEST(HostHealth, PowerCutsDuringTrialsNeverLeaveTheBoxWithoutALoadableLibrary) {
    const std::vector<std::string> args = {"--restart-delay-ms", "20", "--health-window-ms", "300"};
    Box box(fake(args));
    ASSERT_TRUE(box.ok()) << box.error();
    ASSERT_TRUE(wait_calls(box, 1));
    box.put_file("/var/fake/mode.libTelAgentEx.so", "offline");
    size_t starts = 1;
    for (int cut = 0; cut < 8; ++cut) {
        SCOPED_TRACE(cut);
        if (box.file("/iot/conf/libiot.ini") != kNew + "\n") {
            // Another update: the running library fetched the new one and
            // asked for a restart.
            install_new(box, FAKE_AGENT_LIB);
            box.put_file("/var/fake/once", "exit 0");
        }
        ASSERT_TRUE(poll_until([&] {
            const auto libs = libs_called(box);
            return libs.size() > starts && libs.back() == kNew;
        }, kWait)) << box.console();
        // The cut lands before, at and after the end of the health window.
        harness_sleep_ms(80 * cut);
        kill(box.host_pid(), SIGKILL);
        ASSERT_NE(box.wait_host_exit(5000), -1);
        const std::string ini = box.file("/iot/conf/libiot.ini");
        EXPECT_TRUE(ini == kOld + "\n" || ini == kNew + "\n") << ini;
        EXPECT_TRUE(fs::exists(box.path(ini.substr(0, ini.size() - 1))));
        // What the box goes back to is never the library being tried.
        EXPECT_EQ(box.file("/iot/conf/libiot.good"), kOld + "\n");
        fs::remove(box.path("/var/fake/once"));
        starts = libs_called(box).size();
        ASSERT_EQ(box.start_host(args), 0);
    }
    // Left alone, the last trial ends on the old library.
    if (box.file("/iot/conf/libiot.ini") == kNew + "\n") {
        EXPECT_TRUE(box.wait_file("/iot/conf/libiot.ini", kOld + "\n", kWait)) << box.console();
    }
    ASSERT_TRUE(poll_until([&] { return libs_called(box).back() == kOld; }, kWait));
    EXPECT_GE(count_of(box.console(), "did not reach its broker"), 1u);
}

// The real agent against mosquitto: a new library is kept the moment its
// session has subscribed, minutes before any window would have closed.
TEST(HostHealth, ANewLibraryIsCommittedAsSoonAsItHasSubscribed) {
    Broker broker;
    ASSERT_TRUE(broker.ok()) << broker.error();
    BoxOptions o;
    o.mqtt_port = broker.port();
    o.host_args = {"--restart-delay-ms", "200", "--trial-window-ms", "600000"};
    Box box(o);
    ASSERT_TRUE(box.ok()) << box.error();
    ASSERT_TRUE(box.wait_console("online: health marked for " + kOld + "\n", 90000)) << box.console();
    EXPECT_EQ(box.file("/var/run/telagent.health"), kOld + "\n");

    fs::remove(box.path(kNew));
    fs::create_symlink(TELAGENT_LIB_FILE, box.path(kNew));
    box.put_file("/iot/conf/libiot.ini", kNew + "\n");
    // A restart as after a self-update: the agent goes, the host starts the new one.
    std::ifstream kids("/proc/" + std::to_string(box.host_pid()) + "/task/" + std::to_string(box.host_pid()) +
                       "/children");
    pid_t agent = 0;
    ASSERT_TRUE(kids >> agent);
    const int64_t t0 = harness_mono_ms();
    kill(agent, SIGKILL);
    const std::string commit = "[host] " + kNew + " reached its broker: committed\n";
    ASSERT_TRUE(box.wait_console(commit, 90000)) << box.console();
    printf("restart to commit: %lld ms\n", static_cast<long long>(harness_mono_ms() - t0));
    const std::string c = box.console();
    const size_t marked = c.find("online: health marked for " + kNew + "\n");
    ASSERT_NE(marked, std::string::npos);
    EXPECT_LT(c.find(" on trial, previous " + kOld), marked);
    EXPECT_LT(marked, c.find(commit));
    EXPECT_EQ(box.file("/iot/conf/libiot.good"), kNew + "\n");
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

TEST(HostFallback, WithTheOperatorsKeyAPushedLibraryMustEndInItsSignature) {
    Box box(fake({"--restart-delay-ms", "50"}));
    ASSERT_TRUE(box.ok()) << box.error();
    ASSERT_TRUE(wait_calls(box, 1));
    const std::string keys = box.path("/var/keys");
    fs::create_directories(keys);
    std::string out;
    ASSERT_EQ(run_program({"/bin/sh", "-c", "openssl genpkey -algorithm ed25519 -out " + keys + "/op.pem && openssl pkey -in " +
                                               keys + "/op.pem -pubout -out " + keys + "/op.pub"},
                          {}, &out, 30000), 0) << out;
    box.put_file("/iot/conf/ota_pubkey.pem", read_text(keys + "/op.pub"));
    // Unsigned: removed, the old library goes on.
    fs::copy_file(FAKE_AGENT_LIB, box.path("/iot/conf/libTelAgent_w.so"));
    box.put_file("/var/fake/once", "exit 0");
    EXPECT_TRUE(box.wait_console("not installed: signature refused: signature does not match\n", kWait)) << box.console();
    ASSERT_TRUE(wait_calls(box, 2));
    EXPECT_EQ(libs_called(box)[1], kOld);
    EXPECT_FALSE(fs::exists(box.path("/iot/conf/libTelAgent_w.so")));
    // Signed, the signature as its last 64 bytes: installed without them.
    const std::string img = keys + "/img.so";
    fs::copy_file(FAKE_AGENT_LIB, img);
    ASSERT_EQ(run_program({TELAGENT_CLOUD_BIN, "sign", "--key", keys + "/op.pem", img}, {}, &out, 10000), 0) << out;
    box.put_file("/iot/conf/libTelAgent_w.so", read_text(img) + read_text(img + ".sig"));
    box.put_file("/var/fake/once", "exit 0");
    EXPECT_TRUE(box.wait_console("installed as " + kNew + "\n", kWait)) << box.console();
    ASSERT_TRUE(wait_calls(box, 3)) << box.console();
    EXPECT_EQ(libs_called(box)[2], kNew);
    EXPECT_EQ(fs::file_size(box.path(kNew)), fs::file_size(FAKE_AGENT_LIB));
}

}  // namespace
