// telagent-host: loads libTelAgent.so in a child process and keeps it running.
//
// The library's call_iotmain() never returns, so the only ways back are an
// exit (self-update, simulated reboot, fatal error) or a signal.  After either
// the host waits a moment and starts it again, re-reading libiot.ini so that a
// self-update that switched libraries takes effect, as on the box.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "host_control.h"
#include "host_fallback.h"
#include "host_libini.h"
#include "telagent/iotsdk.h"

namespace {

struct Options {
    bool once = false;
    long max_restarts = -1;  // -1: unlimited
    long restart_delay_ms = 1000;
    bool init_cb = false;
    bool init_lpm = false;
    long trial_window_ms = kHostTrialWindowMs;  // a new library's first minutes
    long health_window_ms = kHostHealthWindowMs;  // to reach the broker; 0: not asked
};

// How often the host looks for the health marker of a library on trial.
constexpr int64_t kHealthPollMs = 200;

void usage() {
    fprintf(stderr,
            "usage: TELAGENT_ROOT=<device root> telagent-host [--once] [--max-restarts N]\n"
            "           [--restart-delay-ms MS] [--init-cb] [--init-lpm] [--trial-window-ms MS]\n"
            "           [--health-window-ms MS]\n");
}

bool parse_count(const char *s, long max, long *out) {
    if (s == nullptr || *s == '\0') return false;
    char *end = nullptr;
    errno = 0;
    long v = strtol(s, &end, 10);
    if (errno != 0 || *end != '\0' || v < 0 || v > max) return false;
    *out = v;
    return true;
}

// 0 on success, -1 on a bad command line.
int parse_options(int argc, char **argv, Options *o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--once") {
            o->once = true;
        } else if (a == "--init-cb") {
            o->init_cb = true;
        } else if (a == "--init-lpm") {
            o->init_lpm = true;
        } else if (a == "--max-restarts" && i + 1 < argc) {
            if (!parse_count(argv[++i], 1000000000L, &o->max_restarts)) return -1;
        } else if (a == "--trial-window-ms" && i + 1 < argc) {
            if (!parse_count(argv[++i], 86400000L, &o->trial_window_ms)) return -1;
        } else if (a == "--health-window-ms" && i + 1 < argc) {
            if (!parse_count(argv[++i], 86400000L, &o->health_window_ms)) return -1;
        } else if (a == "--restart-delay-ms" && i + 1 < argc) {
            if (!parse_count(argv[++i], 3600000L, &o->restart_delay_ms)) return -1;
        } else {
            return -1;
        }
    }
    if (o->once) o->max_restarts = 0;
    return 0;
}

// ---- child side ----------------------------------------------------------

// The library's operations, resolved once the agent's library is loaded.
HostControlOps g_ops;

void host_bt_msg(const unsigned char *msg, int len) {
    fprintf(stderr, "[host] bt_msg: %d bytes%s\n", len, msg == nullptr ? " (null)" : "");
    // A library image pushed over Bluetooth: the transfer is the library's job,
    // the answers go back over Bluetooth.
    if (host_is_upgrade_frame(msg, len) && g_ops.upgrade != nullptr) g_ops.upgrade(2, msg, len);
}

void host_event_msg(const char *name, const char *value) {
    fprintf(stderr, "[host] event: %s=%s\n", name ? name : "(null)", value ? value : "(null)");
}

const iot_host_cb_t kHostCallbacks = {host_bt_msg, host_event_msg};

// Library image frames from the lock line, the bus port or the app: the
// transfer is the library's job, the answers go back on the same link.
void host_link_msg(int type, const unsigned char *msg, int len) {
    if (host_is_upgrade_frame(msg, len) && g_ops.upgrade != nullptr) g_ops.upgrade(type, msg, len);
}

[[noreturn]] void run_agent(const std::string &root, const std::string &logical, const Options &o,
                            pid_t host) {
    // Own process group, so a stop takes everything the agent started with it.
    setpgid(0, 0);
    // The host is what keeps the agent; an agent without its host is a stray.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != host) _exit(127);  // the host died before the line above
    // The parent's handlers and mask are the parent's business.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    signal(SIGCHLD, SIG_DFL);
    // Console lines must reach a redirected log as they are printed.
    setvbuf(stdout, nullptr, _IOLBF, 0);

    if (chdir(root.c_str()) != 0) {
        fprintf(stderr, "[host] chdir %s: %s\n", root.c_str(), strerror(errno));
        _exit(127);
    }
    const std::string machine_path = root + logical;
    void *h = dlopen(machine_path.c_str(), RTLD_NOW | RTLD_GLOBAL);
    if (h == nullptr) {
        const char *e = dlerror();
        fprintf(stderr, "[host] dlopen: %s\n", e ? e : machine_path.c_str());
        _exit(127);
    }
    dlerror();
    auto entry = reinterpret_cast<void (*)(const char *)>(dlsym(h, "call_iotmain"));
    if (entry == nullptr) {
        const char *e = dlerror();
        fprintf(stderr, "[host] dlsym: %s\n", e ? e : "call_iotmain not found");
        _exit(127);
    }
    g_ops = host_control_resolve(h);
    if (host_control_start(root, g_ops) != 0) {
        fprintf(stderr, "[host] control channel unavailable: %s\n", strerror(errno));
    }
    // Not behind --init-cb: taking a pushed library into use is the host's job.
    if (auto f = reinterpret_cast<int (*)(iot_link_msg_cb_t)>(dlsym(h, "init_link_cb")); f != nullptr) {
        f(host_link_msg);
    }
    if (o.init_cb) {
        auto f = reinterpret_cast<int (*)(const iot_host_cb_t *)>(dlsym(h, "init_cb"));
        if (f != nullptr) {
            f(&kHostCallbacks);
        } else {
            fprintf(stderr, "[host] note: library has no init_cb, callbacks not passed\n");
        }
    }
    if (o.init_lpm) {
        auto f = reinterpret_cast<int (*)()>(dlsym(h, "init_lpm"));
        if (f != nullptr) {
            f();
        } else {
            fprintf(stderr, "[host] note: library has no init_lpm, power management not started\n");
        }
    }
    entry(logical.c_str());
    // call_iotmain never returns; if a broken build does, make it visible.
    fflush(stdout);
    fprintf(stderr, "[host] call_iotmain returned\n");
    _exit(126);
}

// ---- parent side ---------------------------------------------------------

// The library on trial is kept from now on.
void commit(const std::string &root, const HostTrial &trial, const char *why) {
    if (host_write_lib_file(root, "/iot/conf/libiot.good", trial.good) != 0) {
        fprintf(stderr, "[host] %s: libiot.good not writable: %s\n", trial.good.c_str(), strerror(errno));
    }
    fprintf(stderr, "[host] %s %s: committed\n", trial.good.c_str(), why);
    fprintf(stderr, "[host] %s passed its trial\n", trial.good.c_str());
}

void on_signal(int) {}

int64_t mono_ms() {
    struct timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Waits for one of the blocked signals in `set` until `deadline` (monotonic ms,
// -1 for ever).  Returns the signal number, or 0 when the deadline passed.
int wait_signal(const sigset_t &set, int64_t deadline) {
    for (;;) {
        int sig;
        if (deadline < 0) {
            sig = sigwaitinfo(&set, nullptr);
        } else {
            int64_t left = deadline - mono_ms();
            if (left <= 0) return 0;
            struct timespec ts {};
            ts.tv_sec = left / 1000;
            ts.tv_nsec = (left % 1000) * 1000000;
            sig = sigtimedwait(&set, nullptr, &ts);
            if (sig < 0 && errno == EAGAIN) return 0;
        }
        if (sig > 0) return sig;
        // EINTR: something else interrupted us; wait again.
    }
}

// Kills the agent's process group and reaps the agent.  Called while the agent
// is still unreaped, so its pid still names the group.
void kill_and_reap(pid_t pid, int *status) {
    kill(-pid, SIGKILL);
    kill(pid, SIGKILL);  // in case it never reached setpgid
    while (waitpid(pid, status, 0) < 0 && errno == EINTR) {
    }
}

// Exit status the host reports for a child wait status.
int host_status(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return 1;
}

void report(int status) {
    if (WIFSIGNALED(status)) {
        fprintf(stderr, "[host] agent killed: signal %d\n", WTERMSIG(status));
    } else if (WIFEXITED(status)) {
        fprintf(stderr, "[host] agent exited: status %d\n", WEXITSTATUS(status));
    }
}

}  // namespace

int main(int argc, char **argv) {
    Options opt;
    if (parse_options(argc, argv, &opt) != 0) {
        usage();
        return 2;
    }
    std::string root;
    if (host_root_from_env(getenv("TELAGENT_ROOT"), &root) != 0) {
        fprintf(stderr, "[host] TELAGENT_ROOT must name the device root (an absolute directory other than /)\n");
        return 2;
    }

    // INT/TERM stop us, CHLD tells us the agent ended; all three are taken with
    // sigwaitinfo so none can slip in between a check and a wait.
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGCHLD);
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sa.sa_flags = SA_NOCLDSTOP;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGCHLD, &sa, nullptr);
    sigprocmask(SIG_BLOCK, &set, nullptr);
    signal(SIGPIPE, SIG_IGN);

    HostTrial trial;
    trial.good = host_read_good_lib(root);
    for (long starts = 0;; ++starts) {
        std::string pushed;
        const std::string before = host_read_lib_path(root);
        std::string refused;
        const int in = host_install_pushed_lib(root, &pushed, &refused);
        if (in > 0) {
            fprintf(stderr, "[host] library pushed over a vehicle link installed as %s\n", pushed.c_str());
            // A first start knows no good library yet: the one it replaces is it.
            if (trial.good.empty()) {
                trial.good = before;
                host_write_lib_file(root, "/iot/conf/libiot.good", trial.good);
            }
        } else if (in < 0) {
            fprintf(stderr, "[host] library pushed over a vehicle link not installed: %s\n",
                    refused.empty() ? strerror(errno) : refused.c_str());
        }
        const std::string logical = host_read_lib_path(root);
        bool persist_good = false;
        const bool on_trial = host_trial_begin(&trial, logical, mono_ms(), &persist_good);
        if (persist_good) host_write_lib_file(root, "/iot/conf/libiot.good", trial.good);
        if (on_trial) fprintf(stderr, "[host] %s on trial, previous %s\n", logical.c_str(), trial.good.c_str());
        // Only the library being tried can mark itself: an old marker says nothing.
        if (on_trial && opt.health_window_ms > 0) host_clear_health(root);
        const pid_t self = getpid();
        fprintf(stderr, "[host] starting %s\n", logical.c_str());
        fflush(stdout);
        pid_t pid = fork();
        if (pid < 0) {
            fprintf(stderr, "[host] fork: %s\n", strerror(errno));
            return 1;
        }
        if (pid == 0) run_agent(root, logical, opt, self);
        setpgid(pid, pid);  // both sides set it: whichever runs first wins the race

        int status = 0;
        std::string unhealthy;  // why the agent was stopped for not coming online
        for (;;) {
            int64_t deadline = -1;
            if (!trial.trial.empty()) {
                deadline = opt.health_window_ms > 0 ? mono_ms() + kHealthPollMs : trial.start_ms + opt.trial_window_ms;
            }
            int sig = wait_signal(set, deadline);
            if (sig == 0) {
                if (opt.health_window_ms <= 0) {
                    if (host_trial_passed(&trial, mono_ms(), opt.trial_window_ms)) commit(root, trial, "ran through its trial window");
                } else if (host_trial_healthy(&trial, host_read_health(root))) {
                    commit(root, trial, "reached its broker");
                } else if (host_trial_unhealthy(&trial, mono_ms(), opt.health_window_ms, &unhealthy)) {
                    break;
                }
                continue;
            }
            if (sig == SIGINT || sig == SIGTERM) {
                kill_and_reap(pid, &status);
                report(status);
                fprintf(stderr, "[host] stopped by signal %d\n", sig);
                return 0;
            }
            siginfo_t si {};
            if (waitid(P_PID, static_cast<id_t>(pid), &si, WEXITED | WNOHANG | WNOWAIT) == 0 &&
                si.si_pid == pid) {
                break;
            }
        }
        // Whatever the agent left behind in its group goes with it, as on a reboot.
        kill_and_reap(pid, &status);
        report(status);
        // It may have come online just before it ended (a reboot after a broker switch).
        if (unhealthy.empty() && opt.health_window_ms > 0 && host_trial_healthy(&trial, host_read_health(root))) {
            commit(root, trial, "reached its broker");
        }

        const std::string good_before = trial.good;
        std::string why = unhealthy;
        if (!unhealthy.empty() || host_trial_end(&trial, host_status(status), mono_ms(), opt.trial_window_ms, &why,
                                                 opt.health_window_ms) == HostVerdict::kFallBack) {
            // The box must never be left without a library that loads.
            if (host_write_lib_file(root, "/iot/conf/libiot.ini", trial.good) == 0) {
                fprintf(stderr, "[host] %s: going back to %s\n", why.c_str(), trial.good.c_str());
            } else {
                fprintf(stderr, "[host] %s: libiot.ini not writable: %s\n", why.c_str(), strerror(errno));
            }
        } else if (trial.good != good_before) {
            host_write_lib_file(root, "/iot/conf/libiot.good", trial.good);
            fprintf(stderr, "[host] %s passed its trial\n", trial.good.c_str());
        }

        if (opt.max_restarts >= 0 && starts >= opt.max_restarts) return host_status(status);
        const int64_t until = mono_ms() + opt.restart_delay_ms;
        int sig = wait_signal(set, until);
        while (sig == SIGCHLD) sig = wait_signal(set, until);
        if (sig == SIGINT || sig == SIGTERM) {
            fprintf(stderr, "[host] stopped by signal %d\n", sig);
            return 0;
        }
    }
}
