#include "core/iot_common.h"

#include <atomic>

#include "telagent/iotsdk.h"

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

// ---- host callbacks ------------------------------------------------------

namespace {
// Set once by the host, read from link threads.
std::atomic<void (*)(const unsigned char *, int)> g_bt_msg_cb{nullptr};
std::atomic<void (*)(const char *, const char *)> g_event_cb{nullptr};
std::atomic<iot_link_msg_cb_t> g_link_cb{nullptr};
}  // namespace

extern "C" TELAGENT_API int init_cb(const iot_host_cb_t *cb) {
    g_bt_msg_cb.store(cb ? cb->bt_msg : nullptr);
    g_event_cb.store(cb ? cb->event_msg : nullptr);
    return 1;
}

void cb_bt_msg(const unsigned char *msg, int len) {
    auto fn = g_bt_msg_cb.load();
    if (msg != nullptr && fn != nullptr) fn(msg, len);
}

extern "C" TELAGENT_API int init_link_cb(iot_link_msg_cb_t cb) {
    g_link_cb.store(cb);
    return 1;
}

int cb_link_msg(int type, const unsigned char *f, int len) {
    auto fn = g_link_cb.load();
    // Bus frame 02 dst src id(LE) n(LE) payload CRC 03: id 0x0007 to the box,
    // chunk (08) or completion (10), and not a bootloader's answer (from 0xAA).
    if (fn == nullptr || f == nullptr || len < 11 || f[0] != 0x02 || f[1] != 0x06 || f[2] == 0xAA || f[3] != 0x07 ||
        f[4] != 0x00 || (f[7] != 0x08 && f[7] != 0x10))
        return 0;
    fn(type, f, len);
    return 1;
}

void cb_event_msg(const char *name, const char *value) {
    auto fn = g_event_cb.load();
    if (name != nullptr && value != nullptr && fn != nullptr) fn(name, value);
}
