#include "vehicle/bus_fields.h"
#include "core/tavi_common.h"

#include <cstdio>
#include <cstring>

#include "vehicle/bt_handle.h"
#include "vehicle/frame_codec.h"
#include "vehicle/usart_lock_handle.h"
#include "vehicle/vehicle_state.h"

namespace {

uint16_t rd16(const uint8_t *p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t rd32(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}

template <typename F>
void update_mc(const F &f) {
    vs_update_mc([](mc_info_t &m, const void *c) { (*static_cast<const F *>(c))(m); }, &f);
}

template <typename F>
void update_bat(const F &f) {
    vs_update_battery([](battery_info_t &b, const void *c) { (*static_cast<const F *>(c))(b); }, &f);
}

// Payload of at least `need` bytes, or nullptr: a read (length 0) and a frame
// shorter than the field leave the record as it is.
const uint8_t *payload(const uint8_t *f, int len, size_t need) {
    size_t n = frame_payload_avail(f, len);
    return n >= need && n > 0 ? f + 7 : nullptr;
}

}  // namespace

int battery_of_source(uint8_t src) {
    switch (src) {
        case 0x05: return 1;
        case 0x15: return 2;
        case 0x25: return 3;
        default: return 0;
    }
}

int handle_odo(const uint8_t *f, int len) {
    if (frame_is_read(f, len)) return -1;
    const uint8_t *p = payload(f, len, 4);
    if (p == nullptr) return 0;
    uint32_t v = rd32(p);
    update_mc([v](mc_info_t &m) { m.odo = v; });
    return 0;
}

int handle_odoRange(const uint8_t *f, int len) {
    if (frame_is_read(f, len)) return -1;
    const uint8_t *p = payload(f, len, 4);
    if (p == nullptr) return 0;
    uint16_t v = static_cast<uint16_t>(rd32(p) / 10000u);
    update_mc([v](mc_info_t &m) { m.odorange = v; });
    return 0;
}

int handle_motor_pwr_out(const uint8_t *f, int len) {
    if (frame_is_read(f, len)) return -1;
    const uint8_t *p = payload(f, len, 2);
    if (p == nullptr) return 0;
    uint16_t v = rd16(p);
    update_mc([v](mc_info_t &m) { m.MotorPowerOut = v; });
    return 0;
}

int handle_human_pwr(const uint8_t *f, int len) {
    if (frame_is_read(f, len)) return -1;
    const uint8_t *p = payload(f, len, 2);
    if (p == nullptr) return 0;
    uint16_t v = rd16(p);
    update_mc([v](mc_info_t &m) { m.HumanPower = v; });
    return 0;
}

int handle_supportLevel(const uint8_t *f, int len) {
    if (frame_is_read(f, len)) return -1;
    const uint8_t *p = payload(f, len, 1);
    if (p == nullptr) return 0;
    uint8_t v = p[0];
    update_mc([v](mc_info_t &m) { m.CurrentSupportLevel = v; });
    return 0;
}

int handle_error(const uint8_t *f, int len) {
    if (frame_is_read(f, len)) return -1;
    uint8_t src = f[2];
    if (src == 0x01) {
        const uint8_t *p = payload(f, len, 2);
        if (p == nullptr) return 0;
        uint32_t v = rd16(p);
        update_mc([v](mc_info_t &m) { m.ErrorStatus = v; });
        return 0;
    }
    int n = battery_of_source(src);
    const uint8_t *p = payload(f, len, 1);
    if (n == 0 || p == nullptr) return 0;
    uint16_t v = p[0];
    update_bat([n, v](battery_info_t &b) { b.BatteryError[n - 1] = v; });
    return 0;
}

int handle_battery_soc(const uint8_t *f, int len) {
    if (frame_is_read(f, len)) return -1;
    int n = battery_of_source(f[2]);
    const uint8_t *p = payload(f, len, 1);
    if (n == 0 || p == nullptr) return 0;
    uint8_t v = p[0];
    update_bat([n, v](battery_info_t &b) {
        uint8_t *soc[3] = {&b.BatterySoC, &b.Battery2SoC, &b.Battery3SoC};
        *soc[n - 1] = v;
    });
    vs_battery_seen(n);
    static const char *const kFmt[3] = {"## battery_info.BatterySoC = %d \r\n", "## battery_info.Battery2SoC = %d \r\n",
                                        "## battery_info.Battery3SoC = %d \r\n"};
    printf(kFmt[n - 1], v);
    return 0;
}

int handle_battery_pack_voltage(const uint8_t *f, int len) {
    if (frame_is_read(f, len)) return -1;
    int n = battery_of_source(f[2]);
    const uint8_t *p = payload(f, len, 2);
    if (n == 0 || p == nullptr) return 0;
    uint16_t v = rd16(p);
    update_bat([n, v](battery_info_t &b) { b.BatteryPackageVoltage[n - 1] = v; });
    return 0;
}

int handle_battery_real_current(const uint8_t *f, int len) {
    if (frame_is_read(f, len)) return -1;
    int n = battery_of_source(f[2]);
    const uint8_t *p = payload(f, len, 2);
    if (n == 0 || p == nullptr) return 0;
    uint16_t v = rd16(p);
    update_bat([n, v](battery_info_t &b) { b.BatteryCurrent[n - 1] = v; });
    return 0;
}

int handle_battery_temperature(const uint8_t *f, int len) {
    if (frame_is_read(f, len)) return -1;
    int n = battery_of_source(f[2]);
    const uint8_t *p = payload(f, len, 2);
    if (n == 0 || p == nullptr) return 0;
    uint8_t v = static_cast<uint8_t>(rd16(p) / 10u);
    update_bat([n, v](battery_info_t &b) { b.BatteryTemperature[n - 1] = v; });
    return 0;
}

int handle_left_capacity(const uint8_t *f, int len) {
    if (frame_is_read(f, len)) return -1;
    int n = battery_of_source(f[2]);
    const uint8_t *p = payload(f, len, 2);
    if (n == 0 || p == nullptr) return 0;
    uint16_t v = rd16(p);
    update_bat([n, v](battery_info_t &b) { b.BatteryCapacity[n - 1] = v; });
    return 0;
}

int handle_main_battery_charging(const uint8_t *f, int len) {
    if (frame_is_read(f, len)) return -1;
    int n = battery_of_source(f[2]);
    const uint8_t *p = payload(f, len, 1);
    if (n == 0 || p == nullptr) return 0;
    uint8_t v = p[0];
    update_bat([n, v](battery_info_t &b) { b.BatteryCharging[n - 1] = v; });
    return 0;
}

int handle_disp_status(const uint8_t *f, int len) {
    if (get_ota_mode()) return -1;
    if (frame_is_read(f, len)) return -1;
    uint8_t dst = f[1];
    if (dst == 0x04) {
        router_ble_data(f, len);
        return 0;
    }
    if (dst != 0x06) return 0;
    const uint8_t *p = payload(f, len, 6);
    if (p == nullptr) return 0;
    uint16_t speed = static_cast<uint16_t>(((p[3] << 2) | (p[2] >> 6)) & 0x3FF);
    uint16_t cadence = p[5];
    update_mc([speed, cadence](mc_info_t &m) {
        m.BikeSpeed = speed;
        m.Candence = cadence;
    });
    return 0;
}

int handle_softWareVersion(const uint8_t *f, int len) {
    if (get_ota_mode()) return -1;
    if (frame_is_read(f, len)) return -1;
    if (f[1] != 0x06) return 0;
    if (lock_com_pending()) {
        lock_com_answer(f, len);
        return 0;
    }
    const uint8_t *p = payload(f, len, 4);
    if (f[2] != 0x01 || p == nullptr) return 0;
    uint8_t v[4];
    memcpy(v, p, 4);
    update_mc([&v](mc_info_t &m) { memcpy(m.motor_sw_version, v, 4); });
    return 0;
}

int handle_serialnumber(const uint8_t *f, int len) {
    if (get_ota_mode()) return -1;
    if (frame_is_read(f, len)) return -1;
    const uint8_t *p = payload(f, len, 24);
    if (p != nullptr) {
        uint8_t v[24];
        memcpy(v, p, 24);
        update_mc([&v](mc_info_t &m) { memcpy(m.motor_sn, v, 24); });
    }
    if (lock_com_pending() && f[1] == 0x06) lock_com_answer(f, len);
    return 0;
}

int handle_hardwareVersion(const uint8_t *, int len) {
    printf("## handle_hardwareVersion len = %d \r\n", len);
    return 0;
}

int handle_configHmiUartProtocol(const uint8_t *, int len) {
    printf("## handle_configHmiUartProtocol len = %d \r\n", len);
    return 0;
}

int handle_state(const uint8_t *, int) { return 0; }
int handle_bikeId(const uint8_t *, int) { return 0; }
int handle_nextServiceTurn(const uint8_t *, int) { return 0; }
int handle_bikeServiceRequired(const uint8_t *, int) { return 0; }
int handle_wokenForLoraCh(const uint8_t *, int) { return 0; }
int handle_movementDetected(const uint8_t *, int) { return 0; }
int handle_batteryLevel(const uint8_t *, int) { return 0; }
int handle_rotationRpm(const uint8_t *, int) { return 0; }
