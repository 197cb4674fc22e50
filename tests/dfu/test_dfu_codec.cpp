// The DFU layer's pure parts: SLIP both ways and its limits, CRC-32 in
// pieces, chunk sizes for any MTU, the response rule, the package manifest,
// and the serial port's refusals.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "dfu/dfu.h"
#include "dfu/dfu_serial.h"
#include "dfu/fw_crc.h"
#include "dfu/uart_slip.h"
#include "support/test_root.h"

using Bytes = std::vector<uint8_t>;

namespace {

Bytes encode(const Bytes &in, uint32_t cap = kSlipMaxFrame, int *rc = nullptr) {
    Bytes out(cap);
    uint32_t n = 0;
    int r = encode_slip(out.data(), cap, &n, in.data(), static_cast<uint32_t>(in.size()));
    if (rc) *rc = r;
    out.resize(r == 0 ? n : 0);
    return out;
}

int decode(const Bytes &in, Bytes *out, uint32_t *used = nullptr, uint32_t cap = kSlipMaxPayload) {
    Bytes buf(cap + 16, 0xA5);  // guard bytes behind the capacity
    uint32_t n = 0, u = 0;
    int r = decode_slip(buf.data(), cap, &n, in.data(), static_cast<uint32_t>(in.size()), &u);
    for (size_t i = cap; i < buf.size(); ++i) EXPECT_EQ(buf[i], 0xA5) << "written past the end at " << i;
    if (r == SLIP_DONE) out->assign(buf.begin(), buf.begin() + n);
    if (used) *used = u;
    return r;
}

int parse(const std::string &json, dfu_manifest_t *m) { return dfu_parse_manifest(json.data(), json.size(), m); }

}  // namespace

TEST(Slip, EncodeEscapesEndAndEscAndEndsWithOneEnd) {
    EXPECT_EQ(encode({0x01, 0xC0, 0x02, 0xDB, 0xDC, 0xDD}),
              (Bytes{0x01, 0xDB, 0xDC, 0x02, 0xDB, 0xDD, 0xDC, 0xDD, 0xC0}));
    EXPECT_EQ(encode({}), Bytes{0xC0});
    // 128 bytes that all need escaping still fit the 257-byte frame; 129 never do.
    int rc = -1;
    EXPECT_EQ(encode(Bytes(128, 0xC0), kSlipMaxFrame, &rc).size(), 257u);
    EXPECT_EQ(rc, 0);
    encode(Bytes(129, 0x00), kSlipMaxFrame, &rc);
    EXPECT_EQ(rc, 1);
    // A destination too small is refused rather than overrun.
    encode(Bytes(10, 0xDB), 20, &rc);
    EXPECT_EQ(rc, 1);
}

TEST(Slip, DecodeRoundTripsEveryByteAndStopsAtTheFirstEnd) {
    Bytes all;
    for (int i = 0; i < 128; ++i) all.push_back(static_cast<uint8_t>(i * 2 + 0x41));
    all[3] = 0xC0;
    all[4] = 0xDB;
    Bytes wire = encode(all);
    Bytes next = encode({0x60, 0x09, 0x01});
    wire.insert(wire.end(), next.begin(), next.end());
    Bytes out;
    uint32_t used = 0;
    ASSERT_EQ(decode(wire, &out, &used), SLIP_DONE);
    EXPECT_EQ(out, all);
    EXPECT_EQ(used, wire.size() - next.size());  // the second packet is left for later
}

TEST(Slip, DecodeEdgeCases) {
    Bytes out;
    // Escape codes without an ESC stand for themselves.
    ASSERT_EQ(decode({0xDC, 0xDD, 0xC0}, &out), SLIP_DONE);
    EXPECT_EQ(out, (Bytes{0xDC, 0xDD}));
    // No END yet, an ESC at the very end, two ESC in a row, ESC then END: not a packet.
    EXPECT_EQ(decode({0x60, 0x09}, &out), SLIP_MORE);
    EXPECT_EQ(decode({0x60, 0xDB}, &out), SLIP_MORE);
    EXPECT_EQ(decode({0x60, 0xDB, 0xDB, 0xC0}, &out), SLIP_MORE);
    EXPECT_EQ(decode({0x60, 0xDB, 0xC0}, &out), SLIP_MORE);
    // A packet longer than the destination is reported, never stored past it.
    Bytes big(200, 0x11);
    big.push_back(0xC0);
    EXPECT_EQ(decode(big, &out, nullptr, 128), SLIP_TOO_LONG);
    ASSERT_EQ(decode({0xC0}, &out), SLIP_DONE);
    EXPECT_TRUE(out.empty());
}

TEST(Crc32, StandardCheckValueAndContinuation) {
    const char *s = "123456789";
    const auto *p = reinterpret_cast<const uint8_t *>(s);
    EXPECT_EQ(crc32_compute(p, 9, nullptr), 0xCBF43926u);
    const uint32_t head = crc32_compute(p, 4, nullptr);
    EXPECT_EQ(crc32_compute(p + 4, 5, &head), 0xCBF43926u);
    // A running value of 0 is where a fresh transfer starts.
    const uint32_t zero = 0;
    EXPECT_EQ(crc32_compute(p, 9, &zero), 0xCBF43926u);
    EXPECT_EQ(crc32_compute(nullptr, 5, nullptr), 0u);
}

TEST(DfuSerial, ChunkSizeFollowsTheMtuButAlwaysFitsTheSlipLimit) {
    EXPECT_EQ(dfu_serial_chunk_size(4), 0u);
    EXPECT_EQ(dfu_serial_chunk_size(5), 1u);
    EXPECT_EQ(dfu_serial_chunk_size(131), 64u);
    EXPECT_EQ(dfu_serial_chunk_size(257), 127u);
    // From 259 on the formula would give 128 data bytes: 129-byte packets
    // that can never be encoded.
    EXPECT_EQ(dfu_serial_chunk_size(259), 127u);
    EXPECT_EQ(dfu_serial_chunk_size(65535), 127u);
    int rc = -1;
    encode(Bytes(1 + dfu_serial_chunk_size(65535), 0xC0), kSlipMaxFrame, &rc);
    EXPECT_EQ(rc, 0);
}

TEST(DfuSerial, ResponseRule) {
    uint32_t code = 99;
    const Bytes good = {0x60, 0x06, 0x01, 0, 0, 0, 0};
    EXPECT_EQ(dfu_serial_check_rsp(0x06, good.data(), 7, &code), 0);
    const Bytes ext = {0x60, 0x06, 0x03, 0x05};
    EXPECT_EQ(dfu_serial_check_rsp(0x06, ext.data(), 4, &code), 1);
    EXPECT_EQ(code, 0x305u);
    const Bytes short_err = {0x60, 0x04, 0x0A};
    EXPECT_EQ(dfu_serial_check_rsp(0x04, short_err.data(), 3, &code), 1);
    EXPECT_EQ(code, 0x0Au);
    // Wrong opcode, not a response, too short: invalid, no code.
    EXPECT_EQ(dfu_serial_check_rsp(0x03, good.data(), 7, &code), 1);
    EXPECT_EQ(code, 0u);
    const Bytes not_rsp = {0x61, 0x06, 0x01};
    EXPECT_EQ(dfu_serial_check_rsp(0x06, not_rsp.data(), 3, &code), 1);
    EXPECT_EQ(dfu_serial_check_rsp(0x06, good.data(), 2, &code), 1);
    EXPECT_EQ(dfu_serial_check_rsp(0x06, nullptr, 7, &code), 1);
}

TEST(DfuSerial, TraceTextIsCutOnAnItemBoundary) {
    Bytes b(400, 255);
    char text[1024];
    slip_trace_text(b.data(), static_cast<uint32_t>(b.size()), text, sizeof text);
    const std::string s = text;
    EXPECT_LT(s.size(), 1024u);
    EXPECT_EQ(s.substr(0, 10), "255, 255, ");
    EXPECT_EQ(s.substr(s.size() - 3), "255");  // never half a number
    const Bytes small = {0, 192, 7};
    slip_trace_text(small.data(), 3, text, sizeof text);
    EXPECT_STREQ(text, "0, 192, 7");
}

TEST(DfuManifest, ApplicationAndSoftdeviceBootloaderPackages) {
    dfu_manifest_t m;
    ASSERT_EQ(parse(R"({"manifest":{"application":{"bin_file":"app.bin","dat_file":"app.dat"}}})", &m), 0);
    EXPECT_EQ(m.declared, 1);
    ASSERT_EQ(m.count, 1);
    EXPECT_EQ(m.images[0].kind, DFU_IMG_APPLICATION);
    EXPECT_STREQ(m.images[0].bin_file, "app.bin");
    EXPECT_STREQ(m.images[0].dat_file, "app.dat");

    // Members in any order; the SoftDevice+Bootloader's sizes are read and ignored.
    ASSERT_EQ(parse(R"({ "manifest": {
        "application": {"dat_file": "a.dat", "bin_file": "a.bin"},
        "softdevice_bootloader": {"bin_file": "sb.bin", "dat_file": "sb.dat",
            "info_read_only_metadata": {"bl_size": 24576, "sd_size": 151016}}}})",
                    &m),
              0);
    ASSERT_EQ(m.count, 2);
    EXPECT_EQ(m.images[1].kind, DFU_IMG_SOFTDEVICE_BOOTLOADER);
    EXPECT_STREQ(m.images[1].bin_file, "sb.bin");
    // "softdevice" must not be taken for "softdevice_bootloader" or the reverse.
    ASSERT_EQ(parse(R"({"manifest":{"softdevice":{"bin_file":"s.bin","dat_file":"s.dat"},
                                     "bootloader":{"bin_file":"b.bin","dat_file":"b.dat"}}})",
                    &m),
              0);
    EXPECT_EQ(m.images[0].kind, DFU_IMG_SOFTDEVICE);
    EXPECT_EQ(m.images[1].kind, DFU_IMG_BOOTLOADER);
}

TEST(DfuManifest, MalformedAndHostileManifestsAreRefused) {
    dfu_manifest_t m;
    const std::string name63(63, 'n'), name64(64, 'n');
    EXPECT_EQ(parse(R"({"manifest":{"application":{"bin_file":")" + name63 + R"(","dat_file":"a.dat"}}})", &m), 0);
    const char *bad[] = {
        "",                                                           // nothing
        "{",                                                          // cut short
        R"({"manifest":{}})",                                         // no image
        R"({"other":{"application":{"bin_file":"a","dat_file":"b"}}})",
        R"({"manifest":{"application":{"bin_file":"a","dat_file":"b"}}, "x":1})",  // outer has two members
        R"({"manifest":{"firmware":{"bin_file":"a","dat_file":"b"}}})",          // unknown kind
        R"({"manifest":{"application":{"bin_file":"a"}}})",                      // no dat_file
        R"({"manifest":{"application":{"bin_file":"a","dat_file":"b","x":"c"}}})",
        R"({"manifest":{"application":{"bin_file":1,"dat_file":"b"}}})",         // not a string
        R"({"manifest":{"application":{"bin_file":"","dat_file":"b"}}})",        // empty name
        R"({"manifest":{"application":{"bin_file":"a","bin_file":"a","dat_file":"b"}}})",
        R"({"manifest":{"application":{"bin_file":"a","dat_file":"b"},
                        "application":{"bin_file":"c","dat_file":"d"}}})",       // same kind twice
        R"({"manifest":{"softdevice_bootloader":{"bin_file":"a","dat_file":"b"}}})",  // no metadata
        R"({"manifest":{"softdevice_bootloader":{"bin_file":"a","dat_file":"b",
            "info_read_only_metadata":{"bl_size":"x","sd_size":1}}}})",
        R"({"manifest":{"application":{"bin_file":"a","dat_file":"b"},
                        "bootloader":{"bin_file":"a","dat_file":"b"},
                        "softdevice":{"bin_file":"a","dat_file":"b"}}})",          // three declared
        R"({"manifest":{"application":{"bin_file":"a","dat_file":"b"}}} "bootloader" {"bin_file":"a","dat_file":"b"})",
        R"({"manifest":{"application":{"bin_file":[1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18,19,20,21,22,23,24,25,26,27,28],"dat_file":"b"}}})",
    };
    for (const char *j : bad) EXPECT_EQ(parse(j, &m), 1) << j;
    EXPECT_EQ(parse(R"({"manifest":{"application":{"bin_file":")" + name64 + R"(","dat_file":"a.dat"}}})", &m), 1);
    EXPECT_EQ(dfu_parse_manifest(nullptr, 3, &m), 1);
}

TEST(DfuPort, RefusesBadNamesAndMissingDevices) {
    TestRoot root;
    uart_drv_t u = {"ttyHSL2_too_long", -1};  // 16 characters
    EXPECT_EQ(uart_drv_open(&u), 1);
    u.p_PortName = "";
    EXPECT_EQ(uart_drv_open(&u), 1);
    u.p_PortName = nullptr;
    EXPECT_EQ(uart_drv_open(&u), 1);
    u.p_PortName = "ttyHSL2";  // no such device under the root
    EXPECT_EQ(uart_slip_open(&u), 1);
    EXPECT_EQ(u.tty_fd, -1);
    EXPECT_EQ(uart_drv_close(&u), 1);
    // A package that is not there fails before anything goes on the wire.
    dfu_param_t p = {&u, "/iot/conf/none.zip"};
    EXPECT_EQ(dfu_send_package(&p), 1);
}

#include "support/dfu_package.h"

TEST(DfuPackage, EntriesAreBoundedAndCheckedBeforeTheSessionOpens) {
    TestRoot root;
    root.mkdirs("/iot/conf");
    uart_drv_t u = {"ttyHSL2", -1};  // never opened: nothing may reach the port
    dfu_param_t p = {&u, "/iot/conf/pkg.zip"};
    const std::string man = dfu_manifest_json({{"application", "app"}});

    // A firmware larger than the MCU can hold is refused without being read in.
    ASSERT_TRUE(write_dfu_package(root.at("/iot/conf/pkg.zip"), man,
                                  {{"app.dat", dfu_init_packet("application", 10)},
                                   {"app.bin", Bytes(kDfuBinMax + 1, 0)}}));
    testing::internal::CaptureStderr();
    EXPECT_EQ(dfu_send_package(&p), 1);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("Cannot read package BIN file!"), std::string::npos) << err;

    // A missing entry and an oversized manifest.
    ASSERT_TRUE(write_dfu_package(root.at("/iot/conf/pkg.zip"), man, {{"app.bin", Bytes(10, 1)}}));
    testing::internal::CaptureStderr();
    EXPECT_EQ(dfu_send_package(&p), 1);
    err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("Cannot open package DAT file!"), std::string::npos) << err;

    ASSERT_TRUE(write_dfu_package(root.at("/iot/conf/pkg.zip"), man + std::string(kDfuManifestMax, ' '), {}));
    testing::internal::CaptureStderr();
    EXPECT_EQ(dfu_send_package(&p), 1);
    err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("Cannot read package manifest file!"), std::string::npos) << err;

    // Not a zip at all.
    root.write("/iot/conf/pkg.zip", "PK but not really");
    testing::internal::CaptureStderr();
    EXPECT_EQ(dfu_send_package(&p), 1);
    err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("Cannot open ZIP package file!"), std::string::npos) << err;
}
