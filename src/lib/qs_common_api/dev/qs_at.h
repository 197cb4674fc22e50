#pragma once
// The modem service library's own AT exchange on /dev/smd7.  It does not take
// the service's AT channel lock: the library is used by hosts that have no
// such lock.
#include <cstddef>

// Size of the caller's reply buffer; only the latest chunk read remains in it,
// always zero-terminated.
constexpr size_t kQsAtReplySize = 128;
// Command buffer: the command plus "\r\n" is cut to fit.
constexpr size_t kQsAtCmdSize = 64;

// Sends `cmd` (without line end) and waits at most one second in all for the
// final response: "OK", or for network queries (is_network_query != 0) "OK"
// or "ERROR".  0 when a chunk held the final response, 1 when the second ran
// out, -1 when the port cannot be opened or the wait failed.
int qs_at_exchange(const char *cmd, char reply[kQsAtReplySize], int is_network_query);
