#pragma once
// Serial transport of the Nordic DFU: the MCU's UART in raw mode and SLIP
// framing (RFC 1055, END only at the end of a packet).  Plus the small logger
// the DFU layers share.
#include <cstddef>
#include <cstdint>

// ---- Logging ------------------------------------------------------------------
// Errors go to standard error with a newline; info lines to standard output
// when the level (0 at start) is at least 1, 2 or 3.  At level 3 every packet
// is traced as "SLIP: --> [..]" / "SLIP: <-- [..]".
void logger_error(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void logger_info_1(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void logger_info_2(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void logger_info_3(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void logger_set_info_level(int level);
int logger_get_info_level(void);
// Silences logger_error (1) or restores it (0): for tools that feed the parsers
// bulk input, such as the fuzz targets.
void logger_mute_errors(int mute);

// ---- SLIP ---------------------------------------------------------------------
inline constexpr uint8_t kSlipEnd = 0xC0;
inline constexpr uint8_t kSlipEsc = 0xDB;
inline constexpr uint8_t kSlipEscEnd = 0xDC;
inline constexpr uint8_t kSlipEscEsc = 0xDD;
// Largest packet before encoding, and the largest encoded frame (every byte
// doubled plus the END).
inline constexpr uint32_t kSlipMaxPayload = 128;
inline constexpr uint32_t kSlipMaxFrame = 2 * kSlipMaxPayload + 1;

// Encodes `src` into `dst` (capacity `dst_cap`) followed by one END.
// 0 and *p_dst_len set; 1 when `src` exceeds kSlipMaxPayload or does not fit.
int encode_slip(uint8_t *dst, uint32_t dst_cap, uint32_t *p_dst_len, const uint8_t *src, uint32_t src_len);

enum SlipDecode { SLIP_DONE = 0, SLIP_MORE = 1, SLIP_TOO_LONG = 2 };
// Decodes the first packet of `src` into `dst` (capacity `dst_cap`).
// SLIP_DONE: the packet is complete (*p_dst_len bytes), *p_used bytes of `src`
// were taken, END included.  SLIP_MORE: no END yet, or a broken escape (two
// ESC in a row, ESC right before END): the caller reads on.  SLIP_TOO_LONG:
// the packet does not fit `dst`.  Never writes past `dst_cap`.
int decode_slip(uint8_t *dst, uint32_t dst_cap, uint32_t *p_dst_len, const uint8_t *src, uint32_t src_len,
                uint32_t *p_used);

// ---- UART driver -------------------------------------------------------------------
// The port record: the device name without "/dev/" (at most 14 characters)
// and the descriptor (-1 while closed).
struct uart_drv_t {
    const char *p_PortName;
    int tty_fd;
};
inline constexpr size_t kTtyNameMax = 14;

// Raw 8N1 at 115200 when the MCU line is configured so, else 38400; a read
// waits at most 5 s.  0 on success, 1 on error (with its message).
int uart_drv_open(uart_drv_t *p_uart);
int uart_drv_close(uart_drv_t *p_uart);
// Writes everything and waits until it left.  0 / 1.
int uart_drv_send(uart_drv_t *p_uart, const uint8_t *p_data, uint32_t size);
// One read of at most `max_len` bytes; a read that returns nothing is an error.
int uart_drv_receive(uart_drv_t *p_uart, uint8_t *p_data, uint32_t max_len, uint32_t *p_size);

// ---- SLIP over the UART ------------------------------------------------------------
int uart_slip_open(uart_drv_t *p_uart);
int uart_slip_close(uart_drv_t *p_uart);
// One packet of at most kSlipMaxPayload bytes ("Cannot encode SLIP!").
int uart_slip_send(uart_drv_t *p_uart, const uint8_t *p_data, uint32_t size);
// Reads until one whole packet is decoded into `p_data` (capacity `max_len`,
// at most kSlipMaxPayload).  Bytes after its END stay for the next call.
// 0 / 1.
int uart_slip_receive(uart_drv_t *p_uart, uint8_t *p_data, uint32_t max_len, uint32_t *p_size);

// "d, d, d" text of a packet for the level-3 trace, cut before 1024 characters.
void slip_trace_text(const uint8_t *data, uint32_t len, char *out, size_t cap);
