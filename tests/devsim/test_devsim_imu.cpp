// devsim's motion sensor on its own: the counts it writes for an attitude,
// its motion scripts, the keys it refuses, and the peer on a temporary root
// (produces only while enabled, logs the agent's writes, spikes, one-shot
// texts, removal).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "sensor/imu_peer.h"

namespace {

std::string slurp(const std::string &p) {
    std::ifstream f(p);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

// What an agent does: open, truncate, write, close.
void agent_write(const std::string &p, const std::string &text) {
    std::ofstream f(p, std::ios::trunc);
    f << text;
}

template <class F>
bool wait_for(F cond, int ms = 3000) {
    for (int i = 0; i < ms / 10; ++i) {
        if (cond()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return cond();
}

struct TempRoot {
    std::string path;
    TempRoot() {
        char t[] = "/tmp/devsim_imu_XXXXXX";
        path = mkdtemp(t);
    }
    ~TempRoot() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
    std::string in(int n, const std::string &node) const {
        return path + "/sys/devices/virtual/input/input" + std::to_string(n) + "/" + node;
    }
};

}  // namespace

TEST(DevsimImu, CountsForAttitudesAndRates) {
    int c[3];
    imu_accel_counts(0, 0, 0, c);
    EXPECT_EQ(c[0], 0);
    EXPECT_EQ(c[1], 0);
    EXPECT_EQ(c[2], 16384);
    imu_accel_counts(30, 0, 3, c);  // 2048 per g
    EXPECT_EQ(c[0], 1024);
    EXPECT_EQ(c[2], 1774);
    EXPECT_NEAR(std::atan2(c[0], c[2]) * 180 / M_PI, 30.0, 0.05);
    imu_accel_counts(0, 20, 0, c);
    EXPECT_NEAR(-std::atan2(c[1], c[2]) * 180 / M_PI, 20.0, 0.01) << "the agent's roll sign";
    imu_accel_counts(90, 0, 0, c);
    EXPECT_EQ(c[0], 16384);
    EXPECT_EQ(c[2], 0);
    imu_accel_counts(-90, 0, 0, c);
    EXPECT_EQ(c[0], -16384);

    imu_gyro_counts(10, -10, 0, 0, c);
    EXPECT_EQ(c[0], 164);
    EXPECT_EQ(c[1], -164);
    imu_gyro_counts(10, 0, 0, 4, c);
    EXPECT_EQ(c[0], 2621);
    imu_gyro_counts(5000, -5000, 0, 0, c);
    EXPECT_EQ(c[0], 32767) << "16-bit chip saturates";
    EXPECT_EQ(c[1], -32768);
}

TEST(DevsimImu, MotionScripts) {
    ImuMotion m;
    m.kind = ImuMotion::ramp;
    m.rate = 10;
    EXPECT_DOUBLE_EQ(imu_motion_advance(&m, 100), 10.0);
    EXPECT_DOUBLE_EQ(m.pitch, 1.0);
    for (int i = 0; i < 200; ++i) imu_motion_advance(&m, 100);
    EXPECT_DOUBLE_EQ(m.pitch, 89.0) << "stops short of upright";
    EXPECT_EQ(m.kind, ImuMotion::still);
    EXPECT_DOUBLE_EQ(imu_motion_advance(&m, 100), 0.0);

    ImuMotion t;
    t.kind = ImuMotion::tilt;
    t.target = -45;
    t.rate = 300;
    EXPECT_DOUBLE_EQ(imu_motion_advance(&t, 100), -300.0);
    EXPECT_DOUBLE_EQ(imu_motion_advance(&t, 100), -150.0) << "the last step only goes as far as the target";
    EXPECT_DOUBLE_EQ(t.pitch, -45.0);
    EXPECT_EQ(t.kind, ImuMotion::still);

    ImuMotion q;
    q.kind = ImuMotion::square;
    q.base = 5;
    q.amp = 20;
    q.period_ms = 400;
    std::vector<double> seen;
    for (int i = 0; i < 8; ++i) {
        imu_motion_advance(&q, 100);
        seen.push_back(q.pitch);
    }
    EXPECT_EQ(seen, (std::vector<double>{5, 25, 25, 5, 5, 25, 25, 5}));
    EXPECT_EQ(imu_motion_advance(&q, 0), 0.0);
}

TEST(DevsimImu, SettingsRefuseBadValuesWithoutChange) {
    ImuSettings s;
    const std::string long_text(201, 'x');
    const std::pair<std::string, std::string> bad[] = {
        {"pitch", "91"},     {"pitch", "x"},        {"pitch", ""},          {"ramp", "1e9"},   {"tilt", ""},
        {"tilt", "10,0"},    {"tilt", "1 2 3"},     {"square", "10"},       {"square", "95 100"}, {"raw", "1 2"},
        {"raw", "1 2 9999999999"}, {"family", "bmi160"}, {"accel_input", "10"}, {"acc_range", "4"},
        {"gyro_range", "5"}, {"period_ms", "5"},    {"noise", "-1"},        {"frozen", "maybe"}, {"missing", "all"},
        {"nonsense", "1"},   {"pitch", "nan"},      {"text", long_text},
    };
    for (const auto &[k, v] : bad) {
        ImuSettings before = s;
        EXPECT_EQ(imu_apply_setting(&s, k, v), 0) << k << "=" << v;
        EXPECT_EQ(s.motion.kind, before.motion.kind) << k;
        EXPECT_EQ(s.motion.pitch, before.motion.pitch) << k;
    }
    ASSERT_EQ(imu_apply_setting(&s, "tilt", "60,45"), 1);
    EXPECT_EQ(s.motion.kind, ImuMotion::tilt);
    EXPECT_EQ(s.motion.rate, 45);
    ASSERT_EQ(imu_apply_setting(&s, "raw", "1 -2 3"), 1);
    EXPECT_EQ(s.motion.counts[1], -2);
    ASSERT_EQ(imu_apply_setting(&s, "ramp", "0"), 1);
    EXPECT_EQ(s.motion.kind, ImuMotion::still);
    ASSERT_EQ(imu_apply_setting(&s, "gyro_name", ""), 1);
    EXPECT_TRUE(s.gyro_name_set);
}

TEST(DevsimImu, PeerProducesOnlyWhileEnabledAndLogsTheAgentsWrites) {
    TempRoot r;
    ImuPeer p;
    ASSERT_EQ(p.configure("pitch", "30"), 1);
    ASSERT_EQ(p.configure("spike", "3"), 1);
    ASSERT_EQ(p.start(r.path), 0);
    EXPECT_EQ(slurp(r.in(0, "name")), "touch_panel\n");
    EXPECT_EQ(slurp(r.in(1, "name")), "icm42607_accel\n");
    EXPECT_EQ(slurp(r.in(2, "name")), "icm42607_gyro\n");
    EXPECT_EQ(slurp(r.in(1, "enable")), "0\n");
    EXPECT_EQ(slurp(r.in(1, "temperature")), "0x200\n");

    // Disabled: the first reading stays as it was, spikes included.
    std::this_thread::sleep_for(std::chrono::milliseconds(450));
    EXPECT_EQ(slurp(r.in(1, "acc_value")), "8192 0 14189\n");

    agent_write(r.in(1, "enable"), "1");
    agent_write(r.in(2, "gyro_enable"), "1");
    EXPECT_TRUE(wait_for([&] { return slurp(r.in(1, "acc_value")) == "0 0 0\n"; })) << "every third reading";
    EXPECT_TRUE(wait_for([&] { return slurp(r.in(1, "acc_value")) == "8192 0 14189\n"; }));
    const std::string log = r.path + "/var/devsim/imu.log";
    EXPECT_TRUE(wait_for([&] { return slurp(log).find(" W input1/enable 1\n") != std::string::npos; })) << slurp(log);
    EXPECT_NE(slurp(log).find(" W input2/gyro_enable 1\n"), std::string::npos);
    EXPECT_EQ(slurp(log).find(".tmp."), std::string::npos) << "devsim's own writes are not the agent's";

    std::string why;
    ASSERT_EQ(p.command("spike", "0", &why), 0);
    ASSERT_EQ(p.command("text", "12 abc", &why), 0);
    EXPECT_TRUE(wait_for([&] { return slurp(r.in(1, "acc_value")) == "12 abc"; }));
    EXPECT_TRUE(wait_for([&] { return slurp(r.in(1, "acc_value")) == "8192 0 14189\n"; })) << "text is one-shot";

    EXPECT_EQ(p.command("pitch", "95", &why), -1);
    EXPECT_FALSE(why.empty());
    ASSERT_EQ(p.command("remove", "", &why), 0);
    EXPECT_FALSE(std::filesystem::exists(r.in(1, "name")));
    EXPECT_FALSE(std::filesystem::exists(r.in(0, "name")));
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    EXPECT_FALSE(std::filesystem::exists(r.in(1, "acc_value"))) << "nothing written into a removed device";
    ASSERT_EQ(p.command("restore", "", &why), 0);
    EXPECT_EQ(slurp(r.in(1, "enable")), "0\n") << "a reloaded driver starts disabled";
    p.stop();
    EXPECT_NE(slurp(log).find(" C remove\n"), std::string::npos);
}
