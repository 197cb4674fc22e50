#pragma once
// devsim's clocks in milliseconds: monotonic for its timers and pacing, the
// wall clock for the time stamps of its logs.
#include <cstdint>
#include <ctime>

inline int64_t devsim_mono_ms() {
    struct timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

inline int64_t devsim_wall_ms() {
    struct timespec ts {};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}
