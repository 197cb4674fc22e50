// AT command channel to the modem (/dev/smd7).
#include "lte/at_channel.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <mutex>
#include <string>

#include "core/logging.h"
#include "platform/plat_path.h"
#include "platform/unique_fd.h"

namespace {

constexpr const char *kAtDevice = "/dev/smd7";
constexpr int kSilenceS = 2;
// The modem echoes the command line; its last three characters (the final
// letter of the command and "\r\n") are not compared, so an echo that the
// modem rewrote at the line end still counts as the echo.
constexpr size_t kEchoTrim = 3;
// Reads that fail right after the port said "ready" in a row before we stop
// believing it; keeps a broken port from spinning the caller.
constexpr int kMaxFailedReads = 64;

// Serialises the service's own exchanges, so no caller ever reads a piece of
// another caller's reply.  Constant-initialised: valid even before start-up.
std::mutex g_at_lock;
std::atomic<bool> g_ready{false};

using Fd = UniqueFd;

// Readiness wait of at most timeout_ms: 1 readable, 0 nothing came, -1 error.
// *hup is set when the port reports a hang-up (data may still be pending).
int wait_readable(int fd, int timeout_ms, bool *hup) {
    struct pollfd p {fd, POLLIN, 0};
    int n;
    do {
        n = poll(&p, 1, timeout_ms);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return -1;
    if (n == 0) return 0;
    *hup = (p.revents & POLLHUP) != 0;
    if ((p.revents & (POLLERR | POLLNVAL)) != 0) return -1;
    return 1;
}

// One exchange: open, write once, collect, close.
// `timed_out` is set when the exchange ended on the silence timeout.
int exchange(const char *fn, const char *cmd, char *reply, int capacity, int timeout_s, bool *timed_out) {
    *timed_out = false;
    const std::string dev = plat_path(kAtDevice);
    Fd fd(open(dev.c_str(), O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (fd.fd < 0) {
        mlog(LOG_ERROR, "%d/%s -- open[%s] failed\n", __LINE__, fn, kAtDevice);
        return 0;
    }
    // Whatever an earlier exchange left unread (the tail of a reply that was
    // cut at its buffer, a late answer) would otherwise be taken for this
    // command's reply.  Fails harmlessly on a port that is not a terminal.
    tcflush(fd.fd, TCIFLUSH);

    const size_t cmd_len = strlen(cmd);
    ssize_t w;
    do {
        w = write(fd.fd, cmd, cmd_len);
    } while (w < 0 && errno == EINTR);
    int result = static_cast<int>(w);

    const size_t echo_len = cmd_len > kEchoTrim ? cmd_len - kEchoTrim : 0;
    const size_t cap = capacity > 0 ? static_cast<size_t>(capacity) : 0;
    const int timeout_ms = timeout_s <= 0 ? 0 : (timeout_s > INT_MAX / 1000 ? INT_MAX : timeout_s * 1000);
    size_t collected = 0;
    int failed_reads = 0;
    for (;;) {
        bool hup = false;
        const int ready = wait_readable(fd.fd, timeout_ms, &hup);
        if (ready == 0) *timed_out = true;
        if (ready <= 0) break;
        if (collected >= cap) break;  // buffer full
        ssize_t n = read(fd.fd, reply + collected, cap - collected);
        result = static_cast<int>(n);
        // A failed read waits again; on a hung-up port the wait would report
        // ready at once forever, so that ends the exchange instead.
        if (n <= 0 && (hup || ++failed_reads > kMaxFailedReads)) break;
        if (n <= 0) continue;
        failed_reads = 0;
        // A reply that starts with the modem's echo goes on until the modem
        // falls silent (the answer may come in any number of pieces behind
        // it); one that starts with anything else is complete as it is.
        const size_t got = static_cast<size_t>(n);
        const bool echo = echo_len > 0 && collected + got >= echo_len && memcmp(reply, cmd, echo_len) == 0;
        if (!echo) break;  // the bytes just read stay in the buffer
        collected += got;
    }
    return result;
}

}  // namespace

void at_channel_init(void) { g_ready.store(true, std::memory_order_relaxed); }

bool at_channel_ready(void) { return g_ready.load(std::memory_order_relaxed); }

int exec_at(const char *cmd, char *reply, int capacity) {
    std::lock_guard<std::mutex> hold(g_at_lock);
    if (cmd == nullptr || reply == nullptr) {
        mlog(LOG_ERROR, "%d/%s --\n", __LINE__, __func__);
        return 0;
    }
    bool timed_out = false;
    return exchange(__func__, cmd, reply, capacity, kSilenceS, &timed_out);
}

int exec_at_timeout(const char *cmd, char *reply, int capacity, int timeout_s) {
    if (cmd == nullptr || reply == nullptr) {
        mlog(LOG_ERROR, "%d/%s --\n", __LINE__, __func__);
        return 0;
    }
    bool timed_out = false;
    const int r = exchange(__func__, cmd, reply, capacity, timeout_s, &timed_out);
    if (timed_out) mlog(LOG_ERROR, "%d/%s --%s---\n", __LINE__, __func__, cmd);
    return r;
}
