// devsim's MCU bootloader on its own: what it answers, what it refuses, and
// its knobs, so the agent's update tests stand on a peer that can say no.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "core/frame_link.h"
#include "mcu/dfu_boot.h"

namespace {

struct FakeLine final : public PeerLine {
    std::string port_ = "ttyHSL2";
    std::string root_;
    std::vector<std::pair<unsigned, DfuBytes>> sent;
    std::vector<std::string> traces;
    FakeLine() {
        char tmpl[] = "/tmp/devsim-dfu-XXXXXX";
        root_ = mkdtemp(tmpl);
    }
    ~FakeLine() override { (void)system(("rm -rf " + root_).c_str()); }
    const std::string &port() const override { return port_; }
    const std::string &root() const override { return root_; }
    int send(const uint8_t *d, size_t n, unsigned delay_ms) override {
        sent.emplace_back(delay_ms, DfuBytes(d, d + n));
        return 0;
    }
    void trace(const char *dir, const uint8_t *, size_t) override { traces.push_back(dir); }
};

void feed(DfuBoot &b, const DfuBytes &packet) {
    const DfuBytes w = devsim_slip_encode(packet);
    b.feed(w.data(), w.size());
}

DfuBytes last(FakeLine &l) { return l.sent.empty() ? DfuBytes{} : l.sent.back().second; }

}  // namespace

TEST(DevsimDfuBoot, SwitchPingObjectsAndAbort) {
    FakeLine line;
    DfuBoot b(line);
    // Application side: the version query and the switch.
    EXPECT_TRUE(b.on_app_caret(0x20, {0x01}));
    EXPECT_EQ(last(line), encode_caret_frame(0xB0, {0x01, 0x02, 0x03}));
    EXPECT_FALSE(b.on_app_caret(0x54, {0x02}));  // the BLE module's reboot is not ours
    EXPECT_TRUE(b.on_app_caret(0x54, {0x01}));
    EXPECT_TRUE(b.in_boot());

    feed(b, {0x09, 0x07});
    EXPECT_EQ(last(line), devsim_slip_encode({0x60, 0x09, 0x01, 0x07}));
    // Firmware before an init packet is not permitted; an unknown opcode is refused.
    feed(b, {0x01, 0x02, 0x10, 0x00, 0x00, 0x00});
    EXPECT_EQ(last(line), devsim_slip_encode({0x60, 0x01, 0x08}));
    feed(b, {0x5E, 0x00});
    EXPECT_EQ(last(line), devsim_slip_encode({0x60, 0x5E, 0x02}));

    // An init packet in, CRC over what arrived, execute.
    const DfuBytes init = {'a', 'p', 'p', 'l', 'i', 'c', 'a', 't', 'i', 'o', 'n', ' ', 's', 'i', 'z', 'e', '=', '3'};
    feed(b, {0x01, 0x01, static_cast<uint8_t>(init.size()), 0, 0, 0});
    DfuBytes w(1, 0x08);
    for (uint8_t c : init) w.push_back(c);
    feed(b, w);
    feed(b, {0x03});
    const uint32_t crc = devsim_crc32(init.data(), init.size());
    EXPECT_EQ(last(line), devsim_slip_encode({0x60, 0x03, 0x01, static_cast<uint8_t>(init.size()), 0, 0, 0,
                                              static_cast<uint8_t>(crc), static_cast<uint8_t>(crc >> 8),
                                              static_cast<uint8_t>(crc >> 16), static_cast<uint8_t>(crc >> 24)}));
    feed(b, {0x04});
    EXPECT_EQ(last(line), devsim_slip_encode({0x60, 0x04, 0x01}));
    // A 3-byte image: create, write (with bytes that need escaping), execute: complete.
    feed(b, {0x01, 0x02, 0x03, 0x00, 0x00, 0x00});
    feed(b, {0x08, 0xC0, 0xDB, 0x11});
    feed(b, {0x04});
    EXPECT_EQ(last(line), devsim_slip_encode({0x60, 0x04, 0x01}));
    EXPECT_EQ(b.executed(), 3u);
    EXPECT_FALSE(b.in_boot());  // a new application starts at once
}

TEST(DevsimDfuBoot, RefusesOverlongAndBrokenPacketsAndHonoursKnobs) {
    FakeLine line;
    DfuBoot b(line);
    std::string why;
    ASSERT_EQ(b.configure("dfu.mode", "boot", &why), 1);
    ASSERT_EQ(b.configure("dfu.mtu", "10", &why), 1);
    EXPECT_EQ(b.configure("dfu.mtu", "x", &why), -1);
    EXPECT_EQ(b.configure("dfu.error", "6", &why), -1);
    EXPECT_EQ(b.configure("other", "1", &why), 0);
    const size_t before = line.sent.size();
    feed(b, DfuBytes(10, 0x09));                    // 11 bytes encoded: over the MTU
    const DfuBytes broken = {0x09, 0xDB, 0xDB, 0xC0};  // two escapes in a row
    b.feed(broken.data(), broken.size());
    EXPECT_EQ(line.sent.size(), before);
    ASSERT_GE(line.traces.size(), 2u);
    EXPECT_EQ(line.traces[line.traces.size() - 2], "RX-BAD mtu");
    EXPECT_EQ(line.traces.back(), "RX-BAD slip");

    ASSERT_EQ(b.configure("dfu.error", "09:0b", &why), 1);
    ASSERT_EQ(b.configure("dfu.delay_ms", "250", &why), 1);
    feed(b, {0x09, 0x01});
    EXPECT_EQ(last(line), devsim_slip_encode({0x60, 0x09, 0x0B}));
    EXPECT_EQ(line.sent.back().first, 250u);
    ASSERT_EQ(b.command("split 1", &why), 0);
    ASSERT_EQ(b.command("error -", &why), 0);
    feed(b, {0x07});
    ASSERT_GE(line.sent.size(), 2u);
    EXPECT_EQ(line.sent.back().first, 550u);  // second half 300 ms after the first
    ASSERT_EQ(b.command("silent 1", &why), 0);
    const size_t quiet = line.sent.size();
    feed(b, {0x09, 0x02});
    EXPECT_EQ(line.sent.size(), quiet);
    feed(b, {0x0C});  // abort still reaches it
    EXPECT_FALSE(b.in_boot());
}
