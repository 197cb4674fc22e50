#include "lte/lte_handle.h"

#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "core/logging.h"
#include "core/tel_agent_main.h"
#include "lte/at_channel.h"

namespace {
std::atomic<int> g_data_status{0};
std::atomic<int> g_dial_mqtt_success{0};

int airplane(const char *cmd, const char *fn) {
    mlog(2, "%d/%s --- entry ---.\n", __LINE__, fn);
    char reply[128];
    memset(reply, 0, sizeof reply);
    int n = exec_at(cmd, reply, 124);
    if (n <= 0) {
        printf("%s exec at failed.\n", fn);
        return -1;
    }
    return strstr(reply, "OK") != nullptr ? 0 : -1;
}
}  // namespace

// The data connection comes with the LTE work.
int init_lte_common(void) {
    // The AT channel lock must exist before the first exchange of any thread.
    at_channel_init();
    return 0;
}

int init_lte(void) { return 0; }

int check_lte_network(void) { return 0; }

int load_sn_info(void) { return 0; }

int load_csq(void) { return 0; }

// The modem queries come with the modem service library and the LTE work.
// Until the modem can be asked, the IMEI published at start-up
// ("set_imei_<digits>") is the box's identity.
int get_imei(char *dst) {
    if (dst == nullptr) return 0;
    dst[0] = '\0';
    int64_t imei = getimei();
    if (imei <= 0) return 0;
    int n = snprintf(dst, 20, "%015" PRId64, imei);
    return n > 10 ? n : 0;
}

int get_iccid(char *dst) {
    if (dst) dst[0] = '\0';
    return 0;
}

int get_sn(char *dst) {
    if (dst) dst[0] = '\0';
    return 0;
}

void get_lte_csq(uint8_t *csq) {
    if (csq) *csq = 0;
}

int get_lte_data_status(void) { return g_data_status.load(); }

void lte_set_data_status(int status) { g_data_status.store(status); }

int release_lte(void) {
    g_data_status.store(0);
    mlog(1, "%d/%s --\n", __LINE__, __func__);
    return 1;
}

int network_set_airplane_on(void) { return airplane("AT+CFUN=0\r\n", __func__); }

int network_set_airplane_off(void) { return airplane("AT+CFUN=1\r\n", __func__); }

void set_dial_mqtt_success(void) { g_dial_mqtt_success.store(1); }

int get_dial_mqtt_success(void) { return g_dial_mqtt_success.load(); }
