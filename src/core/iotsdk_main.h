#pragma once
// Hardware bring-up of the links and the host callbacks.
#include "telagent/iotsdk.h"

// Brings up sensors and the serial links, GNSS and the BLE bridge.  1 when all
// came up, 0 otherwise.
int init_iot(void);
int init_iotsdk(void);
// What the vehicle links read from the modem and GNSS: registered first
// thing by init_iot.
void init_link_callbacks(void);
