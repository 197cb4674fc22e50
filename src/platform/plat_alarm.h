#pragma once
// Alarm timer: a timer on the clock that keeps counting through suspend and
// wakes the box when it expires.  On the module that is CLOCK_BOOTTIME_ALARM;
// development machines refuse that clock to ordinary users, so the simulation
// uses CLOCK_BOOTTIME, and under the fake clock (plat_clock_fake) expiries
// follow the fake monotonic time so tests never wait real minutes.
#include <cstdint>

struct plat_alarm;
using plat_alarm_cb = void (*)(void *param);

// Starts a timer whose first expiry comes after `interval_s` seconds and, when
// `periodic` is 1, every `interval_s` seconds after that.  Each expiry runs
// `cb(param)` on a new thread.  0 on success with *out set; -1 on failure
// (errno set: EINVAL for a bad argument, else the timer call's error).
int plat_alarm_create(plat_alarm **out, plat_alarm_cb cb, void *param, int64_t interval_s, int periodic);
// Stops and frees the timer.  Expiries already running finish on their own.
void plat_alarm_delete(plat_alarm *alarm);

// The clock the side of the seam uses for real timers.
int plat_alarm_clock_id();
