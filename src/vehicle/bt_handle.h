#pragma once
// Main MCU and BLE bridge link.
#include <cstdint>

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
// BLE module software version (4 bytes) read over the MCU line: 1 when copied.
int get_ble_software_version(uint8_t *out4);
// Frames from the lock line addressed to the phone app.
int router_ble_data(const unsigned char *frame, int len);
// Drives the bike's power-key line through the MCU: off when `off` is non-zero.
void set_power_key_line(int off);
// Tells the main MCU that the service is up.
void app_init_success(void);
// Bluetooth MAC address (6 bytes, in the order the BLE module sends them):
// 1 when copied, else 0.
int iot_get_bt_mac(uint8_t *mac6);
