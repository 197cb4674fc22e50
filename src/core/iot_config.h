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

// ---- broker switches ----------------------------------------------------------

// What a broker switch changes; a null text or port 0 leaves that key alone.
struct broker_switch_t {
    const char *host;  // MqttHost
    int port;          // MqttPort
    const char *user;  // MqttUserName
    const char *pass;  // MqttUserPass
    bool official;     // also store host and port as the official profile
};

// Applies a broker switch all or nothing, for every path that switches
// brokers (cloud, dealer tool, phone app): the keys are written in one
// replace of iot.ini, and the values they replace are kept in
// "/iot/conf/mqtt_prev.ini" until the box has reached the new broker.  1 when
// stored; 0 when nothing was changed (the failed key's "set_..._failed" text
// is printed).
int apply_broker_record(const broker_switch_t *sw);

// The watch over an unconfirmed switch, driven by the MQTT supervisor.  The
// generation changes with every switch and every fall-back; a connection is
// built from the record of the generation read before it.
int broker_record_generation(void);
// A connection attempt with the record of generation `gen` starts: the first
// one with the switched record starts its window.
void broker_switch_attempt(int gen);
// A subscription confirmed on a connection of generation `gen`: the switch is
// kept and the previous record dropped.
void broker_switch_reached(int gen);
// Once a pass while the supervisor is trying to reach the broker: when the
// window has run out since the first attempt, puts the previous record back,
// says so on the console and returns 1 (the caller reconnects).  Else 0.
int broker_switch_check(void);
// Seconds the new broker gets: `MqttSwitchWindow` of IotCfg, 600 by default.
int get_broker_switch_window(void);
