#pragma once
// Bootloader sessions of the controllers behind the lock line: the lock /
// controller board itself (GD32, node 0x08, spoken to as the box 0x06), the
// display (0x03) and the motor controllers (0x01) spoken to as 0xAA.  One
// message set (id 0x0003 boot version, 0x0007 bootloader commands):
//   0x0007 20 00  enter the bootloader     0x0007 (none)   state query
//   0x0007 01 nn  erase sector nn          0x0007 08 ...   write one block
//   0x0007 10 00  check the image CRC      0x0007 40 00    back to the application
// A state answer is its first two payload bytes, little-endian: 0 idle in the
// bootloader, 1 application, 2 done.
#include <cstdint>

#include "telagent/export.h"

// One attempt at reflashing a controller from its built image.  1 / 0.
int UpdateGd32Firmware(void);
int UpdateDisplayFirmware(void);
int Update_ZT_Motor_Firmware(void);  // KD11, word-addressed
int Update_DM_HM52_Firmware(void);

// Around a motor update: the main battery's output kept on (standby 600 s),
// the display in slave mode and back in master mode.  1 when answered as asked.
int set_main_BMS_out(void);
int enable_display_slave_mode(void);
int enable_display_master_mode(void);

TELAGENT_EXTERN_C_BEGIN
// Stops the lock line's polling, builds "/iot/conf/GD32.hex", runs up to three
// attempts and restarts the polling.  1 when the board took the image.  A
// failed build sends no frame at all.
TELAGENT_API int handle_ota_gd_task(void);
// The same for the display (stopping also the MCU line's receive and BLE
// polling threads) and the motor controller (target 1: HM52, else KD11; in
// firmware-update mode, with the power key line held and the display in
// slave mode around it).
TELAGENT_API int handle_ota_diaplay_task(void);
TELAGENT_API int handle_ota_motor_task(int target);
TELAGENT_EXTERN_C_END
