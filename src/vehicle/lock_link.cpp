#include "vehicle/lock_link.h"
#include "core/tavi_common.h"

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "core/iot_common.h"
#include "core/iot_config.h"
#include "core/logging.h"
#include "core/sys_utils.h"
#include "gps/gps_handle.h"
#include "lte/lte_handle.h"
#include "vehicle/bt_handle.h"
#include "vehicle/bus_fields.h"
#include "vehicle/factory_test.h"
#include "vehicle/frame_codec.h"
#include "vehicle/serial_line.h"
#include "vehicle/usart_lock_handle.h"
#include "vehicle/usart_mcu_handle.h"
#include "vehicle/vehicle_state.h"

namespace {

using Handler = int (*)(const uint8_t *, int);

struct MsgEntry {
    uint16_t id;
    Handler fn;
};

// Searched in this order; the first match wins.
const MsgEntry kMsgTable[] = {
    {0x0001, handle_state},
    {0x0002, handle_softWareVersion},
    {0x0003, handle_bootVersion},
    {0x0004, handle_serialnumber},
    {0x0005, handle_hardwareVersion},
    {0x0006, handle_configHmiUartProtocol},
    {0x0007, handle_bootMessage},
    {0x0008, handle_bikeId},
    {0x0101, handle_nextServiceTurn},
    {0x010D, handle_odo},
    {0x0117, handle_supportLevel},
    {0x011B, handle_bikeServiceRequired},
    {0x011C, handle_wokenForLoraCh},
    {0x0120, handle_odoRange},
    {0x0121, handle_movementDetected},
    {0x070A, handle_batteryLevel},
    {0x090B, handle_rotationRpm},
    {0x1002, handle_error},
    {0xF105, handle_disp_ctrl},
    {0xF106, handle_disp_status},
    {0xF107, handle_sys_status},
    {0x0711, handle_motor_pwr_out},
    {0x0710, handle_human_pwr},
    {0x011A, handle_cmd_motor_lock},
    {0x0119, handle_cmd_motor_light},
    {0xF400, handle_cmd_imei_msg},
    {0xF401, handle_cmd_working_mode},
    {0xF403, handle_cmd_acc_io_status},
    {0xF41B, handle_cmd_model_msg},
    {0xF41C, handle_cmd_branch},
    {0xF41D, handle_cmd_test_mode},
    {0xF41E, handle_cmd_url},
    {0xF417, handle_cmd_sn_msg},
    {0xF418, handle_cmd_app_version},
    {0xF408, handle_cmd_iccid_msg},
    {0xF419, handle_cmd_lte_network},
    {0xF40B, handle_cmd_4g_signal},
    {0xF409, handle_cmd_gps_signal},
    {0xF40A, handle_cmd_gps_longitude_latitude},
    {0xF40C, handle_cmd_gyroscope},
    {0xF424, handle_cmd_gsensor},
    {0xF413, handle_cmd_ble_app_version},
    {0xF414, handle_cmd_ble_mac},
    {0xF416, handle_cmd_ble_connect},
    {0xF415, handle_cmd_ble_eeprom},
    {0xF40D, handle_cmd_gd_app_version},
    {0xF40E, handle_cmd_gd_boot_version},
    {0xF402, handle_cmd_battery_voltage},
    {0xF41A, handle_cmd_battery_charging},
    {0xF504, handle_battery_temperature},
    {0xF505, handle_battery_pack_voltage},
    {0xF506, handle_battery_real_current},
    {0xF507, handle_battery_soc},
    {0xF508, handle_left_capacity},
    {0xF523, handle_main_battery_charging},
    {0xFF12, handle_slave_master_mode},
    {0xF420, handle_satellites_count},
    {0xF425, handle_pcba_can_test},
};
static_assert(sizeof kMsgTable / sizeof kMsgTable[0] == 58, "58 entries");

const uint8_t kPollDst[30] = {0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x05,
                              0x05, 0x05, 0x05, 0x05, 0x05, 0x05, 0x15, 0x15, 0x15, 0x15,
                              0x15, 0x15, 0x15, 0x25, 0x25, 0x25, 0x25, 0x25, 0x25, 0x25};
const uint16_t kPollIds[30] = {0x010D, 0x1002, 0x0117, 0x0711, 0x0710, 0x0120, 0x011A, 0x0119, 0xF106, 0xF504,
                               0xF505, 0xF506, 0xF507, 0xF508, 0xF523, 0x1002, 0xF507, 0xF504, 0xF505, 0xF506,
                               0xF508, 0xF523, 0x1002, 0xF507, 0xF504, 0xF505, 0xF506, 0xF508, 0xF523, 0x1002};

constexpr int kPowerIdle = 3;
std::atomic<int> g_power_expect{kPowerIdle};

size_t payload_len(const uint8_t *f, int len) { return frame_payload_avail(f, len); }

bool updating() { return get_ota_mode() != 0; }

// Answer to a query: same id, destination and source swapped, back on the lock line.
void answer(const uint8_t *f, const uint8_t *payload, size_t n) {
    uint8_t out[64];
    size_t len = build_orlin_frame(f[2], f[1], frame_msg_id(f), payload, n, out, sizeof out);
    if (len) dev_send_to_GD32(out, static_cast<int>(len));
}

// The same frame with new addresses and a fresh CRC.
size_t readdress(const uint8_t *f, int len, uint8_t dst, uint8_t src, uint8_t *out, size_t cap) {
    size_t n = payload_len(f, len);
    return build_orlin_frame(dst, src, frame_msg_id(f), f + 7, n, out, cap);
}

// Relay rule R: reads go to the GD32 board, answers to the requester.
int relay_to_gd32(const uint8_t *f, int len) {
    uint8_t out[kAnswerSize];
    if (payload_len(f, len) == 0) {
        size_t n = readdress(f, len, NODE_GD32, f[2], out, sizeof out);
        if (n) dev_send_to_GD32(out, static_cast<int>(n));
        return 0;
    }
    if (f[1] == NODE_BOX) {
        if (lock_com_pending()) lock_com_answer(f, len);
        return 0;
    }
    if (f[1] == NODE_APP) return 0;
    size_t n = readdress(f, len, f[1], NODE_BOX, out, sizeof out);
    if (n == 0) return 0;
    if (get_factory_mode()) {
        dev_send_to_ECU(out, static_cast<int>(n));
    } else {
        dev_send_to_GD32(out, static_cast<int>(n));
    }
    return 0;
}

// Relay rule M: reads go to the MCU; the key line and charging commands carry
// their first two payload bytes along.
int relay_to_mcu(const uint8_t *f, int len) {
    uint8_t out[32];
    size_t n = payload_len(f, len);
    uint16_t id = frame_msg_id(f);
    size_t flen = 0;
    if (n == 0) {
        flen = build_orlin_frame(NODE_MCU, f[2], id, nullptr, 0, out, sizeof out);
    } else if ((id == 0xF403 || id == 0xF41A) && n >= 2) {
        flen = build_orlin_frame(NODE_MCU, f[2], id, f + 7, 2, out, sizeof out);
    }
    if (flen) dev_send_to_bluetooth(out, static_cast<int>(flen));
    return 0;
}

// Sends a request frame up to three times; on an answer accepted by
// `accept`, returns the answer length (in `ans`).
template <typename Accept>
int command(const uint8_t *frame, size_t len, int wait_s, uint8_t *ans, Accept accept, bool key_line) {
    for (int i = 0; i < 3; ++i) {
        if (key_line) set_power_key_line(0);
        memset(ans, 0, kAnswerSize);
        int n = request_lock_com(frame, static_cast<int>(len), wait_s, ans);
        if (n > 0 && accept(ans, n)) return n;
    }
    return 0;
}

int info_read(uint8_t dst, uint16_t id, int wait_s, uint8_t *out, size_t width) {
    if (out == nullptr) return 0;
    uint8_t req[16];
    size_t rl = build_orlin_frame(dst, NODE_BOX, id, nullptr, 0, req, sizeof req);
    uint8_t ans[kAnswerSize];
    for (int i = 0; i < 3; ++i) {
        memset(ans, 0, sizeof ans);
        int n = request_lock_com(req, static_cast<int>(rl), wait_s, ans);
        if (n > 0) {
            size_t have = payload_len(ans, n);
            memcpy(out, ans + 7, have < width ? have : width);  // longer answers are cut
            return 1;
        }
        printf("not response \r");
    }
    return 0;
}

}  // namespace

size_t lock_msg_table_size(void) { return sizeof kMsgTable / sizeof kMsgTable[0]; }

uint16_t lock_msg_table_id(size_t i) { return i < lock_msg_table_size() ? kMsgTable[i].id : 0; }

size_t ebike_poll_table(const uint8_t **dst, const uint16_t **ids) {
    if (dst) *dst = kPollDst;
    if (ids) *ids = kPollIds;
    return 30;
}

namespace {
const mcu_line_hooks_t kMcuHooks = {communication_with_ble, handle_mcu_caret_frame, clear_app_init_success};
}  // namespace

void vehicle_link_attach(void) {
    lock_line_poll_register(ebike_read_task);
    mcu_line_hooks_register(&kMcuHooks);
}

int dev_GD32_recv_handler(const unsigned char *frame, int len) {
    if (frame == nullptr || len < static_cast<int>(kFrameOverhead)) return -1;
    // A length field that disagrees with the frame (only its low byte counts
    // on this line) makes the whole frame suspect.
    if (frame_payload_len(frame) + kFrameOverhead != static_cast<size_t>(len)) return -1;
    uint16_t id = frame_msg_id(frame);
    if (len < 255) {
        dhex("--->>> GD32_recv <<<---", frame, len);
        printf("## msg_id =%x \r\n", id);
    }
    if (frame[1] == NODE_APP) return router_ble_data(frame, len);
    if (lock_com_expected(frame, len)) return 0;  // a bootloader session's answer
    for (const MsgEntry &e : kMsgTable) {
        if (e.id == id) return e.fn(frame, len);
    }
    return 0;
}

void ebike_read_task(void) {
    if (get_factory_mode() || get_ota_mode()) {
        line_sleep_ms(1000);
        return;
    }
    for (int i = 0; i < 30; ++i) {
        if (get_factory_mode() || get_ota_mode()) return;
        uint8_t req[16];
        size_t n = build_orlin_frame(kPollDst[i], NODE_BOX, kPollIds[i], nullptr, 0, req, sizeof req);
        dev_send_to_GD32(req, static_cast<int>(n));
        if (!line_sleep_ms(500)) return;
    }
}

// ---- commands ----------------------------------------------------------------

int get_ctrl_lock_info(const uint8_t *body, uint16_t *result) {
    if (body == nullptr || result == nullptr) return 0;
    uint8_t req[16], ans[kAnswerSize];
    size_t n = build_orlin_frame(NODE_MOTOR, NODE_BOX_QUERY, 0x011A, body, 2, req, sizeof req);
    uint8_t want = body[0];
    int got = command(req, n, 2, ans, [want](const uint8_t *a, int) { return a[7] == want; }, false);
    *result = got > 0 ? 1 : 0;
    return *result;
}

int get_ctrl_light_info(const uint8_t *body, uint16_t *result) {
    if (body == nullptr || result == nullptr) return 0;
    uint8_t req[16], ans[kAnswerSize];
    size_t n = build_orlin_frame(NODE_DISPLAY, NODE_BOX, 0x0119, body, 2, req, sizeof req);
    uint8_t want = body[0];
    int got = command(req, n, 2, ans, [want](const uint8_t *a, int) { return a[7] == want; }, false);
    *result = got > 0 ? 1 : 0;
    return *result;
}

int get_ctrl_ecu_info(const uint8_t *body, uint16_t *result) {
    if (body == nullptr || result == nullptr) return 0;
    int want = body[0] ? 2 : 0;
    g_power_expect.store(want);
    uint8_t req[16], ans[kAnswerSize];
    size_t n = build_orlin_frame(NODE_DISPLAY, NODE_BOX_QUERY, 0xF107, nullptr, 0, req, sizeof req);
    int got = command(req, n, 2, ans, [want](const uint8_t *a, int) { return a[7] == want; }, true);
    g_power_expect.store(kPowerIdle);
    set_power_key_line(1);
    *result = got > 0 ? 1 : 0;
    return *result;
}

int get_ctrl_ecu_expect(void) { return g_power_expect.load(); }

int get_display_software_version(uint8_t *out) { return info_read(NODE_DISPLAY, 0x0002, 1, out, 4); }
int get_display_model(uint8_t *out) { return info_read(NODE_DISPLAY, 0xF41B, 1, out, 20); }
int get_display_branch(uint8_t *out) { return info_read(NODE_DISPLAY, 0xF41C, 1, out, 30); }
int get_motor_software_version(uint8_t *out) { return info_read(NODE_MOTOR, 0x0002, 1, out, 4); }
int get_motor_boot_version(uint8_t *out) { return info_read(NODE_MOTOR, 0x0003, 1, out, 4); }
int get_motor_sn(uint8_t *out) { return info_read(NODE_MOTOR, 0x0004, 1, out, 24); }
int get_motor_model(uint8_t *out) { return info_read(NODE_MOTOR, 0xF41B, 1, out, 20); }
int get_motor_branch(uint8_t *out) { return info_read(NODE_MOTOR, 0xF41C, 1, out, 30); }
int get_gd_software_version(uint8_t *out) { return info_read(NODE_GD32, 0xF40D, 2, out, 4); }

int set_bms_standby_time(uint16_t value) {
    uint8_t p[2] = {static_cast<uint8_t>(value & 0xFF), static_cast<uint8_t>(value >> 8)};
    uint8_t out[16];
    size_t n = build_orlin_frame(NODE_BMS1, NODE_BOX, 0xF533, p, 2, out, sizeof out);
    return dev_send_to_GD32(out, static_cast<int>(n));
}

int enable_mainpower_out(void) {
    const uint8_t p[4] = {0x02, 0x00, 0x00, 0x00};
    uint8_t out[16];
    size_t n = build_orlin_frame(NODE_BMS1, NODE_DISPLAY, 0xF107, p, 4, out, sizeof out);
    return dev_send_to_GD32(out, static_cast<int>(n));
}

// ---- handlers ------------------------------------------------------------------

int handle_bootVersion(const uint8_t *f, int len) {
    if (payload_len(f, len) == 0 && f[1] != NODE_BOX) return -1;
    return relay_to_gd32(f, len);
}

int handle_cmd_gd_app_version(const uint8_t *f, int len) {
    if (updating()) return -1;
    return relay_to_gd32(f, len);
}

int handle_cmd_gd_boot_version(const uint8_t *f, int len) {
    if (updating()) return -1;
    return relay_to_gd32(f, len);
}

// Bootloaders answer their updater; frames from a bootloader to the box, the
// MCU or the board itself are not answers to anything pending here.
int handle_bootMessage(const uint8_t *f, int len) {
    if (payload_len(f, len) == 0) return 0;
    if (f[2] == NODE_BOOTLOADER && (f[1] == NODE_BOX || f[1] == NODE_MCU || f[1] == NODE_GD32)) return 0;
    if (cb_link_msg(1, f, len)) return 0;  // a library image for the host
    if (lock_com_pending()) lock_com_answer(f, len);
    return 0;
}

int handle_disp_ctrl(const uint8_t *f, int len) {
    if (updating()) return -1;
    return router_ble_data(f, len);
}

int handle_sys_status(const uint8_t *f, int len) {
    const uint8_t *p = payload_len(f, len) >= 1 ? f + 7 : nullptr;
    if (p == nullptr) return -1;
    vs_bike_status_seen();
    vs_set_flag(BIT_BIKE_ON, p[0] != 0);
    if (p[0] == g_power_expect.load() && f[1] == NODE_BROADCAST && lock_com_pending()) lock_com_answer(f, len);
    return 0;
}

int handle_cmd_motor_lock(const uint8_t *f, int len) {
    if (updating()) return -1;
    if (payload_len(f, len) == 0) return -1;
    vs_set_flag(BIT_MOTOR_LOCKED, f[7] & 1);
    if (lock_com_pending() && f[1] == NODE_BOX_QUERY) lock_com_answer(f, len);
    return 0;
}

int handle_cmd_motor_light(const uint8_t *f, int len) {
    if (updating()) return -1;
    if (payload_len(f, len) == 0) return -1;
    vs_set_flag(BIT_LIGHT_ON, f[7] & 1);
    if (lock_com_pending() && f[2] == NODE_DISPLAY) lock_com_answer(f, len);
    return 0;
}

int handle_cmd_imei_msg(const uint8_t *f, int len) {
    if (updating() || payload_len(f, len) != 0) return -1;
    // The IMEI the box published at start-up: the dispatcher never waits on the modem.
    char imei[32] = {0};
    get_imei_text(imei);
    size_t n = strnlen(imei, sizeof imei);
    if (n < 10) {
        printf("IMEI get failed \r");
        return 0;
    }
    answer(f, reinterpret_cast<const uint8_t *>(imei), n);
    return 0;
}

int handle_cmd_working_mode(const uint8_t *f, int len) {
    if (updating()) return -1;
    if (payload_len(f, len) == 0) {
        const uint8_t p[2] = {static_cast<uint8_t>(get_workingMode()), 0x00};
        answer(f, p, 2);
        return 0;
    }
    uint8_t b = f[7];
    if (b != 0) {
        const uint8_t p[2] = {b, 0x00};
        answer(f, p, 2);
        set_workingMode(1);
        reboot_system_now();
    } else {
        const uint8_t p[2] = {0x02, 0x00};
        answer(f, p, 2);
    }
    return 0;
}

int handle_cmd_acc_io_status(const uint8_t *f, int len) { return relay_to_mcu(f, len); }

int handle_cmd_model_msg(const uint8_t *f, int len) {
    if (payload_len(f, len) == 0) {
        answer(f, reinterpret_cast<const uint8_t *>("KBox40"), 6);
        return 0;
    }
    if (lock_com_pending() && f[1] == NODE_BOX && (f[2] == NODE_MOTOR || f[2] == NODE_DISPLAY)) lock_com_answer(f, len);
    return 0;
}

int handle_cmd_branch(const uint8_t *f, int len) {
    if (updating()) return -1;
    if (payload_len(f, len) > 0 && lock_com_pending() && f[1] == NODE_BOX) lock_com_answer(f, len);
    return 0;
}

int handle_cmd_test_mode(const uint8_t *f, int len) {
    if (updating()) return -1;
    if (payload_len(f, len) == 0) {
        const uint8_t p[2] = {static_cast<uint8_t>(get_TestMode()), 0x00};
        answer(f, p, 2);
        return 0;
    }
    uint8_t b = f[7];
    set_TestMode(b ? 1 : 0);
    const uint8_t p[2] = {b, 0x00};
    answer(f, p, 2);
    return 0;
}

int handle_cmd_url(const uint8_t *f, int len) {
    if (updating()) return -1;
    mqtt_conf_t conf{};
    int readable = get_mqttinfo(&conf);
    // Production host names are long; the test broker's is short.
    uint8_t current = !readable ? 0xFF : (strnlen(conf.hostip, sizeof conf.hostip) > 15 ? 1 : 0);
    if (payload_len(f, len) == 0) {
        const uint8_t p[2] = {static_cast<uint8_t>(current == 0xFF ? 2 : current), 0x00};
        answer(f, p, 2);
        return 0;
    }
    uint8_t b = f[7];
    uint8_t want = b ? 1 : 0;
    if (b == current) {
        const uint8_t p[2] = {current, 0x00};
        answer(f, p, 2);
        return 0;
    }
    printf("ready_to_update_profile \r");
    mqtt_conf_t profile{};
    int ok = want ? get_official_mqttinfo(&profile) : get_test_mqttinfo(&profile);
    uint8_t reply = 0x02;
    if (ok && set_domain_name(profile.hostip) && set_port_number(profile.port)) {
        reply = want ? b : 0x00;
    } else if (ok && readable) {
        // A host stored without its port is a broker nobody runs: put the
        // previous pair back and say the switch failed.
        if (!set_domain_name(conf.hostip) || !set_port_number(conf.port)) {
            printf("%d/%s previous broker not restored\n", __LINE__, __func__);
        }
        printf("%d/%s profile not stored\n", __LINE__, __func__);
    }
    const uint8_t p[2] = {reply, 0x00};
    answer(f, p, 2);
    return 0;
}

int handle_cmd_sn_msg(const uint8_t *f, int len) {
    if (updating() || payload_len(f, len) != 0) return -1;
    char sn[64] = {0};
    get_kept_sn(sn);
    printf("SN_buf %s\r\n", sn);
    size_t n = strnlen(sn, sizeof sn);
    if (n == 0) return 0;  // an empty answer would read as a request
    answer(f, reinterpret_cast<const uint8_t *>(sn), n);
    return 0;
}

int handle_cmd_app_version(const uint8_t *f, int len) {
    if (updating() || payload_len(f, len) != 0) return -1;
    const uint8_t p[4] = {0x01, 0x02, 0x02, 0x1C};
    answer(f, p, 4);
    return 0;
}

int handle_cmd_iccid_msg(const uint8_t *f, int len) {
    if (updating() || payload_len(f, len) != 0) return -1;
    char iccid[32] = {0};
    get_kept_iccid(iccid);
    size_t n = strnlen(iccid, sizeof iccid);
    if (n == 0) return 0;
    answer(f, reinterpret_cast<const uint8_t *>(iccid), n);
    return 0;
}

int handle_cmd_lte_network(const uint8_t *f, int len) {
    if (updating() || payload_len(f, len) != 0) return -1;
    const uint8_t p[2] = {static_cast<uint8_t>(get_lte_data_status()), 0x00};
    answer(f, p, 2);
    return 0;
}

int handle_cmd_4g_signal(const uint8_t *f, int len) {
    if (updating() || payload_len(f, len) != 0) return -1;
    uint8_t csq = 0;
    get_lte_csq(&csq);
    printf("4g_signal   --  %d   --- \r\n", csq);
    answer(f, &csq, 1);
    return 0;
}

int handle_cmd_gps_signal(const uint8_t *f, int len) {
    if (updating() || payload_len(f, len) != 0) return -1;
    iot_gps_info_t info{};
    iot_get_gps_info(&info);
    uint16_t v = static_cast<uint16_t>(info.snr);
    printf("gps_signal   --  %d   --- \r\n", v);
    const uint8_t p[2] = {static_cast<uint8_t>(v & 0xFF), static_cast<uint8_t>(v >> 8)};
    answer(f, p, 2);
    return 0;
}

int handle_cmd_gps_longitude_latitude(const uint8_t *f, int len) {
    if (updating() || payload_len(f, len) != 0) return -1;
    iot_gps_info_t info{};
    if (iot_get_gps_info(&info) != 1) {
        printf("gps_info failed \r");
        info = iot_gps_info_t{};
    }
    uint8_t p[8];
    put_le32(p, static_cast<int32_t>(info.longitude * 1000000.0));
    put_le32(p + 4, static_cast<int32_t>(info.latitude * 1000000.0));
    answer(f, p, 8);
    return 0;
}

int handle_cmd_gyroscope(const uint8_t *f, int len) {
    if (updating() || payload_len(f, len) != 0) return -1;
    iot_sensor_data_t s{};
    int ret = dev_get_gyroscope_info(&s);
    printf("%d.gyroscope:%d:%.5f/%.5f/%.5f\n", __LINE__, ret, static_cast<double>(s.x), static_cast<double>(s.y),
           static_cast<double>(s.z));
    uint8_t p[12];
    put_le32(p, frame_scaled(s.x));
    put_le32(p + 4, frame_scaled(s.y));
    put_le32(p + 8, frame_scaled(s.z));
    answer(f, p, 12);
    return 0;
}

int handle_cmd_gsensor(const uint8_t *f, int len) {
    if (updating() || payload_len(f, len) != 0) return -1;
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

int handle_cmd_ble_app_version(const uint8_t *f, int len) {
    if (updating()) return -1;
    return relay_to_mcu(f, len);
}
int handle_cmd_ble_mac(const uint8_t *f, int len) {
    if (updating()) return -1;
    return relay_to_mcu(f, len);
}
int handle_cmd_ble_connect(const uint8_t *f, int len) {
    if (updating()) return -1;
    return relay_to_mcu(f, len);
}
int handle_cmd_ble_eeprom(const uint8_t *f, int len) {
    if (updating()) return -1;
    return relay_to_mcu(f, len);
}
int handle_cmd_battery_voltage(const uint8_t *f, int len) {
    if (updating()) return -1;
    return relay_to_mcu(f, len);
}
int handle_cmd_battery_charging(const uint8_t *f, int len) {
    if (updating()) return -1;
    return relay_to_mcu(f, len);
}

int handle_slave_master_mode(const uint8_t *f, int len) {
    size_t n = payload_len(f, len);
    printf("## handle_slave_master_mode: %d \r\n", static_cast<int>(n));
    if (n > 0 && f[1] == NODE_BOOTLOADER && (f[2] == NODE_MOTOR || f[2] == NODE_DISPLAY) && lock_com_pending()) {
        lock_com_answer(f, len);
    }
    return 0;
}

int handle_satellites_count(const uint8_t *f, int len) {
    if (updating() || payload_len(f, len) != 0) return -1;
    iot_gps_info_t info{};
    iot_get_gps_info(&info);
    const uint8_t p[2] = {static_cast<uint8_t>(info.satellites), 0x00};
    answer(f, p, 2);
    return 0;
}

// The tool gets the bike-bus answer as a consistent 12-byte frame, whatever
// the board put in its length field.
int handle_pcba_can_test(const uint8_t *f, int len) {
    uint8_t out[16];
    size_t n = factory_short_answer(f, len, out, sizeof out);
    if (n) dev_send_to_ECU(out, static_cast<int>(n));
    return 0;
}
