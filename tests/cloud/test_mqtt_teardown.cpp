// The asynchronous client's teardown rules, one regression per known way of
// getting it wrong: destroying with a connect in flight (ours, or the
// library's own reconnect), reconnects the library makes by itself, creating
// and destroying from several threads, a receive handler publishing while its
// client goes away, messages still queued at destroy, and a hundred broker
// bounces with every thread of the box running.  Leaks and races are left to
// the sanitizer builds (build/mqtt-asan, build/mqtt-tsan) that run these cases.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <condition_variable>
#include <cstdlib>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "cloud/mqtt_fixture.h"
#include "core/logging.h"

using namespace mqtt_test;

namespace {

const std::string kImeiS = kImei;

std::atomic<int> g_requests{0};
std::atomic<int> g_answers{0};

std::atomic<int> g_seen_connected{0};

// Answers every request in place, on the thread that runs the receive handler,
// after asking for the session state as a request task would.
int answering_handler(const char *, const char *, int) {
    g_requests.fetch_add(1);
    g_seen_connected.fetch_add(get_mqqt_connected());
    sleep_ms(5);
    // No global string here: the handler's thread may still run while the
    // test's globals are destroyed at exit.
    char resp[96];
    snprintf(resp, sizeof resp, "zt/ebike/devices/%s/cmd/response/1", kImei);
    if (dev_mqtt_post(resp, "ack", 3) == 1) g_answers.fetch_add(1);
    return 0;
}

// Runs fn; a hang (a deadlock between teardown and a callback) fails the case
// instead of stalling the suite.
template <class F>
void within(int seconds, F fn) {
    auto done = std::async(std::launch::async, fn);
    if (done.wait_for(std::chrono::seconds(seconds)) != std::future_status::ready) {
        fprintf(stderr, "still running after %d s: deadlock\n", seconds);
        _exit(3);
    }
    done.get();
}

// Sessions of the box the broker accepted (the library may fall back to 3.1: "p1").
size_t sessions_seen(const Broker &b) { return count_of(b.log(), "as " + kImeiS + " (p"); }

}  // namespace

TEST_F(MqttSession, TeardownLetsAnUnansweredConnectFinishFirst) {
    Relay relay(broker.port());
    ASSERT_TRUE(relay.ok());
    provision(relay.port());
    lte_set_data_status(1);
    for (int delay_ms : {0, 40, 300, 1200}) {
        relay.hold(true);
        const long sent = relay.upstream_bytes();
        set_mqtt_Reregister(1);
        check_mqqt_connected();
        ASSERT_EQ(get_mqtt_client_count(), 1);
        ASSERT_TRUE(poll_until([&] { return relay.upstream_bytes() > sent; }, 5000));  // CONNECT is out
        std::atomic<bool> released{false};
        std::thread release([&] {
            sleep_ms(delay_ms);
            released.store(true);
            relay.hold(false);
        });
        within(30, [] { free_mqtt(); });
        // The teardown could only end once the held CONNACK was let through.
        EXPECT_TRUE(released.load()) << "delay " << delay_ms;
        release.join();
        EXPECT_EQ(get_mqtt_client_count(), 0);
        EXPECT_EQ(get_mqtt_subscribel(), 0);
    }
    EXPECT_EQ(sessions_seen(broker), 4u);
    EXPECT_EQ(broker.log().find("already connected"), std::string::npos);

    // A connect that is never answered ends on the library's timeout first.
    relay.hold(true);
    const long sent = relay.upstream_bytes();
    set_mqtt_Reregister(1);
    check_mqqt_connected();
    ASSERT_TRUE(poll_until([&] { return relay.upstream_bytes() > sent; }, 5000));
    within(30, [] { free_mqtt(); });
    EXPECT_EQ(get_mqtt_client_count(), 0);
    relay.hold(false);

    // The box still gets a session afterwards.
    ASSERT_TRUE(bring_up()) << console.text();
}

TEST_F(MqttSession, TeardownDuringTheLibrarysOwnReconnectAttempt) {
    Relay relay(broker.port());
    ASSERT_TRUE(relay.ok());
    provision(relay.port());
    ASSERT_TRUE(bring_up());
    EXPECT_EQ(relay.accepted(), 1);

    relay.hold(true);
    relay.cut();  // the link dies; the library dials again by itself
    ASSERT_TRUE(wait_loss());
    ASSERT_TRUE(poll_until([&] { return relay.accepted() >= 2; }, 10000));
    within(30, [] { free_mqtt(); });
    EXPECT_EQ(get_mqtt_client_count(), 0);

    relay.hold(false);
    ASSERT_TRUE(bring_up()) << console.text();
    EXPECT_EQ(check_mqqt_connected(), 0);
}

TEST_F(MqttSession, AutomaticReconnectOnlyAsksTheSupervisorForANewSession) {
    mLogInit(LOG_DEBUG, LOG_TYPE_CONSOLE);
    Relay relay(broker.port());
    ASSERT_TRUE(relay.ok());
    provision(relay.port());
    ASSERT_TRUE(bring_up());
    ASSERT_EQ(count_of(broker.log(), "Received SUBSCRIBE from " + kImeiS), 4u);

    relay.cut();
    ASSERT_TRUE(wait_loss());
    // The library's own session comes up (clean, so without subscriptions) ...
    ASSERT_TRUE(console.wait_text("automatic reconnect, redial requested", 15000)) << console.text();
    EXPECT_EQ(sessions_seen(broker), 2u);
    EXPECT_EQ(get_mqtt_client_count(), 1);  // no callback created or destroyed a client
    // ... and is not used: nothing published on it, nothing subscribed by it.
    EXPECT_EQ(get_mqqt_connected(), 0);
    EXPECT_EQ(get_mqtt_force_redial(), 1);
    EXPECT_EQ(hostcore_mqtt_post((kDev + "/common/data/").c_str(), "x", 1), 0);
    EXPECT_EQ(count_of(broker.log(), "Received SUBSCRIBE from " + kImeiS), 4u);

    // The next pass replaces it with a subscribed session.
    check_mqqt_connected();
    ASSERT_TRUE(poll_until([] { return get_mqqt_connected() == 1; }, 10000));
    EXPECT_EQ(count_of(broker.log(), "Received SUBSCRIBE from " + kImeiS), 8u);
}

TEST_F(MqttSession, CreateDestroyAndQueriesFromSeveralThreads) {
    lte_set_data_status(1);
    std::atomic<bool> stop{false};
    std::atomic<int> max_clients{0};
    std::atomic<int> handed{0};
    within(120, [&] {
        std::thread creator([] {
            for (int i = 0; i < 25; ++i) connect_mqtt();
        });
        std::thread destroyer([] {
            for (int i = 0; i < 25; ++i) {
                free_mqtt();
                sleep_ms(3);
            }
        });
        std::thread asker([&] {
            const std::string topic = kDev + "/common/data/";
            while (!stop.load()) {
                max_clients.store(std::max(max_clients.load(), get_mqtt_client_count()));
                get_mqqt_connected();
                get_mqtt_status();
                handed.fetch_add(hostcore_mqtt_post(topic.c_str(), "q", 1));
            }
        });
        creator.join();
        destroyer.join();
        stop.store(true);
        asker.join();
    });
    EXPECT_LE(max_clients.load(), 1);
    free_mqtt();
    EXPECT_EQ(get_mqtt_client_count(), 0);
    EXPECT_GE(sessions_seen(broker), 1u);
}

// The library holds its own lock around the message callback, so a handler
// that waited there for the MQTT lock would deadlock against any holder of
// that lock calling into the library (a status query, a publish, a teardown).
// Inside a callback the client is pinned by the callback's live generation
// instead, and the MQTT lock is never taken.
TEST_F(MqttSession, HandlerAnsweringOnTheLibraryThreadNeverBlocksATeardown) {
    g_requests.store(0);
    g_answers.store(0);
    dev_mqtt_recv_register(answering_handler);
    ASSERT_TRUE(bring_up());
    const std::string dir = temp_dir("telagent-flood");
    const pid_t flood = spawn({find_program("mosquitto_pub"), "-h", "127.0.0.1", "-p", std::to_string(broker.port()),
                               "-u", kUser, "-P", kPass, "-q", "1", "-t", kDev + "/cmd/request/7", "-m", "req",
                               "--repeat", "1500", "--repeat-delay", "0.002"},
                              dir + "/out");
    ASSERT_GT(flood, 0);
    ASSERT_TRUE(poll_until([] { return g_requests.load() > 0; }, 10000));
    within(120, [] {
        for (int i = 0; i < 8; ++i) {
            free_mqtt();
            ASSERT_TRUE(bring_up());
            sleep_ms(50);
        }
    });
    stop_process(flood);
    EXPECT_GT(g_answers.load(), 0);
    EXPECT_GT(g_seen_connected.load(), 0);
    EXPECT_EQ(get_mqtt_client_count(), 1);
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
}

namespace {

// A receive handler stuck for up to 30 s (until released), as a handler
// waiting on a dead peer would be.
std::mutex g_stuck_mu;
std::condition_variable g_stuck_cv;
bool g_stuck_release = false;
std::atomic<int> g_stuck_in{0};

int stuck_handler(const char *, const char *, int) {
    g_stuck_in.fetch_add(1);
    std::unique_lock<std::mutex> lk(g_stuck_mu);
    g_stuck_cv.wait_for(lk, std::chrono::seconds(30), [] { return g_stuck_release; });
    g_stuck_in.fetch_sub(1);
    return 0;
}

void release_stuck() {
    {
        std::lock_guard<std::mutex> lk(g_stuck_mu);
        g_stuck_release = true;
    }
    g_stuck_cv.notify_all();
}

}  // namespace

TEST_F(MqttSession, BlockedReceiveHandlerStopsNeitherSupervisionNorPublishers) {
    Subscriber sub(broker.port(), {kDev + "/common/data/"});
    ASSERT_TRUE(sub.ready());
    dev_mqtt_recv_register(stuck_handler);
    ASSERT_TRUE(bring_up()) << console.text();
    const std::string dir = temp_dir("telagent-stuck");
    const pid_t req = spawn({find_program("mosquitto_pub"), "-h", "127.0.0.1", "-p", std::to_string(broker.port()),
                             "-u", kUser, "-P", kPass, "-q", "1", "-t", kDev + "/cmd/request/9", "-m", "req"},
                            dir + "/out");
    ASSERT_GT(req, 0);
    ASSERT_TRUE(poll_until([] { return g_stuck_in.load() == 1; }, 10000));

    // Another publisher goes on while the handler is stuck.
    const std::string topic = kDev + "/common/data/";
    EXPECT_EQ(dev_mqtt_post(topic.c_str(), "one", 3), 1);
    EXPECT_TRUE(sub.wait_line(topic + "|1|0|" + hex_of("one"), 5000)) << console.text();

    // Supervision passes, one of them a forced reconnect that has to tear the
    // client down, all return while the handler is still stuck; a publisher
    // and a status reader running meanwhile are never held up for it either.
    std::atomic<bool> passes_done{false};
    std::atomic<int> side_calls{0};
    std::thread supervision([&] {
        set_mqtt_Reregister(1);
        for (int i = 0; i < 5; ++i) check_mqqt_connected();
        passes_done = true;
    });
    std::thread side([&] {
        while (!passes_done.load()) {
            dev_mqtt_post(topic.c_str(), "two", 3);
            get_mqqt_connected();
            side_calls.fetch_add(1);
            sleep_ms(20);
        }
    });
    // Half the handler's 30 s: passes that waited for it would still be stuck.
    EXPECT_TRUE(poll_until([&] { return passes_done.load(); }, 15000)) << "supervision waited for the handler";
    EXPECT_EQ(g_stuck_in.load(), 1);  // still stuck: nothing above waited for it
    EXPECT_GT(side_calls.load(), 0);

    // Released, the old client is freed and the new session comes up.
    release_stuck();
    supervision.join();
    side.join();
    EXPECT_TRUE(poll_until([] { return get_mqtt_client_count() <= 1; }, 15000));
    EXPECT_TRUE(poll_until([] {
        check_mqqt_connected();
        return get_mqqt_connected() == 1;
    }, 20000)) << console.text();
    EXPECT_EQ(dev_mqtt_post(topic.c_str(), "three", 5), 1);
    EXPECT_TRUE(sub.wait_line(topic + "|1|0|" + hex_of("three"), 5000));
    EXPECT_EQ(wait_exit(req, 5000), 0);
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
}

TEST_F(MqttSession, MessagesStillQueuedAtTeardownGoWithTheClient) {
    Relay relay(broker.port());
    ASSERT_TRUE(relay.ok());
    provision(relay.port());
    Subscriber sub(broker.port(), {kDev + "/common/data/"});
    ASSERT_TRUE(sub.ready());
    ASSERT_TRUE(bring_up());

    relay.hold(true);  // no PUBACK reaches the box: every message stays queued
    const std::string topic = kDev + "/common/data/";
    for (int i = 0; i < 200; ++i) {
        const std::string p = "m" + std::to_string(i);
        ASSERT_EQ(hostcore_mqtt_post(topic.c_str(), p.c_str(), static_cast<int>(p.size())), 1);
    }
    ASSERT_TRUE(sub.wait_line(topic + "|1|0|" + hex_of("m199"), 10000));
    within(30, [] { free_mqtt(); });
    EXPECT_EQ(get_mqtt_client_count(), 0);
    EXPECT_EQ(hostcore_mqtt_post(topic.c_str(), "after", 5), 0);
    relay.hold(false);
}

TEST_F(MqttSession, MessagesInFlightWhenTheLinkDiesGoWithTheClient) {
    Relay relay(broker.port());
    ASSERT_TRUE(relay.ok());
    provision(relay.port());
    ASSERT_TRUE(bring_up());
    relay.hold(true);  // unacknowledged when the link dies
    const std::string topic = kDev + "/common/data/";
    for (int i = 0; i < 50; ++i) ASSERT_EQ(hostcore_mqtt_post(topic.c_str(), "inflight", 8), 1);
    sleep_ms(100);
    relay.cut();
    ASSERT_TRUE(wait_loss());
    relay.hold(false);
    within(30, [] { free_mqtt(); });
    EXPECT_EQ(get_mqtt_client_count(), 0);
    ASSERT_TRUE(bring_up());
}

// Publishing right up to each loss of the link.  The library (paho 1.3.11)
// loses track of a QoS 1 message handed to it at the very instant its
// connection drops and does not free it when the client is destroyed (about
// 150 bytes each; a clean reconnect of the same client would free it).  Our
// side keeps one client and frees everything it owns, which the plain and
// ThreadSanitizer builds check here; the leak checker would only report the
// library's loss, so that build skips the case.
TEST_F(MqttSession, PublishingRightUpToEachLinkLoss) {
#if defined(TELAGENT_ASAN)
    GTEST_SKIP() << "the library leaks a message caught at the instant of a loss; see docs/architecture.md";
#endif
    Relay relay(broker.port());
    ASSERT_TRUE(relay.ok());
    provision(relay.port());
    std::atomic<bool> stop{false};
    std::atomic<long> handed{0};
    std::thread publisher([&] {
        const std::string topic = kDev + "/common/data/";
        while (!stop.load()) {
            handed.fetch_add(hostcore_mqtt_post(topic.c_str(), "telemetry", 9));
            sleep_ms(1);
        }
    });
    for (int i = 0; i < 20; ++i) {
        ASSERT_TRUE(bring_up()) << "cut " << i;
        sleep_ms(30);
        relay.cut();
        ASSERT_TRUE(wait_loss()) << "cut " << i;
        EXPECT_EQ(get_mqtt_client_count(), 1);
    }
    stop.store(true);
    publisher.join();
    EXPECT_GT(handed.load(), 0);
    free_mqtt();
    EXPECT_EQ(get_mqtt_client_count(), 0);
}

// The broker bounced while the supervisor, a publisher, a status reader and
// the LTE side run as on the box.  MQTT_BOUNCES overrides the count.
TEST_F(MqttSession, HundredBrokerBouncesWithEveryThreadRunning) {
    const char *env = getenv("MQTT_BOUNCES");
    const int bounces = env && atoi(env) > 0 ? atoi(env) : 100;
    std::atomic<bool> stop{false};
    std::atomic<int> max_clients{0};
    std::atomic<long> handed{0};
    lte_set_data_status(1);

    std::thread supervisor([&] {
        while (!stop.load()) {
            lte_set_data_status(1);  // the LTE side brings data back after each release
            check_mqqt_connected();
            max_clients.store(std::max(max_clients.load(), get_mqtt_client_count()));
            sleep_ms(20);
        }
    });
    // The publisher holds still for the instant the broker goes down (see
    // PublishingRightUpToEachLinkLoss for why); everything else runs on.
    std::mutex quiet;
    std::thread publisher([&] {
        const std::string topic = kDev + "/common/data/";
        while (!stop.load()) {
            {
                std::lock_guard<std::mutex> lk(quiet);
                handed.fetch_add(hostcore_mqtt_post(topic.c_str(), "telemetry", 9));
            }
            sleep_ms(2);
        }
    });
    std::thread reader([&] {
        while (!stop.load()) {
            get_mqqt_connected();
            get_mqtt_status();
            sleep_ms(1);
        }
    });

    int bounced = 0;
    within(600, [&] {
        ASSERT_TRUE(poll_until([] { return get_mqqt_connected() == 1; }, 30000)) << console.text();
        for (; bounced < bounces; ++bounced) {
            {
                std::lock_guard<std::mutex> lk(quiet);
                sleep_ms(20);  // what was handed over is on the wire
                broker.stop();
                ASSERT_TRUE(poll_until([] { return get_mqtt_subscribel() == 0; }, 10000)) << "bounce " << bounced;
            }
            ASSERT_EQ(broker.start(), 0) << "bounce " << bounced;
            ASSERT_TRUE(poll_until([] { return get_mqqt_connected() == 1; }, 30000)) << "bounce " << bounced;
        }
    });
    stop.store(true);
    supervisor.join();
    publisher.join();
    reader.join();

    EXPECT_EQ(bounced, bounces);
    EXPECT_LE(max_clients.load(), 1);
    EXPECT_GE(sessions_seen(broker), static_cast<size_t>(bounces) + 1);  // one session per broker run
    EXPECT_GT(handed.load(), 0);
    free_mqtt();
    EXPECT_EQ(get_mqtt_client_count(), 0);
}
