#include "vehicle/usart_ecu_handle.h"

#include <atomic>

namespace {
std::atomic<dev_recv_cb_t> g_ecu_cb{nullptr};
}  // namespace

// The line is not opened yet: the serial frame protocol comes later.
int init_orlin_ecu(void) { return 0; }

int write_data_to_ecu(const unsigned char *, int) { return 0; }

int hostcore_ECU_recv_register(dev_recv_cb_t cb) {
    g_ecu_cb.store(cb);
    return 0;
}

int dev_ECU_recv_handler(const unsigned char *, int) { return 0; }
