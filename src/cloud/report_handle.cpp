#include "cloud/report_handle.h"

#include <pthread.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "cloud/mqtt_handle.h"
#include "cloud/uplink_buffer.h"
#include "core/iot_config.h"
#include "core/sys_utils.h"
#include "core/tavi_common.h"
#include "gps/gps_handle.h"
#include "lib/qs_common_api/wwan/qs_wwan.h"
#include "lte/lte_handle.h"
#include "platform/plat_clock.h"
#include "sensor/sensor_handle.h"
#include "vehicle/vehicle_state.h"

namespace {

constexpr const char *kTopicFmt = "zt/ebike/devices/%s/common/data/";
constexpr const char *kNetLed = "/sys/bus/platform/drivers/ledctrl/net_led";
constexpr int kStartDelayS = 15;
constexpr int kMinInterval = 10;
constexpr int kDataProfile = 1;

std::atomic<int> mqtt_report_cnt{0};
std::atomic<int> g_sent{0};

// Degrees to millionths, truncated toward zero.  A value out of the i32
// range (or not a number) cannot be a position: it goes out as "no value".
int32_t to_e6(double deg) {
    const double v = deg * 1000000.0;
    if (!std::isfinite(v) || v >= 2147483647.0 || v <= -2147483648.0) return -1;
    return static_cast<int32_t>(v);
}

// Whole metres, low 16 bits (below sea level wraps as the i16 would).
uint16_t altitude_low16(float metres) {
    if (!std::isfinite(metres) || metres >= 2147483647.0f || metres <= -2147483648.0f) return 0xFFFF;
    return static_cast<uint16_t>(static_cast<int32_t>(metres));
}

}  // namespace

void set_mqtt_report_cnt(int value) { mqtt_report_cnt.store(value, std::memory_order_relaxed); }

int get_mqtt_report_cnt(void) { return mqtt_report_cnt.load(std::memory_order_relaxed); }

int get_mqtt_report_sent(void) { return g_sent.load(std::memory_order_relaxed); }

int set_net_led(void) { return set_file_buf(kNetLed, "%s", "1"); }

int get_iot_online_status(void) {
    QS_wwan_ip_addr_t ip;
    memset(&ip, 0, sizeof ip);
    if (QS_WWAN_GetIPAddr(kDataProfile, &ip) != 0 || ip.v4_valid == 0) printf("WanIP_Failed \r");
    if (get_mqqt_connected() != 1) {
        printf("MQTT_Connected_Failed \r");
        return 0;
    }
    return 1;
}

void telemetry_from_fix(telemetry_t *t, const iot_gps_info_t &fix) {
    t->latitude_e6 = to_e6(fix.latitude);
    t->longitude_e6 = to_e6(fix.longitude);
    t->altitude_m = altitude_low16(fix.altitude);
    t->snr_sum = static_cast<uint16_t>(fix.snr);
}

void build_telemetry(telemetry_t *t) {
    const uint8_t alarm = t->alarm;
    telemetry_defaults(t);
    t->alarm = alarm;

    iot_gps_info_t fix;
    memset(&fix, 0, sizeof fix);
    if (iot_get_gps_info(&fix) == 1) {
        telemetry_from_fix(t, fix);
    } else {
        printf("gps_info failed \r");
        int mcc = 0, mnc = 0, cid = 0, lac = 0, sig = 0;
        if (get_lte_cellinfo(&mcc, &mnc, &cid, &lac, &sig) == 1) {
            t->mcc = mcc;
            t->mnc = mnc;
            t->cell_id = cid;
            t->lac = lac;
        }
        printf("Base station: mcc       --  %d   --- \r\n", t->mcc);
        printf("Base station: mnc       --  %d   --- \r\n", t->mnc);
        printf("Base station: cell_id   --  %d   --- \r\n", t->cell_id);
        printf("Base station: lac       --  %d   --- \r\n", t->lac);
    }

    uint8_t csq = 0;
    get_lte_csq(&csq);
    t->csq = csq;
    const mc_info_t mc = motor_info_get_protocol();
    const battery_info_t bat = battery_info_get_protocol();
    const iot_battery_t box = get_iot_battery_info();
    uint8_t flags = 0;
    get_Bits_Field8_t(&flags);

    t->odo = mc.odo;
    t->odorange = mc.odorange;
    t->ErrorStatus = mc.ErrorStatus;
    t->MotorPowerOut = mc.MotorPowerOut;
    t->HumanPower = mc.HumanPower;
    t->BikeSpeed = mc.BikeSpeed;
    t->Candence = mc.Candence;
    t->CurrentSupportLevel = mc.CurrentSupportLevel;
    t->box_voltage = static_cast<int16_t>(box.pack_voltage);
    t->soc[0] = bat.BatterySoC;
    t->soc[1] = bat.Battery2SoC;
    t->soc[2] = bat.Battery3SoC;
    for (int i = 0; i < 3; ++i) {
        t->voltage[i] = bat.BatteryPackageVoltage[i];
        t->current[i] = bat.BatteryCurrent[i];
        t->temperature[i] = bat.BatteryTemperature[i];
        t->charging[i] = bat.BatteryCharging[i];
        t->error[i] = bat.BatteryError[i];
    }
    t->BatteryNumber = bat.BatteryNumber;
    t->flags = flags;

    printf("csq = %u \r\n", t->csq);
    printf("odo = %u \r\n", static_cast<unsigned>(t->odo));
    printf("odorange = %u \r\n", t->odorange);
    printf("ErrorStatus = %u \r\n", static_cast<unsigned>(t->ErrorStatus));
    printf("MotorPowerOut = %u \r\n", t->MotorPowerOut);
    printf("HumanPower = %u \r\n", t->HumanPower);
    printf("BikeSpeed = %u \r\n", t->BikeSpeed);
    printf("Candence = %u \r\n", t->Candence);
    printf("CurrentSupportLevel = %u \r\n", t->CurrentSupportLevel);
    printf("iot_battery_pack_voltage = %d \r\n", t->box_voltage);
    printf("BatteryNumber = %u \r\n", t->BatteryNumber);
    for (int i = 0; i < 3; ++i) {
        printf("battery%d: soc = %u voltage = %u current = %u temperature = %u charging = %u error = %u \r\n", i + 1,
               t->soc[i], t->voltage[i], t->current[i], t->temperature[i], t->charging[i], t->error[i]);
    }
    printf("Bits_Field8 = 0x%02X \r\n", t->flags);
    printf("alarm_info = 0x%02X \r\n", t->alarm);

    const int interval = get_mqtt_report_interval();
    t->report_interval = static_cast<uint16_t>(interval);
}

int post_iot_common_data_message(void) {
    // Taken in one step and put back unless the frame reaches the client, so
    // every alarm bit rides on exactly one published frame.
    telemetry_t t;
    t.alarm = take_alarm_info_t();
    const uint8_t alarm = t.alarm;
    // The sources (a modem query among them) are read before the uplink lock:
    // a response waiting for the buffers never waits for the modem.
    build_telemetry(&t);

    char imei[20] = {};
    if (get_imei_text(imei) < 10) {
        printf("IMEI get failed \r");
        set_alarm_info_t(alarm);
        return 0;
    }
    char topic[128];
    snprintf(topic, sizeof topic, kTopicFmt, imei);
    printf(" %d /%s : pub topic:%s\n", __LINE__, __func__, topic);

    int ret = 0;
    {
        UplinkBuffers ub;
        telemetry_pack(t, ub.frame());
        ret = ub.publish(topic, static_cast<int>(kTelemetryLen));
    }
    if (ret == 1) {
        g_sent.fetch_add(1, std::memory_order_relaxed);
    } else {
        set_alarm_info_t(alarm);
    }
    return ret;
}

void check_loop(void) {
    if (get_workingMode() != 1 && get_TestMode() != 1) return;
    const int cnt = mqtt_report_cnt.fetch_add(1, std::memory_order_relaxed) + 1;
    const int interval = get_mqtt_report_interval();
    if (cnt < interval) return;
    // Due: the count starts over whether or not this report can go out, so an
    // outage never turns into a burst of reports afterwards.
    mqtt_report_cnt.store(0, std::memory_order_relaxed);
    if (get_iot_online_status() == 0) return;
    post_iot_common_data_message();
    set_net_led();
    printf("\r\n mqtt_report_interval = %d \r\n", interval);
}

void report_tick(void) {
    if (get_factory_mode() != 0) return;
    check_loop();
}

int report_interval_at_start(void) {
    int interval = get_mqtt_report_interval();
    if (interval < kMinInterval) {
        set_mqtt_report_interval(kMinInterval);
        interval = kMinInterval;
    }
    return interval;
}

void *px510s_handle_loop(void *) {
    plat_sleep_s(kStartDelayS);
    report_interval_at_start();
    for (;;) {
        report_tick();
        plat_sleep_s(1);
    }
    return nullptr;
}
