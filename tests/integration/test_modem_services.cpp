// The modem service library (data calls, SIM, network and device queries) in
// this process, through the real platform layer (dsi and QMI over the
// simulation socket, AT over smd7) against a real devsim on a temporary root.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <arpa/inet.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "support/stdout_capture.h"
#include "box_harness.h"
#include "lib/qs_common_api/dev/qs_dev.h"
#include "lib/qs_common_api/nw/qs_nw.h"
#include "lib/qs_common_api/platform/qs_log/src/qs_log.h"
#include "lib/qs_common_api/sim/qs_sim.h"
#include "lib/qs_common_api/wwan/qs_wwan.h"
#include "modem/modem_services.h"
#include "modem/modem_state.h"
#include "platform/sim/qmi_client_sim.h"

namespace {

// Never destroyed: the library's threads may still log while the process exits.
std::mutex &g_log_mu = *new std::mutex;
std::string &g_log = *new std::string;

void on_log(QS_OL_LOG_LEVEL, const char *text) {
    std::lock_guard<std::mutex> hold(g_log_mu);
    g_log += text;
}

std::string lib_log() {
    std::lock_guard<std::mutex> hold(g_log_mu);
    return g_log;
}

size_t logged(const std::string &text) { return count_of(lib_log(), text); }

BoxOptions modem_box(const std::string &modem_keys) {
    BoxOptions o;
    o.start_host = false;
    o.scenario = "[smd7]\necho = 0\n[modem]\n" + modem_keys;
    return o;
}

void use_root(const Box &box) {
    setenv("TELAGENT_ROOT", box.root().c_str(), 1);
    ASSERT_EQ(chdir(box.root().c_str()), 0);
    QS_OL_Liblog_Level_Set(QS_OL_LOG_DEBUG, on_log);
}

// A control command, once devsim has logged it (the same command may have
// been logged before: wait for one more).
bool control(Box &box, const std::string &line) {
    const std::string done = line + " -> ok\n";
    const size_t before = count_of(box.file("/var/devsim/control.log"), done);
    const int fd = open(box.path("/var/devsim/control").c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    const std::string l = line + "\n";
    const bool wrote = write(fd, l.data(), l.size()) == static_cast<ssize_t>(l.size());
    close(fd);
    return wrote &&
           poll_until([&] { return count_of(box.file("/var/devsim/control.log"), done) > before; }, 5000);
}

// Connection-state handler: every call, in order.
struct Seen {
    std::mutex mu;
    std::vector<std::pair<int, int>> calls;  // profile, status
    void add(int p, int s) {
        std::lock_guard<std::mutex> hold(mu);
        calls.push_back({p, s});
    }
    std::vector<std::pair<int, int>> get() {
        std::lock_guard<std::mutex> hold(mu);
        return calls;
    }
    bool wait_for(int profile, int status, int timeout_ms) {
        return poll_until(
            [&] {
                for (const auto &c : get()) {
                    if (c.first == profile && c.second == status) return true;
                }
                return false;
            },
            timeout_ms);
    }
};

Seen &g_seen = *new Seen;
void on_call(int profile, E_QS_WWAN_CALL_STATUS_T status, void *ctx) {
    EXPECT_EQ(ctx, &g_seen);
    g_seen.add(profile, status);
}

int state_of(int profile) {
    E_QS_WWAN_CALL_STATUS_T s = E_QS_WWAN_CALL_STATUS_DISCONNECTING;
    EXPECT_EQ(QS_WWAN_GetDataState(profile, &s), 0);
    return s;
}

bool wait_state(int profile, int status, int timeout_ms) {
    return poll_until([&] { return state_of(profile) == status; }, timeout_ms);
}

std::string addr_text(const sockaddr_storage &s) {
    char out[INET6_ADDRSTRLEN] = {};
    const auto *bytes = reinterpret_cast<const uint8_t *>(&s) + 8;  // the platform's offset
    inet_ntop(s.ss_family, bytes, out, sizeof out);
    return out;
}

using StdoutToFile = StdoutCapture;

const char *kInvalid = "profileId is invalid, must between 1-8.";
const char *kNoInit = "need exec QS_WWAN_Initialize previous.";

}  // namespace

// ---- data calls -------------------------------------------------------------

TEST(ModemServicesWwan, BadProfilesAndUseBeforeInitialisationNeverReachTheModem) {
    Box box(modem_box(""));
    ASSERT_TRUE(box.ok()) << box.error();
    use_root(box);

    char apn[8], user[8], pwd[8];
    for (int p : {0, 9, -1}) {
        EXPECT_EQ(QS_WWAN_StartDataCall(p), -1);
        EXPECT_EQ(QS_WWAN_SetAPN(p, "a", nullptr, nullptr), -1);
        EXPECT_EQ(QS_WWAN_GetAPN(p, apn, 8, user, 8, pwd, 8), -1);
    }
    EXPECT_EQ(logged(kInvalid), 9u);
    EXPECT_EQ(logged(kNoInit), 0u);  // the profile is checked first

    EXPECT_EQ(QS_WWAN_StartDataCall(1), -1);
    EXPECT_EQ(QS_WWAN_StopDataCall(8), -1);
    EXPECT_EQ(QS_WWAN_GetCurrentData_BearerTech(1), -1);
    EXPECT_EQ(logged(kNoInit), 3u);
    EXPECT_NE(lib_log().find("[qs_wwan]QS_WWAN_StartDataCall|"), std::string::npos) << lib_log();
    EXPECT_EQ(state_of(1), E_QS_WWAN_CALL_STATUS_IDLE);  // needs no initialisation
    EXPECT_EQ(QS_WWAN_GetDataState(1, nullptr), -1);
    EXPECT_EQ(logged("status is null."), 1u);
    EXPECT_EQ(qmi_client_sim_instances(), 0);  // nothing went to the modem

    ASSERT_EQ(QS_WWAN_Initialize(), 0);
    EXPECT_EQ(QS_WWAN_Initialize(), -1);
    EXPECT_EQ(logged("QS_WWAN_Initialize has been initialized!"), 1u);
    // The first initialisation still holds.
    EXPECT_EQ(QS_WWAN_SetAPN(1, "first", nullptr, nullptr), 0);
    EXPECT_EQ(QS_WWAN_GetAPN(1, apn, sizeof apn, user, sizeof user, pwd, sizeof pwd), 0);
    EXPECT_STREQ(apn, "first");
}

TEST(ModemServicesWwan, InitialisationFailsWithoutTheModemsDataService) {
    Box box(modem_box("service_down = wds\n"));
    ASSERT_TRUE(box.ok()) << box.error();
    use_root(box);
    EXPECT_EQ(QS_WWAN_Initialize(), -1);
    EXPECT_EQ(logged("dsi_init failed, result:-1."), 1u) << lib_log();
    EXPECT_EQ(QS_WWAN_StartDataCall(1), -1);
    EXPECT_EQ(logged(kNoInit), 1u);
    // The service comes back: initialising again works.
    ASSERT_TRUE(control(box, "modem service_up wds"));
    EXPECT_EQ(QS_WWAN_Initialize(), 0);
}

TEST(ModemServicesWwan, CallComesUpAndGoesDownWithItsEvents) {
    Box box(modem_box("call_delay_ms = 300\n"));
    ASSERT_TRUE(box.ok()) << box.error();
    use_root(box);
    StdoutToFile out(box.path("/var/stdout.txt"));
    ASSERT_EQ(QS_WWAN_Initialize(), 0);
    ASSERT_EQ(QS_WWAN_AddConnStateEventHandler(on_call, &g_seen), 0);

    ASSERT_EQ(QS_WWAN_StartDataCall(1), 0);
    EXPECT_EQ(state_of(1), E_QS_WWAN_CALL_STATUS_CONNECTING);
    // Asked again while connecting: passed on, still fine.
    EXPECT_EQ(QS_WWAN_StartDataCall(1), 0);
    ASSERT_TRUE(g_seen.wait_for(1, E_QS_WWAN_CALL_STATUS_CONNECTED, 5000));
    EXPECT_EQ(state_of(1), E_QS_WWAN_CALL_STATUS_CONNECTED);
    EXPECT_EQ(QS_WWAN_StartDataCall(1), -1);
    EXPECT_EQ(logged("profileId:1 has been connected."), 1u);

    char dev[32] = {};
    EXPECT_EQ(QS_WWAN_GetDeviceName(1, dev, sizeof dev), 0);
    EXPECT_STREQ(dev, "rmnet_data0");
    QS_wwan_ip_addr_t ip;
    memset(&ip, 0xAB, sizeof ip);
    ASSERT_EQ(QS_WWAN_GetIPAddr(1, &ip), 0);
    EXPECT_EQ(ip.v4_valid, 1);
    EXPECT_EQ(ip.v6_valid, 0);
    EXPECT_EQ(ip.v4.iface_addr_s.ss_family, AF_INET);
    EXPECT_EQ(addr_text(ip.v4.iface_addr_s), "10.64.12.34");
    EXPECT_EQ(addr_text(ip.v4.gtwy_addr_s), "10.64.12.33");
    EXPECT_EQ(addr_text(ip.v4.dnsp_addr_s), "10.64.0.53");
    EXPECT_EQ(addr_text(ip.v4.dnss_addr_s), "10.64.0.54");
    EXPECT_EQ(QS_WWAN_GetCurrentData_BearerTech(1), E_QS_DATA_BEARER_TECH_LTE);

    ASSERT_EQ(QS_WWAN_StopDataCall(1), 0);
    ASSERT_TRUE(g_seen.wait_for(1, E_QS_WWAN_CALL_STATUS_IDLE, 5000));
    EXPECT_TRUE(wait_state(1, E_QS_WWAN_CALL_STATUS_IDLE, 2000));
    // The handler saw exactly the two transitions.
    EXPECT_EQ(g_seen.get(), (std::vector<std::pair<int, int>>{{1, 2}, {1, 0}}));
    EXPECT_TRUE(poll_until([&] { return out.text().find("DSI_EVT_NET_NO_NET") != std::string::npos; }, 2000));
    EXPECT_NE(out.text().find("<<< callback received event [DSI_EVT_NET_IS_CONN]\r\n"), std::string::npos);
    EXPECT_NE(out.text().find("<<< callback received event [DSI_EVT_NET_NO_NET]\r\n"), std::string::npos);

    // Stopping an idle call still goes to the platform, which has no call.
    EXPECT_EQ(QS_WWAN_StopDataCall(1), -1);
    EXPECT_EQ(logged("dsi_stop_data_call failed."), 1u);
}

TEST(ModemServicesWwan, AnsweredBeforeTheStartReturnsTheCallIsNotLeftConnecting) {
    // The network answers at once: the connected event may beat the return
    // of the start; the record must end up connected, not connecting.
    Box box(modem_box("call_delay_ms = 0\n"));
    ASSERT_TRUE(box.ok()) << box.error();
    use_root(box);
    ASSERT_EQ(QS_WWAN_Initialize(), 0);
    for (int round = 0; round < 5; ++round) {
        ASSERT_EQ(QS_WWAN_StartDataCall(2), 0);
        ASSERT_TRUE(wait_state(2, E_QS_WWAN_CALL_STATUS_CONNECTED, 5000)) << round;
        ASSERT_EQ(QS_WWAN_StopDataCall(2), 0);
        ASSERT_TRUE(wait_state(2, E_QS_WWAN_CALL_STATUS_IDLE, 5000)) << round;
    }
}

TEST(ModemServicesWwan, RefusedDroppedAndLostCalls) {
    Box box(modem_box("call_delay_ms = 100\n"));
    ASSERT_TRUE(box.ok()) << box.error();
    use_root(box);
    ASSERT_EQ(QS_WWAN_Initialize(), 0);
    ASSERT_EQ(QS_WWAN_AddConnStateEventHandler(on_call, &g_seen), 0);

    // Refused at once: the start fails and nothing changes.
    ASSERT_TRUE(control(box, "modem call_refuse 1"));
    EXPECT_EQ(QS_WWAN_StartDataCall(1), -1);
    EXPECT_EQ(logged("dsi_start_data_call failed.result:-1"), 1u) << lib_log();
    EXPECT_EQ(state_of(1), E_QS_WWAN_CALL_STATUS_IDLE);

    // Refused by the network later: connecting, then idle.
    ASSERT_TRUE(control(box, "modem call_refuse 2"));
    ASSERT_EQ(QS_WWAN_StartDataCall(1), 0);
    ASSERT_TRUE(g_seen.wait_for(1, E_QS_WWAN_CALL_STATUS_IDLE, 5000));
    EXPECT_EQ(state_of(1), E_QS_WWAN_CALL_STATUS_IDLE);

    // Dropped by the network.
    ASSERT_TRUE(control(box, "modem call_refuse 0"));
    ASSERT_EQ(QS_WWAN_StartDataCall(1), 0);
    ASSERT_TRUE(g_seen.wait_for(1, E_QS_WWAN_CALL_STATUS_CONNECTED, 5000));
    ASSERT_TRUE(control(box, "modem drop_call"));
    ASSERT_TRUE(wait_state(1, E_QS_WWAN_CALL_STATUS_IDLE, 5000));

    // Registration lost while connected.
    ASSERT_EQ(QS_WWAN_StartDataCall(3), 0);
    ASSERT_TRUE(wait_state(3, E_QS_WWAN_CALL_STATUS_CONNECTED, 5000));
    ASSERT_TRUE(control(box, "modem register 0"));
    ASSERT_TRUE(wait_state(3, E_QS_WWAN_CALL_STATUS_IDLE, 5000));
    // And without registration the network refuses the next one.
    ASSERT_EQ(QS_WWAN_StartDataCall(3), 0);
    ASSERT_TRUE(poll_until(
        [&] {
            const auto s = g_seen.get();
            return std::count(s.begin(), s.end(), std::make_pair(3, 0)) == 2;
        },
        5000));
    EXPECT_EQ(state_of(3), E_QS_WWAN_CALL_STATUS_IDLE);
    const auto seen = g_seen.get();
    EXPECT_EQ(std::count(seen.begin(), seen.end(), std::make_pair(3, 0)), 2);
}

TEST(ModemServicesWwan, AddressesOfAnUnconnectedCall) {
    Box box(modem_box(""));
    ASSERT_TRUE(box.ok()) << box.error();
    use_root(box);
    ASSERT_EQ(QS_WWAN_Initialize(), 0);
    QS_wwan_ip_addr_t ip;
    memset(&ip, 0xFF, sizeof ip);
    EXPECT_EQ(QS_WWAN_GetIPAddr(1, &ip), -1);
    EXPECT_EQ(ip.v4_valid, 0);
    EXPECT_EQ(ip.v6_valid, 0);
    EXPECT_EQ(QS_WWAN_GetIPAddr(1, nullptr), -1);
    EXPECT_EQ(logged("info_ptr is null."), 1u);
    char dev[16];
    EXPECT_EQ(QS_WWAN_GetDeviceName(4, dev, sizeof dev), -1);
    EXPECT_EQ(logged("get deviceNamefailed, APN:4 not connected."), 1u);
    EXPECT_EQ(QS_WWAN_GetDeviceName(4, nullptr, 16), -1);
    EXPECT_EQ(logged("buf is null."), 1u);
}

TEST(ModemServicesWwan, DualStackCallReportsBothFamilies) {
    Box box(modem_box("ipv6 = 2001:db8:7::9\n"));
    ASSERT_TRUE(box.ok()) << box.error();
    use_root(box);
    ASSERT_EQ(QS_WWAN_Initialize(), 0);
    EXPECT_EQ(QS_WWAN_SetIPVersion(1, static_cast<E_QS_WWAN_IP_VERSION_T>(5)), -1);
    EXPECT_EQ(logged("ip_version:5 is invalid."), 1u);
    EXPECT_EQ(QS_WWAN_SetAuthPref(1, static_cast<E_QS_WWAN_AUTH_PREF_T>(4)), -1);
    EXPECT_EQ(logged("auth :4 is invalid."), 1u);
    ASSERT_EQ(QS_WWAN_SetAuthPref(1, E_QS_AUTH_PREF_CHAP_ONLY_ALLOWED), 0);
    ASSERT_EQ(QS_WWAN_SetIPVersion(1, E_QS_IP_VERSION_4_6), 0);
    // The modem's profile now says IPv4v6 (store line: index, context, PDP type).
    EXPECT_TRUE(box.wait_file("/var/devsim/modem_nv.txt", "profile 1 1 3 ", 2000)) << box.file("/var/devsim/modem_nv.txt");
    ASSERT_EQ(QS_WWAN_StartDataCall(1), 0);
    ASSERT_TRUE(wait_state(1, E_QS_WWAN_CALL_STATUS_CONNECTED, 5000));
    QS_wwan_ip_addr_t ip{};
    ASSERT_EQ(QS_WWAN_GetIPAddr(1, &ip), 0);
    EXPECT_EQ(ip.v4_valid, 1);
    EXPECT_EQ(ip.v6_valid, 1);
    EXPECT_EQ(ip.v6.iface_addr_s.ss_family, AF_INET6);
    EXPECT_EQ(addr_text(ip.v6.iface_addr_s), "2001:db8:7::9");
    EXPECT_EQ(addr_text(ip.v6.dnsp_addr_s), "2001:db8::53");
    EXPECT_EQ(addr_text(ip.v4.iface_addr_s), "10.64.12.34");

    // Back to IPv4 only: one address set is asked for.
    ASSERT_EQ(QS_WWAN_SetIPVersion(1, E_QS_IP_VERSION_4), 0);
    ip = QS_wwan_ip_addr_t{};
    ASSERT_EQ(QS_WWAN_GetIPAddr(1, &ip), 0);
    EXPECT_EQ(ip.v4_valid, 1);
    EXPECT_EQ(ip.v6_valid, 0);
}

TEST(ModemServicesWwan, ApnUserAndPasswordInTheModemProfile) {
    Box box(modem_box(""));
    ASSERT_TRUE(box.ok()) << box.error();
    use_root(box);
    ASSERT_EQ(QS_WWAN_Initialize(), 0);
    char apn[64], user[64], pwd[64];

    ASSERT_EQ(QS_WWAN_SetAPN(2, "corp.apn", "alice", "s3cret"), 0);
    ASSERT_EQ(QS_WWAN_GetAPN(2, apn, sizeof apn, user, sizeof user, pwd, sizeof pwd), 0);
    EXPECT_STREQ(apn, "corp.apn");
    EXPECT_STREQ(user, "alice");
    EXPECT_STREQ(pwd, "s3cret");

    // Without a user name neither is sent: the stored ones stay.
    ASSERT_EQ(QS_WWAN_SetAPN(2, "other.apn", nullptr, nullptr), 0);
    ASSERT_EQ(QS_WWAN_GetAPN(2, apn, sizeof apn, user, sizeof user, pwd, sizeof pwd), 0);
    EXPECT_STREQ(apn, "other.apn");
    EXPECT_STREQ(user, "alice");
    // Empty user name and password are stored as empty.
    ASSERT_EQ(QS_WWAN_SetAPN(2, "other.apn", "", ""), 0);
    ASSERT_EQ(QS_WWAN_GetAPN(2, apn, sizeof apn, user, sizeof user, pwd, sizeof pwd), 0);
    EXPECT_STREQ(user, "");
    EXPECT_STREQ(pwd, "");
    EXPECT_NE(box.file("/var/devsim/modem_nv.txt").find("profile 2 2 0 0 " + std::string("6f746865722e61706e - -")),
              std::string::npos)
        << box.file("/var/devsim/modem_nv.txt");

    // A value that fills the buffer is cut and not terminated.
    char small[4] = {'x', 'x', 'x', 'x'};
    ASSERT_EQ(QS_WWAN_GetAPN(2, small, 3, user, sizeof user, pwd, sizeof pwd), 0);
    EXPECT_EQ(std::string(small, 4), "othx");

    // Parameter errors come before the modem.
    EXPECT_EQ(QS_WWAN_SetAPN(2, nullptr, nullptr, nullptr), -1);
    EXPECT_EQ(logged("parameter is invalid, apn is null."), 1u);
    EXPECT_EQ(QS_WWAN_SetAPN(2, "x", "bob", nullptr), -1);
    EXPECT_EQ(logged("parameter is invalid, password is null."), 1u);
    EXPECT_EQ(QS_WWAN_GetAPN(2, apn, 1, nullptr, 1, pwd, 1), -1);
    EXPECT_EQ(logged("parameter is invalid, userName is null."), 1u);
    // An APN longer than the data services take.
    const std::string huge(200, 'a');
    EXPECT_EQ(QS_WWAN_SetAPN(2, huge.c_str(), nullptr, nullptr), -1);
    EXPECT_EQ(logged("set apn failed."), 1u);
}

TEST(ModemServicesWwan, ProfilesWithAWrongContextAreRecreatedAndALockedOneStopsPreparation) {
    // Profile 3 was renumbered by someone else and cannot be deleted yet;
    // 4 and 6..8 do not exist.
    Box box(modem_box("profiles = 1,2,3:7,5\nprofile_locked = 3\n"));
    ASSERT_TRUE(box.ok()) << box.error();
    use_root(box);
    ASSERT_EQ(QS_WWAN_Initialize(), 0);
    EXPECT_EQ(QS_WWAN_StartDataCall(1), -1);
    EXPECT_EQ(logged("delete profile:3 failed."), 1u) << lib_log();
    EXPECT_EQ(logged("dsi_srvc_hndl_init failed."), 1u);

    // Unlocked: the next operation prepares again and fixes it.
    ASSERT_TRUE(control(box, "modem profile_locked"));
    ASSERT_EQ(QS_WWAN_SetAPN(5, "five.apn", nullptr, nullptr), 0);
    const std::string store = box.file("/var/devsim/modem_nv.txt");
    for (int i = 1; i <= 8; ++i) {
        EXPECT_NE(store.find("profile " + std::to_string(i) + " " + std::to_string(i) + " "), std::string::npos)
            << i << "\n" << store;
    }
    char apn[32], user[32], pwd[32];
    ASSERT_EQ(QS_WWAN_GetAPN(3, apn, sizeof apn, user, sizeof user, pwd, sizeof pwd), 0);
    EXPECT_STREQ(apn, "");  // re-created, not the old "internet"
    ASSERT_EQ(QS_WWAN_GetAPN(2, apn, sizeof apn, user, sizeof user, pwd, sizeof pwd), 0);
    EXPECT_STREQ(apn, "internet");  // left alone

    // A later renumbering is only looked at when the service starts again.
    ASSERT_TRUE(control(box, "modem profile.4 9"));
    EXPECT_EQ(QS_WWAN_SetAPN(4, "four.apn", nullptr, nullptr), 0);
    EXPECT_NE(box.file("/var/devsim/modem_nv.txt").find("profile 4 9 "), std::string::npos);
}

// ---- device ----------------------------------------------------------------

TEST(ModemServicesDev, SerialNumbersAreKeptOnlyOnceAllThreeAreKnown) {
    Box box(modem_box("imei = 861234567890123\nesn =\nmeid =\nfw = FW_A\n"));
    ASSERT_TRUE(box.ok()) << box.error();
    use_root(box);
    char buf[40];
    ASSERT_EQ(QS_DEV_GetImei(buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "861234567890123");
    ASSERT_EQ(QS_DEV_GetEsn(buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "");
    // Not kept: a new IMEI is seen.
    ASSERT_TRUE(control(box, "modem imei 869999999999999"));
    ASSERT_EQ(QS_DEV_GetImei(buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "869999999999999");
    // All three known: kept from then on.
    ASSERT_TRUE(control(box, "modem esn 80ABCDEF"));
    ASSERT_TRUE(control(box, "modem meid A0000012345678"));
    ASSERT_EQ(QS_DEV_GetMeid(buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "A0000012345678");
    ASSERT_TRUE(control(box, "modem imei 860000000000000"));
    ASSERT_EQ(QS_DEV_GetImei(buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "869999999999999");

    // Firmware version kept after the first answer.
    ASSERT_EQ(QS_DEV_GetFirmwareVersion(buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "FW_A");
    ASSERT_TRUE(control(box, "modem fw FW_B"));
    ASSERT_EQ(QS_DEV_GetFirmwareVersion(buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "FW_A");

    // A short buffer: cut, not terminated.
    char small[6];
    memset(small, '#', sizeof small);
    ASSERT_EQ(QS_DEV_GetImei(small, 5), 0);
    EXPECT_EQ(std::string(small, 6), "86999#");
    EXPECT_EQ(QS_DEV_GetImei(nullptr, 5), -1);
    EXPECT_EQ(logged("parameter error:imei is null."), 1u);
}

TEST(ModemServicesDev, ModelManufacturerAndHardwareOverAt) {
    Box box(modem_box("model = EC-SIM\nhw = R2.1\n"));
    ASSERT_TRUE(box.ok()) << box.error();
    use_root(box);
    char buf[64];
    ASSERT_EQ(QS_DEV_GetDeviceModel(buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "EC-SIM");
    ASSERT_EQ(QS_DEV_GetManufacturer(buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "TelAgent Simulated Modem");
    ASSERT_EQ(QS_DEV_GetHardwareVersion(buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "R2.1");
    ASSERT_TRUE(control(box, "modem silent 1"));
    EXPECT_EQ(QS_DEV_GetDeviceModel(buf, sizeof buf), -1);
    EXPECT_EQ(logged("at response error."), 1u);
}

TEST(ModemServicesDev, NoModemNoSerials) {
    Box box(modem_box("service_down = dms\n"));
    ASSERT_TRUE(box.ok()) << box.error();
    use_root(box);
    char buf[40];
    EXPECT_EQ(QS_DEV_GetImei(buf, sizeof buf), -1);
    EXPECT_EQ(logged("[DMS]qmi_dms_init failed."), 1u) << lib_log();
}

// ---- SIM -------------------------------------------------------------------

TEST(ModemServicesSim, IccidDigitsSwappedAnd19DigitIccids) {
    Box box(modem_box(""));
    ASSERT_TRUE(box.ok()) << box.error();
    use_root(box);
    char buf[32];
    ASSERT_EQ(QS_SIM_GetICCID(buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "89860012345678901234");

    // 19 digits: the F nibble and the 0xFF bytes after it are filler.
    ASSERT_TRUE(control(box, "modem ef_iccid 98 68 00 21 43 65 87 09 21 F3 FF FF"));
    ASSERT_EQ(QS_SIM_GetICCID(buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "8986001234567890123");
    ASSERT_TRUE(control(box, "modem iccid 8986001234567890123"));
    ASSERT_EQ(QS_SIM_GetICCID(buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "8986001234567890123");
    // A 0xFF byte ends it early.
    ASSERT_TRUE(control(box, "modem ef_iccid 98 68 FF 21"));
    ASSERT_EQ(QS_SIM_GetICCID(buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "8986");
    // Non-decimal nibbles come out as hexadecimal digits.
    ASSERT_TRUE(control(box, "modem ef_iccid AB 0C"));
    ASSERT_EQ(QS_SIM_GetICCID(buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "BAC0");

    // Empty, all 0xFF, longer than any ICCID: nothing past the buffer.
    ASSERT_TRUE(control(box, "modem ef_iccid"));
    memset(buf, '#', sizeof buf);
    ASSERT_EQ(QS_SIM_GetICCID(buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "");
    ASSERT_TRUE(control(box, "modem ef_iccid FF FF FF FF FF FF FF FF FF FF"));
    ASSERT_EQ(QS_SIM_GetICCID(buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "");
    ASSERT_TRUE(control(box, "modem ef_iccid " + std::string(400, '1')));  // 200 bytes
    char small[9];
    memset(small, '#', sizeof small);
    ASSERT_EQ(QS_SIM_GetICCID(small, 8), 0);
    EXPECT_EQ(std::string(small, 9), std::string("1111111") + '\0' + '#');

    EXPECT_EQ(QS_SIM_GetICCID(nullptr, 8), -1);
    EXPECT_EQ(logged("parameter error. iccid is null."), 1u);
    ASSERT_TRUE(control(box, "modem cpin NOT INSERTED"));
    EXPECT_EQ(QS_SIM_GetICCID(buf, sizeof buf), -1);
}

TEST(ModemServicesSim, ImsiFromItsElementaryFile) {
    Box box(modem_box(""));
    ASSERT_TRUE(box.ok()) << box.error();
    use_root(box);
    char buf[32];
    ASSERT_EQ(QS_SIM_GetIMSI(buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "460011234567890");
    ASSERT_TRUE(control(box, "modem imsi 31026012345678"));  // 14 digits: F filler
    ASSERT_EQ(QS_SIM_GetIMSI(buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "31026012345678");
    // Bytes past the length byte are not IMSI.
    ASSERT_TRUE(control(box, "modem ef_imsi 08 49 06 10 21 43 65 87 09 55 55 55"));
    ASSERT_EQ(QS_SIM_GetIMSI(buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "460011234567890");
    // A length byte that lies, an empty file, a file of 0xFF.
    ASSERT_TRUE(control(box, "modem ef_imsi FF 49 06"));
    ASSERT_EQ(QS_SIM_GetIMSI(buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "460");
    ASSERT_TRUE(control(box, "modem ef_imsi"));
    ASSERT_EQ(QS_SIM_GetIMSI(buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "");
    ASSERT_TRUE(control(box, "modem ef_imsi FF FF FF FF"));
    ASSERT_EQ(QS_SIM_GetIMSI(buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "");
    // Short buffer.
    ASSERT_TRUE(control(box, "modem imsi 460011234567890"));
    ASSERT_EQ(QS_SIM_GetIMSI(buf, 5), 0);
    EXPECT_STREQ(buf, "4600");

    // Contents marked invalid, and a card that wants its PIN first.
    ASSERT_TRUE(control(box, "modem ef_imsi none"));
    EXPECT_EQ(QS_SIM_GetIMSI(buf, sizeof buf), -1);
    EXPECT_EQ(logged("eap_proxy: IMSI read failure read_result_valid = 0\n"), 1u) << lib_log();
    ASSERT_TRUE(control(box, "modem cpin SIM PIN"));
    EXPECT_EQ(QS_SIM_GetIMSI(buf, sizeof buf), -1);
    EXPECT_EQ(logged("qmi_uim_imsi_resp result=1, qmi_uim_imsi_resp error=52\n"), 1u) << lib_log();
}

TEST(ModemServicesSim, StateFromTheCardAndFromAt) {
    Box box(modem_box("cmee = 2\n"));
    ASSERT_TRUE(box.ok()) << box.error();
    use_root(box);
    EXPECT_EQ(QS_SIM_GetState(), E_QS_SIM_STAT_READY);
    const struct {
        const char *cmd;
        E_QS_SIM_STATES_T want;
    } cases[] = {
        {"modem pin_enabled 1", E_QS_SIM_STAT_READY_PIN}, {"modem cpin SIM PIN", E_QS_SIM_STAT_PIN_REQ},
        {"modem cpin SIM PUK", E_QS_SIM_STAT_PUK_REQ},    {"modem cpin BLOCKED", E_QS_SIM_STAT_BLOCKED},
        {"modem cpin BUSY", E_QS_SIM_STAT_BUSY},          {"modem cpin NOT INSERTED", E_QS_SIM_STAT_NOT_INSERTED},
    };
    for (const auto &c : cases) {
        ASSERT_TRUE(control(box, c.cmd));
        EXPECT_EQ(QS_SIM_GetState(), c.want) << c.cmd;
    }
    // Without the card service the AT port decides.
    ASSERT_TRUE(control(box, "modem service_down uim"));
    EXPECT_EQ(QS_SIM_GetState(), E_QS_SIM_STAT_NOT_INSERTED);
    ASSERT_TRUE(control(box, "modem cpin BUSY"));
    EXPECT_EQ(QS_SIM_GetState(), E_QS_SIM_STAT_BUSY);
    ASSERT_TRUE(control(box, "modem cpin READY"));
    EXPECT_EQ(QS_SIM_GetState(), E_QS_SIM_STAT_UNKNOWN);
    ASSERT_TRUE(control(box, "modem silent 1"));
    EXPECT_EQ(QS_SIM_GetState(), E_QS_SIM_STAT_UNKNOWN);
    EXPECT_EQ(logged("sim status AT calibration failure."), 1u);
}

TEST(ModemServicesSim, PinRequestsAreAnsweredByTheCard) {
    Box box(modem_box("cpin = SIM PIN\npin_enabled = 1\npin = 4321\n"));
    ASSERT_TRUE(box.ok()) << box.error();
    use_root(box);
    EXPECT_EQ(QS_SIM_GetPINTriesCnt(), 3);
    EXPECT_EQ(QS_SIM_VerifyPIN("0000"), -1);
    EXPECT_EQ(QS_SIM_GetPINTriesCnt(), 2);
    EXPECT_EQ(QS_SIM_VerifyPIN("4321"), 0);
    EXPECT_EQ(QS_SIM_GetState(), E_QS_SIM_STAT_READY_PIN);
    EXPECT_EQ(QS_SIM_GetPINTriesCnt(), 3);
    EXPECT_EQ(QS_SIM_Unlock("4321"), 0);
    EXPECT_EQ(QS_SIM_GetState(), E_QS_SIM_STAT_READY);
    EXPECT_EQ(QS_SIM_Lock("4321"), 0);
    EXPECT_EQ(QS_SIM_ChangePIN("4321", "1111"), 0);
    EXPECT_EQ(QS_SIM_VerifyPIN("123456789"), -1);  // too long to be a PIN
    EXPECT_EQ(QS_SIM_VerifyPIN(nullptr), -1);

    // Three wrong ones block it; the PUK opens it with a new PIN.
    ASSERT_TRUE(control(box, "modem cpin SIM PIN"));
    for (int i = 0; i < 3; ++i) EXPECT_EQ(QS_SIM_VerifyPIN("9999"), -1);
    EXPECT_EQ(QS_SIM_GetState(), E_QS_SIM_STAT_PUK_REQ);
    EXPECT_EQ(QS_SIM_GetPUKTriesCnt(), 10);
    EXPECT_EQ(QS_SIM_Unblock("00000000", "2222"), -1);
    EXPECT_EQ(QS_SIM_GetPUKTriesCnt(), 9);
    EXPECT_EQ(QS_SIM_Unblock("12345678", "2222"), 0);
    EXPECT_EQ(QS_SIM_GetState(), E_QS_SIM_STAT_READY_PIN);
    EXPECT_EQ(QS_SIM_VerifyPIN("2222"), 0);

    char num[8];
    ASSERT_EQ(QS_SIM_GetNumber(num, sizeof num), 0);
    EXPECT_STREQ(num, "+861380");  // cut and terminated
}

// ---- network ---------------------------------------------------------------

TEST(ModemServicesNw, RegistrationStateAccessTypeAndSignal) {
    Box box(modem_box("rsrp = -97\nrssi = -71\nber = 3\n"));
    ASSERT_TRUE(box.ok()) << box.error();
    use_root(box);
    E_QS_NW_RADIO_ACCESS_TYPE_T rat;
    E_QS_WWAN_NET_REG_STATE_T st;
    int rssi = 0, ber = 0;
    ASSERT_EQ(QS_NW_GetRegState(&rat, &st, &rssi, &ber), 0);
    EXPECT_EQ(rat, E_QS_NW_RAT_E_UTRAN);
    EXPECT_EQ(st, E_QS_WWAN_REG_REGISTERED_HOME_NETWORK);
    EXPECT_EQ(rssi, -97);  // RSRP on LTE
    EXPECT_EQ(ber, 3);

    ASSERT_TRUE(control(box, "modem register 5"));
    ASSERT_EQ(QS_NW_GetRegState(&rat, &st, &rssi, &ber), 0);
    EXPECT_EQ(st, E_QS_WWAN_REG_ROAMING);

    ASSERT_TRUE(control(box, "modem register 1"));
    const struct {
        const char *psrat;
        E_QS_NW_RADIO_ACCESS_TYPE_T rat;
    } rats[] = {
        {"GSM", E_QS_NW_RAT_GSM},          {"EDGE", E_QS_NW_RAT_GSMW_EGPRS},
        {"WCDMA", E_QS_NW_RAT_UTRAN},      {"HSDPA", E_QS_NW_RAT_UTRANW_HSDPA},
        {"HSPA+", E_QS_NW_RAT_UTRANW_HSDPA_AND_HSUPA}, {"TDD LTE", E_QS_NW_RAT_E_UTRAN},
        {"CDMA&EVDO", E_QS_NW_RAT_UTRAN},  {"CDMA", E_QS_NW_RAT_GSM},
        {"NONE", E_QS_NW_RAT_NO_SVC},
    };
    for (const auto &r : rats) {
        ASSERT_TRUE(control(box, std::string("modem psrat ") + r.psrat));
        ASSERT_EQ(QS_NW_GetRegState(&rat, &st, &rssi, &ber), 0) << r.psrat;
        EXPECT_EQ(rat, r.rat) << r.psrat;
    }
    ASSERT_TRUE(control(box, "modem psrat WCDMA"));
    ASSERT_EQ(QS_NW_GetRegState(&rat, &st, &rssi, &ber), 0);
    EXPECT_EQ(rssi, -71);  // dBm off LTE

    ASSERT_TRUE(control(box, "modem register 2"));
    ASSERT_EQ(QS_NW_GetRegState(&rat, &st, &rssi, &ber), 0);
    EXPECT_EQ(st, E_QS_WWAN_REG_NOT_REGISTERED_SEARCHING_NOW);
    ASSERT_TRUE(control(box, "modem register 3"));
    ASSERT_EQ(QS_NW_GetRegState(&rat, &st, &rssi, &ber), 0);
    EXPECT_EQ(st, E_QS_WWAN_REG_DENIED);

    EXPECT_EQ(QS_NW_GetRegState(&rat, &st, &rssi, nullptr), -1);
    EXPECT_EQ(logged("param error."), 1u);
    ASSERT_TRUE(control(box, "modem silent 1"));  // no AT+PSRAT answer
    EXPECT_EQ(QS_NW_GetRegState(&rat, &st, &rssi, &ber), -1);
    EXPECT_EQ(logged("get cell_service error."), 1u);
}

TEST(ModemServicesNw, OperatorNameAndPlmnTexts) {
    Box box(modem_box("plmn = 460-01\noperator = China Mobile\n"));
    ASSERT_TRUE(box.ok()) << box.error();
    use_root(box);
    char name[64], mcc[8], mnc[8];
    ASSERT_EQ(QS_NW_GetNetworkNameMccMnc(name, sizeof name, mcc, sizeof mcc, mnc, sizeof mnc), 0);
    EXPECT_STREQ(name, "China Mobile");
    EXPECT_STREQ(mcc, "460");
    EXPECT_STREQ(mnc, "01");
    ASSERT_TRUE(control(box, "modem plmn 310-026"));
    ASSERT_EQ(QS_NW_GetNetworkNameMccMnc(name, 6, mcc, sizeof mcc, mnc, 3), 0);
    EXPECT_STREQ(name, "China");
    EXPECT_STREQ(mcc, "310");
    EXPECT_STREQ(mnc, "02");  // three digits, cut to the buffer
    ASSERT_EQ(QS_NW_GetNetworkNameMccMnc(name, sizeof name, mcc, sizeof mcc, mnc, sizeof mnc), 0);
    EXPECT_STREQ(mnc, "026");
    EXPECT_EQ(QS_NW_GetNetworkNameMccMnc(name, sizeof name, nullptr, 4, mnc, 4), -1);

    // The serving cell carries the PLMN in its 3GPP coding.
    qs_cellinfo_s_type cell{};
    ASSERT_EQ(QS_NW_GetCurrCellInfo(&cell), 0);
    EXPECT_STREQ(cell.mcc, "310");
    EXPECT_STREQ(cell.mnc, "026");
    EXPECT_EQ(cell.cell_id, 123);
    EXPECT_EQ(cell.lac_id, 0x1A2B);
    EXPECT_EQ(cell.csq_rssi, -95);
    ASSERT_TRUE(control(box, "modem plmn 460-01"));
    ASSERT_EQ(QS_NW_GetCurrCellInfo(&cell), 0);
    EXPECT_STREQ(cell.mcc, "460");
    EXPECT_STREQ(cell.mnc, "01");

    qs_cellinfo_s_type n[4];
    int count = 1;
    ASSERT_EQ(QS_NW_GetNgbrCellInfo(n, &count), 0);
    EXPECT_EQ(count, 1);  // room for one
    count = 4;
    ASSERT_EQ(QS_NW_GetNgbrCellInfo(n, &count), 0);
    ASSERT_EQ(count, 2);
    EXPECT_EQ(n[1].cell_id, 305);
    EXPECT_EQ(n[1].csq_rssi, -110);
    EXPECT_STREQ(n[1].mnc, "01");
}

TEST(ModemServicesNw, CellAnswerWithoutLteBlockLeavesTheRecord) {
    Box box(modem_box("lte_cell = 0\n"));
    ASSERT_TRUE(box.ok()) << box.error();
    use_root(box);
    qs_cellinfo_s_type cell;
    memset(&cell, 0x5A, sizeof cell);
    qs_cellinfo_s_type before = cell;
    ASSERT_EQ(QS_NW_GetCurrCellInfo(&cell), 0);
    EXPECT_EQ(memcmp(&cell, &before, sizeof cell), 0);
    int count = 4;
    qs_cellinfo_s_type n[4];
    ASSERT_EQ(QS_NW_GetNgbrCellInfo(n, &count), 0);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(QS_NW_GetCurrCellInfo(nullptr), -1);
    EXPECT_EQ(logged("param error, cell_info is null."), 1u);
}

namespace {
std::mutex &g_reg_mu = *new std::mutex;
std::vector<int> &g_regs = *new std::vector<int>;
void on_reg(E_QS_WWAN_NET_REG_STATE_T s) {
    std::lock_guard<std::mutex> hold(g_reg_mu);
    g_regs.push_back(s);
}
std::vector<int> regs() {
    std::lock_guard<std::mutex> hold(g_reg_mu);
    return g_regs;
}
}  // namespace

TEST(ModemServicesNw, RegistrationIndicationsArePassedOnOnlyOnChange) {
    Box box(modem_box(""));
    ASSERT_TRUE(box.ok()) << box.error();
    use_root(box);
    ASSERT_EQ(QS_NW_AddRegStateEventHandler(on_reg), 0);
    // The first indication is passed on although the state did not change.
    ASSERT_TRUE(control(box, "modem psrat WCDMA"));
    ASSERT_TRUE(poll_until([] { return regs().size() == 1; }, 5000));
    EXPECT_EQ(regs()[0], 1);
    // The same state again: nothing; roaming is not indicated this way.
    ASSERT_TRUE(control(box, "modem psrat GSM"));
    ASSERT_TRUE(control(box, "modem roaming 1"));
    ASSERT_TRUE(control(box, "modem register 2"));
    ASSERT_TRUE(poll_until([] { return regs().size() == 2; }, 5000));
    ASSERT_TRUE(control(box, "modem register 0"));
    ASSERT_TRUE(control(box, "modem register 1"));
    ASSERT_TRUE(poll_until([] { return regs().size() == 4; }, 5000));
    EXPECT_EQ(regs(), (std::vector<int>{1, 2, 0, 1}));
}

TEST(ModemServicesNw, HandlerIsNotRegisteredWithoutTheModem) {
    Box box(modem_box("service_down = nas\n"));
    ASSERT_TRUE(box.ok()) << box.error();
    use_root(box);
    EXPECT_EQ(QS_NW_AddRegStateEventHandler(on_reg), -1);
    ASSERT_TRUE(control(box, "modem service_up nas"));
    ASSERT_TRUE(control(box, "modem register 2"));
    harness_sleep_ms(300);
    EXPECT_TRUE(regs().empty());
}

// ---- the simulated modem's own encoding and store ---------------------------

TEST(ModemServicesSim, ElementaryFileCoding) {
    EXPECT_EQ(modem_iccid_ef("8986001234567890123"), std::string("\x98\x68\x00\x21\x43\x65\x87\x09\x21\xF3", 10));
    EXPECT_EQ(modem_imsi_ef("460011234567890"), std::string("\x08\x49\x06\x10\x21\x43\x65\x87\x09", 9));
    EXPECT_EQ(modem_imsi_ef("31026012345678"), std::string("\x08\x31\x01\x62\x10\x32\x54\x76\xF8", 9));
}

TEST(ModemServicesSim, ProfilesPersistAndTheScenarioDoesNotUndoThem) {
    char tmpl[] = "/tmp/telagent-svc-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string store = std::string(tmpl) + "/nv.txt";
    {
        ModemState st(store);
        ASSERT_EQ(st.configure("profiles", "1,2:5", true), 1);
        st.update([](ModemData &d) { d.profiles[2].apn = "a b,c"; d.profiles[2].pass = "p w"; });
    }
    ModemState again(store);
    EXPECT_EQ(again.configure("profiles", "1", true), 1);  // seed: the store wins
    const ModemData d = again.snapshot();
    ASSERT_EQ(d.profiles.size(), 2u);
    EXPECT_EQ(d.profiles.at(2).ctx, 5);
    EXPECT_EQ(d.profiles.at(2).apn, "a b,c");
    EXPECT_EQ(d.profiles.at(2).pass, "p w");
    EXPECT_EQ(again.configure("profiles", "0", false), 0);
    EXPECT_EQ(again.configure("profile.17", "1", false), 0);
    EXPECT_EQ(again.configure("plmn", "46-001", false), 0);
    EXPECT_EQ(again.configure("ipv4", "10.1.1", false), 0);
    unlink(store.c_str());
    rmdir(tmpl);
}

TEST(ModemServicesWwan, QosEventsPrintTheirFlow) {
    Box box(modem_box("call_delay_ms = 50\n"));
    ASSERT_TRUE(box.ok()) << box.error();
    use_root(box);
    StdoutToFile out(box.path("/var/stdout.txt"));
    ASSERT_EQ(QS_WWAN_Initialize(), 0);
    ASSERT_EQ(QS_WWAN_StartDataCall(1), 0);
    ASSERT_TRUE(wait_state(1, E_QS_WWAN_CALL_STATUS_CONNECTED, 5000));
    ASSERT_TRUE(control(box, "modem qos 1 0x1f2e"));  // activated
    ASSERT_TRUE(control(box, "modem qos 2 0"));       // suspended: the stored flow id
    ASSERT_TRUE(control(box, "modem qos 4 7"));       // modify accepted: no suffix
    ASSERT_TRUE(control(box, "modem qos 3 0"));       // gone
    ASSERT_TRUE(control(box, "modem qos 2 0"));       // suspended again: the id was cleared
    ASSERT_TRUE(control(box, "modem qos 9 0"));       // not a status the service knows
    const std::string q = "<<< callback received event [DSI_EVT_QOS_STATUS_IND]";
    ASSERT_TRUE(poll_until([&] { return count_of(out.text(), q) == 5; }, 5000)) << out.text();
    harness_sleep_ms(200);
    const std::string t = out.text();
    EXPECT_EQ(count_of(t, q), 5u);
    EXPECT_NE(t.find(q + " ACTIVATED - QOS Flow ID [0x1f2e]\r\n" + q + " SUSPENDED - QOS Flow ID [0x1f2e]\r\n" + q +
                     "\r\n" + q + " RELEASED\r\n" + q + " SUSPENDED - QOS Flow ID [0x0]\r\n"),
              std::string::npos)
        << t;
    EXPECT_EQ(logged("Received unsupported event [9]"), 1u);
    EXPECT_EQ(state_of(1), E_QS_WWAN_CALL_STATUS_CONNECTED);  // QoS does not touch the call
}
