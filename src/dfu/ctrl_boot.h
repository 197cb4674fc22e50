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

// One attempt at reflashing the GD32 board from its built image.  1 / 0.
int UpdateGd32Firmware(void);

TELAGENT_EXTERN_C_BEGIN
// Stops the lock line's polling, builds "/iot/conf/GD32.hex", runs up to three
// attempts and restarts the polling.  1 when the board took the image.  A
// failed build sends no frame at all.
TELAGENT_API int handle_ota_gd_task(void);
TELAGENT_EXTERN_C_END
