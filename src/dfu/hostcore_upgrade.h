#pragma once
// A new image of this library pushed in bus-frame chunks over a vehicle link
// (bus port, lock line or Bluetooth) by the host program.  Request payload:
//   08 <total LE32, image + its 4-byte CRC> <chunk length LE16> <chunk>   data
//   10                                                                    complete
// Every 2048 bytes received, and on completion, the box answers on the link
// the type names with payload <status> 00: 2 accepted, 8 refused (CRC or
// length mismatch).  A good image lands in "/iot/conf/libTelAgent_w.so".
#include <cstdint>

#include "telagent/export.h"

TELAGENT_EXTERN_C_BEGIN
// type: 0 bus port, 1 lock line, 2 Bluetooth.  0 when the frame was taken,
// -1 when it was refused (bad type, bad frame, a chunk that does not fit).
TELAGENT_API int handle_hostcore_upgrade_task(int type, const unsigned char *frame, int len);
TELAGENT_EXTERN_C_END

// Supervision step: a transfer with no chunk for 60 s is abandoned, so an
// interrupted sender does not leave firmware-update mode on for ever.
void check_hostcore_upgrade_timeout(void);
// Bytes received so far in the current transfer (tests).
uint32_t hostcore_upgrade_received(void);
