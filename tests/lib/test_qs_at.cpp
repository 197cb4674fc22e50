// The modem library's AT exchange over a real pseudo-terminal: final
// responses, the one-second budget, the 128-byte buffer, the command buffer.
#include "lib/qs_common_api/dev/qs_at.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "support/pty_modem.h"
#include "support/test_root.h"

namespace {

int64_t mono_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

ModemScript answer_with(const std::string &reply) {
    return [reply](const std::string &) { return std::vector<ModemChunk>{{0, reply}}; };
}

}  // namespace

TEST(QsAt, OkEndsTheExchangeAndTheCommandGetsItsLineEnd) {
    TestRoot root;
    PtyModem modem(root.at("/dev/smd7"), answer_with("\r\nSIM-MOD1\r\n\r\nOK\r\n"), false);
    ASSERT_TRUE(modem.ok());
    char reply[kQsAtReplySize];
    memset(reply, 'z', sizeof reply);
    EXPECT_EQ(qs_at_exchange("AT+CGMM", reply, 0), 0);
    EXPECT_EQ(std::string(reply), "\r\nSIM-MOD1\r\n\r\nOK\r\n");
    EXPECT_EQ(modem.received(), "AT+CGMM\r\n");
}

TEST(QsAt, ErrorIsFinalOnlyForNetworkQueries) {
    TestRoot root;
    PtyModem modem(root.at("/dev/smd7"), answer_with("\r\n+CME ERROR: 10\r\n"), false);
    ASSERT_TRUE(modem.ok());
    char reply[kQsAtReplySize] = {};
    EXPECT_EQ(qs_at_exchange("AT+CPIN?", reply, 1), 0);
    EXPECT_NE(strstr(reply, "ERROR"), nullptr);

    // The same answer to a product query is no final response: the budget runs out.
    const int64_t t0 = mono_ms();
    EXPECT_EQ(qs_at_exchange("AT+CGMI", reply, 0), 1);
    EXPECT_GE(mono_ms() - t0, 900);
}

TEST(QsAt, SilentModemUsesUpTheBudgetAndMissingPortFails) {
    TestRoot root;
    char reply[kQsAtReplySize] = {};
    EXPECT_EQ(qs_at_exchange("AT+CNUM", reply, 1), -1);  // no port yet
    PtyModem modem(root.at("/dev/smd7"), [](const std::string &) { return std::vector<ModemChunk>{}; }, false);
    ASSERT_TRUE(modem.ok());
    EXPECT_EQ(qs_at_exchange("AT+CNUM", reply, 1), 1);
}

TEST(QsAt, ChattyModemCannotKeepTheExchangeBeyondItsBudget) {
    TestRoot root;
    // Ten half-second pieces without a final response: one budget for all.
    PtyModem modem(root.at("/dev/smd7"), [](const std::string &) {
        std::vector<ModemChunk> v;
        for (int i = 0; i < 10; ++i) v.push_back({300, "\r\n+TICK\r\n"});
        return v;
    }, false);
    ASSERT_TRUE(modem.ok());
    char reply[kQsAtReplySize] = {};
    EXPECT_EQ(qs_at_exchange("AT+SFHW", reply, 0), 1);
    EXPECT_LT(modem.chunks_sent(), 10);  // gave up while the modem was still talking
    EXPECT_EQ(std::string(reply), "\r\n+TICK\r\n");
}

TEST(QsAt, LongAnswerKeepsOnlyTheLatestChunkAndStaysTerminated) {
    TestRoot root;
    const std::string answer = "\r\n+CNUM: \"" + std::string(300, '7') + "\",129\r\n\r\nOK\r\n";
    PtyModem modem(root.at("/dev/smd7"), answer_with(answer), false);
    ASSERT_TRUE(modem.ok());
    char reply[kQsAtReplySize];
    memset(reply, 'z', sizeof reply);
    EXPECT_EQ(qs_at_exchange("AT+CNUM", reply, 1), 0);
    const size_t len = strnlen(reply, sizeof reply);
    ASSERT_LT(len, sizeof reply);
    const std::string last(reply, len);
    EXPECT_LE(last.size(), kQsAtReplySize - 1);
    EXPECT_EQ(answer.substr(answer.size() - last.size()), last);  // a tail of the answer
    EXPECT_NE(last.find("OK"), std::string::npos);
}

TEST(QsAt, OverlongCommandIsCutToAWholeLine) {
    TestRoot root;
    PtyModem modem(root.at("/dev/smd7"), answer_with("\r\nOK\r\n"), false);
    ASSERT_TRUE(modem.ok());
    char reply[kQsAtReplySize] = {};
    const std::string cmd = "AT+" + std::string(100, 'A');
    EXPECT_EQ(qs_at_exchange(cmd.c_str(), reply, 0), 0);
    const std::string sent = modem.received();
    ASSERT_EQ(sent.size(), kQsAtCmdSize - 1);
    EXPECT_EQ(sent.substr(0, kQsAtCmdSize - 3), cmd.substr(0, kQsAtCmdSize - 3));
    EXPECT_EQ(sent.substr(sent.size() - 2), "\r\n");
}
