// The modem service library's AT exchange.
#include "lib/qs_common_api/dev/qs_at.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/plat_path.h"
#include "platform/unique_fd.h"

namespace {

constexpr const char *kAtDevice = "/dev/smd7";
constexpr int kBudgetMs = 1000;

using Fd = UniqueFd;

int64_t now_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

bool final_response(const char *chunk, int is_network_query) {
    if (strstr(chunk, "OK") != nullptr) return true;
    return is_network_query != 0 && strstr(chunk, "ERROR") != nullptr;
}

}  // namespace

int qs_at_exchange(const char *cmd, char reply[kQsAtReplySize], int is_network_query) {
    if (cmd == nullptr || reply == nullptr) return -1;
    const std::string dev = plat_path(kAtDevice);
    Fd fd(open(dev.c_str(), O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (fd.fd < 0) return -1;
    tcflush(fd.fd, TCIFLUSH);  // nothing of an earlier exchange may pass as our answer

    char line[kQsAtCmdSize];
    int len = snprintf(line, sizeof line, "%s\r\n", cmd);
    if (len < 0) return -1;
    if (static_cast<size_t>(len) >= sizeof line) {
        // Cut, but still a complete line for the modem.
        len = static_cast<int>(sizeof line) - 1;
        line[len - 2] = '\r';
        line[len - 1] = '\n';
    }
    ssize_t w;
    do {
        w = write(fd.fd, line, static_cast<size_t>(len));
    } while (w < 0 && errno == EINTR);
    if (w < 0) return -1;

    // One budget for the whole exchange: a chatty modem cannot keep us here.
    const int64_t deadline = now_ms() + kBudgetMs;
    for (;;) {
        const int64_t left = deadline - now_ms();
        if (left <= 0) return 1;
        struct pollfd p {fd.fd, POLLIN, 0};
        const int n = poll(&p, 1, static_cast<int>(left));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        if (n == 0) return 1;
        if ((p.revents & (POLLERR | POLLNVAL)) != 0) return -1;
        // Read chunk after chunk while they come full; the buffer keeps the
        // latest one, one byte short of its size so it stays a string.
        ssize_t got;
        do {
            memset(reply, 0, kQsAtReplySize);
            got = read(fd.fd, reply, kQsAtReplySize - 1);
            if (got > 0 && final_response(reply, is_network_query)) return 0;
        } while (got == static_cast<ssize_t>(kQsAtReplySize - 1));
        if (got <= 0 && (p.revents & POLLHUP) != 0) return -1;  // port gone: it will not answer
    }
}
