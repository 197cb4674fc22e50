#pragma once
// Main MCU line (/dev/ttyHSL2, 38400 baud): the MCU's own commands (caret
// frames) and bus frames to and from the BLE bridge.
#include <cstdint>

#include "core/iot_common.h"

class SerialLine;

// What the BLE link above this line does with it, registered at start-up:
// the polling cycle of the polling thread, the caret frames from the MCU's own
// command handler (after a pending caret request has seen them), and what
// init_mcu_usart resets first.  Any of them may be null.
struct mcu_line_hooks_t {
    void (*poll_cycle)(void);
    void (*caret_frame)(const unsigned char *frame, int len);
    void (*line_init)(void);
};
// The hooks must outlive the line (a static table).
void mcu_line_hooks_register(const mcu_line_hooks_t *hooks);

// Records the speed, opens the line and starts receive, dispatch and BLE
// polling threads.  1 when the port opened, else 0 (no threads).
int init_mcu_usart(void);
// Opens / closes the port alone (the MCU boot switch hands it to the bootloader).
int OpenMCUCom(void);
void CloseMCUCom(void);
// Speed of the MCU line, for the firmware update.
unsigned get_mcu_uart_speed(void);
// Marks the port as taken by the MCU bootloader (1) or given back (0); sleeps 1 s.
void mcu_set_dfu_uart_status(int status);
int get_mcu_dfu_uart_status(void);
// Hand-over to the MCU boot switch: the receive and BLE polling threads stop
// before the port closes, so none of them is left waiting on a descriptor
// number the boot switch's own open may reuse.  Take-back reopens the port and
// restarts the threads that were running.  take_back: 1 when the port opened.
void mcu_line_release(void);
int mcu_line_take_back(void);

int write_com(const uint8_t *data, int len);
// Logging wrappers: a short write is reported; they return 1 in any case.
int write_data_to_mcu(const unsigned char *data, int len);
int write_data_to_bluetooth(const unsigned char *data, int len);
int read_com_byte(uint8_t *out, int wait_s);

uint8_t *get_new_buf(void);
void free_new_buf(uint8_t *buf);
// Hands a filled slot to the dispatcher; prints "-push failed---" for an
// address that is not a slot.
void ble_push_buf_to_handle(uint8_t *buf);

void lte_uart_recv(void);
void lte_uart_handle_loop(void);

// Bus-frame request (2 s) and caret-frame request (2 s, `tag` = expected
// answer command).  Answer buffer of 256 bytes; returns the answer length or 0.
int request_mcu_data(const uint8_t *req, int len, int unused, uint8_t *answer);
int read_bluetooth_data(const uint8_t *req, int len, int tag, uint8_t *answer);
// For handlers: completes a pending request_mcu_data with this frame.
int mcu_com_answer(const uint8_t *frame, int len);

int hostcore_bluetooth_recv_register(dev_recv_cb_t cb);

void ble_recv_thread_destroy(void);
void ble_recv_thread_create(void);
void ble_read_thread_destroy(void);
void ble_read_thread_create(void);

SerialLine &mcu_line(void);
