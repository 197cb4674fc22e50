#include "power/lpm_handle.h"

#include <atomic>

namespace {
std::atomic<int> g_factory_booting{0};
}  // namespace

int check_factory_booting(void) { return g_factory_booting.load(std::memory_order_relaxed); }

void set_factory_booting(int flag) { g_factory_booting.store(flag, std::memory_order_relaxed); }

// Power management is not built yet; the host may call this already.
extern "C" TELAGENT_API int init_lpm(void) { return 0; }
