// Sentence checks, field extraction, coordinate conversion, the GSV collector
// and the strong-satellite figure, on hand-made and hostile sentences.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "gnss_test_util.h"
#include "gps/gps_handle.h"
#include "gps/nmea_parse.h"

namespace {

gps_fix_vars_t fix() {
    gps_fix_vars_t v;
    gps_fix_read(&v);
    return v;
}

void expect_same(const gps_fix_vars_t &a, const gps_fix_vars_t &b) {
    EXPECT_EQ(a.latitudeV, b.latitudeV);
    EXPECT_EQ(a.lat_pV, b.lat_pV);
    EXPECT_EQ(a.longitudeV, b.longitudeV);
    EXPECT_EQ(a.longi_pV, b.longi_pV);
    EXPECT_EQ(a.altitudeV, b.altitudeV);
    EXPECT_EQ(a.satellites_countV, b.satellites_countV);
    EXPECT_EQ(a.gps_rateV, b.gps_rateV);
    EXPECT_EQ(a.azimuthV, b.azimuthV);
    EXPECT_EQ(a.gps_snr_num, b.gps_snr_num);
    EXPECT_EQ(a.latitudeVB, b.latitudeVB);
    EXPECT_EQ(a.longitudeVB, b.longitudeVB);
    EXPECT_EQ(a.gps_update_count, b.gps_update_count);
}

// Feeds one GSV sentence as the event callback does: under the NMEA lock.
int gsv(const std::string &s) {
    std::lock_guard<std::mutex> lk(gps_nmea_mutex());
    return tx510_get_all_gpgsv_data(s.c_str());
}

const std::string kGga = "GPGGA,123519,3112.5000,N,12130.0000,E,1,08,0.9,545.4,M,46.9,M,,";

}  // namespace

// ---- checksum ---------------------------------------------------------------

TEST(Checksum, AcceptsOnlyTwoMatchingHexDigits) {
    EXPECT_EQ(check_data_invalid(nmea(kGga).c_str()), 1);
    EXPECT_EQ(check_data_invalid(nmea_bad(kGga).c_str()), 0);
    // Lower-case digits are as good as upper-case ("GPGSA,M,1" sums to 0x3E).
    EXPECT_EQ(check_data_invalid("$GPGSA,M,1*3e"), 1);
    EXPECT_EQ(check_data_invalid("$GPGSA,M,1*3E\r\n"), 1);

    const std::string good = nmea(kGga);
    const size_t star = good.find('*');
    EXPECT_EQ(check_data_invalid(good.substr(0, star).c_str()), 0) << "no '*'";
    EXPECT_EQ(check_data_invalid(good.substr(1).c_str()), 0) << "no '$'";
    EXPECT_EQ(check_data_invalid(good.substr(0, star + 1).c_str()), 0) << "no digits";
    EXPECT_EQ(check_data_invalid(good.substr(0, star + 2).c_str()), 0) << "one digit";
    EXPECT_EQ(check_data_invalid("$*00"), 0) << "nothing between";
    EXPECT_EQ(check_data_invalid("*00$GPGGA"), 0) << "'*' before '$'";
    // scanf-style readers take a blank, a sign or "0x" as part of the number.
    for (const char *digits : {" 7", "+7", "0x", "G1", "1G", "-1"}) {
        std::string s = good.substr(0, star + 1) + digits;
        EXPECT_EQ(check_data_invalid(s.c_str()), 0) << digits;
    }
    EXPECT_EQ(check_data_invalid(nullptr), 0);
}

TEST(Checksum, NeverLooksPastOneSlot) {
    // A slot with no NUL at all (201 bytes on the heap, so ASan sees any
    // over-read) and the '*' just outside it.
    std::unique_ptr<char[]> slot(new char[kNmeaSlotLen]);
    memset(slot.get(), 'A', kNmeaSlotLen);
    slot[0] = '$';
    EXPECT_EQ(check_data_invalid(slot.get()), 0);
    slot[kNmeaSlotLen - 2] = '*';  // one digit fits, the second would be outside
    EXPECT_EQ(check_data_invalid(slot.get()), 0);
    EXPECT_EQ(get_offset_value_list(slot.get(), 3, nullptr, nullptr, nullptr, nullptr), 0);
    memset(slot.get(), ',', kNmeaSlotLen);
    char f[kNmeaFieldLen] = {};
    EXPECT_EQ(get_offset_value_list(slot.get(), 250, f, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(check_gps_gga(slot.get()), 0);
    // A sentence longer than a slot: its checksum lies beyond what is read.
    std::string longs = "$GPGGA," + std::string(250, '1');
    std::string s = nmea(longs.substr(1));
    EXPECT_EQ(check_data_invalid(s.c_str()), 0);
}

// ---- field extraction -------------------------------------------------------

TEST(Fields, CopiesFourFieldsFromTheNth) {
    const std::string s = nmea(kGga);
    char a[kNmeaFieldLen] = {}, b[kNmeaFieldLen] = {}, c[kNmeaFieldLen] = {}, d[kNmeaFieldLen] = {};
    ASSERT_NE(get_offset_value_list(s.c_str(), 2, a, b, c, d), 0);
    EXPECT_STREQ(a, "3112.5000");
    EXPECT_STREQ(b, "N");
    EXPECT_STREQ(c, "12130.0000");
    EXPECT_STREQ(d, "E");
    // Field 0 is the tag; null buffers are skipped but still counted.
    char t[kNmeaFieldLen] = {};
    ASSERT_NE(get_offset_value_list(s.c_str(), 0, t, nullptr, c, nullptr), 0);
    EXPECT_STREQ(t, "$GPGGA");
    // The last fields stop at the '*', and CR/LF end a sentence too.
    char e[kNmeaFieldLen] = {}, f[kNmeaFieldLen] = {};
    ASSERT_NE(get_offset_value_list("$X,1,2\r\n,3", 1, e, f, nullptr, nullptr), 0);
    EXPECT_STREQ(e, "1");
    EXPECT_STREQ(f, "2");
}

TEST(Fields, MissingAndEmptyFields) {
    char a[kNmeaFieldLen] = {}, b[kNmeaFieldLen] = {}, c[kNmeaFieldLen] = {}, d[kNmeaFieldLen] = {};
    EXPECT_EQ(get_offset_value_list("$GPGGA,1,2*00", 3, a, b, c, d), 0) << "fewer commas";
    EXPECT_EQ(get_offset_value_list("$GPGGA,1,", 2, a, b, c, d), 0) << "comma is last";
    EXPECT_EQ(get_offset_value_list("$GPGGA,1,*00", 2, a, b, c, d), 0) << "'*' right after";
    EXPECT_EQ(get_offset_value_list("$GPGGA,1,\r\n", 2, a, b, c, d), 0) << "CR right after";
    EXPECT_EQ(get_offset_value_list("$GPGGA,,,,,*00", 1, a, b, c, d), 0) << "all empty";
    EXPECT_EQ(get_offset_value_list(nullptr, 1, a, b, c, d), 0);
    EXPECT_EQ(get_offset_value_list("$A,1", -1, a, b, c, d), 0);
    // Empty fields leave their buffer empty and never hold a comma; the fifth
    // field is not copied anywhere.
    ASSERT_NE(get_offset_value_list("$GPGSV,,,9,,5,6*00", 1, a, b, c, d), 0);
    EXPECT_STREQ(a, "");
    EXPECT_STREQ(b, "");
    EXPECT_STREQ(c, "9");
    EXPECT_STREQ(d, "");
}

TEST(Fields, OverlongFieldIsCutInsideItsBuffer) {
    struct {
        char field[kNmeaFieldLen];
        char guard[16];
    } out;
    memset(out.field, 0, sizeof out.field);
    memset(out.guard, 0x5a, sizeof out.guard);
    char next[kNmeaFieldLen] = {};
    const std::string s = nmea("GPGGA,1,1234567890123456789012345678901234567890,N");
    ASSERT_NE(get_offset_value_list(s.c_str(), 2, out.field, next, nullptr, nullptr), 0);
    EXPECT_EQ(std::string(out.field), "123456789012345");  // 15 characters and the NUL
    for (char g : out.guard) EXPECT_EQ(g, 0x5a);
    EXPECT_STREQ(next, "N") << "the rest of the long field is dropped, not shifted";
}

// ---- coordinates ------------------------------------------------------------

TEST(Coordinates, DegreesAndMinutesToMillionths) {
    EXPECT_EQ(name_text_2_float("3112.5000", 2), 31208333);  // 31.2083333...
    EXPECT_EQ(name_text_2_float("12130.0000", 3), 121500000);
    EXPECT_EQ(name_text_2_float("00207.2822", 3), 2121370);    // small western longitude
    EXPECT_EQ(name_text_2_float("4404.1237962", 2), 44068730);  // 7-decimal minutes
    EXPECT_EQ(name_text_2_float("5547.82113", 2), 55797019);    // 55.7970188 rounds up
    EXPECT_EQ(name_text_2_float("0000.0000", 2), 0);
    // Garbage converts to something, never to a crash.
    EXPECT_EQ(name_text_2_float("", 2), 0);
    EXPECT_EQ(name_text_2_float("31", 3), 31000000);
    EXPECT_EQ(name_text_2_float("nan", 2), 0);
    EXPECT_EQ(name_text_2_float("12inf", 2), 0);
    EXPECT_EQ(name_text_2_float("001e300", 2), LONG_MAX);
    EXPECT_EQ(name_text_2_float(nullptr, 2), 0);
}

// ---- GGA / RMC / VTG ---------------------------------------------------------

TEST(Gga, FillsPositionAltitudeAndSatellites) {
    ASSERT_EQ(check_gps_gga(nmea(kGga).c_str()), 1);
    gps_fix_vars_t v = fix();
    EXPECT_EQ(v.latitudeV, 31208333u);
    EXPECT_EQ(v.lat_pV, 'N');
    EXPECT_EQ(v.longitudeV, 121500000u);
    EXPECT_EQ(v.longi_pV, 'E');
    EXPECT_EQ(v.altitudeV, 545);
    EXPECT_EQ(v.satellites_countV, 8);
    EXPECT_EQ(v.gps_update_count, 0);

    // Below sea level keeps its sign; the fraction is dropped toward zero.
    ASSERT_EQ(check_gps_gga(nmea("GPGGA,1,2712.6520,S,07531.2056,W,2,03,1.0,-15.9,M,,M,,").c_str()), 1);
    v = fix();
    EXPECT_EQ(v.altitudeV, -15);
    EXPECT_EQ(v.lat_pV, 'S');
    EXPECT_EQ(v.longi_pV, 'W');
    EXPECT_EQ(v.satellites_countV, 3);
}

TEST(Gga, BadChecksumChangesNothing) {
    ASSERT_EQ(check_gps_gga(nmea(kGga).c_str()), 1);
    ASSERT_EQ(check_gps_rmc(nmea("GPRMC,1,A,3112.5,N,12130.0,E,1.0,87.5,080407,,,A").c_str()), 1);
    const gps_fix_vars_t before = fix();
    const std::string other = "GPGGA,2,1000.0000,S,02000.0000,W,1,11,0.9,10.0,M,,M,,";
    EXPECT_EQ(check_gps_gga(nmea_bad(other).c_str()), 0);
    EXPECT_EQ(check_gps_rmc(nmea_bad("GPRMC,1,A,,,,,1.0,12.0,080407,,,A").c_str()), 0);
    EXPECT_EQ(check_gps_vtg(nmea_bad("GPVTG,1,T,,M,2,N,99.9,K,A").c_str()), 0);
    expect_same(before, fix());
}

TEST(Gga, FixQualityZeroClearsOnlyTheSatellites) {
    ASSERT_EQ(check_gps_gga(nmea(kGga).c_str()), 1);
    // Field 7 says 9 satellites, but quality 0 means no fix.
    EXPECT_EQ(check_gps_gga(nmea("GPGGA,2,1000.0000,S,02000.0000,W,0,09,0.9,99.0,M,,M,,").c_str()), 0);
    gps_fix_vars_t v = fix();
    EXPECT_EQ(v.satellites_countV, 0);
    EXPECT_EQ(v.latitudeV, 31208333u);
    EXPECT_EQ(v.longitudeV, 121500000u);
    EXPECT_EQ(v.altitudeV, 545);
    EXPECT_EQ(v.lat_pV, 'N');
    // An empty quality field is no fix either (engines before the first fix).
    ASSERT_EQ(check_gps_gga(nmea(kGga).c_str()), 1);
    EXPECT_EQ(check_gps_gga(nmea("GPGGA,,,,,,,00,99.99,,,,,,").c_str()), 0);
    EXPECT_EQ(fix().satellites_countV, 0);
}

TEST(Gga, MissingFieldsAreRejected) {
    ASSERT_EQ(check_gps_gga(nmea(kGga).c_str()), 1);
    const gps_fix_vars_t before = fix();
    EXPECT_EQ(check_gps_gga(nmea("GPGGA,1,2,3").c_str()), 0);
    // Quality and count present, position empty: count and altitude taken,
    // the position is not.
    EXPECT_EQ(check_gps_gga(nmea("GPGGA,1,,,,,1,04,1.0,12.0,M,,M,,").c_str()), 0);
    gps_fix_vars_t v = fix();
    EXPECT_EQ(v.satellites_countV, 4);
    EXPECT_EQ(v.altitudeV, 12);
    EXPECT_EQ(v.latitudeV, before.latitudeV);
    EXPECT_EQ(v.longitudeV, before.longitudeV);
}

TEST(Gga, IdenticalPositionsRunTheStaleCounter) {
    for (int i = 0; i < 300; ++i) ASSERT_EQ(check_gps_gga(nmea(kGga).c_str()), 1);
    EXPECT_EQ(fix().gps_update_count, 299);  // the first one was new
    ASSERT_EQ(check_gps_gga(nmea(kGga).c_str()), 1);
    EXPECT_EQ(fix().gps_update_count, 300);
    // A move of one ten-thousandth of a minute is a new position.
    ASSERT_EQ(check_gps_gga(nmea("GPGGA,1,3112.5001,N,12130.0000,E,1,08,0.9,545.4,M,46.9,M,,").c_str()), 1);
    gps_fix_vars_t v = fix();
    EXPECT_EQ(v.gps_update_count, 0);
    EXPECT_EQ(v.latitudeVB, 31208335u);
    // Only the latitude moving back counts as moving too.
    ASSERT_EQ(check_gps_gga(nmea(kGga).c_str()), 1);
    EXPECT_EQ(fix().gps_update_count, 0);
}

TEST(RmcVtg, IgnoredWithoutFixTakenWithOne) {
    const std::string rmc = nmea("GPRMC,1,A,3112.5,N,12130.0,E,1.0,287.9,080407,,,A");
    const std::string vtg = nmea("GPVTG,287.9,T,,M,16.2,N,300.5,K,A");
    EXPECT_EQ(check_gps_rmc(rmc.c_str()), 0);
    EXPECT_EQ(check_gps_vtg(vtg.c_str()), 0);
    EXPECT_EQ(fix().azimuthV, 0);
    ASSERT_EQ(check_gps_gga(nmea(kGga).c_str()), 1);
    EXPECT_EQ(check_gps_rmc(rmc.c_str()), 1);
    EXPECT_EQ(check_gps_vtg(vtg.c_str()), 1);
    gps_fix_vars_t v = fix();
    EXPECT_EQ(v.azimuthV, 287);
    EXPECT_EQ(v.gps_rateV, 300 % 256);  // a byte: it wraps
    // Empty course (standing still on many engines) keeps the last one.
    EXPECT_EQ(check_gps_rmc(nmea("GPRMC,1,A,3112.5,N,12130.0,E,0.0,,080407,,,A").c_str()), 0);
    EXPECT_EQ(fix().azimuthV, 287);
}

TEST(Snapshot, RunsEachCheckOnItsSlot) {
    char snap[kNmeaSnapshotLen] = {};
    auto put = [&](size_t off, const std::string &s) { memcpy(snap + off, s.c_str(), s.size()); };
    put(kNmeaGga, nmea(kGga));
    put(kNmeaRmc, nmea("GPRMC,1,A,3112.5,N,12130.0,E,1.0,45.0,080407,,,A"));
    put(kNmeaVtg, nmea("GPVTG,45.0,T,,M,10.0,N,18.5,K,A"));
    // A sentence in the wrong slot is not looked at as what it is.
    put(kNmeaGll, nmea("GPGGA,1,1000.0000,S,02000.0000,W,1,11,0.9,10.0,M,,M,,"));
    EXPECT_EQ(check_gps_nmea_data(snap), 0);
    gps_fix_vars_t v = fix();
    EXPECT_EQ(v.latitudeV, 31208333u);
    EXPECT_EQ(v.azimuthV, 45);
    EXPECT_EQ(v.gps_rateV, 18);
    EXPECT_EQ(check_gps_nmea_data(nullptr), 0);
}

// ---- GSV ----------------------------------------------------------------------

TEST(Gsv, ThreeSentencesForTenSatellitesReadFourFourTwo) {
    // The third sentence carries a third block that the count says is not
    // there (10 - 4 - 4 = 2): its 50 dB-Hz must not be listed.
    EXPECT_EQ(gsv(nmea("GPGSV,3,1,10,01,40,083,35,02,17,308,,03,07,344,22,04,22,228,19")), 1);
    EXPECT_EQ(gsv(nmea("GPGSV,3,2,10,05,11,100,41,06,30,200,18,07,45,050,,08,60,120,33")), 1);
    EXPECT_EQ(gsv(nmea("GPGSV,3,3,10,09,10,010,25,10,20,020,,11,05,005,50")), 1);
    gps_snr_list_t list;
    ASSERT_EQ(iot_get_gps_snr_data(&list), 1);
    ASSERT_EQ(list.count, 5);
    const char *sats[] = {"01", "03", "05", "08", "09"};
    const char *snrs[] = {"35", "22", "41", "33", "25"};
    for (int i = 0; i < 5; ++i) {
        EXPECT_STREQ(list.sats[i].sat, sats[i]);
        EXPECT_STREQ(list.sats[i].snr, snrs[i]);
    }
    EXPECT_EQ(iot_get_gps_snr_num(30), 3);
    EXPECT_EQ(iot_get_gps_snr_num(0), 5);
    EXPECT_EQ(iot_get_gps_snr_num(255), 0);
    // Four strongest: 41 + 35 + 33 + 25.
    EXPECT_EQ(check_gps_gsv(nullptr), 1);
    EXPECT_EQ(fix().gps_snr_num, 134);
    // Reading does not consume the published set.
    ASSERT_EQ(iot_get_gps_snr_data(&list), 1);
    EXPECT_EQ(list.count, 5);
}

TEST(Gsv, EmptySignalFieldsListNothing) {
    // Tracked but not received: empty SNR between commas, before '*', and
    // with empty elevation/azimuth around it (a u-blox habit).
    EXPECT_EQ(gsv(nmea("GPGSV,1,1,04,2,15,123,,5,45,347,,19,,,34,20,,,")), 1);
    gps_snr_list_t list;
    ASSERT_EQ(iot_get_gps_snr_data(&list), 1);
    ASSERT_EQ(list.count, 1);
    EXPECT_STREQ(list.sats[0].sat, "19");
    EXPECT_STREQ(list.sats[0].snr, "34");
}

TEST(Gsv, SignalFigureOfTwoSatellites) {
    EXPECT_EQ(gsv(nmea("GPGSV,1,1,03,12,40,083,35,14,17,308,28,15,10,100,20")), 1);
    EXPECT_EQ(check_gps_gsv(nullptr), 1);
    EXPECT_EQ(fix().gps_snr_num, 63);  // 20 is not above 20; the missing two count 0
}

TEST(Gsv, NoSatellitesInViewIsAnEmptyList) {
    EXPECT_EQ(gsv(nmea("GPGSV,1,1,00")), 1);
    gps_snr_list_t list;
    list.count = 99;
    EXPECT_EQ(iot_get_gps_snr_data(&list), 1);
    EXPECT_EQ(list.count, 0);
    EXPECT_EQ(check_gps_gsv(nullptr), 1);
    EXPECT_EQ(fix().gps_snr_num, 0);
}

TEST(Gsv, NothingPublishedYetFails) {
    gps_snr_list_t list;
    EXPECT_EQ(iot_get_gps_snr_data(&list), 0);
    EXPECT_EQ(iot_get_gps_snr_num(0), 0);
    // The figure keeps its value when there is nothing to evaluate.
    EXPECT_EQ(check_gps_gsv(nullptr), 1);
    EXPECT_EQ(fix().gps_snr_num, 0);
    // Half a sequence publishes nothing.
    EXPECT_EQ(gsv(nmea("GPGSV,2,1,05,12,40,083,35,14,17,308,28,15,10,100,40,16,1,1,40")), 1);
    EXPECT_EQ(iot_get_gps_snr_data(&list), 0);
}

TEST(Gsv, RejectedSentences) {
    EXPECT_EQ(gsv(nmea_bad("GPGSV,1,1,01,12,40,083,35")), 0);
    EXPECT_EQ(gsv(nmea("GPGSV")), 0);
    EXPECT_EQ(gsv("$GPGSV,1,1,01,12,40,083,35"), 0);  // no checksum at all
    gps_snr_list_t list;
    EXPECT_EQ(iot_get_gps_snr_data(&list), 0);
}

TEST(Gsv, OutOfOrderSequenceLeavesTheFigureAlone) {
    EXPECT_EQ(gsv(nmea("GPGSV,1,1,02,12,40,083,35,14,17,308,28")), 1);
    ASSERT_EQ(check_gps_gsv(nullptr), 1);
    ASSERT_EQ(fix().gps_snr_num, 63);
    // 1, 3, 2: the set published at "3 of 3" has sentence 3 where the second
    // belongs, which lacks the blocks the second must carry.
    EXPECT_EQ(gsv(nmea("GPGSV,3,1,10,01,40,083,45,02,17,308,45,03,07,344,45,04,22,228,45")), 1);
    EXPECT_EQ(gsv(nmea("GPGSV,3,3,10,09,10,010,45,10,20,020,45")), 1);
    EXPECT_EQ(gsv(nmea("GPGSV,3,2,10,05,11,100,45,06,30,200,45,07,45,050,45,08,60,120,45")), 1);
    gps_snr_list_t list;
    EXPECT_EQ(iot_get_gps_snr_data(&list), 0);
    EXPECT_EQ(check_gps_gsv(nullptr), 1);
    EXPECT_EQ(fix().gps_snr_num, 63);
}

TEST(Gsv, SequenceLongerThanTwelveIsCut) {
    // 15 sentences of 4 strong satellites each: 12 kept, the list stops at 32.
    for (int k = 1; k <= 15; ++k) {
        char body[160];
        snprintf(body, sizeof body, "GPGSV,15,%d,60,%02d,10,010,30,%02d,10,010,31,%02d,10,010,32,%02d,10,010,33", k,
                 4 * k, 4 * k + 1, 4 * k + 2, 4 * k + 3);
        EXPECT_EQ(gsv(nmea(body)), 1) << k;
    }
    gps_snr_list_t list;
    ASSERT_EQ(iot_get_gps_snr_data(&list), 1);
    EXPECT_EQ(list.count, kGsvMaxStrong);
    EXPECT_STREQ(list.sats[31].sat, "35");  // sentence 8, last block
    EXPECT_EQ(check_gps_gsv(nullptr), 1);
    EXPECT_EQ(fix().gps_snr_num, 33 * 4);
}

TEST(Gsv, LyingCountsEndAtTheLastBlock) {
    // One sentence claiming a million satellites: the fifth block is not
    // there, so the evaluation fails quickly instead of looping.
    EXPECT_EQ(gsv(nmea("GPGSV,1,1,999999,12,40,083,35,14,17,308,28")), 1);
    gps_snr_list_t list;
    EXPECT_EQ(iot_get_gps_snr_data(&list), 0);
    EXPECT_EQ(gsv(nmea("GPGSV,1,1,2147483647,12,40,083,35")), 1);
    EXPECT_EQ(iot_get_gps_snr_data(&list), 0);
    // A negative total makes every sentence "the last" with a huge count.
    EXPECT_EQ(gsv(nmea("GPGSV,-2147483647,-2147483647,3,12,40,083,35")), 1);
    EXPECT_EQ(iot_get_gps_snr_data(&list), 0);
}

TEST(Gsv, NormalisedCopyStaysWithin127Characters) {
    char out[256];
    EXPECT_EQ(tx510_change_gpgsv_data("$GPGSV,1,1,02,5,,,,6,,,*00", out, sizeof out), 31);
    EXPECT_STREQ(out, "$GPGSV,1,1,02,5,0,0,0,6,0,0,*00");
    // 120 commas: the copy is cut to 127 characters whatever the room.
    std::string commas(200, ',');
    int n = tx510_change_gpgsv_data(commas.c_str(), out, sizeof out);
    EXPECT_EQ(n, 127);
    EXPECT_EQ(strlen(out), 127u);
    char small[8];
    EXPECT_EQ(tx510_change_gpgsv_data("$A,,,,,,,,", small, sizeof small), 7);
    EXPECT_EQ(strlen(small), 7u);

    char buf[6] = "abcd";
    EXPECT_EQ(char_insert(buf, sizeof buf, 2, 'X'), 1);
    EXPECT_STREQ(buf, "abXcd");
    EXPECT_EQ(char_insert(buf, sizeof buf, 0, 'Y'), 0) << "full";
    EXPECT_EQ(char_insert(buf, 10, 9, 'Y'), 0) << "past the end";

    uint8_t v[] = {3, 40, 0, 255, 40, 7};
    zt_quicksort(v, 6);
    const uint8_t want[] = {255, 40, 40, 7, 3, 0};
    EXPECT_EQ(memcmp(v, want, sizeof v), 0);
}
