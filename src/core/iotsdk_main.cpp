#include "core/iotsdk_main.h"

#include <atomic>
#include <cstdio>
#include <cstring>

#include "cloud/mqtt_handle.h"
#include "dfu/fw_image.h"
#include "core/iot_common.h"
#include "gps/gps_handle.h"
#include "gps/nmea_parse.h"
#include "lte/lte_handle.h"
#include "sensor/sensor_handle.h"
#include "vehicle/box_info.h"
#include "vehicle/lock_link.h"
#include "vehicle/bt_handle.h"
#include "vehicle/factory_test.h"
#include "vehicle/usart_ecu_handle.h"
#include "vehicle/usart_lock_handle.h"
#include "vehicle/usart_mcu_handle.h"

namespace {

constexpr const char *kSdkVersion = "iot_orlin_V1.2.2.1-2023.04.10";
constexpr const char *kBuildDate = "Nov 21 2023";
constexpr const char *kBuildTime = "19:09:18";

int box_position(box_position_t *out) {
    iot_gps_info_t info{};
    int fixed = iot_get_gps_info(&info);
    out->longitude = info.longitude;
    out->latitude = info.latitude;
    out->snr = info.snr;
    out->satellites = info.satellites;
    return fixed;
}

int box_cellinfo(int *cell_id, int *area_code, int *signal) {
    int mcc = 0, mnc = 0;
    return get_lte_cellinfo(&mcc, &mnc, cell_id, area_code, signal);
}

int box_modem_info(uint8_t *out35) {
    modem_info_t info{};
    int r = get_modem_info(&info);
    memcpy(out35, &info, sizeof info);
    return r;
}

// Identities as the modem last gave them: the line dispatchers that answer
// them never wait on the modem.
int kept_sn(char *dst) { return get_kept_sn(dst); }
int kept_iccid(char *dst) { return get_kept_iccid(dst); }

// The factory tool's model query clears the controller images; a running
// update keeps them (the tool's line does not wait for it).
void clear_image_store() {
    if (!fw_image_clear_all()) printf("%d/%s update running: images kept\n", __LINE__, __func__);
}

// What the vehicle links answer about the box but other subsystems keep.
const box_info_ops_t kBoxInfo = {
    kept_sn, kept_iccid, get_lte_data_status, get_lte_csq, box_position, iot_get_gps_snr_num,
    box_cellinfo, box_modem_info, clear_image_store,
};

}  // namespace

void init_link_callbacks(void) {
    box_info_register(&kBoxInfo);
    vehicle_link_attach();
}


int init_iot(void) {
    init_link_callbacks();
    init_lte_gpio();
    init_lna_gpio();
    init_can_gpio();
    // The motion thread cannot see the host's callbacks (they live up here);
    // it reports its alarms through this hook, which is set before it starts.
    set_sensor_event_cb(cb_event_msg);
    sensor_mdm_init();
    if (init_mcu_usart() != 1) {
        printf("## init_mcu_usart failed\r");
        return 0;
    }
    int ret = init_lock_usart();
    ret |= init_factory_usart();
    ret |= init_orlin_ecu();
    ret |= mcu_bt_init();
    ret |= init_gps();
    ret |= init_tx510();
    if (ret == 1) {
        printf("%s/%s SDK Version:%s\n", kBuildDate, kBuildTime, kSdkVersion);
        return 1;
    }
    printf("## ret != IOT_SUCCESS\r");
    return 0;
}

int init_iotsdk(void) { return init_iot(); }
