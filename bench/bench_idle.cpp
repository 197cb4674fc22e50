// The idle box against the cost of its own timers.  One run brings up a
// simulated box as tools/demo.sh does (mosquitto on loopback, devsim with the
// bike on the bus, telagent-host --init-lpm running the built agent) and, side
// by side, a bare process that only wakes on the agent's schedule: one thread
// per loop of the agent with that loop's period or wait, the serial lines'
// threads waiting on pseudo-terminals that carry the same traffic as the
// bike's (an answer to every poll, the bike's own frames once a second), the
// location engine's sentences once a second, and the MQTT library's two
// threads with their waits; it does nothing with what it receives.  Both are
// measured over the same window from /proc (per-thread run time and wake-ups
// from schedstat, clock ticks from stat), with resident memory, threads and
// descriptors.  The last line is "idle ratio <agent / bare>".
//
//   bench_idle                     60 s window after 30 s of settling
//   bench_idle --seconds=20        shorter window
//   bench_idle --settle=15         shorter settling
//   bench_idle --keep              keep the device root (console.log, wire logs)
//
// Figures only: nothing here asserts on speed.
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

// The agent's periodic wake-ups as the box's behaviour fixes them: name of the
// agent's thread, period or wait in milliseconds.  A thread that blocks with no
// timeout (alarm timer, host control, the simulation's readers) is not here;
// the serial lines' threads are (see Line below).
struct Wake {
    const char *name;
    int period_ms;
};
const Wake kSleeps[] = {
    {"tel-supervise", 1000},  // supervision second
    {"mqtt-session", 1000},   //   the MQTT supervisor's pass, handed over each second
    {"lte-modem", 11000},     //   the signal refresh, every 11th pass
    {"tel-report", 1000},     // report tick
    {"tel-cloudreq", 10000},  // cloud request task's wait
    {"gnss", 1000},           // GNSS supervision
    {"motion", 100},          // motion period (WorkingMode 1)
    {"bt-msg", 2000},         // Bluetooth message wait
    {"lpm-battery", 5000},    // backup battery pass
    {"lpm-wake", 3000},       // wake FIFO select
};

// A serial line as the agent runs it: a receive thread waiting for bytes on
// the terminal (its byte wait), a dispatch thread woken through a condition
// for each read (its dispatch wait), and the polling thread writing one
// request per period.  The bike's side of the pseudo-terminal answers each
// request and sends its own frames, as devsim's bike does; it is the peer,
// not counted.
struct Line {
    const char *rx, *disp, *poll;
    int byte_wait_ms, disp_wait_ms, poll_ms;  // poll_ms 0: nothing polled
    int broadcast_ms;                         // the bike's own frames, 0: none
};
const Line kLines[] = {
    {"lock-rx", "lock-disp", "lock-poll", 2000, 2000, 500, 1000},  // lock line: polled every 500 ms
    {"mcu-rx", "mcu-disp", "mcu-poll", 2000, 2000, 5000, 0},       // MCU line: BLE polling every 5 s
    {"ecu-rx", "ecu-disp", nullptr, 100, 2000, 0, 0},              // factory line: 100 ms byte wait
};

struct Hand {
    std::mutex mu;
    std::condition_variable cv;
    int pending = 0;
};

void start_line(const Line &l) {
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return;
    int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
    if (slave < 0) return;
    struct termios t {};
    for (int fd : {master, slave}) {
        tcgetattr(fd, &t);
        cfmakeraw(&t);
        tcsetattr(fd, TCSANOW, &t);
    }
    auto *hand = new Hand;  // lives with the process
    std::thread([l, slave, hand] {
        pthread_setname_np(pthread_self(), l.rx);
        uint8_t buf[64];
        for (;;) {
            struct pollfd p {slave, POLLIN, 0};
            if (poll(&p, 1, l.byte_wait_ms) > 0 && read(slave, buf, sizeof buf) > 0) {
                std::lock_guard<std::mutex> g(hand->mu);
                ++hand->pending;
                hand->cv.notify_one();
            }
        }
    }).detach();
    std::thread([l, hand] {
        pthread_setname_np(pthread_self(), l.disp);
        std::unique_lock<std::mutex> g(hand->mu);
        for (;;) {
            hand->cv.wait_for(g, std::chrono::milliseconds(l.disp_wait_ms), [hand] { return hand->pending > 0; });
            hand->pending = 0;
        }
    }).detach();
    if (l.poll != nullptr) {
        std::thread([l, slave] {
            pthread_setname_np(pthread_self(), l.poll);
            const uint8_t req[10] = {0x02, 0x15, 0x06, 0x08, 0xF5, 0, 0, 0x71, 0x17, 0x03};
            for (;;) {
                std::this_thread::sleep_for(std::chrono::milliseconds(l.poll_ms));
                if (write(slave, req, sizeof req) < 0) return;
            }
        }).detach();
    }
    // The bike: an answer to every request, and its own frames.
    std::thread([l, master] {
        pthread_setname_np(pthread_self(), "peer-bike");
        uint8_t buf[64], frames[32] = {0x02, 0xFF, 0x03};
        auto next = std::chrono::steady_clock::now() + std::chrono::milliseconds(l.broadcast_ms);
        for (;;) {
            int wait = 1000;
            if (l.broadcast_ms > 0) {
                wait = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                            next - std::chrono::steady_clock::now())
                                            .count());
                if (wait <= 0) {
                    if (write(master, frames, sizeof frames) < 0) return;
                    next += std::chrono::milliseconds(l.broadcast_ms);
                    continue;
                }
            }
            struct pollfd p {master, POLLIN, 0};
            if (poll(&p, 1, wait) > 0) {
                ssize_t n = read(master, buf, sizeof buf);
                if (n > 0 && write(master, buf, static_cast<size_t>(n)) < 0) return;
            }
        }
    }).detach();
}

[[noreturn]] void run_bare() {
    for (const Wake &w : kSleeps) {
        std::thread([w] {
            pthread_setname_np(pthread_self(), w.name);
            struct timespec ts = {w.period_ms / 1000, (w.period_ms % 1000) * 1000000L};
            for (;;) nanosleep(&ts, nullptr);
        }).detach();
    }
    for (const Line &l : kLines) start_line(l);
    // The location engine's sentences, once a second, to the reader of the
    // location client.
    int gnss[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, gnss) == 0) {
        std::thread([fd = gnss[0]] {
            pthread_setname_np(pthread_self(), "loc-rx");
            char buf[2048];
            while (read(fd, buf, sizeof buf) > 0) {
            }
        }).detach();
        std::thread([fd = gnss[1]] {
            pthread_setname_np(pthread_self(), "peer-gnss");
            const char nmea[435] = "nmea $GPGGA";
            for (;;) {
                std::this_thread::sleep_for(std::chrono::seconds(1));
                if (write(fd, nmea, sizeof nmea) < 0) return;
            }
        }).detach();
    }
    // The MQTT library's own two threads, with the waits they are seen to take
    // (strace on a running box): the receive thread polls its socket for up to
    // 1 s and then sleeps 100 ms; the send thread waits 1 s on its condition.
    int sock[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sock) == 0) {
        std::thread([fd = sock[0]] {
            pthread_setname_np(pthread_self(), "MQTTAsync_rcv");
            for (;;) {
                struct pollfd p {fd, POLLIN, 0};
                poll(&p, 1, 1000);
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
        }).detach();
    }
    std::thread([] {
        pthread_setname_np(pthread_self(), "MQTTAsync_send");
        std::mutex mu;
        std::condition_variable cv;
        std::unique_lock<std::mutex> g(mu);
        for (;;) cv.wait_for(g, std::chrono::seconds(1));
    }).detach();
    pthread_setname_np(pthread_self(), "bare-main");
    for (;;) pause();
}

// Threads of the bare process that stand for the agent's peers (the bike,
// the location engine): shown, never counted.
bool is_peer(const std::string &comm) { return comm.rfind("peer-", 0) == 0; }

std::string read_file(const std::string &p) {
    std::ifstream f(p);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

int64_t mono_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// ---- processes --------------------------------------------------------------

std::vector<pid_t> g_groups;

// `out_fd` >= 0: the child's output goes there instead of the file `out`.
pid_t spawn(const std::vector<std::string> &argv, const std::vector<std::string> &env, const std::string &out,
            int out_fd = -1) {
    std::vector<char *> av;
    for (const auto &a : argv) av.push_back(const_cast<char *>(a.c_str()));
    av.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        int in = open("/dev/null", O_RDONLY);
        int o = out_fd >= 0 ? out_fd : open(out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (in >= 0) dup2(in, 0);
        if (o >= 0) {
            dup2(o, 1);
            dup2(o, 2);
        }
        for (int fd = 3; fd < 1024; ++fd) close(fd);
        for (const auto &e : env) putenv(const_cast<char *>(e.c_str()));
        execv(av[0], av.data());
        _exit(127);
    }
    if (pid > 0) {
        setpgid(pid, pid);
        g_groups.push_back(pid);
    }
    return pid;
}

// Ctrl-C or a kill of the bench takes its processes with it.
void on_signal(int) {
    for (pid_t p : g_groups) kill(-p, SIGKILL);
    _exit(130);
}

void stop_all() {
    for (auto it = g_groups.rbegin(); it != g_groups.rend(); ++it) kill(-*it, SIGINT);
    const int64_t end = mono_ms() + 3000;
    for (pid_t p : g_groups) {
        while (mono_ms() < end && waitpid(p, nullptr, WNOHANG) == 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        kill(-p, SIGKILL);
        waitpid(p, nullptr, WNOHANG);
    }
    for (pid_t p : g_groups) waitpid(p, nullptr, 0);
    g_groups.clear();
}

int free_port() {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t l = sizeof a;
    int port = 0;
    if (bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
        getsockname(s, reinterpret_cast<sockaddr *>(&a), &l) == 0)
        port = ntohs(a.sin_port);
    close(s);
    return port;
}

bool port_accepts(int port) {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    close(s);
    return ok;
}

template <class F>
bool wait_until(F f, int ms) {
    const int64_t end = mono_ms() + ms;
    while (mono_ms() < end) {
        if (f()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return f();
}

std::string find_program(const char *name) {
    const char *path = getenv("PATH");
    std::string dirs = std::string(path ? path : "") + ":/usr/sbin:/sbin";
    std::stringstream ss(dirs);
    std::string d;
    while (std::getline(ss, d, ':')) {
        std::string p = d + "/" + name;
        if (!d.empty() && access(p.c_str(), X_OK) == 0) return p;
    }
    return {};
}

// Children of `pid` (the host runs the agent in a child of its own).
std::vector<pid_t> children_of(pid_t pid) {
    std::vector<pid_t> out;
    for (const auto &e : fs::directory_iterator("/proc")) {
        const std::string n = e.path().filename().string();
        if (n.find_first_not_of("0123456789") != std::string::npos) continue;
        std::string st = read_file(e.path().string() + "/stat");
        size_t rp = st.rfind(')');
        if (rp == std::string::npos) continue;
        std::istringstream rest(st.substr(rp + 2));
        char state;
        long ppid;
        rest >> state >> ppid;
        if (ppid == pid) out.push_back(static_cast<pid_t>(std::stol(n)));
    }
    return out;
}

// ---- measurement -------------------------------------------------------------

struct Task {
    std::string comm;
    int64_t run_ns = 0;  // schedstat: time on the CPU
    int64_t runs = 0;    // schedstat: times it was put on the CPU (wake-ups)
    long ticks = 0;      // stat: utime + stime
};
struct Sample {
    std::map<pid_t, Task> tasks;
    long proc_ticks = 0;  // whole process, exited threads included
    long rss_kib = 0;
    int threads = 0;
    int fds = 0;
};

long stat_ticks(const std::string &statline) {
    size_t rp = statline.rfind(')');
    if (rp == std::string::npos) return 0;
    std::istringstream rest(statline.substr(rp + 2));
    std::string f;
    long ut = 0, stt = 0;
    for (int i = 3; i <= 15; ++i) {
        rest >> f;
        if (i == 14) ut = std::atol(f.c_str());
        if (i == 15) stt = std::atol(f.c_str());
    }
    return ut + stt;
}

Sample sample(pid_t pid) {
    Sample s;
    const std::string base = "/proc/" + std::to_string(pid);
    s.proc_ticks = stat_ticks(read_file(base + "/stat"));
    std::istringstream status(read_file(base + "/status"));
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) s.rss_kib = std::atol(line.c_str() + 6);
        if (line.rfind("Threads:", 0) == 0) s.threads = std::atoi(line.c_str() + 8);
    }
    std::error_code ec;
    for (const auto &e : fs::directory_iterator(base + "/fd", ec)) {
        (void)e;
        ++s.fds;
    }
    for (const auto &e : fs::directory_iterator(base + "/task", ec)) {
        Task t;
        t.comm = read_file(e.path().string() + "/comm");
        if (!t.comm.empty() && t.comm.back() == '\n') t.comm.pop_back();
        {
            std::istringstream ss(read_file(e.path().string() + "/schedstat"));
            long long wait_ns = 0;
            ss >> t.run_ns >> wait_ns >> t.runs;
        }
        t.ticks = stat_ticks(read_file(e.path().string() + "/stat"));
        s.tasks[static_cast<pid_t>(std::stol(e.path().filename().string()))] = t;
    }
    return s;
}

struct PerName {
    int64_t run_ns = 0;
    int64_t runs = 0;
    int threads = 0;
};
struct Usage {
    int64_t run_ns = 0;
    long ticks = 0;
    std::map<std::string, PerName> by_name;
    std::map<std::string, PerName> peers;  // shown, not in run_ns
};

Usage usage(const Sample &a, const Sample &b) {
    Usage u;
    for (const auto &[tid, t] : b.tasks) {
        auto it = a.tasks.find(tid);
        const bool had = it != a.tasks.end();
        int64_t d = t.run_ns - (had ? it->second.run_ns : 0);
        auto &n = is_peer(t.comm) ? u.peers[t.comm] : u.by_name[t.comm];
        if (!is_peer(t.comm)) u.run_ns += d;
        n.run_ns += d;
        n.runs += t.runs - (had ? it->second.runs : 0);
        n.threads += 1;
    }
    u.ticks = b.proc_ticks - a.proc_ticks;
    return u;
}

double loadavg1() { return std::atof(read_file("/proc/loadavg").c_str()); }

void print_side(const char *title, const Sample &end, const Usage &u, double seconds, long hz) {
    printf("%s\n", title);
    printf("  CPU            %.1f ms on the CPU (schedstat, live threads), %ld ticks of %ld ms (stat): %.3f %% of one core\n",
           static_cast<double>(u.run_ns) / 1e6, u.ticks, 1000 / hz, 100.0 * static_cast<double>(u.run_ns) / 1e9 / seconds);
    printf("  RSS            %ld KiB (%.2f MiB)\n", end.rss_kib, static_cast<double>(end.rss_kib) / 1024.0);
    printf("  threads        %d\n  descriptors    %d\n", end.threads, end.fds);
    std::vector<std::pair<std::string, PerName>> rows(u.by_name.begin(), u.by_name.end());
    std::sort(rows.begin(), rows.end(), [](const auto &x, const auto &y) { return x.second.run_ns > y.second.run_ns; });
    printf("  per thread (name, threads of that name, ms on the CPU, wake-ups, us per wake-up):\n");
    auto row = [](const std::string &name, const PerName &v) {
        printf("    %-16s %2d  %8.2f ms  %6lld  %6.1f us\n", name.c_str(), v.threads, static_cast<double>(v.run_ns) / 1e6,
               static_cast<long long>(v.runs), v.runs > 0 ? static_cast<double>(v.run_ns) / 1e3 / static_cast<double>(v.runs) : 0.0);
    };
    for (const auto &[name, v] : rows) row(name, v);
    if (!u.peers.empty()) {
        printf("  peers standing in for the bike and the location engine (not counted):\n");
        for (const auto &[name, v] : u.peers) row(name, v);
    }
}

}  // namespace

int main(int argc, char **argv) {
    int seconds = 60, settle = 30;
    bool keep = false;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--bare") == 0) run_bare();
        if (strncmp(argv[i], "--seconds=", 10) == 0) seconds = std::max(1, atoi(argv[i] + 10));
        else if (strncmp(argv[i], "--settle=", 9) == 0) settle = std::max(0, atoi(argv[i] + 9));
        else if (strcmp(argv[i], "--keep") == 0) keep = true;
        else {
            fprintf(stderr, "usage: %s [--seconds=N] [--settle=N] [--keep]\n", argv[0]);
            return 2;
        }
    }
    signal(SIGPIPE, SIG_IGN);
    signal(SIGINT, on_signal);
    signal(SIGTERM, on_signal);
    // bench/bench_idle -> the build's bin/ and lib/.
    const fs::path self = fs::read_symlink("/proc/self/exe");
    const fs::path build = self.parent_path().parent_path();
    const std::string host = (build / "bin/telagent-host").string(), devsim = (build / "bin/telagent-devsim").string();
    const std::string lib = fs::weakly_canonical(build / "lib/libTelAgent.so").string();
    const std::string mosq = find_program("mosquitto");
    if (access(host.c_str(), X_OK) || access(devsim.c_str(), X_OK) || access(lib.c_str(), R_OK) || mosq.empty()) {
        fprintf(stderr, "bench_idle: needs %s, %s, %s and mosquitto\n", host.c_str(), devsim.c_str(), lib.c_str());
        return 1;
    }
    char tmpl[] = "/tmp/telagent-idle-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) return 1;
    const std::string root = tmpl;
    chmod(root.c_str(), 0755);
    fs::create_directories(root + "/var/broker");
    auto fail = [&](const char *what) {
        fprintf(stderr, "bench_idle: %s (root %s)\n", what, root.c_str());
        stop_all();
        return 1;
    };

    // Broker, as the tests run it; the box's account is accepted as anonymous.
    const int port = free_port();
    {
        std::ofstream c(root + "/var/broker/mosquitto.conf");
        if (getuid() == 0) c << "user root\n";
        c << "listener " << port << " 127.0.0.1\nallow_anonymous true\npersistence false\nset_tcp_nodelay true\n";
    }
    if (spawn({mosq, "-c", root + "/var/broker/mosquitto.conf"}, {}, root + "/var/broker/mosquitto.log") < 0 ||
        !wait_until([&] { return port_accepts(port); }, 5000))
        return fail("mosquitto did not start");

    // devsim with the bike attached, then the host with power management.
    std::ofstream(root + "/scenario.ini") << "[bike]\nattached = 1\n[sntp]\nservers = good\n";
    if (spawn({devsim, "--root", root, "--create", "--lib", lib, "--scenario", root + "/scenario.ini", "--mqtt-port",
               std::to_string(port)},
              {}, root + "/devsim.log") < 0 ||
        !wait_until([&] { return !read_file(root + "/var/devsim/ready").empty(); }, 10000))
        return fail("devsim did not come up");
    const std::string env_root = "TELAGENT_ROOT=" + root;
    // The console goes through a pipe that a thread of ours empties into
    // console.log every 200 ms, as a UART takes the box's console: the agent
    // pays its formatting and its writes, not the journal of a file system
    // updating a file's times nor a reader woken for every line.
    int console[2] = {-1, -1};
    if (pipe2(console, O_CLOEXEC) != 0) return fail("no pipe for the console");
    fcntl(console[0], F_SETFL, O_NONBLOCK);
    std::thread([fd = console[0], path = root + "/var/console.log"] {
        FILE *f = fopen(path.c_str(), "a");
        char buf[65536];
        for (;;) {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            ssize_t n = read(fd, buf, sizeof buf);  // non-blocking: never waits in read
            if (n < 0 && errno == EAGAIN) continue;
            if (n <= 0) break;
            if (f != nullptr) {
                fwrite(buf, 1, static_cast<size_t>(n), f);
                fflush(f);
            }
        }
        if (f != nullptr) fclose(f);
    }).detach();
    const pid_t host_pid = spawn({host, "--init-lpm"}, {env_root}, "", console[1]);
    close(console[1]);
    const pid_t bare_pid = spawn({self.string(), "--bare"}, {}, "/dev/null");
    if (host_pid < 0 || bare_pid < 0) return fail("could not start the host or the bare schedule");

    // Online: the broker saw the box's session.
    if (!wait_until([&] { return read_file(root + "/var/broker/mosquitto.log").find("864000000000017") != std::string::npos; },
                    120000))
        return fail("the box did not reach the broker");
    printf("box online (root %s); settling %d s, then measuring %d s\n", root.c_str(), settle, seconds);
    fflush(stdout);
    std::this_thread::sleep_for(std::chrono::seconds(settle));

    std::vector<pid_t> agent = {host_pid};
    for (pid_t c : children_of(host_pid)) agent.push_back(c);
    const double load0 = loadavg1();
    std::vector<Sample> a0, a1;
    for (pid_t p : agent) a0.push_back(sample(p));
    Sample b0 = sample(bare_pid);
    const int64_t t0 = mono_ms();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    for (pid_t p : agent) a1.push_back(sample(p));
    Sample b1 = sample(bare_pid);
    const double wall = static_cast<double>(mono_ms() - t0) / 1000.0;
    const double load1 = loadavg1();
    const long hz = sysconf(_SC_CLK_TCK);

    // The host's processes as one: the supervisor that forks and the agent.
    Sample aend;
    Usage au;
    for (size_t i = 0; i < agent.size(); ++i) {
        Usage u = usage(a0[i], a1[i]);
        au.run_ns += u.run_ns;
        au.ticks += u.ticks;
        for (auto &[n, v] : u.by_name) {
            auto &t = au.by_name[n];
            t.run_ns += v.run_ns;
            t.runs += v.runs;
            t.threads += v.threads;
        }
        aend.rss_kib += a1[i].rss_kib;
        aend.threads += a1[i].threads;
        aend.fds += a1[i].fds;
    }
    Usage bu = usage(b0, b1);
    printf("\nwindow %.1f s, load average %.2f at the start, %.2f at the end (%u cores)\n", wall, load0, load1,
           std::thread::hardware_concurrency());
    print_side("agent (telagent-host and the agent it runs)", aend, au, wall, hz);
    if (agent.size() > 1) {
        printf("  of which the agent process: RSS %ld KiB, %d threads, %d descriptors\n", a1.back().rss_kib,
               a1.back().threads, a1.back().fds);
    }
    print_side("bare schedule (one thread per agent loop, same periods and waits, the lines' traffic)", b1, bu, wall, hz);
    const double ratio = bu.run_ns > 0 ? static_cast<double>(au.run_ns) / static_cast<double>(bu.run_ns) : 0.0;
    fflush(stdout);
    stop_all();
    if (!keep) fs::remove_all(root);
    else printf("root kept at %s\n", root.c_str());
    printf("idle ratio %.2f\n", ratio);
    return 0;
}
