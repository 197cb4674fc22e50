#include "vehicle/mcu_watchdog.h"

#include <atomic>
#include <cstdio>

#include "platform/plat_clock.h"
#include "vehicle/frame_codec.h"
#include "vehicle/usart_mcu_handle.h"

namespace {

constexpr uint8_t kCmdPing = 0xFF;
constexpr uint16_t kTimeoutS = 60;

std::atomic<int> g_ping_status{0};

int send_ping(uint8_t sub, uint16_t value) {
    uint8_t f[kMcuPingFrameLen];
    mcu_ping_frame(sub, value, f);
    write_data_to_mcu(f, sizeof f);
    return 1;
}

}  // namespace

void mcu_ping_frame(uint8_t sub, uint16_t value, uint8_t out[kMcuPingFrameLen]) {
    const uint8_t data[] = {sub, static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
    build_caret_frame(kCmdPing, data, sizeof data, out, kMcuPingFrameLen);
}

int ping_timer(void) { return send_ping(0xFF, kTimeoutS); }

int ping_set_timeout(void) { return send_ping(0xA0, kTimeoutS); }

int ping_enable(void) { return send_ping(0xB1, kTimeoutS); }

int ping_disable(void) { return send_ping(0xB0, 1); }

int mcu_ping_init(void) {
    ping_set_timeout();
    plat_sleep_ms(500);
    ping_enable();
    g_ping_status.store(1);
    printf("%d/%s MCU WATCHDOG Enable\n", __LINE__, __func__);
    return 1;
}

int iot_ctl_mcu_watchdog(int flag) {
    if (flag) {
        mcu_ping_init();
        plat_sleep_ms(100);
        ping_timer();
        plat_sleep_ms(100);
        ping_timer();
    } else {
        g_ping_status.store(0);
        ping_disable();
        printf("%d/%s MCU WATCHDOG Disable\n", __LINE__, __func__);
    }
    return 1;
}

int get_ping_status(void) { return g_ping_status.load(); }

int px510_timer(void) {
    if (g_ping_status.load()) ping_timer();
    return 1;
}
