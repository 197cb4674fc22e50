// The lock/controller board link and the bus data fields: handlers fed with
// frames directly, and commands, queries and relays over real pseudo-terminals.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>

#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "cloud/orlin_handle.h"
#include "core/tavi_common.h"
#include "core/iot_common.h"
#include "core/iot_config.h"
#include "support/child.h"
#include "support/pty_peer.h"
#include "support/test_root.h"
#include "vehicle/bus_fields.h"
#include "vehicle/frame_codec.h"
#include "vehicle/lock_link.h"
#include "vehicle/usart_lock_handle.h"
#include "vehicle/usart_mcu_handle.h"
#include "vehicle/vehicle_state.h"

using Bytes = std::vector<uint8_t>;
using namespace std::chrono_literals;

namespace {

int feed(const Bytes &f) { return dev_GD32_recv_handler(f.data(), static_cast<int>(f.size())); }

Bytes le32(uint32_t v) { return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}; }

class BusFields : public ::testing::Test {
protected:
    void SetUp() override {
        root.write("/iot/conf/iot.ini", "[IotCfg]\nWorkingMode=1\n");
        ASSERT_EQ(init_iotconfig(), 1);
    }
    TestRoot root;
};

}  // namespace

TEST_F(BusFields, ScalingAndStorage) {
    feed(bus_frame(0x06, 0x01, 0x010D, le32(123456)));
    feed(bus_frame(0x06, 0x01, 0x0120, le32(123456789)));
    feed(bus_frame(0x06, 0x01, 0x0711, {0x34, 0x12}));
    feed(bus_frame(0x06, 0x01, 0x0710, {0x10, 0x00}));
    feed(bus_frame(0x06, 0x01, 0x0117, {3}));
    feed(bus_frame(0x06, 0x01, 0x1002, {0x34, 0x12}));
    feed(bus_frame(0x06, 0x03, 0xF106, {0x00, 0x00, 0xC0, 0x05, 0x00, 0x4A}));
    mc_info_t m = motor_info_get_protocol();
    EXPECT_EQ(+m.odo, 123456u);
    EXPECT_EQ(+m.odorange, 12345);
    EXPECT_EQ(+m.MotorPowerOut, 0x1234);
    EXPECT_EQ(+m.HumanPower, 16);
    EXPECT_EQ(+m.CurrentSupportLevel, 3);
    EXPECT_EQ(+m.ErrorStatus, 4660u);  // upper half zero
    EXPECT_EQ(+m.BikeSpeed, 23);       // (5 << 2) | (0xC0 >> 6)
    EXPECT_EQ(+m.Candence, 0x4A);
    // Display status for the app or anyone else leaves speed alone.
    feed(bus_frame(0x09, 0x03, 0xF106, {0, 0, 0xFF, 0xFF, 0, 0xFF}));
    EXPECT_EQ(+motor_info_get_protocol().BikeSpeed, 23);
}

TEST_F(BusFields, BatteriesBySourceOnly) {
    feed(bus_frame(0x06, 0x15, 0x1002, {0x34, 0x12}));
    feed(bus_frame(0x06, 0x05, 0xF504, {0x04, 0x01}));  // 260 -> 26
    feed(bus_frame(0x06, 0x25, 0xF505, {0x10, 0x0E}));
    feed(bus_frame(0x06, 0x05, 0xF506, {0xFE, 0xFF}));
    feed(bus_frame(0x06, 0x15, 0xF508, {0x88, 0x13}));
    feed(bus_frame(0x06, 0x25, 0xF523, {1}));
    feed(bus_frame(0x06, 0x15, 0xF507, {77}));
    battery_info_t b = battery_info_get_protocol();
    EXPECT_EQ(+b.BatteryError[1], 0x0034);
    EXPECT_EQ(+b.BatteryTemperature[0], 26);
    EXPECT_EQ(+b.BatteryPackageVoltage[2], 0x0E10);
    EXPECT_EQ(+b.BatteryCurrent[0], 0xFFFE);
    EXPECT_EQ(+b.BatteryCapacity[1], 5000);
    EXPECT_EQ(+b.BatteryCharging[2], 1);
    EXPECT_EQ(+b.Battery2SoC, 77);
    EXPECT_EQ(+b.Battery2Enable, 1);
    // A foreign source changes nothing.
    battery_info_t before = battery_info_get_protocol();
    feed(bus_frame(0x06, 0x35, 0xF507, {50}));
    feed(bus_frame(0x06, 0x35, 0x1002, {9, 9}));
    battery_info_t after = battery_info_get_protocol();
    EXPECT_EQ(0, memcmp(&before, &after, sizeof before));
}

TEST_F(BusFields, ReadsShortFramesAndUnknownIdsLeaveTheRecord) {
    feed(bus_frame(0x06, 0x01, 0x010D, le32(5)));
    mc_info_t before = motor_info_get_protocol();
    EXPECT_EQ(feed(bus_frame(0x06, 0x01, 0x010D, {})), -1);       // a read
    EXPECT_EQ(feed(bus_frame(0x06, 0x01, 0x010D, {1, 2})), 0);     // 2 of 4 bytes
    EXPECT_EQ(feed(bus_frame(0x06, 0x01, 0x0004, Bytes(10, 7))), 0);  // 10 of 24
    EXPECT_EQ(feed(bus_frame(0x06, 0x03, 0xF106, {1, 2, 3})), 0);
    EXPECT_EQ(feed(bus_frame(0x06, 0x01, 0x7777, {1, 2, 3, 4})), 0);  // not in the table
    // A frame whose length field claims more than it holds.
    Bytes lying = bus_frame(0x06, 0x01, 0x010D, le32(99));
    lying[5] = 40;
    EXPECT_EQ(dev_GD32_recv_handler(lying.data(), static_cast<int>(lying.size())), -1);
    mc_info_t after = motor_info_get_protocol();
    EXPECT_EQ(0, memcmp(&before, &after, sizeof before));
    EXPECT_EQ(+after.odo, 5u);
}

TEST_F(BusFields, FlagsAndTheAppDestination) {
    feed(bus_frame(0x06, 0x01, 0x011A, {0x01, 0x00}));  // no command pending: still stored
    feed(bus_frame(0x06, 0x03, 0x0119, {0x03}));
    feed(bus_frame(0xFF, 0x03, 0xF107, {0x01}));
    uint8_t bits = 0;
    get_Bits_Field8_t(&bits);
    EXPECT_EQ(bits, BIT_BIKE_ON | BIT_MOTOR_LOCKED | BIT_LIGHT_ON);
    // To the phone app: never the message table.
    feed(bus_frame(0x04, 0x01, 0x011A, {0x00, 0x00}));
    feed(bus_frame(0x04, 0x01, 0x010D, le32(1)));
    EXPECT_EQ(get_MotorLockStatus(), 1);
    // During a firmware update the command flags are left alone, the bike-on
    // status is not.
    set_ota_mode(1);
    feed(bus_frame(0x06, 0x01, 0x011A, {0x00, 0x00}));
    feed(bus_frame(0xFF, 0x03, 0xF107, {0x00}));
    set_ota_mode(0);
    EXPECT_EQ(get_MotorLockStatus(), 1);
    EXPECT_EQ(get_BikeOnStatus(), 0);
}

TEST_F(BusFields, MessageTableOrderAndPollingCycle) {
    ASSERT_EQ(lock_msg_table_size(), 58u);
    EXPECT_EQ(lock_msg_table_id(0), 0x0001);
    EXPECT_EQ(lock_msg_table_id(20), 0xF107);
    EXPECT_EQ(lock_msg_table_id(57), 0xF425);
    const uint8_t *dst = nullptr;
    const uint16_t *ids = nullptr;
    ASSERT_EQ(ebike_poll_table(&dst, &ids), 30u);
    EXPECT_EQ(dst[8], 0x01);
    EXPECT_EQ(ids[8], 0xF106);
    EXPECT_EQ(dst[16], 0x15);
    EXPECT_EQ(ids[16], 0xF507);  // battery 2 starts with its state of charge
    EXPECT_EQ(ids[29], 0x1002);
}

TEST_F(BusFields, AgeingRules) {
    auto soc = [](uint8_t src, uint8_t v) { feed(bus_frame(0x06, src, 0xF507, {v})); };
    feed(bus_frame(0xFF, 0x03, 0xF107, {1}));
    feed(bus_frame(0x06, 0x01, 0x010D, le32(42)));
    soc(0x05, 80);
    soc(0x15, 70);
    soc(0x25, 60);
    check_sys_status();
    EXPECT_EQ(+battery_info_get_protocol().BatteryNumber, 3);
    // Batteries 1 and 3 keep answering, battery 2 falls silent for 20 s.
    for (int s = 0; s < 20; ++s) {
        soc(0x05, 80);
        soc(0x25, 60);
        if (s % 4 == 0) feed(bus_frame(0xFF, 0x03, 0xF107, {1}));
        check_sys_status();
    }
    battery_info_t b = battery_info_get_protocol();
    EXPECT_EQ(+b.BatteryNumber, 2);
    EXPECT_EQ(+b.Battery2Enable, 0xFF);
    EXPECT_EQ(get_BikeOnStatus(), 1);
    EXPECT_EQ(+motor_info_get_protocol().odo, 42u);
    // No status broadcast for 5 s: bike off, every motor field all-ones.
    for (int s = 0; s < 5; ++s) {
        soc(0x05, 80);
        check_sys_status();
    }
    EXPECT_EQ(get_BikeOnStatus(), 0);
    mc_info_t m = motor_info_get_protocol();
    for (size_t i = 0; i < sizeof m; ++i) ASSERT_EQ(reinterpret_cast<uint8_t *>(&m)[i], 0xFF) << i;
    // Battery 1 silent for 20 s clears all of them, 3 included.
    for (int s = 0; s < 20; ++s) {
        soc(0x25, 60);
        check_sys_status();
    }
    b = battery_info_get_protocol();
    EXPECT_EQ(+b.Battery3SoC, 0xFF);
    EXPECT_EQ(+b.BatteryNumber, 0);
    soc(0x25, 61);  // the next answer marks it present again...
    EXPECT_EQ(+battery_info_get_protocol().Battery3Enable, 1);
    check_sys_status();  // ...until battery 1's silence clears it once more
    EXPECT_EQ(+battery_info_get_protocol().Battery3Enable, 0xFF);
}

TEST_F(BusFields, NothingAgesOutOfService) {
    set_workingMode(0);
    set_TestMode(0);
    feed(bus_frame(0xFF, 0x03, 0xF107, {1}));
    feed(bus_frame(0x06, 0x05, 0xF507, {50}));
    for (int s = 0; s < 30; ++s) check_sys_status();
    EXPECT_EQ(get_BikeOnStatus(), 1);
    EXPECT_EQ(+battery_info_get_protocol().BatterySoC, 50);
    set_TestMode(1);  // test mode runs as if in service
    for (int s = 0; s < 5; ++s) check_sys_status();
    EXPECT_EQ(get_BikeOnStatus(), 0);
}

namespace {

// The box on a real lock line (and MCU line), polling stopped so the peer
// sees only what a test provokes.
class LockBoard : public ::testing::Test {
protected:
    void SetUp() override {
        root.write("/iot/conf/iot.ini",
                   "[IotCfg]\nWorkingMode=1\nMqttHost=broker.test\nMqttPort=1883\nMqttPing=60\n"
                   "MqttUserName=u\nMqttUserPass=p\nMqttTestHost=t.example\nMqttTestPort=1884\n"
                   "MqttOfficialHost=production.broker.example\nMqttOfficialPort=18830\n");
        ASSERT_EQ(init_iotconfig(), 1);
        board = std::make_unique<PtyPeer>(root.path(), "ttyHSL1");
        mcu = std::make_unique<PtyPeer>(root.path(), "ttyHSL2");
        dev_hostcore_register(&dev_hostcore);
        hostcore_GD32_recv_register(dev_GD32_recv_handler);
        vehicle_link_attach();
        ASSERT_EQ(init_lock_usart(), 1);
        com_uart_read_thread_destroy();
        vehicle_link_attach();
        ASSERT_EQ(init_mcu_usart(), 1);
        ble_read_thread_destroy();
        // The pollers may have sent their first reads before they stopped.
        Bytes stale;
        while (board->read_frame(stale, 300)) {}
        while (mcu->read_frame(stale, 300)) {}
    }
    // Next frame the box wrote to the lock line.
    Bytes next(int ms = 3000) {
        Bytes f;
        EXPECT_TRUE(board->read_frame(f, ms));
        return f;
    }
    // Next frame on the MCU line that is not one of the BLE poller's reads
    // (its first read may still be on its way after the poller stopped).
    bool read_mcu_skipping_ble_poll(Bytes &f, int ms) {
        const Bytes poll_a = bus_frame(0x07, 0x06, 0xF402, {});
        const Bytes poll_b = bus_frame(0x07, 0x06, 0xF404, {});
        while (mcu->read_frame(f, ms)) {
            if (f != poll_a && f != poll_b) return true;
        }
        return false;
    }
    TestRoot root;
    std::unique_ptr<PtyPeer> board, mcu;
};

}  // namespace

TEST_F(LockBoard, MotorLockConfirmedAndWrongByteFailsThreeTimes) {
    const uint8_t lock[2] = {0x01, 0x00};
    uint16_t result = 9;
    std::thread bike([&] {
        Bytes req = next();
        EXPECT_EQ(req, bus_frame(0x01, 0x02, 0x011A, {0x01, 0x00}));
        board->send(bus_frame(0x02, 0x01, 0x011A, {0x01, 0x00}));
    });
    EXPECT_EQ(get_ctrl_lock_info(lock, &result), 1);
    EXPECT_EQ(result, 1);
    bike.join();
    EXPECT_EQ(get_MotorLockStatus(), 1);

    int tries = 0;
    std::thread stubborn([&] {
        Bytes req;
        while (board->read_frame(req, 2500)) {
            ++tries;
            board->send(bus_frame(0x02, 0x01, 0x011A, {0x00, 0x00}));  // the wrong lock byte
        }
    });
    EXPECT_EQ(get_ctrl_lock_info(lock, &result), 0);
    EXPECT_EQ(result, 0);
    stubborn.join();
    EXPECT_EQ(tries, 3);
}

TEST_F(LockBoard, LightAnswerMustComeFromTheDisplay) {
    const uint8_t on[2] = {0x01, 0x00};
    uint16_t result = 9;
    int reads = 0;
    std::thread bike([&] {
        Bytes req;
        while (board->read_frame(req, 2500)) {
            if (++reads > 1) continue;
            EXPECT_EQ(req, bus_frame(0x03, 0x06, 0x0119, {0x01, 0x00}));
            // Not from the display: ignored.  Taken, its other byte would
            // fail this try and make the command ask again.
            board->send(bus_frame(0x06, 0x01, 0x0119, {0x00}));
            std::this_thread::sleep_for(300ms);
            board->send(bus_frame(0x06, 0x03, 0x0119, {0x01}));
        }
    });
    EXPECT_EQ(get_ctrl_light_info(on, &result), 1);
    bike.join();
    EXPECT_EQ(reads, 1);
}

TEST_F(LockBoard, PowerCommandCompletesOnlyOnTheBroadcast) {
    const uint8_t on[2] = {0x01, 0x00};
    uint16_t result = 9;
    int reads = 0;
    std::thread bike([&] {
        Bytes req;
        while (reads < 2 && board->read_frame(req, 2500)) {
            EXPECT_EQ(req, bus_frame(0x03, 0x02, 0xF107, {}));
            EXPECT_EQ(get_ctrl_ecu_expect(), 2);
            if (++reads == 1) {
                // Addressed to the display, with the awaited byte: updates the
                // flag, completes nothing, so the command tries again.
                board->send(bus_frame(0x03, 0x03, 0xF107, {0x02, 0xAA}));
            } else {
                board->send(bus_frame(0xFF, 0x03, 0xF107, {0x02, 0xBB}));
            }
        }
    });
    EXPECT_EQ(get_ctrl_ecu_info(on, &result), 1);
    bike.join();
    EXPECT_EQ(reads, 2);
    EXPECT_EQ(get_ctrl_ecu_expect(), 3);
    // The key line was pressed before each query and released after the last.
    const Bytes key_on = {0x02, 0x07, 0x06, 0x03, 0xF4, 0x02, 0x00, 0x01, 0x00, 0xEA, 0xF1, 0x03};
    const Bytes key_off = {0x02, 0x07, 0x06, 0x03, 0xF4, 0x02, 0x00, 0x00, 0x00, 0xDB, 0xC2, 0x03};
    std::vector<Bytes> keys;
    Bytes k;
    while (read_mcu_skipping_ble_poll(k, 500)) keys.push_back(k);
    EXPECT_EQ(keys, (std::vector<Bytes>{key_on, key_on, key_off}));
}

TEST_F(LockBoard, TestModeQueryAndSet) {
    board->send(bus_frame(0x06, 0x09, 0xF41D, {0x05}));
    EXPECT_EQ(next(), bus_frame(0x09, 0x06, 0xF41D, {0x05, 0x00}));
    EXPECT_EQ(get_TestMode(), 1);
    board->send(bus_frame(0x06, 0x09, 0xF41D, {}));
    EXPECT_EQ(next(), bus_frame(0x09, 0x06, 0xF41D, {0x01, 0x00}));
    board->send(bus_frame(0x06, 0x09, 0xF41B, {}));
    Bytes model = next();
    EXPECT_EQ(model, bus_frame(0x09, 0x06, 0xF41B, {'K', 'B', 'o', 'x', '4', '0'}));
    board->send(bus_frame(0x06, 0x09, 0xF418, {}));
    EXPECT_EQ(next(), bus_frame(0x09, 0x06, 0xF418, {0x01, 0x02, 0x02, 0x1C}));
}

TEST_F(LockBoard, ServerProfileSwitch) {
    board->send(bus_frame(0x06, 0x09, 0xF41E, {}));
    EXPECT_EQ(next(), bus_frame(0x09, 0x06, 0xF41E, {0x00, 0x00}));  // "broker.test": test profile
    mqtt_conf_t c{};
    // A store that takes the host but not the port (the file may grow by the
    // host's 14 more characters, not by the port's one more digit): the
    // previous pair comes back and the switch is answered as failed.
    const rlim_t grown = root.read("/iot/conf/iot.ini").size() + 14;
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit was {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &was), 0);
    struct rlimit small = was;
    small.rlim_cur = grown;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    board->send(bus_frame(0x06, 0x09, 0xF41E, {0x01}));
    const Bytes refused = next();
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &was), 0);
    EXPECT_EQ(refused, bus_frame(0x09, 0x06, 0xF41E, {0x02, 0x00}));
    ASSERT_EQ(get_mqttinfo(&c), 1);
    EXPECT_STREQ(c.hostip, "broker.test");
    EXPECT_EQ(+c.port, 1883);

    board->send(bus_frame(0x06, 0x09, 0xF41E, {0x01}));
    EXPECT_EQ(next(), bus_frame(0x09, 0x06, 0xF41E, {0x01, 0x00}));
    ASSERT_EQ(get_mqttinfo(&c), 1);
    EXPECT_STREQ(c.hostip, "production.broker.example");
    EXPECT_EQ(+c.port, 18830);
    board->send(bus_frame(0x06, 0x09, 0xF41E, {0x01}));  // already official
    EXPECT_EQ(next(), bus_frame(0x09, 0x06, 0xF41E, {0x01, 0x00}));
}

TEST_F(LockBoard, RelaysToTheBoardAndToTheMcu) {
    board->send(bus_frame(0x06, 0x09, 0xF40D, {}));  // GD32 version read: to the board
    EXPECT_EQ(next(), bus_frame(0x08, 0x09, 0xF40D, {}));
    board->send(bus_frame(0x09, 0x08, 0xF40D, {1, 2, 3, 4}));  // its answer, back with source 0x06
    EXPECT_EQ(next(), bus_frame(0x09, 0x06, 0xF40D, {1, 2, 3, 4}));
    board->send(bus_frame(0x06, 0x09, 0xF413, {}));  // BLE version read: to the MCU
    Bytes f;
    ASSERT_TRUE(read_mcu_skipping_ble_poll(f, 3000));
    EXPECT_EQ(f, bus_frame(0x07, 0x09, 0xF413, {}));
    board->send(bus_frame(0x06, 0x09, 0xF403, {0x01, 0x00, 0x55}));  // key line: first two bytes
    ASSERT_TRUE(read_mcu_skipping_ble_poll(f, 3000));
    EXPECT_EQ(f, bus_frame(0x07, 0x09, 0xF403, {0x01, 0x00}));
    board->send(bus_frame(0x06, 0x09, 0xF413, {0x09}));  // other answers are dropped
    EXPECT_FALSE(read_mcu_skipping_ble_poll(f, 300));
}

TEST_F(LockBoard, InformationReadsCutToTheFieldAndRetry) {
    uint8_t sn[24];
    memset(sn, 0xFF, sizeof sn);
    std::thread bike([&] {
        Bytes req = next();
        EXPECT_EQ(req, bus_frame(0x01, 0x06, 0x0004, {}));
        Bytes longsn(40);
        for (size_t i = 0; i < longsn.size(); ++i) longsn[i] = static_cast<uint8_t>('A' + i % 26);
        board->send(bus_frame(0x06, 0x01, 0x0004, longsn));
    });
    EXPECT_EQ(get_motor_sn(sn), 1);
    bike.join();
    EXPECT_EQ(sn[0], 'A');
    EXPECT_EQ(sn[23], 'A' + 23);
    uint8_t ver[8];
    memset(ver, 0xEE, sizeof ver);
    EXPECT_EQ(get_display_software_version(ver), 0);  // nobody answers: three tries, buffer untouched
    EXPECT_EQ(ver[0], 0xEE);
}

TEST_F(LockBoard, AnAnswerCompletesOnlyItsOwnRequest) {
    // A late answer to an earlier read of the same id from another node.
    uint8_t ver[8];
    memset(ver, 0xEE, sizeof ver);
    std::thread bike([&] {
        Bytes req = next();
        EXPECT_EQ(req, bus_frame(0x01, 0x06, 0x0002, {}));
        board->send(bus_frame(0x06, 0x03, 0x0002, {9, 9, 9, 9}));  // the display's, too late for its read
        std::this_thread::sleep_for(200ms);
        board->send(bus_frame(0x06, 0x01, 0x0002, {1, 2, 3, 4}));
    });
    EXPECT_EQ(get_motor_software_version(ver), 1);
    bike.join();
    EXPECT_EQ(Bytes(ver, ver + 4), Bytes({1, 2, 3, 4}));

    // Another id from the same node: the branch does not answer a model read.
    uint8_t model[20];
    memset(model, 0, sizeof model);
    std::thread bike2([&] {
        Bytes req = next();
        EXPECT_EQ(req, bus_frame(0x03, 0x06, 0xF41B, {}));
        board->send(bus_frame(0x06, 0x03, 0xF41C, {'b', 'r'}));
        std::this_thread::sleep_for(200ms);
        board->send(bus_frame(0x06, 0x03, 0xF41B, {'D', 'S', '1'}));
    });
    EXPECT_EQ(get_display_model(model), 1);
    bike2.join();
    EXPECT_EQ(model[0], 'D');
    EXPECT_EQ(model[2], '1');

    // The display's light status does not confirm a motor-lock command: one
    // try, answered by the motor.  Its byte differs from the one awaited, so
    // had it been taken the try would fail and the command ask again.
    const uint8_t lock[2] = {0x01, 0x00};
    uint16_t result = 9;
    int reads = 0;
    std::thread bike3([&] {
        Bytes req;
        while (board->read_frame(req, 2500)) {
            if (++reads == 1) {
                board->send(bus_frame(0x02, 0x03, 0x0119, {0x00}));
                std::this_thread::sleep_for(300ms);
                board->send(bus_frame(0x02, 0x01, 0x011A, {0x01, 0x00}));
            }
        }
    });
    EXPECT_EQ(get_ctrl_lock_info(lock, &result), 1);
    bike3.join();
    EXPECT_EQ(reads, 1);

    // A session names another answer explicitly: here the model answers a branch read.
    uint8_t ans[256];
    Bytes branch_read = bus_frame(0x03, 0x06, 0xF41C, {});
    std::thread bike4([&] {
        next();
        board->send(bus_frame(0x06, 0x03, 0xF41C, {'x'}));  // its own id, but not what this session waits for
        std::this_thread::sleep_for(200ms);
        board->send(bus_frame(0x06, 0x03, 0xF41B, {'M'}));
    });
    int n = request_lock_com(branch_read.data(), static_cast<int>(branch_read.size()), 2, ans, 0xF41B, 0x03);
    bike4.join();
    ASSERT_EQ(n, 11);
    EXPECT_EQ(ans[7], 'M');
}

TEST_F(LockBoard, BootloaderFramesToTheBoxAreNotAnswers) {
    uint8_t ans[256];
    Bytes req = bus_frame(0xAA, 0x06, 0x0007, {0x01});
    std::thread boot([&] {
        next();
        board->send(bus_frame(0x06, 0xAA, 0x0007, {0x55}));  // ignored
        board->send(bus_frame(0x09, 0xAA, 0x0007, {0x66}));  // answers the updater
    });
    int n = request_lock_com(req.data(), static_cast<int>(req.size()), 2, ans);
    boot.join();
    ASSERT_EQ(n, 11);
    EXPECT_EQ(ans[7], 0x66);
}

TEST_F(LockBoard, CommissioningAnswersWorkingMode) {
    set_workingMode(0);
    board->send(bus_frame(0x06, 0x09, 0xF401, {}));
    EXPECT_EQ(next(), bus_frame(0x09, 0x06, 0xF401, {0x00, 0x00}));
    board->send(bus_frame(0x06, 0x09, 0xF401, {0x00}));
    EXPECT_EQ(next(), bus_frame(0x09, 0x06, 0xF401, {0x02, 0x00}));
}

TEST(Commissioning, SetsWorkingModeAndReboots) {
    TestRoot root;
    root.write("/iot/conf/iot.ini", "[IotCfg]\nWorkingMode=0\n");
    PtyPeer board(root.path(), "ttyHSL1");
    // The reboot ends the process: the box runs in a child of its own.
    Child box([] {
        init_iotconfig();
        dev_hostcore_register(&dev_hostcore);
        hostcore_GD32_recv_register(dev_GD32_recv_handler);
        vehicle_link_attach();
        if (init_lock_usart() != 1) _exit(3);
        com_uart_read_thread_destroy();
        for (;;) pause();
    });
    Bytes f;
    while (board.read_frame(f, 300)) {}
    board.send(bus_frame(0x06, 0x09, 0xF401, {0x01}));
    ASSERT_TRUE(board.read_frame(f, 3000));
    EXPECT_EQ(f, bus_frame(0x09, 0x06, 0xF401, {0x01, 0x00}));
    ChildResult r = box.wait(5000);
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(root.read("/var/actions.log").find(" reboot"), std::string::npos);
    EXPECT_NE(root.read("/iot/conf/iot.ini").find("WorkingMode=1"), std::string::npos);
}

TEST(LockPolling, RequestsGoOutInOrderEveryHalfSecond) {
    TestRoot root;
    PtyPeer board(root.path(), "ttyHSL1");
    dev_hostcore_register(&dev_hostcore);
    vehicle_link_attach();
    ASSERT_EQ(init_lock_usart(), 1);
    const uint8_t *dst = nullptr;
    const uint16_t *ids = nullptr;
    ebike_poll_table(&dst, &ids);
    auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < 5; ++i) {
        Bytes f;
        ASSERT_TRUE(board.read_frame(f, 2000));
        EXPECT_EQ(f, bus_frame(dst[i], 0x06, ids[i], {})) << i;
    }
    EXPECT_GE(std::chrono::steady_clock::now() - t0, 1800ms);  // four gaps of 500 ms
    set_ota_mode(1);  // polling stands still during an update
    Bytes f;
    while (board.read_frame(f, 700)) {}
    EXPECT_FALSE(board.read_frame(f, 1500));
}
