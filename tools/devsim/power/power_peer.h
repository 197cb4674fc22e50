#pragma once
// The module's power facilities as the agent sees them: the kernel's wake-lock
// and autosleep nodes and the USB gadget nodes (plain files under
// <root>/sys), and the power daemon's wake FIFO <root>/tmp/wakemsgid_fifo,
// into which the daemon writes wake ids as decimal text.  Every write the
// agent makes to a node is logged, so tests see what the box asked the kernel.
//
// Control commands ("power <command> ..."):
//   wake <text>          writes <text> to the FIFO as it is (an id, or garbage)
//   raw <hex>            writes these bytes (NULs, stray bytes)
//   burst <id> <n>       writes the id n times (1..1000) in one go
//   partial <text> <ms>  writes <text> one byte at a time, <ms> apart (0..1000)
//   battery main|backup  sets the backup-battery record through the host's
//                        control channel (<root>/var/host/control, "bakbat")
//
// <root>/var/devsim/power.log, one line each:
//   <unix ms> W wake_lock LPM_LOCK_KEY      the agent wrote a node (NULs cut)
//   <unix ms> C wake 5                      a command took effect
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "core/control.h"

// The 12 hex digits of the record for "main" or "backup"; "" for anything else.
std::string power_bakbat_hex(const std::string &which);

class PowerPeer {
public:
    PowerPeer() = default;
    ~PowerPeer();
    PowerPeer(const PowerPeer &) = delete;
    PowerPeer &operator=(const PowerPeer &) = delete;

    // Creates the nodes and the FIFO, registers "power" and starts the
    // watcher thread.  0 / -1 (reason on stderr).
    int start(const std::string &root);
    void stop();
    int command(const std::string &cmd, const std::string &args, std::string *why);

private:
    void run();
    void drain_writes();
    void log(const std::string &line);
    int fifo_write(const std::string &bytes, std::string *why);

    std::string root_;
    std::mutex mu_;
    int fifo_fd_ = -1;
    int inotify_fd_ = -1;
    int watch_power_ = -1;
    int watch_usb_ = -1;
    int log_fd_ = -1;
    int event_fd_ = -1;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
    std::unique_ptr<ControlRegistration> control_;
};
