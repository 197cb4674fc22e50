#pragma once
// Extra-information blocks for the cloud's information query, read from the
// display, the motor controller, the GD32 board and the BLE module over their
// lines.  The caller fills them with 0xFF first: each read that gets no answer
// leaves its bytes at 0xFF.
#include <cstdint>

void get_extra_display_info_t(uint8_t *block54);
void get_extra_motor_info_t(uint8_t *block106);
void get_extra_gd_info_t(uint8_t *block8);
void get_extra_ble_info_t(uint8_t *block15);
