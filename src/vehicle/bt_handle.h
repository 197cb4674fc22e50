#pragma once
// Main MCU and BLE bridge link.
#include "core/iot_common.h"

int mcu_bt_init(void);
int init_tx510(void);
int write_data_to_bluetooth(const unsigned char *data, int len);
int hostcore_bluetooth_recv_register(dev_recv_cb_t cb);
// Receive callback of the MCU line, registered at start-up.
int dev_bluetooth_recv_handler(const unsigned char *frame, int len);
void disconnect_bt_device(void);
void reboot_bt_device(void);
// Tells the main MCU that the service is up.
void app_init_success(void);
