// Time sync and the modem provisioning checks on a simulated box: the agent's
// SNTP client against devsim's loopback time servers, and the NV checks
// against devsim's modem, in this process (fake clock) and as a whole box
// that reboots through the host.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "support/stdout_capture.h"
#include "box_harness.h"
#include "core/iot_config.h"
#include "lte/lte_handle.h"
#include "lte/nv_handle.h"
#include "platform/plat_clock.h"

namespace {

bool control(Box &box, const std::string &line) {
    const int fd = open(box.path("/var/devsim/control").c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    const std::string l = line + "\n";
    const bool wrote = write(fd, l.data(), l.size()) == static_cast<ssize_t>(l.size());
    close(fd);
    return wrote && box.wait_file("/var/devsim/control.log", line + " -> ok\n", 5000);
}

// Lines of a file, without their ends.
std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> out;
    size_t i = 0;
    while (i < text.size()) {
        size_t e = text.find('\n', i);
        if (e == std::string::npos) e = text.size();
        out.push_back(text.substr(i, e - i));
        i = e + 1;
    }
    return out;
}

// "<ms> RX <n> <hex>" lines of devsim's time servers: server number and bytes.
std::vector<std::pair<int, std::string>> sntp_rx(const Box &box) {
    std::vector<std::pair<int, std::string>> out;
    for (const std::string &l : lines_of(box.file("/var/devsim/sntp.log"))) {
        const size_t rx = l.find(" RX ");
        if (rx == std::string::npos) continue;
        const size_t sp = l.find(' ', rx + 4);
        if (sp == std::string::npos) continue;
        out.emplace_back(std::stoi(l.substr(rx + 4, sp - rx - 4)), l.substr(sp + 1));
    }
    return out;
}

// The value of the first "<s> settime <value>" action, -1 without one.
int64_t settime_value(const std::string &actions) {
    for (const std::string &l : lines_of(actions)) {
        const size_t at = l.find(" settime ");
        if (at != std::string::npos) return std::stoll(l.substr(at + 9));
    }
    return -1;
}

std::string day_dir(int64_t t) {
    const time_t tt = static_cast<time_t>(t);
    struct tm tm {};
    gmtime_r(&tt, &tm);
    char buf[16];
    strftime(buf, sizeof buf, "%Y%m%d", &tm);
    return buf;
}

// Every file of the device log, concatenated.
std::string device_log(const Box &box) {
    std::string all;
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(box.path("/iot/log"), ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        if (it->is_regular_file()) all += read_text(it->path().string());
    }
    return all;
}

constexpr int64_t kAhead = 400LL * 86400;  // the servers' clock is 400 days ahead of this machine's

}  // namespace

// ---- time sync ------------------------------------------------------------

TEST(SntpBox, ClockComesFromTheFirstSoundServerAndTheAgentsClockFollows) {
    BoxOptions o;
    o.scenario = "[smd7]\necho = 0\n[sntp]\noffset = " + std::to_string(kAhead) +
                 "\nservers = silent, mode:6, mode:3, kod, leap3, zero_tx, bad_origin, short, good:-86400\n";
    const auto t0 = std::chrono::steady_clock::now();
    Box box(o);
    ASSERT_TRUE(box.ok()) << box.error();
    ASSERT_TRUE(box.wait_actions(" settime ", 30000)) << box.actions() << box.console();
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
    printf("[ figure ] start to clock set, seven bad servers first: %lld ms\n", static_cast<long long>(ms));

    const int64_t now = time(nullptr);
    const int64_t set = settime_value(box.actions());
    EXPECT_GE(set, now + kAhead - 30);  // the split answer of server 8, not server 9's
    EXPECT_LE(set, now + kAhead + 1);
    EXPECT_EQ(count_of(box.actions(), " settime "), 1u);

    // Every server up to the eighth was asked once, in order, with the
    // 68-byte client request; the ninth never.
    const auto rx = sntp_rx(box);
    ASSERT_EQ(rx.size(), 8u) << box.file("/var/devsim/sntp.log");
    for (size_t i = 0; i < rx.size(); ++i) {
        EXPECT_EQ(rx[i].first, static_cast<int>(i + 1));
        ASSERT_EQ(rx[i].second.size(), 136u);
        EXPECT_EQ(rx[i].second.substr(0, 2), "0b");
        EXPECT_EQ(rx[i].second.substr(2, 78), std::string(78, '0'));
        EXPECT_EQ(rx[i].second.substr(88), std::string(48, '0'));
    }
    // The agent's own clock moved: its log now files under the servers' date.
    const std::string dir = "/iot/log/" + day_dir(set);
    EXPECT_TRUE(poll_until([&] { return std::filesystem::is_directory(box.path(dir)); }, 10000))
        << dir << "\n" << box.console();
}

TEST(SntpBox, NoSoundAnswerSetsNothingAndThePassesGoOnUntilOneIs) {
    BoxOptions o;
    o.scenario = "[smd7]\necho = 0\n[sntp]\nservers = silent, leap3, bad_origin, short_only, garbage, mode:7, late:4000\n";
    Box box(o);
    ASSERT_TRUE(box.ok()) << box.error();
    // A pass costs 3 s of silence, a wait for the rest of the short answer,
    // 3 s for an answer that comes after the third wait, and 2 s between
    // passes: the first server is asked again.
    ASSERT_TRUE(poll_until([&] {
        int first = 0;
        for (const auto &r : sntp_rx(box)) first += r.first == 1;
        return first >= 2;
    }, 40000)) << box.file("/var/devsim/sntp.log") << box.console();
    EXPECT_EQ(box.actions().find("settime"), std::string::npos) << box.actions();
    bool mode_error = false;
    for (const std::string &l : lines_of(device_log(box))) {
        mode_error = mode_error || (l.find("host:127.0.0.1:") != std::string::npos && l.size() > 12 &&
                                    l.compare(l.size() - 12, 12, " mode error ") == 0);
    }
    EXPECT_TRUE(mode_error) << device_log(box);

    // An answer late by 1.5 s still falls within the three waits.
    ASSERT_TRUE(control(box, "sntp server 2 late:1500"));
    ASSERT_TRUE(box.wait_actions(" settime ", 20000)) << box.actions();
    const int64_t set = settime_value(box.actions());
    EXPECT_LE(std::llabs(set - time(nullptr)), 30);
    const size_t asked = sntp_rx(box).size();
    harness_sleep_ms(6000);
    EXPECT_EQ(sntp_rx(box).size(), asked);  // the thread ended
}

TEST(SntpBox, WithoutAServerListTimeSyncDoesNothing) {
    BoxOptions o;
    o.scenario = "[smd7]\necho = 0\n";
    Box box(o);
    ASSERT_TRUE(box.ok()) << box.error();
    ASSERT_TRUE(box.wait_console("no time server, time sync off.", 20000)) << box.console();
    EXPECT_FALSE(std::filesystem::exists(box.path("/var/devsim/sntp_servers")));
    ASSERT_TRUE(box.wait_actions("oom_adj", 20000));
    EXPECT_EQ(box.actions().find("settime"), std::string::npos);
}

// ---- modem provisioning checks ----------------------------------------------

namespace {

constexpr const char *kUe = "/nv/item_files/modem/mmode/ue_usage_setting";
constexpr const char *kIms = "/nv/item_files/ims/IMS_enable";

using Stdout = StdoutCapture;

// Command lines the agent wrote to the modem, in order (from devsim's wire log).
std::vector<std::string> at_commands(const Box &box) {
    std::string text;
    const std::string log = box.file("/var/devsim/smd7.log");
    size_t i = 0;
    while (i < log.size()) {
        size_t e = log.find('\n', i);
        if (e == std::string::npos) e = log.size();
        const std::string line = log.substr(i, e - i);
        i = e + 1;
        const size_t rx = line.find(" RX ");
        if (rx == std::string::npos) continue;
        for (size_t k = rx + 4; k + 1 < line.size(); k += 3) {
            text += static_cast<char>(std::stoi(line.substr(k, 2), nullptr, 16));
        }
    }
    std::vector<std::string> out;
    size_t p = 0;
    while (p < text.size()) {
        size_t e = text.find("\r\n", p);
        if (e == std::string::npos) e = text.size();
        if (e > p) out.push_back(text.substr(p, e - p));
        p = e + 2;
    }
    return out;
}

size_t writes(const std::vector<std::string> &cmds) {
    size_t n = 0;
    for (const std::string &c : cmds) {
        if (c.rfind("at+nvrw=1,", 0) == 0 || c.rfind("at+efsrw=1,", 0) == 0 || c == "at+nvburs=0" ||
            (c.rfind("at+cgdcont=", 0) == 0)) {
            ++n;
        }
    }
    return n;
}

// The commands of the checks themselves: the reboot path's modem resets left out.
size_t check_cmds(const std::vector<std::string> &cmds) {
    size_t n = 0;
    for (const std::string &c : cmds) n += c != "at+RESET";
    return n;
}

size_t count_cmd(const std::vector<std::string> &cmds, const std::string &c) {
    size_t n = 0;
    for (const std::string &x : cmds) n += x == c;
    return n;
}

// devsim's modem with the given [smd7] keys; the checks run in this process
// on its root with the fake clock, and a reboot is refused (recorded, and
// the process lives on) so one test can play several starts.
class NvModem : public ::testing::Test {
protected:
    void start(const std::string &keys, const std::string &ini = "") {
        BoxOptions o;
        o.start_host = false;
        o.scenario = "[smd7]\necho = 0\n" + keys;
        box = std::make_unique<Box>(o);
        ASSERT_TRUE(box->ok()) << box->error();
        setenv("TELAGENT_ROOT", box->root().c_str(), 1);
        ASSERT_EQ(chdir(box->root().c_str()), 0);
        if (!ini.empty()) box->put_file("/iot/conf/iot.ini", "[IotCfg]\n" + ini);
        box->put_file("/var/actions.refuse", "reboot\n");
        ASSERT_EQ(init_iotconfig(), 1);
        init_lte_common();
        plat_clock_fake(1765000000);
        out = std::make_unique<Stdout>(box->path("/var/nv_console.txt"));
    }
    // One start's run of the check thread.  When a reboot is expected, waits
    // until reboot_system's thread is through: the refused reboot, its line
    // and the modem resets, which go out unlocked and would otherwise land in
    // the middle of the next run's exchanges.
    void run_once(bool reboot_expected) {
        const size_t before = reboots();
        const size_t resets = count_cmd(at_commands(*box), "at+RESET");
        const size_t marks = count_of(out->text(), "......at+RESET........");
        nv_check_loop(nullptr);
        if (reboot_expected) {
            poll_until([&] {
                return reboots() > before && count_of(out->text(), "......at+RESET........") > marks &&
                       count_cmd(at_commands(*box), "at+RESET") >= resets + 2;
            }, 15000);
            harness_sleep_ms(1200);  // the last reset's answer, read within its 1 s budget
        }
    }
    // The capture holds gtest's own failure lines too: show them.
    void TearDown() override {
        if (HasFailure() && out != nullptr) fprintf(stderr, "---- captured console ----\n%s\n", out->text().c_str());
        out.reset();
    }
    size_t reboots() const { return count_of(box->actions(), " reboot [refused]\n"); }
    std::string store() const { return box->file("/var/devsim/modem_nv.txt"); }

    std::unique_ptr<Box> box;
    std::unique_ptr<Stdout> out;
};

}  // namespace

TEST_F(NvModem, CleanModemIsReadOnlyAndNeverRebooted) {
    start("noise = 1\n");  // line noise in front of every answer changes nothing
    const int64_t t0 = plat_mono_ms();
    run_once(false);
    EXPECT_GE(plat_mono_ms() - t0, 5000);  // the start delay
    const auto cmds = at_commands(*box);
    const std::vector<std::string> expect = {
        "at+nvburs=2", "at+cgdcont?", "at+nvrw=0,5596", "at+nvrw=0,850",
        std::string("at+efsrw=0,0,\"") + kUe + "\"", std::string("at+efsrw=0,0,\"") + kIms + "\""};
    EXPECT_EQ(cmds, expect);
    EXPECT_EQ(reboots(), 0u);
    const std::string c = out->text();
    for (const char *line : {" re check_nvburs ok.\n", " re check_cgdcont ok.\n", "/check_gps_ldm gps ldm ok .\n",
                             "/check_ps PSOnly ok .\n", " re check_ps ok.\n", "/check_data_qos DataQos ok .\n",
                             " re check_data_qos ok.\n", "/disable_ims IMS_Enable ok .\n", " re check_ims ok.\n",
                             "check  NV success, don't need reboot system.\n"}) {
        EXPECT_NE(c.find(line), std::string::npos) << line << "\n" << c;
    }
}

TEST_F(NvModem, EachWrongSettingIsWrittenOnceAndRebootsOnlyWhenItMust) {
    // A scenario key cannot hold a path: EFS files are set through the control FIFO.
    struct Case {
        std::string set;
        std::string write;
        std::string store_line;
        bool reboot;
    } cases[] = {
        {"nv.850 0002", "at+nvrw=1,850,\"0001\"", "nv 850 0001\n", true},
        {std::string("efs.") + kUe + " 00", std::string("at+efsrw=1,0,\"") + kUe + "\",\"01\"",
         std::string("efs ") + kUe + " 01\n", true},
        {std::string("efs.") + kIms + " 01", std::string("at+efsrw=1,0,\"") + kIms + "\",\"00\"",
         std::string("efs ") + kIms + " 00\n", true},
        {"nv.5596 0001", "at+nvrw=1,5596,\"0000\"", "nv 5596 0000\n", false},
        {"nvburs 1", "at+nvburs=0", "nvburs 0\n", false},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.set);
        out.reset();
        box.reset();
        start("");
        ASSERT_TRUE(control(*box, "modem " + k.set));
        run_once(k.reboot);
        auto cmds = at_commands(*box);
        EXPECT_EQ(writes(cmds), 1u);
        EXPECT_EQ(count_cmd(cmds, k.write), 1u);
        EXPECT_NE(store().find(k.store_line), std::string::npos) << store();
        EXPECT_EQ(reboots(), k.reboot ? 1u : 0u) << box->actions();
        if (k.reboot) {
            EXPECT_NE(out->text().find("set NV reboot system.\n"), std::string::npos);
        }
        // The start after the reboot finds everything right.
        const size_t n = check_cmds(cmds);
        run_once(false);
        cmds = at_commands(*box);
        EXPECT_EQ(writes(cmds), 1u);
        EXPECT_EQ(check_cmds(cmds) - n, 6u);
        EXPECT_EQ(reboots(), k.reboot ? 1u : 0u);
        if (k.reboot) {
            EXPECT_EQ(box->file(NV_FIX_REBOOTS_PATH), "cgdcont 0\nps 0\ndata_qos 0\nims 0\n");
        }
    }
}

TEST_F(NvModem, DuplicatedContextIsUndefinedByItsOwnNumberAndOneRebootCleansTheList) {
    start("cgdcont = 1,2,3,3,4\n");
    run_once(true);
    auto cmds = at_commands(*box);
    EXPECT_EQ(count_cmd(cmds, "at+cgdcont=3"), 1u);
    EXPECT_EQ(count_cmd(cmds, "at+cgdcont=4"), 0u);
    EXPECT_EQ(writes(cmds), 1u);
    EXPECT_EQ(reboots(), 1u);
    EXPECT_EQ(count_cmd(cmds, "at+nvrw=0,5596"), 0u);  // the run ended with the reboot
    EXPECT_EQ(store().find("cgdcont 3"), std::string::npos) << store();
    run_once(false);
    EXPECT_EQ(reboots(), 1u);
    EXPECT_NE(out->text().find(" re check_cgdcont ok.\n"), std::string::npos);

    // A duplicate behind a gap in the numbering is found as well.
    ASSERT_TRUE(control(*box, "modem cgdcont 2,5,5"));
    run_once(true);
    EXPECT_EQ(count_cmd(at_commands(*box), "at+cgdcont=5"), 1u);
    EXPECT_EQ(reboots(), 2u);
}

TEST_F(NvModem, CheckNvZeroLeavesTheLastThreeAloneButADuplicateStillReboots) {
    start("nv.850 = 0002\n", "checknv = 0\n");
    ASSERT_TRUE(control(*box, std::string("modem efs.") + kIms + " 01"));
    run_once(false);
    auto cmds = at_commands(*box);
    EXPECT_EQ(cmds, (std::vector<std::string>{"at+nvburs=2", "at+cgdcont?", "at+nvrw=0,5596"}));
    EXPECT_EQ(reboots(), 0u);
    EXPECT_NE(out->text().find("check NV Flag zero, don't need check NV.\n"), std::string::npos);

    ASSERT_TRUE(control(*box, "modem cgdcont 1,1"));
    run_once(true);
    EXPECT_EQ(count_cmd(at_commands(*box), "at+cgdcont=1"), 1u);
    EXPECT_EQ(reboots(), 1u);
}

TEST_F(NvModem, SilentModemIsNeitherWrittenNorRebooted) {
    start("silent = 1\n");
    // Each check gets one exchange of 2 s silence and gives up: not readable.
    EXPECT_EQ(check_nvburs(), 0);
    EXPECT_EQ(check_cgdcont(), 0);  // an empty reply is no clean list
    EXPECT_EQ(check_gps_ldm(), 0);
    EXPECT_EQ(check_ps(), 0);
    EXPECT_EQ(check_data_qos(), 0);
    EXPECT_EQ(disable_ims(), 0);
    EXPECT_EQ(writes(at_commands(*box)), 0u);
    EXPECT_EQ(reboots(), 0u);

    // The modem comes back: the same check reads its setting again.
    ASSERT_TRUE(control(*box, "modem silent 0"));
    EXPECT_EQ(check_ps(), 2);
}

TEST_F(NvModem, AWriteThatNeverTakesRebootsThreeTimesThenNoMore) {
    start("nv.850 = 0002\nignore_write = 850\n");
    for (int start_no = 1; start_no <= 5; ++start_no) {
        SCOPED_TRACE(start_no);
        run_once(start_no <= 3);
        EXPECT_EQ(reboots(), static_cast<size_t>(std::min(start_no, 3)));
    }
    EXPECT_NE(box->file(NV_FIX_REBOOTS_PATH).find("ps 3\n"), std::string::npos);
    const std::string c = out->text();
    EXPECT_EQ(count_of(c, "NV ps still wrong after 3 reboots, no reboot for it.\n"), 2u);  // once per start
    EXPECT_NE(c.find("reset PSOnly 2 ."), std::string::npos);
    // Once the write takes and the check passes, the count starts over.
    ASSERT_TRUE(control(*box, "modem ignore_write none"));
    ASSERT_TRUE(control(*box, "modem nv.850 0001"));
    run_once(false);
    EXPECT_NE(box->file(NV_FIX_REBOOTS_PATH).find("ps 0\n"), std::string::npos);
    EXPECT_EQ(reboots(), 3u);
}

TEST_F(NvModem, GenericChecksAndFactoryFlags) {
    start("echo = 1\nnv.50003 = F\nnv.50004 = 1\nnv.50005 = 0\n");  // the modem's echo in front, as on the box
    EXPECT_EQ(check_lte_calibration(), 1);
    EXPECT_EQ(check_PCBA_test1(), 1);
    EXPECT_EQ(check_PCBA_test2(), 0);
    EXPECT_EQ(enable_ps(), 1);
    EXPECT_NE(store().find("nv 850 0002\n"), std::string::npos);
    EXPECT_EQ(enable_ps(), 2);
    EXPECT_EQ(enable_ims(), 1);
    EXPECT_NE(store().find(std::string("efs ") + kIms + " 01\n"), std::string::npos);
    // Nothing in an argument may start a second command.
    const size_t n = at_commands(*box).size();
    EXPECT_EQ(check_nv_common("850", "1\"\r\nat+RESET"), 0);
    EXPECT_EQ(check_efs_common("/x\"", "00"), 0);
    EXPECT_EQ(check_nv_common(nullptr, "00"), 0);
    EXPECT_EQ(at_commands(*box).size(), n);
}

// ---- the whole box ---------------------------------------------------------

TEST(NvBox, WrongSettingRebootsOnceAndTheNextStartIsClean) {
    BoxOptions o;
    o.scenario = "[smd7]\necho = 0\nnv.850 = 0002\n";
    const auto t0 = std::chrono::steady_clock::now();
    Box box(o);
    ASSERT_TRUE(box.ok()) << box.error();
    ASSERT_TRUE(box.wait_console("set NV reboot system.", 40000)) << box.console();
    const auto t1 = std::chrono::steady_clock::now();
    ASSERT_TRUE(box.wait_actions(" reboot\n", 15000)) << box.actions();
    ASSERT_TRUE(box.wait_console("check  NV success, don't need reboot system.", 40000)) << box.console();
    const auto t2 = std::chrono::steady_clock::now();
    using std::chrono::duration_cast;
    using std::chrono::milliseconds;
    printf("[ figure ] start to reboot decision (one fix): %lld ms; reboot to clean run end: %lld ms\n",
           static_cast<long long>(duration_cast<milliseconds>(t1 - t0).count()),
           static_cast<long long>(duration_cast<milliseconds>(t2 - t1).count()));
    EXPECT_EQ(count_of(box.actions(), " reboot\n"), 1u);
    EXPECT_EQ(count_of(box.console(), "set NV reboot system."), 1u);
    EXPECT_NE(box.file("/var/devsim/modem_nv.txt").find("nv 850 0001\n"), std::string::npos);
    EXPECT_EQ(box.file(NV_FIX_REBOOTS_PATH), "cgdcont 0\nps 0\ndata_qos 0\nims 0\n");
}
