#include "cloud/report_handle.h"

#include <atomic>

namespace {
std::atomic<int> mqtt_report_cnt{0};
}  // namespace

// Nothing to report yet: the report frame comes with the telemetry work.
void *px510s_handle_loop(void *) { return nullptr; }

void set_mqtt_report_cnt(int value) { mqtt_report_cnt.store(value, std::memory_order_relaxed); }

int get_mqtt_report_cnt(void) { return mqtt_report_cnt.load(std::memory_order_relaxed); }
