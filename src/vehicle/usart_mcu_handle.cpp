#include "vehicle/usart_mcu_handle.h"
#include "core/tavi_common.h"

#include <atomic>
#include <cstdio>

#include "core/logging.h"
#include "platform/plat_clock.h"
#include "vehicle/frame_codec.h"
#include "vehicle/serial_line.h"

namespace {

const SerialLineConfig kMcuCfg = {
    "mcu", "/dev/ttyHSL2", 38400, 64, 256, 2000, false, true, " ble get new buf failed ", "lte_uart_recv",
};

constexpr int kCaretIdleTag = 255;

std::atomic<dev_recv_cb_t> g_bt_cb{nullptr};
std::atomic<const mcu_line_hooks_t *> g_hooks{nullptr};

// The registered BLE polling cycle; idles while there is none.
void poll_cycle() {
    const mcu_line_hooks_t *h = g_hooks.load();
    if (h == nullptr || h->poll_cycle == nullptr) {
        line_sleep_ms(1000);
        return;
    }
    h->poll_cycle();
}
std::atomic<unsigned> g_mcu_speed{0};
std::atomic<int> g_dfu_uart_status{0};
std::atomic<bool> g_released_recv{false};
std::atomic<bool> g_released_poll{false};

void start_threads(SerialLine &l) {
    l.recv_thread.start(lte_uart_recv);
    l.dispatch_thread.start(lte_uart_handle_loop);
    l.poll_thread.start(poll_cycle);
}

}  // namespace

SerialLine &mcu_line(void) {
    static SerialLine *line = new SerialLine(kMcuCfg);
    return *line;
}

int init_mcu_usart(void) {
    const mcu_line_hooks_t *h = g_hooks.load();
    if (h != nullptr && h->line_init != nullptr) h->line_init();
    g_mcu_speed.store(kMcuCfg.baud);
    SerialLine &l = mcu_line();
    if (!l.open_port()) {
        mlog(0, "start open com hCom[%d][%s]------ .\n", l.fd(), kMcuCfg.device);
        printf("%d/%s open com failed.\n", __LINE__, __func__);
        return 0;
    }
    start_threads(l);
    return 1;
}

int OpenMCUCom(void) {
    SerialLine &l = mcu_line();
    if (!l.open_port()) return 0;
    l.resume_threads();  // the ones CloseMCUCom stopped
    return 1;
}

void CloseMCUCom(void) { mcu_line().close_port(); }

unsigned get_mcu_uart_speed(void) { return g_mcu_speed.load(); }

void mcu_set_dfu_uart_status(int status) {
    g_dfu_uart_status.store(status);
    plat_sleep_s(1);
}

int get_mcu_dfu_uart_status(void) { return g_dfu_uart_status.load(); }

void mcu_line_release(void) {
    SerialLine &l = mcu_line();
    g_released_poll.store(l.poll_thread.running());
    g_released_recv.store(l.recv_thread.running());
    l.poll_thread.stop();
    l.recv_thread.stop();
    l.close_port();
}

int mcu_line_take_back(void) {
    SerialLine &l = mcu_line();
    int ok = l.open_port();
    l.resume_threads();  // the dispatcher, which close_port stopped
    if (g_released_recv.exchange(false)) l.recv_thread.start(lte_uart_recv);
    if (g_released_poll.exchange(false)) l.poll_thread.start(poll_cycle);
    g_dfu_uart_status.store(0);
    return ok;
}

int write_com(const uint8_t *data, int len) {
    if (len <= 0) return 0;
    return mcu_line().write_bytes(data, static_cast<size_t>(len));
}

int write_data_to_mcu(const unsigned char *data, int len) {
    int n = write_com(data, len);
    if (n != len) printf("%d/%s -----write to com failed---%d---%d---\n", __LINE__, __func__, len, n);
    return 1;
}

int write_data_to_bluetooth(const unsigned char *data, int len) {
    int n = write_com(data, len);
    if (n != len) printf("%d/%s -----write to com failed---%d---%d---\n", __LINE__, __func__, len, n);
    return 1;
}

int read_com_byte(uint8_t *out, int wait_s) {
    if (out == nullptr) return 0;
    return mcu_line().read_byte(out, wait_s * 1000);
}

uint8_t *get_new_buf(void) { return mcu_line().pool().take(); }

void free_new_buf(uint8_t *buf) { mcu_line().pool().release(buf); }

void ble_push_buf_to_handle(uint8_t *buf) {
    size_t len = 0;
    if (buf != nullptr) len = buf[0] == kCaretStart ? buf[2] : static_cast<size_t>(buf[5]) + kFrameOverhead;
    if (buf == nullptr || !mcu_line().pool().publish(buf, len)) printf("%d/%s  -push failed--- \r\n", __LINE__, __func__);
}

void lte_uart_recv(void) { mcu_line().recv_frames(); }

void lte_uart_handle_loop(void) {
    mcu_line().dispatch_once([](const uint8_t *frame, size_t len) {
        // A library image from the app goes to the host even in firmware-update
        // mode, which its own first chunk switched on.
        if (frame[0] != kCaretStart && cb_link_msg(2, frame, static_cast<int>(len))) return;
        // A controller being flashed is left alone: frames are dropped.
        if (get_ota_mode()) return;
        if (frame[0] == kCaretStart) {
            mcu_line().deliver_answer(frame, len, frame[3]);
            const mcu_line_hooks_t *h = g_hooks.load();
            if (h != nullptr && h->caret_frame != nullptr) h->caret_frame(frame, static_cast<int>(len));
            return;
        }
        dev_recv_cb_t cb = g_bt_cb.load();
        if (cb != nullptr) cb(frame, static_cast<int>(len));
    });
}

int request_mcu_data(const uint8_t *req, int len, int, uint8_t *answer) {
    if (len < 0) len = 0;
    return mcu_line().request(__func__, req, static_cast<size_t>(len), 2000, answer, 1, 0);
}

int read_bluetooth_data(const uint8_t *req, int len, int tag, uint8_t *answer) {
    if (len < 0) len = 0;
    return mcu_line().request(__func__, req, static_cast<size_t>(len), 2000, answer, tag, kCaretIdleTag);
}

int mcu_com_answer(const uint8_t *frame, int len) {
    if (len <= 0) return 0;
    return mcu_line().deliver_answer(frame, static_cast<size_t>(len), 1);
}

int hostcore_bluetooth_recv_register(dev_recv_cb_t cb) {
    g_bt_cb.store(cb);
    return 0;
}

void mcu_line_hooks_register(const mcu_line_hooks_t *hooks) { g_hooks.store(hooks); }

void ble_recv_thread_destroy(void) { mcu_line().recv_thread.stop(); }

void ble_recv_thread_create(void) { mcu_line().recv_thread.start(lte_uart_recv); }

void ble_read_thread_destroy(void) { mcu_line().poll_thread.stop(); }

void ble_read_thread_create(void) { mcu_line().poll_thread.start(poll_cycle); }
