#pragma once
// Hardware bring-up of the links and the host callbacks.
#include "telagent/iotsdk.h"

// Brings up sensors and the serial links, GNSS and the BLE bridge.  1 when all
// came up, 0 otherwise.
int init_iot(void);
int init_iotsdk(void);
// What the vehicle links read from the modem and GNSS, and where the
// Bluetooth messages go: registered first thing by init_iot.
void init_link_callbacks(void);

// Forward a Bluetooth message / an event to the host, when it asked for them.
void cb_bt_msg(const unsigned char *msg, int len);
void cb_event_msg(const char *name, const char *value);
