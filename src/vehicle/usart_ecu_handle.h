#pragma once
// Factory and dealer-tool line (ttyHSL3).
#include "core/iot_common.h"

int init_orlin_ecu(void);
int write_data_to_ecu(const unsigned char *data, int len);
int hostcore_ECU_recv_register(dev_recv_cb_t cb);
// Receive callback of the dealer-tool line, registered at start-up.
int dev_ECU_recv_handler(const unsigned char *frame, int len);
