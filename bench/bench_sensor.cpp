// Motion sensing figures: one Kalman step, the sample stage of a pass (both
// filters, both windows, the threshold checks) and the two sysfs reads a pass
// makes, on a temporary root.  The motion thread's CPU over a minute is
// measured on a running box (docs/performance.md says how).
//
//   bench_sensor                          all figures
//   bench_sensor --benchmark_filter=x     Google Benchmark options as usual
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "core/iot_config.h"
#include "core/tavi_common.h"
#include "sensor/sensor_handle.h"

namespace {

void BM_KalmanStep(benchmark::State &state) {
    Kalman_t k = kalman_initial();
    float angle = 0.0f;
    int i = 0;
    for (auto _ : state) {
        angle = Kalman_getAngle(&k, static_cast<float>(i & 15) * 0.5f, 0.01f, 0.1f);
        benchmark::DoNotOptimize(angle);
        ++i;
    }
}
BENCHMARK(BM_KalmanStep);

void BM_SampleStage(benchmark::State &state) {
    iot_sensor_data_t acc{0.05f, -0.1f, 0.99f}, gyro{0.001f, -0.002f, 0.0f};
    int i = 0;
    for (auto _ : state) {
        acc.x = 0.05f + static_cast<float>(i & 7) * 0.001f;  // small wobble: nothing crosses a threshold
        benchmark::DoNotOptimize(sensor_handle_sample(&acc, &gyro));
        ++i;
    }
}
BENCHMARK(BM_SampleStage);

std::string g_root;

void BM_ReadsOfOnePass(benchmark::State &state) {
    if (g_root.empty()) {
        char t[] = "/tmp/bench-sensor-XXXXXX";
        if (mkdtemp(t) == nullptr) return;
        g_root = t;
        for (int n : {1, 2}) {
            const std::string d = g_root + "/sys/devices/virtual/input/input" + std::to_string(n);
            std::filesystem::create_directories(d);
            std::ofstream(d + "/name") << (n == 1 ? "icm42607_accel\n" : "icm42607_gyro\n");
            std::ofstream(d + (n == 1 ? "/acc_value" : "/gyro_value")) << "-123 456 16000\n";
            std::ofstream(d + (n == 1 ? "/acc_range" : "/gyro_range")) << "0\n";
        }
        std::filesystem::create_directories(g_root + "/sys/bus/i2c/drivers/bmi160");
        setenv("TELAGENT_ROOT", g_root.c_str(), 1);
        if (sensor_mdm_probe() != 1) {
            state.SkipWithError("probe failed");
            return;
        }
    }
    iot_sensor_data_t a{}, g{};
    for (auto _ : state) {
        benchmark::DoNotOptimize(fw_gsensor_get_info(&a));
        benchmark::DoNotOptimize(fw_gyroscope_get_info(&g));
    }
}
BENCHMARK(BM_ReadsOfOnePass);

// The gate every pass checks: factory mode, working mode (configuration
// store lookup) and test mode.
void BM_GateCheck(benchmark::State &state) {
    char t[] = "/tmp/bench-sensor-ini-XXXXXX";
    if (mkdtemp(t) == nullptr) return;
    const std::string dir = t;
    std::filesystem::create_directories(dir + "/iot/conf");
    std::ofstream(dir + "/iot/conf/iot.ini") << "[IotCfg]\nMqttHost=127.0.0.1\nMqttPort=1883\nWorkingMode=1\n"
                                                "ReportingInterval=10\nSensorLevel=1\nGPSInterval=10\n";
    const std::filesystem::path old = std::filesystem::current_path();
    std::filesystem::current_path(dir);
    if (init_iotconfig() != 1) state.SkipWithError("no settings");
    for (auto _ : state) {
        benchmark::DoNotOptimize(get_factory_mode() != 0 || (get_workingMode() != 1 && get_TestMode() != 1));
    }
    std::filesystem::current_path(old);
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
}
BENCHMARK(BM_GateCheck);

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (!g_root.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(g_root, ec);
    }
    return 0;
}
