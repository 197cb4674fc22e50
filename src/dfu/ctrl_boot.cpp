#include "dfu/ctrl_boot.h"

#include <cstdio>
#include <cstring>

#include "core/iot_common.h"
#include "core/tavi_common.h"
#include "dfu/fw_image.h"
#include "platform/plat_clock.h"
#include "vehicle/frame_codec.h"
#include "vehicle/serial_line.h"
#include "vehicle/bt_handle.h"
#include "vehicle/usart_lock_handle.h"
#include "vehicle/usart_mcu_handle.h"

namespace {

constexpr uint16_t kIdBootVersion = 0x0003;
constexpr uint16_t kIdBoot = 0x0007;
constexpr int kStateIdle = 0;
constexpr int kStateDone = 2;
constexpr int kNoAnswer = -1;

// Who is flashed and how: addresses on the wire, block size and retry rules.
struct Session {
    uint8_t node;          // the controller
    uint8_t self;          // the box's address in this exchange
    FwTarget target;
    int version_tries;
    int version_wait_ms;
    int state_tries;
    int erase_first;       // sectors erased, first..last
    int erase_last;
    int erase_tries;
    int erase_wait_ms;
    uint32_t block_addr0;  // address field of block 0
    uint32_t block_step;   // address field step per block
    int block_bytes;       // data bytes per block
    int blocks;
    int write_tries;
    int write_wait_ms;
};

const Session kGd32 = {NODE_GD32, NODE_BOX, FW_GD32, 5, 1000, 10, 0, 111, 3, 2000,
                       0x08004000u, 0x400, 0x400, 112, 3, 2000};
const Session kDisplay = {NODE_DISPLAY, NODE_BOOTLOADER, FW_DISPLAY, 3, 2000, 5, 0, 119, 5, 2000,
                          0x08004000u, 0x800, 0x800, 120, 5, 5000};
// KD11 blocks are 1024 words at word addresses.
const Session kKd11 = {NODE_MOTOR, NODE_BOOTLOADER, FW_KD11, 3, 2000, 10, 1, 7, 3, 2000,
                       0x3E8000u, 0x400, 0x800, 56, 3, 2000};
const Session kHm52 = {NODE_MOTOR, NODE_BOOTLOADER, FW_HM52, 3, 2000, 5, 1, 7, 5, 2000,
                       0x08005000u, 0x800, 0x800, 110, 3, 5000};

// Room for the largest write block (2048 data bytes) and its frame.
constexpr size_t kFrameMax = 2048 + 7 + kFrameOverhead;

int state_of(const uint8_t *ans, int n);

// One request to the session's controller; the answer's length, 0 when none.
int boot_request(const Session &s, uint16_t id, const uint8_t *payload, size_t n, int wait_ms, uint8_t *ans) {
    static uint8_t frame[kFrameMax];  // one session at a time (fw_update_lock)
    size_t len = build_orlin_frame(s.node, s.self, id, payload, n, frame, sizeof frame);
    if (len == 0) return 0;
    memset(ans, 0, kAnswerSize);
    return request_lock_expect(frame, static_cast<int>(len), wait_ms, id, s.node, ans);
}

// Auxiliary request to any node: the answer's value (first two payload
// bytes, little-endian), or kNoAnswer after `tries` tries.
int aux_request(uint8_t dst, uint8_t src, uint16_t id, const uint8_t *payload, size_t n, int tries, int wait_ms,
                bool (*good)(int)) {
    uint8_t frame[32], ans[kAnswerSize];
    size_t len = build_orlin_frame(dst, src, id, payload, n, frame, sizeof frame);
    int v = kNoAnswer;
    for (int i = 0; i < tries && len != 0; ++i) {
        memset(ans, 0, sizeof ans);
        int got = request_lock_expect(frame, static_cast<int>(len), wait_ms, id, dst, ans);
        v = got > 0 ? state_of(ans, got) : kNoAnswer;
        if (v == kNoAnswer) {
            printf("not response \r");
            continue;
        }
        if (good(v)) return v;
    }
    return v == kNoAnswer ? kNoAnswer : -2 - v;  // an answer, but not the wanted one
}

// A frame that expects no answer.
void boot_send(const Session &s, const uint8_t *payload, size_t n) {
    uint8_t frame[32];
    size_t len = build_orlin_frame(s.node, s.self, kIdBoot, payload, n, frame, sizeof frame);
    if (len) dev_send_to_GD32(frame, static_cast<int>(len));
}

// State value of an answer: its first two payload bytes, little-endian.
int state_of(const uint8_t *ans, int n) {
    size_t have = frame_payload_avail(ans, n);
    if (have == 0) return kNoAnswer;
    return have >= 2 ? (ans[7] | ans[8] << 8) : ans[7];
}

int check_boot_version(const Session &s) {
    uint8_t ans[kAnswerSize];
    for (int i = 0; i < s.version_tries; ++i) {
        int n = boot_request(s, kIdBootVersion, nullptr, 0, s.version_wait_ms, ans);
        if (n <= 0 || frame_payload_avail(ans, n) == 0) {
            printf("not response \r");
            continue;
        }
        printf("bootloader_version =%x \r\n", ans[7]);
        return ans[7] == 2 ? 1 : 0;  // a bootloader we do not know is not written to
    }
    return 0;
}

int check_bootloader_state(const Session &s) {
    uint8_t ans[kAnswerSize];
    for (int i = 0; i < s.state_tries; ++i) {
        int n = boot_request(s, kIdBoot, nullptr, 0, 100, ans);
        int st = n > 0 ? state_of(ans, n) : kNoAnswer;
        if (st == kNoAnswer) {
            printf("not response \r");
            continue;
        }
        printf("bootloader_state =%d \r\n", st);
        return st == kStateIdle ? 1 : 0;
    }
    return 0;
}

// One command with a "done" answer, tried up to `tries` times.
int boot_command(const Session &s, const uint8_t *payload, size_t n, int tries, int wait_ms, const char *state_fmt) {
    uint8_t ans[kAnswerSize];
    for (int i = 0; i < tries; ++i) {
        int len = boot_request(s, kIdBoot, payload, n, wait_ms, ans);
        int st = len > 0 ? state_of(ans, len) : kNoAnswer;
        if (st == kNoAnswer) {
            printf("not response  \r");
            continue;
        }
        if (state_fmt != nullptr) printf(state_fmt, st);
        if (st == kStateDone) return 1;
    }
    return 0;
}

int erase_sectors(const Session &s) {
    for (int sec = s.erase_first; sec <= s.erase_last; ++sec) {
        if (s.node == NODE_GD32) printf("erase_gd32_sector %d  \r\n", sec);
        const uint8_t p[2] = {0x01, static_cast<uint8_t>(sec)};
        if (!boot_command(s, p, sizeof p, s.erase_tries, s.erase_wait_ms, nullptr)) return 0;
    }
    return 1;
}

bool all_ff(const uint8_t *p, int n) {
    for (int i = 0; i < n; ++i) {
        if (p[i] != 0xFF) return false;
    }
    return true;
}

// Writes every block that holds data; the last one holds the image CRC and so
// always goes.  A block that fails all its tries ends the step.
int write_blocks(const Session &s) {
    const uint8_t *img = fw_image(s.target);
    static uint8_t payload[7 + 2048];
    for (int b = 0; b < s.blocks; ++b) {
        const uint8_t *data = img + static_cast<size_t>(b) * static_cast<size_t>(s.block_bytes);
        if (s.node == NODE_GD32) printf("block_word %d \r\n", b);
        if (!all_ff(data, s.block_bytes)) {
            const uint32_t addr = s.block_addr0 + static_cast<uint32_t>(b) * s.block_step;
            payload[0] = 0x08;
            for (int i = 0; i < 4; ++i) payload[1 + i] = static_cast<uint8_t>(addr >> (8 * i));
            payload[5] = static_cast<uint8_t>(s.block_bytes & 0xFF);
            payload[6] = static_cast<uint8_t>(s.block_bytes >> 8);
            if (s.target == FW_KD11) {
                // Each image word goes low byte first, whatever the host's byte order.
                const uint16_t *w = reinterpret_cast<const uint16_t *>(data);
                for (int i = 0; i < s.block_bytes / 2; ++i) {
                    payload[7 + 2 * i] = static_cast<uint8_t>(w[i] & 0xFF);
                    payload[8 + 2 * i] = static_cast<uint8_t>(w[i] >> 8);
                }
            } else {
                memcpy(payload + 7, data, static_cast<size_t>(s.block_bytes));
            }
            const char *fmt = s.node == NODE_GD32 ? "firmware_state =%d \r\n" : nullptr;
            if (!boot_command(s, payload, 7 + static_cast<size_t>(s.block_bytes), s.write_tries, s.write_wait_ms, fmt))
                return 0;
        }
        if (s.node != NODE_GD32) printf("ready send next frame \r");
    }
    return 1;
}

int check_crc(const Session &s) {
    const uint8_t p[2] = {0x10, 0x00};
    int ok = boot_command(s, p, sizeof p, 3, 2000, nullptr);
    if (ok) printf("response OK \r");
    return ok;
}

bool is_600(int v) { return v == 600; }
bool is_nonzero(int v) { return v != 0; }
bool is_zero(int v) { return v == 0; }

// Enter the bootloader (written once), 100 ms, then the state check.
int enter_bootloader(const Session &s) {
    const uint8_t enter[2] = {0x20, 0x00};
    boot_send(s, enter, sizeof enter);
    plat_sleep_ms(100);
    return check_bootloader_state(s);
}

// Back to the application, answered with state 1 (motor controllers).
int switch_to_app(const Session &s) {
    const uint8_t app[2] = {0x40, 0x00};
    uint8_t ans[kAnswerSize];
    for (int i = 0; i < 5; ++i) {
        int n = boot_request(s, kIdBoot, app, sizeof app, 1000, ans);
        int st = n > 0 ? state_of(ans, n) : kNoAnswer;
        if (st == kNoAnswer) {
            printf("response error \r");
            continue;
        }
        printf("ApplicationState =%d \r\n", st);
        if (st == 1) return 1;
    }
    return 0;
}

// The texts of the erase, write and CRC steps of one session.
struct StepTexts {
    const char *send;
    const char *send_err;
    const char *crc;
    const char *crc_err;
};

int version_step(const Session &s) {
    printf("check_boot_version \r");
    if (check_boot_version(s)) return 1;
    printf("check_boot_version err\r");
    return 0;
}

// Erase, write the blocks, check the CRC: what every session does once its
// controller is in the bootloader.
int erase_write_check(const Session &s, const StepTexts &t) {
    printf("erase_controller_sectors \r");
    if (!erase_sectors(s)) {
        printf("erase_controller_sectors err\r");
        return 0;
    }
    printf("%s", t.send);
    if (!write_blocks(s)) {
        printf("%s", t.send_err);
        return 0;
    }
    printf("%s", t.crc);
    if (!check_crc(s)) {
        printf("%s", t.crc_err);
        return 0;
    }
    return 1;
}

// The motor controllers' sequence; `send_msg` / `send_err` name the write step.
int update_motor(const Session &s, const char *send_msg, const char *send_err, const char *ok_msg) {
    if (!version_step(s)) return 0;
    if (enable_display_slave_mode() != 1) printf("display enter slave mode err\r");
    if (set_main_BMS_out() != 1) printf("set_main_BMS_out err\r");
    if (!enter_bootloader(s)) {
        printf("check_correct_bootloader_state err\r");
        return 0;
    }
    if (!erase_write_check(s, {send_msg, send_err, "check_crc_cmd \r", "check_crc_cmd err\r"})) return 0;
    printf("switch_to_app \r");
    if (!switch_to_app(s)) {
        printf("switch_to_app err\r");
        return 0;
    }
    if (ok_msg != nullptr) printf("%s", ok_msg);
    return 1;
}

// Stops the lock line's polling and the MCU line's receive and BLE polling
// threads around a display or motor update, and starts them again.
struct LinesPaused {
    LinesPaused() {
        com_uart_read_thread_destroy();
        ble_read_thread_destroy();
        ble_recv_thread_destroy();
    }
    ~LinesPaused() {
        com_uart_read_thread_create();
        ble_read_thread_create();
        ble_recv_thread_create();
    }
};

int three_attempts(int (*update)(void)) {
    int ret = 0;
    for (int attempt = 0; attempt < 3; ++attempt) {
        ret = update();
        if (ret == 1) break;
        if (attempt < 2) plat_sleep_ms(1000);
    }
    return ret;
}

}  // namespace

int set_main_BMS_out(void) {
    const uint8_t p[2] = {0x58, 0x02};  // 600 s standby
    int v = aux_request(NODE_BMS1, NODE_BOX, 0xF533, p, sizeof p, 3, 1000, is_600);
    if (v >= 0 || v < kNoAnswer) printf("standby_time =%d \r\n", v >= 0 ? v : -2 - v);
    return v == 600 ? 1 : 0;
}

int enable_display_slave_mode(void) {
    const uint8_t p[2] = {0x01, 0x00};
    int v = aux_request(NODE_DISPLAY, NODE_BOOTLOADER, 0xFF12, p, sizeof p, 3, 1000, is_nonzero);
    if (v >= 0 || v < kNoAnswer) printf("display_state =%d \r\n", v >= 0 ? v : -2 - v);
    return v > 0 ? 1 : 0;
}

int enable_display_master_mode(void) {
    const uint8_t p[2] = {0x00, 0x00};
    int v = aux_request(NODE_DISPLAY, NODE_BOOTLOADER, 0xFF12, p, sizeof p, 3, 1000, is_zero);
    if (v >= 0 || v < kNoAnswer) printf("display_state =%d \r\n", v >= 0 ? v : -2 - v);
    return v == 0 ? 1 : 0;
}

int UpdateDisplayFirmware(void) {
    const Session &s = kDisplay;
    if (!version_step(s)) return 0;
    set_main_BMS_out();
    printf("switch_display_to_bootloader \r");
    if (!enter_bootloader(s)) {
        printf("check_correct_bootloader_state err\r");
        return 0;
    }
    if (!erase_write_check(s, {"send_display_firmware \r", "send_display_firmware err\r", "check_display_crc_cmd \r",
                               "check_display_crc_cmd err\r"}))
        return 0;
    printf("switch_display_to_app \r");
    const uint8_t app[2] = {0x40, 0x00};
    boot_send(s, app, sizeof app);
    printf("OTA Display OK \r");
    return 1;
}

int Update_ZT_Motor_Firmware(void) {
    return update_motor(kKd11, "send_controller_firmware \r", "send_controller_firmware err\r", "OTA MC OK \r");
}

int Update_DM_HM52_Firmware(void) {
    return update_motor(kHm52, "send_HM52_firmware \r", "send_HM52_firmware err\r", nullptr);
}

extern "C" TELAGENT_API int handle_ota_diaplay_task(void) {
    auto one_update = fw_update_lock();
    LinesPaused paused;
    if (!OnOpenDisplayFirmwareButtonClick()) return 0;
    return three_attempts(UpdateDisplayFirmware);
}

extern "C" TELAGENT_API int handle_ota_motor_task(int target) {
    auto one_update = fw_update_lock();
    LinesPaused paused;
    set_ota_mode(1);
    const bool hm52 = target == 1;
    int ret = 0;
    if (hm52 ? OnOpenHM52FirmwareButtonClick() : OnOpenControllerFirmwareButtonClick()) {
        set_power_key_line(0);
        ret = three_attempts(hm52 ? Update_DM_HM52_Firmware : Update_ZT_Motor_Firmware);
        enable_display_master_mode();
        set_power_key_line(1);
    }
    set_ota_mode(0);
    return ret;
}

int UpdateGd32Firmware(void) {
    const Session &s = kGd32;
    if (!version_step(s)) return 0;
    if (!enter_bootloader(s)) {
        printf("check_bootloader_state err\r");
        return 0;
    }
    if (!erase_write_check(s, {"send_controller_firmware \r", "send_controller_firmware err\r", "check_crc_cmd \r",
                               "check_crc_cmd err\r"}))
        return 0;
    printf("switch_to_app \r");
    const uint8_t app[2] = {0x40, 0x00};
    boot_send(s, app, sizeof app);
    printf("OTA GD32 OK \r");
    return 1;
}

extern "C" TELAGENT_API int handle_ota_gd_task(void) {
    auto one_update = fw_update_lock();
    com_uart_read_thread_destroy();
    int ret = 0;
    if (OnOpenGd32FirmwareButtonClick()) {
        for (int attempt = 0; attempt < 3; ++attempt) {
            ret = UpdateGd32Firmware();
            if (ret == 1) break;
            if (attempt < 2) plat_sleep_ms(1000);
        }
    }
    com_uart_read_thread_create();
    return ret;
}
