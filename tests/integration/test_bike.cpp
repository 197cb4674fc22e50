// The simulated bike behind the lock board.  BikePeer: devsim's bike peer on
// its own (settings, answer bytes, timing of the status answer) on a fake
// line.  Bike: the agent's real bike link (lock and MCU lines, message table,
// polling cycle, ageing) in this process against a running devsim, as on the
// box: records within one polling cycle, commands that really change the
// simulated bike, and the scenario's faults.  Expected bytes come from
// devsim's own encoder, whose CRC is computed bit by bit.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bike/bike_state.h"
#include "box_harness.h"
#include "wire_frames.h"
#include "core/control.h"
#include "core/iot_common.h"
#include "core/iot_config.h"
#include "core/devsim_clock.h"
#include "core/frame_link.h"
#include "bike/peer_bike.h"
#include "vehicle/lock_link.h"
#include "vehicle/usart_lock_handle.h"
#include "vehicle/usart_mcu_handle.h"
#include "vehicle/vehicle_state.h"

namespace {

constexpr int kWait = 5000;
constexpr int kCycleMs = 16000;  // one polling cycle (15 s) and a little

Bytes B(const std::string &hex) {
    Bytes b;
    EXPECT_TRUE(parse_hex_bytes(hex, &b)) << hex;
    return b;
}
std::string H(const Bytes &b) { return hex_of(b.data(), b.size()); }
Bytes le32(uint32_t v) { return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}; }

// ---- devsim's bike peer on a fake line ---------------------------------------------

class FakeLine final : public PeerLine {
public:
    FakeLine() {
        char tmpl[] = "/tmp/bike-peer-XXXXXX";
        root_ = mkdtemp(tmpl) ? tmpl : "/tmp";
        std::filesystem::create_directories(root_ + "/var/devsim");
    }
    ~FakeLine() override {
        std::error_code ec;
        if (root_ != "/tmp") std::filesystem::remove_all(root_, ec);
    }
    const std::string &port() const override { return port_; }
    const std::string &root() const override { return root_; }
    int send(const uint8_t *data, size_t len, unsigned delay_ms) override {
        sends.push_back({delay_ms, Bytes(data, data + len)});
        return 0;
    }
    void trace(const char *, const uint8_t *, size_t) override {}
    // Each frame sent, whole (the bike sends each frame as one chunk unless spoilt).
    std::vector<std::string> frames() const {
        std::vector<std::string> out;
        for (const auto &s : sends) out.push_back(H(s.bytes));
        return out;
    }
    std::vector<TimedChunk> sends;

private:
    std::string port_ = "ttyHSL1";
    std::string root_;
};

void feed(Peer &p, const Bytes &f) { p.on_bytes(f.data(), f.size()); }

TEST(BikePeer, SettingsTakeTheirWholeRangeAndRefuseTheRestWithoutChangingAnything) {
    bike_state_reset();
    std::string why;
    EXPECT_FALSE(bike_state().attached) << "no bike on the bus until something asks for one";
    const uint64_t rev = bike_state().revision;
    struct Bad {
        const char *key, *value;
    };
    for (const Bad &b : std::vector<Bad>{{"speed", "1024"},
                                         {"odo", "4294967296"},
                                         {"odo", "-1"},
                                         {"assist", "256"},
                                         {"on", "2"},
                                         {"battery1.current", "-32769"},
                                         {"battery2.soc", "x"},
                                         {"silent_battery", "4"},
                                         {"answer_delay_ms", "600001"},
                                         {"motor_version", "1.2.3"},
                                         {"motor_version", "1.2.3.256"},
                                         {"gd_version", "1.2.3.4.5"},
                                         {"gd_version", "1..3.4"},
                                         {"serial", "1234567890123456789012345"},
                                         {"motor_model", "tab\there"},
                                         {"display_branch", ""}}) {
        EXPECT_EQ(bike_state_set(b.key, b.value, &why), -1) << b.key << " = " << b.value;
        EXPECT_FALSE(why.empty());
    }
    EXPECT_EQ(bike_state_set("battery4.soc", "1", &why), 0);
    EXPECT_EQ(bike_state_set("battery1.volts", "1", &why), 0);
    EXPECT_EQ(bike_state_set("colour", "red", &why), 0);
    EXPECT_EQ(bike_state().revision, rev);
    EXPECT_FALSE(bike_state().attached) << "a refused value attaches nothing";

    EXPECT_EQ(bike_state_set("speed", "1023", &why), 1);
    EXPECT_EQ(bike_state_set("odo", "4294967295", &why), 1);
    EXPECT_EQ(bike_state_set("battery3.current", "-32768", &why), 1);
    EXPECT_EQ(bike_state_set("battery2.current", "-1", &why), 1);
    EXPECT_EQ(bike_state_set("serial", "123456789012345678901234", &why), 1);
    EXPECT_EQ(bike_state_set("gd_version", "255.0.10.7", &why), 1);
    BikeState s = bike_state();
    EXPECT_TRUE(s.attached);
    EXPECT_EQ(s.speed, 1023);
    EXPECT_EQ(s.odo, 4294967295u);
    EXPECT_EQ(s.battery[2].current, 0x8000);
    EXPECT_EQ(s.battery[1].current, 0xFFFF);
    EXPECT_EQ(Bytes(s.gd_version, s.gd_version + 4), B("ff 00 0a 07"));
    EXPECT_NE(bike_state_text(s).find("gd_version = 255.0.10.7\n"), std::string::npos);

    EXPECT_EQ(bike_state_set("attached", "0", &why), 1);
    EXPECT_FALSE(bike_state().attached);
    // A bad value in the scenario is reported but counts as a used key.
    EXPECT_EQ(bike_state_configure("speed", "fast"), 1);
    EXPECT_EQ(bike_state_configure("speedo", "1"), 0);
}

TEST(BikePeer, PowerKeyPressTogglesAndReleaseDoesNot) {
    bike_state_reset();
    ASSERT_TRUE(bike_state().on);
    bike_key_line(true);
    EXPECT_FALSE(bike_state().on);
    bike_key_line(false);
    EXPECT_FALSE(bike_state().on);
    bike_key_line(true);  // the agent's retry presses again without releasing
    bike_key_line(true);
    EXPECT_FALSE(bike_state().on);
    EXPECT_EQ(bike_state().presses, 3u);
    EXPECT_TRUE(bike_state().key_line);
}

TEST(BikePeer, AnswersEncodeAsTheAgentDecodes) {
    BikeState s = bike_default_state();
    // Display status: every speed the 10 bits hold comes back through the agent's formula.
    for (unsigned v = 0; v <= 1023; ++v) {
        s.speed = static_cast<uint16_t>(v);
        const Bytes p = bike_disp_status_payload(s);
        ASSERT_EQ(p.size(), 8u);
        ASSERT_EQ(static_cast<unsigned>((p[3] << 2) | (p[2] >> 6)), v);
        ASSERT_EQ(p[2] & 0x3F, 0) << "the low bits of byte 2 carry nothing";
    }
    s.cadence = 0xAB;
    EXPECT_EQ(bike_disp_status_payload(s)[5], 0xAB);

    Bytes p;
    s.odo = 0x89ABCDEF;
    ASSERT_TRUE(bike_read_answer(s, BIKE_MOTOR, 0x010D, &p));
    EXPECT_EQ(H(p), "ef cd ab 89");
    s.serial = "AB";
    ASSERT_TRUE(bike_read_answer(s, BIKE_MOTOR, 0x0004, &p));
    EXPECT_EQ(p.size(), 24u) << "the agent keeps a serial only when all 24 bytes come";
    EXPECT_EQ(H(Bytes(p.begin(), p.begin() + 3)), "41 42 00");
    s.battery[0].error = 0x0107;
    ASSERT_TRUE(bike_read_answer(s, BIKE_BMS1, 0x1002, &p));
    EXPECT_EQ(H(p), "07 01");

    // Absent and silenced batteries, and ids a node does not have, stay silent.
    EXPECT_FALSE(bike_read_answer(s, BIKE_BMS3, 0xF507, &p)) << "battery 3 is absent by default";
    s.silent_battery = 2;
    EXPECT_FALSE(bike_read_answer(s, BIKE_BMS2, 0xF507, &p));
    EXPECT_TRUE(bike_read_answer(s, BIKE_BMS1, 0xF507, &p));
    EXPECT_FALSE(bike_read_answer(s, BIKE_MOTOR, 0xF507, &p));
    EXPECT_FALSE(bike_read_answer(s, BIKE_DISPLAY, 0xF107, &p)) << "answered with a broadcast instead";
    EXPECT_FALSE(bike_read_answer(s, 0x09, 0x0002, &p));
    ASSERT_TRUE(bike_read_answer(s, BIKE_GD32, 0xF40E, &p));
    EXPECT_EQ(H(p), "01 00 00 01");
    EXPECT_FALSE(bike_read_answer(s, BIKE_GD32, 0x0002, &p));
}

TEST(BikePeer, DetachedLineIsTheBareScriptedOne) {
    bike_state_reset();
    FakeLine line;
    auto peer = make_bike_peer(line);
    EXPECT_EQ(peer->configure("answer.f403", "0100"), 1) << "[ttyHSL1] keys still reach the frame layer";
    feed(*peer, encode_bus_frame(0x01, 0x06, 0x010D, {}));
    peer->on_tick(devsim_mono_ms() + 5000);
    EXPECT_TRUE(line.sends.empty()) << "no answers, no broadcasts while detached";
    feed(*peer, encode_bus_frame(0x08, 0x06, 0xF403, {}));
    EXPECT_EQ(line.frames(), std::vector<std::string>{H(encode_bus_frame(0x06, 0x08, 0xF403, B("0100")))});
}

TEST(BikePeer, CommandsChangeTheBikeAndAnswerWithItsState) {
    bike_state_reset();
    FakeLine line;
    auto peer = make_bike_peer(line);
    EXPECT_EQ(control_dispatch("bike attach"), 0);
    EXPECT_EQ(control_dispatch("bike answer_delay_ms 300"), 0);

    // Motor lock from the box's query address: state in byte 0, back to 0x02, late as set.
    feed(*peer, encode_bus_frame(0x01, 0x02, 0x011A, B("01 00")));
    ASSERT_EQ(line.sends.size(), 1u);
    EXPECT_EQ(line.sends[0].at_ms, 300u);
    EXPECT_EQ(H(line.sends[0].bytes), H(encode_bus_frame(0x02, 0x01, 0x011A, B("01 00"))));
    EXPECT_TRUE(bike_state().locked);
    // The poll then reads the new state.
    feed(*peer, encode_bus_frame(0x01, 0x06, 0x011A, {}));
    EXPECT_EQ(H(line.sends.back().bytes), H(encode_bus_frame(0x06, 0x01, 0x011A, B("01 00"))));

    // A wrong lock byte: the motor does as told, its answer says otherwise (bit 0 still true).
    EXPECT_EQ(control_dispatch("bike wrong_lock_byte 1"), 0);
    feed(*peer, encode_bus_frame(0x01, 0x02, 0x011A, B("00 00")));
    EXPECT_EQ(H(line.sends.back().bytes), H(encode_bus_frame(0x02, 0x01, 0x011A, B("80 00"))));
    EXPECT_FALSE(bike_state().locked);

    // Light from the box to the display; answered by the display.
    feed(*peer, encode_bus_frame(0x03, 0x06, 0x0119, B("01 00")));
    EXPECT_EQ(H(line.sends.back().bytes), H(encode_bus_frame(0x06, 0x03, 0x0119, B("01 00"))));
    EXPECT_TRUE(bike_state().light);

    // A scripted answer wins over the bike's own; other ids stay the bike's.
    EXPECT_EQ(control_dispatch("ttyHSL1 set answer.0117 09"), 0);
    feed(*peer, encode_bus_frame(0x01, 0x06, 0x0117, {}));
    EXPECT_EQ(H(line.sends.back().bytes), H(encode_bus_frame(0x06, 0x01, 0x0117, B("09"))));
    const size_t n = line.sends.size();
    EXPECT_EQ(control_dispatch("ttyHSL1 set silent 1"), 0);
    feed(*peer, encode_bus_frame(0x01, 0x06, 0x010D, {}));
    EXPECT_EQ(line.sends.size(), n) << "a silent line is silent for the bike too";

    // The state is mirrored for people and tests.
    peer->on_tick(devsim_mono_ms());
    const std::string mirror = read_text(line.root() + "/var/devsim/bike_state");
    EXPECT_NE(mirror.find("light = 1\n"), std::string::npos) << mirror;
    EXPECT_NE(mirror.find("locked = 0\n"), std::string::npos) << mirror;
    EXPECT_EQ(control_dispatch("bike odo"), -1);
    EXPECT_EQ(control_dispatch("bike odometer 5"), -1);
}

TEST(BikePeer, StatusQueryIsAnsweredByABroadcastAfterTheKeyPressSettled) {
    bike_state_reset();
    FakeLine line;
    auto peer = make_bike_peer(line);
    EXPECT_EQ(control_dispatch("bike attach"), 0);
    const int64_t t0 = devsim_mono_ms();
    peer->on_tick(t0);  // the first periodic broadcast pair
    const std::vector<std::string> periodic = {
        H(encode_bus_frame(0xFF, 0x03, 0xF107, B("02 00 00 00"))),
        H(encode_bus_frame(0x06, 0x03, 0xF106, bike_disp_status_payload(bike_state())))};
    EXPECT_EQ(line.frames(), periodic);
    line.sends.clear();

    // The query comes in first, the key press (other line) right after it:
    // the answer tells the state after the press.
    feed(*peer, encode_bus_frame(0x03, 0x02, 0xF107, {}));
    bike_key_line(true);
    EXPECT_TRUE(line.sends.empty());
    peer->on_tick(t0 + kBikeStatusSettleMs + 50);
    EXPECT_EQ(line.frames(), std::vector<std::string>{H(encode_bus_frame(0xFF, 0x03, 0xF107, B("00 00 00 00")))});

    // Quiet display: neither the periodic broadcasts nor the answer.
    line.sends.clear();
    EXPECT_EQ(control_dispatch("bike display_broadcast 0"), 0);
    feed(*peer, encode_bus_frame(0x03, 0x02, 0xF107, {}));
    peer->on_tick(t0 + 5000);
    EXPECT_TRUE(line.sends.empty());
}

// ---- the agent against the simulated bike ----------------------------------------

// Writes one command to devsim's control FIFO and waits until it was carried out.
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

struct WireLine {
    int64_t unix_ms;
    std::string hex;
};

// The wire log's frames as hex, to compare with expected bytes.
std::vector<WireLine> wire(const Box &box, const char *port, const std::string &dir) {
    std::vector<WireLine> out;
    for (const WireFrame &w : wire_frames(box, port, dir, ParserLimits{false, 2100, 2000}))
        out.push_back({w.unix_ms, H(w.f.raw)});
    return out;
}

// How often a frame went over the wire.
size_t times(const Box &box, const char *port, const std::string &dir, const Bytes &frame) {
    size_t n = 0;
    for (const WireLine &w : wire(box, port, dir)) n += w.hex == H(frame);
    return n;
}

std::string bike_file(const Box &box) { return box.file("/var/devsim/bike_state"); }

int64_t unix_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

class Bike : public ::testing::Test {
protected:
    // devsim with the bike, then the agent's lines as all_init brings them up.
    void start(const std::string &bike_keys) {
        BoxOptions o;
        o.start_host = false;
        o.scenario = "[bike]\n" + bike_keys;
        box_ = std::make_unique<Box>(o);
        ASSERT_TRUE(box_->ok()) << box_->error();
        const std::string out = box_->file("/var/devsim.out");
        ASSERT_EQ(out.find("not used"), std::string::npos) << out;
        ASSERT_EQ(out.find("devsim: bike: "), std::string::npos) << "a scenario value refused: " << out;
        setenv("TELAGENT_ROOT", box_->root().c_str(), 1);
        ASSERT_EQ(chdir(box_->root().c_str()), 0);
        ASSERT_EQ(init_iotconfig(), 1);
        ASSERT_EQ(get_workingMode(), 1) << "ageing only runs in working mode 1";
        ASSERT_EQ(dev_hostcore_register(&dev_hostcore), 1);
        hostcore_GD32_recv_register(dev_GD32_recv_handler);
        vehicle_link_attach();
        ASSERT_EQ(init_mcu_usart(), 1);
        vehicle_link_attach();
        ASSERT_EQ(init_lock_usart(), 1);
        t0_ = harness_mono_ms();
        ager_ = std::thread([this] {
            while (!stop_.load()) {
                check_sys_status();
                for (int i = 0; i < 10 && !stop_.load(); ++i) harness_sleep_ms(100);
            }
        });
    }
    void TearDown() override {
        stop_.store(true);
        if (ager_.joinable()) ager_.join();
        // Under a sanitizer a report makes devsim's exit status non-zero.
        if (box_) {
            EXPECT_EQ(box_->stop_devsim(), 0) << box_->file("/var/devsim.out");
        }
    }
    uint8_t bits() const {
        uint8_t b = 0;
        get_Bits_Field8_t(&b);
        return b;
    }
    std::unique_ptr<Box> box_;
    int64_t t0_ = 0;
    std::atomic<bool> stop_{false};
    std::thread ager_;
};

const char *const kScenario =
    "odo = 4000000001\n"
    "range = 1234567\n"
    "error = 42435\n"
    "motor_power = 512\n"
    "human_power = 300\n"
    "assist = 4\n"
    "speed = 1023\n"
    "cadence = 255\n"
    "light = 1\n"
    "battery1.soc = 100\nbattery1.voltage = 4210\nbattery1.current = -250\nbattery1.temp = 315\n"
    "battery1.capacity = 14000\nbattery1.charging = 1\nbattery1.error = 263\n"
    "battery2.soc = 42\nbattery2.voltage = 3880\nbattery2.current = 90\nbattery2.temp = 99\n"
    "battery2.capacity = 7000\n"
    "battery3.present = 1\nbattery3.soc = 7\nbattery3.voltage = 3300\nbattery3.temp = 2559\n"
    "battery3.capacity = 500\nbattery3.charging = 2\nbattery3.error = 3\n"
    "motor_version = 9.8.7.6\nmotor_boot_version = 1.0.2.0\ndisplay_version = 4.3.2.1\ngd_version = 7.0.0.1\n"
    "motor_model = MX-900 Pro\ndisplay_model = D7\nmotor_branch = release/2.x\ndisplay_branch = eu\n"
    "serial = SN0123456789\n";

// What the agent's records should hold for kScenario; "" when they do.
std::string scenario_mismatches(uint8_t bits) {
    std::ostringstream m;
    const mc_info_t mc = motor_info_get_protocol();
    const battery_info_t b = battery_info_get_protocol();
    auto want = [&m](const char *what, long got, long exp) {
        if (got != exp) m << what << " " << got << " != " << exp << "; ";
    };
    want("odo", mc.odo, 4000000001L);
    want("odorange", mc.odorange, 123);
    want("ErrorStatus", mc.ErrorStatus, 42435);
    want("MotorPowerOut", mc.MotorPowerOut, 512);
    want("HumanPower", mc.HumanPower, 300);
    want("CurrentSupportLevel", mc.CurrentSupportLevel, 4);
    want("BikeSpeed", mc.BikeSpeed, 1023);
    want("Candence", mc.Candence, 255);
    want("bike on", bits & BIT_BIKE_ON, BIT_BIKE_ON);
    want("locked", bits & BIT_MOTOR_LOCKED, 0);
    want("light", bits & BIT_LIGHT_ON, BIT_LIGHT_ON);
    want("BatteryNumber", b.BatteryNumber, 3);
    want("Battery1Enable", b.Battery1Enable, 1);
    want("Battery2Enable", b.Battery2Enable, 1);
    want("Battery3Enable", b.Battery3Enable, 1);
    want("SoC1", b.BatterySoC, 100);
    want("SoC2", b.Battery2SoC, 42);
    want("SoC3", b.Battery3SoC, 7);
    const long volts[3] = {4210, 3880, 3300}, amps[3] = {0xFF06, 90, 0}, temps[3] = {31, 9, 255},
               caps[3] = {14000, 7000, 500}, charging[3] = {1, 0, 2}, errors[3] = {7, 0, 3};
    for (int i = 0; i < 3; ++i) {
        const std::string n = std::to_string(i + 1);
        want(("voltage" + n).c_str(), b.BatteryPackageVoltage[i], volts[i]);
        want(("current" + n).c_str(), b.BatteryCurrent[i], amps[i]);
        want(("temp" + n).c_str(), b.BatteryTemperature[i], temps[i]);
        want(("capacity" + n).c_str(), b.BatteryCapacity[i], caps[i]);
        want(("charging" + n).c_str(), b.BatteryCharging[i], charging[i]);
        want(("error" + n).c_str(), b.BatteryError[i], errors[i]);
    }
    return m.str();
}

TEST_F(Bike, RunsAMinuteWithItsFiguresInTheRecordsAndCommandsThatChangeTheBike) {
    ASSERT_NO_FATAL_FAILURE(start(kScenario));

    // Within one polling cycle every polled figure is in the records.
    std::string miss;
    EXPECT_TRUE(poll_until([&] { return (miss = scenario_mismatches(bits())).empty(); }, kCycleMs)) << miss;

    // Version, model, branch and serial reads, answered by the node asked.
    uint8_t v4[4], s24[24], t20[20], t30[30];
    ASSERT_EQ(get_motor_software_version(v4), 1);
    EXPECT_EQ(H(Bytes(v4, v4 + 4)), "09 08 07 06");
    ASSERT_EQ(get_motor_boot_version(v4), 1);
    EXPECT_EQ(H(Bytes(v4, v4 + 4)), "01 00 02 00");
    ASSERT_EQ(get_display_software_version(v4), 1);
    EXPECT_EQ(H(Bytes(v4, v4 + 4)), "04 03 02 01");
    ASSERT_EQ(get_gd_software_version(v4), 1);
    EXPECT_EQ(H(Bytes(v4, v4 + 4)), "07 00 00 01");
    ASSERT_EQ(get_motor_sn(s24), 1);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(s24), 24), std::string("SN0123456789") + std::string(12, '\0'));
    const mc_info_t mc = motor_info_get_protocol();
    EXPECT_EQ(memcmp(mc.motor_sn, s24, 24), 0) << "the serial answer is also stored";
    memset(t20, 0xEE, sizeof t20);
    ASSERT_EQ(get_motor_model(t20), 1);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(t20), 10), "MX-900 Pro");
    EXPECT_EQ(t20[10], 0xEE) << "only the answer's bytes are copied";
    ASSERT_EQ(get_display_model(t20), 1);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(t20), 2), "D7");
    ASSERT_EQ(get_motor_branch(t30), 1);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(t30), 11), "release/2.x");
    ASSERT_EQ(get_display_branch(t30), 1);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(t30), 2), "eu");

    // Motor lock round trip: the simulated motor locks, the command returns 1.
    const Bytes lock_cmd = encode_bus_frame(0x01, 0x02, 0x011A, B("01 00"));
    const uint8_t lock[2] = {1, 0}, unlock[2] = {0, 0}, light_off[2] = {0, 0};
    uint16_t result = 0xFFFF;
    ASSERT_EQ(get_ctrl_lock_info(lock, &result), 1);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(times(*box_, "ttyHSL1", "RX", lock_cmd), 1u);
    // devsim logs what it sent after the write: the agent may have the answer first.
    const Bytes locked_answer = encode_bus_frame(0x02, 0x01, 0x011A, B("01 00"));
    EXPECT_TRUE(poll_until([&] { return times(*box_, "ttyHSL1", "TX", locked_answer) == 1; }, kWait));
    EXPECT_TRUE(box_->wait_file("/var/devsim/bike_state", "\nlocked = 1\n", kWait)) << bike_file(*box_);
    EXPECT_EQ(get_MotorLockStatus(), 1);
    // The motor stays locked: the next 0x011A poll sets the flag again after we clear it.
    vs_set_flag(BIT_MOTOR_LOCKED, 0);
    EXPECT_TRUE(poll_until([] { return get_MotorLockStatus() == 1; }, kCycleMs));

    // Light off, through the display.
    ASSERT_EQ(get_ctrl_light_info(light_off, &result), 1);
    EXPECT_EQ(bits() & BIT_LIGHT_ON, 0);
    EXPECT_TRUE(box_->wait_file("/var/devsim/bike_state", "\nlight = 0\n", kWait)) << bike_file(*box_);

    // Late answers.  1.5 s is within the 2 s wait: one try.
    const Bytes unlock_cmd = encode_bus_frame(0x01, 0x02, 0x011A, B("00 00"));
    ASSERT_TRUE(ctl(*box_, "bike answer_delay_ms 1500"));
    ASSERT_EQ(get_ctrl_lock_info(unlock, &result), 1);
    EXPECT_EQ(times(*box_, "ttyHSL1", "RX", unlock_cmd), 1u);
    // 2.5 s: the first try times out, its late answer completes the second.
    ASSERT_TRUE(ctl(*box_, "bike answer_delay_ms 2500"));
    ASSERT_EQ(get_ctrl_lock_info(lock, &result), 1);
    EXPECT_EQ(times(*box_, "ttyHSL1", "RX", lock_cmd), 3u);
    // The second try's answer is still on its way: let it pass before the next command.
    const Bytes locked_ans = encode_bus_frame(0x02, 0x01, 0x011A, B("01 00"));
    ASSERT_TRUE(poll_until([&] { return times(*box_, "ttyHSL1", "TX", locked_ans) == 3; }, kWait));
    harness_sleep_ms(100);
    // 6.5 s: every answer comes after the three tries gave up.
    ASSERT_TRUE(ctl(*box_, "bike answer_delay_ms 6500"));
    ASSERT_EQ(get_ctrl_lock_info(unlock, &result), 0);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(times(*box_, "ttyHSL1", "RX", unlock_cmd), 4u);
    EXPECT_TRUE(box_->wait_file("/var/devsim/bike_state", "\nlocked = 0\n", kWait)) << "the motor did unlock";
    // The late answers still arrive and tell the truth about the lock.
    EXPECT_TRUE(poll_until([] { return get_MotorLockStatus() == 0; }, 10000));
    ASSERT_TRUE(ctl(*box_, "bike answer_delay_ms 0"));

    // Run out the minute; the bike is still all there.
    while (harness_mono_ms() - t0_ < 60000) harness_sleep_ms(200);
    const uint8_t b = bits();
    miss = scenario_mismatches(b | BIT_LIGHT_ON);  // the light was switched off above
    EXPECT_EQ(miss, "");
    EXPECT_EQ(b & BIT_LIGHT_ON, 0);

    // The polling cycle went out exactly, in order, again and again.
    const uint8_t *dst = nullptr;
    const uint16_t *ids = nullptr;
    const size_t n = ebike_poll_table(&dst, &ids);
    ASSERT_EQ(n, 30u);
    std::vector<std::string> table;
    for (size_t i = 0; i < n; ++i) table.push_back(H(encode_bus_frame(dst[i], 0x06, ids[i], {})));
    std::vector<std::string> polls;
    for (const WireLine &w : wire(*box_, "ttyHSL1", "RX"))
        if (std::find(table.begin(), table.end(), w.hex) != table.end()) polls.push_back(w.hex);
    ASSERT_GE(polls.size(), 3 * n) << "three full cycles in a minute at least";
    for (size_t i = 0; i < polls.size(); ++i) ASSERT_EQ(polls[i], table[i % n]) << "poll " << i;
    // And the answers went out byte for byte.
    EXPECT_GE(times(*box_, "ttyHSL1", "TX", encode_bus_frame(0x06, 0x01, 0x010D, le32(4000000001u))), 3u);
    EXPECT_GE(times(*box_, "ttyHSL1", "TX", encode_bus_frame(0x06, 0x25, 0xF504, B("ff 09"))), 3u);
}

TEST_F(Bike, WrongLockByteFailsAfterThreeTries) {
    ASSERT_NO_FATAL_FAILURE(start("wrong_lock_byte = 1\n"));
    ASSERT_TRUE(poll_until([&] { return (bits() & BIT_BIKE_ON) != 0; }, kWait));
    const uint8_t lock[2] = {1, 0};
    uint16_t result = 0xFFFF;
    EXPECT_EQ(get_ctrl_lock_info(lock, &result), 0);
    EXPECT_EQ(result, 0);
    const Bytes cmd = encode_bus_frame(0x01, 0x02, 0x011A, B("01 00"));
    EXPECT_EQ(times(*box_, "ttyHSL1", "RX", cmd), 3u);
    const Bytes wrong = encode_bus_frame(0x02, 0x01, 0x011A, B("81 00"));
    EXPECT_TRUE(poll_until([&] { return times(*box_, "ttyHSL1", "TX", wrong) == 3; }, kWait))
        << times(*box_, "ttyHSL1", "TX", wrong) << " wrong answers logged";
    // The motor did lock and its answers' bit 0 said so; only the byte was wrong.
    EXPECT_NE(bike_file(*box_).find("\nlocked = 1\n"), std::string::npos) << bike_file(*box_);
    EXPECT_EQ(get_MotorLockStatus(), 1);

    ASSERT_TRUE(ctl(*box_, "bike wrong_lock_byte 0"));
    EXPECT_EQ(get_ctrl_lock_info(lock, &result), 1);
    EXPECT_EQ(times(*box_, "ttyHSL1", "RX", cmd), 4u) << "right on the first try";
}

TEST_F(Bike, BikePowerFollowsTheKeyLine) {
    ASSERT_NO_FATAL_FAILURE(start("attached = 1\n"));
    ASSERT_TRUE(poll_until([&] { return (bits() & BIT_BIKE_ON) != 0; }, kWait));
    const Bytes key_on = B("02 07 06 03 f4 02 00 01 00 ea f1 03");
    const Bytes key_off = B("02 07 06 03 f4 02 00 00 00 db c2 03");
    const Bytes query = encode_bus_frame(0x03, 0x02, 0xF107, {});

    const uint8_t off[2] = {0, 0}, on[2] = {1, 0};
    uint16_t result = 0xFFFF;
    ASSERT_EQ(get_ctrl_ecu_info(off, &result), 1);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(get_ctrl_ecu_expect(), 3);
    EXPECT_EQ(times(*box_, "ttyHSL1", "RX", query), 1u);
    // One press, then the line released: key-on before the query, key-off last.
    ASSERT_TRUE(poll_until([&] { return times(*box_, "ttyHSL2", "RX", key_off) == 1; }, kWait));
    // The BLE polling reads share the line; only the key-line frames count here.
    std::vector<WireLine> mcu = wire(*box_, "ttyHSL2", "RX");
    mcu.erase(std::remove_if(mcu.begin(), mcu.end(), [](const WireLine &w) { return w.hex.find(" 03 f4 ") == std::string::npos; }),
              mcu.end());
    ASSERT_EQ(mcu.size(), 2u);
    EXPECT_EQ(mcu[0].hex, H(key_on));
    EXPECT_EQ(mcu[1].hex, H(key_off));
    EXPECT_TRUE(box_->wait_file("/var/devsim/bike_state", "\non = 0\n", kWait)) << bike_file(*box_);
    EXPECT_TRUE(box_->wait_file("/var/devsim/bike_state", "\nkey_line = 0\npresses = 1\n", kWait))
        << bike_file(*box_);
    // The display's broadcasts now say off.
    EXPECT_TRUE(poll_until([&] { return (bits() & BIT_BIKE_ON) == 0; }, kWait));

    ASSERT_EQ(get_ctrl_ecu_info(on, &result), 1);
    EXPECT_TRUE(box_->wait_file("/var/devsim/bike_state", "\non = 1\n", kWait)) << bike_file(*box_);
    EXPECT_NE(bike_file(*box_).find("\npresses = 2\n"), std::string::npos) << bike_file(*box_);
    EXPECT_NE(bits() & BIT_BIKE_ON, 0) << "the answering broadcast set the flag";
}

TEST_F(Bike, SilentBatteryIsAgedOutAfterTwentySeconds) {
    ASSERT_NO_FATAL_FAILURE(start("attached = 1\n"));
    ASSERT_TRUE(poll_until(
        [] {
            const battery_info_t b = battery_info_get_protocol();
            return b.BatteryNumber == 2 && b.Battery1Enable == 1 && b.Battery2Enable == 1;
        },
        kCycleMs));
    ASSERT_TRUE(ctl(*box_, "bike silent_battery 2"));
    harness_sleep_ms(200);  // an answer queued just before the command is on the wire by now
    // Its last answer: the state of charge that reset its watchdog.
    const Bytes soc2 = encode_bus_frame(0x06, 0x15, 0xF507, B("41"));
    int64_t last = 0;
    for (const WireLine &w : wire(*box_, "ttyHSL1", "TX"))
        if (w.hex == H(soc2)) last = w.unix_ms;
    ASSERT_GT(last, 0);

    ASSERT_TRUE(poll_until([] { return battery_info_get_protocol().Battery2Enable == 0xFF; }, 25000));
    const int64_t gone = unix_ms();
    const battery_info_t b = battery_info_get_protocol();
    EXPECT_EQ(b.BatteryNumber, 1);
    EXPECT_EQ(b.Battery1Enable, 1) << "battery 1 keeps answering";
    EXPECT_EQ(b.BatterySoC, 80);
    // Twenty once-a-second checks after the last answer: never sooner than 19 s.
    EXPECT_GE(gone - last, 19000) << "aged out too soon";
    EXPECT_EQ(times(*box_, "ttyHSL1", "TX", soc2), 1u) << "nothing from battery 2 since";
}

TEST_F(Bike, QuietDisplayClearsBikeOnAfterFiveSeconds) {
    ASSERT_NO_FATAL_FAILURE(start("attached = 1\n"));
    ASSERT_TRUE(poll_until([&] { return (bits() & BIT_BIKE_ON) != 0; }, kWait));
    ASSERT_TRUE(ctl(*box_, "bike display_broadcast 0"));
    harness_sleep_ms(200);
    const Bytes status = encode_bus_frame(0xFF, 0x03, 0xF107, B("02 00 00 00"));
    int64_t last = 0;
    for (const WireLine &w : wire(*box_, "ttyHSL1", "TX"))
        if (w.hex == H(status)) last = w.unix_ms;
    ASSERT_GT(last, 0);
    ASSERT_TRUE(poll_until([&] { return (bits() & BIT_BIKE_ON) == 0; }, 10000));
    EXPECT_GE(unix_ms() - last, 4000) << "five once-a-second checks without a broadcast";
    EXPECT_NE(bike_file(*box_).find("\non = 1\n"), std::string::npos) << "the bike itself is still on";

    ASSERT_TRUE(ctl(*box_, "bike display_broadcast 1"));
    EXPECT_TRUE(poll_until([&] { return (bits() & BIT_BIKE_ON) != 0; }, kWait));
}

}  // namespace
