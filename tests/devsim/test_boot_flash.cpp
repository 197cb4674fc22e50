// devsim's bootloader flash model on its own: a simulator that always says
// "done" would prove nothing, so its refusals are checked here.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "bike/boot_flash.h"

namespace {

BootBytes write_cmd(uint32_t addr, const BootBytes &data) {
    BootBytes p(7 + data.size());
    const uint8_t head[7] = {0x08, uint8_t(addr), uint8_t(addr >> 8), uint8_t(addr >> 16), uint8_t(addr >> 24),
                             uint8_t(data.size()), uint8_t(data.size() >> 8)};
    std::copy(head, head + 7, p.begin());
    std::copy(data.begin(), data.end(), p.begin() + 7);
    return p;
}

int state(BootTarget &t, const BootBytes &p) {
    BootBytes a;
    if (!t.handle(0x0007, p, &a)) return -1;  // no answer
    return a.size() >= 2 ? (a[0] | a[1] << 8) : -2;
}

TEST(BootFlash, RefusesWhatRealFlashWouldAndAnswersOnlyInTheBootloader) {
    BootTarget t(boot_geometry_gd32());
    const BootBytes block(0x400, 0x11);
    EXPECT_EQ(state(t, {}), 1) << "application";
    EXPECT_EQ(state(t, write_cmd(0x08004000, block)), 3) << "the application writes nothing";
    EXPECT_EQ(state(t, {0x20, 0x00}), -1) << "enter: no answer";
    EXPECT_EQ(state(t, {}), 0);
    EXPECT_EQ(state(t, write_cmd(0x08004000, block)), 3) << "over the old application, not erased";
    EXPECT_EQ(state(t, {0x01, 0}), 2);
    EXPECT_EQ(state(t, {0x01, 112}), 3) << "no sector 112";
    EXPECT_EQ(state(t, write_cmd(0x08004000, block)), 2);
    EXPECT_EQ(state(t, write_cmd(0x08004000, block)), 3) << "twice into the same cells";
    EXPECT_EQ(state(t, write_cmd(0x08003C00, block)), 3) << "below the window";
    EXPECT_EQ(state(t, write_cmd(0x08020000, block)), 3) << "past the window";
    BootBytes lying = write_cmd(0x08004400, block);
    lying[5] = 0x01;  // length field says 0x401
    EXPECT_EQ(state(t, {0x01, 1}), 2);
    EXPECT_EQ(state(t, lying), 3);
    EXPECT_EQ(state(t, {0x10, 0x00}), 3) << "the CRC over what it holds does not match";
    EXPECT_EQ(t.writes(), 1u);
    EXPECT_EQ(t.erases(), 2u);
}

TEST(BootFlash, CrcCheckOverItsOwnFlashAndKd11PairsSwappedBack) {
    BootTarget t(boot_geometry_kd11());
    EXPECT_EQ(state(t, {0x20, 0x00}), -1);
    for (int s = 1; s <= 7; ++s) ASSERT_EQ(state(t, {0x01, uint8_t(s)}), 2);
    // Block 0: words 0x0102, 0x0304 ... sent low byte first.
    BootBytes wire(0x800, 0xFF);
    wire[0] = 0x02, wire[1] = 0x01, wire[2] = 0x04, wire[3] = 0x03;
    ASSERT_EQ(state(t, write_cmd(0x3E8000, wire)), 2);
    EXPECT_EQ(t.flash()[0], 0x01);
    EXPECT_EQ(t.flash()[3], 0x04);
    // The CRC block: HEX-order CRC over everything before it, words low 16 bits first.
    BootBytes hex = t.flash();
    const uint32_t crc = boot_crc32_mpeg2(hex.data(), hex.size() - 4);
    BootBytes last(0x800, 0xFF);
    const uint16_t lo = uint16_t(crc), hi = uint16_t(crc >> 16);
    last[0x7FC] = uint8_t(lo), last[0x7FD] = uint8_t(lo >> 8), last[0x7FE] = uint8_t(hi), last[0x7FF] = uint8_t(hi >> 8);
    ASSERT_EQ(state(t, write_cmd(0x3E8000 + 55 * 0x400, last)), 2);
    EXPECT_EQ(state(t, {0x10, 0x00}), 2);
    std::string why;
    ASSERT_EQ(t.set("bad_crc", "1", &why), 1);
    EXPECT_EQ(state(t, {0x10, 0x00}), 3);
    EXPECT_EQ(state(t, {0x40, 0x00}), 1);
    EXPECT_FALSE(t.in_boot());
}

TEST(BootFlash, FaultKeysCountDownAndRefuseBadValues) {
    BootTarget t(boot_geometry_display());
    std::string why;
    EXPECT_EQ(t.set("drop_erase", "2", &why), 1);
    EXPECT_EQ(t.set("drop_write", "1001", &why), -1);
    EXPECT_EQ(t.set("version", "x", &why), -1);
    EXPECT_EQ(t.set("colour", "1", &why), 0);
    EXPECT_EQ(t.set("version", "3", &why), 1);
    BootBytes a;
    ASSERT_TRUE(t.handle(0x0003, {}, &a));
    EXPECT_EQ(a[0], 3);
    EXPECT_EQ(state(t, {0x20, 0x00}), -1);
    EXPECT_EQ(state(t, {0x01, 0}), -1);
    EXPECT_EQ(state(t, {0x01, 0}), -1);
    EXPECT_EQ(state(t, {0x01, 0}), 2) << "the third is answered";
    EXPECT_EQ(boot_line_ms(1041, 12), 275u) << "(1041 + 12) bytes at 3840 B/s";
}

}  // namespace
