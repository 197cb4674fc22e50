#pragma once
// Main MCU and BLE bridge link.
#include "core/iot_common.h"

int mcu_bt_init(void);
int init_tx510(void);
// Receive callback of the MCU line, registered at start-up.
int dev_bluetooth_recv_handler(const unsigned char *frame, int len);
void disconnect_bt_device(void);
void reboot_bt_device(void);
// BLE polling thread body (one cycle).
void communication_with_ble(void);
// Caret frames from the MCU's own command handler (ping, MAC answers).
void handle_mcu_caret_frame(const unsigned char *frame, int len);
// Tells the main MCU that the service is up.
void app_init_success(void);
