#include "core/tel_agent_main.h"
#include "core/health_mark.h"
#include "core/tavi_common.h"

#include <execinfo.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>

#include "cloud/mqtt_handle.h"
#include "cloud/orlin_handle.h"
#include "cloud/report_handle.h"
#include "cloud/sntp_handle.h"
#include "core/iot_common.h"
#include "core/iot_config.h"
#include "core/iotsdk_main.h"
#include "core/logging.h"
#include "core/sys_utils.h"
#include "dfu/hostcore_upgrade.h"
#include "lte/lte_handle.h"
#include "lte/nv_handle.h"
#include "platform/plat_clock.h"
#include "platform/plat_path.h"
#include "platform/plat_thread.h"
#include "platform/sys_action.h"
#include "power/lpm_handle.h"
#include "gps/gps_handle.h"
#include "sensor/sensor_handle.h"
#include "vehicle/bt_handle.h"
#include "vehicle/factory_test.h"
#include "vehicle/lock_link.h"
#include "vehicle/usart_ecu_handle.h"
#include "vehicle/usart_lock_handle.h"
#include "vehicle/usart_mcu_handle.h"
#include "vehicle/vehicle_state.h"

namespace {

constexpr int kCleanEveryPasses = 21600;  // about six hours of one-second passes
constexpr int64_t kSupervisionLateMs = 3000;
constexpr int64_t kSupervisionStepSlowMs = 1000;
constexpr int kCrashFrames = 20;

std::atomic<int> g_lib_load_type{0};
std::atomic<int> g_startup_done{0};

// ---- crash log ----------------------------------------------------------
// Everything the SIGSEGV handler needs is prepared here, at start-up: the
// handler itself may run inside malloc or with any lock held, so it only uses
// open/write/close, backtrace and _exit on preformatted text.
char g_crash_path[512];
std::atomic<long> g_utc_offset{0};  // local time minus UTC, seconds
char g_alt_stack[64 * 1024];

// Small append-only text buffer usable inside a signal handler.
struct SigText {
    char buf[512];
    size_t len = 0;
    void add(const char *s) {
        while (*s && len + 1 < sizeof buf) buf[len++] = *s++;
        buf[len] = '\0';
    }
    void add_num(long long v, int width = 0, char pad = '0') {
        char tmp[24];
        int n = 0;
        bool neg = v < 0;
        unsigned long long u = neg ? 0ULL - static_cast<unsigned long long>(v) : static_cast<unsigned long long>(v);
        do {
            tmp[n++] = static_cast<char>('0' + u % 10);
            u /= 10;
        } while (u && n < 20);
        while (n < width && n < 22) tmp[n++] = pad;
        if (neg) add("-");
        char one[2] = {0, 0};
        while (n > 0) {
            one[0] = tmp[--n];
            add(one);
        }
    }
};

void crash_write_line(const char *text, size_t len) {
    int fd = open(g_crash_path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return;  // lines are lost, the process still ends
    ssize_t w = write(fd, text, len);
    (void)w;
    close(fd);
}

// Local time as "Www Mmm dd hh:mm:ss yyyy", computed without localtime().
void add_local_time(SigText &t, long long secs) {
    static const char *const kDays[] = {"Thu", "Fri", "Sat", "Sun", "Mon", "Tue", "Wed"};
    static const char *const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    long long local = secs + g_utc_offset.load(std::memory_order_relaxed);
    long long days = local >= 0 ? local / 86400 : (local - 86399) / 86400;
    long long rem = local - days * 86400;
    // Civil date from days since 1970-01-01 (proleptic Gregorian).
    long long z = days + 719468;
    long long era = (z >= 0 ? z : z - 146096) / 146097;
    long long doe = z - era * 146097;
    long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    long long y = yoe + era * 400;
    long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    long long mp = (5 * doy + 2) / 153;
    long long d = doy - (153 * mp + 2) / 5 + 1;
    long long m = mp < 10 ? mp + 3 : mp - 9;
    if (m <= 2) ++y;
    long long wd = days % 7;
    if (wd < 0) wd += 7;
    t.add(kDays[wd]);
    t.add(" ");
    t.add(kMonths[m - 1]);
    t.add(" ");
    t.add_num(d, 2, ' ');
    t.add(" ");
    t.add_num(rem / 3600, 2);
    t.add(":");
    t.add_num(rem / 60 % 60, 2);
    t.add(":");
    t.add_num(rem % 60, 2);
    t.add(" ");
    t.add_num(y);
}

void sigsegv_handler(int, siginfo_t *, void *) {
    long long now = static_cast<long long>(plat_now());
    SigText head;
    head.add("\n--- ");
    head.add(kFirmwareVersion);
    head.add(" ---\n");
    add_local_time(head, now);
    head.add(" --- ");
    head.add_num(now);
    head.add(" \n");
    crash_write_line(head.buf, head.len);

    SigText entry;
    entry.add("--- sigsegv_handler ---entry---\n");
    crash_write_line(entry.buf, entry.len);

    void *frames[kCrashFrames];
    int n = backtrace(frames, kCrashFrames);
    for (int i = 0; i < n; ++i) {
        int fd = open(g_crash_path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (fd < 0) continue;
        if (frames[i] != nullptr) {
            backtrace_symbols_fd(&frames[i], 1, fd);  // "%s\n" per frame
        } else {
            SigText nul;
            nul.add("i ");
            nul.add_num(i);
            nul.add(" is NULL\n");
            ssize_t w = write(fd, nul.buf, nul.len);
            (void)w;
        }
        close(fd);
    }

    SigText end;
    end.add("--- sigsegv_handler ---end---\n");
    crash_write_line(end.buf, end.len);
    _exit(1);
}

void sigusr_handler(int sig) {
    SigText t;
    t.add_num(__LINE__);
    t.add(__func__);
    t.add(" sig_num:");
    t.add_num(sig);
    t.add("\n");
    ssize_t w = write(STDOUT_FILENO, t.buf, t.len);
    (void)w;
    if (sig == SIGUSR2) {
        // Silence both logs until the next start.
        mLogInit(2, 0);
        iot_log_init(2, 0);
    }
}

void refresh_utc_offset() {
    struct tm tm {};
    plat_localtime(plat_now(), &tm);
    g_utc_offset.store(tm.tm_gmtoff, std::memory_order_relaxed);
}

// ---- start-up helpers ---------------------------------------------------

void init_delay() {
    int level = get_sensor_level();
    if (level <= 9) iot_set_measure_gsensor(level, 10, 60);
    int lv = 0, p1 = 0, p2 = 0;
    int ret = iot_get_measure_gsensor(&lv, &p1, &p2);
    printf("iot_get_measure_gsensor: %d - %d/%d/%d\n", ret, lv, p1, p2);
}

void oom_protect() {
    char cmd[64];
    snprintf(cmd, sizeof cmd, "echo '-17' > /proc/%d/oom_adj", static_cast<int>(getpid()));
    sys_shell(cmd);
}

}  // namespace

extern "C" TELAGENT_API int get_lib_load_telagent_name_type(void) {
    return g_lib_load_type.load(std::memory_order_relaxed);
}

int get_startup_done(void) { return g_startup_done.load(std::memory_order_relaxed); }

int hostcore_init(void) {
    all_init();
    return 0;
}

int hostcore_deinit(void) { return 0; }

// The library's own operations table: every slot filled.
const dev_hostcore_t dev_hostcore = {
    hostcore_init,
    hostcore_deinit,
    hostcore_mqtt_connect,
    hostcore_mqtt_disconnect,
    hostcore_mqtt_pub,
    hostcore_mqtt_post,
    hostcore_mqtt_recv_register,
    write_data_to_bluetooth,
    write_data_to_GD,
    write_data_to_ecu,
    hostcore_bluetooth_recv_register,
    hostcore_GD32_recv_register,
    hostcore_ECU_recv_register,
    hostcore_get_gsensor_info,
    hostcore_get_gyroscope_info,
};

void execute_command(const char *keyword) {
    if (keyword == nullptr) return;
    if (strcmp(keyword, "execute_start") == 0) {
        printf("\r\n------------------ execute_start ------------------\r\n");
        printf("------------------ execute_start ------------------\r\n");
    } else if (strcmp(keyword, "force_disconnect_bt") == 0) {
        disconnect_bt_device();
    } else if (strcmp(keyword, "force_reboot_bt") == 0) {
        reboot_bt_device();
    } else if (strcmp(keyword, "app_init_success") == 0) {
        app_init_success();
    } else if (strncmp(keyword, "set_imei", 8) == 0) {
        // "set_imei_<digits>": the number follows the keyword and one separator.
        // A bare "set_imei" has nothing after it and stores 0.
        const char *num = strlen(keyword) > 9 ? keyword + 9 : "";
        long long v = strtoll(num, nullptr, 10);
        setimei(v);
        printf("imei --------- [%s] ------[%lld]-\r\n", num, v);
    }
}

int init_tx510x(void) {
    set_mqtt_report_cnt(0);
    plat_thread("tel-report", px510s_handle_loop, nullptr).detach();
    plat_thread("tel-recovery", px510_recovery_handle_loop, nullptr).detach();
    return 0;
}

void init_platform_sig(void) {
    std::string crash = plat_path("/iot/log/iot_seg.txt");
    // The handler cannot create directories; make sure /iot/log is there now.
    mkdir(plat_path("/iot").c_str(), 0777);
    mkdir(plat_path("/iot/log").c_str(), 0777);
    snprintf(g_crash_path, sizeof g_crash_path, "%s", crash.c_str());
    refresh_utc_offset();
    // backtrace() loads its unwinder on first use, which allocates: do it now,
    // not inside the handler.
    void *warm[2];
    backtrace(warm, 2);

    stack_t ss {};
    ss.ss_sp = g_alt_stack;
    ss.ss_size = sizeof g_alt_stack;
    sigaltstack(&ss, nullptr);

    struct sigaction sa {};
    sa.sa_sigaction = sigsegv_handler;
    sa.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGSEGV, &sa, nullptr);

    signal(SIGTERM, SIG_IGN);
    signal(SIGPIPE, SIG_IGN);
    signal(SIGQUIT, SIG_IGN);

    struct sigaction su {};
    su.sa_handler = sigusr_handler;
    sigemptyset(&su.sa_mask);
    su.sa_flags = SA_RESTART;
    sigaction(SIGUSR1, &su, nullptr);
    sigaction(SIGUSR2, &su, nullptr);
}

// The lower layers reach the higher ones only through what is registered here.
void register_layer_callbacks(void) {
    set_sensor_level_listener([](int level) { iot_set_measure_gsensor(level, 10, 60); });
    set_lte_mqtt_teardown_cb(free_mqtt_later);
    set_lte_bt_mac_cb(iot_get_bt_mac);
    set_gps_system_status_cb(get_system_status);
    set_sensor_lock_status_cb(get_MotorLockStatus);
    set_lpm_mqtt_subscribed_cb(get_mqtt_subscribel);
}

int all_init(void) {
    printf("IoT Version:%s\r\nLoad ...\r\n", kFirmwareVersion);
    mLogInit(2, 1);
    mLogInit(2, 2);
    iot_log_init(2, 2);
    // Each step is traced so that the start-up order can be read off the log.
    auto step = [](const char *name) { mlog(2, "startup: %s\n", name); };
    // reload_app restarts the BLE bridge through the command keywords.
    set_sys_command_handler(execute_command);

    step("init_iotsdk");
    init_iotsdk();
    step("factory_test_init");
    factory_test_init();
    step("init_iotconfig");
    if (init_iotconfig() == 1) set_factory_booting(get_enable_check_nv());
    step("init_orlin_handle");
    init_orlin_handle();

    // "/media/ram/iotdebug.ini" holding 1 keeps the box still for RF calibration.
    if (load_lte_calibration_flag() == 1) {
        step("lte calibration hold");
        for (;;) {
            printf(" \r\n----------lte calibration ...\r");
            fflush(stdout);
            plat_sleep_s(1);
        }
    }

    step("init_platform_sig");
    init_platform_sig();
    step("init_lte");
    init_lte_common();
    init_lte();
    step("init_mqtt");
    init_mqtt();
    step("init_tx510x");
    init_tx510x();
    step("load_sntp");
    load_sntp();
    step("init_delay");
    init_delay();
    g_startup_done.store(1, std::memory_order_relaxed);
    step("clean_dir_log");
    clean_dir_log();
    step("stored data and nv checks");
    load_auth_data_from_file();
    load_sn_info();
    load_csq();
    check_default_nv();
    oom_protect();
    execute_command("app_init_success");
    step("done");
    return 0;
}

namespace {
// One step of a pass, timed: a step that holds the pass for more than a second
// names itself on the console and in the device log, so that a late pass says
// what kept it.
template <class F>
void timed_step(const char *name, F step) {
    const int64_t start = plat_mono_ms();
    step();
    const int64_t took = plat_mono_ms() - start;
    if (took > kSupervisionStepSlowMs) {
        printf("supervision: %s took %" PRId64 " ms\n", name, took);
        mlog(2, "supervision: %s took %" PRId64 " ms\n", name, took);
    }
}
}  // namespace

int supervision_pass(int *pass) {
    timed_step("check_sys_status", [] { check_sys_status(); });
    timed_step("check_lte_network", [] { check_lte_network(); });
    timed_step("mqtt_supervise", [] { mqtt_supervise(); });
    timed_step("check_disk_statfs", [] { check_disk_statfs(); });
    timed_step("check_hostcore_upgrade_timeout", [] { check_hostcore_upgrade_timeout(); });
    ++*pass;
    if (*pass > kCleanEveryPasses) {
        clean_dir_log();
        refresh_utc_offset();  // keep the crash log's local time right across DST
        *pass = 0;
        return 1;
    }
    return 0;
}

extern "C" TELAGENT_API void call_iotmain(const char *lib_path) {
    g_lib_load_type.store(0, std::memory_order_relaxed);
    if (lib_path == nullptr) {
        printf("call_iotmain error .\n");
        sys_exit(0);
    }
    if (!plat_root_usable()) {
        // Simulation build only: never let a missing root reach this machine's
        // real /iot, /var or /etc.
        printf("call_iotmain: TELAGENT_ROOT must name a device root (not unset or /)\n");
        fflush(stdout);
        exit(1);
    }
    int type = 0;
    if (strncmp(lib_path, "/iot/lib/libTelAgentEx.so", strlen("/iot/lib/libTelAgentEx.so")) == 0) {
        type = 2;
    } else if (strncmp(lib_path, "/iot/lib/libTelAgent.so", strlen("/iot/lib/libTelAgent.so")) == 0) {
        type = 1;
    }
    g_lib_load_type.store(type, std::memory_order_relaxed);
    printf("Runing lib:%s,nt[%d]\n", lib_path, type);
    set_health_lib(lib_path);

    register_layer_callbacks();
    dev_hostcore_register(&dev_hostcore);
    dev_mqtt_recv_register(dev_yun_recv_handler);
    dev_GD32_recv_register(dev_GD32_recv_handler);
    dev_ECU_recv_register(dev_ECU_recv_handler);
    dev_bluetooth_recv_register(dev_bluetooth_recv_handler);

    dev_hostcore_init();

    // Named after start-up: threads inherit their creator's name, and the
    // start-up threads carry their own.
    plat_set_thread_name("tel-supervise");
    // A pass that overruns its second by far is said on the console and in the
    // device log: the checks it runs stand still meanwhile.
    int pass = 1;
    int64_t last_ms = plat_mono_ms();
    for (;;) {
        supervision_pass(&pass);
        plat_sleep_s(1);
        const int64_t now_ms = plat_mono_ms();
        if (now_ms - last_ms > kSupervisionLateMs) {
            printf("supervision: pass took %" PRId64 " ms\n", now_ms - last_ms);
            mlog(2, "supervision: pass took %" PRId64 " ms\n", now_ms - last_ms);
        }
        last_ms = now_ms;
    }
}
