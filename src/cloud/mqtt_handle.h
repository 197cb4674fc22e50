#pragma once
// MQTT session with the operator's broker.  The connection itself comes with the
// MQTT session work; the table slots and the supervisor entry exist already so
// that start-up and supervision do not change when it lands.
#include "core/iot_common.h"

int hostcore_mqtt_connect(mqtt_conf_t *conf);
int hostcore_mqtt_disconnect(void);
int hostcore_mqtt_pub(const unsigned char *data, int len);
int hostcore_mqtt_post(const char *topic, const char *text, int len);
int hostcore_mqtt_recv_register(mqtt_recv_cb_t cb);
// The registered cloud receive handler (nullptr before registration).
mqtt_recv_cb_t get_mqtt_callback(void);
int init_mqtt(void);
int check_mqqt_connected(void);
