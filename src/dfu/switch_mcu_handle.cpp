#include "dfu/switch_mcu_handle.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "dfu/dfu.h"
#include "dfu/uart_slip.h"
#include "platform/plat_clock.h"
#include "platform/plat_path.h"
#include "vehicle/bt_handle.h"
#include "vehicle/usart_mcu_handle.h"
#include "platform/plat_thread.h"

namespace {

const char *const kMcuDevice = "/dev/ttyHSL2";

// Caret frames to the MCU application and SLIP packets to its bootloader.
const uint8_t kAppVersionReq[] = {0x5E, 0x00, 0x07, 0x20, 0x01, 0x0C, 0xC0};
const uint8_t kSwitchToBootReq[] = {0x5E, 0x00, 0x07, 0x54, 0x01, 0x0C, 0xE7};
const uint8_t kBootPingReq[] = {0x09, 0x01, 0xC0};
const uint8_t kBootAbortReq[] = {0x0C, 0xC0};

// Descriptor owner: closes on scope exit.
struct Fd {
    int fd = -1;
    Fd() = default;
    explicit Fd(int f) : fd(f) {}
    ~Fd() {
        if (fd >= 0) close(fd);
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
};

std::mutex g_port_mtx;  // open/close and the receiver's life
std::atomic<int> g_fd{-1};
std::atomic<bool> g_stop{false};
int g_wake_fd = -1;  // eventfd: wakes the receiver's wait when the port closes
std::thread g_recv;

// Receive buffer and its "answer complete" signal.
std::mutex g_buf_mtx;
std::condition_variable request_dfu_cond;
uint8_t g_recvbuf[kDfuRecvBufSize];
int g_recvbuf_len = 0;
bool g_answer_ready = false;

std::mutex g_update_mtx;  // one update at a time

speed_t to_speed(unsigned speed) { return speed == 115200 ? B115200 : B38400; }

void log_bytes(const char *fn, const uint8_t *d, int n) {
    printf("%d/%s", __LINE__, fn);
    for (int i = 0; i < n; ++i) printf(" %02X", d[i]);
    printf("\n");
}

int accept_answer(const uint8_t *req, int len, int idx, uint8_t want) {
    uint8_t ans[kDfuRecvBufSize] = {};
    int n = request_dfu_data(req, len, ans);
    if (n <= 0) return 0;
    return (n > idx && ans[idx] == want) ? 1 : 0;
}

int open_with_receiver(void) {
    if (!OpenDfuCom(get_mcu_uart_speed())) {
        printf("%d/%s open com failed.\n", __LINE__, "switch_mcu_to_boot");
        return 0;
    }
    start_dfu_uart_recv();
    return 1;
}

}  // namespace

int OpenDfuCom(unsigned speed) {
    std::lock_guard<std::mutex> g(g_port_mtx);
    if (g_fd.load() >= 0) return 1;
    const std::string path = plat_path(kMcuDevice);
    Fd fd(open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (fd.fd < 0) return 0;
    struct termios tio {};
    if (tcgetattr(fd.fd, &tio) != 0) return 0;
    tio.c_iflag &= ~static_cast<tcflag_t>(BRKINT | INPCK | ISTRIP | ICRNL | IXON | IXOFF | INLCR | IGNCR);
    tio.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    tio.c_cflag &= ~static_cast<tcflag_t>(PARENB | CSTOPB | CSIZE | CRTSCTS);
    tio.c_cflag |= CS8 | CREAD | CLOCAL;
    tio.c_lflag &= ~static_cast<tcflag_t>(ISIG | ICANON | ECHO | ECHOE);
    tio.c_cc[VTIME] = 50;
    tio.c_cc[VMIN] = 0;
    cfsetospeed(&tio, to_speed(speed));
    tcflush(fd.fd, TCIFLUSH);
    if (tcsetattr(fd.fd, TCSANOW, &tio) != 0) return 0;
    int wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake < 0) return 0;
    g_wake_fd = wake;
    g_stop.store(false);
    g_fd.store(fd.fd);
    fd.fd = -1;
    return 1;
}

void CloseDfuCom(void) {
    std::lock_guard<std::mutex> g(g_port_mtx);
    // The receiver ends before the descriptor does: a receiver still in its
    // wait must never read from a number the next open hands out again.
    g_stop.store(true);
    if (g_wake_fd >= 0) {
        uint64_t one = 1;
        ssize_t w = write(g_wake_fd, &one, sizeof one);
        (void)w;
    }
    if (g_recv.joinable()) g_recv.join();
    int fd = g_fd.exchange(-1);
    if (fd >= 0) close(fd);
    if (g_wake_fd >= 0) close(g_wake_fd);
    g_wake_fd = -1;
}

int start_dfu_uart_recv(void) {
    std::lock_guard<std::mutex> g(g_port_mtx);
    if (g_fd.load() < 0 || g_recv.joinable()) return 0;
    g_recv = plat_thread("dfu-rx", dfu_uart_recv_loop);
    return 1;
}

int write_dfucom(const uint8_t *data, int len) {
    int fd = g_fd.load();
    if (fd < 0 || data == nullptr || len <= 0) return 0;
    // Stale bytes must not be taken for the answer.  No flush after the write:
    // a quick answer would be thrown away with it.
    tcflush(fd, TCIFLUSH);
    int done = 0;
    const int64_t end = plat_mono_ms() + 1000;
    while (done < len) {
        ssize_t w = write(fd, data + done, static_cast<size_t>(len - done));
        if (w > 0) {
            done += static_cast<int>(w);
            continue;
        }
        if (w < 0 && errno == EINTR) continue;
        if ((w < 0 && errno != EAGAIN) || plat_mono_ms() >= end) break;
        struct pollfd p = {fd, POLLOUT, 0};
        poll(&p, 1, 50);
    }
    return done;
}

int read_dfu_byte(uint8_t *out, int wait_s) {
    int fd = g_fd.load();
    if (fd < 0 || out == nullptr) return 0;
    struct pollfd p[2] = {{fd, POLLIN, 0}, {g_wake_fd, POLLIN, 0}};
    int r;
    do {
        r = poll(p, 2, wait_s * 1000);
    } while (r < 0 && errno == EINTR);
    if (r <= 0 || (p[1].revents & POLLIN) || !(p[0].revents & POLLIN)) return 0;
    return read(fd, out, 1) == 1 ? 1 : 0;
}

void dfu_uart_recv_loop(void) {
    while (!g_stop.load()) {
        uint8_t b = 0;
        if (read_dfu_byte(&b, 1) == 1) {
            std::lock_guard<std::mutex> g(g_buf_mtx);
            if (g_recvbuf_len >= kDfuRecvBufSize - 1) g_recvbuf_len = 1;
            g_recvbuf[g_recvbuf_len++] = b;
            continue;
        }
        if (g_stop.load()) break;
        std::lock_guard<std::mutex> g(g_buf_mtx);
        if (g_recvbuf_len > 0) {
            printf("%d/%s dfu_recvbuf_len %d.\n", __LINE__, __func__, g_recvbuf_len);
            g_answer_ready = true;
            request_dfu_cond.notify_all();
        }
    }
    printf("%d/%s  break exit ... \r\n", __LINE__, __func__);
}

int request_dfu_data(const uint8_t *data, int len, uint8_t *answer) {
    if (data == nullptr || answer == nullptr) {
        printf("%d/%s data is NULL.\n", __LINE__, __func__);
        return 0;
    }
    log_bytes(__func__, data, len);
    {
        std::lock_guard<std::mutex> g(g_buf_mtx);
        g_recvbuf_len = 0;
        g_answer_ready = false;
    }
    if (write_dfucom(data, len) != len) {
        printf("%d/%s write_com data .\n", __LINE__, __func__);
        return 0;
    }
    std::unique_lock<std::mutex> g(g_buf_mtx);
    if (!request_dfu_cond.wait_for(g, std::chrono::seconds(2), [] { return g_answer_ready; })) {
        printf("----%d/%s---wait cond faild----\n", __LINE__, __func__);
        return 0;
    }
    const int n = g_recvbuf_len;
    memcpy(answer, g_recvbuf, static_cast<size_t>(n));
    g_answer_ready = false;
    return n;
}

int check_mcu_app_version(void) { return accept_answer(kAppVersionReq, sizeof kAppVersionReq, 3, 0xB0); }

int call_mcu_switch_to_boot(void) { return accept_answer(kSwitchToBootReq, sizeof kSwitchToBootReq, 3, 0xD4); }

int check_mcu_boot_mode(void) { return accept_answer(kBootPingReq, sizeof kBootPingReq, 1, 0x09); }

int reset_dfu_boot_to_app(void) {
    uint8_t ans[kDfuRecvBufSize] = {};
    int n = request_dfu_data(kBootAbortReq, sizeof kBootAbortReq, ans);
    if (n > 0) log_bytes(__func__, ans, n);
    return n > 0 ? 1 : 0;
}

int switch_mcu_to_boot(void) {
    mcu_set_dfu_uart_status(1);
    mcu_line_release();
    plat_sleep_s(1);

    if (!open_with_receiver()) return 0;
    plat_sleep_s(1);

    int ok = 0;
    for (int i = 0; i < 3 && !ok; ++i) {
        ok = check_mcu_app_version();
        printf("%d/%s check_mcu_app_version %d.\n", __LINE__, __func__, ok);
    }
    if (!ok) {
        // No application answered: the MCU may sit in its bootloader already.
        // Send it back to its application so the next attempt starts clean.
        CloseDfuCom();
        plat_sleep_s(3);
        if (!open_with_receiver()) return 0;
        reset_dfu_boot_to_app();
        CloseDfuCom();
        printf("%d/%s reset_dfu_boot_to_app,try again.\n", __LINE__, __func__);
        return 0;
    }

    for (int i = 0; i < 3; ++i) {
        if (call_mcu_switch_to_boot()) break;
    }

    CloseDfuCom();
    plat_sleep_s(3);
    if (!open_with_receiver()) return 0;

    for (int i = 0; i < 3; ++i) {
        if (check_mcu_boot_mode()) {
            printf("%d/%s check_mcu_boot_mode success.\n", __LINE__, __func__);
            CloseDfuCom();
            return 1;
        }
    }
    CloseDfuCom();
    printf("%d/%s check_mcu_boot_mode failed.\n", __LINE__, __func__);
    return 0;
}

extern "C" TELAGENT_API int uart_mcu_update(const char *dev_name, const char *pkg_path) {
    if (dev_name == nullptr || pkg_path == nullptr) {
        printf("%d/%s data is NULL.\n", __LINE__, __func__);
        return 1;
    }
    // The port is a name under /dev; a caller that gives the whole path means the same port.
    if (strncmp(dev_name, "/dev/", 5) == 0) dev_name += 5;
    std::unique_lock<std::mutex> one(g_update_mtx, std::try_to_lock);
    if (!one.owns_lock()) {
        printf("%d/%s an update is already running.\n", __LINE__, __func__);
        return 1;
    }
    for (int i = 0; i < 3; ++i) {
        printf("%d/%s switch_mcu_to_boot try %d.\n", __LINE__, __func__, i);
        if (switch_mcu_to_boot()) {
            printf("%d/%s switch_mcu_to_boot success.\n", __LINE__, __func__);
            break;
        }
        plat_sleep_s(1);
    }
    // The transfer is tried even when no switch was confirmed: a bootloader
    // that missed the ping may still take the package.
    int err_code = 1;
    uart_drv_t uart = {dev_name, -1};
    if (uart_slip_open(&uart) == 0) {
        dfu_param_t param = {&uart, pkg_path};
        err_code = dfu_send_package(&param);
        uart_slip_close(&uart);
    }
    printf("%d/%s ___ err_code:%d _____\r\n", __LINE__, __func__, err_code);
    fflush(stdout);
    return err_code;
}

extern "C" TELAGENT_API int uart_mcu_link_ready(void) { return get_app_init_success(); }

extern "C" TELAGENT_API int uart_mcu_link_restore(void) {
    const int ok = mcu_line_take_back();
    printf("%d/%s MCU line %s.\n", __LINE__, __func__, ok ? "back" : "not reopened");
    fflush(stdout);
    return ok;
}
