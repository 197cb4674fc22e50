#include "core/iotsdk_main.h"

#include <atomic>
#include <cstdio>

#include "cloud/mqtt_handle.h"
#include "core/iot_common.h"
#include "core/tel_agent_main.h"
#include "gps/gps_handle.h"
#include "sensor/sensor_handle.h"
#include "vehicle/bt_handle.h"
#include "vehicle/factory_test.h"
#include "vehicle/usart_ecu_handle.h"
#include "vehicle/usart_lock_handle.h"
#include "vehicle/usart_mcu_handle.h"

namespace {

constexpr const char *kSdkVersion = "iot_orlin_V1.2.2.1-2023.04.10";
constexpr const char *kBuildDate = "Nov 21 2023";
constexpr const char *kBuildTime = "19:09:18";

}  // namespace

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

int init_iot(void) {
    init_lte_gpio();
    init_lna_gpio();
    init_can_gpio();
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
