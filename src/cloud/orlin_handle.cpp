#include "cloud/orlin_handle.h"

#include <atomic>

namespace {
std::atomic<int> g_ota_mode{0};
}  // namespace

// Requests are not carried out yet: the task that runs them comes later.
int dev_yun_recv_handler(const char *, const char *, int) { return 0; }

int init_orlin_handle(void) { return 0; }

int get_ota_mode(void) { return g_ota_mode.load(std::memory_order_relaxed); }

void set_ota_mode(int flag) { g_ota_mode.store(flag, std::memory_order_relaxed); }
