// Motion sensor node texts (value, setting and temperature nodes) as the
// driver might garble them, parsed directly and read through the sensor
// files.  Besides "no crash": whatever parses is in range and reads back the
// same when printed again.
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "sensor/sensor_handle.h"

namespace {

std::string g_root;

void remove_root() {
    std::error_code ec;
    std::filesystem::remove_all(g_root, ec);
}

void put(const std::string &device_path, const std::string &text) {
    std::ofstream f(g_root + device_path, std::ios::binary | std::ios::trunc);
    f << text;
}

void setup_root() {
    const char *tmp = std::getenv("TMPDIR");
    std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/telagent-fuzz-sensor-XXXXXX";
    if (mkdtemp(tmpl.data()) == nullptr) std::abort();
    g_root = tmpl;
    std::atexit(remove_root);
    setenv("TELAGENT_ROOT", g_root.c_str(), 1);
    if (chdir(g_root.c_str()) != 0) std::abort();
    for (int n : {1, 2}) std::filesystem::create_directories(g_root + "/sys/devices/virtual/input/input" + std::to_string(n));
    std::filesystem::create_directories(g_root + "/sys/bus/i2c/drivers/bmi160");
    put("/sys/devices/virtual/input/input1/name", "icm42607_accel\n");
    put("/sys/devices/virtual/input/input2/name", "icm42607_gyro\n");
    if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
    if (sensor_mdm_probe() != 1) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static bool ready = (setup_root(), true);
    (void)ready;
    const std::string text(reinterpret_cast<const char *>(data), size);
    const std::string cstr(text.c_str());  // what a C parser sees up to the first NUL

    int c[3];
    if (sensor_parse_counts(cstr.c_str(), c) == 1) {
        char again[64];
        snprintf(again, sizeof again, "%d %d %d", c[0], c[1], c[2]);
        int d[3];
        if (sensor_parse_counts(again, d) != 1 || d[0] != c[0] || d[1] != c[1] || d[2] != c[2]) std::abort();
    }
    int v = 0;
    if (sensor_parse_int(cstr.c_str(), &v) == 1) {
        char again[24];
        snprintf(again, sizeof again, "%d", v);
        int w = 0;
        if (sensor_parse_int(again, &w) != 1 || w != v) std::abort();
    }
    float t = 0;
    if (sensor_parse_temp(cstr.c_str(), &t) == 1 && !(t >= 23.0f - 64.0f && t <= 23.0f + 64.0f)) std::abort();

    // Through the files, with the bytes as they are (NULs included).
    put("/sys/devices/virtual/input/input1/acc_value", text);
    put("/sys/devices/virtual/input/input2/gyro_range", text);
    iot_sensor_data_t s{};
    if (fw_gsensor_source_info(&s) == 1 && !(std::isfinite(s.x) && std::isfinite(s.y) && std::isfinite(s.z))) {
        std::abort();
    }
    int range = 0;
    gyroscope_get_measure_range(&range);
    if (!(get_gsensor_gyro_value() > 900.0f)) std::abort();
    return 0;
}
