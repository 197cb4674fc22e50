#include "vehicle/bt_handle.h"

#include "vehicle/serial_line.h"

// The BLE bridge comes with the MCU link work.
int mcu_bt_init(void) { return 0; }

int init_tx510(void) { return 0; }

int dev_bluetooth_recv_handler(const unsigned char *, int) { return 0; }

void disconnect_bt_device(void) {}

void reboot_bt_device(void) {}

void app_init_success(void) {}

// The two polling reads come with the MCU link work.
void communication_with_ble(void) { line_sleep_ms(1000); }

void handle_mcu_caret_frame(const unsigned char *, int) {}
