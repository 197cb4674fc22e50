// SNTP client: the request on the wire, the answer checks, the waits (on the
// fake clock) and the clock set through the platform seam, against a loopback
// responder in this process that can be silent, late, split, wrong or forged.
#include "cloud/sntp_handle.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/plat_clock.h"
#include "platform/plat_net.h"
#include "telagent/logging.h"
#include "support/test_root.h"

namespace {

constexpr time_t kBoot = 946684800;        // 2000-01-01: the clock of a box that lost its time
constexpr int64_t kServerTime = 1765000000;  // what the servers say (Dec 2025)

void put32(uint8_t *p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

// A sound server answer to `req`.
std::vector<uint8_t> good_answer(const uint8_t *req, int64_t unix_time) {
    std::vector<uint8_t> a(48, 0);
    a[0] = 0x24;  // LI 0, version 4, mode 4
    a[1] = 2;     // stratum
    memcpy(a.data() + 24, req + 40, 8);  // originate = our transmit time
    put32(a.data() + 40, static_cast<uint32_t>(unix_time + kNtpEraOffset));
    put32(a.data() + 44, 0x80000000u);
    return a;
}

// Datagrams to send back for one request, each after its delay.
struct Reply {
    int delay_ms;
    std::vector<uint8_t> bytes;
};
using Script = std::function<std::vector<Reply>(const std::vector<uint8_t> &req)>;

class UdpResponder {
public:
    explicit UdpResponder(Script s) : script_(std::move(s)) {
        fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        struct sockaddr_in a {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) return;
        socklen_t l = sizeof a;
        getsockname(fd_, reinterpret_cast<sockaddr *>(&a), &l);
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] { run(); });
    }
    ~UdpResponder() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        close(fd_);
    }
    std::string server() const { return "127.0.0.1:" + std::to_string(port_); }
    std::vector<std::vector<uint8_t>> requests() const {
        std::lock_guard<std::mutex> g(mu_);
        return requests_;
    }

private:
    void run() {
        while (!stop_) {
            struct pollfd p {fd_, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0) continue;
            uint8_t buf[512];
            struct sockaddr_in from {};
            socklen_t fl = sizeof from;
            ssize_t n = recvfrom(fd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr *>(&from), &fl);
            if (n <= 0) continue;
            std::vector<uint8_t> req(buf, buf + n);
            {
                std::lock_guard<std::mutex> g(mu_);
                requests_.push_back(req);
            }
            for (const Reply &r : script_(req)) {
                if (r.delay_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(r.delay_ms));
                sendto(fd_, r.bytes.data(), r.bytes.size(), 0, reinterpret_cast<sockaddr *>(&from), fl);
            }
        }
    }
    Script script_;
    int fd_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    mutable std::mutex mu_;
    std::vector<std::vector<uint8_t>> requests_;
    std::thread thread_;
};

// A responder whose answer is the good one changed by `edit`.
Script edited(std::function<void(std::vector<uint8_t> &)> edit) {
    return [edit](const std::vector<uint8_t> &req) {
        std::vector<uint8_t> a = good_answer(req.data(), kServerTime);
        edit(a);
        return std::vector<Reply>{{0, a}};
    };
}

class SntpTest : public ::testing::Test {
protected:
    void SetUp() override { plat_clock_fake(kBoot); }
    std::string actions() const { return root.read("/var/actions.log"); }
    TestRoot root;
};

}  // namespace

TEST_F(SntpTest, RequestIsSixtyEightBytesWithTheClockInEraZero) {
    uint8_t req[kSntpRequestLen];
    memset(req, 0xAA, sizeof req);
    const uint32_t sent = sntp_build_request(req, kBoot);
    EXPECT_EQ(sent, static_cast<uint32_t>(kBoot + 2208988800LL));
    EXPECT_EQ(req[0], 0x0B);
    EXPECT_EQ(req[40], sent >> 24);
    EXPECT_EQ(req[43], sent & 0xFF);
    for (size_t i = 1; i < kSntpRequestLen; ++i) {
        if (i >= 40 && i < 44) continue;
        EXPECT_EQ(req[i], 0) << "byte " << i;
    }

    // What actually goes on the wire.
    UdpResponder srv([](const std::vector<uint8_t> &) { return std::vector<Reply>{}; });
    EXPECT_EQ(sntp_start(srv.server().c_str(), 0), 0);
    ASSERT_EQ(srv.requests().size(), 1u);  // sent once, then only waited for
    const std::vector<uint8_t> wire = srv.requests()[0];
    ASSERT_EQ(wire.size(), kSntpRequestLen);
    EXPECT_EQ(0, memcmp(wire.data(), req, kSntpRequestLen));
}

TEST_F(SntpTest, AnswerChecks) {
    uint8_t req[kSntpRequestLen];
    const uint32_t sent = sntp_build_request(req, kBoot);
    int64_t t = 0;
    std::vector<uint8_t> a = good_answer(req, kServerTime);
    EXPECT_EQ(sntp_parse_answer(a.data(), a.size(), sent, &t), kSntpOk);
    EXPECT_EQ(t, kServerTime);
    EXPECT_EQ(sntp_parse_answer(a.data(), 47, sent, &t), kSntpShort);
    EXPECT_EQ(sntp_parse_answer(nullptr, 48, sent, &t), kSntpShort);

    struct Case {
        const char *name;
        std::function<void(std::vector<uint8_t> &)> edit;
        int verdict;
    } cases[] = {
        {"mode 3", [](auto &b) { b[0] = 0x23; }, kSntpBadMode},
        {"mode 6", [](auto &b) { b[0] = 0x26; }, kSntpBadMode},
        {"mode 0", [](auto &b) { b[0] = 0x20; }, kSntpBadMode},
        {"leap 3", [](auto &b) { b[0] = 0xE4; }, kSntpUnsynced},
        {"stratum 0", [](auto &b) { b[1] = 0; }, kSntpKissOfDeath},
        {"zero transmit", [](auto &b) { memset(b.data() + 40, 0, 8); }, kSntpZeroTime},
        {"other originate", [](auto &b) { b[27] ^= 1; }, kSntpBadOrigin},
        {"originate fraction", [](auto &b) { b[31] = 1; }, kSntpBadOrigin},
        {"leap 1 is fine", [](auto &b) { b[0] = 0x64; }, kSntpOk},
        {"broadcast echoes nothing", [](auto &b) { b[0] = 0x25; memset(b.data() + 24, 0, 8); }, kSntpOk},
    };
    for (const Case &c : cases) {
        std::vector<uint8_t> b = good_answer(req, kServerTime);
        c.edit(b);
        EXPECT_EQ(sntp_parse_answer(b.data(), b.size(), sent, &t), c.verdict) << c.name;
    }

    // Top bit clear: the era that begins in 2036, not a time before 1970.
    std::vector<uint8_t> e = good_answer(req, kServerTime);
    put32(e.data() + 40, 0x00000010u);
    ASSERT_EQ(sntp_parse_answer(e.data(), e.size(), sent, &t), kSntpOk);
    EXPECT_EQ(t, (int64_t{1} << 32) + 16 - 2208988800LL);  // 2036-02-07 06:28:32 UTC
    put32(e.data() + 40, 0x80000000u);
    ASSERT_EQ(sntp_parse_answer(e.data(), e.size(), sent, &t), kSntpOk);
    EXPECT_EQ(t, 2147483648LL - 2208988800LL);  // 1968: era 0 still
}

TEST_F(SntpTest, GoodAnswerSetsTheClockThroughTheSeamAndTheAgentFollows) {
    UdpResponder srv(edited([](auto &) {}));
    ASSERT_EQ(sntp_start(srv.server().c_str(), 0), 1);
    EXPECT_NE(actions().find(" settime " + std::to_string(kServerTime) + "\n"), std::string::npos) << actions();
    EXPECT_GE(plat_now(), kServerTime);
    EXPECT_LT(plat_now(), kServerTime + 5);
    // Time zone hours are added to the server's time.
    UdpResponder srv8(edited([](auto &) {}));
    ASSERT_EQ(sntp_start(srv8.server().c_str(), 8), 1);
    EXPECT_NE(actions().find(" settime " + std::to_string(kServerTime + 8 * 3600) + "\n"), std::string::npos);
}

TEST_F(SntpTest, BadAnswersNeverTouchTheClock) {
    const std::function<void(std::vector<uint8_t> &)> edits[] = {
        [](auto &b) { b[0] = 0x23; },                  // mode 3
        [](auto &b) { b[0] = 0x26; },                  // mode 6
        [](auto &b) { b[0] = 0xE4; },                  // leap 3
        [](auto &b) { b[1] = 0; memcpy(b.data() + 12, "RATE", 4); },  // kiss-of-death
        [](auto &b) { memset(b.data() + 40, 0, 8); },  // zero transmit
        [](auto &b) { b[24] ^= 0x40; },                // not our request
    };
    for (const auto &edit : edits) {
        UdpResponder srv(edited(edit));
        EXPECT_EQ(sntp_start(srv.server().c_str(), 0), 0);
    }
    EXPECT_EQ(actions().find("settime"), std::string::npos) << actions();
    EXPECT_LT(plat_now(), kBoot + 60);
}

TEST_F(SntpTest, SplitHeaderIsJoinedAndBoundedByTheBuffer) {
    // 47 bytes, then the last one: taken.
    UdpResponder split([](const std::vector<uint8_t> &req) {
        std::vector<uint8_t> a = good_answer(req.data(), kServerTime);
        return std::vector<Reply>{{0, {a.begin(), a.begin() + 47}}, {30, {a.begin() + 47, a.end()}}};
    });
    EXPECT_EQ(sntp_start(split.server().c_str(), 0), 1);

    // 47 bytes and nothing more: refused after one more wait.
    UdpResponder cut([](const std::vector<uint8_t> &req) {
        std::vector<uint8_t> a = good_answer(req.data(), kServerTime);
        return std::vector<Reply>{{0, {a.begin(), a.begin() + 47}}};
    });
    const int64_t before = plat_mono_ms();
    EXPECT_EQ(sntp_start(cut.server().c_str(), 0), 0);
    EXPECT_EQ(plat_mono_ms() - before, 1000);  // exactly the one extra wait

    // A 1-byte first read followed by a flood: the second read stops at the
    // buffer's end (ASan would see a write past it).
    UdpResponder flood([](const std::vector<uint8_t> &req) {
        std::vector<uint8_t> a = good_answer(req.data(), kServerTime);
        std::vector<uint8_t> big(a.begin() + 1, a.end());
        big.resize(400, 0x5A);
        return std::vector<Reply>{{0, {a[0]}}, {30, big}};
    });
    EXPECT_EQ(sntp_start(flood.server().c_str(), 0), 1);

    // An answer longer than the buffer: the header is what counts.
    UdpResponder longer([](const std::vector<uint8_t> &req) {
        std::vector<uint8_t> a = good_answer(req.data(), kServerTime);
        a.resize(300, 0xEE);
        return std::vector<Reply>{{0, a}};
    });
    EXPECT_EQ(sntp_start(longer.server().c_str(), 0), 1);
}

TEST_F(SntpTest, SilentServerCostsThreeWaitsOfOneSecond) {
    UdpResponder silent([](const std::vector<uint8_t> &) { return std::vector<Reply>{}; });
    const int64_t before = plat_mono_ms();
    EXPECT_EQ(sntp_start(silent.server().c_str(), 0), 0);
    EXPECT_EQ(plat_mono_ms() - before, 3000);

    // A closed port answers with ICMP: no waiting out the full three seconds.
    int port;
    {
        UdpResponder gone([](const std::vector<uint8_t> &) { return std::vector<Reply>{}; });
        port = std::stoi(gone.server().substr(10));
    }
    const int64_t t0 = plat_mono_ms();
    EXPECT_EQ(sntp_start(("127.0.0.1:" + std::to_string(port)).c_str(), 0), 0);
    EXPECT_LT(plat_mono_ms() - t0, 3000);
}

TEST_F(SntpTest, RefusedClockSetIsAFailure) {
    root.write("/var/actions.refuse", "settime\n");
    UdpResponder srv(edited([](auto &) {}));
    EXPECT_EQ(sntp_start(srv.server().c_str(), 0), 0);
    EXPECT_NE(actions().find("[refused]"), std::string::npos);
    EXPECT_LT(plat_now(), kBoot + 60);
}

TEST_F(SntpTest, ServerNamesOffTheMachineAreNeverAsked) {
    // The simulation resolves loopback only: no DNS query, no packet out.
    for (const char *s : {"pool.ntp.org", "8.8.8.8", "192.168.1.1:123", "::1", "", ":123", "127.0.0.1:0",
                          "127.0.0.1:70000", "127.0.0.1:12x"}) {
        EXPECT_EQ(sntp_start(s, 0), 0) << s;
    }
    EXPECT_EQ(sntp_start(nullptr, 0), 0);
    in_addr a {};
    EXPECT_EQ(plat_resolve_ipv4("127.0.0.2", &a), 0);
    EXPECT_EQ(plat_resolve_ipv4("localhost", &a), 0);
    EXPECT_EQ(plat_resolve_ipv4("10.0.0.1", &a), -1);
}

TEST_F(SntpTest, PassTakesTheFirstSoundServerInOrder) {
    UdpResponder silent([](const std::vector<uint8_t> &) { return std::vector<Reply>{}; });
    UdpResponder kod(edited([](auto &b) { b[1] = 0; }));
    UdpResponder first_good(edited([](auto &) {}));
    UdpResponder second_good([](const std::vector<uint8_t> &req) {
        return std::vector<Reply>{{0, good_answer(req.data(), kServerTime + 1000)}};
    });
    char list[4][kPlatServerMax] = {};
    const UdpResponder *order[] = {&silent, &kod, &first_good, &second_good};
    for (int i = 0; i < 4; ++i) snprintf(list[i], sizeof list[i], "%s", order[i]->server().c_str());
    EXPECT_EQ(sntp_sync_pass(list, 4), 1);
    EXPECT_EQ(silent.requests().size(), 1u);
    EXPECT_EQ(kod.requests().size(), 1u);
    EXPECT_EQ(first_good.requests().size(), 1u);
    EXPECT_EQ(second_good.requests().size(), 0u);
    EXPECT_NE(actions().find(" settime " + std::to_string(kServerTime) + "\n"), std::string::npos);
    EXPECT_EQ(std::string::npos, actions().find(std::to_string(kServerTime + 1000)));
}

TEST_F(SntpTest, ServerListFileAndThread) {
    // No list: the thread does nothing at all.
    char list[kSntpServerCount][kPlatServerMax];
    EXPECT_EQ(plat_sntp_servers(list, kSntpServerCount), 0);

    UdpResponder srv(edited([](auto &) {}));
    root.write("/var/devsim/sntp_servers", std::string(80, 'x') + "\n\r\n" + srv.server() + "\r\n");
    ASSERT_EQ(plat_sntp_servers(list, kSntpServerCount), 1);  // the overlong entry is skipped, not cut
    EXPECT_EQ(std::string(list[0]), srv.server());

    EXPECT_EQ(load_sntp(), 1);
    EXPECT_EQ(load_sntp(), 0);  // once per process
    for (int i = 0; i < 500 && actions().find("settime") == std::string::npos; ++i) usleep(10000);
    EXPECT_NE(actions().find(" settime " + std::to_string(kServerTime) + "\n"), std::string::npos);
    usleep(100000);
    EXPECT_EQ(srv.requests().size(), 1u);  // ended after its success
}

// Past 2038-01-19T03:14:08Z, where a 32-bit time_t wraps (the armhf run is
// where this can fail): the request, the era rule, the clock set through the
// seam and the local time the log names are made from.
TEST(SntpPast2038, RequestAnswerClockAndLocalTimeKeepCounting) {
    TestRoot root;
    constexpr int64_t kWrap = int64_t{1} << 31;  // 2038-01-19T03:14:08Z
    static_assert(sizeof(time_t) == 8, "64-bit time_t on every build");
    plat_clock_fake(static_cast<time_t>(kWrap));
    EXPECT_EQ(static_cast<int64_t>(plat_now()), kWrap);
    // The device log's day directory and hour file.
    mLogInit(LOG_INFO, LOG_TYPE_FILE);
    EXPECT_EQ(mlog(LOG_ERROR, "%lld\n", static_cast<long long>(plat_now())), 1);
    EXPECT_NE(root.read("/iot/log/20380119/03.log").find("2147483648\n"), std::string::npos);

    uint8_t req[kSntpRequestLen];
    const uint32_t sent = sntp_build_request(req, plat_now());
    EXPECT_EQ(sent, static_cast<uint32_t>(kWrap + 2208988800LL - (int64_t{1} << 32)));  // era 1
    int64_t t = 0;
    for (int64_t when : {kWrap, kWrap + 1, int64_t{4102444800}}) {  // ... and 2100-01-01
        std::vector<uint8_t> a = good_answer(req, when);
        ASSERT_EQ(sntp_parse_answer(a.data(), a.size(), sent, &t), kSntpOk);
        EXPECT_EQ(t, when);
    }

    constexpr int64_t k2040 = 2208988800;  // 2040-01-01T00:00:00Z
    UdpResponder srv([](const std::vector<uint8_t> &r) {
        return std::vector<Reply>{{0, good_answer(r.data(), k2040)}};
    });
    ASSERT_EQ(sntp_start(srv.server().c_str(), 0), 1);
    EXPECT_NE(root.read("/var/actions.log").find(" settime 2208988800\n"), std::string::npos);
    EXPECT_GE(static_cast<int64_t>(plat_now()), k2040);

    struct tm tm {};
    plat_localtime(static_cast<time_t>(kWrap), &tm);
    EXPECT_EQ(tm.tm_year + 1900, 2038);
    EXPECT_EQ(tm.tm_mon + 1, 1);
    EXPECT_EQ(tm.tm_mday, 19);
    EXPECT_EQ(tm.tm_hour * 3600 + tm.tm_min * 60 + tm.tm_sec, 3 * 3600 + 14 * 60 + 8);
}
