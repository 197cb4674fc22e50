#pragma once
// Persistent settings of the agent.  Everything lives in the INI file
// "iot/conf/iot.ini" (relative to the working directory, which the host sets
// to the device root), read into memory once at start-up; getters read that
// copy, setters rewrite the file and reload it.  A few flags have small files
// of their own under /iot/conf.
#include <stddef.h>
#include <stdint.h>

#include "telagent/export.h"

// Broker host used when the file names none (all three broker profiles).
#define TELAGENT_DEFAULT_BROKER_HOST "mqtt.ebike-iot.example"

TELAGENT_EXTERN_C_BEGIN

// Broker record handed to the MQTT link: packed, this exact layout.
typedef struct __attribute__((packed)) mqtt_conf_t {
    char     hostip[64];   // NUL-terminated, at most 63 characters
    uint16_t port;
    int32_t  keepalive;    // seconds
    char     username[32]; // NUL-terminated, at most 31 characters
    char     password[32]; // NUL-terminated, at most 31 characters
} mqtt_conf_t;

#ifdef __cplusplus
static_assert(sizeof(mqtt_conf_t) == 134, "mqtt_conf_t layout is fixed");
#else
_Static_assert(sizeof(mqtt_conf_t) == 134, "mqtt_conf_t layout is fixed");
#endif
// The host and the app read it field by field: pinned on every target.
#ifdef __cplusplus
static_assert(offsetof(mqtt_conf_t, port) == 64 && offsetof(mqtt_conf_t, keepalive) == 66 &&
                  offsetof(mqtt_conf_t, username) == 70 && offsetof(mqtt_conf_t, password) == 102,
              "mqtt_conf_t field offsets");
#endif

// Loads "iot/conf/iot.ini".  1 on success, 0 (logged) when it cannot be read.
TELAGENT_API int init_iotconfig(void);

// General INI access.  Sections and keys compare case-insensitively.
TELAGENT_API int iniFileLoad(const char *path);
TELAGENT_API void iniFileFree(void);
// 1 when the key holds a non-empty value; `out` always gets the value or `def`.
TELAGENT_API int iniGetString(const char *section, const char *key, char *out, int size,
                              const char *def);
TELAGENT_API int iniGetInt(const char *section, const char *key, int def);
TELAGENT_API double iniGetDouble(const char *section, const char *key, double def);
// 1 when the file was rewritten; a null value deletes the key's line.
TELAGENT_API int iniSetString(const char *section, const char *key, const char *value);
TELAGENT_API int iniSetInt(const char *section, const char *key, int value, int base);

// Broker profiles.  1 when every key was read; a null record returns 0.
TELAGENT_API int get_mqttinfo(mqtt_conf_t *conf);
TELAGENT_API int get_test_mqttinfo(mqtt_conf_t *conf);
TELAGENT_API int get_official_mqttinfo(mqtt_conf_t *conf);
TELAGENT_API int set_domain_name(const char *host);
TELAGENT_API int set_port_number(int port);
TELAGENT_API int set_user_name(const char *name);
TELAGENT_API int set_user_pass(const char *pass);
TELAGENT_API int set_test_domain_name(const char *host);
TELAGENT_API int set_test_port_number(int port);
TELAGENT_API int set_official_domain_name(const char *host);
TELAGENT_API int set_official_port_number(int port);

// Typed settings of section IotCfg.  Setters return 1 when the file was written.
TELAGENT_API int get_sensor_level(void);
TELAGENT_API int set_sensor_level(int level);
TELAGENT_API int get_gps_interval(void);
TELAGENT_API int set_gps_interval(int value);
TELAGENT_API int get_lowpower_threshold(void);
TELAGENT_API int set_lowpower_threshold(int value);
TELAGENT_API int get_backupbattery_interval(void);
TELAGENT_API int set_backupbattery_interval(int value);
TELAGENT_API int get_sleep_interval(void);
TELAGENT_API int set_sleep_interval(int value);
TELAGENT_API int get_enable_check_nv(void);
TELAGENT_API int set_enable_check_nv(void);
TELAGENT_API int get_systerm_backup(void);
TELAGENT_API int set_systerm_backup(int value);
TELAGENT_API int get_bt_auth(void);
TELAGENT_API int set_bt_auth(int value);
TELAGENT_API int get_lte_reboot_timeout(void);
TELAGENT_API int set_lte_reboot_timeout(int seconds);
TELAGENT_API int get_bt_auth_timeout(void);
TELAGENT_API int set_bt_auth_timeout(int value);
TELAGENT_API int get_workingMode(void);
TELAGENT_API int set_workingMode(int mode);
TELAGENT_API int get_mqtt_report_interval(void);
TELAGENT_API int set_mqtt_report_interval(int seconds);
// MqttTls: 1 = the broker is reached over TLS with the provisioned CA, else plain TCP.
TELAGENT_API int get_mqtt_tls(void);

// Factory/dealer test mode (memory only, 0 at start).
TELAGENT_API int get_TestMode(void);
TELAGENT_API int set_TestMode(int mode);

// Library the host loads next ("/iot/conf/libiot.ini").
TELAGENT_API int get_so_libiot(char *out, int size);
TELAGENT_API int set_so_libiot(const char *name);

// Bluetooth authentication data kept across restarts (at most 128 bytes).
TELAGENT_API int save_auth_data(const unsigned char *data, int len);
TELAGENT_API int load_auth_data(unsigned char *out, int size);

// Flags kept in tag files for the host.
TELAGENT_API int get_foc_status(void);
TELAGENT_API int set_foc_status(int on);
TELAGENT_API int get_led_status(void);
TELAGENT_API int set_led_status(int on);
TELAGENT_API int get_bottom_led_status(void);
TELAGENT_API int set_bottom_led_status(int on);

TELAGENT_EXTERN_C_END
