// HEX files to flash images: the record reader on hostile lines, and the
// builders on files made by objcopy, checked byte for byte against srec_cat's
// image and python3-crcmod's CRC.  The failure cases each leave an all-0xFF
// image without a CRC, never a half image or the previous build's.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <string>

#include "dfu/fw_crc.h"
#include "dfu/fw_image.h"
#include "dfu/fw_oracle.h"
#include "platform/plat_clock.h"
#include "support/test_root.h"

namespace {

const uint8_t k123[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};

FwBytes image_of(FwTarget t) {
    const uint8_t *p = fw_image(t);
    return FwBytes(p, p + fw_target_info(t).image_bytes);
}

bool all_ff(const FwBytes &b) {
    for (uint8_t v : b) {
        if (v != 0xFF) return false;
    }
    return true;
}

class FwImage : public ::testing::Test {
protected:
    void SetUp() override {
        plat_clock_fake(1700000000);  // the builders' one-second pause
        root_.mkdirs("/iot/conf");
        root_.mkdirs("/tmp");
        dir_ = root_.at("/tmp");
    }
    // Writes `hex` as target t's file and builds it.
    int build(FwTarget t, const std::string &hex) {
        root_.write(fw_target_info(t).path, hex);
        switch (t) {
            case FW_DISPLAY: return OnOpenDisplayFirmwareButtonClick();
            case FW_KD11: return OnOpenControllerFirmwareButtonClick();
            case FW_HM52: return OnOpenHM52FirmwareButtonClick();
            default: return OnOpenGd32FirmwareButtonClick();
        }
    }
    // A good two-part GD32 file: data at the window start and near its end,
    // a hole of 0xFF between.
    std::string gd32_hex() {
        std::string a = fw_hex_without_end(fw_objcopy_hex(dir_, fw_random_bytes(5000, 7), 0x08004000));
        std::string b = fw_objcopy_hex(dir_, fw_random_bytes(3000, 9), 0x0801F000);
        return a + b;
    }
    TestRoot root_;
    std::string dir_;
};

TEST(FwCrc, CheckValuesWordOrdersAndContinuation) {
    EXPECT_EQ(CRCCCITT8bit(k123, 9, 0xFFFFFFFFu, 0), 0x0376E6E7u);
    // The same bytes as words: high byte first, then low byte first.
    const uint16_t hi_first[4] = {0x3132, 0x3334, 0x3536, 0x3738};
    const uint16_t lo_first[4] = {0x3231, 0x3433, 0x3635, 0x3837};
    const uint32_t eight = CRCCCITT8bit(k123, 8, 0xFFFFFFFFu, 0);
    EXPECT_EQ(CRCCCITT(hi_first, 4, 0xFFFFFFFFu, 0), eight);
    EXPECT_EQ(CRCCCITT2(lo_first, 4, 0xFFFFFFFFu, 0), eight);
    EXPECT_EQ(CRCCCITT8bit(k123, 9, 0xFFFFFFFFu, 0xFFFFFFFFu), ~0x0376E6E7u);
    EXPECT_EQ(crc32_compute(k123, 9, nullptr), 0xCBF43926u);
    const uint32_t head = crc32_compute(k123, 4, nullptr);
    EXPECT_EQ(crc32_compute(k123 + 4, 5, &head), 0xCBF43926u);
    EXPECT_EQ(crc32_compute(nullptr, 0, nullptr), 0u);
}

TEST_F(FwImage, CrcsAgreeWithCrcmodOnRandomData) {
    for (size_t n : {1u, 255u, 4097u}) {
        const FwBytes b = fw_random_bytes(n, static_cast<uint32_t>(n));
        EXPECT_EQ(CRCCCITT8bit(b.data(), static_cast<uint32_t>(n), 0xFFFFFFFFu, 0), fw_crcmod_mpeg2(dir_, b)) << n;
        EXPECT_EQ(crc32_compute(b.data(), static_cast<uint32_t>(n), nullptr), fw_crcmod_crc32(dir_, b)) << n;
    }
}

TEST(FwRecord, HexDigitsAndRecordFields) {
    uint32_t v = 77;
    EXPECT_EQ(AsciiHexToNum("", 0, &v), 1);
    EXPECT_EQ(v, 0u);
    EXPECT_EQ(AsciiHexToNum("fFfFfFfF", 8, &v), 1);
    EXPECT_EQ(v, 0xFFFFFFFFu);
    EXPECT_EQ(AsciiHexToNum("123456789", 9, &v), 0);
    EXPECT_EQ(AsciiHexToNum("1g", 2, &v), 0);
    EXPECT_EQ(AsciiHexToNum(" 1", 2, &v), 0);

    const char good[] = ":0400100001020304E2";
    uint8_t type = 0xEE, data[8];
    uint32_t addr = 0;
    int count = 8;
    ASSERT_EQ(hex8bit_parse(good, static_cast<int>(strlen(good)), &type, &addr, data, &count), 1);
    EXPECT_EQ(type, 0);
    EXPECT_EQ(addr, 0x0010u);
    EXPECT_EQ(count, 4);
    EXPECT_EQ(data[3], 4);
    // Cut at every place: a failure; the type is known only once its digits were there.
    for (size_t cut = 0; cut < strlen(good); ++cut) {
        type = 0xEE;
        count = 8;
        EXPECT_EQ(hex8bit_parse(good, static_cast<int>(cut), &type, &addr, data, &count), 0) << cut;
        EXPECT_EQ(type, cut >= 9 ? 0 : 0xEE) << cut;
    }
    // Checksum off by one: failure after the type was read.
    type = 0xEE;
    count = 8;
    EXPECT_EQ(hex8bit_parse(":0400100001020304E3", 19, &type, &addr, data, &count), 0);
    EXPECT_EQ(type, 0);
    // More data than the caller holds.
    count = 3;
    EXPECT_EQ(hex8bit_parse(good, 19, &type, &addr, data, &count), 0);

    // Words: pairs, first byte high; an odd last byte sits over 0xFF.
    uint16_t w[4] = {};
    count = 2;
    ASSERT_EQ(hex_parse(good, 19, &type, &addr, w, &count), 1);
    EXPECT_EQ(w[0], 0x0102);
    EXPECT_EQ(w[1], 0x0304);
    count = 1;
    EXPECT_EQ(hex_parse(good, 19, &type, &addr, w, &count), 0) << "two words do not fit in one";
    count = 4;
    ASSERT_EQ(hex_parse(":03000000AABBCCCC", 17, &type, &addr, w, &count), 1);
    EXPECT_EQ(count, 3);
    EXPECT_EQ(w[1], 0xCCFF);
}

TEST_F(FwImage, Gd32FromObjcopyEqualsSrecCatImageWithCrcmodCrc) {
    const std::string hex = gd32_hex();
    ASSERT_NE(hex.find("\r\n"), std::string::npos) << "objcopy writes CR LF lines";
    ASSERT_EQ(build(FW_GD32, hex), 1);
    const FwTargetInfo &ti = fw_target_info(FW_GD32);
    const FwBytes oracle = fw_srec_image(dir_, hex, ti.window_start, ti.image_bytes);
    ASSERT_EQ(oracle.size(), ti.image_bytes - 4);
    const uint32_t crc = fw_crcmod_mpeg2(dir_, oracle);
    EXPECT_EQ(fw_image_crc(FW_GD32), crc);
    EXPECT_TRUE(image_of(FW_GD32) == fw_with_crc(oracle, crc));
}

TEST_F(FwImage, DisplaySkipsRecordsOutsideItsWindowAndKeepsTheRest) {
    // Its own bootloader below the window, then the application.
    const std::string boot = fw_hex_without_end(fw_objcopy_hex(dir_, fw_random_bytes(512, 3), 0x08000000));
    const std::string app = fw_objcopy_hex(dir_, fw_random_bytes(20000, 4), 0x08004000);
    ASSERT_EQ(build(FW_DISPLAY, boot + app), 1);
    const FwTargetInfo &ti = fw_target_info(FW_DISPLAY);
    const FwBytes oracle = fw_srec_image(dir_, boot + app, ti.window_start, ti.image_bytes);
    EXPECT_TRUE(image_of(FW_DISPLAY) == fw_with_crc(oracle, fw_crcmod_mpeg2(dir_, oracle)));
    // The same file for the GD32 board ends the build.
    EXPECT_EQ(build(FW_GD32, boot + app), 0);
    EXPECT_TRUE(all_ff(image_of(FW_GD32)));
}

TEST_F(FwImage, EveryDamagedFileFailsAndLeavesNoImage) {
    const std::string good = gd32_hex();
    const size_t eof = good.find(":00000001FF");
    ASSERT_NE(eof, std::string::npos);
    const size_t mid = good.find("\r\n", good.size() / 2) + 2;  // a line boundary in the middle
    struct Case {
        const char *what;
        std::string text;
    };
    std::string bad_sum = good;
    bad_sum[mid + 9] = bad_sum[mid + 9] == '0' ? '1' : '0';  // a data digit of a data record
    std::string lf_only = good;
    for (size_t p; (p = lf_only.find("\r\n")) != std::string::npos;) lf_only.erase(p, 1);
    const Case cases[] = {
        {"cut at a line boundary, no end record", good.substr(0, mid)},
        {"cut inside a line", good.substr(0, mid + 7)},
        {"blank line in the middle", good.substr(0, mid) + "\r\n" + good.substr(mid)},
        {"garbage line in the middle", good.substr(0, mid) + "hello\r\n" + good.substr(mid)},
        {"checksum error in a data record", bad_sum},
        {"CR without LF", good.substr(0, mid - 1) + "x" + good.substr(mid)},
        {"CR at the very end", good.substr(0, eof) + ":0400000508004000AF\r"},
        {"line of 200 characters", good.substr(0, mid) + std::string(200, 'A') + "\r\n" + good.substr(mid)},
        {"LF line ends", lf_only},
        {"extended address with 4 bytes", ":0400000408000000F0\r\n" + good},
        {"record wrapping past 4 GiB", ":02000004FFFFFC\r\n:10FFF800000102030405060708090A0B0C0D0E0F81\r\n" + good},
        {"record overlapping the CRC", good.substr(0, eof) + ":020000040801F1\r\n:02FFFE00AABB9C\r\n" + good.substr(eof)},
        {"no data in the window", ":020000040900F1\r\n:0400000001020304F2\r\n:00000001FF\r\n"},
        {"empty file", ""},
    };
    for (const Case &c : cases) {
        ASSERT_EQ(build(FW_GD32, good), 1) << "the good file before " << c.what;
        EXPECT_EQ(build(FW_GD32, c.text), 0) << c.what;
        EXPECT_EQ(fw_image_valid(FW_GD32), 0) << c.what;
        EXPECT_TRUE(all_ff(image_of(FW_GD32))) << c.what << ": the earlier good image must not survive";
    }
    root_.write("/iot/conf/GD32.hex", "");
    ASSERT_EQ(unlink(root_.at("/iot/conf/GD32.hex").c_str()), 0);
    EXPECT_EQ(OnOpenGd32FirmwareButtonClick(), 0) << "missing file";
}

TEST_F(FwImage, EndRecordFinishesEvenWithABadChecksumAndLinesAfterItAreIgnored) {
    const std::string good = gd32_hex();
    const size_t eof = good.find(":00000001FF");
    ASSERT_EQ(build(FW_GD32, good), 1);
    const FwBytes want = image_of(FW_GD32);
    EXPECT_EQ(build(FW_GD32, good.substr(0, eof) + ":00000001FE\r\nrubbish"), 1);
    EXPECT_TRUE(image_of(FW_GD32) == want);
    EXPECT_EQ(build(FW_GD32, good.substr(0, eof) + ":00000001FF"), 1) << "a last line without CR LF";
    EXPECT_TRUE(image_of(FW_GD32) == want);
}

TEST_F(FwImage, OutsideTheWindowKd11SaysSoHm52EndsSilentlyBothPrintParseErrors) {
    const std::string outside = ":020000040800F2\r\n:0400000001020304F2\r\n:00000001FF\r\n";
    testing::internal::CaptureStdout();
    EXPECT_EQ(build(FW_KD11, outside), 0);
    EXPECT_NE(testing::internal::GetCapturedStdout().find("Unexpected address range in HEX file \r"),
              std::string::npos);
    testing::internal::CaptureStdout();
    EXPECT_EQ(build(FW_HM52, outside), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout().find("Unexpected"), std::string::npos);
    testing::internal::CaptureStdout();
    EXPECT_EQ(build(FW_HM52, ":0400000001020304F3\r\n:00000001FF\r\n"), 0);
    EXPECT_NE(testing::internal::GetCapturedStdout().find("HEX file parsing error \r"), std::string::npos);
    testing::internal::CaptureStdout();
    EXPECT_EQ(build(FW_GD32, ":0400000001020304F3\r\n:00000001FF\r\n"), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout().find("HEX file parsing error"), std::string::npos)
        << "the GD32 builder ends silently";
}

}  // namespace
