#pragma once
// Lock/controller board line (ttyHSL1).
#include "core/iot_common.h"

int init_lock_usart(void);
int write_data_to_GD(const unsigned char *data, int len);
int hostcore_GD32_recv_register(dev_recv_cb_t cb);
// Receive callback of the lock line, registered at start-up.
int dev_GD32_recv_handler(const unsigned char *frame, int len);
