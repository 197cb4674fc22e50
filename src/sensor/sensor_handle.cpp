#include "sensor/sensor_handle.h"

#include <atomic>

namespace {
// Last settings handed to the sensor; the real device access comes with the
// motion sensing module.
std::atomic<int> g_level{1}, g_param1{10}, g_param2{60};
// Set by the motion thread, cleared by the GNSS thread.
std::atomic<uint8_t> BikeMoveStatus{0};
// Raised by the motion thread, taken by the telemetry report.
std::atomic<uint8_t> alarm_info{0};
}  // namespace

int iot_set_measure_gsensor(int level, int param1, int param2) {
    g_level = level;
    g_param1 = param1;
    g_param2 = param2;
    return 1;
}

int iot_get_measure_gsensor(int *level, int *param1, int *param2) {
    if (level) *level = g_level;
    if (param1) *param1 = g_param1;
    if (param2) *param2 = g_param2;
    return 1;
}

int sensor_mdm_init(void) { return 1; }

// No sensor found yet: nothing to read.
int hostcore_get_gsensor_info(iot_sensor_data_t *out) {
    if (out) *out = {};
    return 0;
}

int hostcore_get_gyroscope_info(iot_sensor_data_t *out) {
    if (out) *out = {};
    return 0;
}

int init_lte_gpio(void) { return 0; }

int init_lna_gpio(void) { return 0; }

int init_can_gpio(void) { return 0; }

uint8_t get_ebike_move_status(void) { return BikeMoveStatus; }

void set_ebike_move_status(uint8_t status) { BikeMoveStatus = status; }

uint8_t get_alarm_info_t(void) { return alarm_info.load(std::memory_order_relaxed); }

void clear_alarm_info_t(void) { alarm_info.store(0, std::memory_order_relaxed); }

void set_alarm_info_t(uint8_t bits) { alarm_info.fetch_or(bits, std::memory_order_relaxed); }

uint8_t take_alarm_info_t(void) { return alarm_info.exchange(0, std::memory_order_relaxed); }
