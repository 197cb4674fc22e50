// Motion sensing: finding and driving the sensor through its sysfs nodes on a
// temporary root, the filters against a reference worked out here in double
// precision, and the motion thread's pass (gates, discarded readings, phases
// of a step in the offset window, ramps around the threshold, alarms, events).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/tel_agent_main.h"
#include "core/iot_config.h"
#include "core/tavi_common.h"
#include "platform/plat_clock.h"
#include "sensor/sensor_handle.h"
#include "support/test_root.h"
#include "vehicle/vehicle_state.h"

namespace {
// The motion thread learns the motor lock state through the entry's wiring.
const bool kLayersWired = (register_layer_callbacks(), true);
}  // namespace

namespace {

constexpr double kPiD = 3.14159265358979323846;
constexpr uint8_t kMotorLockedBit = 0x02;  // status flags of the vehicle state

std::string node(int n, const std::string &name) {
    return "/sys/devices/virtual/input/input" + std::to_string(n) + "/" + name;
}

// A sensor as the driver presents it: accelerometer on input1, gyroscope on
// input2, a touch panel on input0.
void make_sensor(const TestRoot &r, const std::string &acc = "icm42607_accel", const std::string &gyro = "icm42607_gyro") {
    r.write(node(0, "name"), "touch_panel\n");
    r.write(node(1, "name"), acc + "\n");
    r.write(node(2, "name"), gyro + "\n");
    r.write(node(1, "acc_range"), "0\n");
    r.write(node(2, "gyro_range"), "0\n");
    r.write(node(1, "acc_value"), "0 0 16384\n");
    r.write(node(2, "gyro_value"), "0 0 0\n");
    r.mkdirs("/sys/bus/i2c/drivers/bmi160");
}

// ---- reference filter, double precision, from the textbook equations ----
struct RefKalman {
    double qa = 0.05, qb = 0.0003, r = 0.01, angle = 0, bias = 0, p00 = 0, p01 = 0, p10 = 0, p11 = 0;
    double step(double z, double rate, double dt) {
        angle += dt * (rate - bias);
        p00 += dt * (dt * p11 - p01 - p10 + qa);
        p01 -= dt * p11;
        p10 -= dt * p11;
        p11 += qb * dt;
        const double s = p00 + r, k0 = p00 / s, k1 = p10 / s, y = z - angle;
        angle += k0 * y;
        bias += k1 * y;
        const double a00 = p00, a01 = p01;
        p00 -= k0 * a00;
        p01 -= k0 * a01;
        p10 -= k1 * a00;
        p11 -= k1 * a01;
        return angle;
    }
};

// Reference of the whole detection on a pitch sequence: did any window exceed
// the threshold?
double ref_max_offset(const std::vector<double> &pitch, const std::vector<double> &rate) {
    RefKalman k;
    double win[5] = {};
    int cnt = 0;
    double best = 0;
    for (size_t i = 0; i < pitch.size(); ++i) {
        const double a = k.step(pitch[i], rate[i], 0.1);
        if (cnt <= 4) {
            win[cnt++] = a;
        } else {
            best = std::max(best, std::fabs(win[4] - win[0]));
            cnt = 0;
        }
    }
    return best;
}

iot_sensor_data_t acc_at(double pitch_deg, double roll_deg = 0) {
    // x/z gives the pitch, -y/z the roll.
    iot_sensor_data_t a;
    a.z = 1.0f;
    a.x = static_cast<float>(std::tan(pitch_deg * kPiD / 180.0));
    a.y = static_cast<float>(-std::tan(roll_deg * kPiD / 180.0));
    return a;
}

std::mutex g_ev_mu;
std::vector<std::string> g_events;
void record_event(const char *name, const char *value) {
    std::lock_guard<std::mutex> g(g_ev_mu);
    g_events.push_back(std::string(name) + "=" + value);
}
std::vector<std::string> events() {
    std::lock_guard<std::mutex> g(g_ev_mu);
    return g_events;
}

// Feeds pitch samples (gyroscope still) through the sample stage.
void feed(const std::vector<double> &pitch) {
    const iot_sensor_data_t still{};
    for (double p : pitch) {
        const iot_sensor_data_t a = acc_at(p);
        ASSERT_EQ(sensor_handle_sample(&a, &still), SENSOR_STEP_FILTERED);
    }
}

}  // namespace

// ---- finding the sensor ------------------------------------------------------

TEST(SensorProbe, FindsDevicesByNameEnablesThemAndReadsRanges) {
    TestRoot r;
    make_sensor(r);
    r.write(node(1, "acc_range"), "2\n");
    r.write(node(2, "gyro_range"), "4\n");
    ASSERT_EQ(sensor_mdm_probe(), 1);
    EXPECT_EQ(get_bmi160_accel_fid(), 1);
    EXPECT_EQ(get_bmi160_gyro_fid(), 2);
    EXPECT_EQ(get_mdm_gsensor_enable(), 1);
    EXPECT_EQ(r.read(node(1, "enable")), "1");
    EXPECT_EQ(r.read(node(2, "gyro_enable")), "1");
    EXPECT_EQ(r.read("/sys/bus/i2c/drivers/bmi160/codec_power"), "1");
    EXPECT_FLOAT_EQ(get_gsensor_acc_value(), 4096.0f);
    EXPECT_NEAR(get_gsensor_gyro_value(), 15020.19f, 0.01f);
    fw_sensor_disable();
    EXPECT_EQ(r.read(node(1, "enable")), "0");
    EXPECT_EQ(r.read("/sys/bus/i2c/drivers/bmi160/codec_power"), "0");
}

TEST(SensorProbe, OtherDriverFamilyAndLaterMatchWins) {
    TestRoot r;
    r.write(node(0, "name"), "mi220_accel");
    r.write(node(1, "name"), "mi220_gyro");
    r.write(node(3, "name"), "mi220_accel\n");  // a second accelerometer: the later one is used
    ASSERT_EQ(sensor_mdm_probe(), 1);
    EXPECT_EQ(get_bmi160_accel_fid(), 3);
    EXPECT_EQ(get_bmi160_gyro_fid(), 1);
}

TEST(SensorProbe, MissingOrUnnamedDevicesLeaveTheBoxWithoutMotion) {
    TestRoot r;
    r.write(node(1, "name"), "icm42607_accel");
    r.write(node(2, "name"), "");  // a device that has no name yet
    EXPECT_EQ(sensor_mdm_init(), 0);
    EXPECT_EQ(get_bmi160_accel_fid(), 1);
    EXPECT_EQ(get_bmi160_gyro_fid(), 255);
    EXPECT_EQ(get_mdm_gsensor_enable(), 0);
    EXPECT_EQ(get_iot_sensor_type(), 0) << "no motion thread";
    EXPECT_FALSE(r.exists(node(1, "enable"))) << "nothing enabled";
    iot_sensor_data_t s{1, 2, 3};
    EXPECT_EQ(hostcore_get_gyroscope_info(&s), 0);
    EXPECT_EQ(s.x, 0.0f);

    // A name longer than the 64 bytes read is matched on what was read, and a
    // name past them is not seen at all.
    r.write(node(2, "name"), std::string(70, 'x') + "icm42607_gyro");
    EXPECT_EQ(sensor_mdm_probe(), 0);
    r.write(node(2, "name"), std::string(40, 'x') + "icm42607_gyro");
    EXPECT_EQ(sensor_mdm_probe(), 1);
}

// ---- readings -------------------------------------------------------------------

TEST(SensorRead, CountsScaleToUnits) {
    TestRoot r;
    make_sensor(r);
    ASSERT_EQ(sensor_mdm_probe(), 1);
    iot_sensor_data_t s{};
    ASSERT_EQ(fw_gsensor_get_info(&s), 1);
    EXPECT_EQ(s.x, 0.0f);
    EXPECT_EQ(s.y, 0.0f);
    EXPECT_EQ(s.z, 1.0f);
    r.write(node(1, "acc_value"), "-8192 4096 -32768");
    ASSERT_EQ(fw_gsensor_set_measure_range(1), 1);  // 8192 per g
    ASSERT_EQ(fw_gsensor_source_info(&s), 1);
    EXPECT_EQ(s.x, -1.0f);
    EXPECT_EQ(s.y, 0.5f);
    EXPECT_EQ(s.z, -4.0f);
    r.write(node(2, "gyro_value"), "939 -1878 0\n");
    ASSERT_EQ(get_mdm_gyroscope_info(&s), 1);
    EXPECT_NEAR(s.x, 939.0 / 938.7618, 1e-6);
    EXPECT_NEAR(s.y, -1878.0 / 938.7618, 1e-6);
    ASSERT_EQ(fw_gyroscope_source_info(&s), 1);
    EXPECT_EQ(hostcore_get_gyroscope_info(&s), 1);
}

TEST(SensorRead, MalformedTextsAreRefusedWithoutTouchingTheRecord) {
    TestRoot r;
    make_sensor(r);
    ASSERT_EQ(sensor_mdm_probe(), 1);
    const char *bad[] = {"",          "1",          "1 2",         "1 2 3 4",      "1 2 x",
                         "1 2 3x",    "1-2 3 4",    "99999999999 1 2", "1 2 -2147483649",
                         "0x10 1 2",  "1,2,3",      "\n\n\n",      "1 2 3                                        \n"};
    for (const char *t : bad) {
        r.write(node(1, "acc_value"), t);
        iot_sensor_data_t s{7, 8, 9};
        EXPECT_EQ(fw_gsensor_get_info(&s), 0) << '"' << t << '"';
        EXPECT_EQ(s.x, 7.0f) << t;
        EXPECT_EQ(s.z, 9.0f) << t;
    }
    r.write(node(1, "acc_value"), " 2147483647\t-2147483648 0\n");
    iot_sensor_data_t s{};
    EXPECT_EQ(fw_gsensor_get_info(&s), 1) << "limits of 32 bits are fine";
}

TEST(SensorRead, FailedMeasureClearsExactlyItsRecord) {
    TestRoot r;
    make_sensor(r);
    ASSERT_EQ(sensor_mdm_probe(), 1);
    r.write(node(1, "acc_value"), "garbage");
    struct {
        iot_sensor_data_t rec;
        uint32_t after;
    } out;
    out.rec = {1, 2, 3};
    out.after = 0xA5A5A5A5u;
    EXPECT_EQ(get_mdm_measure_gsensor_info(&out.rec), 0);
    EXPECT_EQ(out.rec.x, 0.0f);
    EXPECT_EQ(out.rec.y, 0.0f);
    EXPECT_EQ(out.rec.z, 0.0f);
    EXPECT_EQ(out.after, 0xA5A5A5A5u) << "the word after the record is not the sensor's";
    out.rec = {1, 2, 3};
    EXPECT_EQ(hostcore_get_gsensor_info(&out.rec), 0);
    EXPECT_EQ(out.after, 0xA5A5A5A5u);
}

// ---- settings ---------------------------------------------------------------------

TEST(SensorSettings, SettersCheckRangeFirstAndReportWriteFailures) {
    TestRoot r;
    make_sensor(r);
    ASSERT_EQ(sensor_mdm_probe(), 1);
    struct Case {
        int (*fn)(int);
        const char *node;
        int dev, lo, hi;
    } cases[] = {
        {fw_gsensor_set_threshold, "anymot_threshold", 1, 1, 255},
        {fw_gsensor_set_duration, "anymot_duration", 1, 0, 3},
        {fw_gsensor_set_sampled_frequency, "acc_odr", 1, 5, 12},
        {fw_gsensor_set_measure_range, "acc_range", 1, 0, 3},
        {fw_gyroscope_set_measure_range, "gyro_range", 2, 0, 4},
        {fw_gyroscope_set_sampled_frequency, "gyro_odr", 2, 5, 12},
    };
    for (const Case &c : cases) {
        r.write(node(c.dev, c.node), "untouched");
        EXPECT_EQ(c.fn(c.lo - 1), -1) << c.node;
        EXPECT_EQ(c.fn(c.hi + 1), -1) << c.node;
        EXPECT_EQ(r.read(node(c.dev, c.node)), "untouched") << c.node;
        EXPECT_EQ(c.fn(c.lo), 1) << c.node;
        EXPECT_EQ(r.read(node(c.dev, c.node)), std::to_string(c.lo)) << c.node;
        EXPECT_EQ(c.fn(c.hi), 1) << c.node;
        EXPECT_EQ(r.read(node(c.dev, c.node)), std::to_string(c.hi)) << c.node;
    }
    EXPECT_FLOAT_EQ(get_gsensor_acc_value(), 2048.0f);
    EXPECT_NEAR(get_gsensor_gyro_value(), 15020.19f, 0.01f);

    // A node that cannot be written (here: a directory in its place).
    std::remove(r.at(node(1, "acc_odr")).c_str());
    r.mkdirs(node(1, "acc_odr"));
    EXPECT_EQ(fw_gsensor_set_sampled_frequency(8), 0);
}

TEST(SensorSettings, GettersParseAndFollowTheScale) {
    TestRoot r;
    make_sensor(r);
    ASSERT_EQ(sensor_mdm_probe(), 1);
    int v = -1;
    r.write(node(2, "gyro_range"), "7\n");
    ASSERT_EQ(gyroscope_get_measure_range(&v), 1);
    EXPECT_EQ(v, 7);
    EXPECT_FLOAT_EQ(get_gsensor_gyro_value(), 938.7618f) << "unknown index falls back";
    r.write(node(2, "gyro_range"), "1");
    ASSERT_EQ(gyroscope_get_measure_range(&v), 1);
    EXPECT_NEAR(get_gsensor_gyro_value(), 1877.52f, 0.01f);
    r.write(node(1, "acc_range"), "3\n");
    ASSERT_EQ(gsensor_get_measure_range(&v), 1);
    EXPECT_FLOAT_EQ(get_gsensor_acc_value(), 2048.0f);
    r.write(node(1, "acc_odr"), "8\n");
    ASSERT_EQ(fw_gsensor_get_sampled_frequency(&v), 1);
    EXPECT_EQ(v, 8);
    EXPECT_EQ(fw_gyroscope_get_sampled_frequency(nullptr), 0);
    r.write(node(2, "gyro_odr"), "eight");
    EXPECT_EQ(fw_gyroscope_get_sampled_frequency(&v), 0);
    EXPECT_EQ(v, 8);
    std::remove(r.at(node(1, "acc_range")).c_str());
    EXPECT_EQ(gsensor_get_measure_range(&v), 0);
    EXPECT_FLOAT_EQ(get_gsensor_acc_value(), 2048.0f) << "a failed read keeps the scale";
}

TEST(SensorSettings, TemperatureIsSixteenBitTwosComplement) {
    TestRoot r;
    make_sensor(r);
    ASSERT_EQ(sensor_mdm_probe(), 1);
    struct {
        const char *text;
        int ok;
        float want;
    } cases[] = {
        {"0x8000\n", 1, 0.0f},      {"0x0\n", 1, 23.0f},   {"0x200", 1, 24.0f},
        {"0x7fff", 1, 23.0f + 32767.0f / 512.0f},          {"0xffff", 1, 23.0f - 1.0f / 512.0f},
        {"0xFE00", 1, 22.0f},       {"0x10000", 0, 0},     {"512", 0, 0},
        {"0x", 0, 0},               {"0x12g", 0, 0},       {"", 0, 0},
    };
    for (const auto &c : cases) {
        r.write(node(1, "temperature"), c.text);
        float t = -99.0f;
        EXPECT_EQ(qs_gsensor_get_temp_info(&t), c.ok) << c.text;
        if (c.ok) {
            EXPECT_FLOAT_EQ(t, c.want) << c.text;
        }
    }
    EXPECT_EQ(qs_gsensor_get_temp_info(nullptr), 0);
}

TEST(SensorSettings, LevelAndStartupParameters) {
    int lv = -1, p1 = -1, p2 = -1;
    ASSERT_EQ(get_mdm_measure_gsensor_para(&lv), 1);
    EXPECT_EQ(lv, 3) << "level before start-up hands one over";
    EXPECT_EQ(iot_set_measure_gsensor(9, 10, 60), 1);
    EXPECT_EQ(iot_set_measure_gsensor(10, 1, 2), 0);
    EXPECT_EQ(iot_set_measure_gsensor(-1, 1, 2), 0);
    ASSERT_EQ(iot_get_measure_gsensor(&lv, &p1, &p2), 1);
    EXPECT_EQ(lv, 9);
    EXPECT_EQ(p1, 10);
    EXPECT_EQ(p2, 60);
    EXPECT_EQ(iot_get_measure_gsensor(nullptr, nullptr, nullptr), 0);
}

// ---- filters ----------------------------------------------------------------------

TEST(SensorKalman, FirstStepAndLongRunMatchTheReference) {
    // First step from rest, by hand: P00 = dt*Q_angle = 0.005, S = 0.015,
    // K0 = 1/3, so 30 degrees with no rate comes out as 10.
    Kalman_t k = kalman_initial();
    EXPECT_FLOAT_EQ(Kalman_getAngle(&k, 30.0f, 0.0f, 0.1f), 10.0f);
    EXPECT_NEAR(k.P[0][0], 0.005 * 0.01 / 0.015, 1e-9);
    EXPECT_NEAR(k.P[1][1], 0.00003, 1e-9);

    // A wobbling angle with a rate that does not agree with it, for 2000 steps.
    Kalman_t f = kalman_initial();
    RefKalman ref;
    double worst = 0;
    for (int i = 0; i < 2000; ++i) {
        const double z = 20.0 * std::sin(i * 0.05) + ((i * 37) % 11 - 5) * 0.3;
        const double rate = 0.3 * std::cos(i * 0.05) + 0.02;
        const double want = ref.step(static_cast<float>(z), static_cast<float>(rate), static_cast<float>(0.1f));
        const float got = Kalman_getAngle(&f, static_cast<float>(z), static_cast<float>(rate), 0.1f);
        worst = std::max(worst, std::fabs(got - want));
    }
    EXPECT_LT(worst, 2e-3) << "single precision stays within a few thousandths of a degree";
    EXPECT_NEAR(f.bias, ref.bias, 1e-3);
}

TEST(SensorKalman, WindowReportsFirstToFifthOnEverySixthCall) {
    const float angles[] = {1, 2, 4, 8, 16, 100, 5, 5, 5, 5, 2, 50};
    std::vector<float> got;
    for (float a : angles) got.push_back(get_pitch_offset(a));
    const std::vector<float> want = {0, 0, 0, 0, 0, 15, 0, 0, 0, 0, 0, 3};
    EXPECT_EQ(got, want) << "the sixth angle (100) is not stored";
    for (float a : {-10.0f, 0.0f, 0.0f, 0.0f, -40.0f}) EXPECT_EQ(get_roll_offset(a), 0.0f);
    EXPECT_EQ(get_roll_offset(0.0f), 30.0f);
    EXPECT_EQ(my_fabs(-0.0f), 0.0f);
}

// ---- the motion thread's pass -------------------------------------------------------

// Where a 5-degree jolt lands in the six-sample window decides whether it is
// seen: the filter spreads it over a few samples and the window only compares
// its first and fifth.  Phases 1..3 see it, 0, 4 and 5 do not.
class SensorStepPhase : public ::testing::TestWithParam<int> {};

TEST_P(SensorStepPhase, FiveDegreeStep) {
    const int phase = GetParam();
    vs_set_flag(kMotorLockedBit, 1);
    std::vector<double> pitch(30 + phase, 0.0);
    pitch.resize(pitch.size() + 30, 5.0);
    feed(pitch);
    const double ref = ref_max_offset(pitch, std::vector<double>(pitch.size(), 0.0));
    const bool seen = phase >= 1 && phase <= 3;
    EXPECT_EQ(ref > 3.0, seen) << "reference offset " << ref;
    EXPECT_EQ(get_ebike_move_status(), seen ? 1 : 0) << "phase " << phase << ", reference offset " << ref;
    EXPECT_EQ(get_alarm_info_t(), seen ? 0x02 : 0x00);
    EXPECT_NEAR(get_kalman_pitch(), 5.0f, 0.01f) << "the filter settled on the new angle";
}

INSTANTIATE_TEST_SUITE_P(Phases, SensorStepPhase, ::testing::Range(0, 6));

// A bike knocked flat (0 to 85 degrees at once) always counts as movement,
// but the tilt bit needs more than 45 degrees between the first and fifth
// filtered samples of one window: only a fall landing in phases 1..3 gives it.
class SensorFallPhase : public ::testing::TestWithParam<int> {};

TEST_P(SensorFallPhase, KnockedFlat) {
    const int phase = GetParam();
    vs_set_flag(kMotorLockedBit, 1);
    std::vector<double> pitch(30 + phase, 0.0);
    pitch.resize(pitch.size() + 30, 85.0);
    feed(pitch);
    const bool tilt = phase >= 1 && phase <= 3;
    EXPECT_EQ(get_ebike_move_status(), 1);
    EXPECT_EQ(get_alarm_info_t(), tilt ? 0x03 : 0x02) << "phase " << phase;
}

INSTANTIATE_TEST_SUITE_P(Phases, SensorFallPhase, ::testing::Range(0, 6));

// A steady ramp shows as about 4.015 x the per-sample rise once the filter
// follows it: 0.72 deg/sample stays below 3, 0.78 goes above.
TEST(SensorStep, RampJustBelowThresholdIsStill) {
    std::vector<double> p, rate;
    for (int i = 0; i < 100; ++i) {  // up to 71 degrees: x/z keeps its meaning
        p.push_back(0.72 * i);
        rate.push_back(0.72 * 10.0 * kPiD / 180.0);  // what the gyroscope says, rad/s
    }
    const iot_sensor_data_t still{};
    for (size_t i = 0; i < p.size(); ++i) {
        const iot_sensor_data_t a = acc_at(p[i]);
        iot_sensor_data_t g = still;
        g.x = static_cast<float>(rate[i]);
        ASSERT_EQ(sensor_handle_sample(&a, &g), SENSOR_STEP_FILTERED);
    }
    const double ref = ref_max_offset(p, rate);
    EXPECT_LT(ref, 3.0);
    EXPECT_GT(ref, 2.85);
    EXPECT_EQ(get_ebike_move_status(), 0);
}

TEST(SensorStep, RampJustAboveThresholdMovesButDoesNotTilt) {
    set_sensor_event_cb(record_event);
    vs_set_flag(kMotorLockedBit, 0);
    std::vector<double> p;
    for (int i = 0; i < 100; ++i) p.push_back(0.78 * i);
    feed(p);
    EXPECT_GT(ref_max_offset(p, std::vector<double>(p.size(), 0.0)), 3.0);
    EXPECT_EQ(get_ebike_move_status(), 1);
    EXPECT_EQ(get_alarm_info_t(), 0) << "unlocked: moving is no alarm";
    EXPECT_TRUE(events().empty());
}

TEST(SensorStep, FallWhileLockedRaisesBothBitsAndTellsTheHostOnce) {
    set_sensor_event_cb(record_event);
    vs_set_flag(kMotorLockedBit, 1);
    std::vector<double> p(31, 0.0);  // phase 1: the whole fall inside one window
    p.resize(60, 60.0);
    feed(p);
    EXPECT_EQ(get_alarm_info_t(), 0x03);
    EXPECT_EQ(events(), (std::vector<std::string>{"gsensor=motion", "gsensor=fall"}));

    // Rocking on the ground keeps the bits up but does not repeat the events.
    std::vector<double> rock;
    for (int i = 0; i < 60; ++i) rock.push_back(i % 12 < 6 ? 10.0 : 70.0);
    feed(rock);
    EXPECT_EQ(events().size(), 2u);

    // The report takes the byte: the host hears "normal" on the next pass, and
    // a new movement is news again.
    clear_alarm_info_t();
    feed({70.0});
    ASSERT_GE(events().size(), 3u);
    EXPECT_EQ(events()[2], "gsensor=normal");
    feed(std::vector<double>(36, 70.0));  // settles
    clear_alarm_info_t();
    feed({70.0});
    const size_t before = events().size();
    EXPECT_EQ(events().back(), "gsensor=normal");
    std::vector<double> down;
    for (int i = 0; i < 30; ++i) down.push_back(70.0 - i);
    feed(down);
    EXPECT_EQ(get_alarm_info_t(), 0x02);
    ASSERT_EQ(events().size(), before + 1);
    EXPECT_EQ(events().back(), "gsensor=motion");
}

TEST(SensorStep, BikeOnItsSideReadsNinetyDegreesAndStill) {
    // z = 0: the ratio is infinite and atan gives 90 degrees, nothing special.
    // With y = 0 too the roll is 0/0: the roll filter sits that sample out,
    // the pitch carries on.
    vs_set_flag(kMotorLockedBit, 1);
    const iot_sensor_data_t side{1.0f, 0.0f, 0.0f}, still{};
    for (int i = 0; i < 100; ++i) ASSERT_EQ(sensor_handle_sample(&side, &still), SENSOR_STEP_FILTERED);
    EXPECT_FLOAT_EQ(get_pitch_raw(), 90.0f);
    EXPECT_FLOAT_EQ(get_kalman_pitch(), 90.0f);
    EXPECT_TRUE(std::isfinite(get_kalman_roll()));
    EXPECT_EQ(get_ebike_move_status(), 0) << "lying still is not moving";
    EXPECT_EQ(get_alarm_info_t(), 0);
}

// A box that starts on a parked bike sees its first angle as where the bike
// is, not as a swing from 0: no movement and no theft alarm after a start.
TEST(SensorStep, ParkedOnASlopeIsStillAfterStart) {
    set_sensor_event_cb(record_event);
    vs_set_flag(kMotorLockedBit, 1);
    const iot_sensor_data_t still{};
    const iot_sensor_data_t parked = acc_at(8.0, -12.0);
    for (int i = 0; i < 60; ++i) ASSERT_EQ(sensor_handle_sample(&parked, &still), SENSOR_STEP_FILTERED);
    EXPECT_NEAR(get_kalman_pitch(), 8.0f, 1e-3f);
    EXPECT_NEAR(get_kalman_roll(), -12.0f, 1e-3f);
    EXPECT_EQ(get_ebike_move_status(), 0);
    EXPECT_EQ(get_alarm_info_t(), 0);
    EXPECT_TRUE(events().empty());
    // Started from 0 instead, the same samples read as an 8-degree swing.
    EXPECT_GT(ref_max_offset(std::vector<double>(12, 8.0), std::vector<double>(12, 0.0)), 3.0);
}

TEST(SensorStep, ResetChipReadingIsSkippedAndDetectionGoesOn) {
    vs_set_flag(kMotorLockedBit, 1);
    feed(std::vector<double>(30, 0.0));
    const iot_sensor_data_t zero{}, still{};
    EXPECT_EQ(sensor_handle_sample(&zero, &still), SENSOR_STEP_BAD_SAMPLE);
    const iot_sensor_data_t nan_rate{NAN, 0, 0};
    const iot_sensor_data_t flat = acc_at(0);
    EXPECT_EQ(sensor_handle_sample(&flat, &nan_rate), SENSOR_STEP_BAD_SAMPLE);
    EXPECT_TRUE(std::isfinite(get_kalman_pitch()));
    EXPECT_TRUE(std::isfinite(get_pitch_raw()));
    // The window was not advanced by the skipped samples: phase stays where it
    // was, so a step now behaves like phase 0 plus what we feed.
    std::vector<double> p = {0.0, 20.0};
    p.resize(40, 20.0);
    feed(p);
    EXPECT_EQ(get_ebike_move_status(), 1);
    EXPECT_EQ(get_alarm_info_t(), 0x02);
}

// The pass as the thread runs it, on sensor files under the fake clock.
TEST(SensorLoop, GatesDiscardedReadingsAndFailedReads) {
    TestRoot r;
    make_sensor(r);
    ASSERT_EQ(sensor_mdm_probe(), 1);
    plat_clock_fake(1700000000);
    const int64_t t0 = plat_mono_ms();

    // No working mode in the store, no test mode: the thread waits a second at a time.
    EXPECT_EQ(sensor_handle_step(), SENSOR_STEP_GATED);
    EXPECT_EQ(plat_mono_ms() - t0, 1000);
    set_TestMode(1);
    set_factory_mode(1);
    EXPECT_EQ(sensor_handle_step(), SENSOR_STEP_GATED);
    set_factory_mode(0);

    const int64_t t1 = plat_mono_ms();
    // A failed read does not count towards the discarded ones.
    std::remove(r.at(node(1, "acc_value")).c_str());
    EXPECT_EQ(sensor_handle_step(), SENSOR_STEP_NO_READING);
    EXPECT_EQ(plat_mono_ms() - t1, 100);
    r.write(node(1, "acc_value"), "0 0 16384\n");
    for (int i = 0; i < 9; ++i) EXPECT_EQ(sensor_handle_step(), SENSOR_STEP_DISCARDED) << i;
    EXPECT_EQ(sensor_handle_step(), SENSOR_STEP_FILTERED);

    // A big jolt among the discarded readings would have alarmed; after them,
    // only the gyroscope failing stops a pass.
    std::remove(r.at(node(2, "gyro_value")).c_str());
    EXPECT_EQ(sensor_handle_step(), SENSOR_STEP_NO_READING);
    r.write(node(2, "gyro_value"), "0 0 0");
    r.write(node(1, "acc_value"), "0 0 0");
    EXPECT_EQ(sensor_handle_step(), SENSOR_STEP_BAD_SAMPLE);
    set_TestMode(0);
    r.write("/iot/conf/iot.ini", "[IotCfg]\nWorkingMode=1\n");
    ASSERT_EQ(init_iotconfig(), 1);
    r.write(node(1, "acc_value"), "0 0 16384");
    EXPECT_EQ(sensor_handle_step(), SENSOR_STEP_FILTERED) << "working mode 1 lets it run";
    // The motion thread keeps the mode it read until the store changes.
    ASSERT_EQ(set_workingMode(10), 1);
    EXPECT_EQ(sensor_handle_step(), SENSOR_STEP_GATED) << "a stored mode is seen on the next pass";
    ASSERT_EQ(set_workingMode(1), 1);
    EXPECT_EQ(sensor_handle_step(), SENSOR_STEP_FILTERED);
}

TEST(SensorLoop, FirstNineReadingsProduceNoAlarm) {
    TestRoot r;
    make_sensor(r);
    ASSERT_EQ(sensor_mdm_probe(), 1);
    plat_clock_fake(1700000000);
    set_TestMode(1);
    vs_set_flag(kMotorLockedBit, 1);
    // Nine readings swinging wildly: all discarded.
    for (int i = 0; i < 9; ++i) {
        r.write(node(1, "acc_value"), i % 2 ? "16384 0 0" : "0 0 16384");
        EXPECT_EQ(sensor_handle_step(), SENSOR_STEP_DISCARDED);
    }
    EXPECT_EQ(get_ebike_move_status(), 0);
    EXPECT_EQ(get_alarm_info_t(), 0);
    EXPECT_EQ(get_kalman_pitch(), 0.0f) << "the filter has not seen them";
}

// The alarm byte and the movement flag are shared with the telemetry and GNSS
// threads: while one thread jolts a locked bike, another keeps taking and
// clearing them.  The host hears "motion" and "normal" strictly in turn.
TEST(SensorShared, ReportAndGnssThreadsTakeTheFlagsWhileTheMotionThreadSetsThem) {
    set_sensor_event_cb(record_event);
    vs_set_flag(kMotorLockedBit, 1);
    std::atomic<bool> done{false};
    std::atomic<int> taken{0}, moves{0};
    std::thread reader([&] {
        while (!done.load()) {
            if (taken.load() % 2 == 0) {
                if (get_alarm_info_t() != 0) {
                    clear_alarm_info_t();
                    ++taken;
                }
            } else if (take_alarm_info_t() != 0) {
                ++taken;
            }
            if (get_ebike_move_status() == 1) {
                set_ebike_move_status(0);
                ++moves;
            }
            std::this_thread::yield();
        }
    });
    const iot_sensor_data_t still{};
    for (int i = 0; i < 3000; ++i) {
        const iot_sensor_data_t a = acc_at((i / 12) % 2 ? 20.0 : 0.0);  // a 20-degree jolt every 12 samples
        ASSERT_EQ(sensor_handle_sample(&a, &still), SENSOR_STEP_FILTERED);
        if (i % 50 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    done = true;
    reader.join();
    const std::vector<std::string> ev = events();
    EXPECT_GT(taken.load(), 0);
    EXPECT_GT(moves.load(), 0);
    ASSERT_GE(ev.size(), 2u);
    for (size_t i = 0; i < ev.size(); ++i) {
        EXPECT_EQ(ev[i], i % 2 == 0 ? "gsensor=motion" : "gsensor=normal") << "event " << i;
    }
}
