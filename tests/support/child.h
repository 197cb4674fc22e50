#pragma once
// Runs a piece of the agent in a forked child, for behaviour that ends or
// never leaves the process (crash handler, calibration hold, entry point).
#include <sys/types.h>

#include <functional>
#include <string>

struct ChildResult {
    bool exited = false;    // ended by exit/_exit
    int status = -1;        // exit status when exited
    int signal = 0;         // terminating signal otherwise
    bool timed_out = false; // still running at the deadline (then killed)
    std::string out;        // everything the child wrote to stdout
};

class Child {
public:
    // Starts `fn` in a child with stdout captured to a file; the child ends
    // with _exit(0) if `fn` returns.
    explicit Child(const std::function<void()> &fn);
    ~Child();
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;

    pid_t pid() const { return pid_; }
    // Output so far.
    std::string output() const;
    // Polls until the output contains `text`.
    bool wait_output(const std::string &text, int timeout_ms) const;
    // Waits for the end; kills with SIGKILL at the deadline.
    ChildResult wait(int timeout_ms);

private:
    pid_t pid_ = -1;
    std::string out_path_;
    bool reaped_ = false;
};

// Convenience: start, wait, collect.
ChildResult run_child(const std::function<void()> &fn, int timeout_ms = 10000);
