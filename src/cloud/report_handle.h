#pragma once
// Telemetry report thread.

// Report thread body; started by start-up.
void *px510s_handle_loop(void *arg);
void set_mqtt_report_cnt(int value);
int get_mqtt_report_cnt(void);
