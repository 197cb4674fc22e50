#pragma once
// Main MCU boot switch: takes /dev/ttyHSL2 from the MCU link, asks the MCU
// application (caret frames) to start its serial bootloader, checks that the
// bootloader answers a DFU ping, and runs the Nordic package transfer.
#include <cstdint>

#include "telagent/iotsdk.h"

inline constexpr int kDfuRecvBufSize = 64;

// The boot-switch port: raw 8N1, non-blocking, output speed 115200 or 38400.
// 1 / 0.
int OpenDfuCom(unsigned speed);
// Stops and joins the receiver, then closes the port.
void CloseDfuCom(void);
// Starts the receiver thread on the open port (one per opening).
int start_dfu_uart_recv(void);
// Flushes input, writes everything.  Bytes written, 0 when not open.
int write_dfucom(const uint8_t *data, int len);
// One byte within `wait_s` seconds: 1 / 0.
int read_dfu_byte(uint8_t *out, int wait_s);
// Receiver thread body: ends once the port is closed.
void dfu_uart_recv_loop(void);
// Writes a request and waits up to 2 s for the answer (complete after 1 s of
// silence).  `answer` holds kDfuRecvBufSize bytes.  Length, or 0.
int request_dfu_data(const uint8_t *data, int len, uint8_t *answer);

int check_mcu_app_version(void);
int call_mcu_switch_to_boot(void);
int check_mcu_boot_mode(void);
int reset_dfu_boot_to_app(void);
// 1 when the MCU's bootloader answers, else 0.
int switch_mcu_to_boot(void);

// uart_mcu_update (host entry) is declared in telagent/iotsdk.h.
