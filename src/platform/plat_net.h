#pragma once
// Network facts that differ between the module and a development machine:
// which time servers to ask and how a server name becomes an address.  On the
// module these are the public NTP servers and the system resolver.  The
// simulation build must never send a packet off the machine, so its servers
// come from a file devsim writes under the device root (loopback responders)
// and its resolver takes loopback addresses only.
#include <netinet/in.h>

// Longest server entry, "host" or "host:port", with its terminating NUL.
inline constexpr int kPlatServerMax = 64;

// Fills up to `max` server entries in the order they are to be tried; the
// count.  Simulation: the lines of /var/devsim/sntp_servers, 0 without it.
int plat_sntp_servers(char (*out)[kPlatServerMax], int max);

// Resolves `host` to one IPv4 address.  0 / -1 (unknown, not IPv4, or, in
// simulation, not a loopback address).
int plat_resolve_ipv4(const char *host, struct in_addr *out);
