// telagent-host against a fake agent library driven through files in the root.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "box_harness.h"

namespace fs = std::filesystem;

namespace {

constexpr int kWait = 10000;
constexpr const char *kDefaultLib = "/iot/lib/libTelAgent.so";
constexpr const char *kExLib = "/iot/lib/libTelAgentEx.so";

BoxOptions fake(bool start_host = true, std::vector<std::string> args = {"--restart-delay-ms", "200"}) {
    BoxOptions o;
    o.lib = FAKE_AGENT_LIB;
    o.start_host = start_host;
    o.host_args = std::move(args);
    return o;
}

struct Call {
    std::string lib, cwd;
    pid_t pid = -1, pgid = -1;
};

// The "lib=..." lines of var/fake/calls.log.
std::vector<Call> calls(const Box &box) {
    std::vector<Call> out;
    std::istringstream in(box.file("/var/fake/calls.log"));
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("lib=", 0) != 0) continue;
        Call c;
        std::istringstream ls(line);
        std::string w;
        while (ls >> w) {
            if (w.rfind("lib=", 0) == 0) c.lib = w.substr(4);
            if (w.rfind("cwd=", 0) == 0) c.cwd = w.substr(4);
            if (w.rfind("pid=", 0) == 0) c.pid = std::stoi(w.substr(4));
            if (w.rfind("pgid=", 0) == 0) c.pgid = std::stoi(w.substr(5));
        }
        out.push_back(c);
    }
    return out;
}

bool wait_calls(const Box &box, size_t n) {
    return poll_until([&] { return calls(box).size() >= n; }, kWait);
}

void link_lib(const Box &box, const std::string &device_path, const std::string &target) {
    fs::create_directories(fs::path(box.path(device_path)).parent_path());
    fs::remove(box.path(device_path));
    fs::create_symlink(target, box.path(device_path));
}

}  // namespace

TEST(HostRoot, RefusesUnsetEmptyRelativeOrSlashRoot) {
    const std::vector<std::vector<std::string>> envs = {
        {"TELAGENT_ROOT"}, {"TELAGENT_ROOT="}, {"TELAGENT_ROOT=relative/root"}, {"TELAGENT_ROOT=/"},
        {"TELAGENT_ROOT=///"}};
    for (const auto &env : envs) {
        std::string out;
        EXPECT_EQ(run_program({TELAGENT_HOST_BIN, "--once"}, env, &out, kWait), 2) << env[0];
        EXPECT_NE(out.find("TELAGENT_ROOT"), std::string::npos) << out;
        EXPECT_EQ(out.find("[host] starting"), std::string::npos) << out;
    }
    for (const std::vector<std::string> &bad :
         {std::vector<std::string>{"--max-restarts", "x"}, {"--max-restarts"}, {"--restart-delay-ms", "-1"},
          {"--bogus"}}) {
        std::vector<std::string> argv = {TELAGENT_HOST_BIN};
        argv.insert(argv.end(), bad.begin(), bad.end());
        EXPECT_EQ(run_program(argv, {"TELAGENT_ROOT=/tmp"}, nullptr, kWait), 2) << bad[0];
    }
}

TEST(HostStart, PassesLogicalPathFromRootAsCwdInItsOwnGroup) {
    Box box(fake());
    ASSERT_TRUE(box.ok()) << box.error();
    ASSERT_TRUE(wait_calls(box, 1));
    Call c = calls(box)[0];
    EXPECT_EQ(c.lib, kDefaultLib);
    EXPECT_EQ(c.cwd, box.root());
    EXPECT_EQ(c.pgid, c.pid) << "agent must lead its own process group";
    EXPECT_NE(c.pgid, getpgid(box.host_pid()));
    // printf without fflush: visible only because the host made stdout line-buffered.
    EXPECT_TRUE(box.wait_console("fake: running /iot/lib/libTelAgent.so\n", kWait)) << box.console();
    EXPECT_EQ(box.stop(), 0) << "SIGINT must end host and devsim with status 0";
    EXPECT_FALSE(process_running(c.pid));
}

TEST(HostRestart, RestartsAfterExitAndAfterCrash) {
    Box box(fake(false));
    ASSERT_TRUE(box.ok()) << box.error();
    box.put_file("/var/fake/once", "exit 3");
    ASSERT_EQ(box.start_host({"--restart-delay-ms", "100"}), 0);
    EXPECT_TRUE(box.wait_console("[host] agent exited: status 3\n", kWait)) << box.console();
    ASSERT_TRUE(wait_calls(box, 2));

    box.put_file("/var/fake/once", "segv");
    EXPECT_TRUE(box.wait_console("[host] agent killed: signal 11\n", kWait)) << box.console();
    ASSERT_TRUE(wait_calls(box, 3));
    auto c = calls(box);
    EXPECT_NE(c[0].pid, c[1].pid);
    EXPECT_NE(c[1].pid, c[2].pid);
    for (const Call &x : c) EXPECT_EQ(x.lib, kDefaultLib);
    EXPECT_TRUE(process_running(box.host_pid()));
}

TEST(HostRestart, SimulatedRebootIsRecordedAndRestarts) {
    Box box(fake());
    ASSERT_TRUE(box.ok()) << box.error();
    ASSERT_TRUE(wait_calls(box, 1));
    box.put_file("/var/fake/once", "reboot");
    EXPECT_TRUE(box.wait_actions(" reboot\n", kWait)) << box.actions();
    EXPECT_TRUE(box.wait_console("[host] agent exited: status 0\n", kWait)) << box.console();
    EXPECT_TRUE(wait_calls(box, 2));
}

TEST(HostLibIni, SelfUpdateLoadsTheNewLibraryOnNextStart) {
    Box box(fake());
    ASSERT_TRUE(box.ok()) << box.error();
    ASSERT_TRUE(wait_calls(box, 1));
    EXPECT_EQ(calls(box)[0].lib, kDefaultLib);

    link_lib(box, kExLib, FAKE_AGENT_LIB);
    box.put_file("/iot/conf/libiot.ini", std::string(kExLib) + "\n");
    box.put_file("/var/fake/once", "reboot");
    ASSERT_TRUE(wait_calls(box, 2)) << box.console();
    EXPECT_EQ(calls(box)[1].lib, kExLib);
    EXPECT_EQ(calls(box)[1].cwd, box.root());
    EXPECT_TRUE(box.wait_console("[host] starting /iot/lib/libTelAgentEx.so\n", kWait));
}

// Each case: libiot.ini content (nullptr: no file) -> logical path loaded.
TEST(HostLibIni, ReadsAtMost64BytesUpToLineEndAndFallsBack) {
    Box box(fake(false));
    ASSERT_TRUE(box.ok()) << box.error();
    box.put_file("/var/fake/mode", "exit 5");
    link_lib(box, kExLib, FAKE_AGENT_LIB);
    // A 64-byte path that exists; the same with 4 more bytes does not, so a
    // host that reads past 64 bytes fails to load (127) instead of status 5.
    std::string p64 = "/iot/lib/libTelAgent";
    p64 += std::string(64 - p64.size() - 3, 'x') + ".so";
    ASSERT_EQ(p64.size(), 64u);
    link_lib(box, p64, FAKE_AGENT_LIB);
    link_lib(box, "/ab.so", FAKE_AGENT_LIB);  // 6 characters: long enough
    link_lib(box, "/a.so", FAKE_AGENT_LIB);   // 5: too short, must not be used

    struct Case {
        const char *name;
        std::string content;
        bool present;
        std::string expect;
    };
    const Case cases[] = {
        {"crlf", std::string(kExLib) + "\r\n", true, kExLib},
        {"nul", std::string(kExLib) + std::string("\0/junk", 6), true, kExLib},
        {"no newline", kExLib, true, kExLib},
        {"second line ignored", std::string(kExLib) + "\n/ab.so\n", true, kExLib},
        {"64 bytes", p64 + "tail\n", true, p64},
        {"6 chars", "/ab.so\n", true, "/ab.so"},
        {"5 chars", "/a.so\n", true, kDefaultLib},
        {"empty", "", true, kDefaultLib},
        {"relative", "iot/lib/libTelAgentEx.so\n", true, kDefaultLib},
        {"dotdot", "/iot/lib/../lib/libTelAgentEx.so\n", true, kDefaultLib},
        {"cr first", "\r/iot/lib/libTelAgentEx.so\n", true, kDefaultLib},
        {"missing", "", false, kDefaultLib},
    };
    size_t n = 0;
    for (const Case &c : cases) {
        if (c.present) {
            box.put_file("/iot/conf/libiot.ini", c.content);
        } else {
            fs::remove(box.path("/iot/conf/libiot.ini"));
        }
        ASSERT_EQ(box.start_host({"--once"}), 0);
        EXPECT_EQ(box.wait_host_exit(kWait), 5) << c.name << "\n" << box.console();
        auto got = calls(box);
        ASSERT_EQ(got.size(), ++n) << c.name;
        EXPECT_EQ(got.back().lib, c.expect) << c.name;
    }
}

TEST(HostOnce, ReturnsTheAgentsStatusWithoutRestart) {
    Box box(fake(false));
    ASSERT_TRUE(box.ok()) << box.error();
    box.put_file("/var/fake/mode", "exit 3");
    ASSERT_EQ(box.start_host({"--once", "--restart-delay-ms", "0"}), 0);
    EXPECT_EQ(box.wait_host_exit(kWait), 3);
    box.put_file("/var/fake/mode", "segv");
    ASSERT_EQ(box.start_host({"--once"}), 0);
    EXPECT_EQ(box.wait_host_exit(kWait), 128 + SIGSEGV);
    box.put_file("/var/fake/mode", "exit 0");
    ASSERT_EQ(box.start_host({"--max-restarts", "2", "--restart-delay-ms", "0"}), 0);
    EXPECT_EQ(box.wait_host_exit(kWait), 0);
    EXPECT_EQ(calls(box).size(), 1u + 1u + 3u);
}

TEST(HostStop, SigtermKillsTheAgentGroupAndLeavesNothingBehind) {
    Box box(fake(false));
    ASSERT_TRUE(box.ok()) << box.error();
    box.put_file("/var/fake/mode", "spawn");
    ASSERT_EQ(box.start_host({"--restart-delay-ms", "200"}), 0);
    ASSERT_TRUE(box.wait_file("/var/fake/child_pid", "\n", kWait)) << box.console();
    ASSERT_EQ(calls(box).size(), 1u);
    const pid_t agent = calls(box)[0].pid;
    const pid_t child = std::stoi(box.file("/var/fake/child_pid"));
    ASSERT_TRUE(process_running(agent));
    ASSERT_TRUE(process_running(child));

    ASSERT_EQ(kill(box.host_pid(), SIGTERM), 0);
    EXPECT_EQ(box.wait_host_exit(kWait), 0);
    EXPECT_TRUE(poll_until([&] { return !process_running(agent) && !process_running(child); }, kWait));
    EXPECT_FALSE(fs::exists("/proc/" + std::to_string(agent))) << "agent left as a zombie";
    EXPECT_FALSE(fs::exists("/proc/" + std::to_string(child))) << "agent's child left as a zombie";
    EXPECT_EQ(calls(box).size(), 1u) << "no restart after a stop";
    EXPECT_TRUE(box.wait_console("[host] agent killed: signal 9\n", kWait)) << box.console();
}

TEST(HostStop, AgentDoesNotOutliveAHostKilledHard) {
    Box box(fake());
    ASSERT_TRUE(box.ok()) << box.error();
    ASSERT_TRUE(wait_calls(box, 1));
    const pid_t agent = calls(box)[0].pid;
    ASSERT_EQ(kill(box.host_pid(), SIGKILL), 0);
    EXPECT_EQ(box.wait_host_exit(kWait), 128 + SIGKILL);
    EXPECT_TRUE(poll_until([&] { return !process_running(agent); }, kWait));
}

TEST(HostLoad, MissingLibraryGives127AndRestartsOnlyAfterTheDelay) {
    Box box(fake(false));
    ASSERT_TRUE(box.ok()) << box.error();
    fs::remove(box.path(kDefaultLib));
    const int64_t t0 = harness_mono_ms();
    ASSERT_EQ(box.start_host({"--restart-delay-ms", "300", "--max-restarts", "2"}), 0);
    EXPECT_EQ(box.wait_host_exit(kWait), 127);
    const int64_t took = harness_mono_ms() - t0;
    const std::string con = box.console();
    EXPECT_EQ(count_of(con, "[host] agent exited: status 127\n"), 3u) << con;
    EXPECT_NE(con.find(box.path(kDefaultLib)), std::string::npos) << "dlerror text names the file: " << con;
    // Two restarts, each after the full delay: not a tight crash loop.
    EXPECT_GE(took, 600);
}

TEST(HostLoad, LibraryWithoutEntryPointGives127) {
    Box box(fake(false));
    ASSERT_TRUE(box.ok()) << box.error();
    Dl_info info {};
    ASSERT_NE(dladdr(reinterpret_cast<void *>(&printf), &info), 0);
    ASSERT_NE(info.dli_fname, nullptr);
    link_lib(box, kDefaultLib, info.dli_fname);  // the C library: no call_iotmain in it
    ASSERT_EQ(box.start_host({"--once"}), 0);
    EXPECT_EQ(box.wait_host_exit(kWait), 127);
    EXPECT_NE(box.console().find("call_iotmain"), std::string::npos) << box.console();
}

TEST(HostInit, PassesCallbacksWhenTheLibraryHasThemAndNotesWhenNot) {
    {
        Box box(fake(true, {"--init-cb", "--init-lpm"}));
        ASSERT_TRUE(box.ok()) << box.error();
        ASSERT_TRUE(wait_calls(box, 1));
        const std::string log = box.file("/var/fake/calls.log");
        EXPECT_EQ(log.rfind("init_cb\ninit_lpm\nlib=", 0), 0u) << log;
        EXPECT_TRUE(box.wait_console("[host] event: gsensor=motion\n", kWait)) << box.console();
    }
    {
        BoxOptions o = fake(true, {"--init-cb", "--init-lpm"});
        o.lib = FAKE_AGENT_BARE_LIB;
        Box box(o);
        ASSERT_TRUE(box.ok()) << box.error();
        ASSERT_TRUE(wait_calls(box, 1)) << box.console();
        EXPECT_NE(box.console().find("no init_cb"), std::string::npos) << box.console();
        EXPECT_NE(box.console().find("no init_lpm"), std::string::npos) << box.console();
    }
}
