// Motion sensing against devsim's motion sensor.  Two ways:
//  - the agent's sensor module in this process, its pass run at the real
//    100 ms pace on devsim's files (noise, reset spikes, frozen, removed,
//    missing and unnamed devices), with the GNSS loop stepped next to it
//    against devsim's GNSS engine;
//  - a whole box (host, library, devsim with a locked bike) that is pushed
//    and tipped over from devsim's control channel: the host hears the
//    events, and the lock line's box queries carry the readings x 10000.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "core/tel_agent_main.h"
#include "box_harness.h"
#include "core/iot_config.h"
#include "core/tavi_common.h"
#include "gps/gps_handle.h"
#include "sensor/sensor_handle.h"
#include "vehicle/vehicle_state.h"

namespace {
// The motion thread learns the motor lock state through the entry's wiring.
const bool kLayersWired = (register_layer_callbacks(), true);
}  // namespace

namespace {

constexpr uint8_t kMotorLockedBit = 0x02;

void use_root(const Box &box) {
    setenv("TELAGENT_ROOT", box.root().c_str(), 1);
    ASSERT_EQ(chdir(box.root().c_str()), 0);
}

bool control(Box &box, const std::string &line) {
    const int fd = open(box.path("/var/devsim/control").c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    const std::string l = line + "\n";
    const bool wrote = write(fd, l.data(), l.size()) == static_cast<ssize_t>(l.size());
    close(fd);
    return wrote && box.wait_file("/var/devsim/control.log", line + " -> ok\n", 5000);
}

BoxOptions sensor_box(const std::string &imu) {
    BoxOptions o;
    o.start_host = false;
    o.scenario = "[imu]\n" + imu;
    return o;
}

std::mutex g_mu;
std::vector<std::string> g_events;
void on_event(const char *name, const char *value) {
    std::lock_guard<std::mutex> g(g_mu);
    g_events.push_back(std::string(name) + "=" + value);
}
std::vector<std::string> events() {
    std::lock_guard<std::mutex> g(g_mu);
    return g_events;
}

struct Passes {
    int filtered = 0, bad = 0, none = 0, discarded = 0;
};

// Runs the motion thread's pass (100 ms real sleep each) until `done` or n passes.
template <class F>
Passes run_passes(int n, F done) {
    Passes p;
    for (int i = 0; i < n && !done(); ++i) {
        switch (sensor_handle_step()) {
            case SENSOR_STEP_FILTERED: ++p.filtered; break;
            case SENSOR_STEP_BAD_SAMPLE: ++p.bad; break;
            case SENSOR_STEP_NO_READING: ++p.none; break;
            case SENSOR_STEP_DISCARDED: ++p.discarded; break;
            default: break;
        }
    }
    return p;
}
Passes run_passes(int n) {
    return run_passes(n, [] { return false; });
}

// Brings the discards behind us: nine readings, then one filtered pass.
void past_discards() {
    int discarded = 0;
    for (int i = 0; i < 30 && discarded < 9; ++i) {
        if (sensor_handle_step() == SENSOR_STEP_DISCARDED) ++discarded;
    }
    ASSERT_EQ(discarded, 9);
}

void up(Box &box) {
    ASSERT_NO_FATAL_FAILURE(use_root(box));
    ASSERT_EQ(sensor_mdm_probe(), 1);
    ASSERT_EQ(init_iotconfig(), 1);
    ASSERT_EQ(get_workingMode(), 1) << "devsim provisions a box in service";
    set_sensor_event_cb(on_event);
    ASSERT_NO_FATAL_FAILURE(past_discards());
}

size_t gnss_starts(const Box &box) { return count_of(box.file("/var/devsim/gnss.log"), "RX req 22"); }

// A stopped receiver, as after the GNSS loop gave up on a weak sky.
void stop_gnss(Box &box, gps_loop_state_t *st) {
    ASSERT_EQ(gps_module_ctl(1), 0);
    ASSERT_TRUE(poll_until([&] { return gnss_starts(box) == 1; }, 5000)) << box.file("/var/devsim/gnss.log");
    gps_module_ctl(0);
    ASSERT_EQ(get_gps_enable_flag(), 0);
    *st = gps_loop_state_t{};
}

}  // namespace

TEST(Motion, StillNoisyBikeWithResetSpikesRaisesNothingAndLeavesGnssOff) {
    Box box(sensor_box("noise = 0.3\nseed = 7\nspike = 7\n"));
    ASSERT_TRUE(box.ok()) << box.error();
    ASSERT_NO_FATAL_FAILURE(up(box));
    EXPECT_NE(box.file("/var/devsim/imu.log").find("W input1/enable 1\n"), std::string::npos)
        << box.file("/var/devsim/imu.log");
    EXPECT_NE(box.file("/var/devsim/imu.log").find("W input2/gyro_enable 1\n"), std::string::npos);
    gps_loop_state_t st;
    ASSERT_NO_FATAL_FAILURE(stop_gnss(box, &st));
    vs_set_flag(kMotorLockedBit, 1);

    const Passes p = run_passes(50);
    EXPECT_GE(p.bad, 3) << "the chip's reset readings were seen and skipped";
    EXPECT_GE(p.filtered, 30);
    EXPECT_TRUE(std::isfinite(get_kalman_pitch()));
    EXPECT_NEAR(get_kalman_pitch(), 0.0f, 1.0f);
    EXPECT_EQ(get_ebike_move_status(), 0);
    EXPECT_EQ(get_alarm_info_t(), 0);
    EXPECT_TRUE(events().empty());
    gps_handle_step(&st);
    EXPECT_EQ(get_gps_enable_flag(), 0);
    EXPECT_EQ(gnss_starts(box), 1u) << "a still bike does not wake the receiver";
}

TEST(Motion, LockedRampAlarmsTellsTheHostAndWakesTheReceiver) {
    Box box(sensor_box(""));
    ASSERT_TRUE(box.ok()) << box.error();
    ASSERT_NO_FATAL_FAILURE(up(box));
    gps_loop_state_t st;
    ASSERT_NO_FATAL_FAILURE(stop_gnss(box, &st));
    vs_set_flag(kMotorLockedBit, 1);
    run_passes(10);
    ASSERT_EQ(get_ebike_move_status(), 0);

    // Pushed away: 10 degrees a second, one per reading.
    ASSERT_TRUE(control(box, "imu ramp 10"));
    run_passes(50, [] { return get_ebike_move_status() == 1; });
    EXPECT_EQ(get_ebike_move_status(), 1);
    EXPECT_EQ(get_alarm_info_t(), 0x02);
    EXPECT_EQ(events(), std::vector<std::string>{"gsensor=motion"});

    gps_handle_step(&st);
    EXPECT_EQ(get_gps_enable_flag(), 1);
    EXPECT_EQ(get_ebike_move_status(), 0) << "the GNSS loop took the flag";
    EXPECT_TRUE(poll_until([&] { return gnss_starts(box) == 2; }, 5000)) << box.file("/var/devsim/gnss.log");
}

TEST(Motion, UnlockedRampIsMovementWithoutAlarm) {
    Box box(sensor_box("pitch = -20\n"));
    ASSERT_TRUE(box.ok()) << box.error();
    ASSERT_NO_FATAL_FAILURE(up(box));
    vs_set_flag(kMotorLockedBit, 0);
    run_passes(10);
    ASSERT_TRUE(control(box, "imu ramp 12"));
    run_passes(50, [] { return get_ebike_move_status() == 1; });
    EXPECT_EQ(get_ebike_move_status(), 1);
    EXPECT_EQ(get_alarm_info_t(), 0);
    EXPECT_TRUE(events().empty());
}

TEST(Motion, TippingOverRaisesTiltAndFallThenNormalAfterTheReport) {
    Box box(sensor_box(""));
    ASSERT_TRUE(box.ok()) << box.error();
    ASSERT_NO_FATAL_FAILURE(up(box));
    vs_set_flag(kMotorLockedBit, 1);
    // Knocked over and stood up again every second: some fall lands early
    // enough in a window to show more than 45 degrees.
    ASSERT_TRUE(control(box, "imu square 80 2000"));
    run_passes(100, [] { return (get_alarm_info_t() & 0x01) != 0; });
    EXPECT_EQ(get_alarm_info_t(), 0x03);
    const std::vector<std::string> ev = events();
    ASSERT_EQ(ev.size(), 2u);
    EXPECT_EQ(ev[0], "gsensor=motion");
    EXPECT_EQ(ev[1], "gsensor=fall");

    ASSERT_TRUE(control(box, "imu pitch 0"));
    clear_alarm_info_t();  // what the telemetry report does with the byte
    run_passes(3);
    ASSERT_GE(events().size(), 3u);
    EXPECT_EQ(events()[2], "gsensor=normal");
}

TEST(Motion, FrozenRemovedAndRestoredDevice) {
    Box box(sensor_box("pitch = 10\n"));
    ASSERT_TRUE(box.ok()) << box.error();
    ASSERT_NO_FATAL_FAILURE(up(box));
    // The driver stops updating while the bike is moved: the agent sees a
    // still bike, never a fault.
    ASSERT_TRUE(control(box, "imu frozen 1"));
    ASSERT_TRUE(control(box, "imu ramp 20"));
    Passes p = run_passes(20);
    EXPECT_EQ(p.filtered, 20);
    EXPECT_EQ(get_ebike_move_status(), 0);

    // Unloaded driver: every pass fails its read and nothing else happens.
    ASSERT_TRUE(control(box, "imu remove"));
    p = run_passes(10);
    EXPECT_EQ(p.none, 10);
    iot_sensor_data_t s{1, 1, 1};
    EXPECT_EQ(hostcore_get_gsensor_info(&s), 0);
    EXPECT_EQ(s.z, 0.0f);

    // The driver comes back with the bike where the ramp took it meanwhile:
    // that is a real change of attitude, and it is seen as one.
    ASSERT_TRUE(control(box, "imu restore"));
    p = run_passes(5);
    EXPECT_EQ(p.filtered, 5) << "reads work again on the restored nodes";
    EXPECT_GT(get_pitch_raw(), 40.0f);
    EXPECT_EQ(get_ebike_move_status(), 1);
}

TEST(Motion, AgentRangeWriteChangesTheCountsDevsimWrites) {
    Box box(sensor_box("acc_range = 1\npitch = 30\n"));
    ASSERT_TRUE(box.ok()) << box.error();
    ASSERT_NO_FATAL_FAILURE(use_root(box));
    ASSERT_EQ(sensor_mdm_probe(), 1);
    EXPECT_FLOAT_EQ(get_gsensor_acc_value(), 8192.0f) << "the range read at start-up";
    ASSERT_EQ(fw_gsensor_set_measure_range(3), 1);
    EXPECT_TRUE(box.wait_file("/var/devsim/imu.log", "W input1/acc_range 3\n", 3000));
    // The next reading devsim writes is at 2048 counts per g.
    EXPECT_TRUE(poll_until([&] { return box.file("/sys/devices/virtual/input/input1/acc_value").find(" 1774\n") !=
                                        std::string::npos; },
                           3000))
        << box.file("/sys/devices/virtual/input/input1/acc_value");
    iot_sensor_data_t s{};
    ASSERT_EQ(fw_gsensor_get_info(&s), 1);
    EXPECT_NEAR(std::atan(s.x / s.z) * 180.0 / M_PI, 30.0, 0.1);
    EXPECT_NEAR(std::sqrt(s.x * s.x + s.y * s.y + s.z * s.z), 1.0, 0.001);
}

TEST(Motion, MissingUnnamedAndOutOfReachDevices) {
    {
        Box box(sensor_box("missing = gyro\n"));
        ASSERT_TRUE(box.ok()) << box.error();
        ASSERT_NO_FATAL_FAILURE(use_root(box));
        EXPECT_EQ(sensor_mdm_probe(), 0);
        EXPECT_EQ(get_bmi160_gyro_fid(), 255);
    }
    {
        Box box(sensor_box("gyro_name =\n"));
        ASSERT_TRUE(box.ok()) << box.error();
        ASSERT_NO_FATAL_FAILURE(use_root(box));
        EXPECT_EQ(sensor_mdm_probe(), 0);
        EXPECT_EQ(box.file("/var/devsim/imu.log").find("W input"), std::string::npos) << "nothing enabled";
    }
    {
        Box box(sensor_box("accel_input = 5\n"));  // beyond what the agent looks at
        ASSERT_TRUE(box.ok()) << box.error();
        ASSERT_NO_FATAL_FAILURE(use_root(box));
        EXPECT_EQ(sensor_mdm_probe(), 0);
    }
}

// ---- the whole box ------------------------------------------------------------

namespace {

// Payloads of the frames the box sent on the lock line with this id, oldest
// first, from devsim's wire log ("<ms> <port> RX <hex bytes>").
std::vector<std::vector<uint8_t>> box_answers(const Box &box, uint16_t id) {
    std::vector<std::vector<uint8_t>> out;
    std::istringstream in(box.file("/var/devsim/ttyHSL1.log"));
    for (std::string line; std::getline(in, line);) {
        std::istringstream words(line);
        std::string ms, port, dir, byte;
        if (!(words >> ms >> port >> dir) || dir != "RX") continue;
        std::vector<uint8_t> b;
        while (words >> byte) {
            if (byte.size() != 2) break;
            b.push_back(static_cast<uint8_t>(std::stoul(byte, nullptr, 16)));
        }
        // 02 dst src id_lo id_hi len_lo len_hi payload crc_lo crc_hi 03: the
        // answer goes from the box (06) to the asker (08).
        if (b.size() < 10 || b[1] != 0x08 || b[2] != 0x06 || (b[3] | (b[4] << 8)) != id) continue;
        out.emplace_back(b.begin() + 7, b.end() - 3);
    }
    return out;
}

int32_t le32(const std::vector<uint8_t> &p, size_t at) {
    return static_cast<int32_t>(p[at] | (p[at + 1] << 8) | (p[at + 2] << 16) | (static_cast<uint32_t>(p[at + 3]) << 24));
}

}  // namespace

TEST(MotionBox, PushedAndTippedLockedBikeTellsTheHostAndAnswersBoxQueries) {
    BoxOptions o;
    o.host_args = {"--restart-delay-ms", "200", "--init-cb"};
    o.scenario = "[bike]\nlocked = 1\n[imu]\nnoise = 0.1\n";
    Box box(o);
    ASSERT_TRUE(box.ok()) << box.error();
    ASSERT_TRUE(box.wait_console("--bmi160_accel_fid:1;bmi160_gyro_fid:2.\n", 20000)) << box.console();

    // Readings through the lock line, x 10000: raw counts at 16384 per g.
    ASSERT_TRUE(control(box, "imu raw 8192 -4096 16384"));
    harness_sleep_ms(400);
    ASSERT_TRUE(control(box, "ttyHSL1 frame 06 08 f424 -"));
    ASSERT_TRUE(poll_until([&] { return !box_answers(box, 0xF424).empty(); }, 5000)) << box.file("/var/devsim/ttyHSL1.log");
    std::vector<uint8_t> a = box_answers(box, 0xF424).back();
    ASSERT_EQ(a.size(), 12u);
    EXPECT_EQ(le32(a, 0), 5000);
    EXPECT_EQ(le32(a, 4), -2500);
    EXPECT_EQ(le32(a, 8), 10000);

    // The gyroscope during a 10 deg/s ramp: 164 counts at 16.384 per deg/s,
    // read as 164 / 938.7618 rad/s.
    ASSERT_TRUE(control(box, "imu pitch 0"));
    ASSERT_TRUE(control(box, "imu ramp 10"));
    harness_sleep_ms(400);
    ASSERT_TRUE(control(box, "ttyHSL1 frame 06 08 f40c -"));
    ASSERT_TRUE(poll_until([&] { return !box_answers(box, 0xF40C).empty(); }, 5000));
    a = box_answers(box, 0xF40C).back();
    ASSERT_EQ(a.size(), 12u);
    EXPECT_EQ(le32(a, 0), static_cast<int32_t>(static_cast<double>(164.0f / 938.7618f) * 10000.0));
    EXPECT_EQ(le32(a, 4), 0);

    // Jolted back and forth while locked, then knocked over: once the motion
    // thread is up (10 s after start) the host hears both, once each.
    ASSERT_TRUE(control(box, "imu square 20 1200"));
    EXPECT_TRUE(box.wait_console("[host] event: gsensor=motion\n", 30000)) << box.console();
    EXPECT_TRUE(box.wait_console("  angle_offset > 3,", 1000));
    ASSERT_TRUE(control(box, "imu pitch 0"));
    ASSERT_TRUE(control(box, "imu square 80 2000"));
    EXPECT_TRUE(box.wait_console("[host] event: gsensor=fall\n", 15000)) << box.console();
    harness_sleep_ms(1500);
    EXPECT_EQ(count_of(box.console(), "[host] event: gsensor=motion\n"), 1u);
    EXPECT_EQ(count_of(box.console(), "[host] event: gsensor=fall\n"), 1u);
}
