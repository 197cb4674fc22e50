#pragma once
// Lock/controller board line (/dev/ttyHSL1, 38400 baud): the bike bus behind
// the GD32 board.
#include <cstdint>

#include "core/iot_common.h"

class SerialLine;

// Opens the line and starts its receive, dispatch and polling threads.  1 when
// the port opened; the threads run either way (the line may come up later).
int init_lock_usart(void);

// Writers: the whole buffer under the write mutex; bytes written, 0 when closed.
int lock_write_com(const uint8_t *data, int len);
// Table send entry: hex dump "write_data_to_GD:" and write.
int write_data_to_GD(const unsigned char *data, int len);
// One byte within `wait_s` seconds: 1 when read.
int lock_read_com_byte(uint8_t *out, int wait_s);

// Receive pool.
uint8_t *get_new_lockbuf(void);
void free_new_lockbuf(uint8_t *buf);

// One run of the frame assembler / one dispatcher wait (their threads loop them).
void test_lock_com_recv(void);
void lock_uart_handle_loop(void);

// Request/response on the lock line; the answer buffer holds 256 bytes.
// Only an answer with message id `expect_id` from node `expect_src` completes
// it; by default (-1) the request's own id and destination.  A session whose
// answer comes with another id or from another node (a bootloader) names them.
int request_lock_com(const uint8_t *req, int len, int wait_s, uint8_t *answer, int expect_id = -1,
                     int expect_src = -1);
int request_lock_ms_data(const uint8_t *req, int len, int unused, uint8_t *answer);
// For handlers on the dispatcher thread: completes a pending request with this
// frame.  1 when a request was waiting for it.
int lock_com_answer(const uint8_t *frame, int len);
// 1 while a request waits for its answer.
int lock_com_pending(void);
// A request that names its answer: message `id` from node `src`, with a
// payload, addressed to the request's own source.  While it waits, such a
// frame goes to it before the message table's relay rules see it (the
// bootloader sessions; their answers would otherwise be relayed or dropped).
// Returns the answer length, 0 on timeout.
int request_lock_expect(const uint8_t *req, int len, int wait_ms, uint16_t id, uint8_t src, uint8_t *answer);
// Dispatcher side: 1 when `frame` was the named answer and was handed over.
int lock_com_expected(const uint8_t *frame, int len);

int hostcore_GD32_recv_register(dev_recv_cb_t cb);

// The polling cycle the polling thread repeats (the bike link's), registered
// at start-up; until one is, the thread only idles.
void lock_line_poll_register(void (*task)(void));
// Polling thread body (one cycle) and its stop/restart around controller updates.
void communication_with_gd32_loop(void);
void com_uart_read_thread_destroy(void);
void com_uart_read_thread_create(void);

SerialLine &lock_line(void);
