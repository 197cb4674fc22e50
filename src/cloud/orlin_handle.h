#pragma once
// Downlink requests: the cloud request task and its buffer pool.

// Cloud receive handler, called on the MQTT library's thread for every message.
int dev_yun_recv_handler(const char *topic, const char *payload, int len);
// Creates the request pool and starts the cloud request task.
int init_orlin_handle(void);
// Firmware-update mode: 1 while an OTA request or a controller update runs.
int get_ota_mode(void);
void set_ota_mode(int flag);
