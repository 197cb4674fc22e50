#include "platform/plat_alarm.h"

#include <cerrno>
#include <csignal>
#include <ctime>
#include <thread>

#include <atomic>
#include <chrono>

#include "platform/plat_clock.h"

struct plat_alarm {
    plat_alarm_cb cb = nullptr;
    void *param = nullptr;
    int64_t interval_ms = 0;
    int periodic = 0;
    int64_t first_ms = 0;  // fake clock: monotonic time of the first expiry
    bool fake = false;
    timer_t timer{};
    std::atomic<bool> stop{false};
    std::thread poller;
};

namespace {

void fire(plat_alarm *a) {
    plat_alarm_cb cb = a->cb;
    void *param = a->param;
    std::thread([cb, param] { cb(param); }).detach();
}

void on_expiry(union sigval v) {
    auto *a = static_cast<plat_alarm *>(v.sival_ptr);
    a->cb(a->param);
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
        a->poller = std::thread(poll_fake, a);
        *out = a;
        return 0;
    }
    struct sigevent sev {};
    sev.sigev_notify = SIGEV_THREAD;
    sev.sigev_notify_function = on_expiry;
    sev.sigev_value.sival_ptr = a;
    if (timer_create(static_cast<clockid_t>(plat_alarm_clock_id()), &sev, &a->timer) != 0) {
        int e = errno;
        delete a;
        errno = e;
        return -1;
    }
    struct itimerspec its {};
    its.it_value.tv_sec = static_cast<time_t>(interval_s);
    if (periodic == 1) its.it_interval.tv_sec = static_cast<time_t>(interval_s);
    if (timer_settime(a->timer, 0, &its, nullptr) != 0) {
        int e = errno;
        timer_delete(a->timer);
        delete a;
        errno = e;
        return -1;
    }
    *out = a;
    return 0;
}

void plat_alarm_delete(plat_alarm *a) {
    if (a == nullptr) return;
    if (a->fake) {
        a->stop.store(true);
        if (a->poller.joinable()) a->poller.join();
    } else {
        timer_delete(a->timer);
    }
    delete a;
}
