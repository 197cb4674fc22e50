// Configuration store figures: how long a getter takes while a setter
// rewrites the settings file in a loop (temp file, fsync, rename, reload).
// Reads are paced (one every 200 us, as the box's threads read settings now
// and then rather than back to back), so the figures show how often a reader
// meets a writer.  Prints p50 / p99 / max of the getter.
//
//   bench_config                 10000 reads against a writer looping
//   bench_config --reads=N       another count
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "core/iot_config.h"

int main(int argc, char **argv) {
    long reads = 10000;
    for (int i = 1; i < argc; ++i) {
        if (strncmp(argv[i], "--reads=", 8) == 0) reads = atol(argv[i] + 8);
    }
    char tmpl[] = "/tmp/telagent-cfgbench-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) return 1;
    const std::string root = tmpl;
    std::filesystem::create_directories(root + "/iot/conf");
    {
        std::ofstream f(root + "/iot/conf/iot.ini");
        f << "[IotCfg]\nMqttHost=broker.example\nMqttPort=1883\nMqttPing=300\nMqttUserName=u\n"
             "MqttUserPass=p\nWorkingMode=1\nReportingInterval=30\nGPSInterval=10\n";
    }
    // The settings path is relative to the working directory, as on the box.
    if (chdir(root.c_str()) != 0) return 1;
    setenv("TELAGENT_ROOT", root.c_str(), 1);
    if (init_iotconfig() != 1) return 1;

    std::atomic<bool> stop{false};
    std::atomic<long> writes{0};
    std::thread writer([&] {
        for (int i = 0; !stop.load(); ++i) {
            set_gps_interval(10 + (i & 7));
            ++writes;
        }
    });
    std::vector<double> us;
    us.reserve(static_cast<size_t>(reads));
    long sink = 0;
    for (long i = 0; i < reads; ++i) {
        auto t0 = std::chrono::steady_clock::now();
        sink += get_mqtt_report_interval();
        auto t1 = std::chrono::steady_clock::now();
        us.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    stop = true;
    writer.join();
    std::sort(us.begin(), us.end());
    auto pct = [&](double p) { return us[static_cast<size_t>(p * static_cast<double>(us.size() - 1))]; };
    printf("getter while a setter loops: %ld reads, %ld writes, p50 %.2f us, p99 %.2f us, p99.9 %.2f us, max %.0f us (%ld)\n",
           reads, writes.load(), pct(0.50), pct(0.99), pct(0.999), us.back(), sink % 2);
    std::filesystem::remove_all(root);
    return 0;
}
