// MQTT session against a real mosquitto on loopback: connection parameters and
// subscriptions as the broker saw them, publishing as a second client sees it,
// requests reaching the receive handler, the supervisor's rules (loss, broker
// restart, 21 passes, working mode, the fifth-reconnect LTE restart) and the
// teardown rules the asynchronous client needs.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "cloud/mqtt_fixture.h"
#include "core/logging.h"
#include "core/tavi_common.h"
#include "lte/at_channel.h"
#include "support/pty_modem.h"
#include "vehicle/factory_test.h"

using namespace mqtt_test;

namespace {

const std::string kImeiS = kImei;

// What the receive handler was given.
struct Received {
    std::string topic;
    std::string payload;
    int len;
    size_t text_len;  // strlen of the payload as handed over
};
// Never destroyed: the inbox thread may still deliver while the process exits.
std::mutex &g_rx_mu = *new std::mutex;
std::vector<Received> &g_rx = *new std::vector<Received>;

int record_handler(const char *topic, const char *payload, int len) {
    std::lock_guard<std::mutex> lk(g_rx_mu);
    g_rx.push_back({topic, std::string(payload, static_cast<size_t>(len)), len, strlen(payload)});
    return 0;
}

std::vector<Received> received() {
    std::lock_guard<std::mutex> lk(g_rx_mu);
    return g_rx;
}

size_t pos_of(const std::string &hay, const std::string &needle) { return hay.find(needle); }

// The process's TCP sockets to the broker's port: how many, and how many of
// them have Nagle's algorithm off.
std::pair<int, int> broker_sockets(int port) {
    int n = 0, nodelay = 0;
    for (int fd = 0; fd < 4096; ++fd) {
        struct stat st {};
        if (fstat(fd, &st) != 0 || !S_ISSOCK(st.st_mode)) continue;
        sockaddr_storage peer {};
        socklen_t pl = sizeof peer;
        if (getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &pl) != 0 || peer.ss_family != AF_INET) continue;
        if (ntohs(reinterpret_cast<sockaddr_in *>(&peer)->sin_port) != port) continue;
        int v = 0;
        socklen_t vl = sizeof v;
        ++n;
        if (getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &v, &vl) == 0 && v != 0) ++nodelay;
    }
    return {n, nodelay};
}

}  // namespace

// ---- connection and subscriptions ---------------------------------------

TEST_F(MqttSession, FirstPassWithDataUpConnectsAndSubscribesTheFourRequestTopics) {
    // Data down: nothing is created, the count is primed for the first pass with data.
    lte_set_data_status(0);
    EXPECT_EQ(check_mqqt_connected(), 0);
    EXPECT_EQ(get_mqtt_failed_count(), 26);
    EXPECT_EQ(get_mqtt_client_count(), 0);

    lte_set_data_status(1);
    EXPECT_EQ(check_mqqt_connected(), -1);  // started, not yet confirmed
    EXPECT_EQ(get_mqtt_client_count(), 1);
    ASSERT_TRUE(poll_until([] { return get_mqqt_connected() == 1; }, 10000)) << console.text();
    EXPECT_EQ(get_mqtt_status(), 1);
    EXPECT_EQ(get_dial_mqtt_success(), 1);

    // The broker saw the box's identity and parameters: client id = IMEI,
    // protocol 3.1.1, clean session, keep-alive MqttPing, the provisioned user.
    const std::string log = broker.log();
    EXPECT_NE(log.find("as " + kImeiS + " (p2, c1, k60, u'ebikeiot')"), std::string::npos) << log;
    const size_t a = pos_of(log, "\t" + kDev + "/extra_data/request/+ (QoS 1)");
    const size_t b = pos_of(log, "\t" + kDev + "/cmd/request/+ (QoS 1)");
    const size_t c = pos_of(log, "\t" + kDev + "/ota/request/+ (QoS 1)");
    const size_t d = pos_of(log, "\t" + kDev + "/adv/request/+ (QoS 1)");
    ASSERT_NE(a, std::string::npos) << log;
    ASSERT_NE(d, std::string::npos) << log;
    EXPECT_LT(a, b);
    EXPECT_LT(b, c);
    EXPECT_LT(c, d);
    EXPECT_EQ(count_of(log, "Received SUBSCRIBE from " + kImeiS), 4u);

    // A healthy pass clears both counters.
    EXPECT_EQ(check_mqqt_connected(), 0);
    EXPECT_EQ(get_mqtt_failed_count(), 0);
    EXPECT_EQ(get_mqtt_retry_count(), 0);

    const std::string out = console.text();
    EXPECT_NE(out.find(" : cmd topic:" + kDev + "/cmd/request/+\n"), std::string::npos) << out;
    EXPECT_NE(out.find(" : adv topic:" + kDev + "/adv/request/+\n"), std::string::npos) << out;
    EXPECT_NE(out.find("#imei--> " + kImeiS), std::string::npos) << out;
    EXPECT_NE(out.find("#service--> tcp://127.0.0.1:" + std::to_string(broker.port())), std::string::npos);
}

// Everything under a directory of the device root, concatenated.
static std::string tree_text(const std::string &dir) {
    std::string all;
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(dir, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
        if (it->is_regular_file()) all += read_file(it->path().string());
    return all;
}

TEST_F(MqttSession, BannerMasksThePasswordAndNoSecretReachesConsoleOrLog) {
    mLogInit(LOG_INFO, LOG_TYPE_FILE);
    ASSERT_TRUE(bring_up()) << console.text();
    const std::string out = console.text();
    EXPECT_NE(out.find("  username : ebikeiot\n  password : ********\n  clientid : " + kImeiS +
                       "\n  service  : tcp://127.0.0.1:" + std::to_string(broker.port()) + "\n"),
              std::string::npos)
        << out;
    EXPECT_EQ(out.find(kPass), std::string::npos) << out;
    // The device log was written (the login line) and holds no secret either.
    const std::string log = tree_text(root.at("/iot/log"));
    EXPECT_NE(log.find("Login Mqtt Service:tcp://127.0.0.1:"), std::string::npos) << log;
    EXPECT_EQ(log.find(kPass), std::string::npos) << log;
}

TEST_F(MqttSession, UnknownImeiOrBrokerRecordStartsNoClient) {
    ConsoleCapture local;
    lte_set_data_status(1);
    execute_command("set_imei");  // no IMEI known yet
    mqtt_conf_t conf{};
    ASSERT_EQ(get_mqttinfo(&conf), 1);
    EXPECT_EQ(hostcore_mqtt_connect(&conf), -1);
    EXPECT_EQ(hostcore_mqtt_connect(nullptr), -1);
    EXPECT_EQ(get_mqtt_client_count(), 0);

    // The supervisor counts passes without a client and only redials after
    // 21 of them.
    set_mqtt_Reregister(0);
    for (int i = 1; i <= 21; ++i) {
        EXPECT_EQ(check_mqqt_connected(), -1);
        EXPECT_EQ(get_mqtt_failed_count(), i);
    }
    EXPECT_EQ(count_of(local.text(), "Mqtt_Client == NULL \n"), 21u);
    EXPECT_EQ(count_of(local.text(), "check_mqqt_connected mqtt_failed_count:21.\n"), 0u);
    check_mqqt_connected();  // 22nd: redials (and still finds no IMEI)
    EXPECT_NE(local.text().find("check_mqqt_connected mqtt_failed_count:21.\n"), std::string::npos) << local.text();
    EXPECT_EQ(get_mqtt_retry_count(), 1);
    EXPECT_EQ(get_mqtt_client_count(), 0);
}

TEST_F(MqttSession, ConnectingAgainTearsTheOldClientDownInsteadOfForgettingIt) {
    lte_set_data_status(1);
    ASSERT_EQ(connect_mqtt(), 0);
    ASSERT_TRUE(poll_until([] { return get_mqqt_connected() == 1; }, 10000));
    // A second connect while the first client lives: the old one is closed and
    // freed first, never left running beside the new one under the same id.
    ASSERT_EQ(connect_mqtt(), 0);
    EXPECT_EQ(get_mqtt_client_count(), 1);
    ASSERT_TRUE(poll_until([] { return get_mqqt_connected() == 1; }, 10000));
    const std::string log = broker.log();
    const std::string session = "as " + kImeiS + " (p2";
    const size_t first = log.find(session);
    const size_t second = log.find(session, first + 1);
    ASSERT_NE(second, std::string::npos) << log;
    // The old session was closed by the box before the new one came (and
    // the broker never had to throw an old session out for the new one).
    const size_t closed = log.find("Client " + kImeiS + " ", first);
    EXPECT_LT(closed, second) << log;
    EXPECT_EQ(log.find("already connected"), std::string::npos) << log;
}

// ---- publishing ------------------------------------------------------------

TEST_F(MqttSession, PublishedMessagesReachASecondClientWithQos1AndRetainOff) {
    Subscriber sub(broker.port(), {"zt/ebike/devices/#", "/iotresp/#"});
    ASSERT_TRUE(sub.ready());
    ASSERT_TRUE(bring_up()) << console.text();

    const std::string topic = kDev + "/common/data/";
    const std::string bin("ab\0cd\xff", 6);
    EXPECT_EQ(hostcore_mqtt_post(topic.c_str(), bin.data(), 6), 1);
    EXPECT_EQ(dev_mqtt_post(topic.c_str(), "hello world", 5), 1);  // only len bytes go out
    const unsigned char raw[] = {0x00, 0xff, 0x10};
    EXPECT_EQ(dev_mqtt_pub(raw, 3), 1);

    EXPECT_TRUE(sub.wait_line(topic + "|1|0|" + hex_of(bin), 5000));
    EXPECT_TRUE(sub.wait_line(topic + "|1|0|" + hex_of("hello"), 5000));
    EXPECT_TRUE(sub.wait_line("/iotresp/" + kImeiS + "|1|0|00ff10", 5000));
    EXPECT_EQ(sub.lines().size(), 3u);

    // The broker got QoS 1, retain off, from the box.
    const std::string log = broker.log();
    EXPECT_EQ(count_of(log, "Received PUBLISH from " + kImeiS + " (d0, q1, r0, "), 3u) << log;
    // Nothing retained: a client subscribing now gets nothing.
    Subscriber late(broker.port(), {"zt/ebike/devices/#", "/iotresp/#"});
    ASSERT_TRUE(late.ready());
    EXPECT_TRUE(late.lines().empty());

    const std::string out = console.text();
    EXPECT_NE(out.find(" ##send Message successed "), std::string::npos);
    EXPECT_NE(out.find("--->>> mqtt send --->>>"), std::string::npos) << out;

    // Bad arguments are refused, never read.
    EXPECT_EQ(hostcore_mqtt_post(nullptr, "x", 1), 0);
    EXPECT_EQ(hostcore_mqtt_post(topic.c_str(), nullptr, 1), 0);
    EXPECT_EQ(hostcore_mqtt_post(topic.c_str(), "x", -1), 0);
    EXPECT_EQ(hostcore_mqtt_pub(nullptr, 3), 0);
}

TEST_F(MqttSession, MessagePublishedBeforeTheSubscriptionIsConfirmedIsDroppedForGood) {
    Relay relay(broker.port());
    ASSERT_TRUE(relay.ok());
    provision(relay.port());
    Subscriber sub(broker.port(), {"zt/ebike/devices/#"});
    ASSERT_TRUE(sub.ready());
    const std::string topic = kDev + "/common/data/";

    EXPECT_EQ(hostcore_mqtt_post(topic.c_str(), "nobody", 6), 0);  // no client at all

    relay.hold(true);  // CONNACK and SUBACKs held back
    lte_set_data_status(1);
    set_mqtt_Reregister(1);
    check_mqqt_connected();
    ASSERT_EQ(get_mqtt_client_count(), 1);
    ASSERT_TRUE(poll_until([&] { return relay.upstream_bytes() > 0; }, 5000));
    EXPECT_EQ(hostcore_mqtt_post(topic.c_str(), "early", 5), 0);

    relay.hold(false);
    ASSERT_TRUE(poll_until([] { return get_mqqt_connected() == 1; }, 10000)) << console.text();
    EXPECT_EQ(hostcore_mqtt_post(topic.c_str(), "late", 4), 1);
    ASSERT_TRUE(sub.wait_line(topic + "|1|0|" + hex_of("late"), 5000));
    for (const auto &l : sub.lines()) {
        EXPECT_EQ(l.find(hex_of("early")), std::string::npos) << l;
        EXPECT_EQ(l.find(hex_of("nobody")), std::string::npos) << l;
    }
    EXPECT_EQ(count_of(console.text(), "hostcore_mqtt_post:---> save_offline_mqtt_data \r"), 2u);
}

// ---- receiving -------------------------------------------------------------

TEST_F(MqttSession, RequestsReachTheHandlerWithTopicAndPayloadButEmptyOnesNever) {
    {
        std::lock_guard<std::mutex> lk(g_rx_mu);
        g_rx.clear();
    }
    dev_mqtt_recv_register(record_handler);
    ASSERT_TRUE(bring_up()) << console.text();

    const int port = broker.port();
    ASSERT_EQ(Subscriber::publish(port, kDev + "/cmd/request/1", "", true), 0);
    ASSERT_EQ(Subscriber::publish(port, kDev + "/cmd/request/77", "{\"cmd\":\"lock\"}", false), 0);
    ASSERT_EQ(Subscriber::publish(port, "zt/ebike/devices/999999999999999/cmd/request/5", "other", false), 0);
    ASSERT_EQ(Subscriber::publish(port, kDev + "/cmd/response/5", "not a request", false), 0);
    ASSERT_EQ(Subscriber::publish(port, kDev + "/ota/request/3", "ota", false), 0);
    ASSERT_EQ(Subscriber::publish(port, kDev + "/extra_data/request/4", "x", false), 0);
    ASSERT_EQ(Subscriber::publish(port, kDev + "/adv/request/9", "end", false), 0);
    ASSERT_TRUE(poll_until([] { return received().size() >= 4; }, 5000)) << console.text();

    const auto rx = received();
    ASSERT_EQ(rx.size(), 4u);
    EXPECT_EQ(rx[0].topic, kDev + "/cmd/request/77");
    EXPECT_EQ(rx[0].payload, "{\"cmd\":\"lock\"}");
    EXPECT_EQ(rx[0].len, 14);
    EXPECT_EQ(rx[1].topic, kDev + "/ota/request/3");
    EXPECT_EQ(rx[2].topic, kDev + "/extra_data/request/4");
    EXPECT_EQ(rx[3].topic, kDev + "/adv/request/9");
    EXPECT_EQ(rx[3].payload, "end");
    for (const auto &r : rx) EXPECT_EQ(r.text_len, static_cast<size_t>(r.len)) << "payload handed over unterminated";

    // The empty request was reported once and dropped, not handed back to the
    // library (which would deliver it again and again, ahead of everything else).
    const std::string out = console.text();
    EXPECT_EQ(count_of(out, "MQTT_Message_Arrivd : message payload is NULL\n"), 1u) << out;
    EXPECT_EQ(count_of(out, "MQTT_Message_Arrivd : msg len:"), 4u);
    EXPECT_EQ(get_mqtt_failed_count(), 0);
}

// ---- supervision -----------------------------------------------------------

TEST_F(MqttSession, BrokerRestartIsFollowedByANewSessionOnTheNextPass) {
    ASSERT_TRUE(bring_up());
    EXPECT_EQ(check_mqqt_connected(), 0);

    broker.stop();
    ASSERT_TRUE(wait_loss());
    EXPECT_EQ(get_mqtt_client_count(), 1);  // the loss callback tore nothing down
    EXPECT_EQ(hostcore_mqtt_post((kDev + "/common/data/").c_str(), "x", 1), 0);
    ASSERT_EQ(broker.start(), 0);

    const size_t redials = count_of(console.text(), "check_mqqt_connected mqtt_failed_count:26.\n");
    check_mqqt_connected();  // the first pass after the loss redials at once
    EXPECT_EQ(count_of(console.text(), "check_mqqt_connected mqtt_failed_count:26.\n"), redials + 1);
    ASSERT_TRUE(poll_until([] { return get_mqqt_connected() == 1; }, 10000)) << console.text();
    EXPECT_EQ(check_mqqt_connected(), 0);
    EXPECT_EQ(get_mqtt_retry_count(), 0);
    EXPECT_EQ(get_mqtt_client_count(), 1);
    EXPECT_NE(console.text().find("free_mqtt MQTTAsync_unsubscribe "), std::string::npos);
}

// A response written right after a PUBACK must not wait for the broker's
// delayed acknowledgement: the session's socket has Nagle's algorithm off, and
// so has the socket of every new session.
TEST_F(MqttSession, SessionSocketsSendAtOnce) {
    ASSERT_TRUE(bring_up());
    auto s = broker_sockets(broker.port());
    EXPECT_EQ(s.first, 1);
    EXPECT_EQ(s.second, 1) << "Nagle's algorithm is still on";

    broker.stop();
    ASSERT_TRUE(wait_loss());
    ASSERT_EQ(broker.start(), 0);
    check_mqqt_connected();
    ASSERT_TRUE(poll_until([] { return get_mqqt_connected() == 1; }, 10000)) << console.text();
    s = broker_sockets(broker.port());
    EXPECT_EQ(s.first, 1);
    EXPECT_EQ(s.second, 1) << "the new session's socket";
}

TEST_F(MqttSession, FifthReconnectInARowRestartsLteAndAHealthyPassResetsTheCount) {
    PtyModem modem(root.at("/dev/smd7"), [](const std::string &) {
        return std::vector<ModemChunk>{{0, "\r\nOK\r\n"}};
    }, false);
    ASSERT_TRUE(modem.ok());
    at_channel_init();
    ASSERT_TRUE(bring_up());
    EXPECT_EQ(check_mqqt_connected(), 0);  // healthy: retry count back to 0

    auto forced_reconnect = [&] {
        lte_set_data_status(1);
        set_mqtt_Reregister(1);
        check_mqqt_connected();
        return poll_until([] { return get_mqtt_subscribel() == 1; }, 10000);
    };
    for (int i = 1; i <= 4; ++i) {
        ASSERT_TRUE(forced_reconnect());
        EXPECT_EQ(get_mqtt_retry_count(), i);
    }
    EXPECT_EQ(check_mqqt_connected(), 0);  // one healthy pass in between
    EXPECT_EQ(get_mqtt_retry_count(), 0);
    // Only the radio switches count: the modem may also be asked for its IMEI.
    auto radio = [&] {
        std::vector<std::string> cfun;
        for (const auto &c : modem.commands()) {
            if (c.rfind("AT+CFUN", 0) == 0) cfun.push_back(c);
        }
        return cfun;
    };
    for (int i = 1; i <= 4; ++i) ASSERT_TRUE(forced_reconnect());
    EXPECT_TRUE(radio().empty());
    EXPECT_EQ(get_lte_data_status(), 1);

    ASSERT_TRUE(forced_reconnect());  // fifth in a row
    EXPECT_EQ(get_mqtt_retry_count(), 0);
    EXPECT_EQ(get_lte_data_status(), 0);  // data connection released
    EXPECT_EQ(radio(), (std::vector<std::string>{"AT+CFUN=0", "AT+CFUN=1"}));
    EXPECT_EQ(count_of(console.text(), " mqtt_failed_count:0.release lte\n"), 1u);
    EXPECT_EQ(get_mqtt_client_count(), 1);
}

TEST_F(MqttSession, WorkingModeTenWaitsForActivityAndTestModeGoesOn) {
    provision(broker.port(), kPass, 10);
    lte_set_data_status(1);
    for (int i = 0; i < 30; ++i) EXPECT_EQ(check_mqqt_connected(), 0);
    EXPECT_EQ(count_of(console.text(), " waiting activity"), 30u);
    EXPECT_EQ(get_mqtt_client_count(), 0);
    EXPECT_EQ(get_mqtt_failed_count(), 0);
    EXPECT_EQ(broker.log().find(kImeiS), std::string::npos);

    // Factory mode stops supervision before anything else, without a word.
    set_factory_mode(1);
    const std::string before = console.text();
    EXPECT_EQ(check_mqqt_connected(), 0);
    EXPECT_EQ(console.text(), before);
    set_factory_mode(0);

    // Test mode goes on: 21 passes without a client, the 22nd redials.
    set_TestMode(1);
    for (int i = 1; i <= 21; ++i) EXPECT_EQ(check_mqqt_connected(), -1);
    EXPECT_EQ(get_mqtt_client_count(), 0);
    check_mqqt_connected();
    EXPECT_EQ(get_mqtt_client_count(), 1);
    EXPECT_EQ(count_of(console.text(), " test mode"), 22u);
    EXPECT_TRUE(poll_until([] { return get_mqqt_connected() == 1; }, 10000)) << console.text();
}

TEST_F(MqttSession, WrongCredentialsRedialEveryPassWithoutPilingUpClients) {
    provision(broker.port(), "not-the-password");
    set_mqtt_Reregister(1);
    for (int i = 0; i < 8; ++i) {
        lte_set_data_status(1);  // the fifth redial released it
        ASSERT_EQ(get_mqtt_force_redial(), 1) << "pass " << i << " would not redial";
        check_mqqt_connected();
        EXPECT_EQ(get_mqtt_client_count(), 1);
        // The refusal comes back as a redial request for the next pass.
        ASSERT_TRUE(poll_until([] { return get_mqtt_force_redial() == 1; }, 10000)) << console.text();
        EXPECT_EQ(get_mqtt_subscribel(), 0);
    }
    EXPECT_EQ(count_of(console.text(), "check_mqqt_connected mqtt_failed_count:26.\n"), 8u);
    EXPECT_GE(count_of(broker.log(), "not authorised"), 8u) << broker.log();
    EXPECT_EQ(count_of(broker.log(), "Received SUBSCRIBE"), 0u);
    free_mqtt();
    EXPECT_EQ(get_mqtt_client_count(), 0);
}

TEST_F(MqttSession, TableSlotsAndFlagsOutsideTheSession) {
    EXPECT_EQ(hostcore_mqtt_recv_register(record_handler), 0);
    EXPECT_EQ(get_mqtt_callback(), &record_handler);
    EXPECT_EQ(dev_mqtt_disconnect(), 0);
    EXPECT_EQ(set_mqtt_Reregister(1), 1);
    EXPECT_EQ(get_mqtt_force_redial(), 1);
    EXPECT_EQ(get_mqqt_connected(), 0);
    EXPECT_EQ(get_mqtt_status(), 0);
    free_mqtt();  // nothing to tear down
    EXPECT_EQ(get_mqtt_client_count(), 0);
    // The lock is usable and re-entrant; connecting and tearing down take the
    // client's life lock first, so they run without it.
    mqtt_lock();
    mqtt_lock();
    mqtt_unlock();
    mqtt_unlock();
    EXPECT_EQ(connect_mqtt(), 0);
    free_mqtt();
    EXPECT_EQ(get_mqtt_client_count(), 0);
}
