// The agent's modem access against the simulated modem: the AT channel and
// the modem library's exchange over the real smd7 pseudo-terminal, the QMI
// clients over the simulation socket, one modem state behind both, the
// persistent NV/EFS store and the scenario and control behaviours.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <string>

#include "box_harness.h"
#include "lib/qs_common_api/dev/qs_at.h"
#include "lib/qs_common_api/platform/qs_log/src/qs_log.h"
#include "lib/qs_common_api/qmi/dms/src/qs_qmi_dms.h"
#include "lib/qs_common_api/qmi/nas/src/qs_qmi_nas.h"
#include "lib/qs_common_api/qmi/uim/src/qs_qmi_uim.h"
#include "lte/at_channel.h"
#include "lte/lte_handle.h"
#include "platform/sim/qmi_client_sim.h"
#include "platform/qmi_services_v01.h"

namespace {

constexpr const char *kQuiet = "[smd7]\necho = 0\n";

BoxOptions modem_box(const std::string &scenario) {
    BoxOptions o;
    o.start_host = false;
    o.scenario = scenario;
    return o;
}

// The agent runs in this process, on the box's root.
void use_root(const Box &box) {
    setenv("TELAGENT_ROOT", box.root().c_str(), 1);
    ASSERT_EQ(chdir(box.root().c_str()), 0);
    init_lte_common();
}

std::string at(const std::string &cmd, int cap = 508, int *rc = nullptr) {
    char buf[700] = {};
    const int n = exec_at(cmd.c_str(), buf, cap);
    if (rc != nullptr) *rc = n;
    return std::string(buf);
}

// A control command, applied once devsim has logged it.
bool control(Box &box, const std::string &line) {
    const int fd = open(box.path("/var/devsim/control").c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    const std::string l = line + "\n";
    const bool wrote = write(fd, l.data(), l.size()) == static_cast<ssize_t>(l.size());
    close(fd);
    return wrote && box.wait_file("/var/devsim/control.log", line + " -> ok\n", 5000);
}

int op_mode() {
    dms_get_operating_mode_resp_msg_v01 r{};
    const int rc = qmi_client_send_msg_sync(get_qmi_dms_svc_client(), QMI_DMS_GET_OPERATING_MODE_REQ_V01, nullptr, 0,
                                            &r, sizeof r, 2000);
    return rc == QMI_NO_ERR ? r.operating_mode : -1;
}

std::atomic<int> g_reg_state{-1};
std::atomic<int> g_indications{0};
void on_serving(const nas_serving_system_type_v01 *ss) {
    g_reg_state.store(ss->registration_state);
    g_indications.fetch_add(1);
}

}  // namespace

TEST(Modem, ServiceCommandsGetTheirAnswers) {
    Box box(modem_box(std::string(kQuiet) + "csq = 17,99\nsn = BOX123456789\n"));
    ASSERT_TRUE(box.ok()) << box.error();
    use_root(box);

    EXPECT_EQ(at("AT+CSQ\r\n", 124), "\r\n+CSQ: 17,99\r\n\r\nOK\r\n");
    EXPECT_NE(at("AT+CPIN?\r\n", 124).find("READY"), std::string::npos);
    EXPECT_NE(at("AT+PSRAT\r\n", 124).find("LTE"), std::string::npos);
    EXPECT_NE(at("AT+LCTSN=0,5\r\n", 124).find("+LCTSN: \"BOX123456789\""), std::string::npos);
    EXPECT_NE(at("at+nvburs=2\r\n").find("nvburs: 0"), std::string::npos);
    EXPECT_EQ(at("AT+NOSUCH\r\n", 124), "\r\nERROR\r\n");
    EXPECT_NE(at("AT+RESET\r\n", 124).find("OK"), std::string::npos);

    // The modem library's own exchange: no lock, 128-byte chunks, final responses.
    for (const char *cmd : {"AT+CGMM", "AT+CGMI", "AT+SFHW", "AT+CPIN?", "AT+CNUM", "AT+PSRAT"}) {
        char reply[kQsAtReplySize] = {};
        EXPECT_EQ(qs_at_exchange(cmd, reply, 1), 0) << cmd;
        EXPECT_NE(strstr(reply, "OK"), nullptr) << cmd << ": " << reply;
    }
}

TEST(Modem, EchoedNvReadPutsTheFlagWhereTheFactoryReadersLook) {
    Box box(modem_box("[smd7]\nnv.50003 = F00\n"));  // echo on, as the real port
    ASSERT_TRUE(box.ok()) << box.error();
    use_root(box);
    int rc = 0;
    const std::string r = at("at+nvrw=0,50003\r\n", 508, &rc);
    EXPECT_GE(rc, 2);
    ASSERT_GT(r.size(), 26u) << r;
    EXPECT_EQ(r.substr(0, 17), "at+nvrw=0,50003\r\n");
    EXPECT_EQ(r[26], 'F') << r;
}

TEST(Modem, NvEfsAndContextsPersistAcrossModemRestartsAndAScenarioDoesNotUndoThem) {
    const std::string sc = std::string(kQuiet) +
                           "nv.850 = 0002\nefs./nv/item_files/ims/IMS_enable = 01\nnvburs = 1\ncgdcont = 1,2,2\n";
    BoxOptions o = modem_box(sc);
    Box box(o);
    ASSERT_TRUE(box.ok()) << box.error();
    use_root(box);

    EXPECT_NE(at("at+nvrw=0,850\r\n").find("VRW:\"0002"), std::string::npos);
    EXPECT_NE(at("at+nvburs=2\r\n").find("nvburs: 1"), std::string::npos);
    const std::string list = at("at+cgdcont?\r\n", 688);
    const size_t first = list.find("+CGDCONT: 2,");
    ASSERT_NE(first, std::string::npos) << list;
    EXPECT_NE(list.find("+CGDCONT: 2,", first + 1), std::string::npos) << list;  // the duplicate

    // The fixes the provisioning checks make.
    EXPECT_NE(at("at+nvrw=1,850,\"0001\"\r\n").find("OK"), std::string::npos);
    EXPECT_NE(at("at+efsrw=1,0,\"/nv/item_files/ims/IMS_enable\",\"00\"\r\n").find("OK"), std::string::npos);
    EXPECT_NE(at("at+nvburs=0\r\n").find("OK"), std::string::npos);
    EXPECT_NE(at("at+cgdcont=2\r\n").find("OK"), std::string::npos);

    ASSERT_EQ(box.stop_devsim(), 0);
    ASSERT_EQ(box.start_devsim(o), 0) << box.error();  // same scenario again
    EXPECT_NE(at("at+nvrw=0,850\r\n").find("VRW:\"0001"), std::string::npos);
    EXPECT_NE(at("at+efsrw=0,0,\"/nv/item_files/ims/IMS_enable\"\r\n").find("EFSRW:00"), std::string::npos);
    EXPECT_NE(at("at+nvburs=2\r\n").find("nvburs: 0"), std::string::npos);
    EXPECT_EQ(at("at+cgdcont?\r\n", 688).find("+CGDCONT: 2,"), std::string::npos);
    EXPECT_NE(at("at+cgdcont?\r\n", 688).find("+CGDCONT: 1,"), std::string::npos);
    // Unknown items and files are errors, not empty values.
    EXPECT_EQ(at("at+nvrw=0,77777\r\n"), "\r\nERROR\r\n");
    EXPECT_EQ(at("at+efsrw=0,0,\"/nv/none\"\r\n"), "\r\nERROR\r\n");
}

TEST(Modem, SilentSlowNoisyAndOverlongModems) {
    Box box(modem_box(kQuiet));
    ASSERT_TRUE(box.ok()) << box.error();
    use_root(box);

    ASSERT_TRUE(control(box, "modem silent 1"));
    int rc = 0;
    EXPECT_EQ(at("AT+CSQ\r\n", 124, &rc), "");
    EXPECT_EQ(rc, 8);  // the written count
    char reply[kQsAtReplySize] = {};
    EXPECT_EQ(qs_at_exchange("AT+CGMM", reply, 0), 1);
    ASSERT_TRUE(control(box, "modem silent 0"));

    // Slower than the silence timeout: the exchange gives up with nothing.
    ASSERT_TRUE(control(box, "modem delay_ms 2600"));
    EXPECT_EQ(at("AT+CSQ\r\n", 124, &rc), "");
    EXPECT_EQ(rc, 8);
    // Let the late answer land before the next exchange starts ("+CSQ" on the wire).
    ASSERT_TRUE(poll_until([&] { return box.file("/var/devsim/smd7.log").find("2b 43 53 51") != std::string::npos; },
                           5000));
    ASSERT_TRUE(control(box, "modem delay_ms 400"));
    EXPECT_EQ(at("AT+CSQ\r\n", 124), "\r\n+CSQ: 23,99\r\n\r\nOK\r\n");
    ASSERT_TRUE(control(box, "modem delay_ms 0"));

    ASSERT_TRUE(control(box, "modem noise 1"));
    const std::string noisy = at("AT+CPIN?\r\n", 124);
    EXPECT_NE(noisy.rfind("\r\n+CPIN: READY\r\n\r\nOK\r\n"), std::string::npos) << noisy;
    EXPECT_NE(noisy.rfind("\r\n+CPIN:", 0), 0u);  // something else came first
    ASSERT_TRUE(control(box, "modem noise 0"));

    ASSERT_TRUE(control(box, "modem overlong 1"));
    char buf[128] = {};
    EXPECT_EQ(exec_at("AT+CSQ\r\n", buf, 124), 124);
    EXPECT_EQ(buf[124], '\0');
    EXPECT_EQ(strstr(buf, "OK"), nullptr);  // cut before the final response
    // Chunk after chunk: the library keeps the last one, which holds the OK.
    char lib[kQsAtReplySize] = {};
    EXPECT_EQ(qs_at_exchange("AT+CGMM", lib, 0), 0);
    EXPECT_NE(strstr(lib, "OK"), nullptr);
    ASSERT_TRUE(control(box, "modem overlong 0"));
    EXPECT_EQ(at("AT+CSQ\r\n", 124), "\r\n+CSQ: 23,99\r\n\r\nOK\r\n");  // nothing stale left
}

TEST(Modem, RadioStateIsOneForAtAndQmi) {
    Box box(modem_box(kQuiet));
    ASSERT_TRUE(box.ok()) << box.error();
    use_root(box);
    qs_qmi_nas_set_serving_system_handler(on_serving);
    ASSERT_EQ(qs_qmi_dms_client_init(), 0);
    ASSERT_EQ(qs_qmi_nas_client_init(), 0);
    EXPECT_EQ(op_mode(), DMS_OP_MODE_ONLINE_V01);

    EXPECT_NE(at("AT+CFUN=0\r\n", 124).find("OK"), std::string::npos);
    ASSERT_TRUE(poll_until([] { return g_indications.load() >= 1; }, 5000));
    EXPECT_EQ(g_reg_state.load(), NAS_NOT_REGISTERED_V01);
    EXPECT_EQ(op_mode(), DMS_OP_MODE_LOW_POWER_V01);
    EXPECT_NE(at("AT+CSQ\r\n", 124).find("+CSQ: 99,99"), std::string::npos);

    EXPECT_NE(at("AT+CFUN=1\r\n", 124).find("OK"), std::string::npos);
    ASSERT_TRUE(poll_until([] { return g_indications.load() >= 2; }, 5000));
    EXPECT_EQ(g_reg_state.load(), NAS_REGISTERED_V01);
    EXPECT_EQ(op_mode(), DMS_OP_MODE_ONLINE_V01);
    nas_get_serving_system_resp_msg_v01 ss{};
    ASSERT_EQ(qmi_client_send_msg_sync(get_qmi_nas_svc_client(), QMI_NAS_GET_SERVING_SYSTEM_REQ_MSG_V01, nullptr, 0,
                                       &ss, sizeof ss, 2000),
              QMI_NO_ERR);
    EXPECT_EQ(ss.serving_system.registration_state, NAS_REGISTERED_V01);
    EXPECT_EQ(ss.serving_system.radio_if[0], NAS_RADIO_IF_LTE_V01);
}

TEST(Modem, ServiceDownReleasesTheClientAndTheNextRequestAfterUpMakesANewOne) {
    Box box(modem_box(std::string(kQuiet) + "service_down = uim\n"));
    ASSERT_TRUE(box.ok()) << box.error();
    use_root(box);
    EXPECT_EQ(qs_qmi_uim_client_init(), -1);  // down from the start
    ASSERT_EQ(qs_qmi_nas_client_init(), 0);
    ASSERT_EQ(qs_qmi_dms_client_init(), 0);
    const int made = qmi_client_sim_instances();

    ASSERT_TRUE(control(box, "modem service_down nas"));
    ASSERT_TRUE(poll_until([] { return get_qmi_nas_svc_client() == nullptr; }, 5000));
    nas_get_serving_system_resp_msg_v01 ss{};
    // While it is down, a request makes no client.
    EXPECT_EQ(qs_qmi_nas_client_init(), -1);
    EXPECT_EQ(get_qmi_nas_svc_client(), nullptr);
    EXPECT_EQ(op_mode(), DMS_OP_MODE_ONLINE_V01);  // the other services carry on
    ASSERT_TRUE(control(box, "modem service_up nas"));
    EXPECT_EQ(qs_qmi_nas_client_init(), 0);
    ASSERT_NE(get_qmi_nas_svc_client(), nullptr);
    EXPECT_EQ(qmi_client_sim_instances(), made + 1);
    EXPECT_EQ(qmi_client_send_msg_sync(get_qmi_nas_svc_client(), QMI_NAS_GET_SERVING_SYSTEM_REQ_MSG_V01, nullptr, 0,
                                       &ss, sizeof ss, 2000),
              QMI_NO_ERR);
    EXPECT_EQ(qs_qmi_nas_client_init(), 0);  // one client, not one per request
    EXPECT_EQ(qmi_client_sim_instances(), made + 1);

    // DMS the same way.
    ASSERT_TRUE(control(box, "modem service_down dms"));
    ASSERT_TRUE(poll_until([] { return get_qmi_dms_svc_client() == nullptr; }, 5000));
    ASSERT_TRUE(control(box, "modem service_up dms"));
    EXPECT_EQ(qs_qmi_dms_client_init(), 0);
    EXPECT_NE(get_qmi_dms_svc_client(), nullptr);
    EXPECT_EQ(op_mode(), DMS_OP_MODE_ONLINE_V01);

    // A service that was never made can be made once it is back.
    ASSERT_TRUE(control(box, "modem service_up uim"));
    EXPECT_EQ(qs_qmi_uim_client_init(), 0);
}
