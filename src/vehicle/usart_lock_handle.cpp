#include "vehicle/usart_lock_handle.h"

#include <atomic>

namespace {
std::atomic<dev_recv_cb_t> g_lock_cb{nullptr};
}  // namespace

// The line is not opened yet: the serial frame protocol comes later.
int init_lock_usart(void) { return 0; }

int write_data_to_GD(const unsigned char *, int) { return 0; }

int hostcore_GD32_recv_register(dev_recv_cb_t cb) {
    g_lock_cb.store(cb);
    return 0;
}

int dev_GD32_recv_handler(const unsigned char *, int) { return 0; }
