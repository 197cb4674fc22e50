#pragma once
// A simulated box for integration tests: a temporary device root, devsim
// serving its ports and telagent-host running the agent on it, each in a
// process group of its own so that nothing outlives the test.
//
//   Box box;                                  // real library, host started
//   ASSERT_TRUE(box.ok()) << box.error();
//   EXPECT_TRUE(box.wait_console("IoT Version:", 10000)) << box.console();
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

// The agent's side of a box: the host and library built with the tests, or,
// when TELAGENT_TEST_HOST_BIN / TELAGENT_TEST_LIB_FILE name them, another
// build's (the armhf ones, run under TELAGENT_TEST_EMULATOR, e.g. "qemu-arm -L /" or -L the local armhf root).
// devsim, the broker and the cloud tool stay this machine's.
std::string harness_host_bin();
std::string harness_lib_file();
// `built`, unless the environment variable `env` names another file.
std::string harness_file(const char *env, const char *built);

struct BoxOptions {
    std::string lib = harness_lib_file();  // what /iot/lib/libTelAgent.so points at
    std::string scenario;                 // scenario text; "" for none
    int mqtt_port = 0;                    // broker the provisioned iot.ini names; 0: devsim's default
    bool start_host = true;
    std::vector<std::string> host_args = {"--restart-delay-ms", "200"};
    int ready_timeout_ms = 10000;
};

class Box {
public:
    explicit Box(const BoxOptions &opt = BoxOptions());
    ~Box();
    Box(const Box &) = delete;
    Box &operator=(const Box &) = delete;

    // False when the root, devsim or the host could not be brought up; error() says why.
    bool ok() const { return error_.empty(); }
    const std::string &error() const { return error_; }
    const std::string &root() const { return root_; }
    // Machine path of a device path.
    std::string path(const std::string &device_path) const { return root_ + device_path; }

    // Starts devsim on this root (again, after stop_devsim()) and waits for its
    // ready file.  0 / -1 with error() set.
    int start_devsim(const BoxOptions &opt);
    int stop_devsim();
    // Starts telagent-host (console appended to var/console.log).  0 / -1.
    int start_host(const std::vector<std::string> &args);
    // Waits for the host to end by itself: its exit status (128+signal when
    // killed), -1 when it is still running after timeout_ms.
    int wait_host_exit(int timeout_ms);
    pid_t host_pid() const { return host_; }
    pid_t devsim_pid() const { return devsim_; }

    bool wait_console(const std::string &text, int timeout_ms);
    std::string console() const;
    std::string actions() const;
    bool wait_actions(const std::string &text, int timeout_ms);
    // Contents of a device file ("" when missing).
    std::string file(const std::string &device_path) const;
    bool wait_file(const std::string &device_path, const std::string &text, int timeout_ms) const;
    // Replaces a device file in one step (readers never see half of it).
    void put_file(const std::string &device_path, const std::string &content) const;

    // Stops the host, then devsim: SIGINT to each group, SIGKILL after a grace
    // period.  0 when both ended by themselves with status 0.
    int stop();

    int stop_host();

private:

    std::string root_;
    std::string error_;
    pid_t devsim_ = -1;
    pid_t host_ = -1;
};

// A mosquitto broker on a free loopback port for one test.
class Broker {
public:
    Broker();
    ~Broker();
    Broker(const Broker &) = delete;
    Broker &operator=(const Broker &) = delete;

    bool ok() const { return error_.empty(); }
    const std::string &error() const { return error_; }
    int port() const { return port_; }

private:
    std::string dir_;
    std::string error_;
    pid_t pid_ = -1;
    int port_ = 0;
};

// Helpers shared by the tests.
std::string read_text(const std::string &machine_path);
size_t count_of(const std::string &hay, const std::string &needle);
// Runs a program to completion with extra environment (NAME=VALUE, or NAME=
// with no '=' to unset NAME); output of both streams in *out.  Exit status
// (128+signal), -1 on timeout (the program is then killed).
int run_program(const std::vector<std::string> &argv, const std::vector<std::string> &env, std::string *out,
                int timeout_ms);
// True while a process exists and is not a zombie; reaps our own zombies.
bool process_running(pid_t pid);
// Loopback TCP port that accepts a connection now.
bool port_accepts(int port);

int64_t harness_mono_ms();
void harness_sleep_ms(int ms);

// Polls `cond` every 10 ms until it holds or timeout_ms passed.
template <class F>
bool poll_until(F cond, int timeout_ms) {
    const int64_t end = harness_mono_ms() + timeout_ms;
    for (;;) {
        if (cond()) return true;
        if (harness_mono_ms() >= end) return cond();
        harness_sleep_ms(10);
    }
}
