// CRCs and frame layouts, pinned with vectors computed independently of the
// codec (published check values, the worked key-line frames, and a bitwise
// reference written here from the polynomial definitions).
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "vehicle/frame_codec.h"

namespace {

// Bit-at-a-time references, deliberately not table driven.
uint16_t ref_ccitt_false(const uint8_t *d, size_t n) {
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i < n; ++i) {
        crc ^= static_cast<uint16_t>(d[i] << 8);
        for (int b = 0; b < 8; ++b) crc = (crc & 0x8000) ? static_cast<uint16_t>((crc << 1) ^ 0x1021) : static_cast<uint16_t>(crc << 1);
    }
    return crc;
}

uint16_t ref_arc(const uint8_t *d, size_t n) {
    uint16_t crc = 0;
    for (size_t i = 0; i < n; ++i) {
        crc ^= d[i];
        for (int b = 0; b < 8; ++b) crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : static_cast<uint16_t>(crc >> 1);
    }
    return crc;
}

const uint8_t k123[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};

}  // namespace

TEST(Crc, CheckValues) {
    EXPECT_EQ(crc16_ccitt(k123, 9), 0x29B1);
    EXPECT_EQ(crc16_arc(k123, 9), 0xBB3D);
    EXPECT_EQ(crc16_ccitt(k123, 0), 0xFFFF);
    EXPECT_EQ(crc16_arc(k123, 0), 0x0000);
}

TEST(Crc, AgreesWithBitwiseReferenceOnRandomData) {
    std::mt19937 rng(7);
    std::vector<uint8_t> buf(600);
    for (int round = 0; round < 200; ++round) {
        size_t n = rng() % buf.size();
        for (size_t i = 0; i < n; ++i) buf[i] = static_cast<uint8_t>(rng());
        ASSERT_EQ(crc16_ccitt(buf.data(), n), ref_ccitt_false(buf.data(), n));
        ASSERT_EQ(crc16_arc(buf.data(), n), ref_arc(buf.data(), n));
    }
}

TEST(BusFrame, WorkedKeyLineFrames) {
    const uint8_t on[] = {0x02, 0x07, 0x06, 0x03, 0xF4, 0x02, 0x00, 0x01, 0x00, 0xEA, 0xF1, 0x03};
    const uint8_t off[] = {0x02, 0x07, 0x06, 0x03, 0xF4, 0x02, 0x00, 0x00, 0x00, 0xDB, 0xC2, 0x03};
    uint8_t out[32];
    const uint8_t p_on[] = {0x01, 0x00}, p_off[] = {0x00, 0x00};
    ASSERT_EQ(build_orlin_frame(0x07, 0x06, 0xF403, p_on, 2, out, sizeof out), sizeof on);
    EXPECT_EQ(0, memcmp(out, on, sizeof on));
    ASSERT_EQ(build_orlin_frame(0x07, 0x06, 0xF403, p_off, 2, out, sizeof out), sizeof off);
    EXPECT_EQ(0, memcmp(out, off, sizeof off));
    EXPECT_EQ(check_orlin_msg_valid(on, sizeof on), 1);
    EXPECT_EQ(check_orlin_msg_valid(off, sizeof off), 1);
}

TEST(BusFrame, TenByteRequestCarriesTheCrcOfItsSixBytes) {
    uint8_t out[16];
    ASSERT_EQ(build_orlin_frame(0x07, 0x06, 0xF402, nullptr, 0, out, sizeof out), 10u);
    const uint8_t six[] = {0x07, 0x06, 0x02, 0xF4, 0x00, 0x00};
    uint16_t crc = ref_ccitt_false(six, 6);
    const uint8_t want[] = {0x02, 0x07, 0x06, 0x02, 0xF4, 0x00, 0x00,
                            static_cast<uint8_t>(crc & 0xFF), static_cast<uint8_t>(crc >> 8), 0x03};
    EXPECT_EQ(0, memcmp(out, want, 10));
    EXPECT_EQ(frame_msg_id(out), 0xF402);
}

TEST(BusFrame, BuilderRefusesWhatDoesNotFit) {
    uint8_t out[20];
    uint8_t payload[11] = {0};
    EXPECT_EQ(build_orlin_frame(1, 6, 1, payload, 10, out, sizeof out), 20u);
    EXPECT_EQ(build_orlin_frame(1, 6, 1, payload, 11, out, sizeof out), 0u);
    EXPECT_EQ(build_orlin_frame(1, 6, 1, nullptr, 3, out, sizeof out), 0u);
}

TEST(Validator, NamesWhatIsWrong) {
    uint8_t f[16];
    const uint8_t p[] = {0x02, 0x03};  // start and end bytes inside the payload
    size_t n = build_orlin_frame(0x06, 0x08, 0xF107, p, 2, f, sizeof f);
    ASSERT_EQ(n, 12u);
    EXPECT_EQ(check_orlin_msg_valid(nullptr, 12), 0);

    testing::internal::CaptureStdout();
    EXPECT_EQ(check_orlin_msg_valid(f, static_cast<int>(n)), 1);
    f[0] = 0x12;
    EXPECT_EQ(check_orlin_msg_valid(f, static_cast<int>(n)), 0);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("/check_orlin_msg_valid start byte 12 error\n"), std::string::npos) << out;
    f[0] = 0x02;

    testing::internal::CaptureStdout();
    f[n - 1] = 0x04;
    EXPECT_EQ(check_orlin_msg_valid(f, static_cast<int>(n)), 0);
    out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("end byte 04 error"), std::string::npos) << out;
    f[n - 1] = 0x03;

    // A wrong CRC with a good end byte is a CRC error, not an end-byte error.
    testing::internal::CaptureStdout();
    f[n - 3] ^= 0x01;
    EXPECT_EQ(check_orlin_msg_valid(f, static_cast<int>(n)), 0);
    out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("check_orlin_msg_valid crc_error "), std::string::npos) << out;
    EXPECT_EQ(out.find("end byte"), std::string::npos) << out;

    // Too short to carry a CRC: refused without reading before the buffer.
    testing::internal::CaptureStdout();
    EXPECT_EQ(check_orlin_msg_valid(f, 3), 0);
    EXPECT_EQ(check_orlin_msg_valid(f, 0), 0);
    testing::internal::GetCapturedStdout();
}

TEST(CaretFrame, LayoutsOfTheMcuCommands) {
    uint8_t out[64];
    const uint8_t ping[] = {0xFF, 0x00, 0x3C};
    ASSERT_EQ(build_caret_frame(0xFF, ping, 3, out, sizeof out), 9u);
    EXPECT_EQ(out[0], 0x5E);
    EXPECT_EQ(out[1], 0x00);
    EXPECT_EQ(out[2], 9);
    EXPECT_EQ(out[3], 0xFF);
    uint16_t crc = ref_arc(out, 7);
    EXPECT_EQ(out[7], crc >> 8);  // high byte first
    EXPECT_EQ(out[8], crc & 0xFF);
    EXPECT_EQ(check_caret_msg_valid(out, 9), 1);
    const uint8_t zeros[7] = {0};
    EXPECT_EQ(build_caret_frame(0x0A, zeros, 7, out, sizeof out), 13u);
    EXPECT_EQ(check_caret_msg_valid(out, 13), 1);
    EXPECT_EQ(check_caret_msg_valid(out, 12), 0);  // length byte disagrees
    out[12] ^= 0xFF;
    EXPECT_EQ(check_caret_msg_valid(out, 13), 0);
    // Forwarded data: L = data + 6, at most 255 in one length byte.
    std::vector<uint8_t> big(250, 0xAB), frame(300);
    EXPECT_EQ(build_caret_frame(0x09, big.data(), 200, frame.data(), frame.size()), 206u);
    EXPECT_EQ(build_caret_frame(0x09, big.data(), 250, frame.data(), frame.size()), 0u);
}
