#include "box_harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>

extern char **environ;

namespace fs = std::filesystem;

namespace {

constexpr int kGraceMs = 3000;

// Processes the harness started and has not reaped yet (devsim, hosts,
// brokers).  Anything else that is our child is an orphan of a broken host.
std::set<pid_t> g_owned;

void reaped(pid_t pid) { g_owned.erase(pid); }

// Kills and reaps the orphans that reached us (we are a subreaper), so a host
// that fails to take its agent down fails its test instead of leaking processes.
void kill_orphans() {
    std::error_code ec;
    for (const auto &e : fs::directory_iterator("/proc", ec)) {
        const std::string name = e.path().filename().string();
        if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
        std::ifstream f(e.path() / "stat");
        std::string stat((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
        size_t rp = stat.rfind(')');
        if (rp == std::string::npos) continue;
        std::istringstream rest(stat.substr(rp + 2));
        char state = 0;
        long ppid = 0;
        rest >> state >> ppid;
        const pid_t pid = static_cast<pid_t>(std::stol(name));
        if (ppid != getpid() || g_owned.count(pid) != 0) continue;
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
}

std::string temp_dir(const char *prefix) {
    const char *tmp = getenv("TMPDIR");
    std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/" + prefix + "-XXXXXX";
    if (mkdtemp(tmpl.data()) == nullptr) return {};
    char real[PATH_MAX];
    if (realpath(tmpl.c_str(), real) == nullptr) return tmpl;
    return real;
}

// Starts argv[0] in a process group of its own with stdin from /dev/null and
// stdout+stderr appended to out_path.  env entries "NAME=VALUE" set, "NAME"
// unsets.  The child's pid, or -1.
pid_t spawn(const std::vector<std::string> &argv, const std::vector<std::string> &env, const std::string &out_path) {
    // Everything the child needs is built before fork: after it, only
    // async-signal-safe calls.
    std::vector<std::string> envs;
    for (char **e = environ; *e; ++e) envs.emplace_back(*e);
    for (const std::string &mod : env) {
        const std::string name = mod.substr(0, mod.find('='));
        std::erase_if(envs, [&](const std::string &e) { return e.compare(0, name.size() + 1, name + "=") == 0; });
        if (mod.find('=') != std::string::npos) envs.push_back(mod);
    }
    std::vector<char *> av, ev;
    for (const auto &a : argv) av.push_back(const_cast<char *>(a.c_str()));
    av.push_back(nullptr);
    for (const auto &e : envs) ev.push_back(const_cast<char *>(e.c_str()));
    ev.push_back(nullptr);
    int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (out < 0 || in < 0) {
        if (out >= 0) close(out);
        if (in >= 0) close(in);
        return -1;
    }
    pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        dup2(in, 0);
        dup2(out, 1);
        dup2(out, 2);
        execve(av[0], av.data(), ev.data());
        _exit(127);
    }
    if (pid > 0) {
        setpgid(pid, pid);
        g_owned.insert(pid);
    }
    close(out);
    close(in);
    return pid;
}

int exit_code(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

// Waits up to timeout_ms for pid: its exit code, -1 while still running.
int wait_exit(pid_t pid, int timeout_ms) {
    int code = -1;
    poll_until(
        [&] {
            int st = 0;
            pid_t r = waitpid(pid, &st, WNOHANG);
            if (r == pid) code = exit_code(st);
            if (r < 0 && errno == ECHILD) code = -2;  // reaped elsewhere: gone, status unknown
            if (code != -1) reaped(pid);
            return code != -1;
        },
        timeout_ms);
    return code;
}

// SIGINT to the group, SIGKILL after the grace period; reaps.  Exit code.
int stop_group(pid_t pid) {
    if (pid <= 0) return 0;
    kill(-pid, SIGINT);
    int code = wait_exit(pid, kGraceMs);
    if (code != -1) return code;
    kill(-pid, SIGKILL);
    int st = 0;
    while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
    }
    reaped(pid);
    return exit_code(st) == 128 + SIGKILL ? -1 : exit_code(st);
}

std::string tail(const std::string &s, size_t n) { return s.size() > n ? "..." + s.substr(s.size() - n) : s; }

std::string find_program(const std::string &name) {
    std::string path = getenv("PATH") ? getenv("PATH") : "";
    path += ":/usr/sbin:/usr/local/sbin:/sbin";
    std::stringstream ss(path);
    std::string dir;
    while (std::getline(ss, dir, ':')) {
        if (dir.empty()) continue;
        std::string p = dir + "/" + name;
        if (access(p.c_str(), X_OK) == 0) return p;
    }
    return {};
}

int free_loopback_port() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return 0;
    sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = 0;
    socklen_t len = sizeof a;
    int port = 0;
    if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    close(fd);
    return port;
}

}  // namespace

int64_t harness_mono_ms() {
    struct timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void harness_sleep_ms(int ms) { usleep(static_cast<useconds_t>(ms) * 1000); }

std::string read_text(const std::string &machine_path) {
    std::ifstream f(machine_path, std::ios::binary);
    if (!f) return {};
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

size_t count_of(const std::string &hay, const std::string &needle) {
    if (needle.empty()) return 0;
    size_t n = 0;
    for (size_t i = hay.find(needle); i != std::string::npos; i = hay.find(needle, i + needle.size())) ++n;
    return n;
}

int run_program(const std::vector<std::string> &argv, const std::vector<std::string> &env, std::string *out,
                int timeout_ms) {
    std::string dir = temp_dir("telagent-run");
    const std::string log = dir + "/out";
    pid_t pid = spawn(argv, env, log);
    int code = pid > 0 ? wait_exit(pid, timeout_ms) : 127;
    if (pid > 0 && code == -1) {
        kill(-pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        reaped(pid);
    }
    if (out) *out = read_text(log);
    std::error_code ec;
    fs::remove_all(dir, ec);
    return code;
}

bool process_running(pid_t pid) {
    if (pid <= 0) return false;
    // An orphan handed to us (we are a subreaper) is reaped here; the harness's
    // own processes keep their status for whoever waits for them.
    if (g_owned.count(pid) == 0) waitpid(pid, nullptr, WNOHANG);
    std::string stat = read_text("/proc/" + std::to_string(pid) + "/stat");
    if (stat.empty()) return false;
    size_t rp = stat.rfind(')');
    return rp == std::string::npos || rp + 2 >= stat.size() || stat[rp + 2] != 'Z';
}

bool port_accepts(int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    bool ok = connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    close(fd);
    return ok;
}

// ---- Box -------------------------------------------------------------------

std::string harness_file(const char *env, const char *built) {
    const char *v = getenv(env);
    return v != nullptr && *v != '\0' ? v : built;
}

std::string harness_host_bin() { return harness_file("TELAGENT_TEST_HOST_BIN", TELAGENT_HOST_BIN); }
std::string harness_lib_file() { return harness_file("TELAGENT_TEST_LIB_FILE", TELAGENT_LIB_FILE); }

Box::Box(const BoxOptions &opt) {
    // Whatever the agent forks and leaves behind is handed to us, so a test can
    // see it gone (and reap it) instead of losing track of it.
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    root_ = temp_dir("telagent-box");
    if (root_.empty()) {
        error_ = "mkdtemp failed";
        return;
    }
    fs::create_directories(root_ + "/var");
    if (start_devsim(opt) != 0) return;
    if (opt.start_host && start_host(opt.host_args) != 0 && error_.empty()) error_ = "cannot start " + harness_host_bin();
}

Box::~Box() {
    stop();
    kill_orphans();
    if (root_.empty()) return;
    if (::testing::Test::HasFailure()) {
        fprintf(stderr, "---- box %s console.log ----\n%s\n---- devsim.out ----\n%s\n", root_.c_str(),
                tail(console(), 4000).c_str(), tail(read_text(path("/var/devsim.out")), 2000).c_str());
    }
    if (getenv("TELAGENT_KEEP_ROOT") != nullptr) {
        fprintf(stderr, "box root kept: %s\n", root_.c_str());
        return;
    }
    std::error_code ec;
    fs::remove_all(root_, ec);
}

int Box::start_devsim(const BoxOptions &opt) {
    if (devsim_ > 0) return -1;
    error_.clear();
    std::vector<std::string> args = {TELAGENT_DEVSIM_BIN, "--root", root_, "--create", "--lib", opt.lib};
    if (!opt.scenario.empty()) {
        const std::string sc = root_ + "/var/scenario.ini";
        std::ofstream(sc) << opt.scenario;
        args.insert(args.end(), {"--scenario", sc});
    }
    if (opt.mqtt_port > 0) args.insert(args.end(), {"--mqtt-port", std::to_string(opt.mqtt_port)});
    devsim_ = spawn(args, {}, root_ + "/var/devsim.out");
    if (devsim_ < 0) {
        error_ = "cannot start " TELAGENT_DEVSIM_BIN;
        return -1;
    }
    int died = -1;
    bool ready = poll_until(
        [&] {
            // Ours, not one left by an earlier run: it holds our devsim's pid.
            if (read_text(path("/var/devsim/ready")) == std::to_string(devsim_) + "\n") return true;
            int st = 0;
            if (waitpid(devsim_, &st, WNOHANG) == devsim_) {
                reaped(devsim_);
                died = exit_code(st);
                devsim_ = -1;
                return true;
            }
            return false;
        },
        opt.ready_timeout_ms);
    if (died != -1) {
        error_ = "devsim exited with status " + std::to_string(died) + ": " + read_text(path("/var/devsim.out"));
        return -1;
    }
    if (!ready) {
        error_ = "devsim not ready after " + std::to_string(opt.ready_timeout_ms) +
                 " ms: " + read_text(path("/var/devsim.out"));
        return -1;
    }
    return 0;
}

int Box::start_host(const std::vector<std::string> &args) {
    if (host_ > 0) return -1;  // one host per box at a time, as on the module
    std::vector<std::string> argv;
    std::istringstream emulator(harness_file("TELAGENT_TEST_EMULATOR", ""));
    for (std::string w; emulator >> w;) argv.push_back(w);
    // spawn() execs without a PATH search: a bare emulator name ("qemu-arm")
    // would end the child with 127 before it printed a line.
    if (!argv.empty() && argv[0].find('/') == std::string::npos) {
        const std::string found = find_program(argv[0]);
        if (found.empty()) {
            error_ = "emulator " + argv[0] + " is not on PATH";
            return -1;
        }
        argv[0] = found;
    }
    argv.push_back(harness_host_bin());
    argv.insert(argv.end(), args.begin(), args.end());
    host_ = spawn(argv, {"TELAGENT_ROOT=" + root_}, path("/var/console.log"));
    return host_ > 0 ? 0 : -1;
}

int Box::wait_host_exit(int timeout_ms) {
    if (host_ <= 0) return -1;
    int code = wait_exit(host_, timeout_ms);
    if (code != -1) host_ = -1;
    return code;
}

bool Box::wait_console(const std::string &text, int timeout_ms) {
    return poll_until([&] { return console().find(text) != std::string::npos; }, timeout_ms);
}

std::string Box::console() const { return read_text(path("/var/console.log")); }
std::string Box::actions() const { return read_text(path("/var/actions.log")); }

bool Box::wait_actions(const std::string &text, int timeout_ms) {
    return poll_until([&] { return actions().find(text) != std::string::npos; }, timeout_ms);
}

std::string Box::file(const std::string &device_path) const { return read_text(path(device_path)); }

bool Box::wait_file(const std::string &device_path, const std::string &text, int timeout_ms) const {
    return poll_until([&] { return file(device_path).find(text) != std::string::npos; }, timeout_ms);
}

void Box::put_file(const std::string &device_path, const std::string &content) const {
    const std::string p = path(device_path);
    fs::create_directories(fs::path(p).parent_path());
    const std::string tmp = p + ".tmp";
    std::ofstream(tmp, std::ios::binary | std::ios::trunc) << content;
    rename(tmp.c_str(), p.c_str());
}

int Box::stop_host() {
    int code = stop_group(host_);
    host_ = -1;
    return code;
}

int Box::stop_devsim() {
    int code = stop_group(devsim_);
    devsim_ = -1;
    return code;
}

int Box::stop() {
    int h = stop_host();
    int d = stop_devsim();
    return h == 0 && d == 0 ? 0 : -1;
}

// ---- Broker ----------------------------------------------------------------

Broker::Broker() {
    const std::string mosquitto = find_program("mosquitto");
    if (mosquitto.empty()) {
        error_ = "mosquitto is not installed (make deps installs it)";
        return;
    }
    dir_ = temp_dir("telagent-broker");
    if (dir_.empty()) {
        error_ = "mkdtemp failed";
        return;
    }
    chmod(dir_.c_str(), 0755);
    // Another process may take the port between our probe and mosquitto's bind;
    // then try another one.
    for (int attempt = 0; attempt < 3; ++attempt) {
        port_ = free_loopback_port();
        const std::string conf = dir_ + "/mosquitto.conf";
        std::ofstream(conf, std::ios::trunc) << "listener " << port_ << " 127.0.0.1\n"
                                             << "allow_anonymous true\npersistence false\nset_tcp_nodelay true\n";
        pid_ = spawn({mosquitto, "-c", conf}, {}, dir_ + "/mosquitto.log");
        if (pid_ < 0) break;
        bool exited = false;
        poll_until([&] { return port_accepts(port_) || (exited = wait_exit(pid_, 0) != -1); }, 5000);
        if (!exited && port_accepts(port_)) return;
        if (!exited) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
            reaped(pid_);
        }
        pid_ = -1;
    }
    error_ = "mosquitto did not start: " + read_text(dir_ + "/mosquitto.log");
}

Broker::~Broker() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        if (wait_exit(pid_, kGraceMs) == -1) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
            reaped(pid_);
        }
    }
    if (!dir_.empty()) {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
}
