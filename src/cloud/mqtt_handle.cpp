#include "cloud/mqtt_handle.h"

#include <atomic>

namespace {
std::atomic<mqtt_recv_cb_t> mqtt_callback{nullptr};
}  // namespace

// No client yet: a connection attempt cannot be started.
int hostcore_mqtt_connect(mqtt_conf_t *) { return -1; }

int hostcore_mqtt_disconnect(void) { return 0; }

int hostcore_mqtt_pub(const unsigned char *, int) { return 0; }

int hostcore_mqtt_post(const char *, const char *, int) { return 0; }

int hostcore_mqtt_recv_register(mqtt_recv_cb_t cb) {
    mqtt_callback.store(cb);
    return 0;
}

mqtt_recv_cb_t get_mqtt_callback(void) { return mqtt_callback.load(); }

int init_mqtt(void) { return 0; }

int check_mqqt_connected(void) { return 0; }
