#include "vehicle/usart_lock_handle.h"

#include <atomic>
#include <cstdio>

#include "core/logging.h"
#include "vehicle/frame_codec.h"
#include "vehicle/serial_line.h"
#include "vehicle/vehicle_state.h"

namespace {

const SerialLineConfig kLockCfg = {
    "lock", "/dev/ttyHSL1", 38400, 64, 256, 2000, false, false, " gd get new buf failed ", "test_lock_com_recv",
};

std::atomic<dev_recv_cb_t> g_lock_cb{nullptr};
// The polling cycle the polling thread repeats, registered at start-up.
std::atomic<void (*)(void)> g_poll_task{nullptr};

// The answer a request_lock_expect waits for: 1 << 32 | dst << 24 | src << 16 | id, 0 when none.
std::atomic<uint64_t> g_expect{0};

uint64_t expect_key(uint8_t dst, uint8_t src, uint16_t id) {
    return uint64_t{1} << 32 | uint64_t{dst} << 24 | uint64_t{src} << 16 | id;
}

}  // namespace

SerialLine &lock_line(void) {
    // Lives as long as the process: its threads never outlive it.
    static SerialLine *line = new SerialLine(kLockCfg);
    return *line;
}

int init_lock_usart(void) {
    clear_battery_info_t();
    clear_mc_info_t();
    SerialLine &l = lock_line();
    int ok = l.open_port();
    if (!ok) printf("start open com usart_lock_fd[%d][%s]---------------------- .\n", l.fd(), kLockCfg.device);
    l.recv_thread.start(test_lock_com_recv);
    l.dispatch_thread.start(lock_uart_handle_loop);
    l.poll_thread.start(communication_with_gd32_loop);
    return ok;
}

int lock_write_com(const uint8_t *data, int len) {
    if (len <= 0) return 0;
    return lock_line().write_bytes(data, static_cast<size_t>(len));
}

int write_data_to_GD(const unsigned char *data, int len) {
    dhex("write_data_to_GD:", data, len);
    return lock_write_com(data, len);
}

int lock_read_com_byte(uint8_t *out, int wait_s) {
    if (out == nullptr) return 0;
    return lock_line().read_byte(out, wait_s * 1000);
}

uint8_t *get_new_lockbuf(void) { return lock_line().pool().take(); }

void free_new_lockbuf(uint8_t *buf) { lock_line().pool().release(buf); }

void test_lock_com_recv(void) { lock_line().recv_frames(); }

void lock_uart_handle_loop(void) {
    lock_line().dispatch_once([](const uint8_t *frame, size_t len) {
        dev_recv_cb_t cb = g_lock_cb.load();
        if (cb != nullptr) cb(frame, static_cast<int>(len));
    });
}

int request_lock_com(const uint8_t *req, int len, int wait_s, uint8_t *answer, int expect_id, int expect_src) {
    if (len < 0) len = 0;
    return lock_line().request(__func__, req, static_cast<size_t>(len), wait_s * 1000, answer, 1, 0, expect_id,
                               expect_src);
}

int request_lock_ms_data(const uint8_t *req, int len, int, uint8_t *answer) {
    if (len < 0) len = 0;
    return lock_line().request(__func__, req, static_cast<size_t>(len), 100, answer, 1, 0);
}

int lock_com_answer(const uint8_t *frame, int len) {
    if (len <= 0) return 0;
    return lock_line().deliver_answer(frame, static_cast<size_t>(len), 1);
}

int request_lock_expect(const uint8_t *req, int len, int wait_ms, uint16_t id, uint8_t src, uint8_t *answer) {
    if (req == nullptr || len < static_cast<int>(kFrameOverhead)) return 0;
    // Requests on the line are serialised by the line itself; the key is set
    // before the write so a quick answer is not missed, and cleared after.
    g_expect.store(expect_key(req[2], src, id));
    int n = lock_line().request(__func__, req, static_cast<size_t>(len), wait_ms, answer, 1, 0);
    g_expect.store(0);
    return n;
}

int lock_com_expected(const uint8_t *frame, int len) {
    if (frame == nullptr || len <= static_cast<int>(kFrameOverhead)) return 0;
    const uint64_t want = g_expect.load();
    if (want == 0 || frame_payload_avail(frame, len) == 0) return 0;
    if (expect_key(frame[1], frame[2], frame_msg_id(frame)) != want) return 0;
    return lock_com_answer(frame, len);
}

int lock_com_pending(void) { return lock_line().pending_tag() == 1 ? 1 : 0; }

int hostcore_GD32_recv_register(dev_recv_cb_t cb) {
    g_lock_cb.store(cb);
    return 0;
}

void communication_with_gd32_loop(void) {
    static std::atomic<bool> announced{false};
    if (!announced.exchange(true)) printf("communication_with_gd32_loop \r");
    void (*task)(void) = g_poll_task.load();
    if (task == nullptr) {
        line_sleep_ms(1000);  // nothing to poll with yet
        return;
    }
    task();
}

void lock_line_poll_register(void (*task)(void)) { g_poll_task.store(task); }

void com_uart_read_thread_destroy(void) { lock_line().poll_thread.stop(); }

void com_uart_read_thread_create(void) { lock_line().poll_thread.start(communication_with_gd32_loop); }
