#pragma once
// Runtime control of the simulated box, for tests and people at a shell:
//
//   echo "modem service_down nas" > <root>/var/devsim/control
//
// One text line per command, "<module> <command> [args]".  devsim hands it to
// the module registered under that name, on the loop's thread, and appends
// "<line> -> ok|refused|unknown" to <root>/var/devsim/control.log, so that a
// writer can wait until its command has taken effect.
#include <functional>
#include <string>
#include <vector>

// 1 done, 0 refused (bad command or arguments).
using ControlHandler = std::function<int(const std::vector<std::string> &args)>;

// Holds a module's registration; unregisters when destroyed.
class ControlRegistration {
public:
    ControlRegistration() = default;
    ControlRegistration(const std::string &module, ControlHandler handler);
    ~ControlRegistration();
    ControlRegistration(const ControlRegistration &) = delete;
    ControlRegistration &operator=(const ControlRegistration &) = delete;

    bool registered() const { return !module_.empty(); }

private:
    std::string module_;
};

// Longest command line taken; a longer one is dropped whole.
inline constexpr size_t kControlLineMax = 512;

// Creates the FIFO (replacing whatever is there) and opens it.  0 / -1.
int control_open(const std::string &root);
// The FIFO's read end for the loop's poll; -1 when not open.
int control_fd();
// Reads what is there and runs every complete line.
void control_poll();
// Closes and removes the FIFO.
void control_close();

// Runs one line as if it came through the FIFO: 1 done, 0 refused, -1 no such
// module.  Also logged to control.log when the FIFO is open.
int control_dispatch(const std::string &line);
// Splits a line into words at blanks.
std::vector<std::string> control_words(const std::string &line);
