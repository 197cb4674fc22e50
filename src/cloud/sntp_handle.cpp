// Time sync: a minimal SNTP client (RFC 4330) on one UDP socket per server.
#include "cloud/sntp_handle.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "core/logging.h"
#include "platform/plat_clock.h"
#include "platform/plat_thread.h"
#include "platform/sys_action.h"

namespace {

constexpr int kNtpPort = 123;
constexpr int kWaitMs = 1000;
constexpr int kWaits = 3;
constexpr unsigned kPassPauseS = 2;

std::atomic<bool> g_started{false};

struct Socket {
    int fd;
    explicit Socket(int f) : fd(f) {}
    ~Socket() {
        if (fd >= 0) close(fd);
    }
    Socket(const Socket &) = delete;
    Socket &operator=(const Socket &) = delete;
};

uint32_t be32(const uint8_t *p) {
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}

void put_be32(uint8_t *p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

// "host" or "host:port" into its parts; false on a bad port or a host too long.
bool split_server(const char *server, char *host, size_t host_size, int *port) {
    const char *colon = strrchr(server, ':');
    size_t len = colon != nullptr ? static_cast<size_t>(colon - server) : strlen(server);
    *port = kNtpPort;
    if (colon != nullptr) {
        char *end = nullptr;
        errno = 0;
        const long p = strtol(colon + 1, &end, 10);
        if (errno != 0 || end == colon + 1 || *end != '\0' || p < 1 || p > 65535) return false;
        *port = static_cast<int>(p);
    }
    if (len == 0 || len >= host_size) return false;
    memcpy(host, server, len);
    host[len] = '\0';
    return true;
}

// The answer's 48 header bytes at level 0, 16 to a line.
void dump_header(const uint8_t *buf) {
    char line[16 * 3 + 2];
    for (size_t row = 0; row < kSntpHeaderLen; row += 16) {
        size_t o = 0;
        for (size_t i = 0; i < 16; ++i) o += static_cast<size_t>(snprintf(line + o, sizeof line - o, "%02x ", buf[row + i]));
        snprintf(line + o, sizeof line - o, "\n");
        mlog(LOG_ERROR, "%s", line);
    }
}

}  // namespace

uint32_t sntp_build_request(uint8_t out[kSntpRequestLen], time_t now) {
    memset(out, 0, kSntpRequestLen);
    out[0] = 0x0B;  // leap indicator 0, version 1, mode 3 (client)
    const uint32_t seconds = static_cast<uint32_t>(static_cast<uint64_t>(now) + kNtpEraOffset);
    put_be32(out + 40, seconds);
    return seconds;
}

int sntp_parse_answer(const uint8_t *buf, size_t len, uint32_t sent_seconds, int64_t *unix_seconds) {
    if (buf == nullptr || len < kSntpHeaderLen) return kSntpShort;
    const int mode = buf[0] & 0x07;
    if (mode != 4 && mode != 5) return kSntpBadMode;
    if ((buf[0] >> 6) == 3) return kSntpUnsynced;
    if (buf[1] == 0) return kSntpKissOfDeath;
    const uint32_t tx = be32(buf + 40);
    if (tx == 0 && be32(buf + 44) == 0) return kSntpZeroTime;
    // Our request's transmit time comes back as the originate time; anything
    // else is an answer to someone else's request, or forged.  A broadcast
    // answers nobody's request, so there is nothing to echo.
    if (mode == 4 && (be32(buf + 24) != sent_seconds || be32(buf + 28) != 0)) return kSntpBadOrigin;
    // RFC 4330 section 3: with the top bit clear the time lies in the era that
    // begins in 2036.
    const int64_t era = (tx & 0x80000000u) != 0 ? 0 : (int64_t{1} << 32);
    if (unix_seconds != nullptr) *unix_seconds = static_cast<int64_t>(tx) + era - kNtpEraOffset;
    return kSntpOk;
}

const char *sntp_verdict_text(int verdict) {
    switch (verdict) {
        case kSntpOk: return "ok";
        case kSntpShort: return "short answer";
        case kSntpBadMode: return "mode error";
        case kSntpUnsynced: return "server not synchronised";
        case kSntpKissOfDeath: return "kiss-of-death";
        case kSntpZeroTime: return "zero transmit time";
        case kSntpBadOrigin: return "originate time not ours";
        default: return "?";
    }
}

int sntp_start(const char *server, int tz_hours) {
    if (server == nullptr) return 0;
    char host[kPlatServerMax];
    int port = kNtpPort;
    struct in_addr addr {};
    if (!split_server(server, host, sizeof host, &port) || plat_resolve_ipv4(host, &addr) != 0) {
        mlog(LOG_DEBUG, "%d:%s   host:%s resolve failed \n", __LINE__, __func__, server);
        return 0;
    }
    Socket sock(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (sock.fd < 0) {
        mlog(LOG_ERROR, "%d:%s   host:%s socket failed \n", __LINE__, __func__, server);
        return 0;
    }
    struct sockaddr_in to {};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    to.sin_addr = addr;
    // Connected: datagrams from any other address or port never reach us.
    uint8_t req[kSntpRequestLen];
    const uint32_t sent = sntp_build_request(req, plat_now());
    if (connect(sock.fd, reinterpret_cast<const struct sockaddr *>(&to), sizeof to) != 0 ||
        send(sock.fd, req, sizeof req, 0) != static_cast<ssize_t>(sizeof req)) {
        mlog(LOG_DEBUG, "%d:%s   host:%s send failed \n", __LINE__, __func__, server);
        return 0;
    }

    uint8_t buf[kSntpAnswerMax];
    memset(buf, 0, sizeof buf);
    size_t got = 0;
    bool answered = false;
    for (int i = 0; i < kWaits && !answered; ++i) {
        const int r = plat_wait_readable(sock.fd, kWaitMs);
        if (r < 0) break;
        if (r == 0) continue;
        const ssize_t n = recv(sock.fd, buf, sizeof buf, 0);
        if (n < 0) break;  // e.g. the port is closed (ICMP unreachable)
        got = static_cast<size_t>(n);
        answered = true;
    }
    if (!answered) {
        mlog(LOG_DEBUG, "%d:%s   host:%s no answer \n", __LINE__, __func__, server);
        return 0;
    }
    // A header split over two datagrams: the second read goes behind the
    // first and never past the buffer.
    if (got < kSntpHeaderLen && plat_wait_readable(sock.fd, kWaitMs) == 1) {
        const ssize_t n = recv(sock.fd, buf + got, sizeof buf - got, 0);
        if (n > 0) got += static_cast<size_t>(n);
    }
    int64_t unix_seconds = 0;
    const int verdict = sntp_parse_answer(buf, got, sent, &unix_seconds);
    if (verdict == kSntpBadMode) {
        mlog(LOG_DEBUG, "%d:%s   host:%s mode error \n", __LINE__, __func__, server);
        dump_header(buf);
        return 0;
    }
    if (verdict != kSntpOk) {
        mlog(LOG_DEBUG, "%d:%s   host:%s %s \n", __LINE__, __func__, server, sntp_verdict_text(verdict));
        return 0;
    }
    const int64_t t = unix_seconds + static_cast<int64_t>(tz_hours) * 3600;
    if (sys_set_time(static_cast<time_t>(t)) != 0) {
        mlog(LOG_ERROR, "%d:%s   host:%s settimeofday \n", __LINE__, __func__, server);
        return 0;
    }
    mlog(LOG_DEBUG, "%d:%s   host:%s get time ok \n", __LINE__, __func__, server);
    return 1;
}

int sntp_sync_pass(const char (*servers)[kPlatServerMax], int count) {
    for (int i = 0; i < count; ++i) {
        if (sntp_start(servers[i], 0) == 1) return 1;
    }
    return 0;
}

void *stnp_handle_loop(void *) {
    char servers[kSntpServerCount][kPlatServerMax];
    const int n = plat_sntp_servers(servers, kSntpServerCount);
    if (n <= 0) {
        printf("%d/%s no time server, time sync off.\n", __LINE__, __func__);
        return nullptr;
    }
    while (sntp_sync_pass(servers, n) != 1) plat_sleep_s(kPassPauseS);
    return nullptr;
}

int load_sntp(void) {
    if (g_started.exchange(true)) return 0;
    plat_thread("tel-sntp", stnp_handle_loop, nullptr).detach();
    return 1;
}
