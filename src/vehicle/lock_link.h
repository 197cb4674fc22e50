#pragma once
// The lock/controller board link: the message table of the lock line, the
// polling cycle, motor-lock / light / bike-power commands, information reads,
// the queries the box answers and the relays to the GD32 board and the MCU.
#include <cstddef>
#include <cstdint>

// Hands the lines what the links above them do: the lock line's polling cycle
// and the MCU line's BLE polling, caret frames and start-up reset.  Called at
// start-up before the lines are opened.
void vehicle_link_attach(void);
// Number of entries of the lock line's message table, and the id of entry i.
size_t lock_msg_table_size(void);
uint16_t lock_msg_table_id(size_t i);

// Receive callback of the lock line (registered at start-up).
int dev_GD32_recv_handler(const unsigned char *frame, int len);

// One polling cycle: the 30 reads, one every 500 ms, while neither factory
// nor firmware-update mode is on.  Returns early when its thread is stopped.
void ebike_read_task(void);
// The 30 polling requests in order (destination, id).
size_t ebike_poll_table(const uint8_t **dst, const uint16_t **ids);

// Cloud commands: `body` holds the command's two bytes; *result is 1 when the
// bike confirmed, else 0.  They return *result.
int get_ctrl_lock_info(const uint8_t *body, uint16_t *result);
int get_ctrl_light_info(const uint8_t *body, uint16_t *result);
int get_ctrl_ecu_info(const uint8_t *body, uint16_t *result);
// Expected power state during a bike-power command (3 when idle).
int get_ctrl_ecu_expect(void);

// Information reads: copy at most the field's width of the answer's payload
// into `out`; 1 when copied, 0 after three tries without an answer.
int get_display_software_version(uint8_t *out4);
int get_display_model(uint8_t *out20);
int get_display_branch(uint8_t *out30);
int get_motor_software_version(uint8_t *out4);
int get_motor_boot_version(uint8_t *out4);
int get_motor_sn(uint8_t *out24);
int get_motor_model(uint8_t *out20);
int get_motor_branch(uint8_t *out30);
int get_gd_software_version(uint8_t *out4);

// Writes that expect no answer.
int set_bms_standby_time(uint16_t value);
int enable_mainpower_out(void);

// Handlers of the message table owned by the link itself.
int handle_bootVersion(const uint8_t *f, int len);
int handle_bootMessage(const uint8_t *f, int len);
int handle_disp_ctrl(const uint8_t *f, int len);
int handle_sys_status(const uint8_t *f, int len);
int handle_cmd_motor_lock(const uint8_t *f, int len);
int handle_cmd_motor_light(const uint8_t *f, int len);
int handle_cmd_imei_msg(const uint8_t *f, int len);
int handle_cmd_working_mode(const uint8_t *f, int len);
int handle_cmd_acc_io_status(const uint8_t *f, int len);
int handle_cmd_model_msg(const uint8_t *f, int len);
int handle_cmd_branch(const uint8_t *f, int len);
int handle_cmd_test_mode(const uint8_t *f, int len);
int handle_cmd_url(const uint8_t *f, int len);
int handle_cmd_sn_msg(const uint8_t *f, int len);
int handle_cmd_app_version(const uint8_t *f, int len);
int handle_cmd_iccid_msg(const uint8_t *f, int len);
int handle_cmd_lte_network(const uint8_t *f, int len);
int handle_cmd_4g_signal(const uint8_t *f, int len);
int handle_cmd_gps_signal(const uint8_t *f, int len);
int handle_cmd_gps_longitude_latitude(const uint8_t *f, int len);
int handle_cmd_gyroscope(const uint8_t *f, int len);
int handle_cmd_gsensor(const uint8_t *f, int len);
int handle_cmd_ble_app_version(const uint8_t *f, int len);
int handle_cmd_ble_mac(const uint8_t *f, int len);
int handle_cmd_ble_connect(const uint8_t *f, int len);
int handle_cmd_ble_eeprom(const uint8_t *f, int len);
int handle_cmd_gd_app_version(const uint8_t *f, int len);
int handle_cmd_gd_boot_version(const uint8_t *f, int len);
int handle_cmd_battery_voltage(const uint8_t *f, int len);
int handle_cmd_battery_charging(const uint8_t *f, int len);
int handle_slave_master_mode(const uint8_t *f, int len);
int handle_satellites_count(const uint8_t *f, int len);
int handle_pcba_can_test(const uint8_t *f, int len);
