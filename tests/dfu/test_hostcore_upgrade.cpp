// The library image pushed over a vehicle link: answers every 2048 bytes on
// the link the type names, the CRC check on completion, the file written
// whole, and hostile frames refused without touching memory out of bounds.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/iot_common.h"
#include "core/tavi_common.h"
#include "dfu/fw_crc.h"
#include "dfu/hostcore_upgrade.h"
#include "platform/plat_clock.h"
#include "support/test_root.h"
#include "vehicle/frame_codec.h"

namespace {

using Bytes = std::vector<uint8_t>;

// What went out on each link: 0 bus port, 1 lock line, 2 Bluetooth.
std::vector<Bytes> g_sent[3];
int to_ecu(const unsigned char *d, int n) { return g_sent[0].emplace_back(d, d + n), n; }
int to_gd32(const unsigned char *d, int n) { return g_sent[1].emplace_back(d, d + n), n; }
int to_bt(const unsigned char *d, int n) { return g_sent[2].emplace_back(d, d + n), n; }

dev_hostcore_t table() {
    dev_hostcore_t t{};
    t.send_to_ECU = to_ecu;
    t.send_to_GD32 = to_gd32;
    t.send_to_bluetooth = to_bt;
    return t;
}

Bytes frame_of(const Bytes &payload) {
    Bytes out(payload.size() + kFrameOverhead);
    size_t n = build_orlin_frame(0x06, 0x04, 0x0007, payload.data(), payload.size(), out.data(), out.size());
    out.resize(n);
    return out;
}

Bytes chunk(uint32_t total, const uint8_t *data, uint16_t len, int claim = -1) {
    const uint16_t c = claim < 0 ? len : static_cast<uint16_t>(claim);
    Bytes p = {0x08, uint8_t(total), uint8_t(total >> 8), uint8_t(total >> 16), uint8_t(total >> 24), uint8_t(c),
               uint8_t(c >> 8)};
    p.insert(p.end(), data, data + len);
    return frame_of(p);
}

int push(int type, const Bytes &f) { return handle_hostcore_upgrade_task(type, f.data(), static_cast<int>(f.size())); }

// The image as a sender makes it: data then its CRC-32/MPEG-2, little-endian.
Bytes image(size_t n, bool flip) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i * 31 + 7);
    uint32_t crc = CRCCCITT8bit(b.data(), static_cast<uint32_t>(n), 0xFFFFFFFFu, 0);
    if (flip) crc ^= 0x00010000;
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(crc >> (8 * i)));
    return b;
}

// Sends the image in `step`-byte chunks then the completion; the answers' statuses.
std::vector<int> send_all(int type, const Bytes &img, size_t step) {
    for (size_t off = 0; off < img.size(); off += step) {
        const size_t n = std::min(step, img.size() - off);
        EXPECT_EQ(push(type, chunk(static_cast<uint32_t>(img.size()), img.data() + off, static_cast<uint16_t>(n))), 0);
    }
    EXPECT_EQ(push(type, frame_of({0x10})), 0);
    std::vector<int> st;
    for (const Bytes &a : g_sent[type]) st.push_back(a.size() == 12 ? a[7] : -1);
    return st;
}

class Upgrade : public ::testing::Test {
protected:
    void SetUp() override {
        plat_clock_fake(1700000000);
        root_.mkdirs("/iot/conf");
        ASSERT_EQ(dev_hostcore_register(&table_), 1);
    }
    void TearDown() override {
        dev_hostcore_unregister();
        for (auto &s : g_sent) s.clear();
    }
    std::string lib() const { return root_.read("/iot/conf/libTelAgent_w.so"); }
    TestRoot root_;
    dev_hostcore_t table_ = table();
};

TEST_F(Upgrade, AnswersEvery2048BytesOnTheNamedLinkWithTheRequestsAddressesSwapped) {
    const Bytes img = image(8192 - 4, false);
    EXPECT_EQ(push(1, chunk(8192, img.data(), 1024)), 0);
    EXPECT_TRUE(g_sent[1].empty()) << "1024 bytes: no answer yet";
    EXPECT_EQ(get_ota_mode(), 1);
    EXPECT_EQ(push(1, chunk(8192, img.data() + 1024, 1024)), 0);
    ASSERT_EQ(g_sent[1].size(), 1u);
    const uint8_t st[2] = {0x02, 0x00};
    Bytes want(12);
    build_orlin_frame(0x04, 0x06, 0x0007, st, 2, want.data(), want.size());
    EXPECT_EQ(g_sent[1][0], want);
    EXPECT_EQ(push(1, chunk(8192, img.data() + 2048, 2048)), 0);
    EXPECT_EQ(g_sent[1].size(), 2u) << "4096 is answered";
    EXPECT_EQ(push(1, chunk(8192, img.data() + 4096, 904)), 0);
    EXPECT_EQ(g_sent[1].size(), 2u) << "5000 is not";
    EXPECT_TRUE(g_sent[0].empty() && g_sent[2].empty());
}

TEST_F(Upgrade, GoodImageOnEachLinkIsWrittenWithoutItsCrcAndAFlippedCrcIsRefused) {
    for (int type = 0; type < 3; ++type) {
        const Bytes good = image(5000 + static_cast<size_t>(type), false);
        EXPECT_EQ(send_all(type, good, 200).back(), 2) << type;
        EXPECT_EQ(lib(), std::string(good.begin(), good.end() - 4)) << type;
        EXPECT_EQ(get_ota_mode(), 0);
        EXPECT_EQ(hostcore_upgrade_received(), 0u);
    }
    ASSERT_EQ(unlink(root_.at("/iot/conf/libTelAgent_w.so").c_str()), 0);
    g_sent[2].clear();
    EXPECT_EQ(send_all(2, image(4096 - 4, true), 1024), (std::vector<int>{2, 2, 8}));
    EXPECT_FALSE(root_.exists("/iot/conf/libTelAgent_w.so"));
    EXPECT_FALSE(root_.exists("/iot/conf/libTelAgent_w.so.part"));
    EXPECT_EQ(get_ota_mode(), 0);
}

TEST_F(Upgrade, HostileFramesAreRefusedAndTheTransferStaysSound) {
    const Bytes img = image(4096 - 4, false);
    // A chunk length that claims more than the frame carries.
    EXPECT_EQ(push(0, chunk(4096, img.data(), 100, 101)), -1);
    EXPECT_EQ(push(0, chunk(4096, img.data(), 100, 0xFFFF)), -1);
    EXPECT_EQ(hostcore_upgrade_received(), 0u);
    // Totals beyond the buffer, chunks beyond the total.
    EXPECT_EQ(push(0, chunk(1048577, img.data(), 100)), -1);
    EXPECT_EQ(push(0, chunk(4096, img.data(), 1000)), 0);
    EXPECT_EQ(push(0, chunk(1100, img.data(), 200)), -1) << "1000 + 200 > 1100";
    EXPECT_EQ(hostcore_upgrade_received(), 0u) << "the transfer was abandoned";
    EXPECT_EQ(get_ota_mode(), 0);
    // Broken frames, unknown types and commands.
    Bytes f = chunk(4096, img.data(), 100);
    f[20] ^= 1;
    EXPECT_EQ(push(0, f), -1) << "CRC";
    EXPECT_EQ(push(3, chunk(4096, img.data(), 100)), -1);
    EXPECT_EQ(push(-1, chunk(4096, img.data(), 100)), -1);
    const Bytes whole = chunk(4096, img.data(), 100);
    EXPECT_EQ(handle_hostcore_upgrade_task(0, whole.data(), static_cast<int>(whole.size()) - 1), -1);
    EXPECT_EQ(handle_hostcore_upgrade_task(0, nullptr, 12), -1);
    EXPECT_EQ(push(0, frame_of({0x42})), 0);
    EXPECT_EQ(push(0, chunk(4096, img.data(), 4, 7)), -1) << "a 7-byte header only";
    EXPECT_TRUE(g_sent[0].empty());
    // Completions that do not match what arrived: status 8, nothing written.
    EXPECT_EQ(push(0, frame_of({0x10})), 0) << "nothing arrived";
    EXPECT_EQ(push(0, chunk(4, img.data(), 4)), 0);
    EXPECT_EQ(push(0, frame_of({0x10})), 0) << "total below 5";
    EXPECT_EQ(push(0, chunk(4096, img.data(), 2048)), 0);
    EXPECT_EQ(push(0, frame_of({0x10})), 0) << "2048 of 4096";
    ASSERT_EQ(g_sent[0].size(), 4u);
    EXPECT_EQ(g_sent[0][0][7], 8);
    EXPECT_EQ(g_sent[0][1][7], 8);
    EXPECT_EQ(g_sent[0][2][7], 2) << "the 2048-byte group";
    EXPECT_EQ(g_sent[0][3][7], 8);
    EXPECT_FALSE(root_.exists("/iot/conf/libTelAgent_w.so"));
}

TEST_F(Upgrade, AnAbandonedTransferEndsUpdateModeAfterSixtySeconds) {
    const Bytes img = image(4096 - 4, false);
    EXPECT_EQ(push(2, chunk(4096, img.data(), 1000)), 0);
    plat_clock_advance_ms(59000);
    check_hostcore_upgrade_timeout();
    EXPECT_EQ(get_ota_mode(), 1);
    EXPECT_EQ(push(2, chunk(4096, img.data() + 1000, 1000)), 0);
    plat_clock_advance_ms(59000);
    check_hostcore_upgrade_timeout();
    EXPECT_EQ(hostcore_upgrade_received(), 2000u) << "a chunk restarts the minute";
    plat_clock_advance_ms(1000);
    check_hostcore_upgrade_timeout();
    EXPECT_EQ(get_ota_mode(), 0);
    EXPECT_EQ(hostcore_upgrade_received(), 0u);
}

}  // namespace
