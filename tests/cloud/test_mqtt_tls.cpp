// The session over TLS against mosquitto with a TLS listener only, keys made
// with openssl at run time: the box gets in with the provisioned CA (by
// address and by name, across a broker switch); a broker it must not trust is
// refused with the reason, once per attempt, and tried again, never in plain;
// a broker that asks for a client certificate lets the box in only with its
// own; MqttTls=1 without a CA is an error, not a connection.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "cloud/mqtt_handle.h"
#include "cloud/mqtt_test_env.h"
#include "core/iot_common.h"
#include "core/iot_config.h"
#include "core/tel_agent_main.h"
#include "lte/lte_handle.h"
#include "platform/plat_clock.h"
#include "support/test_pki.h"
#include "support/test_root.h"

namespace {

using namespace mqtt_test;

class MqttTls : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(pki.ok()) << pki.error();
        plat_clock_fake(1710498030);
        execute_command((std::string("set_imei_") + kImei).c_str());
        dev_hostcore_register(&dev_hostcore);
        init_mqtt();
        lte_set_data_status(1);
    }
    void TearDown() override {
        free_mqtt();
        EXPECT_EQ(get_mqtt_client_count(), 0);
        if (HasFailure()) fprintf(stderr, "---- console ----\n%s\n---- end ----\n", console.text().c_str());
    }

    void start_broker(const std::string &listener) {
        broker = std::make_unique<Broker>(kUser, kPass, listener);
        ASSERT_TRUE(broker->ok()) << broker->error();
    }
    void provision(const std::string &host, const std::string &ca) {
        root.write("/iot/conf/iot.ini", "[IotCfg]\nMqttHost=" + host + "\nMqttPort=" + std::to_string(broker->port()) +
                                            "\nMqttPing=60\nMqttUserName=ebikeiot\nMqttUserPass=" + kPass +
                                            "\nWorkingMode=1\nMqttTls=1\n");
        ASSERT_EQ(init_iotconfig(), 1);
        if (!ca.empty()) root.write("/iot/conf/mqtt_ca.pem", read_file(pki.path(ca)));
    }
    // One supervisor pass that dials again.
    static void redial() {
        set_mqtt_Reregister(1);
        check_mqqt_connected();
    }
    // The attempt under way has failed (the library answered).
    static bool wait_failed() {
        return poll_until([] { return get_mqtt_force_redial() == 1 && get_mqtt_subscribel() == 0; }, 15000);
    }

    TestPki pki;
    TestRoot root;
    std::unique_ptr<Broker> broker;
    ConsoleCapture console;
};

TEST_F(MqttTls, SubscribesWithTheProvisionedCaByAddressAndByNameAcrossABrokerSwitch) {
    start_broker(pki.listener("server.pem"));
    provision("127.0.0.1", "ca.pem");
    redial();
    ASSERT_TRUE(poll_until([] { return get_mqqt_connected() == 1; }, 15000));
    const std::string port = std::to_string(broker->port());
    EXPECT_NE(console.text().find("service  : ssl://127.0.0.1:" + port), std::string::npos);
    EXPECT_NE(console.text().find("tls      : CA /iot/conf/mqtt_ca.pem\n"), std::string::npos);

    // A switch of broker changes host and port only: the next session is TLS
    // again, now checked against the name.
    ASSERT_EQ(set_domain_name("localhost"), 1);
    redial();
    ASSERT_TRUE(poll_until([] { return get_mqqt_connected() == 1; }, 15000));
    EXPECT_NE(console.text().find("#service--> ssl://localhost:" + port), std::string::npos);
    EXPECT_EQ(console.text().find("tcp://"), std::string::npos);
    EXPECT_EQ(console.text().find("BEGIN"), std::string::npos);
}

struct Untrusted {
    const char *name;
    const char *broker_cert;
    const char *box_ca;
    const char *host;
    const char *reason;
};

class MqttTlsRefused : public MqttTls, public ::testing::WithParamInterface<Untrusted> {};

TEST_P(MqttTlsRefused, WithTheReasonOncePerAttemptAndNeverInPlain) {
    const Untrusted &c = GetParam();
    start_broker(pki.listener(c.broker_cert));
    provision(c.host, c.box_ca);
    redial();
    // Three attempts at the supervisor's pace; each failure is told once, by
    // the pass that dials again.
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(wait_failed());
        check_mqqt_connected();
    }
    ASSERT_TRUE(wait_failed());
    const std::string out = console.text();
    EXPECT_EQ(count_of(out, " refused: " + std::string(c.reason) + " (library: "), 2u);
    EXPECT_EQ(count_of(out, " refused: "), 2u);
    EXPECT_EQ(count_of(out, "#service--> ssl://"), 3u);
    EXPECT_EQ(out.find("tcp://"), std::string::npos);
    EXPECT_EQ(get_mqqt_connected(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Broker, MqttTlsRefused,
    ::testing::Values(Untrusted{"UnknownCa", "server.pem", "ca2.pem", "127.0.0.1", "self-signed certificate in certificate chain"},
                      Untrusted{"NameMismatch", "server_other.pem", "ca.pem", "localhost", "hostname mismatch"},
                      Untrusted{"Expired", "server_expired.pem", "ca.pem", "127.0.0.1", "certificate has expired"}),
    [](const ::testing::TestParamInfo<Untrusted> &i) { return std::string(i.param.name); });

TEST_F(MqttTls, NoCaMeansNoConnectionAndABrokerAskingForACertificateTakesOnlyTheBoxWithIt) {
    start_broker(pki.listener("server.pem", true));
    provision("127.0.0.1", "");
    redial();
    EXPECT_TRUE(console.wait_text("CA file /iot/conf/mqtt_ca.pem cannot be read: no connection to the broker", 5000));
    // Never dialled: no client made, no broker address printed, no client on the broker.
    // (The broker's own "New connection" lines also count the fixture's readiness probe,
    // which a slow broker logs late.)
    EXPECT_EQ(get_mqtt_client_count(), 0);
    EXPECT_EQ(console.text().find("#service--> "), std::string::npos);
    EXPECT_EQ(broker->log().find("New client connected"), std::string::npos);

    // CA, no client certificate: the handshake is refused by the broker.
    root.write("/iot/conf/mqtt_ca.pem", read_file(pki.path("ca.pem")));
    redial();
    ASSERT_TRUE(wait_failed());
    check_mqqt_connected();
    EXPECT_TRUE(console.wait_text("certificate required (library: ", 10000));
    EXPECT_EQ(get_mqqt_connected(), 0);

    // Half an identity is a provisioning fault, not a session without one.
    root.write("/iot/conf/mqtt_client.crt", read_file(pki.path("client.pem")));
    redial();
    EXPECT_TRUE(console.wait_text("mutual TLS needs both", 5000));
    EXPECT_EQ(get_mqtt_client_count(), 0);

    root.write("/iot/conf/mqtt_client.key", read_file(pki.path("client.key")));
    redial();
    ASSERT_TRUE(poll_until([] { return get_mqqt_connected() == 1; }, 15000));
    EXPECT_NE(console.text().find("client certificate /iot/conf/mqtt_client.crt"), std::string::npos);
    EXPECT_EQ(console.text().find("PRIVATE KEY"), std::string::npos);
}

}  // namespace
