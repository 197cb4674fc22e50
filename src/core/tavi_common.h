#pragma once
// Runtime state shared by every subsystem: the mode flags, the boot code and
// the IMEI.  Plain process-wide values, read without locks by the polling
// loops, the MQTT supervisor and the report thread.  Working mode is a stored
// setting and stays with the configuration store (get_workingMode /
// set_workingMode, included here so that readers need only this header).
#include <cstdint>

#include "core/iot_config.h"

// Factory/dealer test mode: get_TestMode / set_TestMode, exported to the host
// with the configuration API (memory only, 0 at start).

// Factory mode: while 1, polling, MQTT supervision and reports stand still.
int get_factory_mode(void);
void set_factory_mode(int flag);

// Firmware-update mode: 1 while an OTA request or a controller update runs.
int get_ota_mode(void);
void set_ota_mode(int flag);

// Boot code: a one-byte status reported to the server.  The setter sets bit
// `bit` (0..7; others are ignored), e.g. 1 for the data call going idle.
void set_sysboot_code(int bit);
uint8_t get_sysboot_code(void);

// The module's IMEI as a number (0 until known).
int64_t getimei(void);
void setimei(int64_t imei);
// The IMEI as 15-digit text; returns its length, 0 (and "") while unknown.
// `dst` holds at least 20 bytes.
int get_imei_text(char *dst);
