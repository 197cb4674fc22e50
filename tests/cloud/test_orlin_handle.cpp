// Downlink requests without a broker: the operations table's post slot records
// what would be published.  Topic levels, lengths that lie, the pool's limit
// and order, the command responses byte for byte, switch-servers validation,
// URL splitting, ICCID packing and the self-update's file handling.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>
#include <string>
#include <vector>

#include "cloud/orlin_handle.h"
#include "cloud/uplink_frame.h"
#include "core/iot_common.h"
#include "core/iot_config.h"
#include "core/tavi_common.h"
#include "platform/plat_clock.h"
#include "platform/plat_path.h"
#include "support/http_peers.h"
#include "support/stdout_capture.h"
#include "support/test_root.h"

namespace {

const std::string kImeiText = "866123045678901";
const std::string kDev = "zt/ebike/devices/" + kImeiText;

struct Post {
    std::string topic, text;
};
// Never destroyed: the task thread may still post while the process exits.
std::vector<Post> &g_posts = *new std::vector<Post>;
std::mutex &g_posts_mu = *new std::mutex;  // the task thread posts while a test thread reads
void (*g_on_post)() = nullptr;

int capture_post(const char *topic, const char *text, int len) {
    {
        std::lock_guard<std::mutex> lk(g_posts_mu);
        g_posts.push_back({topic, std::string(text, static_cast<size_t>(len))});
    }
    if (g_on_post != nullptr) g_on_post();
    return 1;
}

std::string hex(const std::vector<uint8_t> &b) {
    std::string out(2 * b.size(), '\0');
    at_hex_to_chars(b.data(), static_cast<int>(b.size()), out.data(), static_cast<int>(out.size()));
    return out;
}

int count_attempts(const std::string &console) {
    int n = 0;
    for (size_t p = console.find("## http_get failed \r"); p != std::string::npos; p = console.find("## http_get failed \r", p + 1)) ++n;
    return n;
}

std::vector<uint8_t> cmd_frame(uint16_t cmd, const std::vector<uint8_t> &body, int lie = 0) {
    std::vector<uint8_t> f = {0x01, 0x02, 0x02, 0x1C, 0x11, 0x22, 0x33, 0x44, 0x55};
    f.push_back(cmd & 0xFF);
    f.push_back(cmd >> 8);
    const int n = static_cast<int>(body.size()) + lie;
    f.push_back(n & 0xFF);
    f.push_back((n >> 8) & 0xFF);
    f.insert(f.end(), body.begin(), body.end());
    return f;
}

std::vector<uint8_t> ota_frame(uint8_t target, const std::string &url, int mcu_id = -1) {
    std::vector<uint8_t> f = {0x05, 0x00, 0x00, 0x01, 0xA1, 0xA2, 0xA3, 0xA4, target};
    f.push_back(url.size() & 0xFF);
    f.push_back(url.size() >> 8);
    for (auto it = url.rbegin(); it != url.rend(); ++it) f.push_back(static_cast<uint8_t>(*it));
    if (mcu_id >= 0) f.push_back(static_cast<uint8_t>(mcu_id));
    return f;
}

int send(const std::string &kind, const std::string &id, const std::vector<uint8_t> &frame) {
    const std::string topic = kDev + "/" + kind + "/request/" + id;
    const std::string text = hex(frame);
    return dev_yun_recv_handler(topic.c_str(), text.c_str(), static_cast<int>(text.size()));
}

class Downlink : public ::testing::Test {
protected:
    void SetUp() override {
        plat_clock_fake(1710498030);
        root.write("/iot/conf/iot.ini",
                   "[IotCfg]\nMqttHost=broker.one\nMqttPort=1883\nMqttUserName=u\nMqttUserPass=p\nMqttPing=60\nReportingInterval=30\n");
        ASSERT_EQ(init_iotconfig(), 1);
        // A refused reboot is recorded and returns, so the test process lives on.
        root.write("/var/actions.refuse", "reboot\n");
        setimei(866123045678901LL);
        static dev_hostcore_t table{};
        table.mqtt_post = capture_post;
        dev_hostcore_register(&table);
        init_orlin_pool();
        // Nothing from an earlier case in this process may leak in.
        g_on_post = nullptr;
        while (handle_cloud_recv_task() > 0) {
        }
        ASSERT_EQ(cloud_free_buffers(), kCloudBufCount);
        std::lock_guard<std::mutex> lk(g_posts_mu);
        g_posts.clear();
    }
    void TearDown() override {
        if (HasFailure()) {
            const std::string out = console.text();
            fprintf(stderr, "---- console ----\n%s\n---- end ----\n", out.size() > 20000 ? out.substr(out.size() - 20000).c_str() : out.c_str());
        }
    }
    std::string actions() const { return root.read("/var/actions.log"); }

    TestRoot root;
    StdoutCapture console{root.at("/console.txt")};
};

TEST(DownlinkParse, TopicLevelsNotSubstrings) {
    char id[kRequestIdMax + 1];
    const char *why = nullptr;
    EXPECT_EQ(cloud_topic_parse("zt/ebike/devices/1/ota/request/cmd42", id, &why), CLOUD_OTA);
    EXPECT_STREQ(id, "cmd42");
    EXPECT_EQ(cloud_topic_parse("zt/ebike/devices/1/cmd/request/ota_extra_data", id, &why), CLOUD_CMD);
    EXPECT_EQ(cloud_topic_parse("zt/ebike/devices/1/extra_data/request/9", id, &why), CLOUD_EXTRA_DATA);
    EXPECT_EQ(cloud_topic_parse("zt/ebike/devices/1/adv/request/9", id, &why), CLOUD_ADV);
    EXPECT_EQ(cloud_topic_parse("zt/ebike/devices/1/cmdx/request/9", id, &why), CLOUD_NONE);
    EXPECT_EQ(cloud_topic_parse("zt/ebike/devices/1/cmd/answer/9", id, &why), CLOUD_NONE);
    EXPECT_STREQ(why, "!pos");
    EXPECT_EQ(cloud_topic_parse("zt/ebike/devices/1/cmd/request/", id, &why), CLOUD_NONE);
    EXPECT_STREQ(why, "!ret");
    EXPECT_EQ(cloud_topic_parse(("zt/ebike/devices/1/cmd/request/" + std::string(31, 'a')).c_str(), id, &why), CLOUD_CMD);
    EXPECT_EQ(strlen(id), 31u);
    // Longer ids are cut, not refused.
    EXPECT_EQ(cloud_topic_parse("zt/ebike/devices/1/cmd/request/123e4567-e89b-12d3-a456-426614174000", id, &why), CLOUD_CMD);
    EXPECT_STREQ(id, "123e4567-e89b-12d3-a456-4266141");
}

TEST(DownlinkParse, LengthsFromTheCloudAreChecked) {
    cmd_request_t c;
    auto f = cmd_frame(2, {1, 0});
    EXPECT_EQ(parse_cmd_request(f.data(), static_cast<int>(f.size()), &c), 1);
    EXPECT_EQ(c.CmdId, 2);
    EXPECT_EQ(c.body_len, 2);
    f = cmd_frame(2, {1, 0}, 1);  // announces one byte more than arrived
    EXPECT_EQ(parse_cmd_request(f.data(), static_cast<int>(f.size()), &c), 0);
    f = cmd_frame(1001, {}, 0xFFFF - 0);  // 65535 announced, none arrived
    EXPECT_EQ(parse_cmd_request(f.data(), static_cast<int>(f.size()), &c), 0);
    EXPECT_EQ(parse_cmd_request(f.data(), 12, &c), 0);
    ota_request_t o;
    auto g = ota_frame(1, "http://h:1/x");  // motor controller without its id byte: KD11
    EXPECT_EQ(parse_ota_request(g.data(), static_cast<int>(g.size()), &o), 1);
    EXPECT_EQ(o.mcu_id, 0);
    g = ota_frame(1, "http://h:1/x", 1);
    EXPECT_EQ(parse_ota_request(g.data(), static_cast<int>(g.size()), &o), 1);
    EXPECT_EQ(o.mcu_id, 1);
    g = ota_frame(8, "http://h:1/x");
    g[9] = 200;  // body length past the frame
    EXPECT_EQ(parse_ota_request(g.data(), static_cast<int>(g.size()), &o), 0);
}

TEST(DownlinkParse, UrlForms) {
    char host[64], path[256];
    uint16_t port = 0;
    EXPECT_EQ(get_url_info("http://127.0.0.1:8080/fw/GD32.hex", host, &port, path), 1);
    EXPECT_STREQ(host, "127.0.0.1");
    EXPECT_EQ(port, 8080);
    EXPECT_STREQ(path, "/fw/GD32.hex");
    EXPECT_EQ(get_url_info("https://files.example/a/b.so trailing", host, &port, path), 1);
    EXPECT_STREQ(host, "files.example");
    EXPECT_EQ(port, 80);
    EXPECT_STREQ(path, "/a/b.so");
    EXPECT_EQ(get_url_info("http://127.0.0.1/GD32.hex", host, &port, path), 0);  // no port
    EXPECT_EQ(get_url_info("http://h:0/x", host, &port, path), 0);
    EXPECT_EQ(get_url_info("http://h:65536/x", host, &port, path), 0);
    EXPECT_EQ(get_url_info("http://h:65535/x", host, &port, path), 1);
    EXPECT_EQ(get_url_info("http://h:80", host, &port, path), 0);  // no path
    EXPECT_EQ(get_url_info("http://:80/x", host, &port, path), 0);
    EXPECT_EQ(get_url_info("http://a*b:80/x", host, &port, path), 0);
    EXPECT_EQ(get_url_info(("http://" + std::string(64, 'h') + ":80/x").c_str(), host, &port, path), 0);
    EXPECT_EQ(get_url_info(("http://" + std::string(63, 'h') + ":80/x").c_str(), host, &port, path), 1);
    EXPECT_EQ(get_url_info(("http://h:80/" + std::string(255, 'p')).c_str(), host, &port, path), 0);
    EXPECT_EQ(get_url_info("ftp://h/x", host, &port, path), 0);
}

TEST(DownlinkParse, IccidPackedFromItsOwnCharacters) {
    uint8_t out[10];
    pack_iccid("89860012345678901234", out);
    EXPECT_EQ(out[0], 0x89);
    EXPECT_EQ(out[9], 0x34);
    pack_iccid("8986001234567890123", out);  // 19 digits: a final 0
    EXPECT_EQ(out[9], 0x30);
    // Exactly sized on the heap, so a read past its end shows under ASan.
    std::vector<char> shortid = {'8', '9', '8', '6', '0', '1', '\0'};
    pack_iccid(shortid.data(), out);
    EXPECT_EQ(out[0], 0x89);
    EXPECT_EQ(out[2], 0x01);
    for (int i = 3; i < 10; ++i) EXPECT_EQ(out[i], 0x00);
}

TEST(DownlinkParse, SelfUpdateNeverTargetsTheRunningLibrary) {
    EXPECT_STREQ(self_update_target(1), "/iot/lib/libTelAgentEx.so");
    EXPECT_STREQ(self_update_target(2), "/iot/lib/libTelAgent.so");
    EXPECT_STREQ(self_update_target(0), "/iot/lib/libTelAgentEx.so");
}

// The data length follows the body: one byte for 3C, two for a two-byte body.
TEST_F(Downlink, ReportIntervalResponseOnTheWire) {
    ASSERT_EQ(send("cmd", "r1", cmd_frame(1002, {0x3C})), 1);
    EXPECT_EQ(handle_cloud_recv_task(), 1);
    EXPECT_EQ(get_mqtt_report_interval(), 60);
    ASSERT_EQ(send("cmd", "r2", cmd_frame(1002, {0x1E, 0x00})), 1);
    EXPECT_EQ(handle_cloud_recv_task(), 1);
    EXPECT_EQ(get_mqtt_report_interval(), 30);
    ASSERT_EQ(g_posts.size(), 2u);
    EXPECT_EQ(g_posts[0].topic, kDev + "/cmd/response/r1");
    EXPECT_EQ(g_posts[0].text, "0102021C1122334455EA03" "0100" "01");
    EXPECT_EQ(g_posts[1].text, "0102021C1122334455EA03" "0200" "0100");
}

TEST_F(Downlink, DiagnosisEchoAndItsLimit) {
    send("cmd", "d1", cmd_frame(1001, {0xDE, 0xAD, 0xBE, 0xEF, 0x00}));
    std::vector<uint8_t> big(600);
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i);
    send("cmd", "d2", cmd_frame(1001, big));
    EXPECT_EQ(handle_cloud_recv_task(), 2);
    ASSERT_EQ(g_posts.size(), 2u);
    EXPECT_EQ(g_posts[0].text, "0102021C1122334455E9030500DEADBEEF00");
    // 13 + 499 bytes: the most one 1024-character text carries.
    EXPECT_EQ(g_posts[1].text.size(), 1024u);
    EXPECT_EQ(g_posts[1].text.substr(18, 8), "E903F301");
}

TEST_F(Downlink, SilentCases) {
    send("cmd", "z", cmd_frame(1001, {}));          // empty body
    send("cmd", "u", cmd_frame(777, {1, 2}));       // unknown id
    send("cmd", "s", cmd_frame(4, {1, 0}));         // speaker
    send("cmd", "l", cmd_frame(1001, {1, 2}, 3));   // length lies
    send("adv", "a", cmd_frame(1001, {1, 2}));
    send("ota", "b", ota_frame(7, "http://h:1/x"));  // Bluetooth module
    const std::string topic = kDev + "/cmd/request/odd";
    dev_yun_recv_handler(topic.c_str(), "0102F", 5);  // odd hex
    dev_yun_recv_handler(topic.c_str(), "zz", 2);     // not hex
    const std::string huge(2050, '0');
    dev_yun_recv_handler(topic.c_str(), huge.c_str(), static_cast<int>(huge.size()));
    EXPECT_EQ(handle_cloud_recv_task(), 9);
    EXPECT_TRUE(g_posts.empty());
    EXPECT_EQ(cloud_free_buffers(), kCloudBufCount);
    EXPECT_NE(console.text().find(" ## body_len = 0 \r"), std::string::npos);
}

TEST_F(Downlink, UnreadableRequestIdFreesItsSlot) {
    for (int i = 0; i < kCloudBufCount; ++i) {
        const std::string topic = kDev + "/cmd/request/";
        const std::string text = hex(cmd_frame(1001, {1}));
        ASSERT_EQ(dev_yun_recv_handler(topic.c_str(), text.c_str(), static_cast<int>(text.size())), 1);
    }
    EXPECT_EQ(handle_cloud_recv_task(), kCloudBufCount);
    EXPECT_EQ(cloud_free_buffers(), kCloudBufCount);
    EXPECT_EQ(send("cmd", "next", cmd_frame(1001, {7})), 1);
    handle_cloud_recv_task();
    ASSERT_EQ(g_posts.size(), 1u);
}

TEST_F(Downlink, PoolLimitAndArrivalOrder) {
    for (int i = 0; i < kCloudBufCount; ++i) ASSERT_EQ(send("cmd", "p" + std::to_string(i), cmd_frame(1001, {uint8_t(i)})), 1);
    EXPECT_EQ(send("cmd", "dropped", cmd_frame(1001, {0xEE})), 0);
    EXPECT_NE(console.text().find(" cloud get new buf failed "), std::string::npos);
    // The running request's slot is free again: one more fits while it runs,
    // the next is dropped.  Late arrivals take the lowest slots but must wait
    // behind the nineteen that came earlier.
    g_on_post = [] {
        if (g_posts.size() == 1) {
            EXPECT_EQ(send("cmd", "late1", cmd_frame(1001, {0x41})), 1);
            EXPECT_EQ(send("cmd", "full", cmd_frame(1001, {0x40})), 0);
        } else if (g_posts.size() == 2) {
            EXPECT_EQ(send("cmd", "late2", cmd_frame(1001, {0x42})), 1);
        }
    };
    EXPECT_EQ(handle_cloud_recv_task(), kCloudBufCount + 2);
    g_on_post = nullptr;
    ASSERT_EQ(g_posts.size(), size_t(kCloudBufCount + 2));
    for (int i = 0; i < kCloudBufCount; ++i) EXPECT_EQ(g_posts[i].topic, kDev + "/cmd/response/p" + std::to_string(i));
    EXPECT_EQ(g_posts[kCloudBufCount].topic, kDev + "/cmd/response/late1");
    EXPECT_EQ(g_posts[kCloudBufCount + 1].topic, kDev + "/cmd/response/late2");
}

std::vector<uint8_t> switch_body(const std::string &text) {
    return std::vector<uint8_t>(text.rbegin(), text.rend());
}

TEST_F(Downlink, SwitchServersRefusesBadHostOrPort) {
    const std::string before = root.read("/iot/conf/iot.ini");
    // The last one passes every check but its user name cannot be stored:
    // host and port must not be stored without it.
    const char *bad[] = {"bro*ker:1884", ":1884", "host:0", "host:65536", "host:", "host:12ab", "host",
                         "host:1884,averyveryveryveryverylongusername0,p", "host:1884,us'er\"x,p"};
    int n = 0;
    for (const char *b : bad) send("cmd", "sw" + std::to_string(n++), cmd_frame(1004, switch_body(b)));
    send("cmd", "sw64", cmd_frame(1004, switch_body(std::string(64, 'h') + ":1884")));
    // 63 characters pass the check, but the store's 63-character lines cannot
    // hold them: still nothing stored and no restart.
    send("cmd", "sw63", cmd_frame(1004, switch_body(std::string(63, 'h') + ":1884")));
    handle_cloud_recv_task();
    ASSERT_EQ(g_posts.size(), 11u);
    for (const auto &p : g_posts) EXPECT_EQ(p.text.substr(18), "EC0302000000") << p.topic;
    EXPECT_FALSE(root.exists("/iot/conf/mqtt_prev.ini"));
    EXPECT_EQ(root.read("/iot/conf/iot.ini"), before);
    EXPECT_EQ(actions().find("reboot"), std::string::npos);
}

TEST_F(Downlink, SwitchServersStoresThenRebootsAfterTheResponse) {
    g_on_post = [] { EXPECT_EQ(slurp(plat_root() + "/var/actions.log").find("reboot"), std::string::npos); };
    send("cmd", "sw", cmd_frame(1004, switch_body(std::string(54, 'b') + ":1884,user2,pass2")));
    handle_cloud_recv_task();
    g_on_post = nullptr;
    ASSERT_EQ(g_posts.size(), 1u);
    EXPECT_EQ(g_posts[0].text.substr(18), "EC0302000100");
    mqtt_conf_t conf{};
    ASSERT_EQ(get_mqttinfo(&conf), 1);
    EXPECT_EQ(std::string(conf.hostip), std::string(54, 'b'));
    EXPECT_EQ(conf.port, 1884);
    EXPECT_STREQ(conf.username, "user2");
    EXPECT_STREQ(conf.password, "pass2");
    EXPECT_NE(actions().find("reboot"), std::string::npos);
    EXPECT_NE(console.text().find("ready to restart \r"), std::string::npos);
}

TEST_F(Downlink, OtaWithoutPortFailsEveryAttempt) {
    send("ota", "o1", ota_frame(8, "http://127.0.0.1/GD32.hex"));
    send("ota", "mc", ota_frame(1, "http://127.0.0.1/KD11.hex"));  // no controller id byte: KD11
    const int64_t t0 = plat_mono_ms();
    handle_cloud_recv_task();
    ASSERT_EQ(g_posts.size(), 2u);
    EXPECT_EQ(g_posts[0].topic, kDev + "/ota/response/o1");
    EXPECT_EQ(g_posts[0].text, "0102021CA1A2A3A40800" "00");
    EXPECT_EQ(g_posts[1].text, "0102021CA1A2A3A40100" "00");
    EXPECT_NE(console.text().find("mcu_id[0] = 0 \r\n"), std::string::npos);
    // Unusable URLs do not sleep between attempts.
    EXPECT_EQ(plat_mono_ms() - t0, 0);
    EXPECT_EQ(get_ota_mode(), 0);
}

TEST_F(Downlink, SelfUpdateToTemporaryNameThenRename) {
    root.mkdirs("/www");
    root.mkdirs("/iot/lib");
    const std::string lib(20000, 'L');
    root.write("/www/new.so", lib);
    PyHttpServer http(root.at("/www"));
    ASSERT_TRUE(http.ok());
    send("ota", "self", ota_frame(6, "http://127.0.0.1:" + std::to_string(http.port()) + "/new.so"));
    handle_cloud_recv_task();
    ASSERT_EQ(g_posts.size(), 1u);
    EXPECT_EQ(g_posts[0].text, "0102021CA1A2A3A40601" "00");
    EXPECT_EQ(root.read("/iot/lib/libTelAgentEx.so"), lib);
    EXPECT_FALSE(root.exists("/iot/lib/libTelAgentEx.so.part"));
    EXPECT_EQ(root.read("/iot/conf/libiot.ini").substr(0, 25), "/iot/lib/libTelAgentEx.so");
    EXPECT_EQ(get_systerm_backup(), 1);
    EXPECT_NE(actions().find("reboot"), std::string::npos);
}

TEST_F(Downlink, FailedSelfUpdateLeavesEverythingAsItWas) {
    root.mkdirs("/www");
    root.mkdirs("/iot/lib");
    root.write("/www/small.so", std::string(5000, 'S'));  // below the downloader's minimum
    root.write("/iot/conf/libiot.ini", "/iot/lib/libTelAgent.so");
    PyHttpServer http(root.at("/www"));
    ASSERT_TRUE(http.ok());
    send("ota", "self", ota_frame(6, "http://127.0.0.1:" + std::to_string(http.port()) + "/small.so"));
    handle_cloud_recv_task();
    ASSERT_EQ(g_posts.size(), 1u);
    EXPECT_EQ(g_posts[0].text, "0102021CA1A2A3A40600" "00");
    EXPECT_FALSE(root.exists("/iot/lib/libTelAgentEx.so"));
    EXPECT_FALSE(root.exists("/iot/lib/libTelAgentEx.so.part"));
    EXPECT_EQ(root.read("/iot/conf/libiot.ini"), "/iot/lib/libTelAgent.so");
    EXPECT_EQ(actions().find("reboot"), std::string::npos);
    EXPECT_EQ(count_attempts(console.text()), 5);
}

// Above the HEX reader's limit, or cut off: refused or dropped, and the image a
// later update would flash is still the old one, with nothing beside it.
TEST_F(Downlink, ControllerImageOverItsLimitOrCutLeavesTheOldFile) {
    root.write("/iot/conf/GD32.hex", "OLD IMAGE");
    RawHttpServer big({raw_send(http_ok_head(300001) + std::string(300001, ':'))});
    RawHttpServer cut({raw_send(http_ok_head(20000) + std::string(15000, ':'))});
    send("ota", "big", ota_frame(8, "http://127.0.0.1:" + std::to_string(big.port()) + "/GD32.hex"));
    send("ota", "cut", ota_frame(8, "http://127.0.0.1:" + std::to_string(cut.port()) + "/GD32.hex"));
    handle_cloud_recv_task();
    ASSERT_EQ(g_posts.size(), 2u);
    EXPECT_EQ(g_posts[0].text, "0102021CA1A2A3A40800" "00");
    EXPECT_EQ(g_posts[1].text, "0102021CA1A2A3A40800" "00");
    EXPECT_EQ(count_attempts(console.text()), 6);
    EXPECT_NE(console.text().find("300001 bytes are more than /iot/conf/GD32.hex.part takes (300000)"), std::string::npos);
    EXPECT_EQ(root.read("/iot/conf/GD32.hex"), "OLD IMAGE");
    EXPECT_FALSE(root.exists("/iot/conf/GD32.hex.part"));
}

// Starts the real task thread, which no fixture can stop: this case relies on
// a process of its own (gtest_discover_tests), as every case here may.
TEST_F(Downlink, ProducersAgainstTheRealTaskKeepTheirOrder) {
    init_orlin_handle();
    constexpr int kProducers = 4, kEach = 60;
    std::atomic<int> accepted{0};
    std::vector<std::vector<int>> taken(kProducers);
    std::vector<std::thread> ts;
    for (int p = 0; p < kProducers; ++p) {
        ts.emplace_back([p, &accepted, &taken] {
            for (int i = 0; i < kEach; ++i) {
                if (send("cmd", "p" + std::to_string(p) + "n" + std::to_string(i), cmd_frame(1001, {uint8_t(p), uint8_t(i)})) == 1) {
                    accepted.fetch_add(1);
                    taken[p].push_back(i);
                }
            }
        });
    }
    for (auto &t : ts) t.join();
    const auto done = [&] {
        std::lock_guard<std::mutex> lk(g_posts_mu);
        return static_cast<int>(g_posts.size()) == accepted.load();
    };
    for (int i = 0; i < 1000 && !done(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(done()) << accepted.load();
    std::lock_guard<std::mutex> lk(g_posts_mu);
    // Each producer's accepted requests are answered in the order it sent them.
    std::vector<std::vector<int>> answered(kProducers);
    for (const auto &post : g_posts) {
        const std::string id = post.topic.substr(post.topic.rfind('/') + 2);
        const int p = std::stoi(id.substr(0, id.find('n')));
        answered[p].push_back(std::stoi(id.substr(id.find('n') + 1)));
        EXPECT_EQ(post.text.substr(26), hex({uint8_t(p), uint8_t(answered[p].back())}));
    }
    for (int p = 0; p < kProducers; ++p) EXPECT_EQ(answered[p], taken[p]) << p;
    EXPECT_GE(accepted.load(), kCloudBufCount);
}

}  // namespace
