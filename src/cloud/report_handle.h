#pragma once
// Telemetry report: the report thread, its one-second schedule and the
// telemetry frame it publishes on "zt/ebike/devices/<IMEI>/common/data/".
#include <cstdint>

#include "cloud/uplink_frame.h"

struct iot_gps_info_t;

// Report thread body; started by start-up (init_tx510x).  15 s start delay,
// ReportingInterval raised to 10 when it reads below, then one tick a second
// unless factory mode is on.
void *px510s_handle_loop(void *arg);
// One pass of the thread's loop without the sleep (factory-mode gate, then
// check_loop).
void report_tick(void);
// The start-up correction: a ReportingInterval below 10 is stored as 10.
// Returns the interval in force.
int report_interval_at_start(void);

// One tick of the report schedule (working/test-mode gate, counter, online
// check, report, network LED).
void check_loop(void);
// Builds and publishes one telemetry frame.  The publish result (1 handed to
// the client, 0 dropped), or 0 when the IMEI is not known.
int post_iot_common_data_message(void);
// 1 when the MQTT session is connected and subscribed, else 0.
int get_iot_online_status(void);
// Network LED on: "1" into "/sys/bus/platform/drivers/ledctrl/net_led".  1 or 0.
int set_net_led(void);

// Fills a telemetry record from the fix, the serving cell, the vehicle
// records, the status flags and the report interval (alarm left as given).
// Prints each value, one line each.
void build_telemetry(telemetry_t *t);
// Position fields from a valid fix: millionths of a degree truncated toward
// zero, whole metres (low 16 bits), SNR sum (low 16 bits).  A coordinate that
// is not a number or out of range goes out as -1 ("no value").
void telemetry_from_fix(telemetry_t *t, const iot_gps_info_t &fix);

void set_mqtt_report_cnt(int value);
int get_mqtt_report_cnt(void);
// Frames handed to the client since start, for tests and the demo.
int get_mqtt_report_sent(void);
