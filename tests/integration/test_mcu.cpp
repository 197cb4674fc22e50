// The main MCU line and the factory tool line: the agent's MCU, lock and
// factory lines run in this test process against devsim, which plays the MCU
// with its BLE bridge and the phone app (ttyHSL2), the bike behind the lock
// board (ttyHSL1) and the factory tool (ttyHSL3).  Every expected frame is
// built here with this file's own CRC; nothing is checked against the agent's
// own builders.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <thread>
#include <cstring>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "box_harness.h"
#include "wire_frames.h"
#include "core/frame_link.h"
#include "core/iot_common.h"
#include "core/iot_config.h"
#include "core/iotsdk_main.h"
#include "core/tavi_common.h"
#include "dfu/fw_image.h"
#include "factory/peer_factory.h"
#include "lte/lte_handle.h"
#include "mcu/peer_mcu.h"
#include "sensor/sensor_handle.h"
#include "vehicle/bt_handle.h"
#include "vehicle/serial_line.h"
#include "vehicle/extra_info.h"
#include "vehicle/lock_link.h"
#include "vehicle/usart_ecu_handle.h"
#include "vehicle/usart_lock_handle.h"
#include "vehicle/usart_mcu_handle.h"
#include "vehicle/vehicle_state.h"

namespace {

constexpr int kWait = 6000;
const char *const kImei = "861234567890123";
const char *const kSn = "SN0123456789AB";

// ---- the test's own frame bytes ----------------------------------------------------

uint16_t crc_ccitt(const Bytes &b, size_t from, size_t n) {
    uint16_t crc = 0xFFFF;
    for (size_t i = from; i < from + n; ++i) {
        crc ^= static_cast<uint16_t>(b[i] << 8);
        for (int k = 0; k < 8; ++k) crc = (crc & 0x8000) ? static_cast<uint16_t>((crc << 1) ^ 0x1021) : crc << 1;
    }
    return crc;
}

Bytes F(uint8_t dst, uint8_t src, uint16_t id, const Bytes &p) {
    Bytes f = {0x02, dst, src, uint8_t(id), uint8_t(id >> 8), uint8_t(p.size()), uint8_t(p.size() >> 8)};
    f.insert(f.end(), p.begin(), p.end());
    const uint16_t c = crc_ccitt(f, 1, f.size() - 1);
    f.push_back(uint8_t(c));
    f.push_back(uint8_t(c >> 8));
    f.push_back(0x03);
    return f;
}

uint16_t crc_arc(const Bytes &b) {
    uint16_t crc = 0;
    for (uint8_t x : b) {
        crc ^= x;
        for (int k = 0; k < 8; ++k) crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : crc >> 1;
    }
    return crc;
}

Bytes Caret(uint8_t cmd, const Bytes &data) {
    Bytes f = {0x5E, 0x00, uint8_t(data.size() + 6), cmd};
    f.insert(f.end(), data.begin(), data.end());
    const uint16_t c = crc_arc(f);
    f.push_back(uint8_t(c >> 8));
    f.push_back(uint8_t(c));
    return f;
}

Bytes Pkg(const Bytes &frame) {
    Bytes p = {'A', 'T', '>', 0x00, 0x05, uint8_t(frame.size())};
    p.insert(p.end(), frame.begin(), frame.end());
    p.push_back(0x0D);
    p.push_back(0x0A);
    return p;
}

Bytes T(const std::string &s) { return Bytes(s.begin(), s.end()); }
std::string H(const Bytes &b) { return hex_of(b.data(), b.size()); }
std::string C(const Bytes &b) {  // compact hex for a control command
    std::string out;
    for (uint8_t x : b) {
        char t[3];
        snprintf(t, sizeof t, "%02x", x);
        out += t;
    }
    return out.empty() ? "-" : out;
}

// ---- devsim's side ---------------------------------------------------------------------

::testing::AssertionResult ctl(const Box &box, const std::string &line) {
    const std::string log = box.path("/var/devsim/control.log");
    const std::string ok = line + " -> ok\n";
    const size_t before = count_of(read_text(log), ok);
    int fd = open(box.path("/var/devsim/control").c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return ::testing::AssertionFailure() << "no control FIFO";
    const std::string text = line + "\n";
    const ssize_t w = write(fd, text.data(), text.size());
    close(fd);
    if (w != static_cast<ssize_t>(text.size())) return ::testing::AssertionFailure() << "control FIFO write";
    if (!poll_until([&] { return count_of(read_text(log), ok) > before; }, kWait))
        return ::testing::AssertionFailure() << line << ": " << read_text(log);
    return ::testing::AssertionSuccess();
}

// Frames the agent wrote on a port (RX in devsim's log), split with devsim's parser.
std::vector<std::string> rx_frames(const Box &box, const char *port) {
    std::istringstream in(box.file(std::string("/var/devsim/") + port + ".log"));
    std::vector<std::string> out;
    FrameParser parser(ParserLimits{true, 2100, 2000});
    std::string l;
    const std::string tag = std::string(" ") + port + " RX ";
    while (std::getline(in, l)) {
        const size_t p = l.find(tag);
        Bytes b;
        if (p == std::string::npos || !parse_hex_bytes(l.substr(p + tag.size()), &b)) continue;
        parser.feed(b.data(), b.size(), 0, [&](ParseEvent ev, const Frame *f, const char *, const uint8_t *, size_t) {
            if (ev == ParseEvent::Frame) out.push_back(H(f->raw));
        });
    }
    return out;
}

size_t rx_count(const Box &box, const char *port, const Bytes &frame) {
    auto v = rx_frames(box, port);
    return static_cast<size_t>(std::count(v.begin(), v.end(), H(frame)));
}

bool wait_rx(const Box &box, const char *port, const Bytes &frame, size_t n = 1) {
    return poll_until([&] { return rx_count(box, port, frame) >= n; }, kWait);
}

// BLE packages the app received.
std::vector<std::string> pkgs(const Box &box) {
    std::istringstream in(box.file("/var/devsim/ble_app.log"));
    std::vector<std::string> out;
    std::string l;
    while (std::getline(in, l)) {
        const size_t p = l.find(" PKG");
        if (p != std::string::npos) out.push_back(l.substr(p + 1));
    }
    return out;
}

size_t pkg_count(const Box &box, const Bytes &frame) {
    const std::string want = "PKG " + H(Pkg(frame));
    auto v = pkgs(box);
    return static_cast<size_t>(std::count(v.begin(), v.end(), want));
}

bool wait_pkg(const Box &box, const Bytes &frame) {
    return poll_until([&] { return pkg_count(box, frame) >= 1; }, kWait);
}

std::string pkgs_text(const Box &box) { return box.file("/var/devsim/ble_app.log"); }

std::mutex g_bt_mu;
std::condition_variable g_bt_cv;
std::vector<std::string> g_bt_msgs;
// A slow host: messages g_bt_let_go+1 .. g_bt_hold keep the callback until let go.
size_t g_bt_hold = 0, g_bt_let_go = 0;
void on_bt_msg(const unsigned char *m, int n) {
    std::unique_lock<std::mutex> g(g_bt_mu);
    g_bt_msgs.push_back(hex_of(m, static_cast<size_t>(n)));
    const size_t mine = g_bt_msgs.size();
    g_bt_cv.notify_all();
    g_bt_cv.wait_for(g, std::chrono::seconds(10), [mine] { return mine > g_bt_hold || mine <= g_bt_let_go; });
}
size_t bt_msg_count() {
    std::lock_guard<std::mutex> g(g_bt_mu);
    return g_bt_msgs.size();
}
void bt_let_go(size_t n) {
    std::lock_guard<std::mutex> g(g_bt_mu);
    g_bt_let_go = n;
    g_bt_cv.notify_all();
}

class Mcu : public ::testing::Test {
protected:
    void start(const std::string &scenario) {
        BoxOptions o;
        o.start_host = false;
        o.scenario = std::string("[smd7]\nsn = ") + kSn + "\n" + scenario;
        box_ = std::make_unique<Box>(o);
        ASSERT_TRUE(box_->ok()) << box_->error();
        const std::string out = box_->file("/var/devsim.out");
        ASSERT_EQ(out.find("not used"), std::string::npos) << out;
        setenv("TELAGENT_ROOT", box_->root().c_str(), 1);
        ASSERT_EQ(chdir(box_->root().c_str()), 0);
        ASSERT_EQ(init_iotconfig(), 1);
        ASSERT_EQ(dev_hostcore_register(&dev_hostcore), 1);
        hostcore_GD32_recv_register(dev_GD32_recv_handler);
        hostcore_bluetooth_recv_register(dev_bluetooth_recv_handler);
        init_link_callbacks();
        set_lte_bt_mac_cb(iot_get_bt_mac);
        static const iot_host_cb_t cb = {on_bt_msg, nullptr};
        init_cb(&cb);
        setimei(861234567890123LL);
        ASSERT_EQ(init_mcu_usart(), 1);
        ASSERT_EQ(init_lock_usart(), 1);
        ASSERT_EQ(init_factory_usart(), 1);
        mcu_bt_init();
    }
    void TearDown() override {
        if (box_) {
            EXPECT_EQ(box_->stop_devsim(), 0) << box_->file("/var/devsim.out");
        }
    }
    // A frame from the phone app, through the bridge.
    ::testing::AssertionResult app(uint8_t dst, uint16_t id, const Bytes &p) {
        char cmd[64];
        snprintf(cmd, sizeof cmd, "ttyHSL2 app %02x %04x ", dst, id);
        return ctl(*box_, cmd + C(p));
    }
    ::testing::AssertionResult on_line(const char *port, const Bytes &frame) {
        return ctl(*box_, std::string(port) + " send " + H(frame));
    }
    std::unique_ptr<Box> box_;
};

// ---- app -> box ------------------------------------------------------------------------

TEST_F(Mcu, AppQueriesAreAnsweredByTheBoxInBlePackages) {
    start("[ttyHSL2]\nvoltage = 4660\nmain_battery = 7\n");
    ASSERT_EQ(load_sn_info(), 1);  // what start-up keeps for the lines
    ASSERT_TRUE(app(0x06, 0xF400, {}));
    EXPECT_TRUE(wait_pkg(*box_, F(0x04, 0x06, 0xF400, T(kImei)))) << pkgs_text(*box_);
    ASSERT_TRUE(app(0x06, 0xF41B, {}));
    EXPECT_TRUE(wait_pkg(*box_, F(0x04, 0x06, 0xF41B, T("KBox40")))) << pkgs_text(*box_);
    ASSERT_TRUE(app(0x06, 0xF418, {}));
    EXPECT_TRUE(wait_pkg(*box_, F(0x04, 0x06, 0xF418, {0x01, 0x02, 0x02, 0x1C})));
    ASSERT_TRUE(app(0x06, 0xF417, {}));
    EXPECT_TRUE(wait_pkg(*box_, F(0x04, 0x06, 0xF417, T(kSn)))) << pkgs_text(*box_);
    ASSERT_TRUE(app(0x06, 0xF401, {}));
    EXPECT_TRUE(wait_pkg(*box_, F(0x04, 0x06, 0xF401, {uint8_t(get_workingMode()), 0x00})));
    mqtt_conf_t conf{};
    ASSERT_EQ(get_mqttinfo(&conf), 1);
    ASSERT_TRUE(app(0x06, 0xF42E, {}));
    EXPECT_TRUE(wait_pkg(*box_, F(0x04, 0x06, 0xF42E, T(std::string(conf.hostip) + ":" + std::to_string(conf.port)))))
        << pkgs_text(*box_);

    // Test mode cannot be switched from the phone on a commissioned bike.
    ASSERT_EQ(get_workingMode(), 1);
    ASSERT_TRUE(app(0x06, 0xF41D, {0x01}));
    EXPECT_TRUE(wait_pkg(*box_, F(0x04, 0x06, 0xF41D, {0x00, 0x00})));
    EXPECT_EQ(get_TestMode(), 0);

    // The BLE polling read the box supply (high byte first) and the main battery.
    ASSERT_TRUE(poll_until([] { return get_iot_battery_info().main_battery_status == 7; }, 12000));
    EXPECT_EQ(get_iot_battery_info().pack_voltage, 4660);
    // The app reads the main battery status the MCU reported, not a byte of its request.
    ASSERT_TRUE(app(0x06, 0xF404, {}));
    EXPECT_TRUE(wait_pkg(*box_, F(0x04, 0x06, 0xF404, {0x07, 0x00}))) << pkgs_text(*box_);

    // 0xF40C from the app reads the accelerometer (gravity on z at rest), not
    // the gyroscope that the lock line answers under the same id.
    ASSERT_EQ(sensor_mdm_probe(), 1);
    ASSERT_TRUE(app(0x06, 0xF40C, {}));
    iot_sensor_data_t g{};
    ASSERT_EQ(dev_get_gsensor_info(&g), 1);
    ASSERT_GT(g.z, 0.5f);
    Bytes p;
    for (float v : {g.x, g.y, g.z}) {
        const uint32_t u = static_cast<uint32_t>(static_cast<int32_t>(static_cast<double>(v) * 10000.0));
        for (int k = 0; k < 4; ++k) p.push_back(uint8_t(u >> (8 * k)));
    }
    EXPECT_TRUE(wait_pkg(*box_, F(0x04, 0x06, 0xF40C, p))) << pkgs_text(*box_);
    EXPECT_NE(box_->file("/var/devsim/mcu_state").find("main_battery = 7"), std::string::npos);

    // Commissioning from the phone sets the working mode without a restart.
    ASSERT_TRUE(app(0x06, 0xF401, {0x00, 0x00}));
    EXPECT_TRUE(wait_pkg(*box_, F(0x04, 0x06, 0xF401, {0x00, 0x00})));
    EXPECT_EQ(get_workingMode(), 0);
    ASSERT_TRUE(app(0x06, 0xF41D, {0x05}));
    EXPECT_TRUE(wait_pkg(*box_, F(0x04, 0x06, 0xF41D, {0x05, 0x00})));
    EXPECT_EQ(get_TestMode(), 1);
    EXPECT_EQ(box_->actions().find("reboot"), std::string::npos) << box_->actions();
}

TEST_F(Mcu, QueriesTheMcuAnswersGoToTheMcuAndItsAnswerBackToTheApp) {
    start("[ttyHSL2]\nble_version = 2.1.0.9\nvoltage = 4097\ncharging = 1\n");
    // Rule A: the read is passed on to the MCU, the MCU answers the app.
    ASSERT_TRUE(app(0x06, 0xF413, {}));
    EXPECT_TRUE(wait_rx(*box_, "ttyHSL2", F(0x07, 0x04, 0xF413, {})));
    EXPECT_TRUE(wait_pkg(*box_, F(0x04, 0x06, 0xF413, {2, 1, 0, 9}))) << pkgs_text(*box_);
    // The supply the MCU gives the app in four bytes reaches it as two.
    ASSERT_TRUE(app(0x06, 0xF402, {}));
    EXPECT_TRUE(wait_pkg(*box_, F(0x04, 0x06, 0xF402, {0x10, 0x01}))) << pkgs_text(*box_);
    // The box's own read of the BLE version, through request_mcu_data.
    uint8_t v[4] = {};
    ASSERT_EQ(get_ble_software_version(v), 1);
    EXPECT_EQ(H(Bytes(v, v + 4)), "02 01 00 09");
    uint8_t block[15];
    memset(block, 0xFF, sizeof block);
    get_extra_ble_info_t(block);
    EXPECT_EQ(H(Bytes(block, block + 15)), "ff ff ff ff ff 02 01 00 09 ff ff ff ff ff ff");
}

TEST_F(Mcu, BleVersionReadGivesUpOnASilentOrLateMcu) {
    start("[ttyHSL2]\nanswer_delay_ms = 2500\n");
    // One request: the answer comes after its 2 s wait and is not returned.
    const Bytes req = F(0x07, 0x06, 0xF413, {});
    uint8_t ans[256];
    EXPECT_EQ(request_mcu_data(req.data(), static_cast<int>(req.size()), 0, ans), 0);
    harness_sleep_ms(1000);  // the late answer is gone by now
    // The version read retries: the late answer to one try completes the next.
    uint8_t v[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    EXPECT_EQ(get_ble_software_version(v), 1);
    EXPECT_EQ(H(Bytes(v, v + 4)), "01 00 03 00");
    EXPECT_EQ(rx_count(*box_, "ttyHSL2", req), 3u);
    harness_sleep_ms(3000);
    ASSERT_TRUE(ctl(*box_, "ttyHSL2 set silent 1"));
    memset(v, 0xEE, sizeof v);
    EXPECT_EQ(get_ble_software_version(v), 0);
    EXPECT_EQ(H(Bytes(v, v + 4)), "ee ee ee ee") << "nothing copied without an answer";
    EXPECT_EQ(rx_count(*box_, "ttyHSL2", req), 6u);
    ASSERT_TRUE(ctl(*box_, "ttyHSL2 set silent 0"));
    ASSERT_TRUE(ctl(*box_, "ttyHSL2 set answer_delay_ms 0"));
    ASSERT_TRUE(ctl(*box_, "ttyHSL2 set noise_before 41 54 02 07 5e"));
    ASSERT_TRUE(ctl(*box_, "ttyHSL2 mcu ble_version 9.8.7.6"));
    EXPECT_EQ(get_ble_software_version(v), 1) << "noise ahead of the answer is skipped";
    EXPECT_EQ(H(Bytes(v, v + 4)), "09 08 07 06");
}

// ---- app <-> bike ---------------------------------------------------------------------

TEST_F(Mcu, AppFramesReachTheBikeAndItsAnswersComeBack) {
    start("[bike]\nodo = 123456\ngd_version = 1.2.3.4\n");
    // A read of the motor controller goes to the lock line as it is; the answer
    // to 0x04 comes back to the app, as the motor controller sent it.
    ASSERT_TRUE(app(0x01, 0x010D, {}));
    EXPECT_TRUE(wait_rx(*box_, "ttyHSL1", F(0x01, 0x04, 0x010D, {})));
    EXPECT_TRUE(wait_pkg(*box_, F(0x04, 0x01, 0x010D, {0x40, 0xE2, 0x01, 0x00}))) << pkgs_text(*box_);
    // Display control and status request from the app, in the bike's words.
    ASSERT_TRUE(app(0x01, 0xF103, {0x21, 0x01}));
    EXPECT_TRUE(wait_rx(*box_, "ttyHSL1", F(0x01, 0x06, 0xF105, {0x21, 0x01}))) << box_->file("/var/devsim/ttyHSL1.log");
    ASSERT_TRUE(app(0x01, 0xF104, {}));
    EXPECT_TRUE(wait_rx(*box_, "ttyHSL1", F(0x01, 0x06, 0xF106, {})));
    // The GD32 version for the app: the read goes to the board, the answer
    // comes back with the box as its source.
    ASSERT_TRUE(app(0x06, 0xF40D, {}));
    EXPECT_TRUE(wait_rx(*box_, "ttyHSL1", F(0x08, 0x04, 0xF40D, {})));
    EXPECT_TRUE(wait_pkg(*box_, F(0x04, 0x06, 0xF40D, {1, 2, 3, 4}))) << pkgs_text(*box_);
    // A frame the lock line sends the app from the box itself is never echoed.
    ASSERT_TRUE(on_line("ttyHSL1", F(0x04, 0x06, 0x0117, {0x05})));
    ASSERT_TRUE(on_line("ttyHSL1", F(0x04, 0x03, 0x0117, {0x06})));
    EXPECT_TRUE(wait_pkg(*box_, F(0x04, 0x03, 0x0117, {0x06})));
    EXPECT_EQ(pkg_count(*box_, F(0x04, 0x06, 0x0117, {0x05})), 0u);
    // Relay rule M: a read from the bike bus goes to the MCU, the MCU's answer
    // to the bike bus goes back out on the lock line.
    ASSERT_TRUE(on_line("ttyHSL1", F(0x06, 0x03, 0xF414, {})));
    EXPECT_TRUE(wait_rx(*box_, "ttyHSL2", F(0x07, 0x03, 0xF414, {})));
    EXPECT_TRUE(wait_rx(*box_, "ttyHSL1", F(0x03, 0x07, 0xF414, {0xC0, 0x11, 0x22, 0x33, 0x44, 0x55})));
    // The key line from the bike bus carries its two bytes to the MCU.
    ASSERT_TRUE(on_line("ttyHSL1", F(0x06, 0x03, 0xF403, {0x01, 0x00, 0x09})));
    EXPECT_TRUE(wait_rx(*box_, "ttyHSL2", F(0x07, 0x03, 0xF403, {0x01, 0x00})));
}

TEST_F(Mcu, DisplayFramesReachTheAppTranslated) {
    start("");
    // 0xF106 addressed to the app: F104 with the fields moved as the app reads them.
    const Bytes in = {0xFF, 0x11, 0xFF, 0x22, 0x99, 0x33, 0x44, 0xFF, 0xFF, 0x55};
    ASSERT_TRUE(on_line("ttyHSL1", F(0x04, 0x03, 0xF106, in)));
    EXPECT_TRUE(wait_pkg(*box_, F(0x04, 0x03, 0xF104, {0x7F, 0x00, 0xDC, 0x22, 0x7F, 0x33, 0x44, 0x03, 0x00, 0x00})))
        << pkgs_text(*box_);
    // 0xF105 from the display: bits 0-3 and 5 of byte 0 and bit 0 of byte 1.
    ASSERT_TRUE(on_line("ttyHSL1", F(0xFF, 0x03, 0xF105, {0xEA, 0x03, 0x77})));
    EXPECT_TRUE(wait_pkg(*box_, F(0x04, 0x03, 0xF103, {0x3A, 0x00, 0x00}))) << pkgs_text(*box_);
    // Too short to carry the fields read: nothing for the app.
    ASSERT_TRUE(on_line("ttyHSL1", F(0x04, 0x03, 0xF106, {0x01, 0x02, 0x03})));
    ASSERT_TRUE(on_line("ttyHSL1", F(0xFF, 0x03, 0xF105, {0x0F})));
    ASSERT_TRUE(on_line("ttyHSL1", F(0x04, 0x03, 0x0117, {0x01, 0x02})));
    ASSERT_TRUE(wait_pkg(*box_, F(0x04, 0x03, 0x0117, {0x01, 0x02})));
    EXPECT_EQ(pkgs(*box_).size(), 3u) << pkgs_text(*box_);
    // A 12-byte frame makes a 20-byte package.
    const std::string last = pkgs(*box_).back();
    EXPECT_EQ(last.substr(0, 22), "PKG 41 54 3e 00 05 0c ");
    EXPECT_EQ(last.size(), 4 + 20 * 3 - 1);
}

// ---- MCU caret commands --------------------------------------------------------------------

TEST_F(Mcu, MacFromTheMcuLandsInTheSerialNumberList) {
    start("[ttyHSL2]\nmac = A1:B2:C3:D4:E5:F6\n");
    uint8_t mac[6] = {};
    ASSERT_EQ(iot_get_bt_mac(mac), 1);
    EXPECT_EQ(H(Bytes(mac, mac + 6)), "a1 b2 c3 d4 e5 f6");
    // The query mcu_bt_init sent, as the MCU saw it.
    EXPECT_GE(rx_count(*box_, "ttyHSL2", Caret(0x0A, Bytes(7, 0x00))), 1u);
    EXPECT_EQ(load_sn_info(), 1);
    const std::string list = box_->file("/iot/conf/sn_list.txt");
    EXPECT_NE(list.find(std::string(";") + kSn + ";"), std::string::npos) << list;
    EXPECT_EQ(list.substr(list.size() - 19), ";A1:B2:C3:D4:E5:F6;") << list;

    // Disconnect and reboot of the BLE module reach the MCU.
    disconnect_bt_device();
    reboot_bt_device();
    EXPECT_TRUE(box_->wait_file("/var/devsim/mcu_state", "connected = 0\nble_reboots = 1\n", kWait))
        << box_->file("/var/devsim/mcu_state");
    // Caret messages of the MCU for the host go through the message pool; a
    // slot holds 47 bytes, a longer message is dropped, not cut.
    const Bytes fits(47, 0x47), too_long(48, 0x48);
    ASSERT_TRUE(ctl(*box_, "ttyHSL2 caret 09 " + C(too_long)));
    ASSERT_TRUE(ctl(*box_, "ttyHSL2 caret 09 0102030405"));
    ASSERT_TRUE(ctl(*box_, "ttyHSL2 caret 09 " + C(fits)));
    auto seen = [](const std::string &hex) {
        std::lock_guard<std::mutex> g(g_bt_mu);
        return std::find(g_bt_msgs.begin(), g_bt_msgs.end(), hex) != g_bt_msgs.end();
    };
    EXPECT_TRUE(poll_until([&] { return seen("01 02 03 04 05") && seen(H(fits)); }, kWait));
    ASSERT_EQ(bt_msg_count(), 2u);
    // Messages keep their order while the host is slow: with A and then B held
    // in the callback, E lands in the slot B left, below the older C and D.
    int probes = 0;
    auto probe = [&] {  // the dispatcher has handled everything sent before this answer
        ASSERT_TRUE(app(0x06, 0xF418, {}));
        ++probes;
        ASSERT_TRUE(poll_until([&] { return pkg_count(*box_, F(0x04, 0x06, 0xF418, {1, 2, 2, 0x1C})) >= size_t(probes); },
                               kWait));
    };
    {
        std::lock_guard<std::mutex> g(g_bt_mu);
        g_bt_hold = 4;
        g_bt_let_go = 2;
    }
    ASSERT_TRUE(ctl(*box_, "ttyHSL2 caret 09 a1"));
    ASSERT_TRUE(poll_until([] { return bt_msg_count() == 3; }, kWait));
    for (const char *m : {"b2", "c3", "d4"}) ASSERT_TRUE(ctl(*box_, std::string("ttyHSL2 caret 09 ") + m));
    probe();
    bt_let_go(3);
    ASSERT_TRUE(poll_until([] { return bt_msg_count() == 4; }, kWait));
    ASSERT_TRUE(ctl(*box_, "ttyHSL2 caret 09 e5"));
    probe();
    bt_let_go(4);
    ASSERT_TRUE(poll_until([] { return bt_msg_count() == 7; }, kWait));
    {
        std::lock_guard<std::mutex> g(g_bt_mu);
        EXPECT_EQ(std::vector<std::string>(g_bt_msgs.begin() + 2, g_bt_msgs.end()),
                  (std::vector<std::string>{"a1", "b2", "c3", "d4", "e5"}));
    }
    // Cloud data forwarded to Bluetooth: at most 200 bytes in one caret frame.
    const Bytes data(200, 0xA5);
    EXPECT_EQ(forward_date_lte2bt(data.data(), 200), 1);
    EXPECT_EQ(forward_date_lte2bt(data.data(), 0), 0);
    const Bytes more(201, 0xA5);
    EXPECT_EQ(forward_date_lte2bt(more.data(), 201), 0);
    EXPECT_TRUE(wait_rx(*box_, "ttyHSL2", Caret(0x09, data)));
    EXPECT_EQ(rx_count(*box_, "ttyHSL2", Caret(0x09, Bytes(200, 0xA5))), 1u);
}

TEST_F(Mcu, MacStaysUnknownWhenTheMcuAnswersWithoutOneOrNotAtAll) {
    start("[ttyHSL2]\nmac_short = 1\n");
    uint8_t mac[6] = {9, 9, 9, 9, 9, 9};
    EXPECT_EQ(iot_get_bt_mac(mac), 0);
    EXPECT_EQ(H(Bytes(mac, mac + 6)), "00 00 00 00 00 00");
    ASSERT_TRUE(ctl(*box_, "ttyHSL2 mcu caret_silent 1"));
    ASSERT_TRUE(ctl(*box_, "ttyHSL2 mcu mac_short 0"));
    EXPECT_EQ(iot_get_bt_mac(mac), 0);
    EXPECT_EQ(load_sn_info(), 1);
    const std::string list = box_->file("/iot/conf/sn_list.txt");
    EXPECT_EQ(list.substr(list.size() - 2), ";;") << "the MAC field stays empty: " << list;
    // Every try asked again: the start-up query and three per read.
    EXPECT_TRUE(box_->wait_file("/var/devsim/mcu_state", "mac_queries = 10\n", kWait))
        << box_->file("/var/devsim/mcu_state");
}

// ---- factory tool --------------------------------------------------------------------------

std::vector<std::string> factory_lines(const Box &box) {
    std::istringstream in(box.file("/var/devsim/factory.log"));
    std::vector<std::string> out;
    std::string l;
    while (std::getline(in, l)) out.push_back(l);
    return out;
}

bool wait_done(const Box &box, size_t runs = 1) {
    return poll_until([&] { return count_of(box.file("/var/devsim/factory.log"), "done ") >= runs; }, 60000);
}

// "<n> <id> ok <ms> <frame>" -> frame hex, "" when that step timed out.
std::string answer_of(const std::vector<std::string> &lines, size_t step) {
    const std::string head = std::to_string(step) + " ";
    for (const std::string &l : lines) {
        if (l.rfind(head, 0) != 0) continue;
        const size_t ok = l.find(" ok ");
        if (ok == std::string::npos) return "";
        return l.substr(l.find(' ', ok + 4) + 1);
    }
    return "?";
}

TEST_F(Mcu, FactoryToolRunsTheWholeSequenceThroughTheBox) {
    start("[bike]\ngd_version = 1.2.3.4\n[ttyHSL2]\nble_version = 3.0.0.1\nvoltage = 4000\ncharging = 1\n");
    box_->put_file("/sys/bus/platform/drivers/ledctrl/gps_led", "x");
    app_init_success();
    ASSERT_EQ(load_sn_info(), 1);
    // A controller image built for an update, which the model query clears.
    const std::string hex = ":020000040800F2\r\n:04400000DEADBEEF84\r\n:00000001FF\r\n";
    {
        auto held = fw_update_lock();
        ASSERT_EQ(fw_build_from_text(FW_GD32, hex.data(), hex.size()), 1);
    }
    // What the GNSS LED shows, change by change, while the sequence runs.
    std::atomic<bool> stop{false};
    std::vector<std::string> led;
    std::thread watcher([&] {
        while (!stop.load()) {
            // A control file is rewritten in place: between truncation and
            // write it reads empty, which is no state of the LED.
            const std::string v = box_->file("/sys/bus/platform/drivers/ledctrl/gps_led");
            if (!v.empty() && (led.empty() || led.back() != v)) led.push_back(v);
            harness_sleep_ms(5);
        }
    });
    ASSERT_TRUE(ctl(*box_, "ttyHSL3 run"));
    // While the tool holds the box, the box's own polling stops.
    ASSERT_TRUE(poll_until([] { return get_factory_mode() == 1; }, kWait));
    const bool done = wait_done(*box_);
    harness_sleep_ms(50);
    stop.store(true);
    watcher.join();
    ASSERT_TRUE(done) << box_->file("/var/devsim/factory.log");
    EXPECT_EQ(get_factory_mode(), 0);
    // On for a while (250 ms), then off again before the answer.
    EXPECT_EQ(led, (std::vector<std::string>{"x", "1", "0"}));
    const auto l = factory_lines(*box_);
    const uint8_t tool = 0x09;
    EXPECT_EQ(answer_of(l, 1), H(F(tool, 0x06, 0xF41F, {0x01, 0x00})));
    EXPECT_EQ(answer_of(l, 2), H(F(tool, 0x06, 0xF400, T(kImei))));
    EXPECT_EQ(answer_of(l, 3), H(F(tool, 0x06, 0xF417, T(kSn))));
    EXPECT_NE(answer_of(l, 4), "") << "ICCID";
    EXPECT_EQ(answer_of(l, 5), H(F(tool, 0x06, 0xF418, {0x01, 0x02, 0x02, 0x1C})));
    EXPECT_EQ(answer_of(l, 6), H(F(tool, 0x06, 0xF41B, T("KBox40"))));
    EXPECT_EQ(fw_image_valid(FW_GD32), 0);
    EXPECT_EQ(fw_image(FW_GD32)[0], 0xFF);
    // Relays: the MCU and the lock board answer the tool, the box passes it on.
    EXPECT_EQ(answer_of(l, 7), H(F(tool, 0x06, 0xF413, {3, 0, 0, 1})));
    EXPECT_EQ(answer_of(l, 8), H(F(tool, 0x06, 0xF414, {0xC0, 0x11, 0x22, 0x33, 0x44, 0x55})));
    EXPECT_EQ(answer_of(l, 9), H(F(tool, 0x06, 0xF402, {0x0F, 0xA0, 0x01, 0x00})));
    EXPECT_EQ(answer_of(l, 10), H(F(tool, 0x06, 0xF40D, {1, 2, 3, 4})));
    // LEDs and the bike bus: consistent 12-byte answers.
    EXPECT_EQ(answer_of(l, 11), H(F(tool, 0x06, 0xF426, {0x01, 0x02})));
    EXPECT_EQ(answer_of(l, 12), H(F(tool, 0x06, 0xF427, {0x03, 0x04})));
    EXPECT_EQ(answer_of(l, 13), H(F(tool, 0x06, 0xF425, {0x05, 0x06})));
    EXPECT_EQ(answer_of(l, 14), H(F(tool, 0x06, 0xF41F, {0x00, 0x00})));
    EXPECT_NE(l.back().find("done 14/14"), std::string::npos) << box_->file("/var/devsim/factory.log");
    EXPECT_EQ(box_->file("/sys/bus/platform/drivers/ledctrl/net_led"), "1");
    EXPECT_EQ(box_->file("/sys/bus/platform/drivers/ledctrl/gps_led"), "0");
    // The relayed reads went out unchanged but for the destination.
    EXPECT_EQ(rx_count(*box_, "ttyHSL2", F(0x07, tool, 0xF413, {})), 1u);
    EXPECT_EQ(rx_count(*box_, "ttyHSL1", F(0x08, tool, 0xF40D, {})), 1u);
    EXPECT_EQ(rx_count(*box_, "ttyHSL1", F(0x06, tool, 0xF425, {0x05, 0x06})), 1u);
}

TEST_F(Mcu, FactoryModeStopsPollingAndDivertsAppFramesToTheTool) {
    start("[bike]\nodo = 1\n");
    app_init_success();
    const Bytes poll_odo = F(0x01, 0x06, 0x010D, {});
    ASSERT_TRUE(wait_rx(*box_, "ttyHSL1", poll_odo));
    ASSERT_TRUE(ctl(*box_, "ttyHSL3 run F41F:01"));
    ASSERT_TRUE(wait_done(*box_));
    ASSERT_EQ(get_factory_mode(), 1);
    harness_sleep_ms(600);  // a poll already under way finishes
    const size_t polls = rx_frames(*box_, "ttyHSL1").size();
    const size_t reads = rx_frames(*box_, "ttyHSL2").size();
    // App frames for the bike now go to the tool, from the box.
    ASSERT_TRUE(app(0x01, 0xF103, {0x21, 0x01}));
    EXPECT_TRUE(wait_rx(*box_, "ttyHSL3", F(0x01, 0x06, 0xF103, {0x21, 0x01}))) << box_->file("/var/devsim/ttyHSL3.log");
    harness_sleep_ms(5500);
    EXPECT_EQ(rx_frames(*box_, "ttyHSL1").size(), polls) << "no polling and no relay to the bike";
    EXPECT_EQ(rx_frames(*box_, "ttyHSL2").size(), reads) << "no BLE polling";
    ASSERT_TRUE(ctl(*box_, "ttyHSL3 run F41F:00"));
    ASSERT_TRUE(wait_done(*box_, 2));
    EXPECT_EQ(get_factory_mode(), 0);
    EXPECT_TRUE(wait_rx(*box_, "ttyHSL1", poll_odo, rx_count(*box_, "ttyHSL1", poll_odo) + 1)) << "polling again";
}

// ---- mended faults -------------------------------------------------------------------------

TEST_F(Mcu, IdentityQueriesAreAnsweredFromWhatTheBoxKeeps) {
    const std::string iccid = "89860012345678901234";
    start("iccid = " + iccid + "\n");
    // Not known yet: the first query has them read off the line threads.
    ASSERT_TRUE(app(0x06, 0xF417, {}));
    char buf[40];
    ASSERT_TRUE(poll_until([&] { return get_kept_sn(buf, false) > 0 && get_kept_iccid(buf, false) > 0; }, kWait));
    // A modem gone silent and its services down stall no line and leave no
    // query unanswered.
    ASSERT_TRUE(ctl(*box_, "modem silent 1"));
    ASSERT_TRUE(ctl(*box_, "modem service_down uim,dms"));
    for (uint16_t id : {0xF417, 0xF408, 0xF400}) ASSERT_TRUE(on_line("ttyHSL1", F(0x06, 0x09, id, {})));
    ASSERT_TRUE(app(0x06, 0xF408, {}));
    ASSERT_TRUE(ctl(*box_, "ttyHSL3 run F417 F408"));
    EXPECT_TRUE(wait_rx(*box_, "ttyHSL1", F(0x09, 0x06, 0xF417, T(kSn))));
    EXPECT_TRUE(wait_rx(*box_, "ttyHSL1", F(0x09, 0x06, 0xF408, T(iccid))));
    EXPECT_TRUE(wait_rx(*box_, "ttyHSL1", F(0x09, 0x06, 0xF400, T(kImei))));
    EXPECT_TRUE(wait_pkg(*box_, F(0x04, 0x06, 0xF408, T(iccid)))) << pkgs_text(*box_);
    ASSERT_TRUE(wait_done(*box_)) << box_->file("/var/devsim/factory.log");
    const auto l = factory_lines(*box_);
    EXPECT_EQ(answer_of(l, 1), H(F(0x09, 0x06, 0xF417, T(kSn))));
    EXPECT_EQ(answer_of(l, 2), H(F(0x09, 0x06, 0xF408, T(iccid))));
}

TEST_F(Mcu, BrokerFromTheAppIsCheckedBeforeItIsStored) {
    start("");
    box_->put_file("/var/actions.refuse", "reboot\n");
    mqtt_conf_t before{};
    ASSERT_EQ(get_mqttinfo(&before), 1);
    const std::string current = std::string(before.hostip) + ":" + std::to_string(before.port);
    const std::vector<std::string> bad = {"broker.example.net:0", "broker.example.net:65536", ":1883",
                                          "broker.example.net", "broker.example.net:18a3", "bro ker:1883",
                                          "broker.example.net:", std::string(64, 'h') + ":1883",
                                          "host:1883:1"};
    for (const std::string &b : bad) {
        ASSERT_TRUE(app(0x06, 0xF42E, T(b))) << b;
    }
    ASSERT_TRUE(poll_until([&] { return pkg_count(*box_, F(0x04, 0x06, 0xF42E, {0x02, 0x00})) == bad.size(); }, kWait))
        << pkgs_text(*box_);
    mqtt_conf_t after{};
    ASSERT_EQ(get_mqttinfo(&after), 1);
    EXPECT_EQ(std::string(after.hostip) + ":" + std::to_string(after.port), current);
    EXPECT_EQ(box_->actions().find("reboot"), std::string::npos) << box_->actions();

    // The current address: nothing to do.
    ASSERT_TRUE(app(0x06, 0xF42E, T(current)));
    EXPECT_TRUE(wait_pkg(*box_, F(0x04, 0x06, 0xF42E, T(current))));
    EXPECT_EQ(box_->actions().find("reboot"), std::string::npos);

    // One the store cannot keep whole (too long for the official profile's
    // line) is answered with failure and leaves both profiles as they were.
    mqtt_conf_t official_before{};
    ASSERT_EQ(get_official_mqttinfo(&official_before), 1);
    ASSERT_TRUE(app(0x06, 0xF42E, T(std::string(50, 'c') + ":1884")));
    ASSERT_TRUE(poll_until([&] { return pkg_count(*box_, F(0x04, 0x06, 0xF42E, {0x02, 0x00})) == bad.size() + 1; },
                           kWait));
    ASSERT_EQ(get_mqttinfo(&after), 1);
    EXPECT_EQ(std::string(after.hostip) + ":" + std::to_string(after.port), current);
    mqtt_conf_t official_after{};
    ASSERT_EQ(get_official_mqttinfo(&official_after), 1);
    EXPECT_EQ(std::string(official_after.hostip), std::string(official_before.hostip));
    EXPECT_EQ(official_after.port, official_before.port);
    EXPECT_EQ(box_->actions().find("reboot"), std::string::npos);

    // A good one is stored as active and official broker, then the box restarts.
    const std::string host(40, 'b');
    const std::string good = host + ":65535";
    ASSERT_TRUE(app(0x06, 0xF42E, T(good)));
    EXPECT_TRUE(wait_pkg(*box_, F(0x04, 0x06, 0xF42E, T(good))));
    EXPECT_TRUE(box_->wait_actions("reboot", kWait)) << box_->actions();
    mqtt_conf_t now{}, official{};
    ASSERT_EQ(get_mqttinfo(&now), 1);
    ASSERT_EQ(get_official_mqttinfo(&official), 1);
    EXPECT_EQ(std::string(now.hostip), host);
    EXPECT_EQ(now.port, 65535);
    EXPECT_EQ(std::string(official.hostip), host);
    EXPECT_EQ(official.port, 65535);
}

TEST_F(Mcu, FactoryFramesWithoutPayloadOrTooLongAreHandledSafely) {
    start("csq = 99,99\n[bike]\nodo = 1\n");
    load_csq();
    // Before the application reported its start-up, the tool gets nothing.
    ASSERT_TRUE(ctl(*box_, "ttyHSL3 tool step_timeout_ms 600"));
    ASSERT_TRUE(ctl(*box_, "ttyHSL3 run F41F:01"));
    ASSERT_TRUE(wait_done(*box_));
    EXPECT_NE(box_->file("/var/devsim/factory.log").find("1 F41F timeout"), std::string::npos);
    EXPECT_EQ(get_factory_mode(), 0);
    app_init_success();
    // Enter without a payload byte, the satellite count without its threshold:
    // no answer, nothing changes.  LED tests answer 12 bytes whatever came.
    ASSERT_TRUE(ctl(*box_, "ttyHSL3 run F41F F420 F426 F427:0102030405 F40B F41F:01 F403:01 F413:01"));
    ASSERT_TRUE(wait_done(*box_, 2)) << box_->file("/var/devsim/factory.log");
    const std::string log = box_->file("/var/devsim/factory.log");
    EXPECT_NE(log.find("1 F41F timeout"), std::string::npos);
    EXPECT_NE(log.find("2 F420 timeout"), std::string::npos);
    EXPECT_NE(log.find(" F426 ok "), std::string::npos);
    EXPECT_NE(log.find(H(F(0x09, 0x06, 0xF426, {0x00, 0x00}))), std::string::npos) << log;
    EXPECT_NE(log.find(H(F(0x09, 0x06, 0xF427, {0x01, 0x02}))), std::string::npos) << log;
    // The signal quality is not known yet (99): no answer.
    EXPECT_NE(log.find("5 F40B timeout"), std::string::npos) << log;
    EXPECT_NE(log.find(H(F(0x09, 0x06, 0xF41F, {0x01, 0x00}))), std::string::npos);
    // A read-only query with a payload is ignored.
    EXPECT_NE(log.find("8 F413 timeout"), std::string::npos) << log;
    EXPECT_EQ(rx_count(*box_, "ttyHSL2", F(0x07, 0x09, 0xF413, {})), 0u);
    EXPECT_EQ(rx_count(*box_, "ttyHSL2", F(0x07, 0x09, 0xF413, {0x01})), 0u);
    // A key-line command with one byte is not passed on with a made-up second one.
    harness_sleep_ms(300);
    for (const std::string &f : rx_frames(*box_, "ttyHSL2")) EXPECT_EQ(f.find("02 07 09 03 f4"), std::string::npos) << f;
    // A bike-bus test longer than the lock line can carry is refused.
    const size_t before = rx_frames(*box_, "ttyHSL1").size();
    ASSERT_TRUE(ctl(*box_, "ttyHSL3 frame 06 09 F425 " + C(Bytes(300, 0x5A))));
    ASSERT_TRUE(ctl(*box_, "ttyHSL3 frame 06 09 F425 0708"));
    EXPECT_TRUE(wait_rx(*box_, "ttyHSL1", F(0x06, 0x09, 0xF425, {0x07, 0x08})));
    EXPECT_EQ(rx_frames(*box_, "ttyHSL1").size(), before + 1) << "only the short one";
    EXPECT_TRUE(wait_rx(*box_, "ttyHSL3", F(0x09, 0x06, 0xF425, {0x07, 0x08})));
}

TEST_F(Mcu, FramesWhoseLengthLiesAreNotRelayed) {
    start("");
    // Length field 0x0105 on the MCU line: only the low byte counts, so the
    // frame falls apart on the way in and nothing reaches the lock line.
    Bytes f = F(0x01, 0x04, 0x0B0A, {0x01, 0x02, 0x03, 0x04, 0x05});
    f[6] = 0x01;
    const uint16_t c = crc_ccitt(f, 1, f.size() - 4);
    f[f.size() - 3] = uint8_t(c);
    f[f.size() - 2] = uint8_t(c >> 8);
    const size_t before = rx_frames(*box_, "ttyHSL1").size();
    ASSERT_TRUE(on_line("ttyHSL2", f));
    ASSERT_TRUE(app(0x01, 0x0118, {0x01}));
    EXPECT_TRUE(wait_rx(*box_, "ttyHSL1", F(0x01, 0x04, 0x0118, {0x01})));
    for (const std::string &x : rx_frames(*box_, "ttyHSL1")) EXPECT_EQ(x.find("0a 0b"), std::string::npos) << x;
    EXPECT_GE(rx_frames(*box_, "ttyHSL1").size(), before + 1);
}

// ---- devsim's app and tool on their own -------------------------------------------------------

TEST(McuPeerParts, BlePackagesAreCutOutOfTheStreamAndCheckedWhole) {
    Bytes buf;
    std::vector<std::string> got;
    auto sink = [&](const char *why, const Bytes &p) { got.push_back(std::string(why) + "|" + H(p)); };
    const Bytes good = Pkg(F(0x04, 0x06, 0xF41B, T("KBox40")));
    Bytes spoilt = good;
    spoilt[6 + 8] ^= 0x01;
    const Bytes bad_crc = spoilt;
    const Bytes wrong_dst = Pkg(F(0x01, 0x06, 0xF41B, {}));
    Bytes stream = {0x02, 0x07, 0x41};
    for (const Bytes *b : {&good, &bad_crc, &wrong_dst}) stream.insert(stream.end(), b->begin(), b->end());
    // Fed in two pieces, the second starting in the middle of a package.
    buf.assign(stream.begin(), stream.begin() + 20);
    ble_app_scan(&buf, sink);
    EXPECT_TRUE(got.empty());
    buf.insert(buf.end(), stream.begin() + 20, stream.end());
    ble_app_scan(&buf, sink);
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0], "|" + H(good));
    EXPECT_EQ(got[1].substr(0, 4), "crc|");
    EXPECT_EQ(got[2].substr(0, 4), "dst|");
    EXPECT_TRUE(buf.empty());

    ToolStep s;
    EXPECT_TRUE(tool_parse_step("F41F:01", &s));
    EXPECT_EQ(s.id, 0xF41F);
    EXPECT_EQ(H(s.payload), "01");
    EXPECT_FALSE(tool_parse_step("F41F:", &s));
    EXPECT_FALSE(tool_parse_step("G41F", &s));
    EXPECT_FALSE(tool_parse_step("1F41F", &s));
    EXPECT_EQ(tool_default_sequence().size(), 14u);
}

}  // namespace

// ---- figures for docs/performance.md (TELAGENT_PERF=1; nothing asserted on speed) ---------

namespace {

struct Timed {
    int64_t ms;
    std::string hex;
};

std::vector<Timed> timed_frames(const Box &box, const char *port, const char *dir) {
    std::vector<Timed> out;
    for (const WireFrame &w : wire_frames(box, port, dir, ParserLimits{true, 2100, 2000}))
        out.push_back({w.unix_ms, H(w.f.raw)});
    return out;
}

int64_t pct(std::vector<int64_t> v, double q) {
    if (v.empty()) return -1;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(q * static_cast<double>(v.size() - 1) + 0.5))];
}

}  // namespace

TEST_F(Mcu, PerfRelayLatencyPoolAndFactoryRoundTrip) {
    if (getenv("TELAGENT_PERF") == nullptr) GTEST_SKIP() << "figures only with TELAGENT_PERF=1";
    start("");
    app_init_success();
    // 1000 app frames to the motor controller, 10 ms apart, each with its number.
    std::vector<int64_t> lat;
    for (int i = 0; i < 1000; i += 100) {
        for (int k = 0; k < 100; ++k) {
            const int n = i + k;
            char cmd[96];
            snprintf(cmd, sizeof cmd, "ttyHSL2 app 01 0b0b %02x%02x delay=%d", n & 0xFF, n >> 8, k * 10);
            ASSERT_TRUE(ctl(*box_, cmd));
        }
        harness_sleep_ms(1200);
    }
    ASSERT_TRUE(poll_until([&] {
        size_t c = 0;
        for (const Timed &t : timed_frames(*box_, "ttyHSL1", "RX")) c += t.hex.find("0b 0b") != std::string::npos;
        return c >= 1000;
    }, 30000));
    std::map<std::string, int64_t> sent;
    for (const Timed &t : timed_frames(*box_, "ttyHSL2", "TX")) sent.emplace(t.hex, t.ms);
    for (const Timed &t : timed_frames(*box_, "ttyHSL1", "RX")) {
        auto it = sent.find(t.hex);
        if (it != sent.end()) lat.push_back(t.ms - it->second);
    }
    printf("FIGURE relay app->lock: n=%zu median=%lld ms p99=%lld ms max=%lld ms\n", lat.size(),
           static_cast<long long>(pct(lat, 0.5)), static_cast<long long>(pct(lat, 0.99)),
           static_cast<long long>(pct(lat, 1.0)));

    // Rising flood rates: the most slots in use at once, and what arrived.
    for (const std::pair<unsigned, unsigned> &run : std::vector<std::pair<unsigned, unsigned>>{
             {4, 500}, {2, 500}, {1, 500}, {0, 500}, {0, 3000}}) {
        const unsigned interval = run.first, count = run.second;
        auto flood_seen = [&] {
            size_t c = 0;
            for (const Timed &t : timed_frames(*box_, "ttyHSL1", "RX")) c += t.hex.find(" 0c 0c ") != std::string::npos;
            return c;
        };
        const size_t before = flood_seen();
        std::atomic<bool> stop{false};
        std::atomic<size_t> most{0};
        std::thread sampler([&] {
            while (!stop.load()) {
                size_t used = 0;
                for (size_t s = 0; s < mcu_line().pool().slots(); ++s) used += mcu_line().pool().state(s) != 0;
                if (used > most.load()) most.store(used);
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
        });
        const int64_t t0 = harness_mono_ms();
        ASSERT_TRUE(ctl(*box_, "ttyHSL2 app_flood " + std::to_string(count) + " " + std::to_string(interval) +
                               " 01 0c0c 01"));
        poll_until([&] { return flood_seen() >= before + count; }, 30000);
        const int64_t t1 = harness_mono_ms();
        stop.store(true);
        sampler.join();
        const size_t got = flood_seen() - before;
        printf("FIGURE flood interval=%u ms: relayed %zu/%u in %lld ms, at most %zu of %zu slots in use\n", interval,
               got, count, static_cast<long long>(t1 - t0), most.load(), mcu_line().pool().slots());
        harness_sleep_ms(500);
    }

    // Factory tool round trips.
    for (const char *id : {"F41B", "F400"}) {
        ASSERT_TRUE(ctl(*box_, "ttyHSL3 run F41F:01"));
        const size_t runs = count_of(box_->file("/var/devsim/factory.log"), "done ");
        ASSERT_TRUE(ctl(*box_, std::string("ttyHSL3 repeat 500 ") + id));
        ASSERT_TRUE(poll_until([&] { return count_of(box_->file("/var/devsim/factory.log"), "done ") > runs; }, 60000));
        std::istringstream in(box_->file("/var/devsim/factory.log"));
        std::vector<int64_t> rtt;
        std::string l;
        const std::string key = std::string(" ") + id + " ok ";
        while (std::getline(in, l)) {
            const size_t p = l.find(key);
            if (p != std::string::npos) rtt.push_back(std::stoll(l.substr(p + key.size())));
        }
        printf("FIGURE factory %s round trip: n=%zu median=%lld ms p99=%lld ms\n", id, rtt.size(),
               static_cast<long long>(pct(rtt, 0.5)), static_cast<long long>(pct(rtt, 0.99)));
    }
}
