#pragma once
// Time servers for the agent's SNTP client, on loopback only: one UDP socket
// per server on a free 127.0.0.1 port.  The list "127.0.0.1:<port>", one a
// line in server order, goes to <root>/var/devsim/sntp_servers, which is
// where the simulation build of the agent looks for its servers; without a
// [sntp] section nothing is started and no list exists.
//
// Scenario section [sntp] and control commands:
//   servers = good, silent, mode:6, good:+3600     behaviour of each server, in order
//   offset = S          seconds added to this machine's clock in every answer
// Behaviours:
//   good[:S]      a sound answer (S: own offset instead of `offset`)
//   silent        never answers
//   late:MS       a sound answer MS milliseconds later
//   mode:M        answer with mode M (3 client, 6 control...)
//   kod           kiss-of-death: stratum 0, reference "RATE"
//   leap3         leap indicator 3 (clock not synchronised)
//   zero_tx       transmit timestamp 0
//   bad_origin    originate timestamp that is not the request's
//   short         the header in two datagrams: 47 bytes, the last byte 50 ms later
//   short_only    47 bytes and nothing more
//   garbage       48 random bytes, never with mode 4 or 5 (no client may take them)
// Control: "sntp server <n> <behaviour>" (n from 1), "sntp offset <s>".
//
// What the servers saw and said goes to <root>/var/devsim/sntp.log:
//   <unix ms> RX <n> <hex>      <unix ms> TX <n> <hex>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/control.h"

struct SntpBehaviour {
    enum Kind { kGood, kSilent, kLate, kMode, kKod, kLeap3, kZeroTx, kBadOrigin, kShort, kShortOnly, kGarbage };
    Kind kind = kGood;
    int64_t arg = 0;        // late: ms; mode: the mode; good: own offset
    bool has_offset = false;  // good:S
};

// Most servers taken (the agent asks ten).
inline constexpr size_t kSntpResponderMax = 10;

// "mode:6" -> behaviour; false when unknown or out of range.
bool sntp_parse_behaviour(const std::string &text, SntpBehaviour *out);

// Datagrams a server with behaviour `b` sends for request `req` when its
// clock reads `unix_ms` (offset already applied); each with its delay.
struct SntpDatagram {
    unsigned delay_ms = 0;
    std::string bytes;
};
std::vector<SntpDatagram> sntp_answer(const SntpBehaviour &b, const std::string &req, int64_t unix_ms);

class SntpResponder {
public:
    SntpResponder() = default;
    ~SntpResponder();
    SntpResponder(const SntpResponder &) = delete;
    SntpResponder &operator=(const SntpResponder &) = delete;

    // A [sntp] key: 1 taken, 0 unknown or bad.
    int configure(const std::string &key, const std::string &value);
    // Binds the servers, writes the list, registers "sntp" and starts the
    // thread when a [sntp] section was given; otherwise removes a stale list.
    // 0 / -1 (reason on stderr).
    int start(const std::string &root);
    void stop();
    int command(const std::string &cmd, const std::string &args, std::string *why);

private:
    struct Pending {
        int64_t due_ms;
        size_t server;
        uint32_t addr;  // network order
        uint16_t port;  // network order
        std::string bytes;
    };
    void run();
    void serve(size_t i);
    void log(const char *dir, size_t i, const std::string &bytes);

    bool configured_ = false;
    std::string root_;
    std::vector<int> fds_;
    int event_fd_ = -1;
    int log_fd_ = -1;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
    std::unique_ptr<ControlRegistration> control_;

    std::mutex mu_;  // behaviours and offset: commands come from the loop's thread
    std::vector<SntpBehaviour> servers_;
    int64_t offset_s_ = 0;
    std::vector<Pending> pending_;  // responder thread only
};
