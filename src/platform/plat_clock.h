#pragma once
// One clock for the whole agent.  Every sleep and every "what time is it" goes
// through here so that tests can freeze and step time instead of waiting for it,
// and so that the simulation build can honour a clock set by time sync without
// touching the development machine's clock.
#include <cstdint>
#include <ctime>

// Wall clock, seconds and milliseconds since the epoch.
time_t plat_now();
int64_t plat_now_ms();
// Monotonic milliseconds; never jumps when the wall clock is set.
int64_t plat_mono_ms();

// Local broken-down time of t (thread-safe).
void plat_localtime(time_t t, struct tm *out);

void plat_sleep_s(unsigned seconds);
void plat_sleep_ms(unsigned ms);

// Waits until `fd` is readable, at most timeout_ms on the agent's clock:
// 1 readable, 0 timed out, -1 error.  Under the fake clock a peer gets a short
// real grace to answer; after that the wait moves the clock by timeout_ms and
// times out, so a silent peer costs a test no real seconds.
int plat_wait_readable(int fd, int timeout_ms);

// Shifts the wall clock seen by the agent (the simulation's answer to setting
// the system clock; the device build sets the real clock instead).
void plat_clock_shift_to(time_t wall_seconds);

// Test control: freeze the clock at `wall_seconds`.  From then on sleeps return
// at once and move both clocks forward by the time they would have slept.
void plat_clock_fake(time_t wall_seconds);
void plat_clock_advance_ms(int64_t ms);
bool plat_clock_is_fake();
