#include "lte/lte_handle.h"
#include "core/tavi_common.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <array>
#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "core/iot_config.h"
#include "core/logging.h"
#include "core/sys_utils.h"
#include "lib/qs_common_api/dev/qs_dev.h"
#include "lib/qs_common_api/qmi/nas/src/qs_qmi_nas.h"
#include "lib/qs_common_api/sim/qs_sim.h"
#include "lte/at_channel.h"
#include "platform/plat_clock.h"
#include "platform/plat_thread.h"
#include "platform/sys_action.h"

namespace {

constexpr int kProfile = 1;
constexpr const char *kSnListPath = "/iot/conf/sn_list.txt";
// Supervision counts at which the radio is switched off and on again.
constexpr uint32_t kRadioCycleAt[] = {300, 500, 800, 1100, 1400, 1700};
// With MQTT proven once, an outage this long starts the schedule again.
constexpr uint32_t kRestartAfterDialSuccess = 600;
constexpr uint32_t kCsqEvery = 10;
constexpr size_t kCmdMax = 64;  // one routing or resolver command

struct ApnRow {
    char mccmnc[8];
    char apn[32];
    char user[32];
    char pass[36];
};

// The operator publishes one user name and password for all its APNs.
#define OPERATOR_USER "ctnet@mycdma.cn"
#define OPERATOR_PASS "vnet.mobi"

// Searched in order; a row matches only on its whole MCC-MNC.
constexpr ApnRow kApnTable[16] = {
    {"46000", "cmnet", "", ""},
    {"46001", "3gnet", "", ""},
    {"46002", "cmnet", "", ""},
    {"46003", "ctnet", OPERATOR_USER, OPERATOR_PASS},
    {"46004", "cmiot", "", ""},
    {"46005", "ctlte", OPERATOR_USER, OPERATOR_PASS},
    {"46006", "3gnet", "", ""},
    {"46007", "cmnet", "", ""},
    {"46008", "cmnet", "", ""},
    {"46011", "CTNET", OPERATOR_USER, OPERATOR_PASS},
    {"46012", "ctnet", OPERATOR_USER, OPERATOR_PASS},
    {"46013", "CTNET", OPERATOR_USER, OPERATOR_PASS},
    {"23450", "hologram", "", ""},
    {"24042", "internet.lte.cxn", "", ""},
    {"20801", "orange.m2m.spec", "", ""},
    {"46009", "3gnet", "", ""},
};

std::atomic<int> g_data_status{0};
std::atomic<int> g_reg_flag{0};
std::atomic<uint32_t> g_invalid_count{0};
std::atomic<uint32_t> g_csq_count{0};
std::atomic<uint8_t> g_csq{0};
// Reached through the entry: the MQTT session sits above the LTE manager,
// the BLE bridge beside it.
std::atomic<void (*)(void)> g_mqtt_teardown{nullptr};
std::atomic<int (*)(uint8_t *)> g_bt_mac{nullptr};
std::atomic<int> g_dial_mqtt_success{0};
std::atomic<int> g_route_set{0};

// Orders the two handlers' writes of the registration flag: a registration
// change that arrives while the connected handler sets up the route wins over
// that handler's "connected".
std::mutex g_reg_mu;
uint32_t g_reg_changes = 0;  // under g_reg_mu

std::mutex g_info_mu;
modem_info_t g_modem_info{};  // under g_info_mu
char g_kept_iccid[32] = {};   // under g_info_mu; the last ICCID the SIM gave

// Reads the identities the lines are missing, on a thread of its own: a line
// dispatcher only asks for it and never waits on the modem.
struct IdentityRefresh {
    std::mutex mtx;
    std::condition_variable cv;
    bool wanted = false;
    bool started = false;
};
IdentityRefresh &identity_refresh() {
    static IdentityRefresh *r = new IdentityRefresh;  // its thread outlives exit
    return *r;
}

void identity_refresh_loop() {
    IdentityRefresh &r = identity_refresh();
    for (;;) {
        {
            std::unique_lock<std::mutex> lk(r.mtx);
            r.cv.wait(lk, [&r] { return r.wanted; });
            r.wanted = false;
        }
        char buf[40] = {};
        if (get_kept_sn(buf, false) == 0) get_sn(buf);
        if (get_kept_iccid(buf, false) == 0) get_iccid(buf);
    }
}

void ask_identity_refresh() {
    IdentityRefresh &r = identity_refresh();
    std::lock_guard<std::mutex> lk(r.mtx);
    r.wanted = true;
    if (!r.started) {
        r.started = true;
        plat_thread("id-refresh", identity_refresh_loop).detach();
    }
    r.cv.notify_one();
}

// A zeroed reply buffer with a few spare bytes, as exec_at wants it.
template <size_t N>
struct Reply {
    std::array<char, N> buf{};
    int exec(const char *cmd) { return exec_at(cmd, buf.data(), static_cast<int>(N) - 4); }
    bool has(const char *text) const { return strstr(buf.data(), text) != nullptr; }
    const char *find(const char *text) const { return strstr(buf.data(), text); }
};

int airplane(const char *cmd, const char *fn) {
    mlog(2, "%d/%s --- entry ---.\n", __LINE__, fn);
    Reply<128> r;
    if (r.exec(cmd) <= 0) {
        printf("%s exec at failed.\n", fn);
        return -1;
    }
    return r.has("OK") ? 0 : -1;
}

// Counters cleared and the registration handler (re)registered; the AT lock
// is left as it is.
// Whether the registration handler is in place on a live NAS client.
std::atomic<int> g_reg_handler_ok{0};
std::atomic<uint32_t> g_reg_retry_count{0};
constexpr uint32_t kRegRetryEvery = 5;  // supervision passes between attempts

int register_reg_handler() {
    g_invalid_count.store(0);
    g_reg_flag.store(0);
    const int rc = QS_NW_AddRegStateEventHandler(RegStateHandlerFunc);
    g_reg_handler_ok.store(rc == 0 ? 1 : 0);
    return rc;
}

// A NAS service that was not up at start-up, or went down since, leaves the
// box without registration indications: once it is back the handler is
// registered again (which also makes a new NAS client).
bool reg_handler_retry_due() {
    if (g_reg_handler_ok.load() == 1 && get_qmi_nas_svc_client() != nullptr) return false;
    return g_reg_retry_count.fetch_add(1) % kRegRetryEvery == 0;
}

void retry_reg_handler() {
    const int rc = QS_NW_AddRegStateEventHandler(RegStateHandlerFunc);
    g_reg_handler_ok.store(rc == 0 ? 1 : 0);
    if (rc == 0) mlog(1, "%d/%s registration handler registered\n", __LINE__, __func__);
}

// Address text of one storage: family in the first two bytes, the address
// bytes from byte 8 on (the platform's layout for both families).
bool addr_text(const struct sockaddr_storage &ss, char *out, size_t size) {
    const auto *raw = reinterpret_cast<const unsigned char *>(&ss);
    uint16_t family = 0;
    memcpy(&family, raw, sizeof family);
    if (family == AF_INET) return inet_ntop(AF_INET, raw + 8, out, static_cast<socklen_t>(size)) != nullptr;
    if (family == AF_INET6) return inet_ntop(AF_INET6, raw + 8, out, static_cast<socklen_t>(size)) != nullptr;
    out[0] = '\0';
    return false;
}

// Runs one routing/resolver command.  A command cut by its 64-byte limit
// would be a different command: it is logged and not run.
void route_cmd(const char *fmt, const char *a, const char *b = nullptr) {
    char cmd[kCmdMax];
    const int n = b ? snprintf(cmd, sizeof cmd, fmt, a, b) : snprintf(cmd, sizeof cmd, fmt, a);
    if (n < 0 || static_cast<size_t>(n) >= sizeof cmd) {
        mlog(0, "%d/%s command too long, not run: %s\n", __LINE__, __func__, cmd);
        return;
    }
    sys_shell(cmd);
}

void setup_family(const QS_wwan_ip_info_t &info, const char *ifname, const char *label) {
    char addr[64];
    if (!addr_text(info.iface_addr_s, addr, sizeof addr)) return;
    mlog(1, "Interface %s address =%s\n", label, addr);
    // The interface address itself is the gateway of the point-to-point link.
    route_cmd("ip route add default via %s dev %s", addr, ifname);
    g_route_set.store(1);
    char dns[64];
    if (addr_text(info.dnsp_addr_s, dns, sizeof dns)) {
        mlog(1, "Primary DNS address  =%s\n", dns);
        route_cmd("echo 'nameserver %s' > /etc/resolv.conf", dns);
    }
    if (addr_text(info.dnss_addr_s, dns, sizeof dns)) {
        mlog(1, "Secondary DNS address=%s\n\n", dns);
        route_cmd("echo 'nameserver %s' >> /etc/resolv.conf", dns);
    }
}

void setup_wwan_iproute() {
    mlog(1, "%d/%s entry ...\n", __LINE__, __func__);
    char ifname[33] = {};
    int ret = QS_WWAN_GetDeviceName(kProfile, ifname, 32);
    mlog(1, "QS_WWAN_GetDeviceName ret = %d, name=%s\n", ret, ifname);
    QS_wwan_ip_addr_t ip;
    memset(&ip, 0, sizeof ip);
    ret = QS_WWAN_GetIPAddr(kProfile, &ip);
    mlog(1, "QS_WWAN_GetIPAddr ret = %d\n", ret);
    // The old default route points at the previous call's interface: it goes
    // whether or not the new addresses can be read, so that the box never
    // keeps routing into a dead link.
    if (g_route_set.load() == 1) {
        sys_shell("ip route del default");
        g_route_set.store(0);
    }
    if (ret != 0) {
        mlog(0, "%d/%s address query failed (%d), no default route\n", __LINE__, __func__, ret);
        return;
    }

    if (ip.v4_valid) setup_family(ip.v4, ifname, "IPV4");
    if (ip.v6_valid) setup_family(ip.v6, ifname, "IPV6");
}

// Re-dial: MQTT torn down first, it would only fail on a dead link.
void redial() {
    if (auto teardown = g_mqtt_teardown.load(std::memory_order_acquire)) teardown();
    release_lte();
    init_lte();
    int expected = 1;
    g_reg_flag.compare_exchange_strong(expected, 2);
    printf("%d/%s --registered isp success, dial network.\n", __LINE__, __func__);
}


void radio_cycle() {
    printf("%d/%s -- airplane on off re init lte \n", __LINE__, __func__);
    release_lte();
    network_set_airplane_on();
    plat_sleep_s(2);
    network_set_airplane_off();
    plat_sleep_s(5);
}

void print_apn(int round) {
    char apn[21] = {}, user[21] = {}, pwd[21] = {};
    int ret = QS_WWAN_GetAPN(kProfile, apn, 20, user, 20, pwd, 20);
    printf("QS_WWAN_GetAPN %d ret = %d, APN: %s, user:%s, pwd:%s\n", round, ret, apn, user, pwd);
}

// Length of a NUL-terminated text of at most `cap` bytes.
size_t bounded_len(const char *s, size_t cap) { return strnlen(s, cap); }

}  // namespace

// ---- start-up ----------------------------------------------------------

namespace {
void start_lte_worker();
}  // namespace

int init_lte_common(void) {
    // The AT channel lock must exist before the first exchange of any thread.
    at_channel_init();
    start_lte_worker();
    return register_reg_handler();
}

int init_lte(void) {
    char imei[32] = {};
    for (int i = 0; i < 3; ++i) {
        if (get_imei(imei) > 5) {
            const long long v = strtoll(imei, nullptr, 10);
            setimei(v);
            printf("imei --------- [%s] ------[%lld]-\r\n", imei, v);
            break;
        }
    }

    char imsi[32] = {};
    const int imsi_len = get_imsi(imsi);
    if (imsi_len < 5) {
        printf("%d/%s --get_imsi:%d/%s failed\n", __LINE__, __func__, imsi_len, imsi);
        return 0;
    }

    printf("%d/%s --QS_WWAN_Initialize:%d\n", __LINE__, __func__, QS_WWAN_Initialize());
    print_apn(1);

    if (get_workingMode() == 1 || get_TestMode() == 1) {
        for (size_t i = 0; i < sizeof kApnTable / sizeof kApnTable[0]; ++i) {
            const ApnRow &row = kApnTable[i];
            if (strncmp(imsi, row.mccmnc, strlen(row.mccmnc)) != 0) continue;
            const int ret = QS_WWAN_SetAPN(kProfile, row.apn, row.user, row.pass);
            printf("-4-%d/%d QS_WWAN_SetAPN-mccmnc:%s-apn:%s username:%s password:%s\n", static_cast<int>(i + 1),
                   ret, row.mccmnc, row.apn, row.user, row.pass);
            break;
        }
    }

    print_apn(2);
    QS_WWAN_AddConnStateEventHandler(qs_wwan_connstate_cb_func, nullptr);
    printf("QS_WWAN_StartDataCall ret=%d!\n", QS_WWAN_StartDataCall(kProfile));
    return 1;
}

int load_csq(void) {
    int got = 0;
    for (int i = 0; i < 3; ++i) {
        Reply<128> r;
        r.exec("AT+CSQ\r\n");
        const char *p = r.find("+CSQ:");
        if (p != nullptr) {
            printf("csq =%s \r\n", p);
            int rssi = 0, ber = 0;
            if (sscanf(p, "+CSQ: %d,%d\r\n", &rssi, &ber) == 2) {
                g_csq.store(static_cast<uint8_t>(rssi & 0xFF));
                got = 1;
            }
        }
        const uint8_t c = g_csq.load();
        if (c >= 1 && c <= 31) break;  // 0 and 99 are worth another look
    }
    return got;
}

int load_sn_info(void) {
    char line[160] = {};
    size_t len = 0;
    auto field = [&](const char *text) {
        const int n = snprintf(line + len, sizeof line - len, "%s;", text);
        if (n > 0) len += static_cast<size_t>(n) < sizeof line - len ? static_cast<size_t>(n) : sizeof line - len - 1;
    };

    char iccid[32] = {};
    field(get_iccid(iccid) > 5 ? iccid : "");

    char sn[40] = {};
    field(get_sn(sn) > 5 ? sn : "");  // get_sn keeps it in the modem info record

    char imei[32] = {};
    field(get_imei(imei) > 5 ? imei : "");

    uint8_t mac[6] = {};
    char mac_text[24] = {};
    auto bt_mac = g_bt_mac.load(std::memory_order_acquire);
    if (bt_mac != nullptr && bt_mac(mac) == 1) {
        snprintf(mac_text, sizeof mac_text, "%02X:%02X:%02X:%02X:%02X:%02X", mac[0], mac[1], mac[2], mac[3], mac[4],
                 mac[5]);
    }
    field(mac_text);

    return rewrite_buf2file(kSnListPath, line);
}

// ---- connection and registration handlers ------------------------------

void qs_wwan_connstate_cb_func(int profile, E_QS_WWAN_CALL_STATUS_T status, void *context) {
    (void)context;
    switch (static_cast<int>(status)) {
    case E_QS_WWAN_CALL_STATUS_IDLE:
        g_data_status.store(0);
        mlog(0, "APPS IDLE wwan\n");
        set_sysboot_code(1);
        break;
    case E_QS_WWAN_CALL_STATUS_CONNECTING:
        mlog(1, "APPS connecting wwan...\n");
        break;
    case E_QS_WWAN_CALL_STATUS_CONNECTED: {
        uint32_t changes;
        {
            std::lock_guard<std::mutex> lk(g_reg_mu);
            changes = g_reg_changes;
        }
        g_data_status.store(1);
        setup_wwan_iproute();
        {
            std::lock_guard<std::mutex> lk(g_reg_mu);
            if (changes == g_reg_changes) g_reg_flag.store(3);
        }
        mlog(1, "APPS connect wwan done\n");
        break;
    }
    case E_QS_WWAN_CALL_STATUS_DISCONNECTING:
        g_data_status.store(0);
        mlog(1, "APPS disconnect wwan\n");
        break;
    default:
        mlog(1, "APPS connect wwan unkonwn evt\n");
        break;
    }
    mlog(1, "######### APN%d status:%d !  ######\n", profile, static_cast<int>(status));
}

void RegStateHandlerFunc(E_QS_WWAN_NET_REG_STATE_T state) {
    // Home (1) and roaming (5) both carry data.
    const int s = static_cast<int>(state);
    const int flag = (s & ~4) == 1 ? 1 : 0;
    {
        std::lock_guard<std::mutex> lk(g_reg_mu);
        g_reg_flag.store(flag);
        ++g_reg_changes;
    }
    if (flag == 0) release_lte();
    printf("%d/%s state: %d,\treg_cs_ok:%d \n", __LINE__, __func__, s, flag);
}

// ---- supervision and control -------------------------------------------

namespace {
// The modem work a pass asks for runs beside it, on the LTE manager's own
// worker, in the order the pass asked: every AT exchange whose reply starts
// with the modem's echo ends with its 2 s of silence (a signal of 0 or 99 asks
// three times, another holder of the AT lock comes first), a re-dial waits for
// each modem service it asks (seconds each while one is down), and a radio
// cycle sleeps 2 s + 5 s.  In the pass they would stand the supervision loop
// 2 to 10 s.  Work already waiting when it is due again is not asked twice.
struct LteWorker {
    std::mutex mu;
    std::condition_variable cv;
    bool csq_due = false;
    bool reg_due = false;
    bool dial_due = false;
    bool radio_due = false;
    bool running = false;
};
LteWorker &lte_worker() {
    static LteWorker *w = new LteWorker;  // never destroyed: the thread outlives exit
    return *w;
}
std::once_flag g_lte_worker_once;

void lte_worker_loop();
// Started with the LTE manager, so the thread count is the same from the start.
void start_lte_worker() {
    std::call_once(g_lte_worker_once, [] { plat_thread("lte-modem", lte_worker_loop).detach(); });
}

void lte_worker_loop() {
    LteWorker &w = lte_worker();
    for (;;) {
        int job = 0;
        {
            std::unique_lock<std::mutex> lk(w.mu);
            w.cv.wait(lk, [&w] { return w.csq_due || w.reg_due || w.dial_due || w.radio_due; });
            static constexpr bool LteWorker::*kOrder[] = {&LteWorker::csq_due, &LteWorker::reg_due,
                                                          &LteWorker::dial_due, &LteWorker::radio_due};
            for (int i = 0; i < 4; ++i) {
                if (w.*kOrder[i]) {
                    w.*kOrder[i] = false;
                    job = i;
                    break;
                }
            }
            w.running = true;
        }
        switch (job) {
        case 0: load_csq(); break;
        case 1: retry_reg_handler(); break;
        case 2: redial(); break;
        default: radio_cycle(); break;
        }
        {
            std::lock_guard<std::mutex> lk(w.mu);
            w.running = false;
        }
        w.cv.notify_all();
    }
}

// 0 when that work is already waiting.
int ask_lte_worker(bool LteWorker::*due) {
    start_lte_worker();
    LteWorker &w = lte_worker();
    {
        std::lock_guard<std::mutex> lk(w.mu);
        if (w.*due) return 0;
        w.*due = true;
    }
    w.cv.notify_all();
    return 1;
}
}  // namespace

int lte_worker_busy(void) {
    LteWorker &w = lte_worker();
    std::lock_guard<std::mutex> lk(w.mu);
    return w.csq_due || w.reg_due || w.dial_due || w.radio_due || w.running ? 1 : 0;
}

namespace {
// A registration's dial is taken when the dial is asked for, so that the passes
// while it runs do not ask again for the same registration.
void dial_later() {
    if (ask_lte_worker(&LteWorker::dial_due) == 1) {
        int expected = 1;
        g_reg_flag.compare_exchange_strong(expected, 2);
    }
}
}  // namespace

int check_lte_network(void) {
    if (g_csq_count.fetch_add(1) + 1 > kCsqEvery) {
        g_csq_count.store(0);
        ask_lte_worker(&LteWorker::csq_due);
    }
    if (reg_handler_retry_due()) ask_lte_worker(&LteWorker::reg_due);

    if (get_factory_mode() == 1) return 0;
    if (get_workingMode() != 1) {
        if (get_TestMode() != 1) {
            printf(" waiting activity");
            return 0;
        }
        printf(" test mode");
    }

    if (g_data_status.load() == 1) {
        g_invalid_count.store(0);
        return 0;
    }

    bool dialled = false;
    const uint32_t count = g_invalid_count.load();
    if (count != 0) {
        if (count % 5 == 4) printf("lte:invalid_count %u\n", count);
        if (count == 3 || count % 20 == 19) {
            dial_later();
            dialled = true;
        }
    }
    if (!dialled && g_reg_flag.load() == 1) dial_later();

    const uint32_t now = g_invalid_count.fetch_add(1) + 1;
    for (uint32_t at : kRadioCycleAt) {
        if (now == at) {
            ask_lte_worker(&LteWorker::radio_due);
            break;
        }
    }

    const int timeout = get_lte_reboot_timeout();
    const uint32_t limit = timeout > 0 ? static_cast<uint32_t>(timeout) : 0;
    if (now > limit || (g_dial_mqtt_success.load() == 1 && now > kRestartAfterDialSuccess)) {
        g_invalid_count.store(0);
    }
    return 0;
}

int lte_connect_ctl(int flag) {
    if (flag != 0) return network_set_airplane_off();
    register_reg_handler();
    release_lte();
    return network_set_airplane_on();
}

int release_lte(void) {
    QS_WWAN_StopDataCall(kProfile);
    g_data_status.store(0);
    mlog(1, "%d/%s --\n", __LINE__, __func__);
    return 1;
}

int network_set_airplane_on(void) { return airplane("AT+CFUN=0\r\n", __func__); }

int network_set_airplane_off(void) { return airplane("AT+CFUN=1\r\n", __func__); }

int lte_restart(void) {
    Reply<128> r;
    r.exec("AT+RESET\r\n");
    return r.has("OK") ? 1 : 0;
}

int check_modem(void) {
    Reply<128> r;
    if (r.exec("AT+CPIN?\r\n") <= 0) {
        printf("%s exec at failed.\n", __func__);
        return 0;
    }
    if (r.has("READY")) return 1;
    printf("%s check cpin failed.\n", __func__);
    return 0;
}

int get_standard(void) {
    Reply<320> r;
    if (r.exec("AT+PSRAT\r\n") <= 0) {
        printf("%s exec at failed.\n", __func__);
        return 0;
    }
    if (r.has("ERROR") || r.has("PSRAT:NONE") || !r.has("PSRAT")) return 0;
    static const struct {
        const char *text;
        int standard;
    } kClasses[] = {
        {"LTE", 3},   {"TD LTE", 3}, {"+PSRAT:TDD LTE", 3}, {"TDSCDMA", 3}, {"FDD LTE", 3},
        {"HSPA+", 2}, {"HSUPA", 2},  {"HSDPA", 2},          {"WCDMA", 2},   {"EVDO", 1},
        {"CDMA", 1},  {"CDMA&EVDO", 1}, {"EHRPD", 1},       {"GPRS", 1},    {"GSM", 1},
        {"EDGE", 1},
    };
    for (const auto &c : kClasses) {
        if (r.has(c.text)) return c.standard;
    }
    return 0;
}

void *check_sim_handle(void *arg) {
    (void)arg;
    printf("%s entry.\n", __func__);
    char iccid[32] = {};
    if (get_iccid(iccid) > 0) {
        printf("%s get_iccid.1 success .\n", __func__);
        return nullptr;
    }
    printf("%s start airplane on.\n", __func__);
    network_set_airplane_on();
    plat_sleep_s(2);
    printf("%s start airplane off.\n", __func__);
    network_set_airplane_off();
    plat_sleep_s(2);
    if (get_iccid(iccid) > 0) {
        printf("%s get_iccid.2 success .\n", __func__);
        return nullptr;
    }
    printf("%s get iccid failed. reboot now.\n", __func__);
    fflush(stdout);
    reboot_system_now();
    return nullptr;
}

void wakeup_check_sim_online(void) { plat_thread("lte-simcheck", check_sim_handle, nullptr).detach(); }

// ---- queries -------------------------------------------------------------

int get_imei(char *dst) {
    if (dst == nullptr) return 0;
    dst[0] = '\0';
    char buf[20] = {};
    if (QS_DEV_GetImei(buf, sizeof buf - 1) == 0) {
        const size_t n = bounded_len(buf, sizeof buf);
        if (n > 10) {
            memcpy(dst, buf, n + 1);
            return static_cast<int>(n);
        }
    }
    // The modem cannot answer: the IMEI published at start-up stands in.
    return get_imei_text(dst);
}

int get_iccid(char *dst) {
    if (dst == nullptr) return 0;
    dst[0] = '\0';
    char buf[32] = {};
    if (QS_SIM_GetICCID(buf, sizeof buf) != 0) return 0;
    const size_t n = bounded_len(buf, sizeof buf - 1);
    if (n < 11 || n > 29) return 0;
    memcpy(dst, buf, n);
    dst[n] = '\0';
    std::lock_guard<std::mutex> lk(g_info_mu);
    memset(g_kept_iccid, 0, sizeof g_kept_iccid);
    memcpy(g_kept_iccid, buf, n);
    return static_cast<int>(n);
}

int get_imsi(char *dst) {
    if (dst == nullptr) return 0;
    dst[0] = '\0';
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (attempt > 0) plat_sleep_s(1);
        char buf[20] = {};
        if (QS_SIM_GetIMSI(buf, sizeof buf) != 0) continue;
        const size_t n = bounded_len(buf, sizeof buf - 1);
        if (n > 10) {
            memcpy(dst, buf, n);
            dst[n] = '\0';
            return static_cast<int>(n);
        }
    }
    return 0;
}

int get_sn(char *dst) {
    if (dst == nullptr) return 0;
    dst[0] = '\0';
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (attempt > 0) plat_sleep_ms(100);
        Reply<128> r;
        r.exec("AT+LCTSN=0,5\r\n");
        const char *p = r.find("+LCTSN:");
        if (p == nullptr || strnlen(p, 8) < 8) continue;
        const char *start = p + 8;
        // "+LCTSN:" is followed by one separator; an opening quote in its
        // place or after a space is not part of the number.
        if (*start == '"') ++start;
        size_t k = 0;
        bool closed = false;
        for (; k < 32 && start[k] != '\0'; ++k) {
            putchar(start[k]);
            if (start[k] == '"') {
                closed = true;
                break;
            }
        }
        if (!closed) continue;
        memcpy(dst, start, k);
        dst[k] = '\0';
        if (k > 5) {
            std::lock_guard<std::mutex> lk(g_info_mu);
            memset(g_modem_info.sn, 0, sizeof g_modem_info.sn);
            memcpy(g_modem_info.sn, start, k < sizeof g_modem_info.sn ? k : sizeof g_modem_info.sn);
        }
        return static_cast<int>(k);
    }
    return 0;
}

void get_lte_csq(uint8_t *csq) {
    if (csq) *csq = g_csq.load();
}

int get_lte_data_status(void) { return g_data_status.load(); }

int get_lte_cellinfo(int *mcc, int *mnc, int *cell_id, int *area_code, int *signal) {
    qs_cellinfo_s_type ci;
    memset(&ci, 0, sizeof ci);
    if (QS_NW_GetCurrCellInfo(&ci) != 0) return 0;
    char text[sizeof ci.mcc + 1] = {};
    memcpy(text, ci.mcc, sizeof ci.mcc);
    if (mcc) *mcc = static_cast<int>(strtol(text, nullptr, 10));
    memset(text, 0, sizeof text);
    memcpy(text, ci.mnc, sizeof ci.mnc);
    if (mnc) *mnc = static_cast<int>(strtol(text, nullptr, 10));
    if (cell_id) *cell_id = ci.cell_id;
    if (area_code) *area_code = ci.lac_id;
    if (signal) *signal = ci.csq_rssi;
    return 1;
}

int get_lte_mccmnc(int *mcc, int *mnc) {
    char name[33] = {}, mcc_text[9] = {}, mnc_text[9] = {};
    if (QS_NW_GetNetworkNameMccMnc(name, 32, mcc_text, 8, mnc_text, 8) != 0) return 0;
    if (mcc) *mcc = static_cast<int>(strtol(mcc_text, nullptr, 10));
    if (mnc) *mnc = static_cast<int>(strtol(mnc_text, nullptr, 10));
    return 1;
}

int get_kept_sn(char *dst, bool refresh_if_missing) {
    if (dst == nullptr) return 0;
    size_t n = 0;
    {
        std::lock_guard<std::mutex> lk(g_info_mu);
        n = bounded_len(g_modem_info.sn, sizeof g_modem_info.sn);
        memcpy(dst, g_modem_info.sn, n);
        dst[n] = '\0';
    }
    if (n == 0 && refresh_if_missing) ask_identity_refresh();
    return static_cast<int>(n);
}

int get_kept_iccid(char *dst, bool refresh_if_missing) {
    if (dst == nullptr) return 0;
    size_t n = 0;
    {
        std::lock_guard<std::mutex> lk(g_info_mu);
        n = bounded_len(g_kept_iccid, sizeof g_kept_iccid - 1);
        memcpy(dst, g_kept_iccid, n);
        dst[n] = '\0';
    }
    if (n == 0 && refresh_if_missing) ask_identity_refresh();
    return static_cast<int>(n);
}

int get_modem_info(modem_info_t *out) {
    if (out == nullptr) return 0;
    std::lock_guard<std::mutex> lk(g_info_mu);
    *out = g_modem_info;
    return 1;
}

void lte_set_data_status(int status) { g_data_status.store(status); }

void set_lte_mqtt_teardown_cb(void (*teardown)(void)) {
    g_mqtt_teardown.store(teardown, std::memory_order_release);
}

void set_lte_bt_mac_cb(int (*bt_mac)(uint8_t *mac)) { g_bt_mac.store(bt_mac, std::memory_order_release); }

void set_dial_mqtt_success(void) { g_dial_mqtt_success.store(1); }

int get_dial_mqtt_success(void) { return g_dial_mqtt_success.load(); }

int get_lte_invalid_count(void) { return static_cast<int>(g_invalid_count.load()); }

int get_lte_reg_flag(void) { return g_reg_flag.load(); }
