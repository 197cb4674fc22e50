// The report schedule against a real mosquitto on loopback, one-second ticks
// stepped by hand: the interval rules, the mode gates, an outage across a due
// report, the alarm byte that must ride on exactly one frame, and the shared
// uplink buffers with a second writer.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "cloud/mqtt_fixture.h"
#include "cloud/report_handle.h"
#include "cloud/uplink_buffer.h"
#include "cloud/uplink_frame.h"
#include "core/tavi_common.h"
#include "platform/plat_clock.h"
#include "sensor/sensor_handle.h"

using namespace mqtt_test;

namespace {

const std::string kData = kDev + "/common/data/";

// "topic|qos|retain|hex of payload" -> the payload text.
std::string payload_of(const std::string &line) {
    const size_t bar = line.rfind('|');
    std::string out;
    for (size_t i = bar + 1; i + 1 < line.size(); i += 2) out.push_back(static_cast<char>(std::stoi(line.substr(i, 2), nullptr, 16)));
    return out;
}

std::vector<std::string> frames(const Subscriber &sub, const std::string &topic = kData) {
    std::vector<std::string> out;
    for (const auto &l : sub.lines()) {
        if (l.rfind(topic + "|1|0|", 0) == 0) out.push_back(payload_of(l));
    }
    return out;
}

int byte_at(const std::string &text, size_t off) { return std::stoi(text.substr(2 * off, 2), nullptr, 16); }

void ticks(int n) {
    for (int i = 0; i < n; ++i) report_tick();
}

class Report : public MqttSession {
protected:
    void provision_interval(int seconds, int mode = 1) {
        root.write("/iot/conf/iot.ini", ini(broker.port(), kPass, mode) + "ReportingInterval=" + std::to_string(seconds) + "\n");
        ASSERT_EQ(init_iotconfig(), 1);
    }
    // No frame arrives for a moment (the broker is on loopback: 300 ms is ages).
    static bool stays(const Subscriber &sub, size_t n) {
        sleep_ms(300);
        return frames(sub).size() == n;
    }
};

}  // namespace

TEST_F(Report, FramesGoOutEveryIntervalTicksOnTheDataTopicAndTheCountStartsOverEachTime) {
    provision_interval(30);
    root.mkdirs("/sys/bus/platform/drivers/ledctrl");
    Subscriber sub(broker.port(), {"zt/ebike/devices/#"});
    ASSERT_TRUE(sub.ready());
    ASSERT_TRUE(bring_up()) << console.text();

    ticks(29);
    EXPECT_EQ(get_mqtt_report_cnt(), 29);
    EXPECT_TRUE(stays(sub, 0));
    ticks(1);
    ASSERT_TRUE(poll_until([&] { return frames(sub).size() == 1; }, 5000)) << console.text();
    EXPECT_EQ(get_mqtt_report_cnt(), 0);
    const std::string f = frames(sub)[0];
    ASSERT_EQ(f.size(), 216u);
    EXPECT_EQ(f.substr(0, 20), "0102021CFFFFFFFF6200");
    EXPECT_EQ(f.find_first_not_of("0123456789ABCDEF"), std::string::npos);
    EXPECT_EQ(byte_at(f, 106), 30);
    EXPECT_EQ(root.read("/sys/bus/platform/drivers/ledctrl/net_led"), "1");
    EXPECT_NE(console.text().find("\r\n mqtt_report_interval = 30 \r\n"), std::string::npos);
    EXPECT_NE(console.text().find(" : pub topic:" + kData + "\n"), std::string::npos);

    ticks(29);
    EXPECT_TRUE(stays(sub, 1));
    ticks(1);
    EXPECT_TRUE(poll_until([&] { return frames(sub).size() == 2; }, 5000));
}

TEST_F(Report, IntervalBelowTenIsStoredAsTenAtStartButALaterSmallValueIsUsedAsIs) {
    provision_interval(5);
    EXPECT_EQ(report_interval_at_start(), 10);
    EXPECT_EQ(get_mqtt_report_interval(), 10);
    ASSERT_EQ(init_iotconfig(), 1);  // written back, not only remembered
    EXPECT_EQ(get_mqtt_report_interval(), 10);

    Subscriber sub(broker.port(), {"zt/ebike/devices/#"});
    ASSERT_TRUE(sub.ready());
    ASSERT_TRUE(bring_up()) << console.text();
    ticks(9);
    EXPECT_TRUE(stays(sub, 0));
    ticks(1);
    ASSERT_TRUE(poll_until([&] { return frames(sub).size() == 1; }, 5000));

    // The cloud sets 5: used as 5 from the next tick on.
    ASSERT_EQ(set_mqtt_report_interval(5), 1);
    ticks(4);
    EXPECT_TRUE(stays(sub, 1));
    ticks(1);
    ASSERT_TRUE(poll_until([&] { return frames(sub).size() == 2; }, 5000));
    EXPECT_EQ(byte_at(frames(sub)[1], 106), 5);

    // A stored 12 stays 12.
    provision_interval(12);
    EXPECT_EQ(report_interval_at_start(), 12);
}

TEST_F(Report, FactoryModeAndWorkingModesOtherThanOneStandStillUnlessTestModeIsOn) {
    provision_interval(10);
    Subscriber sub(broker.port(), {"zt/ebike/devices/#"});
    ASSERT_TRUE(sub.ready());
    ASSERT_TRUE(bring_up()) << console.text();

    set_factory_mode(1);
    ticks(50);
    EXPECT_EQ(get_mqtt_report_cnt(), 0);
    set_factory_mode(0);

    ASSERT_EQ(set_workingMode(0), 1);
    set_TestMode(0);
    ticks(50);
    EXPECT_EQ(get_mqtt_report_cnt(), 0);
    ASSERT_EQ(set_workingMode(10), 1);
    ticks(50);
    EXPECT_EQ(get_mqtt_report_cnt(), 0);
    EXPECT_TRUE(stays(sub, 0));

    // Test mode reports in any working mode.
    set_TestMode(1);
    ticks(10);
    EXPECT_TRUE(poll_until([&] { return frames(sub).size() == 1; }, 5000));
    set_TestMode(0);
    ASSERT_EQ(set_workingMode(1), 1);
    ticks(10);
    EXPECT_TRUE(poll_until([&] { return frames(sub).size() == 2; }, 5000));
}

TEST_F(Report, OfflineAtTheDueTickSkipsThatReportAndNoBurstFollowsTheOutage) {
    provision_interval(10);
    Subscriber sub(broker.port(), {"zt/ebike/devices/#"});
    ASSERT_TRUE(sub.ready());
    ASSERT_TRUE(bring_up()) << console.text();
    ticks(10);
    ASSERT_TRUE(poll_until([&] { return frames(sub).size() == 1; }, 5000));

    broker.stop();
    ASSERT_TRUE(wait_loss());
    // Two due reports pass during the outage.
    ticks(20);
    EXPECT_EQ(get_mqtt_report_cnt(), 0);
    EXPECT_NE(console.text().find("MQTT_Connected_Failed \r"), std::string::npos);
    ASSERT_EQ(broker.start(), 0);
    Subscriber sub2(broker.port(), {"zt/ebike/devices/#"});
    ASSERT_TRUE(sub2.ready());
    ASSERT_TRUE(bring_up()) << console.text();

    // Nothing was queued: the next frame waits for its own due tick.
    ticks(9);
    EXPECT_TRUE(stays(sub2, 0));
    ticks(1);
    ASSERT_TRUE(poll_until([&] { return frames(sub2).size() == 1; }, 5000));
    sleep_ms(300);
    EXPECT_EQ(frames(sub2).size(), 1u);
}

TEST_F(Report, AlarmBitsStayRaisedUntilAFrameCarryingThemIsHandedToTheClient) {
    provision_interval(10);
    Subscriber sub(broker.port(), {"zt/ebike/devices/#"});
    ASSERT_TRUE(sub.ready());

    // Not subscribed yet: the frame is dropped, the alarm stays.
    set_alarm_info_t(TLM_ALARM_MOVED_LOCKED);
    EXPECT_EQ(post_iot_common_data_message(), 0);
    EXPECT_EQ(get_alarm_info_t(), TLM_ALARM_MOVED_LOCKED);

    ASSERT_TRUE(bring_up()) << console.text();
    // IMEI unknown: nothing published, the alarm stays.
    setimei(0);
    EXPECT_EQ(post_iot_common_data_message(), 0);
    EXPECT_NE(console.text().find("IMEI get failed \r"), std::string::npos);
    EXPECT_EQ(get_alarm_info_t(), TLM_ALARM_MOVED_LOCKED);
    execute_command((std::string("set_imei_") + kImei).c_str());

    // A tilt raised meanwhile joins it; one frame carries both, the next none.
    set_alarm_info_t(TLM_ALARM_TILT);
    EXPECT_EQ(post_iot_common_data_message(), 1);
    EXPECT_EQ(get_alarm_info_t(), 0);
    EXPECT_EQ(post_iot_common_data_message(), 1);
    ASSERT_TRUE(poll_until([&] { return frames(sub).size() == 2; }, 5000));
    EXPECT_EQ(byte_at(frames(sub)[0], 59), 3);
    EXPECT_EQ(byte_at(frames(sub)[1], 59), 0);
}

TEST_F(Report, EveryAlarmRaisedWhileFramesAreBuiltRidesOnExactlyOneFrame) {
    provision_interval(10);
    Subscriber sub(broker.port(), {"zt/ebike/devices/#"});
    ASSERT_TRUE(sub.ready());
    ASSERT_TRUE(bring_up()) << console.text();

    // The raiser waits until two more frames went out after each raise, so
    // every raise is taken by some frame before the next one; a raise landing
    // between a separate read and clear would be lost.
    constexpr int kRaises = 60;
    std::atomic<bool> done{false};
    std::thread raiser([&] {
        std::mt19937 rng(7);
        for (int i = 0; i < kRaises; ++i) {
            sleep_ms(static_cast<int>(rng() % 3));
            const int sent = get_mqtt_report_sent();
            set_alarm_info_t(TLM_ALARM_MOVED_LOCKED);
            poll_until([&] { return get_mqtt_report_sent() >= sent + 2; }, 10000);
        }
        done = true;
    });
    int posts = 0;
    while (!done.load()) {
        EXPECT_EQ(post_iot_common_data_message(), 1);
        ++posts;
    }
    raiser.join();
    ASSERT_TRUE(poll_until([&] { return static_cast<int>(frames(sub).size()) == posts; }, 20000))
        << frames(sub).size() << " of " << posts;
    int carrying = 0;
    for (const auto &f : frames(sub)) carrying += (byte_at(f, 59) & TLM_ALARM_MOVED_LOCKED) ? 1 : 0;
    EXPECT_EQ(carrying, kRaises);
    EXPECT_EQ(get_alarm_info_t(), 0);
}

TEST_F(Report, AResponseWriterSharingTheUplinkBuffersNeverMixesItsBytesIntoAReport) {
    provision_interval(10);
    Subscriber sub(broker.port(), {"zt/ebike/devices/#"});
    ASSERT_TRUE(sub.ready());
    ASSERT_TRUE(bring_up()) << console.text();

    const std::string resp = kDev + "/cmd/response/1";
    std::atomic<bool> stop{false};
    std::atomic<int> responses{0};
    std::thread writer([&] {
        // Bounded, so the subscriber on a loaded machine keeps up.
        while (!stop.load() && responses.load() < 200) {
            {
                UplinkBuffers ub;
                uint8_t *f = ub.frame();
                const uint8_t id[4] = {0x11, 0x22, 0x33, 0x44};
                uplink_put_header(f, id);
                for (int i = 8; i < 300; ++i) f[i] = 0x5A;
                if (ub.publish(resp.c_str(), 300) == 1) responses.fetch_add(1);
            }
            std::this_thread::yield();
        }
    });
    int reports = 0;
    for (int i = 0; i < 40; ++i) reports += post_iot_common_data_message();
    stop = true;
    writer.join();
    ASSERT_TRUE(poll_until([&] { return static_cast<int>(frames(sub).size()) == reports; }, 20000));
    ASSERT_TRUE(poll_until([&] { return static_cast<int>(frames(sub, resp).size()) == responses.load(); }, 20000));
    EXPECT_EQ(reports, 40);
    EXPECT_GT(responses.load(), 0);
    for (const auto &f : frames(sub)) {
        ASSERT_EQ(f.size(), 216u);
        EXPECT_EQ(f.find("5A5A"), std::string::npos) << f;
        EXPECT_EQ(f.substr(0, 20), "0102021CFFFFFFFF6200");
    }
    std::string body;
    for (int i = 0; i < 292; ++i) body += "5A";
    for (const auto &f : frames(sub, resp)) EXPECT_EQ(f, "0102021C11223344" + body);
    EXPECT_GE(uplink_buffers_taken(), reports + responses.load());
}

// ---- the thread itself, on the frozen clock -------------------------------

namespace {

// Agent-clock seconds at which frames were handed to the client.  Never
// destroyed: the report thread outlives the test body and may still post
// while the process's exit runs the destructors.
std::mutex &g_post_mu = *new std::mutex;
std::vector<time_t> &g_post_at = *new std::vector<time_t>;

int timed_post(const char *topic, const char *text, int len) {
    {
        std::lock_guard<std::mutex> lk(g_post_mu);
        g_post_at.push_back(plat_now());
    }
    return hostcore_mqtt_post(topic, text, len);
}

std::vector<time_t> posts() {
    std::lock_guard<std::mutex> lk(g_post_mu);
    return g_post_at;
}

}  // namespace

TEST(ReportThread, FirstFrameComesFifteenSecondsAndIntervalTicksAfterTheStartThenEveryInterval) {
    Broker broker;
    ASSERT_TRUE(broker.ok()) << broker.error();
    TestRoot root;
    ConsoleCapture console;
    // gtest's failure lines go to the captured stdout too: show them.
    struct Dump {
        const ConsoleCapture &c;
        ~Dump() {
            if (::testing::Test::HasFailure()) {
                const std::string out = c.text();
                fprintf(stderr, "%s\n", out.substr(out.size() > 8000 ? out.size() - 8000 : 0).c_str());
            }
        }
    } dump{console};
    plat_clock_fake(kT);
    // ReportingInterval 5 is raised to 10 at the start.
    root.write("/iot/conf/iot.ini", ini(broker.port(), kPass, 1) + "ReportingInterval=5\n");
    ASSERT_EQ(init_iotconfig(), 1);
    execute_command((std::string("set_imei_") + kImei).c_str());
    static dev_hostcore_t table = dev_hostcore;
    table.mqtt_post = timed_post;
    ASSERT_EQ(dev_hostcore_register(&table), 1);
    init_mqtt();
    lte_set_data_status(1);
    set_mqtt_Reregister(1);
    check_mqqt_connected();
    ASSERT_TRUE(poll_until([] { return get_mqqt_connected() == 1; }, 10000)) << console.text();

    const time_t t0 = plat_now();
    std::thread(px510s_handle_loop, nullptr).detach();
    ASSERT_TRUE(poll_until([] { return posts().size() >= 3; }, 20000)) << console.text();
    set_factory_mode(1);  // the thread idles from here on
    const std::vector<time_t> at = posts();
    // Tick n runs after 15 s and n-1 one-second sleeps: the 10th at 24 s.  The
    // schedule counts ticks, so the due tick's own work adds to the period;
    // here that is the modem library's retry waits (no modem in this process),
    // the same in every due tick.
    const time_t work = at[0] - t0 - (15 + 9);
    EXPECT_GE(work, 0);
    EXPECT_LE(work, 5);
    EXPECT_EQ(at[1] - at[0], 10 + work);
    EXPECT_EQ(at[2] - at[1], 10 + work);
    EXPECT_EQ(get_mqtt_report_interval(), 10);
    free_mqtt();
}
