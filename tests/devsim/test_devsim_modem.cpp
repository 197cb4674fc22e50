// The simulated modem's own logic: the AT interpreter on hostile lines, the
// persistent store and its precedence over the scenario, the QMI answers that
// follow the radio state, and the control channel's line handling.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "core/control.h"
#include "modem/modem_qmi.h"
#include "modem/modem_state.h"
#include "modem/peer_modem_at.h"

namespace fs = std::filesystem;

namespace {

class TempDir {
public:
    TempDir() {
        char tmpl[] = "/tmp/telagent-modem-XXXXXX";
        if (mkdtemp(tmpl) != nullptr) path_ = tmpl;
    }
    ~TempDir() {
        std::error_code ec;
        if (!path_.empty()) fs::remove_all(path_, ec);
    }
    const std::string &path() const { return path_; }

private:
    std::string path_;
};

std::string slurp_file(const std::string &p) {
    std::ifstream f(p, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

const std::string kOk = "\r\nOK\r\n";
const std::string kError = "\r\nERROR\r\n";

}  // namespace

TEST(DevsimModemAt, AnswersAndRefusals) {
    ModemState st("");
    EXPECT_EQ(modem_at_execute(st, "AT"), kOk);
    EXPECT_EQ(modem_at_execute(st, "  at+csq "), "\r\n+CSQ: 23,99\r\n" + kOk);
    EXPECT_EQ(modem_at_execute(st, "AT+CSQ=1"), kError);
    EXPECT_EQ(modem_at_execute(st, "+CSQ"), kError);
    EXPECT_EQ(modem_at_execute(st, "ATD123"), kError);
    EXPECT_EQ(modem_at_execute(st, "at+nvrw=0,\"850"), kError);     // unterminated quote
    EXPECT_EQ(modem_at_execute(st, "at+nvrw=0,abc"), kError);       // not an item number
    EXPECT_EQ(modem_at_execute(st, "at+nvrw=2,850"), kError);
    EXPECT_EQ(modem_at_execute(st, "at+nvrw=1,850"), kError);       // write without a value
    EXPECT_EQ(modem_at_execute(st, "at+efsrw=0,1,\"/a\""), kError);
    EXPECT_EQ(modem_at_execute(st, "at+efsrw=1,0,\"/a b\",\"1\""), kError);  // no blanks in names
    EXPECT_EQ(modem_at_execute(st, "at+cgdcont=0"), kError);
    EXPECT_EQ(modem_at_execute(st, "at+cgdcont=99"), kError);
    EXPECT_EQ(modem_at_execute(st, "at+nvburs=7"), kError);
    EXPECT_EQ(modem_at_execute(st, "AT+CFUN=2"), kError);

    // Values are case-preserved, command names are not.
    EXPECT_EQ(modem_at_execute(st, "AT+NVRW=1,6828,\"AbC,1\""), kOk);
    EXPECT_EQ(modem_at_execute(st, "at+nvrw=0,6828"), "\r\n+NVRW:\"AbC,1\"\r\n" + kOk);
    EXPECT_EQ(modem_at_execute(st, "ATE0"), kOk);
    EXPECT_FALSE(st.snapshot().echo);

    // Context list: define, replace, and undefining removes every copy.
    ASSERT_EQ(st.configure("cgdcont", "3,3,5", false), 1);
    EXPECT_EQ(modem_at_execute(st, "at+cgdcont=7,\"IP\",\"apn.x\""), kOk);
    EXPECT_EQ(modem_at_execute(st, "at+cgdcont=3"), kOk);
    EXPECT_EQ(modem_at_execute(st, "at+cgdcont?"),
              "\r\n+CGDCONT: 5,\"IP\",\"internet\",\"0.0.0.0\",0,0\r\n"
              "+CGDCONT: 7,\"IP\",\"apn.x\",\"0.0.0.0\",0,0\r\n" + kOk);

    ASSERT_EQ(st.configure("cpin", "NOT INSERTED", false), 1);
    EXPECT_EQ(modem_at_execute(st, "AT+CPIN?"), "\r\n+CME ERROR: 10\r\n");
    ASSERT_EQ(st.configure("cnum", "", false), 1);
    EXPECT_EQ(modem_at_execute(st, "AT+CNUM"), kOk);
}

TEST(DevsimModemAt, ArgumentSplitting) {
    std::vector<std::string> a;
    ASSERT_TRUE(modem_at_args("1,0,\"/nv/x\",\"01\"", &a));
    EXPECT_EQ(a, (std::vector<std::string>{"1", "0", "/nv/x", "01"}));
    ASSERT_TRUE(modem_at_args("", &a));
    EXPECT_EQ(a, (std::vector<std::string>{""}));
    ASSERT_TRUE(modem_at_args("\"a,b\",,c", &a));
    EXPECT_EQ(a, (std::vector<std::string>{"a,b", "", "c"}));
    EXPECT_FALSE(modem_at_args("\"open", &a));
}

TEST(DevsimModemState, StoreSurvivesAndBeatsTheScenarioButNotControl) {
    TempDir d;
    const std::string store = d.path() + "/modem_nv.txt";
    {
        ModemState st(store);
        EXPECT_FALSE(st.loaded_from_store());
        EXPECT_EQ(st.configure("nv.850", "0002", true), 1);  // seeds a fresh modem
        EXPECT_EQ(st.configure("cgdcont", "1,2,2", true), 1);
        EXPECT_EQ(modem_at_execute(st, "at+efsrw=1,0,\"/nv/item_files/ims/IMS_enable\",\"01\""), kOk);
        EXPECT_EQ(st.save_failures(), 0);
    }
    ModemState again(store);
    EXPECT_TRUE(again.loaded_from_store());
    EXPECT_EQ(again.configure("nv.850", "0003", true), 1);  // taken, but the store wins
    EXPECT_EQ(modem_at_execute(again, "at+nvrw=0,850"), "\r\n+NVRW:\"0002\"\r\n" + kOk);
    EXPECT_EQ(again.snapshot().contexts.size(), 3u);
    EXPECT_EQ(again.snapshot().efs.at("/nv/item_files/ims/IMS_enable"), "01");
    EXPECT_EQ(again.configure("nv.850", "0004", false), 1);  // a control command is a change
    EXPECT_EQ(modem_store_text(ModemState(store).snapshot()), modem_store_text(again.snapshot()));
    EXPECT_NE(slurp_file(store).find("nv 850 0004\n"), std::string::npos);
}

TEST(DevsimModemState, DamagedStoreLinesAreSkipped) {
    ModemData d;
    modem_store_parse("nv 850 0001\nnv\nnvburs 9\nnvburs 1\ncgdcont 0 x\ncgdcont 25 x\ncgdcont 4 apn\n"
                      "efs /p v w\ngarbage line\n\n# c\nnv 11\n",
                      &d);
    EXPECT_EQ(d.nv.at("850"), "0001");
    EXPECT_EQ(d.nv.at("11"), "");
    EXPECT_EQ(d.nvburs, 1);
    ASSERT_EQ(d.contexts.size(), 1u);
    EXPECT_EQ(d.contexts[0].cid, 4);
    EXPECT_EQ(d.efs.at("/p"), "v w");
}

TEST(DevsimModemState, KeysValidateTheirValues) {
    ModemState st("");
    EXPECT_EQ(st.configure("echo", "2", true), 0);
    EXPECT_EQ(st.configure("delay_ms", "-5", true), 0);
    EXPECT_EQ(st.configure("delay_ms", "60001", true), 0);
    EXPECT_EQ(st.configure("cgdcont", "1,x", true), 0);
    EXPECT_EQ(st.configure("service_down", "nas,bogus", true), 0);
    EXPECT_EQ(st.configure("service_down", "", true), 0);
    EXPECT_EQ(st.configure("sn", "A\nB", true), 0);  // a value never spans lines
    EXPECT_EQ(st.configure("nv.1 2", "x", true), 0);
    EXPECT_EQ(st.configure("volume", "3", true), 0);
    EXPECT_TRUE(st.snapshot().down.empty());
    EXPECT_EQ(st.configure("service_down", "nas, uim", true), 1);
    EXPECT_EQ(st.snapshot().down.size(), 2u);
}

TEST(DevsimModemQmi, AnswersFollowTheRadioAndChangesAreReported) {
    ModemState st("");
    std::vector<ModemEvent> seen;
    st.set_listener([&](const ModemEvent &e) { seen.push_back(e); });
    EXPECT_EQ(modem_at_execute(st, "AT+CFUN=0"), kOk);
    EXPECT_EQ(modem_at_execute(st, "AT+CFUN=0"), kOk);  // no change, no event
    ASSERT_EQ(st.configure("service_down", "dms", false), 1);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].kind, ModemEvent::kRadio);
    EXPECT_EQ(seen[1].kind, ModemEvent::kService);
    EXPECT_EQ(seen[1].service, 0x02);
    EXPECT_FALSE(seen[1].up);

    // DMS operating mode: result, error, then the mode byte.
    const std::string om = modem_qmi_answer(st, 0x02, 0x002D, "");
    ASSERT_EQ(om.size(), 5u);
    EXPECT_EQ(om[0], 0);
    EXPECT_EQ(om[4], 1);  // low power while the radio is off
    // Unknown messages get the "invalid command" failure.
    const std::string bad = modem_qmi_answer(st, 0x0B, 0x7777, "");
    ASSERT_EQ(bad.size(), 4u);
    EXPECT_EQ(bad[0], 1);
    EXPECT_EQ(static_cast<uint8_t>(bad[2]), 0x47);

    EXPECT_EQ(modem_at_execute(st, "AT+RESET"), kOk);  // back on air
    EXPECT_EQ(modem_qmi_answer(st, 0x02, 0x002D, "")[4], 0);
    EXPECT_EQ(modem_qmi_serving_system_ind(st.snapshot())[0], 1);  // registered
}

TEST(DevsimControl, LinesReachTheirModuleAndOverlongLinesAreDropped) {
    TempDir d;
    const int fd = control_open(d.path());
    ASSERT_GE(fd, 0);
    std::vector<std::string> got;
    ControlRegistration reg("m", [&](const std::string &cmd, const std::string &args, std::string *why) {
        got.push_back(cmd + "|" + args);
        if (cmd == "bad") {
            *why = "no";
            return -1;
        }
        return 0;
    });
    ASSERT_TRUE(reg.registered());
    ControlRegistration twice("m", [](const std::string &, const std::string &, std::string *) { return 0; });
    EXPECT_FALSE(twice.registered());

    const int w = open((d.path() + "/var/devsim/control").c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(w, 0);
    const std::string input = "m set  a  b \n" + std::string(kControlLineMax + 10, 'z') + "\nm bad\nother x\n\n m";
    ASSERT_EQ(write(w, input.data(), input.size()), static_cast<ssize_t>(input.size()));
    control_service();
    EXPECT_EQ(got, (std::vector<std::string>{"set|a  b", "bad|"}));
    ASSERT_EQ(write(w, "\n", 1), 1);  // completes the line held back
    control_service();
    EXPECT_EQ(got.back(), "|");
    close(w);
    EXPECT_EQ(slurp_file(d.path() + "/var/devsim/control.log"),
              "m set  a  b  -> ok\nm bad -> error: no\nother x -> unknown module\n m -> ok\n");
    control_close();
    EXPECT_FALSE(fs::exists(d.path() + "/var/devsim/control"));
}
