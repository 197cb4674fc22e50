// Settings file reader and writer on arbitrary file contents.  Besides "no
// crash" it checks that a successful set reads back exactly and leaves every
// other setting as it was.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "core/iot_config.h"

namespace {

std::string g_root;

void remove_root() {
    std::error_code ec;
    std::filesystem::remove_all(g_root, ec);
}

void setup_root() {
    const char *tmp = std::getenv("TMPDIR");
    std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/telagent-fuzz-ini-XXXXXX";
    if (mkdtemp(tmpl.data()) == nullptr) std::abort();
    g_root = tmpl;
    std::atexit(remove_root);
    setenv("TELAGENT_ROOT", g_root.c_str(), 1);
    if (chdir(g_root.c_str()) != 0) std::abort();
    std::filesystem::create_directories("iot/conf");
    // The module logs every load; keep libFuzzer's own output readable.
    if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
}

const char *const kKeys[] = {"MqttHost", "MqttPort", "WorkingMode", "GPSInterval", "checknv", "Zz"};
constexpr int kKeyCount = sizeof kKeys / sizeof kKeys[0];
const char *const kSections[] = {"IotCfg", "iotcfg", "Other"};
const char *const kValues[] = {"1", "a#b", "it's", "x\"y;z", " pad ", "", nullptr, "0x10",
                               "'q'", "line\nbreak"};
constexpr int kValueCount = sizeof kValues / sizeof kValues[0];

std::string get(const char *section, const char *key) {
    char buf[80];
    return iniGetString(section, key, buf, sizeof buf, nullptr) ? std::string(buf) : std::string("<absent>");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char *data, size_t size) {
    if (g_root.empty()) setup_root();
    FILE *f = std::fopen(IOT_INI_PATH, "wb");
    if (f == nullptr) std::abort();
    if (size > 0 && std::fwrite(data, 1, size, f) != size) std::abort();
    std::fclose(f);
    if (!iniFileLoad(IOT_INI_PATH)) std::abort();

    mqtt_conf_t c;
    get_mqttinfo(&c);
    get_test_mqttinfo(&c);
    get_official_mqttinfo(&c);
    // Read every getter; a saturated value (INT_MAX for an overlong number) is fine, so
    // the sum wraps as unsigned instead of overflowing.
    volatile unsigned sink = 0u + unsigned(get_workingMode()) + unsigned(get_sensor_level()) +
                             unsigned(get_enable_check_nv()) + unsigned(get_bt_auth()) +
                             unsigned(get_mqtt_report_interval()) + unsigned(iniGetInt("IotCfg", "MqttPort", 0));
    volatile double dsink = iniGetDouble("Other", "Zz", 0.0);
    (void)sink;
    (void)dsink;

    // Which setting to change and to what: taken from the first bytes.
    const unsigned char sel = size > 0 ? data[0] : 0;
    const char *section = kSections[(sel >> 6) % 3];
    const int target = sel % kKeyCount;
    const char *value = kValues[(size > 1 ? data[1] : 0) % kValueCount];

    std::string before[3][kKeyCount];
    for (int s = 0; s < 3; ++s)
        for (int k = 0; k < kKeyCount; ++k) before[s][k] = get(kSections[s], kKeys[k]);

    if (iniSetString(section, kKeys[target], value) != 1) return 0;

    const bool same_as_iotcfg = std::strcmp(section, "Other") != 0;
    for (int s = 0; s < 3; ++s) {
        const bool touched_section = (std::strcmp(kSections[s], "Other") != 0) == same_as_iotcfg;
        for (int k = 0; k < kKeyCount; ++k) {
            std::string now = get(kSections[s], kKeys[k]);
            if (touched_section && k == target) {
                if (value != nullptr && now != (*value ? std::string(value) : std::string("<absent>")))
                    std::abort();  // the value just set does not read back
            } else if (now != before[s][k]) {
                std::abort();  // a setting nobody touched changed
            }
        }
    }
    return 0;
}
