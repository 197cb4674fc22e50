#include "platform/plat_alarm.h"

#include <cerrno>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cstdint>
#include <ctime>
#include <thread>

#include <atomic>
#include <chrono>

#include "platform/plat_clock.h"
#include "platform/plat_thread.h"

struct plat_alarm {
    plat_alarm_cb cb = nullptr;
    void *param = nullptr;
    int64_t interval_ms = 0;
    int periodic = 0;
    int64_t first_ms = 0;  // fake clock: monotonic time of the first expiry
    bool fake = false;
    int timer_fd = -1;  // real clock: the timer
    int stop_fd = -1;   // real clock: wakes the waiting thread to stop
    std::atomic<bool> stop{false};
    std::thread poller;
};

namespace {

void fire(plat_alarm *a) {
    plat_alarm_cb cb = a->cb;
    void *param = a->param;
    plat_thread("alarm-expiry", [cb, param] { cb(param); }).detach();
}

// Real clock: a timer descriptor waited on by one thread, which starts a new
// thread per expiry (the kernel counts missed expiries; each one runs).
void wait_real(plat_alarm *a) {
    for (;;) {
        struct pollfd p[2] = {{a->timer_fd, POLLIN, 0}, {a->stop_fd, POLLIN, 0}};
        if (poll(p, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (p[1].revents & POLLIN) return;
        uint64_t n = 0;
        if (read(a->timer_fd, &n, sizeof n) != static_cast<ssize_t>(sizeof n)) continue;
        for (uint64_t i = 0; i < n; ++i) fire(a);
        if (a->periodic == 0) return;
    }
}

// Fake clock: expiries follow the fake monotonic time, polled in real time.
void poll_fake(plat_alarm *a) {
    int64_t next = a->first_ms;
    while (!a->stop.load(std::memory_order_relaxed)) {
        if (plat_mono_ms() >= next) {
            fire(a);
            if (a->periodic == 0) return;
            next += a->interval_ms;
            continue;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

}  // namespace

int plat_alarm_create(plat_alarm **out, plat_alarm_cb cb, void *param, int64_t interval_s, int periodic) {
    if (out == nullptr || cb == nullptr || interval_s <= 0 || periodic < 0 || periodic > 1 ||
        interval_s > INT32_MAX) {
        errno = EINVAL;
        return -1;
    }
    auto *a = new plat_alarm;
    a->cb = cb;
    a->param = param;
    a->interval_ms = interval_s * 1000;
    a->periodic = periodic;
    if (plat_clock_is_fake()) {
        a->fake = true;
        a->first_ms = plat_mono_ms() + a->interval_ms;
        a->poller = plat_thread("alarm-timer", poll_fake, a);
        *out = a;
        return 0;
    }
    a->timer_fd = timerfd_create(plat_alarm_clock_id(), TFD_CLOEXEC);
    a->stop_fd = eventfd(0, EFD_CLOEXEC);
    struct itimerspec its {};
    its.it_value.tv_sec = static_cast<time_t>(interval_s);
    if (periodic == 1) its.it_interval.tv_sec = static_cast<time_t>(interval_s);
    if (a->timer_fd < 0 || a->stop_fd < 0 || timerfd_settime(a->timer_fd, 0, &its, nullptr) != 0) {
        int e = errno;
        if (a->timer_fd >= 0) close(a->timer_fd);
        if (a->stop_fd >= 0) close(a->stop_fd);
        delete a;
        errno = e;
        return -1;
    }
    a->poller = plat_thread("alarm-timer", wait_real, a);
    *out = a;
    return 0;
}

void plat_alarm_delete(plat_alarm *a) {
    if (a == nullptr) return;
    if (a->fake) {
        a->stop.store(true);
        if (a->poller.joinable()) a->poller.join();
    } else {
        uint64_t one = 1;
        (void)!write(a->stop_fd, &one, sizeof one);
        if (a->poller.joinable()) a->poller.join();
        close(a->timer_fd);
        close(a->stop_fd);
    }
    delete a;
}
