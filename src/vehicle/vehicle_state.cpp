#include "vehicle/vehicle_state.h"
#include "core/tavi_common.h"

#include <cstring>
#include <mutex>

#include "core/iot_config.h"

namespace {

std::mutex g_mtx;  // guards every record and counter below
mc_info_t g_mc;
battery_info_t g_bat;
iot_battery_t g_iot_bat{};
uint8_t g_bits = 0;
uint32_t g_bat_wd[3] = {0, 0, 0};
uint32_t g_bike_wd = 0;

// Values never received read as all-ones until the bike answers.
struct InitialState {
    InitialState() {
        memset(&g_mc, 0xFF, sizeof g_mc);
        memset(&g_bat, 0xFF, sizeof g_bat);
    }
} g_initial;

void count_present_locked() {
    g_bat.BatteryNumber = static_cast<uint8_t>((g_bat.Battery1Enable == 1) + (g_bat.Battery2Enable == 1) +
                                               (g_bat.Battery3Enable == 1));
}

}  // namespace

mc_info_t motor_info_get_protocol(void) {
    std::lock_guard<std::mutex> g(g_mtx);
    return g_mc;
}

battery_info_t battery_info_get_protocol(void) {
    std::lock_guard<std::mutex> g(g_mtx);
    return g_bat;
}

iot_battery_t get_iot_battery_info(void) {
    std::lock_guard<std::mutex> g(g_mtx);
    return g_iot_bat;
}

void vs_update_mc(void (*fn)(mc_info_t &, const void *), const void *ctx) {
    std::lock_guard<std::mutex> g(g_mtx);
    fn(g_mc, ctx);
}

void vs_update_battery(void (*fn)(battery_info_t &, const void *), const void *ctx) {
    std::lock_guard<std::mutex> g(g_mtx);
    fn(g_bat, ctx);
}

void vs_update_iot_battery(void (*fn)(iot_battery_t &, const void *), const void *ctx) {
    std::lock_guard<std::mutex> g(g_mtx);
    fn(g_iot_bat, ctx);
}

void vs_set_flag(uint8_t bits, int on) {
    std::lock_guard<std::mutex> g(g_mtx);
    g_bits = on ? static_cast<uint8_t>(g_bits | bits) : static_cast<uint8_t>(g_bits & ~bits);
}

void vs_battery_seen(int n) {
    if (n < 1 || n > 3) return;
    std::lock_guard<std::mutex> g(g_mtx);
    g_bat_wd[n - 1] = 0;
    uint8_t *enable[3] = {&g_bat.Battery1Enable, &g_bat.Battery2Enable, &g_bat.Battery3Enable};
    *enable[n - 1] = 1;
}

void vs_bike_status_seen(void) {
    std::lock_guard<std::mutex> g(g_mtx);
    g_bike_wd = 0;
}

void get_Bits_Field8_t(uint8_t *out) {
    if (out == nullptr) return;
    std::lock_guard<std::mutex> g(g_mtx);
    *out = g_bits;
}

int get_BikeOnStatus(void) {
    std::lock_guard<std::mutex> g(g_mtx);
    return g_bits & BIT_BIKE_ON;
}

int get_system_status(void) { return get_BikeOnStatus(); }

int get_MotorLockStatus(void) {
    std::lock_guard<std::mutex> g(g_mtx);
    return (g_bits & BIT_MOTOR_LOCKED) ? 1 : 0;
}

void clear_Bits_Field8_t(void) {
    std::lock_guard<std::mutex> g(g_mtx);
    g_bits = 0;
}

void clear_mc_info_t(void) {
    std::lock_guard<std::mutex> g(g_mtx);
    memset(&g_mc, 0xFF, sizeof g_mc);
}

void clear_battery_info_t(void) {
    std::lock_guard<std::mutex> g(g_mtx);
    memset(&g_bat, 0xFF, sizeof g_bat);
}

int check_sys_status(void) {
    if (get_workingMode() != 1 && get_TestMode() != 1) return 0;
    if (get_ota_mode()) return 0;
    std::lock_guard<std::mutex> g(g_mtx);
    if (++g_bike_wd > 4) {
        // No status broadcast for 5 s: the bike is off and its figures are stale.
        g_bits &= static_cast<uint8_t>(~BIT_BIKE_ON);
        memset(&g_mc, 0xFF, sizeof g_mc);
    }
    if (++g_bat_wd[0] > 19) {
        memset(&g_bat, 0xFF, sizeof g_bat);
    }
    if (++g_bat_wd[1] > 19) g_bat.Battery2Enable = 0xFF;
    if (++g_bat_wd[2] > 19) g_bat.Battery3Enable = 0xFF;
    count_present_locked();
    return 0;
}
