#pragma once
// One box's MQTT session for a test case: a device root provisioned with the
// broker (user ebikeiot), the IMEI published, the operations table registered,
// the agent's clock frozen so that the supervisor's sleeps return at once, and
// this process's console captured.
#include <gtest/gtest.h>

#include <string>

#include "cloud/mqtt_handle.h"
#include "cloud/mqtt_test_env.h"
#include "core/iot_common.h"
#include "core/iot_config.h"
#include "core/tel_agent_main.h"
#include "lte/lte_handle.h"
#include "platform/plat_clock.h"
#include "support/test_root.h"

namespace mqtt_test {

inline constexpr time_t kT = 1710498030;  // 2024-03-15 10:20:30 UTC
inline const std::string kDev = std::string("zt/ebike/devices/") + kImei;

inline std::string ini(int port, const std::string &pass, int mode) {
    return "[IotCfg]\nMqttHost=127.0.0.1\nMqttPort=" + std::to_string(port) +
           "\nMqttPing=60\nMqttUserName=ebikeiot\nMqttUserPass=" + pass + "\nWorkingMode=" + std::to_string(mode) +
           "\n";
}

class MqttSession : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(broker.ok()) << broker.error();
        plat_clock_fake(kT);
        provision(broker.port());
        execute_command((std::string("set_imei_") + kImei).c_str());
        dev_hostcore_register(&dev_hostcore);
        init_mqtt();
    }
    void TearDown() override {
        free_mqtt();
        EXPECT_EQ(get_mqtt_client_count(), 0);
        if (HasFailure()) {
            // gtest's own failure lines went to the captured stdout too.
            const std::string out = console.text();
            const size_t keep = 24000;
            fprintf(stderr, "---- console (last %zu bytes) ----\n%s\n---- end ----\n", keep,
                    out.size() > keep ? out.substr(out.size() - keep).c_str() : out.c_str());
        }
    }

    void provision(int port, const std::string &pass = kPass, int mode = 1) {
        root.write("/iot/conf/iot.ini", ini(port, pass, mode));
        ASSERT_EQ(init_iotconfig(), 1);
    }

    // Data up, a forced pass, then the session confirmed.
    static bool bring_up() {
        lte_set_data_status(1);
        set_mqtt_Reregister(1);
        check_mqqt_connected();
        return poll_until([] { return get_mqqt_connected() == 1; }, 10000);
    }

    // The client reported its session lost.
    static bool wait_loss() {
        return poll_until([] { return get_mqtt_force_redial() == 1 && get_mqtt_subscribel() == 0; }, 10000);
    }

    TestRoot root;
    Broker broker;
    ConsoleCapture console;
};

}  // namespace mqtt_test
