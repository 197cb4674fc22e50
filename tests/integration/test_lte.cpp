// The LTE connection manager against the simulated modem: the APN choice by
// the SIM's operator, the data call with its route and resolver commands,
// the identities and radio queries (in this process, on devsim's root), and
// a whole box that comes online by itself and again after the network drops
// the call.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "support/stdout_capture.h"
#include "box_harness.h"
#include "core/tavi_common.h"
#include "core/iot_config.h"
#include "core/logging.h"
#include "core/tel_agent_main.h"
#include "lib/qs_common_api/qmi/nas/src/qs_qmi_nas.h"
#include "lib/qs_common_api/qmi/uim/src/qs_qmi_uim.h"
#include "lte/lte_handle.h"
#include "platform/plat_clock.h"

namespace {

constexpr const char *kQuiet = "[smd7]\necho = 0\n";
constexpr const char *kRoute = "shell ip route add default via 10.64.12.34 dev rmnet_data0\n";
constexpr const char *kDns1 = "shell echo 'nameserver 10.64.0.53' > /etc/resolv.conf\n";
constexpr const char *kDns2 = "shell echo 'nameserver 10.64.0.54' >> /etc/resolv.conf\n";

BoxOptions modem_box(const std::string &smd7_keys) {
    BoxOptions o;
    o.start_host = false;
    o.scenario = std::string(kQuiet) + smd7_keys;
    return o;
}

// The LTE manager runs in this process, on the box's root.
void use_root(const Box &box, const std::string &ini_extra = "") {
    setenv("TELAGENT_ROOT", box.root().c_str(), 1);
    ASSERT_EQ(chdir(box.root().c_str()), 0);
    if (!ini_extra.empty()) box.put_file("/iot/conf/iot.ini", "[IotCfg]\n" + ini_extra);
    ASSERT_EQ(init_iotconfig(), 1);
    init_lte_common();
}

bool control(Box &box, const std::string &line) {
    const int fd = open(box.path("/var/devsim/control").c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    const std::string l = line + "\n";
    const bool wrote = write(fd, l.data(), l.size()) == static_cast<ssize_t>(l.size());
    close(fd);
    return wrote && box.wait_file("/var/devsim/control.log", line + " -> ok\n", 5000);
}

using Stdout = StdoutCapture;

struct Apn {
    std::string apn, user, pass;
};

Apn profile1() {
    char apn[64] = {}, user[64] = {}, pass[64] = {};
    EXPECT_EQ(QS_WWAN_GetAPN(1, apn, 63, user, 63, pass, 63), 0);
    return {apn, user, pass};
}

bool data_up(int timeout_ms) {
    return poll_until([] { return get_lte_data_status() == 1; }, timeout_ms);
}

// Supervision passes until the re-dial they schedule has brought data up.
void redial_until_up() {
    for (int i = 0; i < 40 && !data_up(200); ++i) check_lte_network();
    ASSERT_TRUE(data_up(5000));
}

}  // namespace

// ---- APN choice ------------------------------------------------------------

TEST(LteApn, Imsi46011TakesRow10NotTheEarlier46001) {
    Box box(modem_box("imsi = 460110000000001\n"));
    ASSERT_TRUE(box.ok()) << box.error();
    use_root(box);
    Stdout out(box.path("/lte_console.txt"));
    EXPECT_EQ(init_lte(), 1);
    const Apn a = profile1();
    EXPECT_EQ(a.apn, "CTNET");
    EXPECT_EQ(a.user, "ctnet@mycdma.cn");
    EXPECT_EQ(a.pass, "vnet.mobi");
    EXPECT_NE(out.text().find("-4-10/0 QS_WWAN_SetAPN-mccmnc:46011-apn:CTNET username:ctnet@mycdma.cn "
                              "password:vnet.mobi\n"),
              std::string::npos)
        << out.text();
    EXPECT_NE(out.text().find("QS_WWAN_GetAPN 2 ret = 0, APN: CTNET, user:ctnet@mycdma.cn, pwd:vnet.mobi\n"),
              std::string::npos);
    EXPECT_TRUE(data_up(5000));
}

TEST(LteApn, Imsi46009ReachesTheLastRowAndAnOperatorRowClearsOldCredentials) {
    Box box(modem_box("imsi = 460090000000001\n"));
    ASSERT_TRUE(box.ok()) << box.error();
    use_root(box);
    QS_WWAN_Initialize();  // init_lte's own initialisation then fails harmlessly
    ASSERT_EQ(QS_WWAN_SetAPN(1, "old.apn", "someone", "secret"), 0);
    EXPECT_EQ(init_lte(), 1);
    const Apn a = profile1();
    EXPECT_EQ(a.apn, "3gnet");
    EXPECT_EQ(a.user, "");
    EXPECT_EQ(a.pass, "");
}

TEST(LteApn, UnknownOperatorOrOtherWorkingModeKeepsTheProfileAndStillDials) {
    Box box(modem_box("imsi = 310260000000001\n"));
    ASSERT_TRUE(box.ok()) << box.error();
    use_root(box, "WorkingMode=1\n");
    QS_WWAN_Initialize();
    ASSERT_EQ(QS_WWAN_SetAPN(1, "fleet.apn", nullptr, nullptr), 0);
    EXPECT_EQ(init_lte(), 1);
    EXPECT_EQ(profile1().apn, "fleet.apn");
    EXPECT_TRUE(data_up(5000));
    release_lte();

    // Working mode 0 with a known operator: the table is not consulted.
    ASSERT_TRUE(control(box, "modem imsi 460110000000001"));
    box.put_file("/iot/conf/iot.ini", "[IotCfg]\nWorkingMode=0\n");
    ASSERT_EQ(init_iotconfig(), 1);
    Stdout out(box.path("/lte_console.txt"));
    EXPECT_EQ(init_lte(), 1);
    EXPECT_EQ(out.text().find("QS_WWAN_SetAPN"), std::string::npos) << out.text();
    EXPECT_EQ(profile1().apn, "fleet.apn");
    EXPECT_TRUE(data_up(5000));
}

// ---- call, routes, drop and re-dial --------------------------------------

TEST(LteCall, ConnectedCallSetsRouteAndResolverAndAReDialAfterADropSetsThemAgain) {
    Box box(modem_box(""));
    ASSERT_TRUE(box.ok()) << box.error();
    use_root(box);
    plat_clock_fake(1710498030);  // supervision's sleeps return at once; the modem keeps real time
    ASSERT_EQ(init_lte(), 1);
    ASSERT_TRUE(data_up(5000));
    ASSERT_TRUE(box.wait_actions(kDns2, 5000)) << box.actions();
    std::string actions = box.actions();
    EXPECT_EQ(count_of(actions, kRoute), 1u);
    EXPECT_LT(actions.find(kRoute), actions.find(kDns1));
    EXPECT_LT(actions.find(kDns1), actions.find(kDns2));
    EXPECT_EQ(actions.find("ip route del default"), std::string::npos);  // nothing to replace yet
    EXPECT_EQ(get_lte_reg_flag(), 3);
    // The imei was read from the modem and published.
    EXPECT_EQ(getimei(), 864000000000017LL);

    ASSERT_TRUE(control(box, "modem drop_call"));
    // Idle: data down and the boot code's bit of value 2 set.
    ASSERT_TRUE(poll_until([] { return get_lte_data_status() == 0 && (get_sysboot_code() & 2) == 2; }, 5000));

    // Passes at counts 0, 1, 2 wait; the one at 3 re-dials.
    for (int i = 0; i < 3; ++i) {
        check_lte_network();
        EXPECT_EQ(get_lte_data_status(), 0);
    }
    check_lte_network();
    ASSERT_TRUE(data_up(5000));
    ASSERT_TRUE(poll_until([&] { return count_of(box.actions(), kDns2) == 2; }, 5000)) << box.actions();
    actions = box.actions();
    EXPECT_EQ(count_of(actions, kRoute), 2u);
    const size_t del = actions.find("shell ip route del default\n");
    ASSERT_NE(del, std::string::npos) << actions;
    EXPECT_LT(del, actions.rfind(kRoute));
    EXPECT_GT(del, actions.find(kRoute));
    check_lte_network();
    EXPECT_EQ(get_lte_invalid_count(), 0);
}

TEST(LteCall, FailedAddressQueryStillRemovesTheStaleDefaultRouteAndSaysSo) {
    Box box(modem_box(""));
    ASSERT_TRUE(box.ok()) << box.error();
    use_root(box);
    mLogInit(2, LOG_TYPE_CONSOLE);
    Stdout out(box.path("/lte_console.txt"));
    plat_clock_fake(1710498030);
    ASSERT_EQ(init_lte(), 1);
    ASSERT_TRUE(data_up(5000));
    ASSERT_TRUE(box.wait_actions(kDns2, 5000)) << box.actions();

    // The next call comes up but its addresses cannot be read.
    ASSERT_TRUE(control(box, "modem runtime_refuse 1"));
    ASSERT_TRUE(control(box, "modem drop_call"));
    ASSERT_TRUE(poll_until([] { return get_lte_data_status() == 0; }, 5000));
    redial_until_up();
    ASSERT_TRUE(box.wait_actions("shell ip route del default\n", 5000)) << box.actions();
    EXPECT_TRUE(poll_until([&] { return out.text().find("address query failed") != std::string::npos; }, 2000))
        << out.text();
    std::string actions = box.actions();
    EXPECT_EQ(count_of(actions, kRoute), 1u) << actions;  // no route through an unknown address
    EXPECT_GT(actions.find("shell ip route del default\n"), actions.find(kRoute));

    // Addresses readable again: the following call routes normally, and the
    // route already removed is not removed a second time.
    ASSERT_TRUE(control(box, "modem runtime_refuse 0"));
    ASSERT_TRUE(control(box, "modem drop_call"));
    ASSERT_TRUE(poll_until([] { return get_lte_data_status() == 0; }, 5000));
    redial_until_up();
    ASSERT_TRUE(poll_until([&] { return count_of(box.actions(), kRoute) == 2; }, 5000)) << box.actions();
    actions = box.actions();
    EXPECT_EQ(count_of(actions, "shell ip route del default\n"), 1u) << actions;
}

TEST(LteCall, SimServiceLostAndBackTheBoxDialsAgainWithoutARestart) {
    Box box(modem_box(""));
    ASSERT_TRUE(box.ok()) << box.error();
    use_root(box);
    plat_clock_fake(1710498030);
    ASSERT_EQ(init_lte(), 1);
    ASSERT_TRUE(data_up(5000));

    // The card service goes away: its client is released, and while it is
    // gone no re-dial can read the IMSI.
    ASSERT_TRUE(control(box, "modem service_down uim"));
    ASSERT_TRUE(poll_until([] { return get_qmi_uim_svc_client() == nullptr; }, 5000));
    ASSERT_TRUE(control(box, "modem drop_call"));
    ASSERT_TRUE(poll_until([] { return get_lte_data_status() == 0; }, 5000));
    for (int i = 0; i < 8; ++i) check_lte_network();
    EXPECT_FALSE(data_up(300));

    // Back: the next re-dial makes a new client, reads the IMSI and dials.
    ASSERT_TRUE(control(box, "modem service_up uim"));
    redial_until_up();
    EXPECT_NE(get_qmi_uim_svc_client(), nullptr);
    char imsi[32] = {};
    EXPECT_GE(get_imsi(imsi), 5);
}

TEST(LteCall, NetworkServiceUpAfterStartGetsTheRegistrationHandler) {
    Box box(modem_box("service_down = nas\n"));
    ASSERT_TRUE(box.ok()) << box.error();
    use_root(box);  // registering the handler fails: the service is not there
    plat_clock_fake(1710498030);
    ASSERT_EQ(init_lte(), 1);
    ASSERT_TRUE(data_up(5000));
    ASSERT_TRUE(control(box, "modem service_up nas"));
    // The passes ask; the LTE manager's worker registers the handler.
    for (int i = 0; i < 6; ++i) check_lte_network();
    ASSERT_TRUE(poll_until([] { return lte_worker_busy() == 0; }, 10000));
    // Losing registration now reaches the manager: the call is released.
    ASSERT_TRUE(control(box, "modem register 0"));
    EXPECT_TRUE(poll_until([] { return get_lte_reg_flag() == 0 && get_lte_data_status() == 0; }, 5000));

    // The service lost again and back: registered again, indications arrive.
    ASSERT_TRUE(control(box, "modem register 1"));
    ASSERT_TRUE(poll_until([] { return get_lte_reg_flag() == 1; }, 5000));
    ASSERT_TRUE(control(box, "modem service_down nas"));
    ASSERT_TRUE(poll_until([] { return get_qmi_nas_svc_client() == nullptr; }, 5000));
    ASSERT_TRUE(control(box, "modem service_up nas"));
    for (int i = 0; i < 6; ++i) check_lte_network();
    ASSERT_TRUE(poll_until([] { return lte_worker_busy() == 0; }, 10000));
    EXPECT_NE(get_qmi_nas_svc_client(), nullptr);
    ASSERT_TRUE(control(box, "modem register 0"));
    EXPECT_TRUE(poll_until([] { return get_lte_reg_flag() == 0; }, 5000));
}

TEST(LteCall, DualStackCallAddsTheIpv6SetAndACommandPastItsLimitIsNotRun) {
    Box box(modem_box("ipv6 = 2001:db8:1234:5678:9abc:def0:1234:5678\ndns6_1 = 2001:db8::53\n"));
    ASSERT_TRUE(box.ok()) << box.error();
    use_root(box);
    mLogInit(2, LOG_TYPE_CONSOLE);
    Stdout out(box.path("/lte_console.txt"));
    QS_WWAN_Initialize();
    ASSERT_EQ(QS_WWAN_SetIPVersion(1, E_QS_IP_VERSION_4_6), 0);
    ASSERT_EQ(init_lte(), 1);
    ASSERT_TRUE(data_up(5000));
    ASSERT_TRUE(box.wait_actions("shell echo 'nameserver 2001:db8::54' >> /etc/resolv.conf\n", 5000)) << box.actions();
    const std::string actions = box.actions();
    EXPECT_NE(actions.find(kRoute), std::string::npos);
    // The IPv6 primary DNS replaces the resolver file after the IPv4 lines.
    const size_t v6dns = actions.find("shell echo 'nameserver 2001:db8::53' > /etc/resolv.conf\n");
    ASSERT_NE(v6dns, std::string::npos) << actions;
    EXPECT_GT(v6dns, actions.find(kDns2));
    // "ip route add default via <39 characters> dev rmnet_data0" does not fit
    // 64 bytes: cut, it would name another gateway, so it is not run at all.
    EXPECT_EQ(actions.find("via 2001:"), std::string::npos) << actions;
    EXPECT_EQ(count_of(actions, "ip route add default"), 1u);
    EXPECT_TRUE(poll_until([&] { return out.text().find("command too long, not run: ip route add default via "
                                                         "2001:db8:1234:5678:9abc:def0:1234:5678") !=
                                        std::string::npos; },
                           2000))
        << out.text();
    EXPECT_NE(out.text().find("Interface IPV6 address =2001:db8:1234:5678:9abc:def0:1234:5678\n"), std::string::npos);
}

TEST(LteCall, LosingRegistrationStopsTheCallAndRegainingItDialsOnTheNextPass) {
    Box box(modem_box(""));
    ASSERT_TRUE(box.ok()) << box.error();
    use_root(box);
    plat_clock_fake(1710498030);
    ASSERT_EQ(init_lte(), 1);
    ASSERT_TRUE(data_up(5000));

    ASSERT_TRUE(control(box, "modem reg 4"));  // unknown: not registered
    ASSERT_TRUE(poll_until([] { return get_lte_reg_flag() == 0 && get_lte_data_status() == 0; }, 5000));
    ASSERT_TRUE(control(box, "modem reg 5"));  // roaming counts as registered
    ASSERT_TRUE(poll_until([] { return get_lte_reg_flag() == 1; }, 5000));
    check_lte_network();  // counter 0: the registration alone asks for the dial
    EXPECT_TRUE(data_up(5000));
    EXPECT_TRUE(poll_until([] { return get_lte_reg_flag() == 3; }, 5000));
}

// ---- identities and radio queries ----------------------------------------

TEST(LteQueries, IdentitiesCellAndSerialListComeFromTheModem) {
    Box box(modem_box("sn = BOX123456789\nimsi = 460011234567890\niccid = 89860012345678901234\npci = 321\n"));
    ASSERT_TRUE(box.ok()) << box.error();
    use_root(box);
    char buf[64] = {};
    EXPECT_EQ(get_imei(buf), 15);
    EXPECT_STREQ(buf, "864000000000017");
    EXPECT_EQ(get_iccid(buf), 20);
    EXPECT_STREQ(buf, "89860012345678901234");
    EXPECT_EQ(get_imsi(buf), 15);
    EXPECT_STREQ(buf, "460011234567890");
    EXPECT_EQ(get_sn(buf), 12);
    EXPECT_STREQ(buf, "BOX123456789");

    int mcc = 0, mnc = 0, cell = 0, area = 0, sig = 0;
    EXPECT_EQ(get_lte_mccmnc(&mcc, &mnc), 1);
    EXPECT_EQ(mcc, 460);
    EXPECT_EQ(mnc, 1);
    mcc = mnc = 0;
    EXPECT_EQ(get_lte_cellinfo(&mcc, &mnc, &cell, &area, &sig), 1);
    EXPECT_EQ(mcc, 460);
    EXPECT_EQ(mnc, 1);
    EXPECT_EQ(cell, 321);  // the serving cell as the modem names it (physical id)
    EXPECT_EQ(area, 0x1A2B);
    EXPECT_NE(sig, 0);

    ASSERT_TRUE(control(box, "modem lte_cell 0"));
    EXPECT_EQ(get_lte_cellinfo(&mcc, &mnc, &cell, &area, &sig), 1);
    EXPECT_EQ(mcc | mnc | cell | area | sig, 0);

    EXPECT_EQ(load_sn_info(), 1);
    EXPECT_EQ(box.file("/iot/conf/sn_list.txt"), "89860012345678901234;BOX123456789;864000000000017;;");
    modem_info_t info{};
    ASSERT_EQ(get_modem_info(&info), 1);
    EXPECT_STREQ(info.sn, "BOX123456789");
}

// ---- the whole box --------------------------------------------------------

TEST(LteBox, ComesOnlineByItselfAndAgainAfterTheNetworkDropsTheCall) {
    BoxOptions o;
    o.scenario = kQuiet;
    Box box(o);
    ASSERT_TRUE(box.ok()) << box.error();
    ASSERT_TRUE(box.wait_actions(kDns2, 20000)) << box.actions() << box.console();
    EXPECT_TRUE(box.wait_console("QS_WWAN_StartDataCall ret=0!", 1000)) << box.console();
    // ICCID, serial number, IMEI and the BLE bridge's MAC as the simulated MCU reports it.
    ASSERT_TRUE(box.wait_file("/iot/conf/sn_list.txt",
                              "89860012345678901234;SIM0000000001;864000000000017;C0:11:22:33:44:55;", 20000))
        << box.file("/iot/conf/sn_list.txt");
    EXPECT_EQ(count_of(box.actions(), kRoute), 1u);

    ASSERT_TRUE(control(box, "modem drop_call"));
    // The supervision loop re-dials at its fourth pass without data.
    ASSERT_TRUE(box.wait_console("--registered isp success, dial network.\n", 15000)) << box.console();
    ASSERT_TRUE(poll_until([&] { return count_of(box.actions(), kDns2) == 2; }, 15000)) << box.actions();
    const std::string actions = box.actions();
    EXPECT_EQ(count_of(actions, kRoute), 2u);
    EXPECT_NE(actions.find("shell ip route del default\n"), std::string::npos);

    // Online again: supervision keeps the call and dials no more.
    const size_t dials = count_of(box.console(), "dial network.");
    harness_sleep_ms(4000);
    EXPECT_EQ(count_of(box.console(), "dial network."), dials);
    EXPECT_EQ(count_of(box.actions(), kRoute), 2u);
}

// The card service lost and back on a running box: the re-dial that follows
// succeeds without a restart, and the MQTT session (torn down when the call
// went) is built again and subscribes.
TEST(LteBox, SimServiceLostAndBackTheBoxReachesTheBrokerAgain) {
    Broker broker;
    ASSERT_TRUE(broker.ok()) << broker.error();
    BoxOptions o;
    o.scenario = kQuiet;
    o.mqtt_port = broker.port();
    Box box(o);
    ASSERT_TRUE(box.ok()) << box.error();
    const std::string subscribed = ": cmd topic:";
    ASSERT_TRUE(box.wait_console(subscribed, 60000)) << box.console();
    const size_t sessions = count_of(box.console(), subscribed);

    ASSERT_TRUE(control(box, "modem service_down uim"));
    ASSERT_TRUE(control(box, "modem drop_call"));
    // Re-dials fail while the card service is gone: no IMSI, no call.
    ASSERT_TRUE(box.wait_console("--registered isp success, dial network.\n", 20000)) << box.console();
    harness_sleep_ms(3000);
    EXPECT_EQ(count_of(box.actions(), kDns2), 1u) << box.actions();

    ASSERT_TRUE(control(box, "modem service_up uim"));
    ASSERT_TRUE(poll_until([&] { return count_of(box.actions(), kDns2) == 2; }, 30000)) << box.actions();
    EXPECT_TRUE(poll_until([&] { return count_of(box.console(), subscribed) > sessions; }, 60000))
        << "no new MQTT session after the card service came back\n"
        << box.console();
}
