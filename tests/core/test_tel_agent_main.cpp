// Entry point, start-up order, supervision, command keywords, signals and the
// crash log.
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <regex>
#include <thread>
#include <vector>

#include "cloud/mqtt_handle.h"
#include "core/iot_common.h"
#include "core/iot_config.h"
#include "core/tavi_common.h"
#include "core/logging.h"
#include "core/tel_agent_main.h"
#include "lte/lte_handle.h"
#include "platform/plat_clock.h"
#include "platform/plat_thread.h"
#include "support/child.h"
#include "support/test_root.h"
#include "vehicle/serial_line.h"

namespace fs = std::filesystem;

namespace {

// Starts call_iotmain on a thread of a child (it never returns) and ends the
// child with the load type as its exit status once the banner is out.
int load_type_for(const char *path) {
    ChildResult r = run_child([path] {
        std::thread([path] { call_iotmain(path); }).detach();
        for (int i = 0; i < 500 && get_lib_load_telagent_name_type() == 0; ++i) usleep(2000);
        usleep(20000);
        fflush(stdout);
        _exit(get_lib_load_telagent_name_type());
    });
    EXPECT_TRUE(r.exited) << r.out;
    return r.status;
}

// A table that records what reaches it.
std::atomic<int> g_calls{0};
std::atomic<int> g_last_len{0};
int fake_send(const unsigned char *, int len) {
    ++g_calls;
    g_last_len = len;
    return 42;
}
int fake_deinit() {
    ++g_calls;
    return 7;
}

}  // namespace

TEST(Entry, LoadTypeFollowsTheLibraryPath) {
    TestRoot root;
    EXPECT_EQ(load_type_for("/iot/lib/libTelAgent.so"), 1);
    EXPECT_EQ(load_type_for("/iot/lib/libTelAgentEx.so"), 2);
    EXPECT_EQ(load_type_for("/iot/lib/libTelAgentEx.so.bak"), 2);  // "begins with"
    EXPECT_EQ(load_type_for("/usr/lib/libTelAgent.so"), 0);
    EXPECT_EQ(load_type_for("/iot/lib/libTelAgen"), 0);
}

TEST(Entry, NullPathEndsTheProcessWithStatusZero) {
    TestRoot root;
    ChildResult r = run_child([] { call_iotmain(nullptr); _exit(99); });
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("call_iotmain error ."), std::string::npos) << r.out;
}

TEST(Entry, RefusesToRunWithoutADeviceRoot) {
    TestRoot root;
    ChildResult r = run_child([] {
        setenv("TELAGENT_ROOT", "/", 1);
        call_iotmain("/iot/lib/libTelAgent.so");
        _exit(99);
    });
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out.find("Runing lib"), std::string::npos) << r.out;
}

TEST(Table, SecondRegistrationKeepsTheFirst) {
    dev_hostcore_t other{};
    other.send_to_GD32 = fake_send;
    EXPECT_EQ(dev_hostcore_register(&other), 1);
    EXPECT_EQ(dev_hostcore_register(&dev_hostcore), 0);
    unsigned char b[3] = {1, 2, 3};
    EXPECT_EQ(dev_send_to_GD32(b, 3), 42);
    EXPECT_EQ(g_last_len.load(), 3);
    // An empty slot of a registered table behaves like no table.
    EXPECT_EQ(dev_send_to_ECU(b, 3), 0);
    EXPECT_EQ(g_calls.load(), 1);
}

TEST(Table, WrappersWithoutATableDoNothing) {
    unsigned char b[4] = {0};
    iot_sensor_data_t s{1.f, 2.f, 3.f};
    EXPECT_EQ(dev_hostcore_init(), 0);
    EXPECT_EQ(dev_hostcore_deinit(), 0);
    EXPECT_EQ(dev_mqtt_connect(nullptr), 0);
    EXPECT_EQ(dev_mqtt_disconnect(), 0);
    EXPECT_EQ(dev_mqtt_pub(b, 4), 0);
    EXPECT_EQ(dev_mqtt_post("t", "00", 2), 0);
    EXPECT_EQ(dev_mqtt_recv_register(nullptr), 0);
    EXPECT_EQ(dev_send_to_bluetooth(b, 4), 0);
    EXPECT_EQ(dev_send_to_GD32(b, 4), 0);
    EXPECT_EQ(dev_send_to_ECU(b, 4), 0);
    EXPECT_EQ(dev_bluetooth_recv_register(nullptr), 0);
    EXPECT_EQ(dev_GD32_recv_register(nullptr), 0);
    EXPECT_EQ(dev_ECU_recv_register(nullptr), 0);
    EXPECT_EQ(dev_get_gsensor_info(&s), 0);
    EXPECT_EQ(dev_get_gyroscope_info(&s), 0);
    EXPECT_EQ(s.x, 1.f);  // untouched
}

TEST(Table, UnregisterCallsDeinitAndFreesTheSlot) {
    dev_hostcore_t t{};
    t.deinit = fake_deinit;
    ASSERT_EQ(dev_hostcore_register(&t), 1);
    EXPECT_EQ(dev_hostcore_unregister(), 1);
    EXPECT_EQ(g_calls.load(), 1);
    EXPECT_EQ(dev_hostcore_deinit(), 0);
    EXPECT_EQ(dev_hostcore_register(&dev_hostcore), 1);
}

TEST(Table, LibraryTableFillsEverySlot) {
    const void *const *slots = reinterpret_cast<const void *const *>(&dev_hostcore);
    static_assert(sizeof(dev_hostcore_t) == 15 * sizeof(void *));
    for (int i = 0; i < 15; ++i) EXPECT_NE(slots[i], nullptr) << "slot " << i + 1;
}

TEST(Commands, SetImeiParsesTheNumberAfterTheSeparator) {
    testing::internal::CaptureStdout();
    execute_command("set_imei_867584033774529");
    EXPECT_EQ(getimei(), 867584033774529LL);
    execute_command(nullptr);
    execute_command("set_imeX_1");
    execute_command("unknown");
    EXPECT_EQ(getimei(), 867584033774529LL);
    execute_command("set_imei");  // nothing after it: 0, without reading past the end
    EXPECT_EQ(getimei(), 0);
    execute_command("set_imei_");
    EXPECT_EQ(getimei(), 0);
    execute_command("set_imei:12ab");
    EXPECT_EQ(getimei(), 12);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("imei --------- [867584033774529] ------[867584033774529]-\r\n"), std::string::npos)
        << out;
    EXPECT_NE(out.find("imei --------- [] ------[0]-\r\n"), std::string::npos) << out;
}

TEST(Startup, RunsToTheEndAndProtectsFromTheOomKiller) {
    TestRoot root;
    plat_clock_fake(1765000000);  // no modem here: its retry waits pass at once
    ChildResult r = run_child([] {
        all_init();
        _exit(get_startup_done() == 1 ? 0 : 3);
    });
    ASSERT_TRUE(r.exited) << r.out;
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("IoT Version:TX513.880Q.v1.2.2.1.2023.11.21\r\nLoad ...\r\n", 0), 0u) << r.out;
    EXPECT_NE(r.out.find("**************** factory test init ****************"), std::string::npos);
    EXPECT_NE(r.out.find("iot_get_measure_gsensor: 1 - 1/10/60\n"), std::string::npos) << r.out;
    std::string actions = root.read("/var/actions.log");
    std::regex oom(R"(\d+ shell echo '-17' > /proc/\d+/oom_adj\n)");
    EXPECT_TRUE(std::regex_search(actions, oom)) << actions;
}

TEST(Startup, StepsRunInOrder) {
    TestRoot root;
    plat_clock_fake(1765000000);
    ChildResult r = run_child([] { all_init(); });
    ASSERT_TRUE(r.exited);
    // Threads started on the way sleep on the fake clock and move it on, so the
    // steps may spread over several hour files: read them all, oldest first.
    std::vector<std::string> files;
    for (const auto &e : std::filesystem::recursive_directory_iterator(root.at("/iot/log"))) {
        if (e.is_regular_file() && e.path().extension() == ".log") files.push_back(e.path().string());
    }
    std::sort(files.begin(), files.end());
    std::string log;
    for (const auto &f : files) log += slurp(f);
    const char *order[] = {"init_iotsdk", "factory_test_init", "init_iotconfig", "init_orlin_handle",
                           "init_platform_sig", "init_lte", "init_mqtt", "init_tx510x", "load_sntp",
                           "init_delay", "clean_dir_log", "stored data and nv checks", "done"};
    size_t at = 0;
    for (const char *s : order) {
        size_t p = log.find(std::string("startup: ") + s + "\n", at);
        ASSERT_NE(p, std::string::npos) << s << " missing or out of order in\n" << log;
        at = p;
    }
}

TEST(Startup, CalibrationFileHoldsStartupBeforeSignals) {
    TestRoot root;
    root.write("/media/ram/iotdebug.ini", "1\n");
    Child c([] { all_init(); });
    ASSERT_TRUE(c.wait_output("----------lte calibration ...", 5000)) << c.output();
    // Signal handling is not installed: SIGPIPE still ends the process.
    kill(c.pid(), SIGPIPE);
    ChildResult r = c.wait(5000);
    EXPECT_FALSE(r.exited);
    EXPECT_EQ(r.signal, SIGPIPE);
    EXPECT_EQ(root.read("/var/actions.log").find("oom_adj"), std::string::npos);
}

TEST(Startup, OtherCalibrationContentLetsStartupGoOn) {
    for (const char *content : {"0", "10", "x1", ""}) {
        TestRoot root;
        plat_clock_fake(1765000000);
        root.write("/media/ram/iotdebug.ini", content);
        ChildResult r = run_child([] { all_init(); }, 10000);
        ASSERT_TRUE(r.exited) << content;
        EXPECT_EQ(r.out.find("lte calibration"), std::string::npos) << content;
        EXPECT_NE(root.read("/var/actions.log").find("oom_adj"), std::string::npos) << content;
    }
}

TEST(Supervision, CleansLogsAtStartupAndAfter21600Passes) {
    TestRoot root;
    plat_clock_fake(1765000000);  // 2025-12-06
    root.mkdirs("/iot/log/20240101");
    ChildResult r = run_child([&root] {
        all_init();
        if (root.exists("/iot/log/20240101")) _exit(10);  // start-up cleaning
        root.mkdirs("/iot/log/20240102");
        int pass = 1;
        for (int i = 1; i < 21600; ++i) {
            if (supervision_pass(&pass) != 0) _exit(11);
        }
        if (!root.exists("/iot/log/20240102")) _exit(12);  // not yet
        if (supervision_pass(&pass) != 1 || pass != 0) _exit(13);
        if (root.exists("/iot/log/20240102")) _exit(14);
        // The next round is a full 21601 passes from 0.
        root.mkdirs("/iot/log/20240103");
        for (int i = 0; i < 21600; ++i) {
            if (supervision_pass(&pass) != 0) _exit(15);
        }
        if (supervision_pass(&pass) != 1) _exit(16);
        _exit(root.exists("/iot/log/20240103") ? 17 : 0);
    }, 60000);
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.status, 0);
}

// A reconnect waits (2 s before its connect, the old client's calls, 7 s more
// around a data-call restart): on the MQTT session's worker, never in the
// pass, so the LTE, disk and status checks keep their second.  Here the
// reconnect's teardown waits for the MQTT lock, which a publisher holds.
TEST(Supervision, MqttReconnectWaitsOnTheSessionWorkerWhileThePassesGoOn) {
    TestRoot root;
    plat_clock_fake(1765000000);
    root.write("/iot/conf/iot.ini", "[IotCfg]\nMqttHost=127.0.0.1\nMqttPort=1\nWorkingMode=1\n");
    ChildResult r = run_child([] {
        if (init_iotconfig() != 1) _exit(10);
        init_mqtt();
        lte_set_data_status(1);
        set_mqtt_Reregister(1);
        mqtt_lock();
        static std::atomic<int> passes{0};
        std::thread([] {
            int pass = 1;
            for (int i = 0; i < 3; ++i) {
                supervision_pass(&pass);
                passes.fetch_add(1);
            }
        }).detach();
        for (int i = 0; i < 2500 && passes.load() < 3; ++i) usleep(2000);
        const int done = passes.load();
        const int retries_held = get_mqtt_retry_count();
        const int64_t before = plat_mono_ms();
        mqtt_unlock();
        for (int i = 0; i < 2500 && get_mqtt_retry_count() == 0; ++i) usleep(2000);
        fflush(stdout);
        if (done != 3) _exit(11);          // a pass waited for the reconnect
        if (retries_held != 0) _exit(12);  // the reconnect got past the held lock
        // One reconnect for the three passes (the two handed over while it ran
        // were not queued behind it), with its 2 s before the connect.
        if (get_mqtt_retry_count() != 1) _exit(13);
        if (plat_mono_ms() - before < 2000) _exit(14);
        _exit(0);
    }, 20000);
    ASSERT_TRUE(r.exited) << r.out;
    EXPECT_EQ(r.status, 0) << r.out;
    size_t reconnects = 0;
    for (size_t at = 0; (at = r.out.find("check_mqqt_connected mqtt_failed_count:26.\n", at)) != std::string::npos; ++at) {
        ++reconnects;
    }
    EXPECT_EQ(reconnects, 1u) << r.out;
}

TEST(Signals, PipeTermQuitAreIgnored) {
    TestRoot root;
    ChildResult r = run_child([] {
        init_platform_sig();
        raise(SIGPIPE);
        raise(SIGTERM);
        raise(SIGQUIT);
        int fds[2];
        if (pipe(fds) != 0) _exit(2);
        close(fds[0]);
        char c = 'x';
        // A write to a closed peer reports EPIPE instead of killing the box.
        _exit(write(fds[1], &c, 1) == -1 && errno == EPIPE ? 0 : 3);
    });
    ASSERT_TRUE(r.exited) << "signal " << r.signal;
    EXPECT_EQ(r.status, 0);
}

TEST(Signals, Usr2SilencesBothLogsUsr1DoesNot) {
    TestRoot root;
    ChildResult r = run_child([] {
        init_platform_sig();
        mLogInit(2, 2);
        iot_log_init(2, 2);
        raise(SIGUSR1);
        if (mlog_type() != 2 || tavi_log_type() != 2) _exit(2);
        raise(SIGUSR2);
        if (mlog_type() != 0 || tavi_log_type() != 0) _exit(3);
        if (mlog_level() != 2 || tavi_log_level() != 2) _exit(4);
        _exit(mlog(0, "after usr2\n") == 0 ? 0 : 5);
    });
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find(" sig_num:10\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(" sig_num:12\n"), std::string::npos) << r.out;
    EXPECT_FALSE(root.exists("/iot/log") && !fs::is_empty(root.at("/iot/log")));
}

class CrashLog : public ::testing::Test {
protected:
    TestRoot root;

    // Checks the exact shape of one crash record and returns the frame count.
    int check_record(const std::string &log) {
        std::regex shape(
            "\n--- TX513\\.880Q\\.v1\\.2\\.2\\.1\\.2023\\.11\\.21 ---\n"
            "(Mon|Tue|Wed|Thu|Fri|Sat|Sun) (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) "
            "[ 123][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9] [0-9]{4} --- [0-9]+ \n"
            "--- sigsegv_handler ---entry---\n"
            "((?:[^\n]+\n){1,20})"
            "--- sigsegv_handler ---end---\n");
        std::smatch m;
        EXPECT_TRUE(std::regex_search(log, m, shape)) << log;
        if (m.empty()) return 0;
        std::string frames = m[3];
        return static_cast<int>(std::count(frames.begin(), frames.end(), '\n'));
    }
};

TEST_F(CrashLog, SegfaultWritesTheRecordAndExitsOne) {
    plat_clock_fake(1765163720);  // Mon Dec  8 03:15:20 2025 UTC
    ChildResult r = run_child([] {
        init_platform_sig();
        // An unmapped address rather than null, which the sanitizers would
        // catch before the signal is raised.
        static volatile uintptr_t addr = 16;
        *reinterpret_cast<volatile int *>(addr) = 1;
    });
    ASSERT_TRUE(r.exited) << "signal " << r.signal;
    EXPECT_EQ(r.status, 1);
    std::string log = root.read("/iot/log/iot_seg.txt");
    EXPECT_NE(log.find("\nMon Dec  8 03:15:20 2025 --- 1765163720 \n"), std::string::npos) << log;
    EXPECT_GE(check_record(log), 2);
    // A second crash appends a second record.
    run_child([] { init_platform_sig(); raise(SIGSEGV); });
    std::string twice = root.read("/iot/log/iot_seg.txt");
    EXPECT_EQ(twice.substr(0, log.size()), log);
    EXPECT_GT(twice.size(), log.size());
}

TEST_F(CrashLog, CrashWhileHoldingLocksStillLogs) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "ThreadSanitizer holds back signals raised inside its malloc interceptors";
#endif
    // The handler must not need stdio, the heap or any lock the crashing code
    // may hold.  Hit a thread that lives inside malloc/free and stdio.
    ChildResult r = run_child([] {
        init_platform_sig();
        static std::mutex m;
        std::atomic<bool> go{false};
        std::thread busy([&go] {
            go = true;
            for (;;) {
                void *p = malloc(64 + (rand() & 1023));
                free(p);
            }
        });
        while (!go) {}
        m.lock();
        flockfile(stdout);
        usleep(1000);
        pthread_kill(busy.native_handle(), SIGSEGV);
        for (;;) pause();
    }, 10000);
    ASSERT_FALSE(r.timed_out) << "the crash handler deadlocked";
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.status, 1);
    check_record(root.read("/iot/log/iot_seg.txt"));
}

// Runs into the guard page of the calling thread's stack.  The bound only
// keeps the compiler from calling the recursion infinite.
__attribute__((noinline)) int overflow_stack(volatile char *prev, long depth) {
    volatile char frame[2048];
    frame[0] = static_cast<char>(prev != nullptr ? prev[0] + 1 : 1);
    if (depth > 1000000000L) return frame[0];
    return overflow_stack(frame, depth + 1) + frame[0];
}

TEST_F(CrashLog, StackOverflowOnAWorkerThreadStillWritesTheRecord) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "ThreadSanitizer takes a stack overflow for itself";
#endif
    // A serial line's thread, started the way every line starts its threads.
    ChildResult r = run_child([] {
        init_platform_sig();
        LineThread worker;
        worker.start([] { overflow_stack(nullptr, 0); });
        for (;;) pause();
    });
    ASSERT_FALSE(r.timed_out);
    ASSERT_TRUE(r.exited) << "killed by signal " << r.signal << ": the handler had no stack to run on";
    EXPECT_EQ(r.status, 1);
    check_record(root.read("/iot/log/iot_seg.txt"));

    // Any other thread of the agent: a second record is appended.
    const size_t first = root.read("/iot/log/iot_seg.txt").size();
    r = run_child([] {
        init_platform_sig();
        plat_thread("overflow", [] { overflow_stack(nullptr, 0); }).detach();
        for (;;) pause();
    });
    ASSERT_TRUE(r.exited) << "killed by signal " << r.signal;
    EXPECT_EQ(r.status, 1);
    const std::string log = root.read("/iot/log/iot_seg.txt");
    EXPECT_GT(log.size(), first);
    check_record(log.substr(first));
}

TEST(AltStack, EveryThreadGetsItsOwnAndGivesItBack) {
    // Threads alive at the same time each see their own stack, none the same.
    std::mutex mu;
    std::vector<void *> seen;
    std::atomic<int> arrived{0};
    std::vector<std::thread> ts;
    for (int i = 0; i < 4; ++i)
        ts.push_back(plat_thread("crasher", [&] {
            stack_t cur{};
            ASSERT_EQ(sigaltstack(nullptr, &cur), 0);
            EXPECT_FALSE(cur.ss_flags & SS_DISABLE);
#if !defined(TELAGENT_ASAN)
            // AddressSanitizer gives each thread a (smaller) one of its own,
            // which the guard keeps.
            EXPECT_GE(cur.ss_size, kPlatAltStackSize);
#endif
            {
                std::lock_guard<std::mutex> lk(mu);
                seen.push_back(cur.ss_sp);
            }
            arrived.fetch_add(1);
            while (arrived.load() < 4) std::this_thread::yield();
        }));
    for (auto &t : ts) t.join();
    ASSERT_EQ(seen.size(), 4u);
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(std::unique(seen.begin(), seen.end()), seen.end());
    // A thread that already has one keeps it, and it survives the guard.
    std::thread([] {
        static char mine[64 * 1024];
        stack_t ss{};
        ss.ss_sp = mine;
        ss.ss_size = sizeof mine;
        ASSERT_EQ(sigaltstack(&ss, nullptr), 0);
        { PlatAltStack guard; EXPECT_TRUE(guard.ok()); }
        stack_t cur{};
        sigaltstack(nullptr, &cur);
        EXPECT_EQ(cur.ss_sp, static_cast<void *>(mine));
        EXPECT_FALSE(cur.ss_flags & SS_DISABLE);
        ss.ss_flags = SS_DISABLE;
        sigaltstack(&ss, nullptr);
    }).join();
}

TEST_F(CrashLog, UnwritableLogStillEndsTheProcess) {
    root.write("/iot/log", "a file where the directory should be");
    ChildResult r = run_child([] { init_platform_sig(); raise(SIGSEGV); });
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.status, 1);
}
