// devsim's own logic: scenario parsing and application, the send queue, the
// wire log format, the provisioned root.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "core/devsim_files.h"
#include "core/devsim_loop.h"
#include "core/devsim_root.h"
#include "core/scenario.h"
#include "core/timer_queue.h"
#include "core/wire_log.h"
#include "sntp/sntp_responder.h"

namespace fs = std::filesystem;

namespace {

class TempDir {
public:
    TempDir() {
        char tmpl[] = "/tmp/telagent-devsim-XXXXXX";
        if (mkdtemp(tmpl) != nullptr) path_ = tmpl;
    }
    ~TempDir() {
        std::error_code ec;
        if (!path_.empty()) fs::remove_all(path_, ec);
    }
    const std::string &path() const { return path_; }
    std::string read(const std::string &rel) const {
        std::ifstream f(path_ + rel, std::ios::binary);
        std::ostringstream s;
        s << f.rdbuf();
        return s.str();
    }

private:
    std::string path_;
};

std::string problems_text(const std::vector<std::string> &v) {
    std::string s;
    for (const auto &p : v) s += p + "\n";
    return s;
}

}  // namespace

TEST(ScenarioParse, ReadsSectionsKeysAndValuesAsWritten) {
    Scenario sc;
    scenario_parse(
        "# comment\r\n"
        "\t[ box ]\r\n"
        "calibration_hold=1\r\n"
        "  refuse =  shell echo '#1' = x  \n"
        "disk_free =\n"
        "\n"
        "[ttyHSL1]\n"
        "delay_ms = 250",
        &sc);
    EXPECT_TRUE(sc.problems.empty()) << problems_text(sc.problems);
    ASSERT_EQ(sc.entries.size(), 4u);
    EXPECT_EQ(sc.entries[0].section, "box");
    EXPECT_EQ(sc.entries[0].key, "calibration_hold");
    EXPECT_EQ(sc.entries[0].value, "1");
    EXPECT_EQ(sc.entries[0].line, 3);
    EXPECT_EQ(sc.entries[1].value, "shell echo '#1' = x");  // '#' and '=' inside a value stay
    EXPECT_EQ(sc.entries[2].key, "disk_free");
    EXPECT_EQ(sc.entries[2].value, "");
    EXPECT_EQ(sc.entries[3].section, "ttyHSL1");
    EXPECT_EQ(sc.entries[3].value, "250");  // last line without newline
    EXPECT_EQ(sc.entries[3].line, 8);
}

TEST(ScenarioParse, SkipsAndReportsMalformedLines) {
    Scenario sc;
    scenario_parse(
        "early = 1\n"          // 1: outside a section
        "[box]\n"              // 2
        "no equals sign\n"     // 3
        " = value\n"           // 4: no key
        "two words = 1\n"      // 5: bad key
        "[unterminated\n"      // 6: bad header, following keys skipped
        "disk_free = 1\n"      // 7
        "[]\n"                 // 8
        "[bad name]\n"         // 9
        "refuse = x\n"         // 10
        "[box]\n"              // 11: a good header restores parsing
        "ok = 1\n"             // 12
        + std::string("nul\0 = 1\n", 9),  // 13
        &sc);
    ASSERT_EQ(sc.entries.size(), 1u) << problems_text(sc.problems);
    EXPECT_EQ(sc.entries[0].key, "ok");
    EXPECT_EQ(sc.entries[0].line, 12);
    const std::string p = problems_text(sc.problems);
    for (int line : {1, 3, 4, 5, 6, 7, 8, 9, 10, 13})
        EXPECT_NE(p.find("line " + std::to_string(line) + ":"), std::string::npos) << line << "\n" << p;
    EXPECT_EQ(p.find("line 2:"), std::string::npos);
    EXPECT_EQ(p.find("line 12:"), std::string::npos);
}

TEST(ScenarioParse, HostileInputNeverBreaksIt) {
    Scenario sc;
    std::string junk;
    for (int i = 0; i < 4096; ++i) junk += static_cast<char>((i * 131) & 0xff);
    scenario_parse(junk, &sc);
    scenario_parse(std::string(100000, '['), &sc);
    scenario_parse(std::string(100000, '='), &sc);
    scenario_parse("[" + std::string(1000, 'a') + "]\nk=v\n", &sc);  // over-long section name
    for (const auto &e : sc.entries) EXPECT_LE(e.section.size(), 64u);
    EXPECT_FALSE(sc.problems.empty());
}

TEST(ScenarioLoad, RefusesMissingAndOversizedFiles) {
    TempDir d;
    Scenario sc;
    EXPECT_EQ(scenario_load(d.path() + "/none.ini", &sc), -1);
    ASSERT_EQ(sc.problems.size(), 1u);
    EXPECT_NE(sc.problems[0].find("cannot read"), std::string::npos);

    std::ofstream(d.path() + "/big.ini") << "[box]\n" << std::string(kScenarioMaxBytes, '#');
    Scenario big;
    EXPECT_EQ(scenario_load(d.path() + "/big.ini", &big), -1);
    EXPECT_TRUE(big.entries.empty());

    std::ofstream(d.path() + "/ok.ini") << "[box]\ndisk_free = 7\n";
    Scenario ok;
    EXPECT_EQ(scenario_load(d.path() + "/ok.ini", &ok), 0);
    EXPECT_EQ(ok.entries.size(), 1u);
}

TEST(ScenarioBox, WritesValidSettingsAndReportsBadOnes) {
    TempDir d;
    Scenario sc;
    scenario_parse(
        "[box]\n"
        "calibration_hold = 1\n"
        "calibration_hold = yes\n"
        "disk_free = 0\n"
        "disk_free = 12abc\n"
        "disk_free = -1\n"
        "disk_free = 99999999999999999999\n"
        "refuse = settime\n"
        "refuse =\n"
        "refuse = reboot\n"
        "colour = red\n"
        "[ttyHSL1]\n"
        "refuse = not-for-the-box\n",
        &sc);
    std::vector<std::string> problems;
    ASSERT_EQ(scenario_apply_box(sc, d.path(), &problems), 0);
    EXPECT_EQ(d.read("/media/ram/iotdebug.ini"), "1");
    EXPECT_EQ(d.read("/var/sim/disk_free"), "0\n");  // the bad values after it changed nothing
    EXPECT_EQ(d.read("/var/actions.refuse"), "settime\nreboot\n");
    const std::string p = problems_text(problems);
    for (int line : {3, 5, 6, 7, 9, 11}) EXPECT_NE(p.find("line " + std::to_string(line) + ":"), std::string::npos) << p;
    EXPECT_EQ(problems.size(), 6u) << p;

    Scenario release;
    scenario_parse("[box]\ncalibration_hold = 0\ncalibration_hold = 0\n", &release);
    problems.clear();
    EXPECT_EQ(scenario_apply_box(release, d.path(), &problems), 0);
    EXPECT_FALSE(fs::exists(d.path() + "/media/ram/iotdebug.ini"));
    EXPECT_TRUE(problems.empty());
}

TEST(ScenarioBox, ReportsAFailedWrite) {
    TempDir d;
    // var is a file, so var/sim cannot be made.
    std::ofstream(d.path() + "/var") << "x";
    Scenario sc;
    scenario_parse("[box]\ndisk_free = 5\n", &sc);
    std::vector<std::string> problems;
    EXPECT_EQ(scenario_apply_box(sc, d.path(), &problems), -1);
}

TEST(UnusedKeys, ReportedOncePerSectionAndKeyInFileOrder) {
    Scenario sc;
    scenario_parse("[box]\nodd = 1\n[ttyHSL1]\nbaud = 1\nspeed = 2\nspeed = 3\n[smd7]\nspeed = 4\n", &sc);
    auto known = [](void *, const ScenarioEntry &e) { return e.section == "ttyHSL1" && e.key == "baud" ? 1 : 0; };
    auto msgs = devsim_unused_keys(sc, known, nullptr);
    ASSERT_EQ(msgs.size(), 2u);
    EXPECT_NE(msgs[0].find("line 5: [ttyHSL1] key 'speed'"), std::string::npos) << msgs[0];
    EXPECT_NE(msgs[1].find("line 8: [smd7] key 'speed'"), std::string::npos) << msgs[1];
}

TEST(TimerQueue, ReleasesByDueTimeThenInPushOrder) {
    TimerQueue q;
    EXPECT_EQ(q.next_due(), -1);
    ASSERT_EQ(q.push(300, 0, "c"), 0);
    ASSERT_EQ(q.push(100, 1, "a1"), 0);
    ASSERT_EQ(q.push(200, 2, "b"), 0);
    ASSERT_EQ(q.push(100, 3, "a2"), 0);
    ASSERT_EQ(q.push(100, 0, "a3"), 0);
    EXPECT_EQ(q.next_due(), 100);

    TimedSend t;
    EXPECT_EQ(q.pop_due(99, &t), 0);  // nothing before its time
    std::string order;
    while (q.pop_due(200, &t) == 1) order += t.bytes + ",";
    EXPECT_EQ(order, "a1,a2,a3,b,");
    EXPECT_EQ(q.next_due(), 300);
    ASSERT_EQ(q.pop_due(1000, &t), 1);
    EXPECT_EQ(t.bytes, "c");
    EXPECT_EQ(t.port, 0u);
    EXPECT_EQ(q.pop_due(1000, &t), 0);
}

TEST(TimerQueue, KeepsFifoOrderAcrossManyEqualTimesAndIsBounded) {
    TimerQueue q;
    for (size_t i = 0; i < TimerQueue::kMaxEntries; ++i)
        ASSERT_EQ(q.push(static_cast<int64_t>(i % 3), 0, std::to_string(i)), 0);
    EXPECT_EQ(q.push(0, 0, "overflow"), -1);
    EXPECT_EQ(q.size(), TimerQueue::kMaxEntries);
    TimedSend t;
    int64_t last_due = -1;
    long last_seq_for_due = -1;
    size_t n = 0;
    while (q.pop_due(10, &t) == 1) {
        long idx = std::stol(t.bytes);
        if (t.due_ms != last_due) {
            EXPECT_GT(t.due_ms, last_due);
            last_due = t.due_ms;
            last_seq_for_due = -1;
        }
        EXPECT_GT(idx, last_seq_for_due);
        last_seq_for_due = idx;
        ++n;
    }
    EXPECT_EQ(n, TimerQueue::kMaxEntries);
    EXPECT_EQ(q.push(0, 0, "room again"), 0);
}

TEST(WireLine, ExactFormat) {
    const uint8_t b[] = {0x00, 0x0a, 0xff, 0x5a};
    EXPECT_EQ(wire_line(1700000000123, "ttyHSL1", "RX", b, sizeof b), "1700000000123 ttyHSL1 RX 00 0a ff 5a\n");
    EXPECT_EQ(wire_line(5, "smd7", "TX", b + 3, 1), "5 smd7 TX 5a\n");
}

TEST(DevsimRoot, ProvisionsAndRelinksOnRecreate) {
    TempDir d;
    RootSetup s;
    s.lib = "/opt/a/libTelAgent.so";
    s.mqtt_host = "broker.local";
    s.mqtt_port = 8883;
    std::string err;
    ASSERT_EQ(devsim_create_root(d.path(), s, &err), 0) << err;
    const std::string ini = d.read("/iot/conf/iot.ini");
    EXPECT_NE(ini.find("\nMqttHost=broker.local\nMqttPort=8883\n"), std::string::npos) << ini;
    EXPECT_NE(ini.find("\nMqttOfficialHost=broker.local\nMqttOfficialPort=8883\n"), std::string::npos) << ini;
    EXPECT_EQ(fs::read_symlink(d.path() + "/iot/lib/libTelAgent.so"), "/opt/a/libTelAgent.so");
    s.lib = "/opt/b/libTelAgent.so";
    ASSERT_EQ(devsim_create_root(d.path(), s, &err), 0) << err;
    EXPECT_EQ(fs::read_symlink(d.path() + "/iot/lib/libTelAgent.so"), "/opt/b/libTelAgent.so");
    EXPECT_FALSE(fs::exists(d.path() + "/iot/lib/libTelAgent.so.tmp." + std::to_string(getpid())));
}

TEST(DevsimRoot, BrokerHostCannotInjectIniLines) {
    for (const char *ok : {"127.0.0.1", "::1", "broker-1.example.net"}) EXPECT_TRUE(devsim_host_ok(ok)) << ok;
    for (const char *bad : {"", "a b", "h\nMqttHost=evil", "h\r", "h=1", "[IotCfg]"})
        EXPECT_FALSE(devsim_host_ok(bad)) << bad;
    EXPECT_FALSE(devsim_host_ok(std::string(254, 'a')));
}

// A "garbage" time server must stay garbage: random bytes with mode 5 and a
// sane leap and stratum are a broadcast answer the box would set its clock from.
TEST(SntpGarbage, NeverCarriesAServerOrBroadcastMode) {
    SntpBehaviour b;
    ASSERT_TRUE(sntp_parse_behaviour("garbage", &b));
    const std::string req(68, '\0');
    for (int i = 0; i < 2000; ++i) {
        const auto d = sntp_answer(b, req, 1700000000000LL);
        ASSERT_EQ(d.size(), 1u);
        ASSERT_EQ(d[0].bytes.size(), 48u);
        const int mode = static_cast<uint8_t>(d[0].bytes[0]) & 7;
        ASSERT_TRUE(mode != 4 && mode != 5) << "draw " << i;
    }
}
