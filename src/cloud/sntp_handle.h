#pragma once
// Time sync over SNTP (RFC 4330).  Once per process start a thread asks the
// time servers in turn and sets the system clock from the first sound answer,
// then ends.
#include <cstddef>
#include <cstdint>
#include <ctime>

#include "platform/plat_net.h"

// Request: 48-byte NTP header and 20 zero bytes, one UDP datagram.
inline constexpr size_t kSntpRequestLen = 68;
// Shortest answer taken (the NTP header), and the receive buffer.
inline constexpr size_t kSntpHeaderLen = 48;
inline constexpr size_t kSntpAnswerMax = 128;
// Seconds from 1900 (NTP era 0) to 1970.
inline constexpr uint32_t kNtpEraOffset = 2208988800u;
// Servers tried per pass.
inline constexpr int kSntpServerCount = 10;

// Why an answer was not taken.
enum SntpVerdict {
    kSntpOk = 0,
    kSntpShort = -1,       // fewer than 48 bytes
    kSntpBadMode = -2,     // neither server (4) nor broadcast (5)
    kSntpUnsynced = -3,    // leap indicator 3: the server's clock is not set
    kSntpKissOfDeath = -4, // stratum 0
    kSntpZeroTime = -5,    // transmit timestamp 0
    kSntpBadOrigin = -6,   // originate timestamp is not our transmit timestamp
};

// Fills the request for the agent's clock reading `now`; returns the transmit
// seconds it carries (the answer must echo them).
uint32_t sntp_build_request(uint8_t out[kSntpRequestLen], time_t now);

// Checks an answer to the request that carried `sent_seconds`.  kSntpOk with
// the server's transmit time in Unix seconds in *unix_seconds (RFC 4330 eras:
// a timestamp with its top bit clear is counted from 2036), else a verdict.
int sntp_parse_answer(const uint8_t *buf, size_t len, uint32_t sent_seconds, int64_t *unix_seconds);
const char *sntp_verdict_text(int verdict);

// Asks one server ("host" or "host:port"; port 123 by default) and sets the
// system clock from a sound answer plus tz_hours.  1 when the clock was set,
// 0 otherwise.
int sntp_start(const char *server, int tz_hours);

// One pass over the servers in order: 1 at the first that set the clock, 0 when
// none did.
int sntp_sync_pass(const char (*servers)[kPlatServerMax], int count);

// Thread body: passes over the platform's server list, 2 s apart, until one
// sets the clock.  Does nothing when the list is empty.
void *stnp_handle_loop(void *arg);

// Starts the time-sync thread once per process.  1 started, 0 already running
// or the thread could not be made.
int load_sntp(void);
