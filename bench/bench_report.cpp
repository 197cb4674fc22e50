// Telemetry report figures:
//   - packing one telemetry frame and encoding it as hex text (Google Benchmark);
//   - a frame through the shared uplink buffers with no client (lock, clear,
//     encode, console line);
//   - publish-to-subscriber latency on loopback: the report path's publish of
//     a telemetry frame until the operator's tool client has it, median and
//     p99 over --frames (1000) frames sent one after another.
//
//   bench_report [--frames=1000] [benchmark flags]
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "cloud/mqtt_handle.h"
#include "cloud/mqtt_test_env.h"
#include "cloud/uplink_buffer.h"
#include "cloud/uplink_frame.h"
#include "cloud_mqtt.h"
#include "core/iot_common.h"
#include "core/iot_config.h"
#include "core/tel_agent_main.h"
#include "lte/lte_handle.h"
#include "telemetry_json.h"

using namespace mqtt_test;

namespace {

telemetry_t sample() {
    telemetry_t t;
    telemetry_defaults(&t);
    t.latitude_e6 = 31208900;
    t.longitude_e6 = 121500567;
    t.altitude_m = 12;
    t.BikeSpeed = 25;
    t.soc[0] = 80;
    t.report_interval = 10;
    return t;
}

void BM_PackAndHex(benchmark::State &state) {
    const telemetry_t t = sample();
    uint8_t frame[kTelemetryLen];
    char text[kTelemetryHexLen];
    for (auto _ : state) {
        telemetry_pack(t, frame);
        benchmark::DoNotOptimize(at_hex_to_chars(frame, kTelemetryLen, text, sizeof text));
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_PackAndHex);

void BM_UplinkBuffersNoClient(benchmark::State &state) {
    const telemetry_t t = sample();
    for (auto _ : state) {
        UplinkBuffers ub;
        telemetry_pack(t, ub.frame());
        benchmark::DoNotOptimize(ub.publish("zt/ebike/devices/x/common/data/", kTelemetryLen));
    }
}
BENCHMARK(BM_UplinkBuffersNoClient);

int arg_int(int argc, char **argv, const char *name, int def) {
    const std::string key = std::string("--") + name + "=";
    for (int i = 1; i < argc; ++i) {
        if (strncmp(argv[i], key.c_str(), key.size()) == 0) return atoi(argv[i] + key.size());
    }
    return def;
}

double pct(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
}

}  // namespace

int main(int argc, char **argv) {
    const int frames = arg_int(argc, argv, "frames", 1000);
    Broker broker;
    if (!broker.ok()) {
        fprintf(stderr, "bench_report: %s\n", broker.error().c_str());
        return 1;
    }
    const std::string root = temp_dir("telagent-bench-report");
    setenv("TELAGENT_ROOT", root.c_str(), 1);
    std::filesystem::create_directories(root + "/iot/conf");
    if (chdir(root.c_str()) != 0) return 1;
    std::ofstream(root + "/iot/conf/iot.ini") << "[IotCfg]\nMqttHost=127.0.0.1\nMqttPort=" << broker.port()
                                              << "\nMqttPing=60\nMqttUserName=ebikeiot\nMqttUserPass=hQ4rusLent\n"
                                                 "WorkingMode=1\nReportingInterval=1\n";
    init_iotconfig();
    // The console would dominate: it goes to /dev/null, the figures to stderr.
    fflush(stdout);
    const int devnull = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (devnull < 0 || dup2(devnull, STDOUT_FILENO) < 0) return 1;
    close(devnull);

    benchmark::Initialize(&argc, argv);
    benchmark::ConsoleReporter reporter;
    reporter.SetOutputStream(&std::cerr);
    reporter.SetErrorStream(&std::cerr);
    benchmark::RunSpecifiedBenchmarks(&reporter);

    execute_command((std::string("set_imei_") + kImei).c_str());
    dev_hostcore_register(&dev_hostcore);
    init_mqtt();
    lte_set_data_status(1);
    set_mqtt_Reregister(1);
    check_mqqt_connected();
    if (!poll_until([] { return get_mqqt_connected() == 1; }, 10000)) {
        fprintf(stderr, "bench_report: no session\n");
        return 1;
    }
    const std::string topic = std::string("zt/ebike/devices/") + kImei + "/common/data/";
    CloudClient tool;
    BrokerOptions bo;
    bo.port = broker.port();
    bo.user = kUser;
    bo.pass = kPass;
    if (tool.connect(bo, {topic}, 10000) != 0) {
        fprintf(stderr, "bench_report: %s\n", tool.error().c_str());
        return 1;
    }
    std::vector<double> lat;
    telemetry_t t = sample();
    for (int i = 0; i < frames; ++i) {
        t.odo = static_cast<uint32_t>(i);  // tells the frames apart
        const int64_t t0 = cloud_now_us();
        {
            UplinkBuffers ub;
            telemetry_pack(t, ub.frame());
            if (ub.publish(topic.c_str(), kTelemetryLen) != 1) continue;
        }
        CloudMessage m;
        telemetry_t r;
        std::string why;
        while (tool.next(&m, 5000)) {
            if (decode_telemetry_text(m.payload.data(), m.payload.size(), &r, &why) == 1 && r.odo == t.odo) {
                lat.push_back(static_cast<double>(m.arrived_us - t0) / 1000.0);
                break;
            }
        }
    }
    fprintf(stderr, "publish to subscriber (%zu of %d frames): median %.3f ms, p99 %.3f ms, max %.3f ms\n",
            lat.size(), frames, pct(lat, 0.5), pct(lat, 0.99), pct(lat, 1.0));
    free_mqtt();
    std::error_code ec;
    std::filesystem::remove_all(root, ec);
    return 0;
}
