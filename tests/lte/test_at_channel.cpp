// AT channel over a real pseudo-terminal with a scripted modem: the echo rule,
// the silence timeout, cut replies, the lock between threads, a missing or
// misbehaving port.
#include "lte/at_channel.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "core/logging.h"
#include "lte/lte_handle.h"
#include "platform/plat_clock.h"
#include "support/pty_modem.h"
#include "support/test_root.h"

namespace {

constexpr time_t kT = 1710498030;  // 2024-03-15 10:20:30 UTC
constexpr const char *kLog = "/iot/log/20240315/10.log";

int64_t mono_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

class AtChannelTest : public ::testing::Test {
protected:
    void SetUp() override {
        plat_clock_fake(kT);  // fixes the log file name; the port waits stay real
        mLogInit(2, LOG_TYPE_FILE);
        init_lte_common();
    }
    std::string smd7() const { return root.at("/dev/smd7"); }
    TestRoot root;
};

// One reply chunk for every command.
ModemScript answer_with(const std::string &reply, int delay_ms = 0) {
    return [reply, delay_ms](const std::string &) { return std::vector<ModemChunk>{{delay_ms, reply}}; };
}

}  // namespace

TEST_F(AtChannelTest, MissingDeviceOrArgumentReturnsZeroAndFreesTheLock) {
    char buf[128] = {};
    EXPECT_EQ(exec_at("AT+CSQ\r\n", buf, 124), 0);
    EXPECT_EQ(exec_at(nullptr, buf, 124), 0);
    EXPECT_EQ(exec_at("AT+CSQ\r\n", nullptr, 124), 0);
    EXPECT_EQ(exec_at_timeout("AT+CSQ\r\n", buf, 124, 1), 0);
    EXPECT_EQ(exec_at_timeout(nullptr, buf, 124, 1), 0);
    const std::string log = root.read(kLog);
    EXPECT_NE(log.find("/exec_at -- open[/dev/smd7] failed\n"), std::string::npos) << log;
    EXPECT_NE(log.find("/exec_at_timeout -- open[/dev/smd7] failed\n"), std::string::npos) << log;
    EXPECT_NE(log.find("/exec_at --\n"), std::string::npos) << log;
    EXPECT_NE(log.find("/exec_at_timeout --\n"), std::string::npos) << log;
    EXPECT_EQ(std::string(buf, sizeof buf), std::string(sizeof buf, '\0'));

    // Every early return gave the lock back: another thread gets through.
    auto other = std::async(std::launch::async, [] {
        char b[128] = {};
        return exec_at("AT\r\n", b, 124);
    });
    ASSERT_EQ(other.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(other.get(), 0);
}

TEST_F(AtChannelTest, ReplyWithoutEchoEndsTheExchangeAndStaysInTheBuffer) {
    const std::string reply = modem_answer("+CSQ: 23,99");
    PtyModem modem(smd7(), answer_with(reply), false);
    ASSERT_TRUE(modem.ok());
    char buf[128] = {};
    EXPECT_EQ(exec_at("AT+CSQ\r\n", buf, 124), static_cast<int>(reply.size()));
    EXPECT_EQ(std::string(buf), reply);
    EXPECT_EQ(modem.received(), "AT+CSQ\r\n");  // the command, written once, exactly
}

TEST_F(AtChannelTest, EchoIsCollectedAndTheExchangeEndsOnTwoSecondsOfSilence) {
    const std::string reply = modem_answer("+NVRW:\"0001\"");
    PtyModem modem(smd7(), answer_with(reply, 50), true);
    ASSERT_TRUE(modem.ok());
    char buf[512] = {};
    const int64_t t0 = mono_ms();
    const int n = exec_at("at+nvrw=0,50003\r\n", buf, 508);
    EXPECT_GE(mono_ms() - t0, 1900);  // nothing ends an echoed exchange but the silence
    const std::string got(buf);
    EXPECT_EQ(got, "at+nvrw=0,50003\r\n" + reply);
    EXPECT_GT(n, 0);
    EXPECT_LE(n, static_cast<int>(got.size()));
    // The factory readers take the flag at a fixed position: echo and reply
    // must be contiguous in the buffer.
    EXPECT_EQ(buf[26], '0');
}

TEST_F(AtChannelTest, SilentModemGivesTheWrittenCountAndAnEmptyReply) {
    PtyModem modem(smd7(), [](const std::string &) { return std::vector<ModemChunk>{}; }, false);
    ASSERT_TRUE(modem.ok());
    char buf[128] = {};
    const int64_t t0 = mono_ms();
    EXPECT_EQ(exec_at("AT+CPIN?\r\n", buf, 124), 10);
    EXPECT_GE(mono_ms() - t0, 1900);
    EXPECT_EQ(std::string(buf, sizeof buf), std::string(sizeof buf, '\0'));
    EXPECT_EQ(strstr(buf, "OK"), nullptr);
}

TEST_F(AtChannelTest, OverlongReplyIsCutAtTheCapacityAndItsTailNeverReachesTheNextCaller) {
    const std::string longer = "\r\n+DUMP: " + std::string(400, 'x') + "\r\n\r\nOK\r\n";
    PtyModem modem(smd7(), [&](const std::string &cmd) {
        if (cmd == "AT+DUMP") return std::vector<ModemChunk>{{0, longer}};
        return std::vector<ModemChunk>{{0, modem_answer("+CSQ: 9,99")}};
    }, false);
    ASSERT_TRUE(modem.ok());
    std::array<char, 128> buf{};
    EXPECT_EQ(exec_at("AT+DUMP\r\n", buf.data(), 124), 124);
    EXPECT_EQ(std::string(buf.data()), longer.substr(0, 124));
    for (size_t i = 124; i < buf.size(); ++i) EXPECT_EQ(buf[i], '\0') << i;

    std::array<char, 128> next{};
    EXPECT_GT(exec_at("AT+CSQ\r\n", next.data(), 124), 0);
    EXPECT_EQ(std::string(next.data()), modem_answer("+CSQ: 9,99"));
}

TEST_F(AtChannelTest, EchoFillingTheBufferEndsTheExchangeWithoutWritingPastIt) {
    // The echo takes the whole capacity: the reply behind it finds no room and
    // reading stops there instead of waiting out the silence.
    PtyModem modem(smd7(), answer_with(modem_answer("+EFSRW:01"), 100), true);
    ASSERT_TRUE(modem.ok());
    const std::string cmd = "at+efsrw=0,0,\"/nv/item_files/modem/mmode/ue_usage_setting\"\r\n";
    std::array<char, 80> buf{};
    const int cap = static_cast<int>(cmd.size());
    EXPECT_EQ(exec_at(cmd.c_str(), buf.data(), cap), cap);
    EXPECT_EQ(std::string(buf.data()), cmd);
    for (size_t i = cmd.size(); i < buf.size(); ++i) EXPECT_EQ(buf[i], '\0') << i;
}

TEST_F(AtChannelTest, ConcurrentCallersNeverGetMixedReplies) {
    // Answers come late, so without the lock a second caller would read the
    // first caller's answer off the shared port.
    PtyModem modem(smd7(), [](const std::string &cmd) {
        return std::vector<ModemChunk>{{40, "\r\n+R: " + cmd + "\r\n\r\nOK\r\n"}};
    }, false);
    ASSERT_TRUE(modem.ok());
    constexpr int kThreads = 3;
    constexpr int kRounds = 3;
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &wrong] {
            for (int r = 0; r < kRounds; ++r) {
                const std::string name = "AT+T" + std::to_string(t) + "R" + std::to_string(r);
                char buf[128] = {};
                exec_at((name + "\r\n").c_str(), buf, 124);
                if (std::string(buf) != "\r\n+R: " + name + "\r\n\r\nOK\r\n") wrong.fetch_add(1);
            }
        });
    }
    for (auto &th : threads) th.join();
    EXPECT_EQ(wrong.load(), 0);
    // The modem saw one complete command at a time.
    EXPECT_EQ(modem.commands().size(), static_cast<size_t>(kThreads * kRounds));
}

TEST_F(AtChannelTest, TimeoutVariantUsesTheCallersSilenceAndLogsTheCommand) {
    PtyModem modem(smd7(), [](const std::string &) { return std::vector<ModemChunk>{}; }, true);
    ASSERT_TRUE(modem.ok());
    char buf[128] = {};
    const int64_t t0 = mono_ms();
    // Only the echo comes back; the silence after it is the caller's 1 s.
    EXPECT_EQ(exec_at_timeout("AT+CGMM\r\n", buf, 124, 1), 9);
    EXPECT_GE(mono_ms() - t0, 900);
    EXPECT_EQ(std::string(buf), "AT+CGMM\r\n");
    EXPECT_NE(root.read(kLog).find("/exec_at_timeout --AT+CGMM\r\n---\n"), std::string::npos) << root.read(kLog);
}

TEST_F(AtChannelTest, PortThatNeverBlocksIsNotSpunOnForever) {
    // A plain file always reads "ready" and gives end-of-file: the exchange
    // must still end.
    root.write("/dev/smd7", "");
    char buf[128] = {};
    EXPECT_EQ(exec_at("AT+CSQ\r\n", buf, 124), 0);  // the last read's result
    EXPECT_EQ(root.read("/dev/smd7"), "AT+CSQ\r\n");
    EXPECT_EQ(buf[0], '\0');
}
