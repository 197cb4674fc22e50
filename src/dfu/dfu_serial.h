#pragma once
// Nordic Secure DFU requests over SLIP: ping, packet receipt notification,
// MTU, object select/create/execute, data writes and CRC checks.
// Every call returns 0 on success, 1 on a protocol or port error and 2 on an
// offset or CRC mismatch of a data stream.
#include <cstdint>

#include "dfu/uart_slip.h"

enum : uint8_t {
    NRF_DFU_OP_OBJECT_CREATE = 0x01,
    NRF_DFU_OP_RECEIPT_NOTIF_SET = 0x02,
    NRF_DFU_OP_CRC_GET = 0x03,
    NRF_DFU_OP_OBJECT_EXECUTE = 0x04,
    NRF_DFU_OP_OBJECT_SELECT = 0x06,
    NRF_DFU_OP_MTU_GET = 0x07,
    NRF_DFU_OP_OBJECT_WRITE = 0x08,
    NRF_DFU_OP_PING = 0x09,
    NRF_DFU_OP_ABORT = 0x0C,
    NRF_DFU_OP_RESPONSE = 0x60,
};
enum : uint8_t { NRF_DFU_OBJ_TYPE_COMMAND = 1, NRF_DFU_OBJ_TYPE_DATA = 2 };
inline constexpr uint8_t NRF_DFU_RES_SUCCESS = 0x01;

// Largest data chunk in one write request: a packet (opcode + chunk) must fit
// the SLIP payload limit whatever MTU the target reports.
inline constexpr uint32_t kDfuMaxChunk = kSlipMaxPayload - 1;
// Chunk size for an MTU: (MTU - 1) / 2 - 1, capped at kDfuMaxChunk; 0 when the
// MTU is below 5.
uint32_t dfu_serial_chunk_size(uint32_t mtu);

// Checks a decoded response to `opcode`: longer than 2 bytes, 0x60, the
// opcode echoed, result 0x01.  0 when good; 1 with "Invalid response!" or
// "Bad result code (0x%X)!".  *p_code (may be null) gets the result code
// (0 for an invalid response).
int dfu_serial_check_rsp(uint8_t opcode, const uint8_t *rsp, uint32_t len, uint32_t *p_code);

// Reads one response and checks it.  *p_answered (may be null) tells whether
// any packet came back at all, so a caller can tell a target that reset from
// one that refused.
int dfu_serial_get_rsp(uart_drv_t *p_uart, uint8_t opcode, uint8_t *rsp, uint32_t *p_len, bool *p_answered);

int dfu_serial_ping(uart_drv_t *p_uart, uint8_t id);
// Ping (next id), receipt notifications off, MTU read and kept.
int dfu_serial_open(uart_drv_t *p_uart);
int dfu_serial_close(uart_drv_t *p_uart);
uint32_t dfu_serial_get_mtu(void);

int dfu_serial_select_obj(uart_drv_t *p_uart, uint8_t obj_type, uint32_t *p_max_size, uint32_t *p_offset,
                          uint32_t *p_crc);
int dfu_serial_create_obj(uart_drv_t *p_uart, uint8_t obj_type, uint32_t obj_size);
int dfu_serial_execute_obj(uart_drv_t *p_uart);
// Writes `data_size` bytes that sit at `pos` in the object sequence, then
// checks the target's offset and CRC; *p_crc is the running CRC (0 fresh).
int dfu_serial_stream_data_crc(uart_drv_t *p_uart, const uint8_t *p_data, uint32_t data_size, uint32_t pos,
                               uint32_t *p_crc);

int dfu_serial_send_init_packet(uart_drv_t *p_uart, const uint8_t *p_data, uint32_t data_size);
int dfu_serial_send_firmware(uart_drv_t *p_uart, const uint8_t *p_data, uint32_t data_size);

// Round trips (one request answered) since the counter was last cleared: for
// the transfer figures.
uint32_t dfu_serial_round_trips(void);
void dfu_serial_clear_round_trips(void);
