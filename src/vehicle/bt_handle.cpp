#include "vehicle/bt_handle.h"

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include "core/iot_common.h"
#include "core/logging.h"
#include "core/sys_utils.h"
#include "core/tavi_common.h"
#include "vehicle/box_info.h"
#include "vehicle/frame_codec.h"
#include "vehicle/serial_line.h"
#include "vehicle/usart_mcu_handle.h"
#include "vehicle/vehicle_state.h"
#include "platform/plat_thread.h"

namespace {

using Handler = int (*)(const uint8_t *, int);

struct MsgEntry {
    uint16_t id;
    Handler fn;
};

constexpr size_t kFrameBuf = 300;  // any MCU-line frame (<= 255) plus room
constexpr size_t kBleMaxFrame = 255;  // the package's length byte

// ---- app-initialised mark, MAC cache, message pool -------------------------------

std::atomic<int> g_app_init{0};

// Detached threads wait on these until the process ends: they are made once
// and never destroyed, so exit cannot pull them from under a waiter.
struct MacCache {
    std::mutex mtx;
    std::condition_variable cv;
    uint8_t mac[6] = {};
    uint64_t seq = 0;  // bumped by every MAC answer
};
MacCache &mac_cache() {
    static MacCache *c = new MacCache;
    return *c;
}

constexpr size_t kBtSlots = 4;
constexpr size_t kBtSlotSize = 47;
struct BtSlot {
    int state = 0;  // 0 free, 2 ready
    uint64_t seq = 0;  // arrival number: the thread serves the oldest first
    size_t len = 0;
    uint8_t data[kBtSlotSize] = {};
};
struct BtPool {
    std::mutex mtx;
    std::condition_variable cv;
    BtSlot slots[kBtSlots];
    uint64_t next_seq = 1;
};
BtPool &bt_pool() {
    static BtPool *p = new BtPool;
    return *p;
}
std::atomic<bool> g_bt_thread_started{false};

// ---- small helpers --------------------------------------------------------------

bool updating() { return get_ota_mode() != 0; }

size_t payload_len(const uint8_t *f, int len) { return frame_payload_avail(f, len); }

// The same frame with new addresses (and optionally id and payload length) and a fresh CRC.
size_t readdress(const uint8_t *f, int len, uint8_t dst, uint8_t src, uint16_t id, size_t max_payload, uint8_t *out,
                 size_t cap) {
    size_t n = payload_len(f, len);
    if (n > max_payload) n = max_payload;
    return build_orlin_frame(dst, src, id, f + 7, n, out, cap);
}

// Answer from the box: same id, addresses swapped, back through a BLE package.
void answer(const uint8_t *f, const uint8_t *payload, size_t n) {
    uint8_t out[kFrameBuf];
    size_t len = build_orlin_frame(f[2], f[1], frame_msg_id(f), payload, n, out, sizeof out);
    if (len == 0) {
        printf("%d/%s answer of %zu bytes does not fit\n", __LINE__, __func__, n);
        return;
    }
    post_BlePackageProtocol(out, static_cast<int>(len));
}

void answer2(const uint8_t *f, uint8_t b0, uint8_t b1) {
    const uint8_t p[2] = {b0, b1};
    answer(f, p, 2);
}

// Rule A: the MCU answers this one.  A read goes on to the MCU, source and id
// unchanged; the MCU answers the requester directly.
int rule_a(const uint8_t *f, int len) {
    if (!frame_is_read(f, len)) return 0;
    uint8_t out[32];
    size_t n = build_orlin_frame(NODE_MCU, f[2], frame_msg_id(f), nullptr, 0, out, sizeof out);
    if (n) dev_send_to_bluetooth(out, static_cast<int>(n));
    return 0;
}

// ---- local message table ----------------------------------------------------------

int handle_acc_io_status(const uint8_t *f, int len) { return rule_a(f, len); }

int handle_working_mode(const uint8_t *f, int len) {
    if (updating()) return -1;
    if (frame_is_read(f, len)) {
        answer2(f, static_cast<uint8_t>(get_workingMode()), 0x00);
        return 0;
    }
    uint8_t b = f[7];
    set_workingMode(b ? 1 : 0);
    answer2(f, b, 0x00);
    return 0;
}

int handle_imei_msg(const uint8_t *f, int len) {
    if (updating() || !frame_is_read(f, len)) return -1;
    char imei[32] = {0};
    int n = get_imei_text(imei);
    if (n < 10) {
        printf("IMEI get failed \r");
        return 0;
    }
    answer(f, reinterpret_cast<const uint8_t *>(imei), static_cast<size_t>(n));
    return 0;
}

int handle_model_msg(const uint8_t *f, int len) {
    if (!frame_is_read(f, len)) return 0;
    answer(f, reinterpret_cast<const uint8_t *>("KBox40"), 6);
    return 0;
}

int handle_test_mode(const uint8_t *f, int len) {
    if (updating()) return -1;
    printf("## handle_test_mode  \r");
    if (frame_is_read(f, len)) {
        answer2(f, static_cast<uint8_t>(get_TestMode()), 0x00);
        return 0;
    }
    uint8_t b = f[7];
    // A commissioned bike is not put back into test mode from the phone.
    if (get_workingMode() == 1) {
        answer2(f, 0x00, 0x00);
        return 0;
    }
    set_TestMode(b ? 1 : 0);
    answer2(f, b, 0x00);
    return 0;
}

// A broker the box could never reach would take the recovery profile down with
// it: only a plausible host and port are stored.
bool valid_broker(const uint8_t *p, size_t n, char *host, size_t host_cap, int *port) {
    size_t colon = n;
    for (size_t i = 0; i < n; ++i) {
        if (p[i] == ':') {
            colon = i;
            break;
        }
    }
    if (colon == n || colon == 0 || colon > 63 || colon >= host_cap) return false;
    for (size_t i = 0; i < colon; ++i) {
        if (p[i] < 0x21 || p[i] > 0x7E) return false;
    }
    size_t digits = n - colon - 1;
    if (digits == 0 || digits > 5) return false;
    long v = 0;
    for (size_t i = colon + 1; i < n; ++i) {
        if (p[i] < '0' || p[i] > '9') return false;
        v = v * 10 + (p[i] - '0');
    }
    if (v < 1 || v > 65535) return false;
    memcpy(host, p, colon);
    host[colon] = '\0';
    *port = static_cast<int>(v);
    return true;
}

int handle_url_msg(const uint8_t *f, int len) {
    if (updating()) return -1;
    mqtt_conf_t conf{};
    if (!get_mqttinfo(&conf)) {
        answer2(f, 0x02, 0x00);
        return 0;
    }
    char current[96];
    int cn = snprintf(current, sizeof current, "%.63s:%u", conf.hostip, static_cast<unsigned>(conf.port));
    if (cn < 0) cn = 0;
    if (static_cast<size_t>(cn) >= sizeof current) cn = sizeof current - 1;
    size_t n = payload_len(f, len);
    if (n == 0) {
        answer(f, reinterpret_cast<const uint8_t *>(current), static_cast<size_t>(cn));
        return 0;
    }
    const uint8_t *p = f + 7;
    if (n == static_cast<size_t>(cn) && memcmp(p, current, n) == 0) {
        printf("No_need_to_switch \r");
        answer(f, p, n);
        return 0;
    }
    printf("ready_to_switch \r");
    char host[64];
    int port = 0;
    if (!valid_broker(p, n, host, sizeof host, &port)) {
        printf("%d/%s broker refused\n", __LINE__, __func__);
        answer2(f, 0x02, 0x00);
        return 0;
    }
    mqtt_conf_t official{};
    const int had_official = get_official_mqttinfo(&official);
    if (!set_domain_name(host) || !set_port_number(port) || !set_official_domain_name(host) ||
        !set_official_port_number(port)) {
        // Half a switch would leave the two profiles disagreeing: put back
        // what was there and say it failed.
        set_domain_name(conf.hostip);
        set_port_number(conf.port);
        if (had_official) {
            set_official_domain_name(official.hostip);
            set_official_port_number(official.port);
        }
        printf("%d/%s broker not stored\n", __LINE__, __func__);
        answer2(f, 0x02, 0x00);
        return 0;
    }
    answer(f, p, n);
    printf("ready to restart \r");
    reboot_system_now();
    return 0;
}

int handle_sn_msg(const uint8_t *f, int len) {
    if (updating() || !frame_is_read(f, len)) return -1;
    char sn[64];
    size_t n = box_get_sn(sn, sizeof sn);
    printf("SN_buf %s\r\n", sn);
    if (n == 0) return 0;  // an empty answer would read as a request
    answer(f, reinterpret_cast<const uint8_t *>(sn), n);
    return 0;
}

int handle_app_version(const uint8_t *f, int len) {
    if (updating() || !frame_is_read(f, len)) return -1;
    const uint8_t p[4] = {0x01, 0x02, 0x02, 0x1C};
    answer(f, p, 4);
    return 0;
}

int handle_iccid_msg(const uint8_t *f, int len) {
    if (updating() || !frame_is_read(f, len)) return -1;
    char iccid[64];
    size_t n = box_get_iccid(iccid, sizeof iccid);
    if (n < 5) return 0;
    answer(f, reinterpret_cast<const uint8_t *>(iccid), n);
    return 0;
}

int handle_lte_network(const uint8_t *f, int len) {
    if (updating() || !frame_is_read(f, len)) return -1;
    const uint8_t b = static_cast<uint8_t>(box_get_lte_data_status());
    answer(f, &b, 1);
    return 0;
}

int handle_4g_signal(const uint8_t *f, int len) {
    if (updating() || !frame_is_read(f, len)) return -1;
    uint8_t csq = box_get_lte_csq();
    printf("4g_signal   --  %d   --- \r\n", csq);
    answer(f, &csq, 1);
    return 0;
}

int handle_gps_signal(const uint8_t *f, int len) {
    if (updating() || !frame_is_read(f, len)) return -1;
    box_position_t pos{};
    box_get_position(&pos);
    uint16_t v = static_cast<uint16_t>(pos.snr);
    printf("gps_signal   --  %d   --- \r\n", v);
    answer2(f, static_cast<uint8_t>(v & 0xFF), static_cast<uint8_t>(v >> 8));
    return 0;
}

int handle_gps_longitude_latitude(const uint8_t *f, int len) {
    if (updating() || !frame_is_read(f, len)) return -1;
    box_position_t pos{};
    if (box_get_position(&pos) != 1) {
        printf("gps_info failed \r");
        pos = box_position_t{};
    }
    uint8_t p[8];
    put_le32(p, static_cast<int32_t>(pos.longitude * 1000000.0));
    put_le32(p + 4, static_cast<int32_t>(pos.latitude * 1000000.0));
    answer(f, p, 8);
    return 0;
}

// The phone app reads the accelerometer under 0xF40C (the lock line and the
// factory tool read the gyroscope under the same id): the app relies on it.
int handle_gyroscope(const uint8_t *f, int len) {
    if (updating() || !frame_is_read(f, len)) return -1;
    iot_sensor_data_t s{};
    int ret = dev_get_gsensor_info(&s);
    double x = s.x, y = s.y, z = s.z;
    printf("%d.g_sensor:%d:%.5f/%.5f/%.5f-%.5f\n", __LINE__, ret, x, y, z, std::sqrt(x * x + y * y + z * z));
    uint8_t p[12];
    put_le32(p, frame_scaled(x));
    put_le32(p + 4, frame_scaled(y));
    put_le32(p + 8, frame_scaled(z));
    answer(f, p, 12);
    return 0;
}

int handle_ble_app_version(const uint8_t *f, int len) {
    if (updating()) return -1;
    if (frame_is_read(f, len)) return rule_a(f, len);
    mcu_com_answer(f, len);
    return 0;
}

int handle_ble_mac(const uint8_t *f, int len) { return updating() ? -1 : rule_a(f, len); }
int handle_ble_connect(const uint8_t *f, int len) { return updating() ? -1 : rule_a(f, len); }
int handle_battery_charging(const uint8_t *f, int len) { return updating() ? -1 : rule_a(f, len); }
int handle_ble_eeprom(const uint8_t *f, int len) { return updating() ? -1 : rule_a(f, len); }

int handle_gd_app_version(const uint8_t *f, int len) {
    if (updating() || !frame_is_read(f, len)) return updating() ? -1 : 0;
    uint8_t out[32];
    size_t n = build_orlin_frame(NODE_GD32, f[2], frame_msg_id(f), nullptr, 0, out, sizeof out);
    if (n) dev_send_to_GD32(out, static_cast<int>(n));
    return 0;
}

void set_pack_voltage(iot_battery_t &b, const void *ctx) { b.pack_voltage = *static_cast<const uint16_t *>(ctx); }
void set_main_status(iot_battery_t &b, const void *ctx) { b.main_battery_status = *static_cast<const uint8_t *>(ctx); }

int handle_battery_voltage(const uint8_t *f, int len) {
    if (updating()) return -1;
    if (frame_is_read(f, len)) return rule_a(f, len);
    if (payload_len(f, len) < 2) return -1;
    // The MCU sends the voltage high byte first.
    const uint16_t v = static_cast<uint16_t>((f[7] << 8) | f[8]);
    vs_update_iot_battery(set_pack_voltage, &v);
    printf("iot_battery_pack_voltage %u\r\n", v);
    return 0;
}

// Only the MCU knows the main battery; the app reads what it said last.
int handle_main_battery_status(const uint8_t *f, int len) {
    if (f[2] == NODE_MCU && !frame_is_read(f, len)) {
        const uint8_t b = f[7];
        vs_update_iot_battery(set_main_status, &b);
        mcu_com_answer(f, len);
        return 0;
    }
    if (f[2] == NODE_APP) {
        answer2(f, get_iot_battery_info().main_battery_status, 0x00);
        return 0;
    }
    return 0;
}

// Searched in this order; the first match wins.
const MsgEntry kLocalTable[] = {
    {0xF403, handle_acc_io_status},
    {0xF401, handle_working_mode},
    {0xF400, handle_imei_msg},
    {0xF41B, handle_model_msg},
    {0xF41D, handle_test_mode},
    {0xF42E, handle_url_msg},
    {0xF417, handle_sn_msg},
    {0xF418, handle_app_version},
    {0xF408, handle_iccid_msg},
    {0xF419, handle_lte_network},
    {0xF40B, handle_4g_signal},
    {0xF409, handle_gps_signal},
    {0xF40A, handle_gps_longitude_latitude},
    {0xF40C, handle_gyroscope},
    {0xF413, handle_ble_app_version},
    {0xF414, handle_ble_mac},
    {0xF416, handle_ble_connect},
    {0xF40D, handle_gd_app_version},
    {0xF402, handle_battery_voltage},
    {0xF404, handle_main_battery_status},
    {0xF41A, handle_battery_charging},
    {0xF415, handle_ble_eeprom},
};
static_assert(sizeof kLocalTable / sizeof kLocalTable[0] == 22, "22 entries");

// A frame whose length field disagrees with what arrived is not trusted.
bool well_formed(const uint8_t *f, int len) {
    return f != nullptr && len >= static_cast<int>(kFrameOverhead) && len <= static_cast<int>(kFrameBuf) &&
           frame_payload_len(f) + kFrameOverhead == static_cast<size_t>(len);
}

// ---- Bluetooth message thread -------------------------------------------------------

void bt_msg_loop() {
    for (;;) {
        uint8_t msg[kBtSlotSize];
        size_t n = 0;
        BtPool &pool = bt_pool();
        {
            std::unique_lock<std::mutex> lk(pool.mtx);
            // Wakes at least every 2 s even when nobody signals.
            pool.cv.wait_for(lk, std::chrono::seconds(2), [&pool] {
                for (const BtSlot &s : pool.slots)
                    if (s.state == 2) return true;
                return false;
            });
            // A slow callback lets the phone's messages pile up in whatever
            // slots are free: the lowest slot is not the oldest message.
            BtSlot *oldest = nullptr;
            for (BtSlot &s : pool.slots) {
                if (s.state == 2 && (oldest == nullptr || s.seq < oldest->seq)) oldest = &s;
            }
            if (oldest != nullptr) {
                n = oldest->len;
                memcpy(msg, oldest->data, n);
                oldest->state = 0;
            }
        }
        if (n == 0) continue;
        cb_bt_msg(msg, static_cast<int>(n));
    }
}

// 1 queued, 0 dropped (too long, or every slot taken).
int bt_msg_push(const uint8_t *data, size_t n) {
    if (data == nullptr || n == 0 || n > kBtSlotSize) {
        printf("%d/%s bt msg of %zu bytes dropped\n", __LINE__, __func__, n);
        return 0;
    }
    BtPool &pool = bt_pool();
    std::lock_guard<std::mutex> lk(pool.mtx);
    for (BtSlot &s : pool.slots) {
        if (s.state == 0) {
            memcpy(s.data, data, n);
            s.len = n;
            s.seq = pool.next_seq++;
            s.state = 2;
            pool.cv.notify_one();
            return 1;
        }
    }
    printf("%d/%s bt msg pool full\n", __LINE__, __func__);
    return 0;
}

int send_caret(uint8_t cmd, const uint8_t *data, size_t n) {
    uint8_t out[256];
    size_t len = build_caret_frame(cmd, data, n, out, sizeof out);
    if (len == 0) return 0;
    dev_send_to_bluetooth(out, static_cast<int>(len));
    return 1;
}

constexpr uint8_t kCaretMac = 0x0A;
constexpr uint8_t kCaretData = 0x09;

}  // namespace

// ---- start-up --------------------------------------------------------------------------

int mcu_bt_init(void) {
    {
        BtPool &pool = bt_pool();
        std::lock_guard<std::mutex> lk(pool.mtx);
        for (BtSlot &s : pool.slots) s = BtSlot{};
    }
    if (!g_bt_thread_started.exchange(true)) plat_thread("bt-msg", bt_msg_loop).detach();
    {
        MacCache &c = mac_cache();
        std::lock_guard<std::mutex> lk(c.mtx);
        memset(c.mac, 0, sizeof c.mac);
    }
    get_bt_mac_info_cmd();
    return 0;
}

int init_tx510(void) { return 0; }

void app_init_success(void) {
    g_app_init.store(1);
    printf("%d/%s app init success\n", __LINE__, __func__);
}

int get_app_init_success(void) { return g_app_init.load(); }

void clear_app_init_success(void) { g_app_init.store(0); }

// ---- routing ----------------------------------------------------------------------------

int dev_bluetooth_recv_handler(const unsigned char *frame, int len) {
    if (!well_formed(frame, len)) return -1;
    dhex("--->>> ble_recv <<<---", frame, len);
    if (frame[1] == NODE_BOX) return local_HostCore_frame(frame, len);
    return downlink_app_frame(frame, len);
}

int local_HostCore_frame(const unsigned char *frame, int len) {
    if (!well_formed(frame, len)) return -1;
    const uint16_t id = frame_msg_id(frame);
    for (const MsgEntry &e : kLocalTable) {
        if (e.id == id) return e.fn(frame, len);
    }
    return 0;
}

int downlink_app_frame(const unsigned char *f, int len) {
    if (!well_formed(f, len)) return -1;
    uint8_t out[kFrameBuf];
    const uint16_t id = frame_msg_id(f);
    if (f[1] == NODE_APP) {
        // The app reads the box supply as two bytes.
        size_t n = readdress(f, len, NODE_APP, NODE_BOX, id, id == 0xF402 ? 2 : kFrameBuf, out, sizeof out);
        if (n) post_BlePackageProtocol(out, static_cast<int>(n));
        return 0;
    }
    if (get_factory_mode()) {
        size_t n = readdress(f, len, f[1], NODE_BOX, id, kFrameBuf, out, sizeof out);
        if (n) dev_send_to_ECU(out, static_cast<int>(n));
        return 0;
    }
    printf("## ble_msg_id =%x \r\n", id);
    if (id == 0xF103 || id == 0xF104) {
        // The app's display control and status request, in the bike's words.
        size_t n = readdress(f, len, NODE_MOTOR, NODE_BOX, id == 0xF103 ? 0xF105 : 0xF106, kFrameBuf, out, sizeof out);
        if (n) dev_send_to_GD32(out, static_cast<int>(n));
        return 0;
    }
    dev_send_to_GD32(f, len);
    return 0;
}

size_t app_display_translate(const uint8_t *f, int len, uint8_t *out, size_t cap) {
    if (!well_formed(f, len) || out == nullptr) return 0;
    const uint16_t id = frame_msg_id(f);
    const size_t n = payload_len(f, len);
    const uint8_t *in = f + 7;
    if (id == 0xF105) {
        if (n < 2) return 0;
        uint8_t p[kFrameBuf] = {};
        p[0] = static_cast<uint8_t>((in[0] & 0x0F) | ((in[0] & 0x20) >> 1) | ((in[1] & 0x01) << 5));
        size_t r = build_orlin_frame(NODE_APP, NODE_DISPLAY, 0xF103, p, n, out, cap);
        if (r) dhex("--->>> APP_CTRL_F103 <<<---", out, static_cast<int>(r));
        return r;
    }
    if (id == 0xF106) {
        if (n < 9) return 0;
        uint8_t p[10] = {};
        p[0] = in[8] & 0x7F;
        p[2] = static_cast<uint8_t>(in[2] & ~0x23);
        p[3] = in[3];
        p[4] = in[0] & 0x7F;
        p[5] = in[5];
        p[6] = in[6];
        p[7] = in[7] & 0x03;
        size_t r = build_orlin_frame(NODE_APP, NODE_DISPLAY, 0xF104, p, sizeof p, out, cap);
        if (r) dhex("--->>> APP_STATUS_F104 <<<---", out, static_cast<int>(r));
        return r;
    }
    return 0;
}

int router_ble_data(const unsigned char *f, int len) {
    if (!well_formed(f, len)) return -1;
    // The box never echoes its own frames.
    if (f[2] == NODE_BOX) return 0;
    const uint16_t id = frame_msg_id(f);
    uint8_t out[kFrameBuf];
    size_t n = 0;
    if (id == 0xF105 || id == 0xF106) {
        // The display's frames reach the app in the app's words; this is the
        // one place every frame for the app passes.
        if (updating()) return -1;
        n = app_display_translate(f, len, out, sizeof out);
        if (n == 0) return 0;
    } else if (id == 0xF40D && !frame_is_read(f, len)) {
        n = readdress(f, len, f[1], NODE_BOX, id, kFrameBuf, out, sizeof out);
    } else {
        return post_BlePackageProtocol(f, len) ? 0 : -1;
    }
    if (n) post_BlePackageProtocol(out, static_cast<int>(n));
    return 0;
}

size_t ble_package_build(const uint8_t *frame, size_t len, uint8_t *out, size_t cap) {
    if (frame == nullptr || out == nullptr || len < kFrameOverhead || len > kBleMaxFrame || len + 8 > cap) return 0;
    out[0] = 'A';
    out[1] = 'T';
    out[2] = '>';
    out[3] = 0x00;
    out[4] = 0x05;
    out[5] = static_cast<uint8_t>(len);
    memcpy(out + 6, frame, len);
    out[6 + len] = 0x0D;
    out[7 + len] = 0x0A;
    return len + 8;
}

int post_BlePackageProtocol(const unsigned char *frame, int len) {
    uint8_t pkg[kBleMaxFrame + 8];
    size_t n = len > 0 ? ble_package_build(frame, static_cast<size_t>(len), pkg, sizeof pkg) : 0;
    if (n == 0) {
        // Its length byte could not say how long it is.
        printf("%d/%s frame of %d bytes not sent to the app\n", __LINE__, __func__, len);
        return 0;
    }
    dev_send_to_bluetooth(pkg, static_cast<int>(n));
    return 1;
}

// ---- polling -------------------------------------------------------------------------------

void communication_with_ble(void) {
    if (get_factory_mode() || get_ota_mode()) {
        line_sleep_ms(1000);
        return;
    }
    static const uint16_t kReads[2] = {0xF402, 0xF404};
    for (uint16_t id : kReads) {
        if (get_factory_mode() || get_ota_mode()) return;
        uint8_t req[16];
        size_t n = build_orlin_frame(NODE_MCU, NODE_BOX, id, nullptr, 0, req, sizeof req);
        dev_send_to_bluetooth(req, static_cast<int>(n));
        if (!line_sleep_ms(5000)) return;
    }
}

// ---- caret frames --------------------------------------------------------------------------

void handle_mcu_caret_frame(const unsigned char *frame, int len) {
    if (frame == nullptr || len < 6 || frame[0] != kCaretStart || frame[2] != len) return;
    const uint8_t cmd = frame[3];
    if (cmd == kCaretMac) {
        // The MAC sits at offset 5..10; a shorter answer carries none.
        if (len < 11 + 2) {
            printf("%d/%s short mac answer %d\n", __LINE__, __func__, len);
            return;
        }
        MacCache &c = mac_cache();
        std::lock_guard<std::mutex> lk(c.mtx);
        memcpy(c.mac, frame + 5, 6);
        ++c.seq;
        c.cv.notify_all();
        return;
    }
    if (cmd == kCaretData) bt_msg_push(frame + 4, static_cast<size_t>(len) - 6);
}

int get_bt_mac_info_cmd(void) {
    const uint8_t zeros[7] = {};
    return send_caret(kCaretMac, zeros, sizeof zeros);
}

void disconnect_bt_device(void) {
    const uint8_t d = 0x01;
    send_caret(0xA2, &d, 1);
}

void reboot_bt_device(void) {
    const uint8_t d = 0x02;
    send_caret(0x54, &d, 1);
}

int forward_date_lte2bt(const uint8_t *data, int len) {
    if (data == nullptr || len <= 0 || len > 200) return 0;
    return send_caret(kCaretData, data, static_cast<size_t>(len));
}

int get_bt_mac_info(uint8_t *mac6) {
    if (mac6 == nullptr) return 0;
    MacCache &c = mac_cache();
    std::unique_lock<std::mutex> lk(c.mtx);
    for (int i = 0; i < 3 && c.mac[0] == 0 && c.mac[1] == 0 && c.mac[2] == 0; ++i) {
        const uint64_t seq = c.seq;
        lk.unlock();
        get_bt_mac_info_cmd();
        lk.lock();
        c.cv.wait_for(lk, std::chrono::seconds(1), [&c, seq] { return c.seq != seq; });
    }
    memcpy(mac6, c.mac, 6);
    return (c.mac[0] | c.mac[1] | c.mac[2]) != 0 ? 1 : 0;
}

int iot_get_bt_mac(uint8_t *mac6) { return get_bt_mac_info(mac6); }

// ---- reads over the MCU line ----------------------------------------------------------------

int get_ble_software_version(uint8_t *out4) {
    if (out4 == nullptr) return 0;
    uint8_t req[16];
    size_t rl = build_orlin_frame(NODE_MCU, NODE_BOX, 0xF413, nullptr, 0, req, sizeof req);
    uint8_t ans[kAnswerSize];
    for (int i = 0; i < 3; ++i) {
        memset(ans, 0, sizeof ans);
        int n = request_mcu_data(req, static_cast<int>(rl), 0, ans);
        if (n > 0) {
            size_t have = payload_len(ans, n);
            memcpy(out4, ans + 7, have < 4 ? have : 4);
            return 1;
        }
        printf("not response \r");
    }
    return 0;
}

int ping_ble_status(void) {
    uint8_t v[4];
    return get_ble_software_version(v);
}

void set_power_key_line(int off) {
    static const uint8_t kKeyOn[] = {0x02, 0x07, 0x06, 0x03, 0xF4, 0x02, 0x00, 0x01, 0x00, 0xEA, 0xF1, 0x03};
    static const uint8_t kKeyOff[] = {0x02, 0x07, 0x06, 0x03, 0xF4, 0x02, 0x00, 0x00, 0x00, 0xDB, 0xC2, 0x03};
    if (off) {
        dev_send_to_bluetooth(kKeyOff, sizeof kKeyOff);
    } else {
        dev_send_to_bluetooth(kKeyOn, sizeof kKeyOn);
    }
}
