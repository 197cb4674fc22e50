// Device build: public NTP servers and the system resolver.
#include "platform/plat_net.h"

#include <netdb.h>
#include <sys/socket.h>

#include <cstring>

namespace {

// Four names, five addresses of public servers, one more name: tried in this
// order.
const char *const kServers[] = {
    "ntp.aliyun.com",  "cn.pool.ntp.org", "time.windows.com", "pool.ntp.org",
    "203.107.6.88",    "162.159.200.1",   "129.6.15.28",      "132.163.97.1",
    "162.159.200.123", "time.google.com",
};

}  // namespace

int plat_sntp_servers(char (*out)[kPlatServerMax], int max) {
    int n = 0;
    for (const char *s : kServers) {
        if (n >= max) break;
        strncpy(out[n], s, kPlatServerMax - 1);
        out[n][kPlatServerMax - 1] = '\0';
        ++n;
    }
    return n;
}

int plat_resolve_ipv4(const char *host, struct in_addr *out) {
    if (host == nullptr || out == nullptr) return -1;
    struct addrinfo hints {};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    struct addrinfo *res = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &res) != 0 || res == nullptr) return -1;
    int rc = -1;
    if (res->ai_family == AF_INET && res->ai_addrlen >= sizeof(struct sockaddr_in)) {
        *out = reinterpret_cast<const struct sockaddr_in *>(res->ai_addr)->sin_addr;
        rc = 0;
    }
    freeaddrinfo(res);
    return rc;
}
