#include "dfu/uart_slip.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/plat_path.h"
#include "vehicle/usart_mcu_handle.h"

namespace {

std::atomic<int> g_info_level{0};
std::atomic<int> g_errors_muted{0};

// Raw bytes read but not yet decoded: what follows one packet's END belongs to
// the next packet.  One DFU session runs at a time; the lock keeps a second
// caller from tearing the buffer.
std::mutex g_rx_mtx;
uint8_t g_rx[kSlipMaxFrame];
uint32_t g_rx_len = 0;

void vlog(FILE *f, const char *fmt, va_list ap) {
    vfprintf(f, fmt, ap);
    fputc('\n', f);
    fflush(f);
}

void trace_packet(const char *dir, const uint8_t *data, uint32_t len) {
    if (g_info_level.load() < 3) return;
    char text[1024];
    slip_trace_text(data, len, text, sizeof text);
    logger_info_3("SLIP: %s [%s]", dir, text);
}

}  // namespace

// ---- Logging ------------------------------------------------------------------

void logger_error(const char *fmt, ...) {
    if (g_errors_muted.load()) return;
    va_list ap;
    va_start(ap, fmt);
    vlog(stderr, fmt, ap);
    va_end(ap);
}

#define DFU_INFO_FN(name, lvl)                         \
    void name(const char *fmt, ...) {                  \
        if (g_info_level.load() < (lvl)) return;       \
        va_list ap;                                    \
        va_start(ap, fmt);                             \
        vlog(stdout, fmt, ap);                         \
        va_end(ap);                                    \
    }
DFU_INFO_FN(logger_info_1, 1)
DFU_INFO_FN(logger_info_2, 2)
DFU_INFO_FN(logger_info_3, 3)
#undef DFU_INFO_FN

void logger_set_info_level(int level) { g_info_level.store(level); }

void logger_mute_errors(int mute) { g_errors_muted.store(mute ? 1 : 0); }

int logger_get_info_level(void) { return g_info_level.load(); }

void slip_trace_text(const uint8_t *data, uint32_t len, char *out, size_t cap) {
    if (out == nullptr || cap == 0) return;
    out[0] = '\0';
    size_t used = 0;
    for (uint32_t i = 0; data != nullptr && i < len; ++i) {
        char item[8];
        int n = snprintf(item, sizeof item, i == 0 ? "%u" : ", %u", static_cast<unsigned>(data[i]));
        if (n < 0 || used + static_cast<size_t>(n) >= cap) break;  // cut before it would overflow
        memcpy(out + used, item, static_cast<size_t>(n) + 1);
        used += static_cast<size_t>(n);
    }
}

// ---- SLIP ---------------------------------------------------------------------

int encode_slip(uint8_t *dst, uint32_t dst_cap, uint32_t *p_dst_len, const uint8_t *src, uint32_t src_len) {
    if (dst == nullptr || p_dst_len == nullptr || (src == nullptr && src_len > 0) || src_len > kSlipMaxPayload)
        return 1;
    uint32_t n = 0;
    for (uint32_t i = 0; i < src_len; ++i) {
        const uint8_t b = src[i];
        const bool esc = b == kSlipEnd || b == kSlipEsc;
        if (n + (esc ? 2u : 1u) > dst_cap) return 1;
        if (esc) {
            dst[n++] = kSlipEsc;
            dst[n++] = b == kSlipEnd ? kSlipEscEnd : kSlipEscEsc;
        } else {
            dst[n++] = b;
        }
    }
    if (n + 1 > dst_cap) return 1;
    dst[n++] = kSlipEnd;
    *p_dst_len = n;
    return 0;
}

int decode_slip(uint8_t *dst, uint32_t dst_cap, uint32_t *p_dst_len, const uint8_t *src, uint32_t src_len,
                uint32_t *p_used) {
    if (dst == nullptr || p_dst_len == nullptr || (src == nullptr && src_len > 0)) return SLIP_MORE;
    uint32_t n = 0;
    bool too_long = false;
    for (uint32_t i = 0; i < src_len; ++i) {
        uint8_t b = src[i];
        if (b == kSlipEnd) {
            if (too_long) return SLIP_TOO_LONG;
            *p_dst_len = n;
            if (p_used != nullptr) *p_used = i + 1;
            return SLIP_DONE;
        }
        if (b == kSlipEsc) {
            if (i + 1 >= src_len) return SLIP_MORE;  // the escaped byte is still to come
            const uint8_t e = src[++i];
            if (e == kSlipEsc || e == kSlipEnd) return SLIP_MORE;  // broken escape: never a packet
            b = e == kSlipEscEnd ? kSlipEnd : e == kSlipEscEsc ? kSlipEsc : e;
        }
        if (n >= dst_cap) {
            too_long = true;  // keep scanning for END so the caller can drop the whole packet
            continue;
        }
        dst[n++] = b;
    }
    return SLIP_MORE;
}

// ---- UART driver ------------------------------------------------------------

int uart_drv_open(uart_drv_t *p_uart) {
    if (p_uart == nullptr || p_uart->p_PortName == nullptr || p_uart->p_PortName[0] == '\0' ||
        strnlen(p_uart->p_PortName, kTtyNameMax + 1) > kTtyNameMax) {
        logger_error("Invalid TTY port!");
        return 1;
    }
    const std::string path = plat_path(std::string("/dev/") + p_uart->p_PortName);
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        logger_error("Cannot open TTY port!");
        return 1;
    }
    struct termios tio {};
    if (tcgetattr(fd, &tio) != 0) {
        close(fd);
        logger_error("Cannot open TTY port!");
        return 1;
    }
    tio.c_cflag &= ~static_cast<tcflag_t>(PARENB | CSTOPB | CSIZE | CRTSCTS);
    tio.c_cflag |= CS8 | CREAD | CLOCAL;
    tio.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF |
                                          IXANY | INPCK);
    tio.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ECHOE | ECHONL | ISIG | IEXTEN);
    tio.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 50;  // a read returns after 5 s at most
    const speed_t sp = get_mcu_uart_speed() == 115200 ? B115200 : B38400;
    cfsetispeed(&tio, sp);
    cfsetospeed(&tio, sp);
    if (tcsetattr(fd, TCSANOW, &tio) != 0) {
        close(fd);
        logger_error("Cannot open TTY port!");
        return 1;
    }
    tcflush(fd, TCIFLUSH);
    p_uart->tty_fd = fd;
    return 0;
}

int uart_drv_close(uart_drv_t *p_uart) {
    if (p_uart == nullptr || p_uart->tty_fd < 0) {
        logger_error("Cannot close TTY port!");
        return 1;
    }
    int r = close(p_uart->tty_fd);
    p_uart->tty_fd = -1;
    if (r != 0) {
        logger_error("Cannot close TTY port!");
        return 1;
    }
    return 0;
}

int uart_drv_send(uart_drv_t *p_uart, const uint8_t *p_data, uint32_t size) {
    if (p_uart == nullptr || p_uart->tty_fd < 0 || (p_data == nullptr && size > 0)) {
        logger_error("Cannot write TTY port!");
        return 1;
    }
    uint32_t done = 0;
    while (done < size) {
        ssize_t w = write(p_uart->tty_fd, p_data + done, size - done);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
            logger_error("Cannot write TTY port!");
            return 1;
        }
        done += static_cast<uint32_t>(w);
    }
    if (tcdrain(p_uart->tty_fd) != 0) {
        logger_error("Cannot drain TTY TX buffer!");
        return 1;
    }
    return 0;
}

int uart_drv_receive(uart_drv_t *p_uart, uint8_t *p_data, uint32_t max_len, uint32_t *p_size) {
    if (p_uart == nullptr || p_uart->tty_fd < 0 || p_data == nullptr || p_size == nullptr || max_len == 0) {
        logger_error("Cannot read TTY port!");
        return 1;
    }
    ssize_t r;
    do {
        r = read(p_uart->tty_fd, p_data, max_len);
    } while (r < 0 && errno == EINTR);
    if (r < 0) {
        logger_error("Cannot read TTY port!");
        return 1;
    }
    if (r == 0) {
        logger_error("Read no data from UART!");
        return 1;
    }
    *p_size = static_cast<uint32_t>(r);
    return 0;
}

// ---- SLIP over the UART ------------------------------------------------------------

int uart_slip_open(uart_drv_t *p_uart) {
    {
        std::lock_guard<std::mutex> g(g_rx_mtx);
        g_rx_len = 0;
    }
    return uart_drv_open(p_uart);
}

int uart_slip_close(uart_drv_t *p_uart) {
    {
        std::lock_guard<std::mutex> g(g_rx_mtx);
        g_rx_len = 0;
    }
    return uart_drv_close(p_uart);
}

int uart_slip_send(uart_drv_t *p_uart, const uint8_t *p_data, uint32_t size) {
    uint8_t frame[kSlipMaxFrame];
    uint32_t n = 0;
    if (encode_slip(frame, sizeof frame, &n, p_data, size) != 0) {
        logger_error("Cannot encode SLIP!");
        return 1;
    }
    trace_packet("-->", p_data, size);
    return uart_drv_send(p_uart, frame, n);
}

int uart_slip_receive(uart_drv_t *p_uart, uint8_t *p_data, uint32_t max_len, uint32_t *p_size) {
    if (p_data == nullptr || p_size == nullptr) return 1;
    if (max_len > kSlipMaxPayload) max_len = kSlipMaxPayload;
    std::lock_guard<std::mutex> g(g_rx_mtx);
    for (;;) {
        uint32_t used = 0;
        int d = decode_slip(p_data, max_len, p_size, g_rx, g_rx_len, &used);
        if (d == SLIP_DONE || d == SLIP_TOO_LONG) {
            if (d == SLIP_TOO_LONG) {
                // Drop the oversized packet up to its END and report it.
                used = 0;
                while (used < g_rx_len && g_rx[used] != kSlipEnd) ++used;
                if (used < g_rx_len) ++used;
            }
            memmove(g_rx, g_rx + used, g_rx_len - used);
            g_rx_len -= used;
            if (d == SLIP_TOO_LONG) {
                logger_error("UART buffer overflow!");
                return 1;
            }
            trace_packet("<--", p_data, *p_size);
            return 0;
        }
        if (g_rx_len >= sizeof g_rx) {
            logger_error("UART buffer overflow!");
            g_rx_len = 0;
            return 1;
        }
        uint32_t got = 0;
        if (uart_drv_receive(p_uart, g_rx + g_rx_len, static_cast<uint32_t>(sizeof g_rx) - g_rx_len, &got) != 0)
            return 1;
        g_rx_len += got;
    }
}
