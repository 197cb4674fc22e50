// Simulation build: time servers are devsim's loopback responders; nothing
// is ever resolved through the machine's resolver or sent off the machine.
#include "platform/plat_net.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "platform/plat_path.h"

int plat_sntp_servers(char (*out)[kPlatServerMax], int max) {
    if (out == nullptr || max <= 0 || !plat_root_usable()) return 0;
    const int fd = open(plat_path("/var/devsim/sntp_servers").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    char buf[2048];
    size_t len = 0;
    ssize_t r;
    while (len < sizeof buf - 1 && (r = read(fd, buf + len, sizeof buf - 1 - len)) > 0) len += static_cast<size_t>(r);
    close(fd);
    buf[len] = '\0';
    int n = 0;
    const char *p = buf;
    while (*p != '\0' && n < max) {
        const char *e = strchr(p, '\n');
        if (e == nullptr) e = p + strlen(p);
        size_t l = static_cast<size_t>(e - p);
        while (l > 0 && (p[l - 1] == '\r' || p[l - 1] == ' ')) --l;
        // An entry too long for its slot is skipped, never cut into another name.
        if (l > 0 && l < static_cast<size_t>(kPlatServerMax)) {
            memcpy(out[n], p, l);
            out[n][l] = '\0';
            ++n;
        }
        p = *e != '\0' ? e + 1 : e;
    }
    return n;
}

int plat_resolve_ipv4(const char *host, struct in_addr *out) {
    if (host == nullptr || out == nullptr) return -1;
    struct in_addr a {};
    if (strcmp(host, "localhost") == 0) {
        a.s_addr = htonl(INADDR_LOOPBACK);
    } else if (inet_pton(AF_INET, host, &a) != 1) {
        return -1;  // a name would need the machine's resolver: never here
    }
    if ((ntohl(a.s_addr) >> 24) != 127) return -1;
    *out = a;
    return 0;
}
