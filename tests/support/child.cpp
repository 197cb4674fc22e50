#include "support/child.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "support/test_root.h"

Child::Child(const std::function<void()> &fn) {
    const char *tmp = std::getenv("TMPDIR");
    std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/telagent-child-XXXXXX";
    int fd = mkstemp(tmpl.data());
    if (fd < 0) abort();
    out_path_ = tmpl;
    fflush(stdout);
    pid_ = fork();
    if (pid_ == 0) {
        dup2(fd, STDOUT_FILENO);
        close(fd);
        setvbuf(stdout, nullptr, _IONBF, 0);
        fn();
        fflush(stdout);
        _exit(0);
    }
    close(fd);
}

Child::~Child() {
    if (!reaped_ && pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (!out_path_.empty()) unlink(out_path_.c_str());
}

std::string Child::output() const { return slurp(out_path_); }

bool Child::wait_output(const std::string &text, int timeout_ms) const {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < end) {
        if (output().find(text) != std::string::npos) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return output().find(text) != std::string::npos;
}

ChildResult Child::wait(int timeout_ms) {
    ChildResult r;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    int st = 0;
    for (;;) {
        pid_t w = waitpid(pid_, &st, WNOHANG);
        if (w == pid_) break;
        if (std::chrono::steady_clock::now() >= end) {
            r.timed_out = true;
            kill(pid_, SIGKILL);
            waitpid(pid_, &st, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    reaped_ = true;
    if (WIFEXITED(st)) {
        r.exited = true;
        r.status = WEXITSTATUS(st);
    } else if (WIFSIGNALED(st)) {
        r.signal = WTERMSIG(st);
    }
    r.out = output();
    return r;
}

ChildResult run_child(const std::function<void()> &fn, int timeout_ms) {
    Child c(fn);
    return c.wait(timeout_ms);
}
