// LTE connection manager against a scripted modem on the AT port, with the
// modem services absent (every data-call and SIM request fails): the
// supervision schedule, the handlers, the AT-based queries and the radio
// switches.  The services' answers are covered by tests/integration/test_lte.
#include "support/stdout_capture.h"
#include "lte/lte_handle.h"
#include "core/tavi_common.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <atomic>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "core/iot_config.h"
#include "core/logging.h"
#include "core/tel_agent_main.h"
#include "platform/plat_clock.h"
#include "support/child.h"
#include "support/pty_modem.h"
#include "support/test_root.h"
#include "vehicle/factory_test.h"

namespace {

constexpr time_t kT = 1710498030;  // 2024-03-15 10:20:30 UTC
constexpr const char *kLog = "/iot/log/20240315/10.log";

using Stdout = StdoutCapture;

size_t count_of_text(const std::string &hay, const std::string &needle) {
    size_t n = 0;
    for (size_t at = hay.find(needle); at != std::string::npos; at = hay.find(needle, at + needle.size())) ++n;
    return n;
}

// The modem's AT answers by command; anything unknown gets ERROR.
std::map<std::string, std::string> default_answers() {
    return {
        {"AT+CSQ", modem_answer("+CSQ: 23,99")},
        {"AT+CFUN=0", "\r\nOK\r\n"},
        {"AT+CFUN=1", "\r\nOK\r\n"},
        {"AT+LCTSN=0,5", modem_answer("+LCTSN: \"SN0123456789\"")},
        {"AT+CPIN?", modem_answer("+CPIN: READY")},
        {"AT+RESET", "\r\nOK\r\n"},
        {"AT+PSRAT", modem_answer("+PSRAT: FDD LTE")},
    };
}

ModemScript table(std::map<std::string, std::string> answers) {
    return [answers](const std::string &cmd) {
        auto it = answers.find(cmd);
        return std::vector<ModemChunk>{{0, it != answers.end() ? it->second : "\r\nERROR\r\n"}};
    };
}

// Answers the n-th time a command comes with the n-th text (the last repeats).
ModemScript sequence(const std::string &command, std::vector<std::string> replies) {
    auto n = std::make_shared<size_t>(0);
    return [command, replies, n](const std::string &cmd) {
        if (cmd != command) return std::vector<ModemChunk>{{0, "\r\nERROR\r\n"}};
        const std::string r = replies[std::min(*n, replies.size() - 1)];
        ++*n;
        return std::vector<ModemChunk>{{0, r}};
    };
}

class Lte : public ::testing::Test {
protected:
    void SetUp() override {
        plat_clock_fake(kT);  // the schedule's sleeps return at once
        mLogInit(2, LOG_TYPE_FILE);
        configure("WorkingMode=1\n");
        init_lte_common();
    }
    void configure(const std::string &keys) {
        root.write("/iot/conf/iot.ini", "[IotCfg]\n" + keys);
        ASSERT_EQ(init_iotconfig(), 1);
    }
    std::string smd7() const { return root.at("/dev/smd7"); }
    size_t count(const std::vector<std::string> &cmds, const std::string &c) const {
        return static_cast<size_t>(std::count(cmds.begin(), cmds.end(), c));
    }
    TestRoot root;
};

// What one supervision pass did, as seen on the console and by the modem.
struct Pass {
    std::string out;
    std::vector<std::string> at;
    bool redial() const { return out.find("--registered isp success, dial network.\n") != std::string::npos; }
    bool printed_count() const { return out.find("lte:invalid_count ") != std::string::npos; }
    bool radio_cycle() const {
        // A signal refresh in the same pass (1100) comes first.
        std::vector<std::string> radio = at;
        if (!radio.empty() && radio.front() == "AT+CSQ") radio.erase(radio.begin());
        return out.find("-- airplane on off re init lte \n") != std::string::npos &&
               radio == std::vector<std::string>{"AT+CFUN=0", "AT+CFUN=1"};
    }
    bool csq() const { return std::find(at.begin(), at.end(), "AT+CSQ") != at.end(); }
};

bool poll_until_true(const std::function<bool()> &cond, int timeout_ms) {
    for (int i = 0; i < timeout_ms && !cond(); ++i) usleep(1000);
    return cond();
}


void lte_pass() {
    check_lte_network();
    while (lte_worker_busy() == 1) usleep(1000);
}

// Runs `n` passes, each one's console text and AT commands kept apart.
std::vector<Pass> run_passes(const TestRoot &root, PtyModem &modem, int n) {
    std::vector<Pass> passes;
    Stdout cap(root.at("/console.txt"));
    size_t out_at = 0, cmd_at = modem.commands().size();
    for (int i = 0; i < n; ++i) {
        lte_pass();
        Pass p;
        const std::string all = cap.text();
        p.out = all.substr(out_at);
        out_at = all.size();
        const auto cmds = modem.commands();
        p.at.assign(cmds.begin() + static_cast<long>(cmd_at), cmds.end());
        cmd_at = cmds.size();
        passes.push_back(std::move(p));
    }
    return passes;
}

std::set<int> passes_where(const std::vector<Pass> &ps, const std::function<bool(const Pass &)> &pred) {
    std::set<int> s;
    for (size_t i = 0; i < ps.size(); ++i) {
        if (pred(ps[i])) s.insert(static_cast<int>(i) + 1);
    }
    return s;
}

}  // namespace

// ---- supervision schedule -----------------------------------------------

TEST_F(Lte, WithoutDataTheScheduleRedialsPrintsAndCyclesTheRadioAtItsCounts) {
    PtyModem modem(smd7(), table(default_answers()), false);
    ASSERT_TRUE(modem.ok());
    const int kPasses = 1720;
    const auto ps = run_passes(root, modem, kPasses);

    // Pass p sees the counter at p - 1 (nothing resets it before LteTimeout).
    std::set<int> redial, printed, radio, csq;
    for (int p = 1; p <= kPasses; ++p) {
        const int c = p - 1;
        if (c != 0 && (c == 3 || c % 20 == 19)) redial.insert(p);
        if (c != 0 && c % 5 == 4) printed.insert(p);
        if (c + 1 == 300 || c + 1 == 500 || c + 1 == 800 || c + 1 == 1100 || c + 1 == 1400 || c + 1 == 1700)
            radio.insert(p);
        if (p % 11 == 0) csq.insert(p);
    }
    EXPECT_EQ(passes_where(ps, [](const Pass &p) { return p.redial(); }), redial);
    EXPECT_EQ(passes_where(ps, [](const Pass &p) { return p.printed_count(); }), printed);
    EXPECT_EQ(passes_where(ps, [](const Pass &p) { return p.radio_cycle(); }), radio);
    EXPECT_EQ(passes_where(ps, [](const Pass &p) { return p.csq(); }), csq);
    EXPECT_NE(ps[4].out.find("lte:invalid_count 4\n"), std::string::npos) << ps[4].out;
    // The first re-dials, at counts 3, 19 and 39.
    EXPECT_TRUE(ps[3].redial() && ps[19].redial() && ps[39].redial());
    EXPECT_FALSE(ps[2].redial() || ps[4].redial() || ps[20].redial());
    // Each re-dial released the call and tried to start it again; without a
    // readable SIM the start stops at the IMSI.
    EXPECT_NE(ps[3].out.find("--get_imsi:0/ failed\n"), std::string::npos) << ps[3].out;
    EXPECT_EQ(get_lte_invalid_count(), kPasses);
    // No other AT traffic than the signal refresh and the radio cycles.
    const auto cmds = modem.commands();
    EXPECT_EQ(cmds.size(), csq.size() + 2 * radio.size());
}

TEST_F(Lte, CounterRestartsAfter601PassesOnceMqttWorkedElseAfterLteTimeoutPlusOne) {
    configure("WorkingMode=1\nLteTimeout=700\n");
    for (int i = 0; i < 700; ++i) lte_pass();
    EXPECT_EQ(get_lte_invalid_count(), 700);  // past 600, but MQTT never worked
    lte_pass();
    EXPECT_EQ(get_lte_invalid_count(), 0);

    set_dial_mqtt_success();
    for (int i = 0; i < 600; ++i) lte_pass();
    EXPECT_EQ(get_lte_invalid_count(), 600);
    lte_pass();
    EXPECT_EQ(get_lte_invalid_count(), 0);

    // The schedule starts over: the next re-dial is at count 3 again.
    Stdout cap(root.at("/console.txt"));
    for (int i = 0; i < 3; ++i) lte_pass();
    EXPECT_EQ(cap.text().find("dial network."), std::string::npos);
    lte_pass();
    EXPECT_NE(cap.text().find("dial network."), std::string::npos);
}

TEST_F(Lte, DataUpClearsTheCounterAndNothingIsDialled) {
    for (int i = 0; i < 10; ++i) lte_pass();
    EXPECT_EQ(get_lte_invalid_count(), 10);
    Stdout cap(root.at("/console.txt"));
    lte_set_data_status(1);
    for (int i = 0; i < 40; ++i) lte_pass();
    EXPECT_EQ(get_lte_invalid_count(), 0);
    EXPECT_EQ(cap.text().find("dial network."), std::string::npos);
}

TEST_F(Lte, OutsideWorkingModeOnlyTheSignalIsRefreshed) {
    PtyModem modem(smd7(), table(default_answers()), false);
    ASSERT_TRUE(modem.ok());
    configure("WorkingMode=0\n");
    RegStateHandlerFunc(E_QS_WWAN_REG_REGISTERED_HOME_NETWORK);  // a dial would be due
    {
        Stdout cap(root.at("/console.txt"));
        for (int i = 0; i < 22; ++i) lte_pass();
        const std::string out = cap.text();
        EXPECT_EQ(count_of_text(out, " waiting activity"), 22u) << out;
        EXPECT_EQ(out.find("dial network."), std::string::npos);
    }
    EXPECT_EQ(get_lte_invalid_count(), 0);
    EXPECT_EQ(get_lte_reg_flag(), 1);
    EXPECT_EQ(modem.commands(), (std::vector<std::string>{"AT+CSQ", "AT+CSQ"}));
    uint8_t csq = 0;
    get_lte_csq(&csq);
    EXPECT_EQ(csq, 23);

    // The dealer's test mode lets the schedule run in any working mode.
    set_TestMode(1);
    Stdout cap(root.at("/console2.txt"));
    lte_pass();
    EXPECT_NE(cap.text().find(" test mode"), std::string::npos);
    EXPECT_NE(cap.text().find("dial network."), std::string::npos);  // the registration's dial
    EXPECT_EQ(get_lte_reg_flag(), 2);
    EXPECT_EQ(get_lte_invalid_count(), 1);
}

TEST_F(Lte, FactoryModeStopsThePassSilently) {
    set_factory_mode(1);
    RegStateHandlerFunc(E_QS_WWAN_REG_REGISTERED_HOME_NETWORK);
    Stdout cap(root.at("/console.txt"));
    for (int i = 0; i < 30; ++i) lte_pass();
    EXPECT_EQ(cap.text().find("dial network."), std::string::npos);
    EXPECT_EQ(cap.text().find("waiting activity"), std::string::npos);
    EXPECT_EQ(get_lte_invalid_count(), 0);
}

// ---- registration and connection handlers -------------------------------

TEST_F(Lte, RegistrationHomeOrRoamingDialsAtOnceOtherStatesStopTheCall) {
    Stdout cap(root.at("/console.txt"));
    RegStateHandlerFunc(E_QS_WWAN_REG_ROAMING);
    EXPECT_EQ(get_lte_reg_flag(), 1);
    EXPECT_NE(cap.text().find("RegStateHandlerFunc state: 5,\treg_cs_ok:1 \n"), std::string::npos) << cap.text();
    lte_pass();  // counter 0: only the registration asks for the dial
    EXPECT_NE(cap.text().find("dial network."), std::string::npos);
    EXPECT_EQ(get_lte_reg_flag(), 2);

    for (auto s : {E_QS_WWAN_REG_NOT_REGISTERED, E_QS_WWAN_REG_NOT_REGISTERED_SEARCHING_NOW, E_QS_WWAN_REG_DENIED,
                   E_QS_WWAN_REG_UNKNOWN}) {
        RegStateHandlerFunc(E_QS_WWAN_REG_REGISTERED_HOME_NETWORK);
        EXPECT_EQ(get_lte_reg_flag(), 1);
        lte_set_data_status(1);
        RegStateHandlerFunc(s);
        EXPECT_EQ(get_lte_reg_flag(), 0) << s;
        EXPECT_EQ(get_lte_data_status(), 0) << s;  // the call was released
    }
    EXPECT_NE(cap.text().find("state: 4,\treg_cs_ok:0 \n"), std::string::npos);
}

TEST_F(Lte, ConnectionStatesSetDataStatusFlagsAndTheBootCode) {
    RegStateHandlerFunc(E_QS_WWAN_REG_REGISTERED_HOME_NETWORK);
    qs_wwan_connstate_cb_func(1, E_QS_WWAN_CALL_STATUS_CONNECTING, nullptr);
    EXPECT_EQ(get_lte_data_status(), 0);
    qs_wwan_connstate_cb_func(1, E_QS_WWAN_CALL_STATUS_CONNECTED, nullptr);
    EXPECT_EQ(get_lte_data_status(), 1);
    EXPECT_EQ(get_lte_reg_flag(), 3);
    qs_wwan_connstate_cb_func(1, static_cast<E_QS_WWAN_CALL_STATUS_T>(9), nullptr);
    EXPECT_EQ(get_lte_data_status(), 1);  // an unknown event changes nothing
    EXPECT_EQ(get_sysboot_code(), 0);
    qs_wwan_connstate_cb_func(1, E_QS_WWAN_CALL_STATUS_DISCONNECTING, nullptr);
    EXPECT_EQ(get_lte_data_status(), 0);
    EXPECT_EQ(get_sysboot_code(), 0);
    lte_set_data_status(1);
    qs_wwan_connstate_cb_func(1, E_QS_WWAN_CALL_STATUS_IDLE, nullptr);
    EXPECT_EQ(get_lte_data_status(), 0);
    EXPECT_EQ(get_sysboot_code(), 2);
    set_sysboot_code(8);  // out of the byte: ignored
    set_sysboot_code(0);
    EXPECT_EQ(get_sysboot_code(), 3);

    const std::string log = root.read(kLog);
    for (const char *line : {"APPS connecting wwan...\n", "APPS connect wwan done\n", "APPS connect wwan unkonwn evt\n",
                             "APPS disconnect wwan\n", "APPS IDLE wwan\n", "######### APN1 status:0 !  ######\n",
                             "######### APN1 status:9 !  ######\n"}) {
        EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
    }
    // Without the call's addresses no route or resolver command is issued.
    EXPECT_EQ(root.read("/var/actions.log").find("ip route"), std::string::npos);
}

TEST_F(Lte, ConnectCtlOffReleasesAndResetsOnSwitchesTheRadioOn) {
    PtyModem modem(smd7(), table(default_answers()), false);
    ASSERT_TRUE(modem.ok());
    for (int i = 0; i < 7; ++i) lte_pass();
    RegStateHandlerFunc(E_QS_WWAN_REG_REGISTERED_HOME_NETWORK);
    lte_set_data_status(1);
    EXPECT_EQ(lte_connect_ctl(0), 0);
    EXPECT_EQ(get_lte_data_status(), 0);
    EXPECT_EQ(get_lte_invalid_count(), 0);
    EXPECT_EQ(get_lte_reg_flag(), 0);
    EXPECT_EQ(lte_connect_ctl(1), 0);
    EXPECT_EQ(modem.commands(), (std::vector<std::string>{"AT+CFUN=0", "AT+CFUN=1"}));
}

// ---- AT-based operations ------------------------------------------------

// The 11th pass asks for the signal and goes on: the modem's answer (here held
// back until the passes are done) is waited for beside the pass, not in it.
TEST_F(Lte, SignalRefreshIsAskedEvery11thPassAndWaitedForBesideIt) {
    static std::atomic<bool> answer{false};
    PtyModem modem(smd7(), [](const std::string &cmd) {
        for (int i = 0; i < 5000 && !answer.load(); ++i) usleep(1000);
        return std::vector<ModemChunk>{{0, cmd == "AT+CSQ" ? modem_answer("+CSQ: 23,99") : "\r\nERROR\r\n"}};
    }, false);
    ASSERT_TRUE(modem.ok());
    lte_set_data_status(1);
    for (int i = 0; i < 12; ++i) check_lte_network();
    uint8_t csq = 0;
    get_lte_csq(&csq);
    const bool waited_in_pass = csq == 23;
    answer.store(true);
    EXPECT_FALSE(waited_in_pass);
    EXPECT_TRUE(poll_until_true([] { return lte_worker_busy() == 0; }, 10000));
    get_lte_csq(&csq);
    EXPECT_EQ(csq, 23);
    EXPECT_EQ(modem.commands(), (std::vector<std::string>{"AT+CSQ"}));  // one refresh, asked at pass 11
}

TEST_F(Lte, CsqOf99IsStoredButTriedAgainAValidOneEndsTheRefresh) {
    {
        PtyModem modem(smd7(), sequence("AT+CSQ", {modem_answer("+CSQ: 99,99"), modem_answer("+CSQ: 99,99"),
                                                   modem_answer("+CSQ: 17,99")}),
                       false);
        ASSERT_TRUE(modem.ok());
        EXPECT_EQ(load_csq(), 1);
        EXPECT_EQ(modem.commands().size(), 3u);
        uint8_t csq = 0;
        get_lte_csq(&csq);
        EXPECT_EQ(csq, 17);
    }
    {
        PtyModem modem(smd7(), sequence("AT+CSQ", {modem_answer("+CSQ: 99,99")}), false);
        ASSERT_TRUE(modem.ok());
        EXPECT_EQ(load_csq(), 1);
        EXPECT_EQ(modem.commands().size(), 3u);  // never better: three tries
        uint8_t csq = 0;
        get_lte_csq(&csq);
        EXPECT_EQ(csq, 99);
    }
    {
        // A cut or garbled answer keeps the cached value.
        PtyModem modem(smd7(), sequence("AT+CSQ", {"\r\n+CSQ: 1", "\r\n+CSQ: x,y\r\n", "\r\nOK\r\n"}), false);
        ASSERT_TRUE(modem.ok());
        EXPECT_EQ(load_csq(), 0);
        uint8_t csq = 0;
        get_lte_csq(&csq);
        EXPECT_EQ(csq, 99);
    }
    {
        Stdout cap(root.at("/console.txt"));
        PtyModem modem(smd7(), sequence("AT+CSQ", {modem_answer("+CSQ: 31,0")}), false);
        ASSERT_TRUE(modem.ok());
        EXPECT_EQ(load_csq(), 1);
        EXPECT_EQ(modem.commands().size(), 1u);
        EXPECT_NE(cap.text().find("csq =+CSQ: 31,0\r\n\r\nOK\r\n \r\n"), std::string::npos) << cap.text();
    }
}

TEST_F(Lte, SerialNumberEndsAtItsQuoteWithin32Characters) {
    struct Case {
        std::string reply;
        std::string sn;
        size_t tries;
    };
    const std::string s31(31, 'A');
    const std::string s32(32, 'B');
    const std::vector<Case> cases = {
        {modem_answer("+LCTSN: \"SN0123456789\""), "SN0123456789", 1},
        {modem_answer("+LCTSN:\"SN42\""), "SN42", 1},  // no space before the quote
        {modem_answer("+LCTSN: \"" + s31 + "\""), s31, 1},
        {modem_answer("+LCTSN: \"" + s32 + "\""), "", 3},  // no quote within 32
        {modem_answer("+LCTSN: \"OPEN"), "", 3},
        {"\r\n+LCTSN:", "", 3},
        {"\r\nERROR\r\n", "", 3},
    };
    for (const auto &c : cases) {
        PtyModem modem(smd7(), sequence("AT+LCTSN=0,5", {c.reply}), false);
        ASSERT_TRUE(modem.ok());
        char sn[33];
        memset(sn, 'x', sizeof sn);
        EXPECT_EQ(get_sn(sn), static_cast<int>(c.sn.size())) << c.reply;
        EXPECT_EQ(std::string(sn), c.sn) << c.reply;
        EXPECT_EQ(modem.commands().size(), c.tries) << c.reply;
    }
}

TEST_F(Lte, RadioStandardIsClassifiedFromThePsratAnswer) {
    const std::vector<std::pair<std::string, int>> cases = {
        {modem_answer("+PSRAT: FDD LTE"), 3}, {modem_answer("+PSRAT: TDD LTE"), 3},
        {modem_answer("+PSRAT: TDSCDMA"), 3}, {modem_answer("+PSRAT: HSPA+"), 2},
        {modem_answer("+PSRAT: WCDMA"), 2},   {modem_answer("+PSRAT: HSDPA"), 2},
        {modem_answer("+PSRAT: CDMA&EVDO"), 1}, {modem_answer("+PSRAT: EHRPD"), 1},
        {modem_answer("+PSRAT: GSM"), 1},     {modem_answer("+PSRAT: EDGE"), 1},
        {modem_answer("+PSRAT: NONE"), 0},    {modem_answer("+PSRAT:NONE"), 0},
        {modem_answer("+PSRAT: 5G"), 0},      {"\r\nERROR\r\n", 0},
        {modem_answer("LTE"), 0},  // not a PSRAT answer at all
    };
    for (const auto &c : cases) {
        PtyModem modem(smd7(), sequence("AT+PSRAT", {c.first}), false);
        ASSERT_TRUE(modem.ok());
        EXPECT_EQ(get_standard(), c.second) << c.first;
    }
}

TEST_F(Lte, RadioSimAndResetCommandsReadTheirAnswers) {
    auto answers = default_answers();
    {
        PtyModem modem(smd7(), table(answers), false);
        ASSERT_TRUE(modem.ok());
        EXPECT_EQ(network_set_airplane_on(), 0);
        EXPECT_EQ(network_set_airplane_off(), 0);
        EXPECT_EQ(check_modem(), 1);
        EXPECT_EQ(lte_restart(), 1);
        EXPECT_EQ(modem.commands(),
                  (std::vector<std::string>{"AT+CFUN=0", "AT+CFUN=1", "AT+CPIN?", "AT+RESET"}));
    }
    answers["AT+CFUN=0"] = "\r\nERROR\r\n";
    answers["AT+CPIN?"] = modem_answer("+CPIN: SIM PIN");
    answers["AT+RESET"] = "\r\n+CME ERROR: 3\r\n";
    {
        Stdout cap(root.at("/console.txt"));
        PtyModem modem(smd7(), table(answers), false);
        ASSERT_TRUE(modem.ok());
        EXPECT_EQ(network_set_airplane_on(), -1);
        EXPECT_EQ(check_modem(), 0);
        EXPECT_EQ(lte_restart(), 0);
        EXPECT_NE(cap.text().find("check_modem check cpin failed.\n"), std::string::npos) << cap.text();
    }
    // No modem on the port at all.
    Stdout cap(root.at("/console2.txt"));
    EXPECT_EQ(network_set_airplane_off(), -1);
    EXPECT_EQ(check_modem(), 0);
    EXPECT_EQ(get_standard(), 0);
    const std::string out = cap.text();
    EXPECT_NE(out.find("network_set_airplane_off exec at failed.\n"), std::string::npos) << out;
    EXPECT_NE(out.find("check_modem exec at failed.\n"), std::string::npos) << out;
    EXPECT_NE(out.find("get_standard exec at failed.\n"), std::string::npos) << out;
    EXPECT_NE(root.read(kLog).find("/network_set_airplane_off --- entry ---.\n"), std::string::npos);
}

// ---- identities without the modem services -------------------------------

TEST_F(Lte, WithoutModemServicesQueriesFailAndTheStartStopsAtTheImsi) {
    char buf[64];
    memset(buf, 'x', sizeof buf);
    EXPECT_EQ(get_imei(buf), 0);
    EXPECT_EQ(buf[0], '\0');
    EXPECT_EQ(get_iccid(buf), 0);
    EXPECT_EQ(get_imsi(buf), 0);
    int mcc = -1, mnc = -1, cell = -1, area = -1, sig = -1;
    EXPECT_EQ(get_lte_cellinfo(&mcc, &mnc, &cell, &area, &sig), 0);
    EXPECT_EQ(get_lte_mccmnc(&mcc, &mnc), 0);
    EXPECT_EQ(mcc, -1);

    // The IMEI published at start-up stands in for the modem's.
    execute_command("set_imei_864000000000017");
    EXPECT_EQ(get_imei(buf), 15);
    EXPECT_STREQ(buf, "864000000000017");

    Stdout cap(root.at("/console.txt"));
    EXPECT_EQ(init_lte(), 0);
    EXPECT_NE(cap.text().find("init_lte --get_imsi:0/ failed\n"), std::string::npos) << cap.text();
    EXPECT_EQ(cap.text().find("QS_WWAN_StartDataCall"), std::string::npos);
}

TEST_F(Lte, SerialListKeepsEveryFieldsSeparatorAndTheRecordTakesTheSerial) {
    PtyModem modem(smd7(), table(default_answers()), false);
    ASSERT_TRUE(modem.ok());
    root.mkdirs("/iot/conf");
    root.write("/iot/conf/sn_list.txt", "old;old;old;old;old\n");
    execute_command("set_imei_864000000000017");
    EXPECT_EQ(load_sn_info(), 1);
    // No ICCID without the SIM service, no MAC until the BLE link reports it.
    EXPECT_EQ(root.read("/iot/conf/sn_list.txt"), ";SN0123456789;864000000000017;;");
    modem_info_t info;
    memset(&info, 0xEE, sizeof info);
    EXPECT_EQ(get_modem_info(&info), 1);
    EXPECT_EQ(std::string(info.sn, sizeof info.sn), "SN0123456789" + std::string(20, '\0'));
    EXPECT_EQ(info.lte_cal, 0);
    EXPECT_EQ(info.pcba_test1, 0);
    EXPECT_EQ(info.pcba_test2, 0);
    EXPECT_EQ(get_modem_info(nullptr), 0);
}

TEST_F(Lte, UnreadableSimAfterOneRadioCycleRebootsTheBox) {
    PtyModem modem(smd7(), table(default_answers()), false);
    ASSERT_TRUE(modem.ok());
    const ChildResult r = run_child([] { check_sim_handle(nullptr); }, 20000);
    ASSERT_TRUE(r.exited) << r.out;
    EXPECT_EQ(r.status, 0);  // the simulated reboot ends the process
    const std::string expected[] = {"check_sim_handle entry.\n", "check_sim_handle start airplane on.\n",
                                    "check_sim_handle start airplane off.\n",
                                    "check_sim_handle get iccid failed. reboot now.\n"};
    size_t at = 0;
    for (const auto &line : expected) {
        const size_t found = r.out.find(line, at);
        ASSERT_NE(found, std::string::npos) << line << "\n" << r.out;
        at = found + line.size();
    }
    EXPECT_EQ(modem.commands(), (std::vector<std::string>{"AT+CFUN=0", "AT+CFUN=1"}));
    EXPECT_NE(root.read("/var/actions.log").find(" reboot"), std::string::npos) << root.read("/var/actions.log");
}
