// Time sync and the modem provisioning checks on a simulated box: the agent's
// SNTP client against devsim's loopback time servers, and the NV checks
// against devsim's modem, in this process (fake clock) and as a whole box
// that reboots through the host.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

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

// "<ms> RX <n> <hex>" lines of devsim's time servers.
std::vector<std::pair<int, std::string>> sntp_rx(const Box &box) {
    std::vector<std::pair<int, std::string>> out;
    const std::string log = box.file("/var/devsim/sntp.log");
    const std::regex re("\\d+ RX (\\d+) ([0-9a-f]*)\n");
    for (auto it = std::sregex_iterator(log.begin(), log.end(), re); it != std::sregex_iterator(); ++it) {
        out.emplace_back(std::stoi((*it)[1]), (*it)[2]);
    }
    return out;
}

int64_t settime_value(const std::string &actions) {
    std::smatch m;
    if (!std::regex_search(actions, m, std::regex("\\d+ settime (-?\\d+)\n"))) return -1;
    return std::stoll(m[1]);
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
    o.scenario = "[smd7]\necho = 0\n[sntp]\nservers = silent, leap3, bad_origin, short_only, garbage, mode:7\n";
    Box box(o);
    ASSERT_TRUE(box.ok()) << box.error();
    // A pass costs 3 s of silence, a wait for the rest of the short answer,
    // and 2 s between passes: the first server is asked again.
    ASSERT_TRUE(poll_until([&] {
        int first = 0;
        for (const auto &r : sntp_rx(box)) first += r.first == 1;
        return first >= 2;
    }, 25000)) << box.file("/var/devsim/sntp.log") << box.console();
    EXPECT_EQ(box.actions().find("settime"), std::string::npos) << box.actions();
    EXPECT_TRUE(std::regex_search(device_log(box), std::regex("host:127\\.0\\.0\\.1:\\d+ mode error \n")))
        << device_log(box);

    ASSERT_TRUE(control(box, "sntp server 2 good"));
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
