#include "vehicle/factory_test.h"

#include <atomic>
#include <cstdio>

namespace {
std::atomic<int> g_factory_mode{0};
}  // namespace

void factory_test_init(void) {
    printf("%d/%s **************** factory test init ****************\n", __LINE__, __func__);
}

// The factory table comes with the factory test work.
int factory_mode_dispatch(const unsigned char *, int) { return 0; }

int get_factory_mode(void) { return g_factory_mode.load(std::memory_order_relaxed); }

void set_factory_mode(int flag) { g_factory_mode.store(flag, std::memory_order_relaxed); }
