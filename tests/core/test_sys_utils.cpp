// System utilities: file helpers under the device root, reboot and power-off
// paths through the platform seam and the modem's AT port, shell helpers
// against real commands, MD5 of files.
#include "core/sys_utils.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "core/iot_config.h"
#include "platform/plat_clock.h"
#include "support/child.h"
#include "support/pty_modem.h"
#include "support/test_root.h"

namespace {

// Lines of var/actions.log without their time stamps.
std::vector<std::string> actions(const TestRoot &root) {
    std::vector<std::string> out;
    std::string log = root.read("/var/actions.log");
    size_t i = 0;
    while (i < log.size()) {
        size_t j = log.find('\n', i);
        if (j == std::string::npos) j = log.size();
        std::string line = log.substr(i, j - i);
        size_t sp = line.find(' ');
        out.push_back(sp == std::string::npos ? line : line.substr(sp + 1));
        i = j + 1;
    }
    return out;
}

ModemScript answer_ok() {
    return [](const std::string &) { return std::vector<ModemChunk>{{0, "\r\nOK\r\n"}}; };
}

std::string shell_out(const std::string &cmd) {
    std::string out;
    FILE *fp = popen(cmd.c_str(), "r");
    if (fp == nullptr) return out;
    char buf[256];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, fp)) > 0) out.append(buf, n);
    pclose(fp);
    return out;
}

}  // namespace

// ---- files ------------------------------------------------------------------

TEST(SysFiles, ExistRemoveEmptyAndSizeWorkOnDevicePaths) {
    TestRoot root;
    root.write("/iot/conf/a.txt", "hello");
    root.write("/iot/conf/empty.txt", "");
    EXPECT_EQ(check_file_exist("/iot/conf/a.txt"), 1);
    EXPECT_EQ(check_file_exist("/iot/conf/none.txt"), 0);
    EXPECT_EQ(check_file_empty("/iot/conf/empty.txt"), 1);
    EXPECT_EQ(check_file_empty("/iot/conf/a.txt"), 0);
    EXPECT_EQ(check_file_empty("/iot/conf/none.txt"), -1);
    EXPECT_EQ(get_filesize("/iot/conf/a.txt"), 5);
    EXPECT_EQ(get_filesize("/iot/conf/none.txt"), -1);

    testing::internal::CaptureStdout();
    EXPECT_EQ(remove_file("/iot/conf/a.txt"), 1);
    EXPECT_EQ(remove_file("/iot/conf/a.txt"), 0);
    EXPECT_EQ(remove_file("/iot/conf"), 0);  // a directory is not a file
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("/remove_file:/iot/conf/a.txt does not exist!\n"), std::string::npos) << out;
    EXPECT_NE(out.find("/remove_file:/iot/conf delete failed!\n"), std::string::npos) << out;
    EXPECT_FALSE(root.exists("/iot/conf/a.txt"));
    EXPECT_TRUE(root.exists("/iot/conf"));
}

TEST(SysFiles, GetFileBufCutsAtItsBufferAndAlwaysTerminates) {
    TestRoot root;
    root.write("/sys/x/value", "0123456789");
    char buf[8];
    memset(buf, 'z', sizeof buf);
    EXPECT_EQ(get_file_buf("/sys/x/value", buf, sizeof buf), 7);
    EXPECT_STREQ(buf, "0123456");
    char one[1] = {'z'};
    EXPECT_EQ(get_file_buf("/sys/x/value", one, 1), 0);
    EXPECT_EQ(one[0], '\0');
    EXPECT_EQ(get_file_buf("/sys/x/none", buf, sizeof buf), -1);
    EXPECT_EQ(buf[0], '\0');
    EXPECT_EQ(get_file_buf("/sys/x/value", buf, 0), -1);
}

TEST(SysFiles, SetFileBufTruncatesRefusesOverlongTextAndStaysInTheRoot) {
    TestRoot root;
    root.write("/sys/led/brightness", "255 and some old text");
    EXPECT_EQ(set_file_buf("/sys/led/brightness", "%d", 7), 1);
    EXPECT_EQ(root.read("/sys/led/brightness"), "7");

    // 1024 characters do not fit the 1024-byte text: refused, file unchanged.
    std::string big(1024, 'x');
    EXPECT_EQ(set_file_buf("/sys/led/brightness", "%s", big.c_str()), 0);
    EXPECT_EQ(root.read("/sys/led/brightness"), "7");
    std::string fits(1023, 'y');
    EXPECT_EQ(set_file_buf("/sys/led/brightness", "%s", fits.c_str()), 1);
    EXPECT_EQ(root.read("/sys/led/brightness"), fits);

    EXPECT_EQ(set_file_buf("/no/such/dir/file", "1"), 0);
    // ".." folds at the root: the write lands inside it, never above.
    EXPECT_EQ(set_file_buf("/../../escape.txt", "1"), 1);
    EXPECT_TRUE(root.exists("/escape.txt"));
}

TEST(SysFiles, SystemRemoveTakesTreesButNeverRunsNamesOrTheRoot) {
    TestRoot root;
    root.write("/run/tree/sub/a", "1");
    root.write("/run/odd name; touch HACKED/x", "1");
    EXPECT_EQ(system_remove_file("/run/tree"), 1);
    EXPECT_FALSE(root.exists("/run/tree"));
    EXPECT_EQ(system_remove_file("/run/odd name; touch HACKED"), 1);
    EXPECT_FALSE(root.exists("/run/odd name; touch HACKED"));
    EXPECT_FALSE(root.exists("/HACKED"));
    EXPECT_EQ(access("HACKED", F_OK), -1);
    // A glob is a name here, not a pattern.
    root.write("/run/keep", "1");
    EXPECT_EQ(system_remove_file("/run/*"), 1);
    EXPECT_TRUE(root.exists("/run/keep"));
    EXPECT_EQ(system_remove_file("/"), 0);
    EXPECT_EQ(system_remove_file("/run/../.."), 0);
    EXPECT_EQ(system_remove_file(""), 0);
    EXPECT_EQ(system_remove_file(".."), 0);  // relative: would leave the root
    EXPECT_EQ(system_remove_file("run"), 0);
    EXPECT_TRUE(root.exists("/run"));
    EXPECT_TRUE(root.exists("/run/keep"));
}

TEST(SysFiles, FreeSpaceComesThroughTheSeam) {
    TestRoot root;
    EXPECT_GT(get_rom_size(), 0u);
    root.write("/var/sim/disk_free", "12345\n");
    EXPECT_EQ(get_free_size(), 12345u);
}

TEST(SysFiles, PowerReasonsReadDecimalOrReportMissingAndEmpty) {
    TestRoot root;
    const std::string pon = "/sys/bus/spmi/drivers/qcom,qpnp-power-on/";
    EXPECT_EQ(check_on_reson(), -1);
    root.write(pon + "on_reason", "");
    EXPECT_EQ(check_on_reson(), 0);
    root.write(pon + "on_reason", "32\n");
    root.write(pon + "off_reason", "128\n");
    EXPECT_EQ(check_on_reson(), 32);
    EXPECT_EQ(check_off_reson(), 128);
}

TEST(SysFiles, Md5MatchesKnownVectorsAndMd5sum) {
    TestRoot root;
    char hex[33];
    root.write("/f/empty", "");
    ASSERT_EQ(compute_file_md5("/f/empty", hex), 1);
    EXPECT_STREQ(hex, "d41d8cd98f00b204e9800998ecf8427e");
    root.write("/f/abc", "abc");
    ASSERT_EQ(compute_file_md5("/f/abc", hex), 1);
    EXPECT_STREQ(hex, "900150983cd24fb0d6963f7d28e17f72");
    unsigned char raw[16];
    ASSERT_EQ(get_file_md5("/f/abc", raw), 1);
    EXPECT_EQ(raw[0], 0x90);
    EXPECT_EQ(raw[15], 0x72);

    // Several read chunks, with a tail that is not a whole chunk.
    std::string big;
    for (unsigned i = 0; i < 300001; ++i) big += static_cast<char>((i * 7919u) >> 3);
    root.write("/f/big", big);
    ASSERT_EQ(compute_file_md5("/f/big", hex), 1);
    EXPECT_EQ(shell_out("md5sum '" + root.at("/f/big") + "'").substr(0, 32), std::string(hex));

    testing::internal::CaptureStdout();
    EXPECT_EQ(compute_file_md5("/f/none", hex), 0);
    EXPECT_EQ(hex[0], '\0');
    EXPECT_EQ(compute_file_md5("/f", hex), 0);  // a directory cannot be read
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("open error"), std::string::npos);
    EXPECT_NE(out.find("read error"), std::string::npos);
}

// ---- reboot, power-off, restart -----------------------------------------

TEST(SysReboot, RebootNowIsRecordedAndEndsTheProcess) {
    TestRoot root;
    PtyModem modem(root.at("/dev/smd7"), answer_ok(), false);
    ASSERT_TRUE(modem.ok());
    ChildResult r = run_child([] { reboot_system_now(); });
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(actions(root), std::vector<std::string>{"reboot"});
    EXPECT_TRUE(modem.commands().empty());
}

TEST(SysReboot, RefusedRebootFallsBackToTheModemReset) {
    TestRoot root;
    root.write("/var/actions.refuse", "reboot\n");
    PtyModem modem(root.at("/dev/smd7"), answer_ok(), true);
    ASSERT_TRUE(modem.ok());
    reboot_system_now();
    EXPECT_EQ(actions(root), std::vector<std::string>{"reboot [refused]"});
    EXPECT_EQ(modem.received(), "at+RESET\r\n");
}

TEST(SysReboot, DelayedRebootWaitsFiveSecondsThenResetsAndRecordsTheUptime) {
    TestRoot root;
    root.write("/var/actions.refuse", "reboot\n");
    root.write("/proc/uptime", "4711.93 8000.01\n");
    PtyModem modem(root.at("/dev/smd7"), answer_ok(), false);
    ASSERT_TRUE(modem.ok());
    plat_clock_fake(1700000000);
    const int64_t t0 = plat_mono_ms();
    testing::internal::CaptureStdout();
    reboot_system();
    for (int i = 0; i < 400 && modem.commands().size() < 2; ++i) usleep(10000);
    usleep(50000);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_GE(plat_mono_ms() - t0, 5000);
    EXPECT_EQ(modem.commands(), (std::vector<std::string>{"at+RESET", "at+RESET"}));
    EXPECT_NE(out.find("......at+RESET........\r"), std::string::npos);
    EXPECT_EQ(get_reboot_flag(), 1);
    EXPECT_EQ(get_reboot_uptime(), 4711u);
}

TEST(SysReboot, RebootSysWaitsTwoSecondsAndReboots) {
    TestRoot root;
    ChildResult r = run_child([] {
        plat_clock_fake(1700000000);
        reboot_sys();
        for (;;) pause();
    });
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.status, 0);
    std::string log = root.read("/var/actions.log");
    EXPECT_EQ(log, "1700000002 reboot\n");
}

TEST(SysReboot, SysrqStepsInOrderAndTheFirstRefusalStops) {
    {
        TestRoot root;
        EXPECT_EQ(reboot_system_immediately(), 1);
        EXPECT_EQ(actions(root), (std::vector<std::string>{
                                     "shell echo 1 > /proc/sys/kernel/sysrq", "shell echo s > /proc/sysrq-trigger",
                                     "shell echo u > /proc/sysrq-trigger", "shell echo b > /proc/sysrq-trigger"}));
    }
    {
        TestRoot root;
        root.write("/var/actions.refuse", "kernel/sysrq\n");
        EXPECT_EQ(reboot_system_immediately(), 0);
        EXPECT_EQ(actions(root).size(), 1u);
    }
    {
        TestRoot root;
        root.write("/var/actions.refuse", "echo u\n");
        EXPECT_EQ(reboot_system_immediately(), 0);
        EXPECT_EQ(actions(root).size(), 3u);
        EXPECT_EQ(actions(root).back(), "shell echo u > /proc/sysrq-trigger [refused]");
    }
}

TEST(SysReboot, PoweroffRepeatsEveryTenSeconds) {
    TestRoot root;
    PtyModem modem(root.at("/dev/smd7"), answer_ok(), false);
    ASSERT_TRUE(modem.ok());
    // In this process (the thread never ends; the case's process does).
    plat_clock_fake(1700000000);
    testing::internal::CaptureStdout();
    poweroff_system();
    for (int i = 0; i < 500 && modem.commands().size() < 3; ++i) usleep(10000);
    const size_t before = modem.commands().size();
    const long long fake = static_cast<long long>(plat_now() - 1700000000);
    const size_t after = modem.commands().size();
    const std::string out = testing::internal::GetCapturedStdout();
    ASSERT_GE(before, 3u);
    for (const auto &c : modem.commands()) EXPECT_EQ(c, "at+Poweroff");
    EXPECT_NE(out.find("......at+Poweroff........\r"), std::string::npos);
    // Command k goes out at 10 * (k - 1) s of the agent's clock.
    EXPECT_EQ(fake % 10, 0);
    EXPECT_LE(static_cast<long long>(before), fake / 10 + 1);
    EXPECT_GE(static_cast<long long>(after), fake / 10);
}

namespace {
std::atomic<int> g_keywords{0};
void count_keyword(const char *keyword) {
    if (strcmp(keyword, "force_reboot_bt") == 0) g_keywords.fetch_add(1);
    printf("keywords=%d\n", g_keywords.load());
    fflush(stdout);
}
}  // namespace

TEST(SysReboot, ReloadRestartsTheBridgeThenExitsForTheHost) {
    TestRoot root;
    ChildResult r = run_child([] {
        plat_clock_fake(1700000000);
        set_sys_command_handler(count_keyword);
        reload_app();
        for (;;) pause();
    });
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("keywords=1"), std::string::npos) << r.out;
    EXPECT_EQ(root.read("/var/actions.log"), "1700000005 exit 0\n");
}

// ---- shell ----------------------------------------------------------------

TEST(SysShell, ExitStatusDecidesAndIsPrinted) {
    TestRoot root;
    EXPECT_EQ(execute_cmd_ignore_output("true"), 1);
    testing::internal::CaptureStdout();
    EXPECT_EQ(execute_cmd_ignore_output("exit 1"), 0);
    EXPECT_EQ(execute_cmd_ignore_output("exit 3"), 0);
    EXPECT_EQ(execute_cmd_ignore_output("no-such-command-here 2>/dev/null"), 0);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("shell cmd fail, cmd:exit 1,status:1\n"), std::string::npos) << out;
    EXPECT_NE(out.find("shell cmd fail, cmd:exit 3,status:3\n"), std::string::npos) << out;
    EXPECT_NE(out.find("status:127\n"), std::string::npos) << out;

    int status = -5;
    EXPECT_EQ(execute_cmd("exit 4", &status, nullptr, 0), 0);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 4);
    EXPECT_EQ(execute_cmd(nullptr, &status, nullptr, 0), -1);
}

TEST(SysShell, OutputLargerThanTheBufferIsCutAndTheCommandStillFinishes) {
    TestRoot root;
    const std::string done = root.at("/done");
    // Without a buffer and with a small one: the command prints ~1.3 MB and must
    // not be killed by a closed pipe before it gets to its last step.
    ASSERT_EQ(execute_cmd_ignore_output(("seq 1 200000 && touch '" + done + "'").c_str()), 1);
    EXPECT_TRUE(root.exists("/done"));
    ::unlink(done.c_str());

    char buf[16];
    memset(buf, 'z', sizeof buf);
    ASSERT_EQ(execute_cmd_with_output(("seq 1 200000 && touch '" + done + "'").c_str(), buf, sizeof buf), 1);
    EXPECT_STREQ(buf, "1\n2\n3\n4\n5\n6\n7\n8");
    EXPECT_TRUE(root.exists("/done"));

    // Output that fits is kept whole.
    char big[64];
    ASSERT_EQ(execute_cmd_with_output("printf 'abc\\ndef'", big, sizeof big), 1);
    EXPECT_STREQ(big, "abc\ndef");
}

TEST(SysShell, UptimeTakesWholeSecondsAndRejectsGarbage) {
    TestRoot root;
    uint64_t up = 99;
    EXPECT_EQ(get_system_uptime(&up), 0);  // no /proc/uptime under the root
    EXPECT_EQ(set_reboot_flag(), 0);
    EXPECT_EQ(get_reboot_flag(), 0);
    root.write("/proc/uptime", "garbage 12\n");
    EXPECT_EQ(get_system_uptime(&up), 0);
    root.write("/proc/uptime", "350735.47 234388.90\n");
    ASSERT_EQ(get_system_uptime(&up), 1);
    EXPECT_EQ(up, 350735u);
    EXPECT_EQ(set_reboot_flag(), 1);
    EXPECT_EQ(get_reboot_flag(), 1);
    EXPECT_EQ(get_reboot_uptime(), 350735u);
}

// ---- recovery -----------------------------------------------------------------

namespace {

const std::vector<std::string> kBackupSteps = {
    "shell rm -rf /iot/log/*",
    "shell umount /sdcard/",
    "shell mount -t ubifs /dev/ubi0_0 /sdcard",
    "shell rm -rf /run/fs.ubifs",
    "shell mkfs.ubifs -r /sdcard/ -o /run/fs.ubifs -m 2048 -e 126976 -c 2146 -F",
    "shell printf '[sysfs]\\nmode=ubi\\nimage=/run/fs.ubifs\\nvol_id=0\\nvol_type=dynamic\\nvol_name=sysfs\\n"
    "vol_flags=autoresize\\n' > /run/ubinize.cfg",
    "shell ubinize -o /run/runsysfs.ubi -m 2048 -p 128KiB /run/ubinize.cfg",
    "shell rm -rf /run/fs.ubifs /run/ubinize.cfg",
    "shell ubiformat /dev/mtd16 -f /run/runsysfs.ubi",
    "shell rm -rf /run/runsysfs.ubi",
    "shell umount /sdcard/",
};

// Runs the recovery thread body with BleAuth = `flag`; returns its console.
std::string run_recovery(TestRoot &root, const std::string &flag) {
    root.write("/iot/conf/iot.ini", "[IotCfg]\nBleAuth=" + flag + "\n");
    EXPECT_EQ(init_iotconfig(), 1);
    plat_clock_fake(1700000000);
    const int64_t t0 = plat_mono_ms();
    testing::internal::CaptureStdout();
    px510_recovery_handle_loop(nullptr);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(plat_mono_ms() - t0, 10000);  // the thread first waits 10 s
    return out;
}

}  // namespace

TEST(SysRecovery, BackupRunsEveryStepThroughTheSeamAndClearsTheFlag) {
    TestRoot root;
    root.write("/sdcard/iot/bin/telAgent", "elf");
    const std::string out = run_recovery(root, "1");
    EXPECT_EQ(actions(root), kBackupSteps);
    EXPECT_NE(out.find("recover sys_bak success.\r\n"), std::string::npos) << out;
    EXPECT_NE(out.find("\r\n HOSTCORE: backup_system_success. \r"), std::string::npos) << out;
    EXPECT_EQ(get_systerm_backup(), 0);
}

TEST(SysRecovery, DefaultFlagDoesNothing) {
    TestRoot root;
    root.write("/sdcard/iot/bin/telAgent", "elf");
    const std::string out = run_recovery(root, "10");
    EXPECT_FALSE(root.exists("/var/actions.log"));
    EXPECT_EQ(out.find("HOSTCORE"), std::string::npos);
    EXPECT_EQ(get_systerm_backup(), 10);
}

TEST(SysRecovery, MissingServiceAfterRemountStopsUnmountsAndClearsTheFlag) {
    TestRoot root;
    const std::string out = run_recovery(root, "1");
    const auto acts = actions(root);
    ASSERT_GE(acts.size(), 4u);
    EXPECT_EQ(std::vector<std::string>(acts.begin(), acts.begin() + 3),
              std::vector<std::string>(kBackupSteps.begin(), kBackupSteps.begin() + 3));
    EXPECT_EQ(acts.back(), "shell umount /sdcard/");
    for (const auto &a : acts) EXPECT_EQ(a.find("mkfs"), std::string::npos) << a;
    EXPECT_NE(out.find("recover remount fs failed.\r\n"), std::string::npos) << out;
    EXPECT_NE(out.find("\r\n HOSTCORE: backup_system_failed. \r"), std::string::npos) << out;
    EXPECT_EQ(get_systerm_backup(), 0);
}

// Each step refused in turn: up to the partition write the backup reports
// failure, never writes the partition after a failed step, and leaves /sdcard
// unmounted; a failed clean-up after the write is logged, and the backup stands.
TEST(SysRecovery, EveryFailingStepFailsTheBackup) {
    struct Case {
        const char *refuse;
        bool partition_written;
    };
    const Case cases[] = {
        {"rm -rf /iot/log", false},   {"mount -t ubifs", false},      {"rm -rf /run/fs.ubifs", false},
        {"mkfs.ubifs", false},        {"ubinize.cfg", false},          {"ubinize -o", false},
        {"ubiformat", false},         {"rm -rf /run/runsysfs.ubi", true}, {"umount", true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.refuse);
        TestRoot root;
        root.write("/sdcard/iot/bin/telAgent", "elf");
        root.write("/var/actions.refuse", std::string(c.refuse) + "\n");
        testing::internal::CaptureStdout();
        ASSERT_EQ(ota_hostcore_recovery_handle(), c.partition_written ? 2 : 0);
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(out.find("recover clean-up failed") != std::string::npos, c.partition_written) << out;
        const auto acts = actions(root);
        bool mounted = false, written = false, refused_seen = false;
        for (const auto &a : acts) {
            const bool refused = a.find("[refused]") != std::string::npos;
            if (a.find("mount -t ubifs") != std::string::npos && !refused) mounted = true;
            if (a.find("ubiformat") != std::string::npos && !refused) {
                EXPECT_FALSE(refused_seen) << "partition written after a failed step";
                written = true;
            }
            if (refused && a.find("umount /sdcard/") == std::string::npos) refused_seen = true;
        }
        EXPECT_EQ(written, c.partition_written);
        if (mounted) {
            EXPECT_NE(acts.back().find("umount /sdcard/"), std::string::npos) << acts.back();
        }
    }
    // A refused first unmount (nothing mounted yet) is no failure on its own.
    TestRoot root;
    root.write("/sdcard/iot/bin/telAgent", "elf");
    root.write("/var/actions.refuse", "umount /sdcard/\n");
    EXPECT_EQ(ota_hostcore_recovery_handle(), 2);
    EXPECT_EQ(actions(root).size(), kBackupSteps.size());
}
