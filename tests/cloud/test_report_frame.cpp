// The telemetry frame on the wire: the encoder against a reader written here
// from the layout table (offsets typed in by hand, not taken from the
// encoder), the hex text both ways, and the fix conversion.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "cloud/report_handle.h"
#include "cloud/uplink_frame.h"
#include "core/iot_config.h"
#include "gps/gps_handle.h"
#include "support/test_root.h"
#include "vehicle/vehicle_state.h"

namespace {

// Independent little-endian reader.
struct Wire {
    std::vector<uint8_t> b;
    unsigned u8(size_t o) const { return b.at(o); }
    unsigned u16(size_t o) const { return b.at(o) | (b.at(o + 1) << 8); }
    uint32_t u32(size_t o) const {
        return uint32_t(b.at(o)) | uint32_t(b.at(o + 1)) << 8 | uint32_t(b.at(o + 2)) << 16 | uint32_t(b.at(o + 3)) << 24;
    }
    int32_t i32(size_t o) const { return static_cast<int32_t>(u32(o)); }
    bool all_ff(size_t o, size_t n) const {
        for (size_t i = o; i < o + n; ++i)
            if (b.at(i) != 0xFF) return false;
        return true;
    }
};

Wire pack(const telemetry_t &t) {
    Wire w;
    w.b.assign(kTelemetryLen + 8, 0xAA);  // guard bytes past the end
    telemetry_pack(t, w.b.data());
    for (size_t i = kTelemetryLen; i < w.b.size(); ++i) EXPECT_EQ(w.b[i], 0xAA) << "written past the frame at " << i;
    w.b.resize(kTelemetryLen);
    return w;
}

telemetry_t sample() {
    telemetry_t t;
    telemetry_defaults(&t);
    t.csq = 23;
    t.odo = 0x01E240;  // 123456
    t.odorange = 65;
    t.ErrorStatus = 0x1234;
    t.MotorPowerOut = 250;
    t.HumanPower = 120;
    t.BikeSpeed = 25;
    t.Candence = 70;
    t.CurrentSupportLevel = 2;
    t.box_voltage = -2;
    t.soc[0] = 80;
    t.soc[1] = 65;
    t.soc[2] = 40;
    t.voltage[0] = 3650;
    t.voltage[1] = 3610;
    t.voltage[2] = 3000;
    t.current[0] = 120;
    t.current[1] = 0xFF9C;  // -100
    t.current[2] = 7;
    t.temperature[0] = 25;
    t.temperature[1] = 24;
    t.temperature[2] = 23;
    t.charging[0] = 1;
    t.charging[1] = 0;
    t.charging[2] = 2;
    t.error[0] = 0x34;
    t.error[1] = 0x01;
    t.error[2] = 0x02;
    t.BatteryNumber = 3;
    t.flags = 0x0B;
    t.alarm = 0x03;
    t.report_interval = 30;
    return t;
}

void expect_common(const Wire &w, const telemetry_t &t) {
    EXPECT_EQ(w.u8(0), 0x01u);
    EXPECT_EQ(w.u8(1), 0x02u);
    EXPECT_EQ(w.u8(2), 0x02u);
    EXPECT_EQ(w.u8(3), 0x1Cu);
    EXPECT_EQ(w.u32(4), 0xFFFFFFFFu);
    EXPECT_EQ(w.u16(8), 98u);
    EXPECT_EQ(w.u8(22), t.csq);
    EXPECT_EQ(w.u32(23), t.odo);
    EXPECT_EQ(w.u16(27), t.odorange);
    EXPECT_EQ(w.u32(29), t.ErrorStatus);
    EXPECT_EQ(w.u16(33), t.MotorPowerOut);
    EXPECT_EQ(w.u16(35), t.HumanPower);
    EXPECT_EQ(w.u16(37), t.BikeSpeed);
    EXPECT_EQ(w.u16(39), t.Candence);
    EXPECT_EQ(w.u8(41), t.CurrentSupportLevel);
    EXPECT_EQ(w.u16(42), 1u);
    EXPECT_EQ(w.u16(44), 1u);
    EXPECT_EQ(static_cast<int16_t>(w.u16(46)), t.box_voltage);
    EXPECT_EQ(w.u8(48), t.soc[0]);
    EXPECT_EQ(w.u16(49), t.voltage[0]);
    EXPECT_EQ(w.u16(51), t.current[0]);
    EXPECT_EQ(w.u8(53), t.temperature[0]);
    EXPECT_TRUE(w.all_ff(54, 4));
    EXPECT_EQ(w.u8(58), t.flags);
    EXPECT_EQ(w.u8(59), t.alarm);
    EXPECT_EQ(w.u8(76), t.charging[0]);
    EXPECT_EQ(w.u8(77), t.BatteryNumber);
    EXPECT_EQ(w.u8(78), t.soc[1]);
    EXPECT_EQ(w.u16(79), t.voltage[1]);
    EXPECT_EQ(w.u16(81), t.current[1]);
    EXPECT_TRUE(w.all_ff(83, 4));
    EXPECT_EQ(w.u8(87), t.charging[1]);
    EXPECT_EQ(w.u8(88), t.temperature[1]);
    EXPECT_EQ(w.u8(89), t.soc[2]);
    EXPECT_EQ(w.u16(90), t.voltage[2]);
    EXPECT_EQ(w.u16(92), t.current[2]);
    EXPECT_TRUE(w.all_ff(94, 4));
    EXPECT_EQ(w.u8(98), t.charging[2]);
    EXPECT_EQ(w.u8(99), t.temperature[2]);
    EXPECT_EQ(w.u16(100), t.error[0]);
    EXPECT_EQ(w.u16(102), t.error[1]);
    EXPECT_EQ(w.u16(104), t.error[2]);
    EXPECT_EQ(w.u16(106), t.report_interval);
}

iot_gps_info_t fix_at(double lat, double lon, float alt, int32_t snr) {
    iot_gps_info_t f;
    memset(&f, 0, sizeof f);
    f.latitude = lat;
    f.longitude = lon;
    f.altitude = alt;
    f.snr = snr;
    f.satellites = 7;
    return f;
}

std::string hex(const Wire &w) {
    std::string s(2 * kTelemetryLen, '\0');
    EXPECT_EQ(at_hex_to_chars(w.b.data(), static_cast<int>(w.b.size()), s.data(), static_cast<int>(s.size())),
              static_cast<int>(2 * kTelemetryLen));
    return s;
}

}  // namespace

TEST(TelemetryFrame, WithAFixPositionIsCarriedAndTheCellFieldsAreAllOnes) {
    telemetry_t t = sample();
    telemetry_from_fix(&t, fix_at(31.2089009, 121.5005671, 12.9f, 0x12345));
    const Wire w = pack(t);
    expect_common(w, t);
    EXPECT_EQ(w.i32(10), 31208900);   // truncated, not rounded
    EXPECT_EQ(w.i32(14), 121500567);
    EXPECT_EQ(w.u16(18), 12u);
    EXPECT_EQ(w.u16(20), 0x2345u);    // low 16 bits of the SNR sum
    EXPECT_TRUE(w.all_ff(60, 16));
    // The published text: header, identifier, length 98 low byte first.
    EXPECT_EQ(hex(w).substr(0, 20), "0102021CFFFFFFFF6200");
}

TEST(TelemetryFrame, WithoutAFixPositionIsAllOnesAndTheServingCellIsCarried) {
    telemetry_t t = sample();
    t.mcc = 460;
    t.mnc = 11;
    t.cell_id = 0x0ABCDEF1;
    t.lac = 0x2F1B;
    const Wire w = pack(t);
    expect_common(w, t);
    EXPECT_TRUE(w.all_ff(10, 12));
    EXPECT_EQ(w.i32(60), 460);
    EXPECT_EQ(w.i32(64), 11);
    EXPECT_EQ(w.i32(68), 0x0ABCDEF1);
    EXPECT_EQ(w.i32(72), 0x2F1B);
}

TEST(TelemetryFrame, SouthWestAndBelowSeaLevelGoOutAsSignedValuesTruncatedTowardZero) {
    telemetry_t t = sample();
    telemetry_from_fix(&t, fix_at(-33.8688197, -70.6692655, -5.7f, 40));
    const Wire w = pack(t);
    EXPECT_EQ(w.i32(10), -33868819);
    EXPECT_EQ(w.i32(14), -70669265);
    EXPECT_EQ(w.u16(18), 0xFFFBu);  // -5 in 16 bits
    EXPECT_EQ(w.u16(20), 40u);
    // Extremes still fit; garbage becomes "no value" rather than undefined behaviour.
    telemetry_from_fix(&t, fix_at(-90.0, 180.0, 70000.0f, 0));
    EXPECT_EQ(t.latitude_e6, -90000000);
    EXPECT_EQ(t.longitude_e6, 180000000);
    EXPECT_EQ(t.altitude_m, static_cast<uint16_t>(70000));
    telemetry_from_fix(&t, fix_at(NAN, 1e300, INFINITY, 0));
    EXPECT_EQ(t.latitude_e6, -1);
    EXPECT_EQ(t.longitude_e6, -1);
    EXPECT_EQ(t.altitude_m, 0xFFFFu);
}

TEST(TelemetryFrame, ABikeThatNeverAnsweredGoesOutAsAllOnesAroundTheConstants) {
    TestRoot root;  // no configuration: interval reads its default
    clear_mc_info_t();
    clear_battery_info_t();
    clear_Bits_Field8_t();
    telemetry_t t;
    t.alarm = 0;
    build_telemetry(&t);
    const Wire w = pack(t);
    EXPECT_TRUE(w.all_ff(23, 19));  // odo .. CurrentSupportLevel
    EXPECT_EQ(w.u16(42), 1u);
    EXPECT_EQ(w.u16(44), 1u);
    EXPECT_EQ(w.u16(46), 0u);       // the box supply record starts at zero
    EXPECT_TRUE(w.all_ff(48, 10));  // battery 1 and the padding
    EXPECT_EQ(w.u8(58), 0u);
    EXPECT_EQ(w.u8(59), 0u);
    EXPECT_TRUE(w.all_ff(76, 24));  // batteries 2 and 3, count, padding
    EXPECT_TRUE(w.all_ff(100, 6));  // error codes
    // No GNSS session: no fix, so position all-ones; no modem: no cell either.
    EXPECT_TRUE(w.all_ff(10, 12));
    EXPECT_TRUE(w.all_ff(60, 16));
    EXPECT_EQ(w.u16(106), static_cast<unsigned>(get_mqtt_report_interval()));
}

TEST(TelemetryFrame, UnpackReadsBackWhatPackWroteAndRefusesOtherFrames) {
    telemetry_t t = sample();
    t.mcc = 262;
    Wire w = pack(t);
    telemetry_t r;
    ASSERT_EQ(telemetry_unpack(w.b.data(), w.b.size(), &r), 1);
    EXPECT_EQ(memcmp(&r.soc, &t.soc, sizeof t.soc), 0);
    EXPECT_EQ(r.mcc, 262);
    EXPECT_EQ(r.current[1], 0xFF9Cu);
    EXPECT_EQ(r.report_interval, 30u);
    EXPECT_EQ(telemetry_unpack(w.b.data(), w.b.size() - 1, &r), 0);
    w.b[3] = 0x1D;
    EXPECT_EQ(telemetry_unpack(w.b.data(), w.b.size(), &r), 0);
    w.b[3] = 0x1C;
    w.b[8] = 97;
    EXPECT_EQ(telemetry_unpack(w.b.data(), w.b.size(), &r), 0);
    EXPECT_EQ(telemetry_unpack(nullptr, kTelemetryLen, &r), 0);
}

TEST(HexText, UpperCaseTwoDigitsABytesNoTerminatorAndOnlyWholeBytesWhenTheOutputIsShort) {
    const uint8_t in[] = {0x00, 0x0F, 0xA5, 0xFF, 0x7E};
    char out[16];
    memset(out, '#', sizeof out);
    EXPECT_EQ(at_hex_to_chars(in, 5, out, sizeof out), 10);
    EXPECT_EQ(std::string(out, 10), "000FA5FF7E");
    EXPECT_EQ(out[10], '#');
    memset(out, '#', sizeof out);
    EXPECT_EQ(at_hex_to_chars(in, 5, out, 5), 4);  // two whole bytes, not two and a half
    EXPECT_EQ(std::string(out, 5), "000F#");
    EXPECT_EQ(at_hex_to_chars(in, 0, out, 16), 0);
    EXPECT_EQ(at_hex_to_chars(nullptr, 5, out, 16), 0);
    // 512 bytes fill the 1024-character buffer; a 600-byte frame is cut to 512.
    std::vector<uint8_t> big(600, 0xAB);
    std::vector<char> text(kUplinkTextBuf + 4, '#');
    EXPECT_EQ(at_hex_to_chars(big.data(), 600, text.data(), static_cast<int>(kUplinkTextBuf)), 1024);
    EXPECT_EQ(text[1024], '#');
}

TEST(HexText, DecoderTakesEitherCaseAndRefusesOddLengthsStrangeCharactersAndOverflow) {
    uint8_t out[4] = {9, 9, 9, 9};
    EXPECT_EQ(at_chars_to_hex("0aFf", out, 4, 4), 2);
    EXPECT_EQ(out[0], 0x0A);
    EXPECT_EQ(out[1], 0xFF);
    memset(out, 9, sizeof out);
    EXPECT_EQ(at_chars_to_hex("0aF", out, 3, 4), 0);
    EXPECT_EQ(at_chars_to_hex("0g", out, 2, 4), 0);
    EXPECT_EQ(at_chars_to_hex("00 1", out, 4, 4), 0);
    EXPECT_EQ(at_chars_to_hex("0000000000", out, 10, 4), 0);  // 5 bytes into 4
    EXPECT_EQ(out[0], 9);  // nothing written by a refused text
    EXPECT_EQ(at_chars_to_hex("", out, 0, 4), 0);
    const std::string nul("00\0" "0", 4);
    EXPECT_EQ(at_chars_to_hex(nul.data(), out, 4, 4), 0);
}
