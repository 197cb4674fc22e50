#include "core/devsim_loop.h"
#include "core/devsim_clock.h"

#include <poll.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <set>
#include <utility>
#include <vector>

#include "bike/bike_state.h"
#include "core/control.h"
#include "core/devsim_files.h"
#include "gnss/gnss_engine.h"
#include "power/power_peer.h"
#include "sensor/imu_peer.h"
#include "core/peer.h"
#include "core/pty_port.h"
#include "core/timer_queue.h"
#include "core/wire_log.h"
#include "sntp/sntp_responder.h"

namespace {

// Bytes waiting for the agent to read them; beyond this a port drops output,
// as a real UART would overrun.
constexpr size_t kOutMax = 64 * 1024;

class Line final : public PeerLine {
public:
    Line(TimerQueue &q, size_t index, std::string port, std::string root)
        : q_(q), index_(index), port_(std::move(port)), root_(std::move(root)) {}

    const std::string &port() const override { return port_; }
    const std::string &root() const override { return root_; }
    int send(const uint8_t *data, size_t len, unsigned delay_ms) override {
        return q_.push(devsim_mono_ms() + delay_ms, index_, std::string(reinterpret_cast<const char *>(data), len));
    }
    void trace(const char *dir, const uint8_t *data, size_t len) override { log.write(port_, dir, data, len); }

    void enqueue(const std::string &bytes) {
        if (out.size() + bytes.size() > kOutMax) {
            fprintf(stderr, "devsim: %s: agent not reading, %zu bytes dropped\n", port_.c_str(), bytes.size());
            return;
        }
        out += bytes;
    }

    void flush() {
        while (!out.empty()) {
            ssize_t w = write(pty.master(), out.data(), out.size());
            if (w < 0 && errno == EINTR) continue;
            if (w < 0 && errno == EAGAIN) return;
            if (w <= 0) {
                fprintf(stderr, "devsim: %s: write: %s, %zu bytes dropped\n", port_.c_str(), strerror(errno),
                        out.size());
                out.clear();
                return;
            }
            trace("TX", reinterpret_cast<const uint8_t *>(out.data()), static_cast<size_t>(w));
            out.erase(0, static_cast<size_t>(w));
        }
    }

    PtyPort pty;
    WireLog log;
    std::unique_ptr<Peer> peer;
    std::string out;
    std::string link;
    int64_t next_tick = 0;

private:
    TimerQueue &q_;
    size_t index_;
    std::string port_;
    std::string root_;
};

// Removes what devsim put into the root: links that still point at our
// terminals (a newer devsim may own them by now) and the ready file.
void cleanup(const std::vector<std::unique_ptr<Line>> &lines, const std::string &ready) {
    unlink(ready.c_str());
    control_close();
    for (const auto &l : lines) {
        if (l->link.empty()) continue;
        char buf[256];
        ssize_t n = readlink(l->link.c_str(), buf, sizeof buf - 1);
        if (n > 0 && std::string(buf, static_cast<size_t>(n)) == l->pty.slave_name()) unlink(l->link.c_str());
    }
}

struct Lookup {
    const std::vector<std::unique_ptr<Line>> *lines;
    GnssEngine *gnss = nullptr;  // [gnss]: the GNSS engine has no port
    ImuPeer *imu = nullptr;      // [imu]: the motion sensor is files, not a port
    SntpResponder *sntp = nullptr;  // [sntp]: time servers on loopback UDP
};

int line_takes(void *ctx, const ScenarioEntry &e) {
    auto *lk = static_cast<Lookup *>(ctx);
    if (e.section == "gnss" && lk->gnss != nullptr) return lk->gnss->configure(e.key, e.value) == 1 ? 1 : 0;
    if (e.section == "imu" && lk->imu != nullptr) return lk->imu->configure(e.key, e.value) == 1 ? 1 : 0;
    if (e.section == "sntp" && lk->sntp != nullptr) return lk->sntp->configure(e.key, e.value) == 1 ? 1 : 0;
    // [bike]: the bike behind the lock board, shared by the ttyHSL1 and ttyHSL2 peers.
    if (e.section == "bike") return bike_state_configure(e.key, e.value) == 1 ? 1 : 0;
    // [modem]: the modem as a whole, played by the smd7 peer with its QMI services.
    const std::string port = e.section == "modem" ? std::string("smd7") : e.section;
    for (const auto &l : *lk->lines) {
        if (l->port() == port) return l->peer->configure(e.key, e.value) == 1 ? 1 : 0;
    }
    return 0;
}

}  // namespace

std::vector<std::string> devsim_unused_keys(const Scenario &sc, int (*known)(void *, const ScenarioEntry &),
                                            void *ctx) {
    std::vector<std::string> out;
    std::set<std::pair<std::string, std::string>> seen;
    for (const ScenarioEntry &e : sc.entries) {
        if (e.section == "box") continue;  // [box] is checked where it is applied
        if (known(ctx, e) == 1) continue;
        if (!seen.insert({e.section, e.key}).second) continue;
        out.push_back("scenario line " + std::to_string(e.line) + ": [" + e.section + "] key '" + e.key +
                      "' not used");
    }
    return out;
}

int devsim_run(const std::string &root, const Scenario &sc) {
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    int sfd = signalfd(-1, &stop, SFD_CLOEXEC | SFD_NONBLOCK);
    if (sfd < 0) {
        fprintf(stderr, "devsim: signalfd: %s\n", strerror(errno));
        return 1;
    }
    struct SfdCloser {
        int fd;
        ~SfdCloser() { close(fd); }
    } sfd_closer{sfd};

    const std::string ready = root + "/var/devsim/ready";
    unlink(ready.c_str());  // a stale one from a killed run must not fool anyone
    if (devsim_mkdirs(root + "/dev") != 0 || devsim_mkdirs(root + "/var/devsim") != 0) {
        fprintf(stderr, "devsim: cannot create %s/dev and %s/var/devsim\n", root.c_str(), root.c_str());
        return 1;
    }

    TimerQueue queue;
    std::vector<std::unique_ptr<Line>> lines;
    size_t nslots = 0;
    const PeerSlot *slots = devsim_peer_table(&nslots);
    for (size_t i = 0; i < nslots; ++i) {
        auto l = std::make_unique<Line>(queue, i, slots[i].port, root);
        if (l->pty.open_pair() != 0) {
            fprintf(stderr, "devsim: %s: pseudo-terminal: %s\n", slots[i].port, strerror(errno));
            cleanup(lines, ready);
            return 1;
        }
        l->log.open(root + "/var/devsim/" + slots[i].port + ".log");
        const std::string link = root + "/dev/" + slots[i].port;
        if (devsim_symlink(l->pty.slave_name(), link) != 0) {
            fprintf(stderr, "devsim: cannot link %s: %s\n", link.c_str(), strerror(errno));
            cleanup(lines, ready);
            return 1;
        }
        l->link = link;
        l->peer = slots[i].make(*l);
        printf("devsim: %s -> %s\n", link.c_str(), l->pty.slave_name().c_str());
        lines.push_back(std::move(l));
    }

    GnssEngine gnss;
    ImuPeer imu;
    SntpResponder sntp;
    Lookup lk{&lines, &gnss, &imu, &sntp};
    for (const std::string &m : devsim_unused_keys(sc, line_takes, &lk)) fprintf(stderr, "devsim: %s\n", m.c_str());

    // Open before "ready": a test may write its first command right after.
    const int cfd = control_open(root);
    if (cfd < 0) fprintf(stderr, "devsim: no control channel at %s/var/devsim/control\n", root.c_str());

    // The location client finds the engine's socket once "ready" is there.
    if (gnss.start(root) != 0) fprintf(stderr, "devsim: no GNSS engine at %s/var/devsim/gnss.sock\n", root.c_str());
    // The sensor's nodes exist before "ready": the agent looks for them once, at start-up.
    if (imu.start(root) != 0) fprintf(stderr, "devsim: no motion sensor under %s/sys\n", root.c_str());
    if (sntp.start(root) != 0) fprintf(stderr, "devsim: no time servers\n");
    // The power nodes and the wake FIFO exist before the host may call init_lpm.
    PowerPeer power;
    if (power.start(root) != 0) fprintf(stderr, "devsim: no power nodes under %s/sys/power\n", root.c_str());

    if (devsim_write_file(ready, std::to_string(getpid()) + "\n") != 0) {
        fprintf(stderr, "devsim: cannot write %s\n", ready.c_str());
        cleanup(lines, ready);
        return 1;
    }
    printf("devsim: ready, pid %d\n", static_cast<int>(getpid()));
    fflush(stdout);

    const int64_t start = devsim_mono_ms();
    for (auto &l : lines) l->next_tick = start + l->peer->tick_ms();

    std::vector<struct pollfd> pfds(lines.size() + 2);  // signals, ports, control
    for (;;) {
        const int64_t now = devsim_mono_ms();
        TimedSend due;
        while (queue.pop_due(now, &due) == 1) lines[due.port]->enqueue(due.bytes);
        for (auto &l : lines) {
            if (now >= l->next_tick) {
                l->peer->on_tick(now);
                l->next_tick = now + l->peer->tick_ms();
            }
        }
        for (auto &l : lines) l->flush();

        // Sleep until the next timer or tick; something sent with no delay
        // during a tick is due already, so the wait is 0 then.
        int64_t wake = queue.next_due();
        for (auto &l : lines) {
            if (wake < 0 || l->next_tick < wake) wake = l->next_tick;
        }
        int64_t wait = wake - devsim_mono_ms();
        if (wait < 0) wait = 0;
        if (wait > 60000) wait = 60000;

        pfds[0] = {sfd, POLLIN, 0};
        for (size_t i = 0; i < lines.size(); ++i) {
            short ev = POLLIN;
            if (!lines[i]->out.empty()) ev |= POLLOUT;
            pfds[i + 1] = {lines[i]->pty.master(), ev, 0};
        }
        pfds.back() = {cfd, POLLIN, 0};  // -1 (no channel) is ignored by poll
        int n = poll(pfds.data(), pfds.size(), static_cast<int>(wait));
        if (n < 0 && errno != EINTR) {
            fprintf(stderr, "devsim: poll: %s\n", strerror(errno));
            cleanup(lines, ready);
            return 1;
        }
        if (n <= 0) continue;
        if (pfds[0].revents & POLLIN) {
            struct signalfd_siginfo si {};
            ssize_t r = read(sfd, &si, sizeof si);
            fprintf(stderr, "devsim: stopping (signal %d)\n", r == sizeof si ? static_cast<int>(si.ssi_signo) : 0);
            cleanup(lines, ready);
            return 0;
        }
        for (size_t i = 0; i < lines.size(); ++i) {
            Line &l = *lines[i];
            if (pfds[i + 1].revents & POLLIN) {
                uint8_t buf[4096];
                ssize_t r = read(l.pty.master(), buf, sizeof buf);
                if (r > 0) l.peer->on_bytes(buf, static_cast<size_t>(r));
            }
            if (pfds[i + 1].revents & POLLOUT) l.flush();
        }
        if (pfds.back().revents & POLLIN) control_service();
    }
}
