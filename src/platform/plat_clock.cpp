#include "platform/plat_clock.h"

#include <poll.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>

namespace {

std::atomic<bool> g_fake{false};
std::atomic<int64_t> g_fake_wall_ms{0};
std::atomic<int64_t> g_fake_mono_ms{0};
// Offset added to the real wall clock after a simulated clock set.
std::atomic<int64_t> g_wall_offset_ms{0};

int64_t real_wall_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

int64_t real_mono_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace

int64_t plat_now_ms() {
    if (g_fake.load(std::memory_order_relaxed)) return g_fake_wall_ms.load(std::memory_order_relaxed);
    return real_wall_ms() + g_wall_offset_ms.load(std::memory_order_relaxed);
}

time_t plat_now() {
    int64_t ms = plat_now_ms();
    // Floor division so that times before the epoch stay consistent.
    return static_cast<time_t>(ms >= 0 ? ms / 1000 : -((-ms + 999) / 1000));
}

int64_t plat_mono_ms() {
    if (g_fake.load(std::memory_order_relaxed)) return g_fake_mono_ms.load(std::memory_order_relaxed);
    return real_mono_ms();
}

void plat_localtime(time_t t, struct tm *out) {
    if (localtime_r(&t, out) == nullptr) {
        *out = {};
    }
}

void plat_sleep_ms(unsigned ms) {
    if (g_fake.load(std::memory_order_relaxed)) {
        plat_clock_advance_ms(ms);
        std::this_thread::yield();
        return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void plat_sleep_s(unsigned seconds) { plat_sleep_ms(seconds * 1000u); }

int plat_wait_readable(int fd, int timeout_ms) {
    if (timeout_ms < 0) timeout_ms = 0;
    const bool fake = g_fake.load(std::memory_order_relaxed);
    // Real grace under the fake clock: enough for a loopback peer that answers
    // at once, far below any wait the agent asks for.
    constexpr int kFakeGraceMs = 500;
    const int budget = fake && timeout_ms > kFakeGraceMs ? kFakeGraceMs : timeout_ms;
    const int64_t end = real_mono_ms() + budget;
    for (;;) {
        const int64_t left = end - real_mono_ms();
        struct pollfd p {fd, POLLIN, 0};
        const int n = poll(&p, 1, left > 0 ? static_cast<int>(left) : 0);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        if (n > 0) return (p.revents & (POLLERR | POLLNVAL)) != 0 && (p.revents & POLLIN) == 0 ? -1 : 1;
        break;
    }
    if (fake) plat_clock_advance_ms(timeout_ms);
    return 0;
}

void plat_clock_shift_to(time_t wall_seconds) {
    int64_t target = static_cast<int64_t>(wall_seconds) * 1000;
    if (g_fake.load(std::memory_order_relaxed)) {
        g_fake_wall_ms.store(target, std::memory_order_relaxed);
        return;
    }
    g_wall_offset_ms.store(target - real_wall_ms(), std::memory_order_relaxed);
}

void plat_clock_fake(time_t wall_seconds) {
    g_fake_wall_ms.store(static_cast<int64_t>(wall_seconds) * 1000, std::memory_order_relaxed);
    g_fake_mono_ms.store(real_mono_ms(), std::memory_order_relaxed);
    g_fake.store(true, std::memory_order_relaxed);
}

void plat_clock_advance_ms(int64_t ms) {
    g_fake_wall_ms.fetch_add(ms, std::memory_order_relaxed);
    g_fake_mono_ms.fetch_add(ms, std::memory_order_relaxed);
}

bool plat_clock_is_fake() { return g_fake.load(std::memory_order_relaxed); }
