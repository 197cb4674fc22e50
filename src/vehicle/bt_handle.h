#pragma once
// Main MCU and BLE bridge link: what travels on the MCU line besides the
// line machinery itself.  Frames for the box (destination 0x06) run through a
// local message table; frames between the phone app and the bike are relayed
// between the MCU line and the lock line; frames for the app are wrapped in a
// BLE package.  Plus the MCU's caret commands (MAC query, disconnect, reboot,
// data forwarding), the BLE polling thread and the Bluetooth message pool
// that hands the MCU's messages to the host.
#include <cstddef>
#include <cstdint>

#include "core/iot_common.h"

// Bluetooth message pool (4 x 47 bytes) and its thread, which hands each
// message to the host's Bluetooth-message callback (cb_bt_msg); sends the MAC query
// once and clears the cached MAC.  Returns 0 (it cannot fail).
int mcu_bt_init(void);
int init_tx510(void);

// Receive callback of the MCU line, registered at start-up.
int dev_bluetooth_recv_handler(const unsigned char *frame, int len);
// Frames addressed to the box: the local message table (22 ids, first match).
int local_HostCore_frame(const unsigned char *frame, int len);
// Frames not addressed to the box: to the app, the factory tool or the bike.
int downlink_app_frame(const unsigned char *frame, int len);
// Frames from the lock line addressed to the phone app.
int router_ble_data(const unsigned char *frame, int len);
// Wraps a bus frame in a BLE package ("AT>" 00 05 L frame 0D 0A) and sends it
// on the MCU line.  1 sent; 0 refused (not a frame, or longer than 255 bytes).
int post_BlePackageProtocol(const unsigned char *frame, int len);
// Builds the BLE package into out (cap bytes); its length, or 0 when refused.
size_t ble_package_build(const uint8_t *frame, size_t len, uint8_t *out, size_t cap);

// Display frames for the app: 0xF105 -> 0xF103 and 0xF106 -> 0xF104 (out
// holds 256 bytes).  The translated frame's length, 0 when the frame is not one
// of them or too short to carry the fields read.
size_t app_display_translate(const uint8_t *frame, int len, uint8_t *out, size_t cap);

// BLE polling thread body (one cycle: the two reads, 5 s apart).
void communication_with_ble(void);
// Caret frames from the MCU's own command handler (MAC answers, messages).
void handle_mcu_caret_frame(const unsigned char *frame, int len);

// Caret commands to the MCU.
int get_bt_mac_info_cmd(void);
void disconnect_bt_device(void);
void reboot_bt_device(void);
// Forwards cloud data to Bluetooth (at most 200 bytes); 1 sent, 0 refused.
int forward_date_lte2bt(const uint8_t *data, int len);
// Cached Bluetooth MAC (6 bytes); queried up to 3 times (1 s each) while
// unknown.  1 when known.
int get_bt_mac_info(uint8_t *mac6);
// Bluetooth MAC address (6 bytes, in the order the BLE module sends them):
// 1 when copied, else 0.
int iot_get_bt_mac(uint8_t *mac6);

// BLE module software version (4 bytes) read over the MCU line, 3 tries: 1 when copied.
int get_ble_software_version(uint8_t *out4);
// 1 when the BLE module answers its version read.
int ping_ble_status(void);
// Drives the bike's power-key line through the MCU: off when `off` is non-zero.
void set_power_key_line(int off);
// The application finished its start-up; the factory tool may now take over.
void app_init_success(void);
int get_app_init_success(void);
// Cleared by init_mcu_usart.
void clear_app_init_success(void);
