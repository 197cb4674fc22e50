#pragma once
// Configuration store: the INI settings file and the small flag files.
#include "telagent/iot_config.h"

// Path of the settings file, relative to the working directory.
#define IOT_INI_PATH "iot/conf/iot.ini"

// Generic file helpers on device paths (resolved with plat_path).
// read_file2buf: bytes read (at most n), 0 when the file cannot be read.
int read_file2buf(const char *path, char *buf, int n);
// Both writers truncate, call sync after closing and return 1, or 0 on failure.
int write_buf2file(const char *path, const char *buf, int n);
int rewrite_buf2file(const char *path, const char *str);

// Called by set_sensor_level with a level of 0..9, stored or not, so that the
// motion sensor takes it at once.  Registered by the entry at start-up.
void set_sensor_level_listener(void (*listener)(int level));

// Start-up: reads auth.bin and logs what it found.  Returns the byte count.
int load_auth_data_from_file(void);

// Start-up: the LTE calibration flag from "/media/ram/iotdebug.ini" (decimal
// text); 0 when the file is missing.
int load_lte_calibration_flag(void);
