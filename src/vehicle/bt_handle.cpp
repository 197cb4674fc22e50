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

// The MCU answers version reads once the MCU link handlers land.
int get_ble_software_version(uint8_t *) { return 0; }

// The MAC is read over the MCU link once its handlers land.
int iot_get_bt_mac(uint8_t *) { return 0; }

// Translation for the app comes with the MCU link work.
int router_ble_data(const unsigned char *, int) { return 0; }

void set_power_key_line(int off) {
    static const uint8_t kKeyOn[] = {0x02, 0x07, 0x06, 0x03, 0xF4, 0x02, 0x00, 0x01, 0x00, 0xEA, 0xF1, 0x03};
    static const uint8_t kKeyOff[] = {0x02, 0x07, 0x06, 0x03, 0xF4, 0x02, 0x00, 0x00, 0x00, 0xDB, 0xC2, 0x03};
    if (off) {
        dev_send_to_bluetooth(kKeyOff, sizeof kKeyOff);
    } else {
        dev_send_to_bluetooth(kKeyOn, sizeof kKeyOn);
    }
}
