#pragma once
// One pseudo-terminal pair standing for a serial line of the box.  The agent
// opens the slave through <root>/dev/<port>; devsim keeps the master and also
// holds a slave fd itself, so the line never hangs up when the agent closes and
// reopens it.
#include <string>

class PtyPort {
public:
    PtyPort() = default;
    ~PtyPort();
    PtyPort(const PtyPort &) = delete;
    PtyPort &operator=(const PtyPort &) = delete;

    // Opens the pair: master non-blocking, slave in raw mode.  0 / -1 (errno set).
    int open_pair();
    int master() const { return master_; }
    const std::string &slave_name() const { return slave_name_; }

private:
    int master_ = -1;
    int slave_ = -1;
    std::string slave_name_;
};
