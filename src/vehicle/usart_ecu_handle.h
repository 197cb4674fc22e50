#pragma once
// Factory and dealer-tool line (/dev/ttyHSL3, 115200 baud): 16-bit frame
// lengths, frames up to 2100 bytes, 100 ms inter-byte gap.
#include <cstdint>

#include "core/iot_common.h"

class SerialLine;

// Opens the line and starts its receive and dispatch threads.  1 when opened.
int init_factory_usart(void);
int init_orlin_ecu(void);

int ecu_write_com(const uint8_t *data, int len);
// Table send entry: hex dump "write_data_to_DealerTool:" and write.
int write_data_to_ecu(const unsigned char *data, int len);

uint8_t *ecu_get_new_buf(void);

void test_factory_com_recv(void);
void factory_uart_handle_loop(void);

int hostcore_ECU_recv_register(dev_recv_cb_t cb);
// Receive callback of the dealer-tool line, registered at start-up.
int dev_ECU_recv_handler(const unsigned char *frame, int len);

SerialLine &ecu_line(void);
