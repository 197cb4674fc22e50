#pragma once
// The module's GNSS engine: serves the agent's location client on
// <root>/var/devsim/gnss.sock (one text line per message, see
// src/platform/loc_client_sim.cpp) and, while a client has started a session,
// plays NMEA sentences one epoch at a time, from a receiver capture or a
// built-in track, at the capture's pace (1 s per epoch) or faster.
//
// Scenario section [gnss] and control commands ("gnss <key> <value>"):
//   capture = PATH      capture file (absolute, or relative to the device root);
//                       "builtin" for the built-in track (the default)
//   speed = N           epochs per second, 1..1000 (1: the capture's pace)
//   loop = 0|1          start over at the end (1) or fall silent (0)
//   stall = 0|1         repeat the current epoch: the same position forever
//   nofix = 0|1         GGA quality 0 with no satellites, RMC status V
//   corrupt = N         wrong checksum on every Nth sentence (0 off, 1 all)
//   refuse = 0|1        refuse start requests (engine busy)
// Control only: "gnss rewind" plays from the first epoch again.
//
// What the engine did goes to <root>/var/devsim/gnss.log, one line each:
//   <unix ms> RX <line from the client>
//   <unix ms> TX <line to the clients>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/control.h"

// One epoch: the sentences a receiver sends for one fix.
using GnssEpoch = std::vector<std::string>;

// Splits capture text into epochs: a sentence carrying a UTC time (GGA, RMC,
// GLL, ZDA) with a time other than the current epoch's starts a new one.
// Blank lines and '#' comments are skipped; line ends are removed.
std::vector<GnssEpoch> gnss_split_epochs(const std::string &text);
// The built-in track: 120 one-second epochs walking north-east with a fix.
std::vector<GnssEpoch> gnss_builtin_track();

// "$...*XX" with XX set to the right checksum (added when missing).
std::string gnss_with_checksum(const std::string &sentence);
// The same sentence with a wrong checksum.
std::string gnss_corrupted(const std::string &sentence);
// GGA: quality 0 and satellites 00; RMC: status V; others unchanged.
std::string gnss_without_fix(const std::string &sentence);

// The settings a scenario or a command changes.
struct GnssSettings {
    std::string capture = "builtin";
    int speed = 1;
    bool loop = true;
    bool stall = false;
    bool nofix = false;
    int corrupt = 0;
    bool refuse = false;
};
// Applies one key to *s: 1 taken, 0 unknown key or bad value.
int gnss_apply_setting(GnssSettings *s, const std::string &key, const std::string &value);

class GnssEngine {
public:
    GnssEngine() = default;
    ~GnssEngine();
    GnssEngine(const GnssEngine &) = delete;
    GnssEngine &operator=(const GnssEngine &) = delete;

    // A [gnss] scenario key: 1 taken, 0 unknown or bad.
    int configure(const std::string &key, const std::string &value);
    // Loads the capture, binds the socket, registers the "gnss" control
    // commands and starts the engine's thread.  0 / -1 (reason on stderr).
    int start(const std::string &root);
    void stop();

    // One control command: 0 done, -1 refused with the reason in *why.
    int command(const std::string &cmd, const std::string &args, std::string *why);

private:
    struct Conn {
        int fd = -1;
        std::string in;
        std::string out;
        bool started = false;
        bool skipping = false;  // inside an overlong line
    };

    void run();
    int load_capture_locked(const std::string &capture);
    void handle_line(Conn &c, const std::string &line);
    void queue(Conn &c, const std::string &line);
    void play_epoch(int64_t now_ms);
    void log(const char *dir, const std::string &line);
    void wake();

    std::string root_;
    int listen_fd_ = -1;
    int event_fd_ = -1;
    int log_fd_ = -1;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
    std::unique_ptr<ControlRegistration> control_;

    std::mutex mu_;  // settings and the capture: commands come from the loop's thread
    GnssSettings set_;
    std::vector<GnssEpoch> epochs_;
    size_t next_ = 0;        // epoch to play next
    size_t stalled_at_ = 0;  // epoch repeated while stalled
    uint64_t sent_ = 0;      // sentences sent, for "every Nth" corruption
    std::vector<Conn> conns_;  // engine thread only
};
