#include "vehicle/bt_handle.h"

#include <atomic>

namespace {
std::atomic<dev_recv_cb_t> g_bt_cb{nullptr};
}  // namespace

// The BLE bridge comes with the MCU link work.
int mcu_bt_init(void) { return 0; }

int init_tx510(void) { return 0; }

int write_data_to_bluetooth(const unsigned char *, int) { return 0; }

int hostcore_bluetooth_recv_register(dev_recv_cb_t cb) {
    g_bt_cb.store(cb);
    return 0;
}

int dev_bluetooth_recv_handler(const unsigned char *, int) { return 0; }

void disconnect_bt_device(void) {}

void reboot_bt_device(void) {}

void app_init_success(void) {}
