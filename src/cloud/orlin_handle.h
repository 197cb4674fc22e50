#pragma once
// Downlink requests: the cloud request task and its buffer pool.

// Cloud receive handler, called on the MQTT library's thread for every message.
int dev_yun_recv_handler(const char *topic, const char *payload, int len);
// Creates the request pool and starts the cloud request task.
int init_orlin_handle(void);
