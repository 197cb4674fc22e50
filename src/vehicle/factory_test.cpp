#include "vehicle/factory_test.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "core/iot_common.h"
#include "core/logging.h"
#include "core/sys_utils.h"
#include "core/tavi_common.h"
#include "platform/plat_clock.h"
#include "vehicle/box_info.h"
#include "vehicle/bt_handle.h"
#include "vehicle/frame_codec.h"

namespace {

using Handler = int (*)(const uint8_t *, int);

struct MsgEntry {
    uint16_t id;
    Handler fn;
};

size_t payload_len(const uint8_t *f, int len) { return frame_payload_avail(f, len); }

// Answer to the tool: same id, addresses swapped, on the factory line.
void answer(const uint8_t *f, const uint8_t *payload, size_t n) {
    uint8_t out[128];
    size_t len = build_orlin_frame(f[2], f[1], frame_msg_id(f), payload, n, out, sizeof out);
    if (len) dev_send_to_ECU(out, static_cast<int>(len));
}

void answer2(const uint8_t *f, uint8_t b0, uint8_t b1) {
    const uint8_t p[2] = {b0, b1};
    answer(f, p, 2);
}

// A read passed on to `dst` (the GD32 board on the lock line, or the MCU),
// source and id unchanged: the answer finds its way back to the tool.
int relay_read(const uint8_t *f, int len, uint8_t dst) {
    if (!frame_is_read(f, len)) return 0;
    uint8_t out[16];
    size_t n = build_orlin_frame(dst, f[2], frame_msg_id(f), nullptr, 0, out, sizeof out);
    if (n == 0) return 0;
    if (dst == NODE_GD32) {
        dev_send_to_GD32(out, static_cast<int>(n));
    } else {
        dev_send_to_bluetooth(out, static_cast<int>(n));
    }
    return 0;
}

// Key line and charging: a read, or a command carrying its first two bytes.
int relay_with_two(const uint8_t *f, int len) {
    size_t n = payload_len(f, len);
    if (n == 0) return relay_read(f, len, NODE_MCU);
    if (n < 2) return -1;
    uint8_t out[16];
    size_t fl = build_orlin_frame(NODE_MCU, f[2], frame_msg_id(f), f + 7, 2, out, sizeof out);
    if (fl) dev_send_to_bluetooth(out, static_cast<int>(fl));
    return 0;
}

int start_factory_mode(const uint8_t *f, int len) {
    if (!get_app_init_success()) {
        printf(" [factory_mode] unable to enter factory mode ,do not need to send\r");
        return -1;
    }
    // Without a payload byte there is nothing to set (byte 7 would be the CRC).
    if (frame_is_read(f, len)) return -1;
    const uint8_t b = f[7];
    set_factory_mode(b);
    if (b) {
        printf(" [factory_mode] start factory mode  \r");
    } else {
        printf(" [factory_mode] end factory mode \r");
    }
    answer2(f, b, 0x00);
    return 0;
}

int hostcore_app_version(const uint8_t *f, int) {
    const uint8_t p[4] = {0x01, 0x02, 0x02, 0x1C};
    answer(f, p, 4);
    return 0;
}

int gd_app_version(const uint8_t *f, int len) { return relay_read(f, len, NODE_GD32); }
int gd_boot_version(const uint8_t *f, int len) { return relay_read(f, len, NODE_GD32); }
int ble_app_version(const uint8_t *f, int len) { return relay_read(f, len, NODE_MCU); }
int ble_mac(const uint8_t *f, int len) { return relay_read(f, len, NODE_MCU); }
int ble_connect(const uint8_t *f, int len) { return relay_read(f, len, NODE_MCU); }
int ble_eeprom(const uint8_t *f, int len) { return relay_read(f, len, NODE_MCU); }
int backup_battery_voltage(const uint8_t *f, int len) { return relay_read(f, len, NODE_MCU); }
int acc_io_status(const uint8_t *f, int len) { return relay_with_two(f, len); }
int battery_charging(const uint8_t *f, int len) { return relay_with_two(f, len); }

int sn_msg(const uint8_t *f, int) {
    char sn[64];
    size_t n = box_get_sn(sn, sizeof sn);
    if (n < 5) {
        printf("get_sn failed ,do not need to send\r");
        return 0;
    }
    answer(f, reinterpret_cast<const uint8_t *>(sn), n);
    return 0;
}

int imei_msg(const uint8_t *f, int) {
    char imei[32] = {0};
    int n = get_imei_text(imei);
    if (n < 10) {
        printf("[factory_mode] IMEI get failed,do not need to send \r");
        return 0;
    }
    answer(f, reinterpret_cast<const uint8_t *>(imei), static_cast<size_t>(n));
    return 0;
}

// Modem test flags: bytes 32, 33, 34 of the modem info record.
int modem_flag(const uint8_t *f, int len, size_t index, const char *read_msg, const char *zero_msg) {
    if (!frame_is_read(f, len)) return 0;
    uint8_t info[35];
    box_get_modem_info(info);
    const uint8_t v = info[index];
    printf(read_msg, v);
    if (v == 0) {
        printf("%s", zero_msg);
        return 0;
    }
    answer2(f, v, 0x00);
    return 0;
}

int lte_calibration(const uint8_t *f, int len) {
    return modem_flag(f, len, 32, " [factory_mode] read lte calibration status  = %d\r\n",
                      " [factory_mode] lte calibration status=0,do not need to send\r");
}
int PCBA_test1(const uint8_t *f, int len) {
    return modem_flag(f, len, 33, " [factory_mode] read PCBA test1 mode status  = %d\r\n",
                      " [factory_mode] test1 mode status=0,,do not need to send\r");
}
int PCBA_test2(const uint8_t *f, int len) {
    return modem_flag(f, len, 34, " [factory_mode] read PCBA test2 mode status  = %d\r\n",
                      " [factory_mode] test2 mode status=0,,do not need to send\r");
}

int gps_longitude_latitude(const uint8_t *f, int) {
    box_position_t pos{};
    if (box_get_position(&pos) != 1) {
        printf("[factory_mode] gps_info failed,do not need to send \r");
        return 0;
    }
    uint8_t p[8];
    put_le32(p, static_cast<int32_t>(pos.longitude * 1000000.0));
    put_le32(p + 4, static_cast<int32_t>(pos.latitude * 1000000.0));
    answer(f, p, 8);
    return 0;
}

int satellites_count(const uint8_t *f, int len) {
    // The threshold is the request's first payload byte; without it there is
    // nothing to count against.
    if (frame_is_read(f, len)) return -1;
    int count = box_get_gps_snr_num(f[7]);
    printf("[factory_mode] satellites count:%d \n", count);
    answer2(f, static_cast<uint8_t>(count), 0x00);
    return 0;
}

int gps_signal(const uint8_t *f, int) {
    box_position_t pos{};
    box_get_position(&pos);
    const uint16_t v = static_cast<uint16_t>(pos.snr);
    printf("[factory_mode] gps_signal   --  %d   --- \r\n", v);
    answer2(f, static_cast<uint8_t>(v & 0xFF), static_cast<uint8_t>(v >> 8));
    return 0;
}

int iccid_msg(const uint8_t *f, int) {
    char iccid[64];
    size_t n = box_get_iccid(iccid, sizeof iccid);
    if (n < 5) {
        printf("get_iccid failed ,do not need to send\r");
        return 0;
    }
    answer(f, reinterpret_cast<const uint8_t *>(iccid), n);
    return 0;
}

int get_4g_signal(const uint8_t *f, int) {
    const uint8_t csq = box_get_lte_csq();
    if (csq >= 32) {
        printf("get 4g_signal failed ,do not need to send\r");
        return 0;
    }
    answer(f, &csq, 1);
    return 0;
}

int lte_network(const uint8_t *f, int) {
    int cell = 0, area = 0, signal = 0;
    box_get_cellinfo(&cell, &area, &signal);
    if (cell == 0) {
        printf("get cell_id failed ,do not need to send\r");
        return 0;
    }
    uint8_t p[12];
    put_le32(p, cell);
    put_le32(p + 4, area);
    put_le32(p + 8, signal);
    answer(f, p, 12);
    return 0;
}

void sensor_answer(const uint8_t *f, const iot_sensor_data_t &s) {
    uint8_t p[12];
    put_le32(p, frame_scaled(s.x));
    put_le32(p + 4, frame_scaled(s.y));
    put_le32(p + 8, frame_scaled(s.z));
    answer(f, p, 12);
}

int get_gyroscope(const uint8_t *f, int) {
    iot_sensor_data_t s{};
    int ret = dev_get_gyroscope_info(&s);
    printf("%d.gyroscope:%d:%.5f/%.5f/%.5f\n", __LINE__, ret, static_cast<double>(s.x), static_cast<double>(s.y),
           static_cast<double>(s.z));
    sensor_answer(f, s);
    return 0;
}

int get_gsensor(const uint8_t *f, int) {
    iot_sensor_data_t s{};
    int ret = dev_get_gsensor_info(&s);
    double x = s.x, y = s.y, z = s.z;
    printf("%d.g_sensor:%d:%.5f/%.5f/%.5f-%.5f\n", __LINE__, ret, x, y, z, std::sqrt(x * x + y * y + z * z));
    sensor_answer(f, s);
    return 0;
}

// The bike-bus test goes to the lock board as it came; the lock line's
// length byte cannot describe more than 255 bytes.
int pcba_can_test(const uint8_t *f, int len) {
    if (len > 255) {
        printf("%d/%s can test frame of %d bytes refused\n", __LINE__, __func__, len);
        return -1;
    }
    dev_send_to_GD32(f, len);
    return 0;
}

void led_answer(const uint8_t *f, int len) {
    uint8_t out[16];
    size_t n = factory_short_answer(f, len, out, sizeof out);
    if (n) dev_send_to_ECU(out, static_cast<int>(n));
}

int net_led_test(const uint8_t *f, int len) {
    if (!set_file_buf(FACTORY_NET_LED_PATH, "%s", "1")) printf("%d/%s net_led write failed\n", __LINE__, __func__);
    led_answer(f, len);
    return 0;
}

int gps_led_test(const uint8_t *f, int len) {
    if (!set_file_buf(FACTORY_GPS_LED_PATH, "%s", "1")) printf("%d/%s gps_led write failed\n", __LINE__, __func__);
    plat_sleep_ms(250);
    if (!set_file_buf(FACTORY_GPS_LED_PATH, "%s", "0")) printf("%d/%s gps_led write failed\n", __LINE__, __func__);
    led_answer(f, len);
    return 0;
}

int model_msg(const uint8_t *f, int len) {
    if (!frame_is_read(f, len)) return 0;
    answer(f, reinterpret_cast<const uint8_t *>("KBox40"), 6);
    box_clear_image_store();
    return 0;
}

// A library image pushed over the bus port is the host's to take.
int handle_boot_message(const uint8_t *f, int len) {
    cb_link_msg(0, f, len);
    return 0;
}

// Searched in this order; the first match wins.
const MsgEntry kFactoryTable[] = {
    {0xF41F, start_factory_mode},
    {0xF418, hostcore_app_version},
    {0xF40D, gd_app_version},
    {0x0003, gd_boot_version},
    {0xF413, ble_app_version},
    {0xF417, sn_msg},
    {0xF400, imei_msg},
    {0xF421, lte_calibration},
    {0xF422, PCBA_test1},
    {0xF423, PCBA_test2},
    {0xF414, ble_mac},
    {0xF416, ble_connect},
    {0xF415, ble_eeprom},
    {0xF403, acc_io_status},
    {0xF40A, gps_longitude_latitude},
    {0xF420, satellites_count},
    {0xF409, gps_signal},
    {0xF408, iccid_msg},
    {0xF40B, get_4g_signal},
    {0xF419, lte_network},
    {0xF40C, get_gyroscope},
    {0xF424, get_gsensor},
    {0xF41A, battery_charging},
    {0xF402, backup_battery_voltage},
    {0xF425, pcba_can_test},
    {0xF426, net_led_test},
    {0xF427, gps_led_test},
    {0xF41B, model_msg},
    {0x0007, handle_boot_message},
};
static_assert(sizeof kFactoryTable / sizeof kFactoryTable[0] == 29, "29 entries");

}  // namespace

void factory_test_init(void) {
    printf("%d/%s **************** factory test init ****************\n", __LINE__, __func__);
}

size_t factory_msg_table_size(void) { return sizeof kFactoryTable / sizeof kFactoryTable[0]; }

uint16_t factory_msg_table_id(size_t i) { return i < factory_msg_table_size() ? kFactoryTable[i].id : 0; }

int factory_mode_dispatch(const unsigned char *frame, int len) {
    // A length field that disagrees with what arrived makes the frame suspect.
    if (frame == nullptr || len < static_cast<int>(kFrameOverhead) ||
        frame_payload_len(frame) + kFrameOverhead != static_cast<size_t>(len))
        return -1;
    const uint16_t id = frame_msg_id(frame);
    for (const MsgEntry &e : kFactoryTable) {
        if (e.id == id) return e.fn(frame, len);
    }
    return 0;
}

size_t factory_short_answer(const uint8_t *f, int len, uint8_t *out, size_t cap) {
    if (f == nullptr || len < static_cast<int>(kFrameOverhead) || out == nullptr) return 0;
    const size_t n = frame_payload_avail(f, len);
    uint8_t p[2] = {0, 0};
    if (n >= 1) p[0] = f[7];
    if (n >= 2) p[1] = f[8];
    return build_orlin_frame(f[2], f[1], frame_msg_id(f), p, 2, out, cap);
}
