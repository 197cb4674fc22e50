// MQTT session figures against a real mosquitto on loopback:
//   - the CPU cost of handing one message to the client (Google Benchmark);
//   - broker restart -> subscribed session, with the supervisor on its real
//     one-second pass and its real 2 s pause before a new connection;
//   - publish round trip to a second client (mosquitto_sub), median and p99;
//   - the agent's resident memory before and after broker bounces.
//
//   bench_mqtt                                   everything, default counts
//   bench_mqtt --restarts=10 --roundtrips=1000 --bounces=100
//   bench_mqtt --benchmark_filter=x              Google Benchmark options as usual
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "cloud/mqtt_handle.h"
#include "cloud/mqtt_test_env.h"
#include "core/iot_common.h"
#include "core/iot_config.h"
#include "core/tel_agent_main.h"
#include "lte/lte_handle.h"
#include "platform/plat_clock.h"

using namespace mqtt_test;

namespace {

const std::string kTopic = std::string("zt/ebike/devices/") + kImei + "/common/data/";

long rss_kib() {
    std::ifstream f("/proc/self/status");
    std::string line;
    while (std::getline(f, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return atol(line.c_str() + 6);
    }
    return -1;
}

int arg_int(int argc, char **argv, const char *name, int def) {
    const std::string key = std::string("--") + name + "=";
    for (int i = 1; i < argc; ++i) {
        if (strncmp(argv[i], key.c_str(), key.size()) == 0) return atoi(argv[i] + key.size());
    }
    return def;
}

bool wait_session(int timeout_ms) {
    return poll_until([] { return get_mqqt_connected() == 1; }, timeout_ms);
}

double percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    size_t i = static_cast<size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
    return v[std::min(i, v.size() - 1)];
}

void BM_PostWhileSubscribed(benchmark::State &state) {
    const std::string payload(static_cast<size_t>(state.range(0)), 'x');
    for (auto _ : state) {
        benchmark::DoNotOptimize(hostcore_mqtt_post(kTopic.c_str(), payload.data(), static_cast<int>(payload.size())));
    }
}
BENCHMARK(BM_PostWhileSubscribed)->Arg(64)->Arg(1024);

// A supervision thread as the box runs it: one pass, then the agent's one-second sleep.
class Supervisor {
public:
    explicit Supervisor(bool real_pace) : real_(real_pace) {
        thread_ = std::thread([this] {
            while (!stop_.load()) {
                lte_set_data_status(1);
                check_mqqt_connected();
                if (real_) {
                    plat_sleep_s(1);
                } else {
                    sleep_ms(20);
                }
            }
        });
    }
    ~Supervisor() {
        stop_.store(true);
        thread_.join();
    }

private:
    bool real_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace

int main(int argc, char **argv) {
    const int restarts = arg_int(argc, argv, "restarts", 10);
    const int roundtrips = arg_int(argc, argv, "roundtrips", 1000);
    const int bounces = arg_int(argc, argv, "bounces", 100);

    Broker broker;
    if (!broker.ok()) {
        fprintf(stderr, "bench_mqtt: %s\n", broker.error().c_str());
        return 1;
    }
    const std::string root = temp_dir("telagent-bench-mqtt");
    setenv("TELAGENT_ROOT", root.c_str(), 1);
    std::filesystem::create_directories(root + "/iot/conf");
    if (chdir(root.c_str()) != 0) return 1;
    std::ofstream(root + "/iot/conf/iot.ini")
        << "[IotCfg]\nMqttHost=127.0.0.1\nMqttPort=" << broker.port()
        << "\nMqttPing=60\nMqttUserName=ebikeiot\nMqttUserPass=hQ4rusLent\nWorkingMode=1\n";
    init_iotconfig();
    execute_command((std::string("set_imei_") + kImei).c_str());
    dev_hostcore_register(&dev_hostcore);
    init_mqtt();
    // The agent's console would dominate every figure: it goes to a file, the
    // figures go to stderr.
    fflush(stdout);
    const int console = open((root + "/console.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (console < 0 || dup2(console, STDOUT_FILENO) < 0) return 1;
    close(console);

    lte_set_data_status(1);
    set_mqtt_Reregister(1);
    check_mqqt_connected();
    if (!wait_session(10000)) {
        fprintf(stderr, "bench_mqtt: no session\n");
        return 1;
    }
    const long rss_start = rss_kib();

    benchmark::Initialize(&argc, argv);
    benchmark::ConsoleReporter reporter;
    reporter.SetOutputStream(&std::cerr);
    reporter.SetErrorStream(&std::cerr);
    benchmark::RunSpecifiedBenchmarks(&reporter);

    // ---- publish round trip ------------------------------------------------
    std::vector<double> rtt;
    {
        Subscriber sub(broker.port(), {kTopic});
        if (!sub.ready()) return 1;
        for (int i = 0; i < roundtrips; ++i) {
            const std::string p = "rtt-" + std::to_string(i);
            const int64_t t0 = now_us();
            if (hostcore_mqtt_post(kTopic.c_str(), p.c_str(), static_cast<int>(p.size())) != 1) continue;
            const std::string line = kTopic + "|1|0|" + hex_of(p);
            if (!sub.wait_line(line, 5000)) continue;
            rtt.push_back(static_cast<double>(sub.arrival(line) - t0) / 1000.0);
        }
    }

    // ---- broker restart -> subscribed, real supervisor pace ------------------
    std::vector<double> restart_ms;
    {
        Supervisor sup(true);
        for (int i = 0; i < restarts; ++i) {
            broker.stop();
            poll_until([] { return get_mqtt_subscribel() == 0; }, 10000);
            sleep_ms(3000);  // an outage of a few seconds: the supervisor is already redialling
            if (broker.start() != 0) break;
            const int64_t t0 = now_ms();
            if (!wait_session(30000)) break;
            restart_ms.push_back(static_cast<double>(now_ms() - t0));
        }
    }

    // ---- resident memory across bounces, supervisor at test pace -------------
    wait_session(30000);
    const long rss_before = rss_kib();
    int bounced = 0;
    std::vector<double> session_ms;  // broker back -> subscribed, supervisor without its sleeps
    int64_t bounce_t0 = now_ms();
    {
        plat_clock_fake(1710498030);  // the supervisor's sleeps return at once
        Supervisor sup(false);
        for (; bounced < bounces; ++bounced) {
            broker.stop();
            poll_until([] { return get_mqtt_subscribel() == 0; }, 10000);
            if (broker.start() != 0) break;
            const int64_t t0 = now_us();
            if (!wait_session(30000)) break;
            session_ms.push_back(static_cast<double>(now_us() - t0) / 1000.0);
        }
    }
    const int64_t bounce_ms = now_ms() - bounce_t0;
    const long rss_after = rss_kib();
    free_mqtt();
    const long rss_freed = rss_kib();

    fprintf(stderr, "\nMQTT session figures\n");
    fprintf(stderr, "publish round trip (%zu msgs): median %.2f ms, p99 %.2f ms, max %.2f ms\n", rtt.size(),
            percentile(rtt, 0.5), percentile(rtt, 0.99), percentile(rtt, 1.0));
    fprintf(stderr, "broker restart -> subscribed (%zu restarts, 1 s passes, 2 s pause): median %.0f ms, min %.0f, max %.0f\n",
            restart_ms.size(), percentile(restart_ms, 0.5), percentile(restart_ms, 0.0), percentile(restart_ms, 1.0));
    fprintf(stderr, "bounces: %d of %d in %lld ms (%.0f ms each)\n", bounced, bounces, static_cast<long long>(bounce_ms),
            bounced ? static_cast<double>(bounce_ms) / bounced : 0.0);
    fprintf(stderr, "broker back -> subscribed without the supervisor's sleeps (20 ms passes): median %.0f ms, p99 %.0f ms\n",
            percentile(session_ms, 0.5), percentile(session_ms, 0.99));
    fprintf(stderr, "VmRSS: at first session %ld KiB, before bounces %ld KiB, after %d bounces %ld KiB (%+ld), client freed %ld KiB\n",
            rss_start, rss_before, bounced, rss_after, rss_after - rss_before, rss_freed);
    std::error_code ec;
    std::filesystem::remove_all(root, ec);
    return 0;
}
