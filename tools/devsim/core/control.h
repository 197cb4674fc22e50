#pragma once
// Runtime control of the simulated box, for tests and people at a shell:
//
//   echo "modem service_down nas" > <root>/var/devsim/control
//
// One text line per command, "<module> <command> [args]".  devsim hands the
// command word and the rest of the line to the handler registered under the
// module's name, on the loop's thread, and appends one line per command to
// <root>/var/devsim/control.log:
//     <line> -> ok | error: <why> | unknown module
// so that a writer can wait until its command has taken effect.
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

// 0 done; -1 refused, with the reason in *why.  `args` is the rest of the
// line after the command word, blanks at both ends removed.
using ControlHandler = std::function<int(const std::string &cmd, const std::string &args, std::string *why)>;

// 0 registered; -1 when the name is empty or taken.
int control_register(const std::string &module, ControlHandler handler);
void control_unregister(const std::string &module);

// Holds a registration for the life of its owner.
class ControlRegistration {
public:
    ControlRegistration(const std::string &module, ControlHandler handler);
    ~ControlRegistration();
    ControlRegistration(const ControlRegistration &) = delete;
    ControlRegistration &operator=(const ControlRegistration &) = delete;
    bool registered() const { return registered_; }

private:
    std::string module_;
    bool registered_ = false;
};

// Longest command line taken; a longer one is dropped whole.  Room for a
// whole 2100-byte factory-line frame written out in hex.
inline constexpr size_t kControlLineMax = 8192;

// Creates the FIFO <root>/var/devsim/control (replacing whatever is there)
// and opens it.  The read end for the loop's poll, or -1.
int control_open(const std::string &root);
// Reads what is there and runs every complete line.
void control_service();
// Closes and removes the FIFO.
void control_close();

// Runs one line as if it came through the FIFO: 0 done, -1 refused, -2 no such
// module.  Logged to control.log while the FIFO is open.
int control_dispatch(const std::string &line);
// Splits a line into words at blanks.
std::vector<std::string> control_words(const std::string &line);
// The line after its first `skip` words, blanks at both ends removed.
std::string control_rest(const std::string &line, size_t skip);
