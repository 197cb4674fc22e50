#include "core/iot_common.h"

#include <atomic>

#include "cloud/mqtt_handle.h"
#include "core/tel_agent_main.h"
#include "sensor/sensor_handle.h"
#include "vehicle/bt_handle.h"
#include "vehicle/usart_mcu_handle.h"
#include "vehicle/usart_ecu_handle.h"
#include "vehicle/usart_lock_handle.h"

const dev_hostcore_t dev_hostcore = {
    hostcore_init,
    hostcore_deinit,
    hostcore_mqtt_connect,
    hostcore_mqtt_disconnect,
    hostcore_mqtt_pub,
    hostcore_mqtt_post,
    hostcore_mqtt_recv_register,
    write_data_to_bluetooth,
    write_data_to_GD,
    write_data_to_ecu,
    hostcore_bluetooth_recv_register,
    hostcore_GD32_recv_register,
    hostcore_ECU_recv_register,
    hostcore_get_gsensor_info,
    hostcore_get_gyroscope_info,
};

namespace {

// Registered once before any thread starts; atomic so that a late reader on
// another thread never races the store.
std::atomic<const dev_hostcore_t *> g_table{nullptr};

template <typename Slot, typename... Args>
int call_slot(Slot dev_hostcore_t::*slot, Args... args) {
    const dev_hostcore_t *t = g_table.load(std::memory_order_acquire);
    if (t == nullptr || t->*slot == nullptr) return 0;
    return (t->*slot)(args...);
}

}  // namespace

int dev_hostcore_register(const dev_hostcore_t *table) {
    const dev_hostcore_t *expected = nullptr;
    return g_table.compare_exchange_strong(expected, table, std::memory_order_acq_rel) ? 1 : 0;
}

int dev_hostcore_unregister(void) {
    dev_hostcore_deinit();
    g_table.store(nullptr, std::memory_order_release);
    return 1;
}

int dev_hostcore_init(void) { return call_slot(&dev_hostcore_t::init); }
int dev_hostcore_deinit(void) { return call_slot(&dev_hostcore_t::deinit); }
int dev_mqtt_connect(mqtt_conf_t *conf) { return call_slot(&dev_hostcore_t::mqtt_connect, conf); }
int dev_mqtt_disconnect(void) { return call_slot(&dev_hostcore_t::mqtt_disconnect); }
int dev_mqtt_pub(const unsigned char *data, int len) { return call_slot(&dev_hostcore_t::mqtt_pub, data, len); }
int dev_mqtt_post(const char *topic, const char *text, int len) {
    return call_slot(&dev_hostcore_t::mqtt_post, topic, text, len);
}
int dev_mqtt_recv_register(mqtt_recv_cb_t cb) { return call_slot(&dev_hostcore_t::mqtt_recv_register, cb); }
int dev_send_to_bluetooth(const unsigned char *data, int len) {
    return call_slot(&dev_hostcore_t::send_to_bluetooth, data, len);
}
int dev_send_to_GD32(const unsigned char *data, int len) { return call_slot(&dev_hostcore_t::send_to_GD32, data, len); }
int dev_send_to_ECU(const unsigned char *data, int len) { return call_slot(&dev_hostcore_t::send_to_ECU, data, len); }
int dev_bluetooth_recv_register(dev_recv_cb_t cb) { return call_slot(&dev_hostcore_t::bluetooth_recv_register, cb); }
int dev_GD32_recv_register(dev_recv_cb_t cb) { return call_slot(&dev_hostcore_t::GD32_recv_register, cb); }
int dev_ECU_recv_register(dev_recv_cb_t cb) { return call_slot(&dev_hostcore_t::ECU_recv_register, cb); }
int dev_get_gsensor_info(iot_sensor_data_t *out) { return call_slot(&dev_hostcore_t::get_gsensor_info, out); }
int dev_get_gyroscope_info(iot_sensor_data_t *out) { return call_slot(&dev_hostcore_t::get_gyroscope_info, out); }
