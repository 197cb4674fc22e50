// The host's control channel on its own: hex frames, argument checks, and
// that a malformed line calls nothing and changes nothing.
#include <gtest/gtest.h>

#include <cstring>

#include "host_control.h"

namespace {

struct Calls {
    int upgrade = 0, mcu = 0, gd32 = 0, display = 0, motor = 0, restored = 0;
    int ready = 1;
    int last_type = -1, last_motor = -1;
    std::vector<uint8_t> frame;
    std::string port, path;
} g;

int fake_upgrade(int type, const unsigned char *f, int len) {
    ++g.upgrade;
    g.last_type = type;
    g.frame.assign(f, f + len);
    return 0;
}
int fake_mcu(const char *port, const char *path) {
    ++g.mcu;
    g.port = port;
    g.path = path;
    return 1;
}
int fake_ready() { return g.ready; }
int fake_restore() { return ++g.restored, g.mcu; }  // restored only after an update
int fake_gd32() { return ++g.gd32, 1; }
int fake_motor(int id) { return ++g.motor, g.last_motor = id, 0; }

unsigned char g_bakbat[6];

HostControlOps ops() {
    HostControlOps o;
    o.upgrade = fake_upgrade;
    o.mcu_update = fake_mcu;
    o.mcu_ready = fake_ready;
    o.mcu_restore = fake_restore;
    o.bakbat = g_bakbat;
    o.gd32_update = fake_gd32;
    o.motor_update = fake_motor;
    return o;  // no display task in this library
}

std::string run(const std::string &line) {
    std::string shown;
    return host_control_run(ops(), line, &shown);
}

TEST(HostControl, HexFramesTakeEitherCaseAndBlanksBetweenPairsOnly) {
    std::vector<uint8_t> b;
    ASSERT_TRUE(host_control_hex(" 02 aB Cd\t0f ", 10, &b));
    EXPECT_EQ(b, (std::vector<uint8_t>{0x02, 0xAB, 0xCD, 0x0F}));
    EXPECT_FALSE(host_control_hex("02a", 10, &b)) << "odd digit count";
    EXPECT_FALSE(host_control_hex("0 2", 10, &b)) << "a blank inside a byte";
    EXPECT_FALSE(host_control_hex("0x02", 10, &b));
    EXPECT_FALSE(host_control_hex("", 10, &b));
    EXPECT_FALSE(host_control_hex("010203", 2, &b)) << "longer than allowed";
}

TEST(HostControl, CommandsReachTheirOperationWithTheirArguments) {
    EXPECT_EQ(run("upgrade 1 02 06 04 07 00 01 00 10 aa bb 03"), "0");
    EXPECT_EQ(g.last_type, 1);
    EXPECT_EQ(g.frame.size(), 11u);
    EXPECT_EQ(g.frame[7], 0x10);
    // Not before the agent's lines are up; the line is given back after each update.
    g.ready = 0;
    EXPECT_EQ(run("mcu_update /dev/ttyHSL2 /iot/conf/mcu.zip"), "refused: the agent's lines are not up yet");
    EXPECT_EQ(g.mcu + g.restored, 0);
    g.ready = 1;
    EXPECT_EQ(run("mcu_update /dev/ttyHSL2 /iot/conf/mcu.zip"), "1");
    EXPECT_EQ(g.port, "/dev/ttyHSL2");
    EXPECT_EQ(g.path, "/iot/conf/mcu.zip");
    EXPECT_EQ(g.restored, 1);
    EXPECT_EQ(run("bakbat 0A0b0C000100"), "ok");
    const unsigned char want[6] = {0x0A, 0x0B, 0x0C, 0x00, 0x01, 0x00};
    EXPECT_EQ(memcmp(g_bakbat, want, 6), 0);
    EXPECT_EQ(run("gd32_update"), "1");
    EXPECT_EQ(run("motor_update 1"), "0");
    EXPECT_EQ(g.last_motor, 1);
    EXPECT_EQ(run("display_update"), "not available");
    std::string shown;
    host_control_run(ops(), "upgrade 2 " + std::string(400, 'f'), &shown);
    EXPECT_EQ(shown, "upgrade 2 (200 bytes)") << "long frames are summarised";
}

TEST(HostControl, MalformedLinesCallNothingAndChangeNothing) {
    memset(g_bakbat, 0x55, 6);
    const Calls before = g;
    for (const char *bad : {"", "upgrade", "upgrade 3 0203", "upgrade -1 0203", "upgrade 1 02 0", "upgrade 1 zz",
                            "upgrade x 02", "mcu_update /dev/ttyHSL2", "mcu_update dev /iot/a.zip",
                            "mcu_update /dev/ttyHSL2 /iot/../../etc/passwd", "mcu_update /dev/x /iot/..",
                            "bakbat 0102030405", "bakbat 0102030405060", "bakbat 01020304050g", "bakbat 01 02 03 04 05 06",
                            "gd32_update now", "motor_update", "motor_update 256", "motor_update one", "reboot"}) {
        const std::string r = run(bad);
        EXPECT_EQ(r.rfind("error: ", 0), 0u) << bad << " -> " << r;
    }
    EXPECT_EQ(g.upgrade, before.upgrade);
    EXPECT_EQ(g.mcu, before.mcu);
    EXPECT_EQ(g.gd32, before.gd32);
    EXPECT_EQ(g.motor, before.motor);
    for (int i = 0; i < 6; ++i) EXPECT_EQ(g_bakbat[i], 0x55);
}

TEST(HostControl, OnlyImageTransferFramesToTheBoxAreRoutedFromBluetooth) {
    const unsigned char chunk[] = {0x02, 0x06, 0x04, 0x07, 0x00, 0x01, 0x00, 0x08, 0x00, 0x00, 0x03};
    const unsigned char done[] = {0x02, 0x06, 0x04, 0x07, 0x00, 0x01, 0x00, 0x10, 0x00, 0x00, 0x03};
    EXPECT_TRUE(host_is_upgrade_frame(chunk, sizeof chunk));
    EXPECT_TRUE(host_is_upgrade_frame(done, sizeof done));
    unsigned char other[sizeof chunk];
    memcpy(other, chunk, sizeof chunk);
    other[1] = 0x08;
    EXPECT_FALSE(host_is_upgrade_frame(other, sizeof other)) << "not to the box";
    memcpy(other, chunk, sizeof chunk);
    other[7] = 0x20;
    EXPECT_FALSE(host_is_upgrade_frame(other, sizeof other)) << "a bootloader command";
    EXPECT_FALSE(host_is_upgrade_frame(chunk, sizeof chunk - 1)) << "length field disagrees";
    EXPECT_FALSE(host_is_upgrade_frame(nullptr, 11));
}

}  // namespace
