// A whole box driven from the operator's cloud tool: host, agent, devsim's
// bike and modem, mosquitto on loopback, and an HTTP file server.  Commands
// with the bike attached, lying and gone; extra data with the bike on and
// off; switching to a second broker; a self-update that works, then one that
// crashes at start and is rolled back by the host.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "box_harness.h"
#include "cloud_mqtt.h"
#include "cloud_request.h"
#include "support/http_peers.h"

namespace fs = std::filesystem;

namespace {

constexpr const char *kScenario =
    "[smd7]\necho = 0\n"
    "[bike]\nattached = 1\non = 1\nlocked = 0\nlight = 0\n";

bool control(Box &box, const std::string &line) {
    const int fd = open(box.path("/var/devsim/control").c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    const std::string l = line + "\n";
    const bool wrote = write(fd, l.data(), l.size()) == static_cast<ssize_t>(l.size());
    close(fd);
    return wrote && box.wait_file("/var/devsim/control.log", line + " -> ok\n", 5000);
}

struct Tool {
    int rc = -1;
    std::string out;
    int64_t ms = 0;
};

Tool tool(int port, std::vector<std::string> args, int timeout_ms = 60000) {
    std::vector<std::string> argv = {TELAGENT_CLOUD_BIN, "--port", std::to_string(port)};
    argv.insert(argv.end(), args.begin(), args.end());
    Tool t;
    const int64_t t0 = harness_mono_ms();
    t.rc = run_program(argv, {}, &t.out, timeout_ms);
    t.ms = harness_mono_ms() - t0;
    return t;
}

std::string imei_of(Box &box) {
    if (!box.wait_console("imei --------- [", 30000)) return "";
    const std::string c = box.console();
    const size_t p = c.find("imei --------- [") + 16;
    return c.substr(p, c.find(']', p) - p);
}

// Until the box answers a request on this broker (it connects in its own time).
bool answers(int port, const std::string &imei, int timeout_ms) {
    return poll_until([&] { return tool(port, {"request", imei, "diag", "00", "--timeout", "3"}).rc == 0; }, timeout_ms);
}

class DownlinkBox : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(broker.ok()) << broker.error();
    }
    void bring_up(std::vector<std::string> host_args = {"--restart-delay-ms", "200"}) {
        BoxOptions o;
        o.scenario = kScenario;
        o.mqtt_port = broker.port();
        o.host_args = std::move(host_args);
        box = std::make_unique<Box>(o);
        ASSERT_TRUE(box->ok()) << box->error();
        imei = imei_of(*box);
        ASSERT_EQ(imei.size(), 15u) << box->console().substr(0, 3000);
        ASSERT_TRUE(answers(broker.port(), imei, 90000)) << box->console().substr(0, 3000);
    }
    Broker broker;
    std::unique_ptr<Box> box;
    std::string imei;
};

TEST_F(DownlinkBox, CommandsWithTheBikeAttachedLyingAndGone) {
    bring_up();
    Tool t = tool(broker.port(), {"request", imei, "lock", "--json"});
    EXPECT_EQ(t.rc, 0) << t.out;
    EXPECT_NE(t.out.find("\"cmd\":2,\"result\":1"), std::string::npos) << t.out;
    EXPECT_TRUE(box->wait_file("/var/devsim/bike_state", "locked = 1\n", 5000));

    // A backend with UUID-style request ids: the unlock runs, answered under
    // the id cut to 31 characters.
    {
        BrokerOptions bo;
        bo.port = broker.port();
        CloudClient c;
        const std::string dev = "zt/ebike/devices/" + imei + "/cmd";
        ASSERT_EQ(c.connect(bo, {dev + "/response/+"}, 10000), 0) << c.error();
        const uint8_t ident[4] = {0x55, 0x1D, 0x00, 0x01};
        CloudRequest req;
        std::string why, text, js;
        ASSERT_EQ(build_cloud_request({"unlock"}, ident, &req, &why), 0);
        const std::string uuid = "123e4567-e89b-12d3-a456-426614174000";
        ASSERT_EQ(c.publish(dev + "/request/" + uuid, cloud_hex(req.frame), 5000), 0);
        CloudMessage m;
        ASSERT_TRUE(c.next(&m, 15000));
        EXPECT_EQ(m.topic, dev + "/response/" + uuid.substr(0, 31));
        EXPECT_EQ(decode_cloud_response("cmd", m.payload, ident, &text, &js, &why), 1) << why;
        EXPECT_NE(text.find("result 1"), std::string::npos) << text;
        EXPECT_TRUE(box->wait_file("/var/devsim/bike_state", "locked = 0\n", 5000));
    }

    t = tool(broker.port(), {"request", imei, "light", "on"});
    EXPECT_NE(t.out.find("light: result 1 (done)"), std::string::npos) << t.out;

    // The board answers with the wrong state byte: three tries, then "not confirmed".
    ASSERT_TRUE(control(*box, "bike wrong_lock_byte 1"));
    t = tool(broker.port(), {"request", imei, "unlock", "--json"});
    EXPECT_NE(t.out.find("\"cmd\":2,\"result\":0"), std::string::npos) << t.out;
    ASSERT_TRUE(control(*box, "bike wrong_lock_byte 0"));

    // No bike at all.
    ASSERT_TRUE(control(*box, "bike detach"));
    t = tool(broker.port(), {"request", imei, "light", "off", "--json"});
    EXPECT_NE(t.out.find("\"cmd\":3,\"result\":0"), std::string::npos) << t.out;
    t = tool(broker.port(), {"request", imei, "lock", "--json"});
    EXPECT_NE(t.out.find("\"cmd\":2,\"result\":0"), std::string::npos) << t.out;

    // Diagnosis echo, interval, and the silent ones.
    t = tool(broker.port(), {"request", imei, "diag", "0102A0FF", "--json"});
    EXPECT_NE(t.out.find("\"cmd\":1001,\"data\":\"0102A0FF\""), std::string::npos) << t.out;
    t = tool(broker.port(), {"request", imei, "interval", "60", "--json"});
    EXPECT_NE(t.out.find("\"cmd\":1002,\"result\":1"), std::string::npos) << t.out;
    EXPECT_NE(box->file("/iot/conf/iot.ini").find("ReportingInterval=60"), std::string::npos);
    EXPECT_EQ(tool(broker.port(), {"request", imei, "cmd", "777", "0100", "--timeout", "3"}).rc, 3);
    EXPECT_EQ(tool(broker.port(), {"request", imei, "cmd", "1001", "", "--timeout", "3"}).rc, 3);
    t = tool(broker.port(), {"request", imei, "speaker"});
    EXPECT_EQ(t.rc, 0);
    EXPECT_NE(t.out.find("no response expected"), std::string::npos) << t.out;
    // Still answering in order after all of that.
    EXPECT_EQ(tool(broker.port(), {"request", imei, "diag", "AA"}).rc, 0);

    // Back on the bus, but answering later than the box waits: every try runs
    // out (3 x 2 s), then "not confirmed".
    ASSERT_TRUE(control(*box, "bike attach"));
    ASSERT_TRUE(control(*box, "bike answer_delay_ms 7000"));
    t = tool(broker.port(), {"request", imei, "unlock", "--json"});
    EXPECT_NE(t.out.find("\"cmd\":2,\"result\":0"), std::string::npos) << t.out;
    EXPECT_GE(t.ms, 5500) << "three tries of 2 s each";
}

TEST_F(DownlinkBox, ExtraDataWithTheBikeOnAndOff) {
    bring_up();
    Tool t = tool(broker.port(), {"request", imei, "extra", "--json"});
    ASSERT_EQ(t.rc, 0) << t.out;
    EXPECT_NE(t.out.find("\"product\":\"KBox40\""), std::string::npos) << t.out;
    EXPECT_EQ(t.out.find("\"motor_sw\":null"), std::string::npos) << t.out;
    EXPECT_NE(t.out.find("\"iccid\":\""), std::string::npos) << t.out;
    ASSERT_TRUE(control(*box, "bike on 0"));
    // Once the box has seen the bike go off, the motor and display fields stay empty.
    ASSERT_TRUE(poll_until(
        [&] {
            t = tool(broker.port(), {"request", imei, "extra", "--json"});
            return t.out.find("\"motor_sw\":null") != std::string::npos;
        },
        60000))
        << t.out;
    EXPECT_NE(t.out.find("\"display_model\":null"), std::string::npos) << t.out;
    EXPECT_NE(box->console().find(" BikeOnStatus = POWER_OFF \r"), std::string::npos);
}

int dead_port() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t al = sizeof a;
    bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
    getsockname(fd, reinterpret_cast<sockaddr *>(&a), &al);
    close(fd);
    return ntohs(a.sin_port);
}

std::string tail(const std::string &s) { return s.substr(s.size() > 4000 ? s.size() - 4000 : 0); }

// A switch to a broker that never answers is undone when its window (15 s
// here) runs out; one that connects is kept.
TEST_F(DownlinkBox, SwitchServersAnswersFirstThenTheBoxMovesToTheNewBroker) {
    bring_up();
    box->put_file("/iot/conf/iot.ini", box->file("/iot/conf/iot.ini") + "MqttSwitchWindow=15\n");
    Broker second;
    ASSERT_TRUE(second.ok()) << second.error();
    // Bad port: answered 0, nothing stored, no restart.
    Tool t = tool(broker.port(), {"request", imei, "servers", "127.0.0.1:0", "--json"});
    EXPECT_NE(t.out.find("\"cmd\":1004,\"result\":0"), std::string::npos) << t.out;
    EXPECT_EQ(box->actions().find(" reboot"), std::string::npos);

    const int dead = dead_port();
    t = tool(broker.port(), {"request", imei, "servers", "127.0.0.1:" + std::to_string(dead), "--json"});
    EXPECT_NE(t.out.find("\"cmd\":1004,\"result\":1"), std::string::npos) << t.out;
    EXPECT_TRUE(box->wait_actions(" reboot\n", 10000)) << box->actions();
    const std::string back = "127.0.0.1:" + std::to_string(dead) + " not reached within 15 s: back to the previous broker 127.0.0.1:" +
                             std::to_string(broker.port());
    ASSERT_TRUE(box->wait_console(back, 90000)) << tail(box->console());
    EXPECT_TRUE(answers(broker.port(), imei, 90000)) << tail(box->console());
    EXPECT_NE(box->file("/iot/conf/iot.ini").find("MqttPort=" + std::to_string(broker.port()) + "\n"), std::string::npos);
    EXPECT_FALSE(fs::exists(box->path("/iot/conf/mqtt_prev.ini")));

    t = tool(broker.port(), {"request", imei, "servers", "127.0.0.1:" + std::to_string(second.port()), "--json"});
    EXPECT_EQ(t.rc, 0) << t.out;
    EXPECT_NE(t.out.find("\"cmd\":1004,\"result\":1"), std::string::npos) << t.out;
    EXPECT_TRUE(poll_until([&] { return count_of(box->actions(), " reboot\n") == 2; }, 10000)) << box->actions();
    EXPECT_TRUE(answers(second.port(), imei, 90000)) << tail(box->console());
    EXPECT_TRUE(box->wait_console("new broker reached: switch kept", 10000)) << tail(box->console());
    EXPECT_FALSE(fs::exists(box->path("/iot/conf/mqtt_prev.ini")));
}

TEST_F(DownlinkBox, SelfUpdateThenABadLibraryIsRolledBack) {
    bring_up({"--restart-delay-ms", "200", "--trial-window-ms", "600000"});
    const std::string www = box->path("/var/www");
    fs::create_directories(www);
    fs::copy_file(harness_lib_file(), www + "/good.so");
    fs::copy_file(harness_file("TELAGENT_TEST_FAKE_AGENT_LIB", FAKE_AGENT_LIB), www + "/bad.so");
    // The stand-in agent crashes at every start when it is libTelAgent.so.
    box->put_file("/var/fake/mode.libTelAgent.so", "segv");
    const std::string root_www = box->root() + "/var/www";
    std::vector<std::string> serve = {TELAGENT_CLOUD_BIN, "serve", root_www, "--port", "0"};
    // The file server in the background, on a port it picks and prints.
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const pid_t srv = fork();
    if (srv == 0) {
        setpgid(0, 0);
        dup2(fds[1], 1);
        execl(TELAGENT_CLOUD_BIN, TELAGENT_CLOUD_BIN, "serve", root_www.c_str(), "--port", "0", static_cast<char *>(nullptr));
        _exit(127);
    }
    close(fds[1]);
    char line[256] = {};
    ssize_t n = read(fds[0], line, sizeof line - 1);
    ASSERT_GT(n, 0);
    const std::string l(line, static_cast<size_t>(n));
    const size_t colon = l.rfind(':');
    const std::string port = l.substr(colon + 1, l.find('/', colon) - colon - 1);

    const int64_t t0 = harness_mono_ms();
    Tool t = tool(broker.port(), {"request", imei, "ota", "lib", "http://127.0.0.1:" + port + "/good.so", "--json"}, 120000);
    EXPECT_NE(t.out.find("\"target\":6,\"status\":1"), std::string::npos) << t.out;
    EXPECT_TRUE(box->wait_console("[host] starting /iot/lib/libTelAgentEx.so\n", 20000));
    EXPECT_TRUE(answers(broker.port(), imei, 90000));
    const int64_t update_ms = harness_mono_ms() - t0;
    printf("self-update, request to the new library answering: %lld ms\n", static_cast<long long>(update_ms));
    EXPECT_EQ(box->file("/iot/conf/libiot.ini").substr(0, 25), "/iot/lib/libTelAgentEx.so");
    EXPECT_FALSE(fs::exists(box->path("/iot/lib/libTelAgentEx.so.part")));

    // Now running libTelAgentEx.so, the next update goes to libTelAgent.so.
    t = tool(broker.port(), {"request", imei, "ota", "lib", "http://127.0.0.1:" + port + "/bad.so", "--json"}, 120000);
    EXPECT_NE(t.out.find("\"target\":6,\"status\":1"), std::string::npos) << t.out;
    EXPECT_TRUE(box->wait_console("ended 4 times within", 60000)) << box->console().substr(0, 2000);
    EXPECT_TRUE(box->wait_console("going back to /iot/lib/libTelAgentEx.so\n", 5000));
    EXPECT_TRUE(answers(broker.port(), imei, 90000));
    EXPECT_EQ(box->file("/iot/conf/libiot.ini"), "/iot/lib/libTelAgentEx.so\n");
    kill(-srv, SIGTERM);
    waitpid(srv, nullptr, 0);
    close(fds[0]);
}

TEST_F(DownlinkBox, BurstDuringADownloadFillsThePoolAndTheRestIsAnsweredInOrder) {
    bring_up();
    // A download that stalls after its header (within the downloader's 2 s read wait).
    RawHttpServer http({raw_send(http_ok_head(20000)), raw_pause(1500), raw_send(std::string(20000, ':'))});
    BrokerOptions bo;
    bo.port = broker.port();
    CloudClient c;
    const std::string dev = "zt/ebike/devices/" + imei;
    ASSERT_EQ(c.connect(bo, {dev + "/+/response/+"}, 10000), 0) << c.error();
    const uint8_t ota_ident[4] = {0x0A, 0x0B, 0x0C, 0x0D};
    CloudRequest ota;
    std::string why;
    ASSERT_EQ(build_cloud_request({"ota", "gd32", "http://127.0.0.1:" + std::to_string(http.port()) + "/GD32.hex"},
                                  ota_ident, &ota, &why), 0);
    ASSERT_EQ(c.publish(dev + "/ota/request/dl", cloud_hex(ota.frame), 5000), 0);
    ASSERT_TRUE(poll_until([&] { return http.connections() >= 1; }, 10000));
    for (int i = 0; i < 25; ++i) {
        const uint8_t ident[4] = {uint8_t(i), 0xB0, 0xB0, 0xB0};
        CloudRequest r;
        ASSERT_EQ(build_cloud_request({"diag", "00"}, ident, &r, &why), 0);
        ASSERT_EQ(c.publish(dev + "/cmd/request/b" + std::to_string(i), cloud_hex(r.frame), 5000), 0);
    }
    std::vector<std::string> topics;
    CloudMessage m;
    while (c.next(&m, 15000)) topics.push_back(m.topic.substr(m.topic.rfind('/') + 1));
    // The download's slot was handed back when it was taken: 20 wait, 5 are dropped.
    ASSERT_EQ(topics.size(), 21u) << box->console().substr(box->console().size() > 6000 ? box->console().size() - 6000 : 0);
    EXPECT_EQ(topics[0], "dl");
    for (int i = 0; i < 20; ++i) EXPECT_EQ(topics[1 + i], "b" + std::to_string(i));
    EXPECT_EQ(count_of(box->console(), " cloud get new buf failed "), 5u);
    // The download is not an image: the GD32 routine refuses it before any frame.
    EXPECT_NE(box->console().find("ota_gd_end = 0"), std::string::npos);
}

// Figures for docs/performance.md, run by hand:
//   test_downlink_box --gtest_also_run_disabled_tests --gtest_filter='*Measure*'
// Publish to response at the operator, 200 motor-lock requests one at a time,
// and the bike's share taken from devsim's wire log of the lock line.
TEST_F(DownlinkBox, DISABLED_MeasureLockRoundTrip) {
    bring_up();
    BrokerOptions bo;
    bo.port = broker.port();
    CloudClient c;
    const std::string dev = "zt/ebike/devices/" + imei + "/cmd";
    ASSERT_EQ(c.connect(bo, {dev + "/response/+"}, 10000), 0) << c.error();
    // The operator's own loop through the broker, without the box.
    std::vector<int64_t> self_us;
    for (int i = 0; i < 50; ++i) {
        const int64_t t0 = cloud_now_us();
        ASSERT_EQ(c.publish(dev + "/response/self", "00", 5000), 0);
        CloudMessage m;
        ASSERT_TRUE(c.next(&m, 5000));
        self_us.push_back(m.arrived_us - t0);
    }
    // The box's own path without the bike: diagnosis echoes.
    std::vector<int64_t> diag_us;
    for (int i = 0; i < 200; ++i) {
        const uint8_t ident[4] = {uint8_t(i), 0xD1, 0xA6, 0x00};
        CloudRequest req;
        std::string why, text, js;
        ASSERT_EQ(build_cloud_request({"diag", "0100"}, ident, &req, &why), 0);
        const int64_t t0 = cloud_now_us();
        ASSERT_EQ(c.publish(dev + "/request/d" + std::to_string(i), cloud_hex(req.frame), 5000), 0);
        CloudMessage m;
        bool got = false;
        while (!got && c.next(&m, 10000)) got = decode_cloud_response("cmd", m.payload, ident, &text, &js, &why) == 1;
        ASSERT_TRUE(got);
        diag_us.push_back(m.arrived_us - t0);
    }
    std::vector<int64_t> total_us, sent_ms;
    for (int i = 0; i < 200; ++i) {
        const uint8_t ident[4] = {uint8_t(i), 0x5A, 0x5A, 0x5A};
        CloudRequest req;
        std::string why;
        ASSERT_EQ(build_cloud_request({i % 2 ? "unlock" : "lock"}, ident, &req, &why), 0);
        sent_ms.push_back(std::chrono::duration_cast<std::chrono::milliseconds>(
                              std::chrono::system_clock::now().time_since_epoch()).count());
        const int64_t t0 = cloud_now_us();
        ASSERT_EQ(c.publish(dev + "/request/m" + std::to_string(i), cloud_hex(req.frame), 5000), 0);
        CloudMessage m;
        std::string text, js;
        bool got = false;
        while (!got && c.next(&m, 10000)) got = decode_cloud_response("cmd", m.payload, ident, &text, &js, &why) == 1;
        ASSERT_TRUE(got) << i;
        EXPECT_NE(text.find("result 1"), std::string::npos) << text;
        total_us.push_back(m.arrived_us - t0);
    }
    // Bike share: from the lock frame written by the box (RX, id 0x011A) to the
    // bike's answer on the line (TX with the same id).
    std::vector<int64_t> bike_ms, wait_ms;
    std::ifstream in(box->path("/var/devsim/ttyHSL1.log"));
    std::string line;
    size_t i = 0;
    int64_t rx_at = -1;
    while (std::getline(in, line) && i < sent_ms.size()) {
        std::istringstream ls(line);
        int64_t ms = 0;
        std::string port, dir, hex;
        ls >> ms >> port >> dir;
        std::getline(ls, hex);
        hex.erase(std::remove(hex.begin(), hex.end(), ' '), hex.end());
        if (rx_at < 0 && dir == "RX" && ms >= sent_ms[i] && hex.find("0201021a01") != std::string::npos) {
            rx_at = ms;
            wait_ms.push_back(ms - sent_ms[i]);
        } else if (rx_at >= 0 && dir == "TX" && hex.find("1a01") != std::string::npos) {
            bike_ms.push_back(ms - rx_at);
            rx_at = -1;
            ++i;
        }
    }
    auto pct = [](std::vector<int64_t> v, double p) {
        std::sort(v.begin(), v.end());
        return v.empty() ? -1 : v[std::min(v.size() - 1, static_cast<size_t>(p * (v.size() - 1) + 0.5))];
    };
    printf("operator loop through the broker (us): median %lld p99 %lld\n", (long long)pct(self_us, 0.5), (long long)pct(self_us, 0.99));
    printf("diag round trip (us): median %lld p99 %lld\n", (long long)pct(diag_us, 0.5), (long long)pct(diag_us, 0.99));
    printf("lock round trip (us): median %lld p99 %lld max %lld over %zu\n", (long long)pct(total_us, 0.5),
           (long long)pct(total_us, 0.99), (long long)pct(total_us, 1.0), total_us.size());
    printf("bike answer (ms, wire log): median %lld p99 %lld over %zu\n", (long long)pct(bike_ms, 0.5),
           (long long)pct(bike_ms, 0.99), bike_ms.size());
    printf("publish to lock frame on the line (ms): median %lld p99 %lld\n", (long long)pct(wait_ms, 0.5),
           (long long)pct(wait_ms, 0.99));
}

}  // namespace
