#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <filesystem>
#include <pthread.h>

#include <string>

#include "platform/plat_clock.h"
#include "platform/plat_node.h"
#include "platform/plat_path.h"
#include "platform/plat_thread.h"
#include "platform/sys_action.h"
#include "support/test_root.h"

namespace fs = std::filesystem;

TEST(PlatPath, PrefixesTheRootAndFoldsDotDot) {
    TestRoot root;
    EXPECT_EQ(plat_path("/iot/log"), root.path() + "/iot/log");
    EXPECT_EQ(plat_path("/dev/ttyHSL1"), root.path() + "/dev/ttyHSL1");
    // Hostile or sloppy paths never climb out of the root.
    EXPECT_EQ(plat_path("/../../etc/passwd"), root.path() + "/etc/passwd");
    EXPECT_EQ(plat_path("/iot/../../../../proc/sysrq-trigger"), root.path() + "/proc/sysrq-trigger");
    EXPECT_EQ(plat_path("//iot/./conf//x"), root.path() + "/iot/conf/x");
    EXPECT_EQ(plat_path("/"), root.path() + "/");
    // Relative paths are relative to the working directory (the root).
    EXPECT_EQ(plat_path("iot/conf/iot.ini"), "iot/conf/iot.ini");
}

TEST(PlatPath, SimulationWithoutUsableRootPointsNowhere) {
    for (const char *bad : {"", "/", "relative/dir"}) {
        if (*bad) setenv("TELAGENT_ROOT", bad, 1); else unsetenv("TELAGENT_ROOT");
        EXPECT_FALSE(plat_root_usable()) << bad;
        std::string p = plat_path("/etc/resolv.conf");
        EXPECT_EQ(p.rfind("/nonexistent/", 0), 0u) << p;
    }
    setenv("TELAGENT_ROOT", "///tmp/x//", 1);
    EXPECT_TRUE(plat_root_usable());
    EXPECT_EQ(plat_root(), "///tmp/x");
}

TEST(PlatClock, FakeClockStepsWithoutWaiting) {
    plat_clock_fake(1700000000);
    int64_t mono0 = plat_mono_ms();
    EXPECT_EQ(plat_now(), 1700000000);
    plat_sleep_s(3600);  // returns at once
    EXPECT_EQ(plat_now(), 1700003600);
    EXPECT_EQ(plat_mono_ms() - mono0, 3600000);
    plat_clock_advance_ms(1500);
    EXPECT_EQ(plat_now(), 1700003601);
    EXPECT_EQ(plat_now_ms(), 1700003601500);
}

TEST(PlatClock, ShiftMovesWallClockOnly) {
    int64_t mono0 = plat_mono_ms();
    plat_clock_shift_to(1000000000);
    EXPECT_NEAR(static_cast<double>(plat_now()), 1000000000.0, 2.0);
    EXPECT_LT(plat_mono_ms() - mono0, 2000);
}

class SysActions : public ::testing::Test {
protected:
    TestRoot root;
    std::string log() const { return root.read("/var/actions.log"); }
};

TEST_F(SysActions, ShellCommandsAreRecordedNotRun) {
    std::string marker = root.path() + "/ran";
    std::string cmd = "touch " + marker;
    EXPECT_EQ(sys_shell(cmd.c_str()), 0);
    EXPECT_FALSE(fs::exists(marker));
    EXPECT_NE(log().find(" shell touch " + marker + "\n"), std::string::npos) << log();
    // One action, one line, whatever the command contains.
    EXPECT_EQ(sys_shell("echo a\nreboot"), 0);
    EXPECT_NE(log().find(" shell echo a reboot\n"), std::string::npos) << log();
    EXPECT_EQ(sys_shell(nullptr), -1);
}

TEST_F(SysActions, SetTimeShiftsTheAgentClockOnly) {
    time_t before = time(nullptr);
    EXPECT_EQ(sys_set_time(1616223269), 0);
    EXPECT_NEAR(static_cast<double>(plat_now()), 1616223269.0, 2.0);
    EXPECT_GE(time(nullptr), before);  // the machine's clock did not go back five years
    EXPECT_NE(log().find(" settime 1616223269\n"), std::string::npos);
}

TEST_F(SysActions, RefusedActionsFailAndAreMarked) {
    root.write("/var/actions.refuse", "route add\nsettime\n");
    EXPECT_EQ(WEXITSTATUS(sys_shell("route add default dev rmnet_data0")), 1);
    EXPECT_EQ(sys_shell("ip route flush"), 0);
    EXPECT_EQ(sys_set_time(5), -1);
    EXPECT_GT(plat_now(), 1600000000);
    EXPECT_NE(log().find("shell route add default dev rmnet_data0 [refused]"), std::string::npos);
    EXPECT_EQ(sys_reboot(), -1);  // a refused reboot returns like a failed system call
}

TEST_F(SysActions, RebootAndExitEndOnlyTheProcess) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        sys_reboot();
        _exit(77);  // not reached
    }
    int st = 0;
    ASSERT_EQ(waitpid(pid, &st, 0), pid);
    ASSERT_TRUE(WIFEXITED(st));
    EXPECT_EQ(WEXITSTATUS(st), 0);
    pid = fork();
    if (pid == 0) sys_exit(3);
    ASSERT_EQ(waitpid(pid, &st, 0), pid);
    EXPECT_EQ(WEXITSTATUS(st), 3);
    std::string l = log();
    EXPECT_NE(l.find(" reboot\n"), std::string::npos) << l;
    EXPECT_NE(l.find(" exit 3\n"), std::string::npos) << l;
}

TEST_F(SysActions, DiskSpaceCanBeMadeFull) {
    unsigned long long fr = 0, tot = 0;
    ASSERT_EQ(sys_disk_space("/", &fr, &tot), 0);
    EXPECT_GT(tot, 0u);
    root.write("/var/sim/disk_free", "5242879\n");
    ASSERT_EQ(sys_disk_space("/", &fr, &tot), 0);
    EXPECT_EQ(fr, 5242879u);
}

TEST_F(SysActions, NothingIsWrittenWithoutARoot) {
    // With the root unset, even the record of an action must not land anywhere.
    unsetenv("TELAGENT_ROOT");
    EXPECT_EQ(sys_shell("echo x"), 0);
    sys_sync();
    setenv("TELAGENT_ROOT", root.path().c_str(), 1);
    EXPECT_FALSE(root.exists("/var/actions.log"));
    EXPECT_FALSE(fs::exists("/nonexistent"));
}

// Names show in top -H and /proc; the kernel keeps 15 characters, so a longer
// one is cut rather than refused (which would leave the creator's name).
TEST(PlatThread, NamesItsThreadsAndCutsLongNames) {
    char shortn[16] = {}, longn[16] = {};
    plat_thread("lock-rx", [&] { pthread_getname_np(pthread_self(), shortn, sizeof shortn); }).join();
    std::string temp("a-name-of-twenty-chars");
    std::thread t = plat_thread(temp.c_str(), [&] { pthread_getname_np(pthread_self(), longn, sizeof longn); });
    temp.assign("overwritten-before-the-thread-ran");  // the name was copied at the start
    t.join();
    EXPECT_STREQ(shortn, "lock-rx");
    EXPECT_STREQ(longn, "a-name-of-twent");
}

// A kept node sees a value rewritten in place (as sysfs changes), a node the
// simulator replaced by rename, another device's node, and a vanished node.
TEST(PlatNode, RereadsInPlaceReplacedAndMovedNodes) {
    TestRoot root;
    const char *acc = "/sys/devices/virtual/input/input1/acc_value";
    root.write(acc, "1 2 3\n");
    PlatNode n;
    char buf[8];
    EXPECT_EQ(n.read(acc, buf, sizeof buf), 6);
    EXPECT_STREQ(buf, "1 2 3\n");
    std::ofstream(root.path() + acc, std::ios::in | std::ios::out) << "4";  // same file, new text
    EXPECT_EQ(n.read(acc, buf, sizeof buf), 6);
    EXPECT_STREQ(buf, "4 2 3\n");
    root.write("/tmp/new", "-16384 0 99999\n");  // longer than the buffer: cut, terminated
    ASSERT_EQ(std::rename((root.path() + "/tmp/new").c_str(), (root.path() + acc).c_str()), 0);
    EXPECT_EQ(n.read(acc, buf, sizeof buf), 7);
    EXPECT_STREQ(buf, "-16384 ");
    root.write("/sys/devices/virtual/input/input2/acc_value", "7 8 9\n");
    EXPECT_EQ(n.read("/sys/devices/virtual/input/input2/acc_value", buf, sizeof buf), 6);
    EXPECT_STREQ(buf, "7 8 9\n");
    fs::remove(root.path() + acc);
    EXPECT_EQ(n.read(acc, buf, sizeof buf), -1);
    EXPECT_STREQ(buf, "");
    EXPECT_EQ(n.read(nullptr, buf, sizeof buf), -1);
}

// With devsim's shared count of node writes, a kept node asks the file system
// only when the count moved, and every 16th read whatever it says: a rename
// nobody counted is still seen, late.
TEST(PlatNode, SharedWriteCountSparesTheFileSystemAndMissesNothingForLong) {
    TestRoot root;
    const char *acc = "/sys/devices/virtual/input/input1/acc_value";
    root.write("/var/devsim/nodes.gen", std::string(4, '\0'));
    root.write(acc, "1 1 1\n");
    std::fstream gen(root.path() + "/var/devsim/nodes.gen", std::ios::in | std::ios::out | std::ios::binary);
    auto bump = [&](uint32_t v) {
        gen.seekp(0);
        gen.write(reinterpret_cast<const char *>(&v), sizeof v);
        gen.flush();
    };
    auto replace = [&](const char *text) {
        root.write("/tmp/new", text);
        ASSERT_EQ(std::rename((root.path() + "/tmp/new").c_str(), (root.path() + acc).c_str()), 0);
    };
    PlatNode n;
    char buf[16];
    ASSERT_EQ(n.read(acc, buf, sizeof buf), 6);
    replace("2 2 2\n");
    bump(1);
    ASSERT_EQ(n.read(acc, buf, sizeof buf), 6);
    EXPECT_STREQ(buf, "2 2 2\n") << "a counted replacement is seen on the next read";
    replace("3 3 3\n");  // not counted
    int stale = 0;
    while (n.read(acc, buf, sizeof buf) == 6 && strcmp(buf, "2 2 2\n") == 0 && stale < 100) ++stale;
    EXPECT_STREQ(buf, "3 3 3\n");
    EXPECT_GT(stale, 0) << "an unmoved count skips the check";
    EXPECT_LT(stale, 16) << "an uncounted replacement is seen within 16 reads";
}
