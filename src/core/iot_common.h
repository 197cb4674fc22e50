#pragma once
// Device-operations table: the one place through which the cloud side and the
// vehicle links reach each other.  Every module publishes and sends through the
// dev_* wrappers below, never by calling the link modules directly.

struct mqtt_conf_t;

// Motion sensor reading: x, y, z in physical units.
struct iot_sensor_data_t {
    float x;
    float y;
    float z;
};

// Cloud receive handler: topic, payload text, payload length.
typedef int (*mqtt_recv_cb_t)(const char *topic, const char *payload, int len);
// Vehicle-link receive handler: one frame and its length.
typedef int (*dev_recv_cb_t)(const unsigned char *frame, int len);

struct dev_hostcore_t {
    int (*init)(void);
    int (*deinit)(void);
    int (*mqtt_connect)(mqtt_conf_t *conf);
    int (*mqtt_disconnect)(void);
    int (*mqtt_pub)(const unsigned char *data, int len);
    int (*mqtt_post)(const char *topic, const char *text, int len);
    int (*mqtt_recv_register)(mqtt_recv_cb_t cb);
    int (*send_to_bluetooth)(const unsigned char *data, int len);
    int (*send_to_GD32)(const unsigned char *data, int len);
    int (*send_to_ECU)(const unsigned char *data, int len);
    int (*bluetooth_recv_register)(dev_recv_cb_t cb);
    int (*GD32_recv_register)(dev_recv_cb_t cb);
    int (*ECU_recv_register)(dev_recv_cb_t cb);
    int (*get_gsensor_info)(iot_sensor_data_t *out);
    int (*get_gyroscope_info)(iot_sensor_data_t *out);
};

// The library's own table, every slot filled (defined by the entry, which
// alone knows every subsystem).
extern const dev_hostcore_t dev_hostcore;

// 1 when stored; 0 when a table is already registered (the first one stays).
int dev_hostcore_register(const dev_hostcore_t *table);
// Calls the deinit slot, forgets the table; returns 1.
int dev_hostcore_unregister(void);

// Each wrapper calls its slot and returns the slot's result, or returns 0 and
// does nothing when no table is registered or the slot is empty.
int dev_hostcore_init(void);
int dev_hostcore_deinit(void);
int dev_mqtt_connect(mqtt_conf_t *conf);
int dev_mqtt_disconnect(void);
int dev_mqtt_pub(const unsigned char *data, int len);
int dev_mqtt_post(const char *topic, const char *text, int len);
int dev_mqtt_recv_register(mqtt_recv_cb_t cb);
int dev_send_to_bluetooth(const unsigned char *data, int len);
int dev_send_to_GD32(const unsigned char *data, int len);
int dev_send_to_ECU(const unsigned char *data, int len);
int dev_bluetooth_recv_register(dev_recv_cb_t cb);
int dev_GD32_recv_register(dev_recv_cb_t cb);
int dev_ECU_recv_register(dev_recv_cb_t cb);
int dev_get_gsensor_info(iot_sensor_data_t *out);
int dev_get_gyroscope_info(iot_sensor_data_t *out);

// Forward a Bluetooth message / an event to the host, when it asked for them
// (init_cb).
void cb_bt_msg(const unsigned char *msg, int len);
// Offers a frame that arrived on vehicle link `type` (0 bus port, 1 lock line,
// 2 Bluetooth) to the host's link handler (init_link_cb).  1 when it is a
// library image frame and a handler took it: the link does nothing more with it.
int cb_link_msg(int type, const unsigned char *frame, int len);
void cb_event_msg(const char *name, const char *value);
