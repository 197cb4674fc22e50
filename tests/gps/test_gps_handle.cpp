// GNSS session against a stand-in engine on the simulator's socket: request
// records, the sentence store, the fix record bytes, the supervision loop's
// stop / back-off / restart rules (stepped, never slept) and concurrent use.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "gnss_test_util.h"
#include "gps/gps_handle.h"
#include "gps/nmea_parse.h"
#include "platform/loc_client.h"
#include "sensor/sensor_handle.h"
#include "support/test_root.h"

namespace {

const std::string kGga = nmea("GPGGA,123519,3112.5000,N,12130.0000,E,1,05,0.9,545.4,M,46.9,M,,");

std::string hex(const uint8_t *p, size_t n) {
    std::string s;
    char b[3];
    for (size_t i = 0; i < n; ++i) {
        snprintf(b, sizeof b, "%02x", p[i]);
        s += b;
    }
    return s;
}

std::string slot(const char *snap, size_t off) { return std::string(snap + off, strnlen(snap + off, kNmeaSlotLen)); }

// Waits until the store holds something in the slot at `off`.
bool wait_slot(size_t off, const std::string &want = "") {
    return FakeEngine::wait_for([&] {
        char snap[kNmeaSnapshotLen];
        if (tx510_loc_get_nmea_info(snap) != 0) return false;
        std::string s = slot(snap, off);
        return want.empty() ? !s.empty() : s == want;
    });
}

// Steps the loop until the receiver flag differs from `running`; the passes taken.
int passes_while(gps_loop_state_t *st, int running, int limit = 5000) {
    int n = 0;
    while (get_gps_enable_flag() == running && n < limit) {
        gps_handle_step(st);
        ++n;
    }
    return n;
}

// Closes the session before the engine goes away (declared after it), as the
// box would: a client thread left unjoined at exit is a leak to TSan.
struct SessionEnd {
    ~SessionEnd() {
        if (get_gps_start_flag() == 1) tx510_loc_stop_navigation();
    }
};

std::string strip_crlf(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
    return s;
}

}  // namespace

// ---- session ------------------------------------------------------------------

TEST(Session, StartAndStopSendTheDescribedRecords) {
    TestRoot root;
    FakeEngine eng;
    SessionEnd end;
    ASSERT_EQ(tx510_loc_start_navigation(), 0);
    EXPECT_EQ(get_gps_start_flag(), 1);
    uint8_t want[108] = {};
    want[0] = 1;   // session id
    want[1] = 1;
    want[4] = 1;   // periodic fixes (little-endian word)
    want[12] = 3;
    want[16] = 1;
    want[20] = 1;
    want[24] = 1;
    want[101] = 1;
    want[104] = 1;
    std::vector<std::string> req = eng.requests();
    ASSERT_EQ(req.size(), 1u);
    EXPECT_EQ(req[0], "22 " + hex(want, sizeof want));
    // The engine's answer came back through the response callback.
    int32_t status = -1;
    EXPECT_EQ(loc_sync_wait_ind(1, LOC_MSG_START_REQ, 2000, &status), 1);
    EXPECT_EQ(status, 0);

    EXPECT_EQ(tx510_loc_start_navigation(), -1) << "already started";
    EXPECT_EQ(eng.requests().size(), 1u);

    ASSERT_EQ(tx510_loc_stop_navigation(), 0);
    req = eng.requests();
    ASSERT_EQ(req.size(), 2u);
    EXPECT_EQ(req[1], "23 01");
    EXPECT_EQ(get_gps_start_flag(), 0);
    EXPECT_TRUE(FakeEngine::wait_for([&] { return eng.disconnects() == 1; })) << "client closed";
    EXPECT_EQ(tx510_loc_stop_navigation(), -1) << "not started";
    char snap[kNmeaSnapshotLen];
    EXPECT_EQ(tx510_loc_get_nmea_info(snap), -1);
}

TEST(Session, NoEngineLeavesTheReceiverMeantToRun) {
    TestRoot root;  // no socket: the engine is not there
    EXPECT_EQ(gps_module_ctl(1), -1);
    EXPECT_EQ(get_gps_enable_flag(), 1);
    EXPECT_EQ(get_gps_start_flag(), 0);
    EXPECT_EQ(gps_module_ctl(1), 0) << "already meant to run: nothing tried";
    char snap[kNmeaSnapshotLen];
    memset(snap, 0x77, sizeof snap);
    EXPECT_EQ(tx510_loc_get_nmea_info(snap), -1);
    EXPECT_EQ(tx510_loc_get_nmea_info(nullptr), -1);
    EXPECT_EQ(gps_module_ctl(0), -1) << "stop without a session";
    EXPECT_EQ(get_gps_enable_flag(), 0);
    EXPECT_EQ(gps_module_ctl(0), 0);
}

TEST(Session, RefusedStartClosesTheClient) {
    TestRoot root;
    FakeEngine eng;
    SessionEnd end;
    eng.set_start_status(3);
    EXPECT_EQ(tx510_loc_start_navigation(), -1);
    EXPECT_EQ(get_gps_start_flag(), 0);
    // Otherwise every retry of the supervision loop would leave a client behind.
    EXPECT_TRUE(FakeEngine::wait_for([&] { return eng.disconnects() == 1; }));
    eng.set_start_status(0);
    EXPECT_EQ(tx510_loc_start_navigation(), 0);
    EXPECT_EQ(eng.connections(), 2);
}

TEST(Session, SentencesLandInTheirSlots) {
    TestRoot root;
    FakeEngine eng;
    SessionEnd end;
    const std::string vtg = nmea("GPVTG,45.0,T,,M,10.0,N,18.5,K,A");
    const std::string rmc = nmea("GPRMC,1,A,3112.5,N,12130.0,E,1.0,45.0,080407,,,A");
    const std::string gsa = nmea("GPGSA,A,3,05,12,30,,,,,,,,,,2.0,1.0,1.7");
    const std::string gsv = nmea("GPGSV,1,1,02,12,40,083,35,14,17,308,28");
    const std::string gll = nmea("GPGLL,3112.5,N,12130.0,E,1,A");
    eng.set_on_start({
        kGga, vtg, rmc, gsa, gsv,
        nmea("GLGSV,1,1,01,70,40,083,45"),        // other talkers are dropped
        nmea("GNRMC,2,A,1000.0,S,02000.0,W,,,,,,A"),
        "$PMTK001,604,3*32",
        gll,
    });
    ASSERT_EQ(tx510_loc_start_navigation(), 0);
    ASSERT_TRUE(wait_slot(kNmeaGll));
    char snap[kNmeaSnapshotLen];
    ASSERT_EQ(tx510_loc_get_nmea_info(snap), 0);
    EXPECT_EQ(slot(snap, kNmeaGga), strip_crlf(kGga));
    EXPECT_EQ(slot(snap, kNmeaVtg), strip_crlf(vtg));
    EXPECT_EQ(slot(snap, kNmeaRmc), strip_crlf(rmc));
    EXPECT_EQ(slot(snap, kNmeaGsa), strip_crlf(gsa));
    EXPECT_EQ(slot(snap, kNmeaGsv), strip_crlf(gsv));
    EXPECT_EQ(slot(snap, kNmeaGll), strip_crlf(gll));
    // Each GSV sentence also went to the collector.
    EXPECT_EQ(iot_get_gps_snr_num(30), 1);
    check_gps_nmea_data(snap);
    EXPECT_EQ(gps_fix_satellites(), 5);
}

TEST(Session, OverlongSentenceIsCutAtItsSlot) {
    TestRoot root;
    FakeEngine eng;
    SessionEnd end;
    const std::string longgga = nmea("GPGGA,1,3112.5000,N,12130.0000,E,1,05," + std::string(280, '9'));
    eng.set_on_start({longgga, std::string(3000, 'x'), nmea("GPGLL,1,N,2,E,1,A")});
    ASSERT_EQ(tx510_loc_start_navigation(), 0);
    ASSERT_TRUE(wait_slot(kNmeaGll));
    char snap[kNmeaSnapshotLen];
    ASSERT_EQ(tx510_loc_get_nmea_info(snap), 0);
    EXPECT_EQ(slot(snap, kNmeaGga), longgga.substr(0, 200));
    EXPECT_EQ(snap[kNmeaGga + 200], '\0');
    EXPECT_EQ(slot(snap, kNmeaVtg), "") << "nothing spilled into the next slot";
    // Its checksum was cut off with it.
    EXPECT_EQ(check_gps_gga(snap + kNmeaGga), 0);
}

TEST(Session, CallbacksOnOddInput) {
    TestRoot root;
    testing::internal::CaptureStdout();
    tx510_loc_api_resp_ind_callback(1, 0x22, nullptr, 0, nullptr);
    tx510_loc_api_resp_ind_callback(1, 0x4A, nullptr, 0, nullptr);  // carries nothing by design
    tx510_loc_api_resp_ind_callback(1, 0x59, nullptr, 0, nullptr);
    const locRespIndT empty{0, 0};
    tx510_loc_api_resp_ind_callback(1, 0x23, &empty, sizeof empty, nullptr);
    const locRespIndT done{0x23, 0};
    tx510_loc_api_resp_ind_callback(1, 0x23, &done, sizeof done, nullptr);
    fflush(stdout);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Error - invalid msg type in cb: 34.\n"), std::string::npos) << out;
    EXPECT_NE(out.find("Error - invalid msg type in cb: 35.\n"), std::string::npos) << out;
    EXPECT_EQ(out.find("cb: 74."), std::string::npos) << out;
    EXPECT_EQ(out.find("cb: 89."), std::string::npos) << out;
    size_t n = 0;
    for (size_t p = out.find("invalid msg type"); p != std::string::npos; p = out.find("invalid msg type", p + 1)) ++n;
    EXPECT_EQ(n, 2u);

    // Without a session the event callback stores nothing and feeds nothing.
    locEventNmeaIndT ind{};
    const std::string gsv = nmea("GPGSV,1,1,01,12,40,083,35");
    memcpy(ind.nmea, gsv.data(), gsv.size());
    tx510_loc_api_event_ind_callback(1, LOC_EVENT_NMEA_IND, &ind, nullptr);
    tx510_loc_api_event_ind_callback(1, LOC_EVENT_NMEA_IND, nullptr, nullptr);
    tx510_loc_api_event_ind_callback(1, LOC_EVENT_POSITION_REPORT_IND, nullptr, nullptr);
    gps_snr_list_t list;
    EXPECT_EQ(iot_get_gps_snr_data(&list), 0);
}

// ---- fix record ---------------------------------------------------------------

TEST(FixRecord, BytesOfAValidSouthWestFix) {
    TestRoot root;
    gps_module_ctl(1);  // meant to run (no engine needed for the record)
    ASSERT_EQ(check_gps_gga(nmea("GPGGA,1,2712.6520,S,07531.2056,W,1,03,1.0,-15.9,M,,M,,").c_str()), 1);
    ASSERT_EQ(check_gps_rmc(nmea("GPRMC,1,A,2712.6520,S,07531.2056,W,1.0,271.4,080407,,,A").c_str()), 1);
    ASSERT_EQ(check_gps_vtg(nmea("GPVTG,271.4,T,,M,10.0,N,18.5,K,A").c_str()), 1);
    {
        std::lock_guard<std::mutex> lk(gps_nmea_mutex());
        tx510_get_all_gpgsv_data(nmea("GPGSV,1,1,02,12,40,083,35,14,17,308,28").c_str());
    }
    check_gps_gsv(nullptr);

    uint8_t raw[80];
    memset(raw, 0xAB, sizeof raw);  // the caller's 32 bytes must survive
    iot_gps_info_t info;
    memcpy(&info, raw, sizeof info);
    ASSERT_EQ(iot_get_gps_info(&info), 1);
    memcpy(raw, &info, sizeof raw);

    auto i32 = [&](size_t off) {
        int32_t v;
        memcpy(&v, raw + off, 4);
        return v;
    };
    auto f32 = [&](size_t off) {
        float v;
        memcpy(&v, raw + off, 4);
        return v;
    };
    auto f64 = [&](size_t off) {
        double v;
        memcpy(&v, raw + off, 8);
        return v;
    };
    EXPECT_EQ(i32(0), 271);
    EXPECT_EQ(i32(4), 63);
    EXPECT_EQ(i32(8), 0);
    EXPECT_EQ(f32(12), 18.0f);
    EXPECT_EQ(f32(16), -15.0f);
    EXPECT_DOUBLE_EQ(f64(20), -75.520093);  // 75 + 31.2056/60 = 75.5200933
    EXPECT_DOUBLE_EQ(f64(28), -27.210867);
    for (size_t i = 36; i < 68; ++i) EXPECT_EQ(raw[i], 0xAB) << i;
    EXPECT_EQ(i32(68), 0);
    EXPECT_EQ(i32(72), 0);
    EXPECT_EQ(i32(76), 3);
}

TEST(FixRecord, ValidityThresholdAndLastKnownPosition) {
    TestRoot root;
    gps_module_ctl(1);
    iot_gps_info_t info{};  // packed: fields are compared by value (+info.x), never bound to a reference
    // Two satellites: position filled, not a valid fix.
    ASSERT_EQ(check_gps_gga(nmea("GPGGA,1,3112.5000,N,12130.0000,E,1,02,1.0,5.0,M,,M,,").c_str()), 1);
    EXPECT_EQ(iot_get_gps_info(&info), 0);
    EXPECT_EQ(+info.satellites, 0);
    EXPECT_DOUBLE_EQ(info.latitude, 31.208333);
    EXPECT_DOUBLE_EQ(info.longitude, 121.5);
    ASSERT_EQ(check_gps_gga(nmea("GPGGA,2,3112.5000,N,12130.0000,E,1,03,1.0,5.0,M,,M,,").c_str()), 1);
    info = {};
    EXPECT_EQ(iot_get_gps_info(&info), 1);
    EXPECT_EQ(+info.satellites, 3);
    // Fix lost: invalid, but still the last position.
    EXPECT_EQ(check_gps_gga(nmea("GPGGA,3,1000.0000,S,02000.0000,W,0,07,1.0,5.0,M,,M,,").c_str()), 0);
    info = {};
    EXPECT_EQ(iot_get_gps_info(&info), 0);
    EXPECT_EQ(+info.satellites, 0);
    EXPECT_DOUBLE_EQ(info.latitude, 31.208333);
    EXPECT_DOUBLE_EQ(info.longitude, 121.5);
    // Any hemisphere letter but S and W (or none) reads positive.
    ASSERT_EQ(check_gps_gga(nmea("GPGGA,4,1000.0000,s,02000.0000,,1,07,1.0,5.0,M,,M,,").c_str()), 1);
    info = {};
    EXPECT_EQ(iot_get_gps_info(&info), 1);
    EXPECT_GT(+info.latitude, 0.0);
    EXPECT_GT(+info.longitude, 0.0);
    // Receiver switched off: never valid.
    gps_module_ctl(0);
    EXPECT_EQ(iot_get_gps_info(&info), 0);
    EXPECT_EQ(get_gps_list(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(iot_get_gps_info(nullptr), 0);
}

// ---- supervision loop -----------------------------------------------------------

TEST(Loop, FewSatellitesStopThenBackOff601And901) {
    TestRoot root;  // no engine: starts fail, the satellite count stays 0
    gps_loop_state_t st;
    gps_module_ctl(1);
    testing::internal::CaptureStdout();
    EXPECT_EQ(passes_while(&st, 1), 300) << "300 seconds with fewer than 3 satellites";
    EXPECT_EQ(st.restart_threshold, 600);
    EXPECT_EQ(passes_while(&st, 0), 602) << "601 seconds stopped, back on in the next";
    fflush(stdout);
    const std::string first = testing::internal::GetCapturedStdout();
    EXPECT_NE(first.find("satellites_countV_3_cnt 300...\r\ngps_update_count 0...\r\n"), std::string::npos);
    EXPECT_NE(first.find(" --- Stop GPS ,Preparing to reload GPS "), std::string::npos);
    EXPECT_NE(first.find("gps_stop_interval_cnt 601...\r\n"), std::string::npos);
    EXPECT_EQ(first.find("gps_stop_interval_cnt 602...\r\n"), std::string::npos);

    testing::internal::CaptureStdout();
    EXPECT_EQ(passes_while(&st, 1), 299);  // the restart pass already counted one
    EXPECT_EQ(passes_while(&st, 0), 902);
    EXPECT_EQ(st.restart_threshold, 900);
    fflush(stdout);
    const std::string second = testing::internal::GetCapturedStdout();
    EXPECT_NE(second.find("gps_stop_interval_cnt 901...\r\n"), std::string::npos);
    EXPECT_EQ(second.find("gps_stop_interval_cnt 902...\r\n"), std::string::npos);
}

TEST(Loop, MovementRestartsAtOnceAndResetsTheBackOff) {
    TestRoot root;
    gps_loop_state_t st;
    gps_module_ctl(1);
    testing::internal::CaptureStdout();
    ASSERT_EQ(passes_while(&st, 1), 300);
    ASSERT_EQ(passes_while(&st, 0), 602);
    ASSERT_EQ(passes_while(&st, 1), 299);
    ASSERT_EQ(st.restart_threshold, 900);
    for (int i = 0; i < 10; ++i) gps_handle_step(&st);
    ASSERT_EQ(get_gps_enable_flag(), 0);
    set_ebike_move_status(1);
    gps_handle_step(&st);
    EXPECT_EQ(get_gps_enable_flag(), 1) << "within one pass";
    EXPECT_EQ(get_ebike_move_status(), 0) << "consumed";
    EXPECT_EQ(st.stop_cnt, 0);
    // Threshold back at 300, so the next stop waits 601 s again, not 1201 s.
    EXPECT_EQ(passes_while(&st, 1), 299);
    EXPECT_EQ(passes_while(&st, 0), 602);
    testing::internal::GetCapturedStdout();
}

TEST(Loop, FrozenEngineIsRestartedAndTheRecordCleared) {
    TestRoot root;
    FakeEngine eng;
    SessionEnd end;
    eng.set_on_start({kGga});  // one position, then silence: the slot keeps it
    gps_loop_state_t st;
    ASSERT_EQ(gps_module_ctl(1), 0);
    ASSERT_TRUE(wait_slot(kNmeaGga));
    testing::internal::CaptureStdout();
    for (int i = 0; i < 300; ++i) gps_handle_step(&st);
    EXPECT_EQ(get_gps_enable_flag(), 1);
    EXPECT_EQ(gps_fix_update_count(), 299);
    EXPECT_EQ(st.low_sat_cnt, 0) << "5 satellites: only the frozen position counts";
    iot_gps_info_t info{};
    EXPECT_EQ(iot_get_gps_info(&info), 1);
    gps_handle_step(&st);  // the 300th identical position
    fflush(stdout);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("gps_update_count 300...\r\n"), std::string::npos) << out.substr(0, 400);
    EXPECT_EQ(get_gps_enable_flag(), 0);
    EXPECT_EQ(get_gps_start_flag(), 0);
    EXPECT_EQ(eng.requests().back(), "23 01");
    // The record reads 0/0 with no satellites until a new fix.
    info = {};
    EXPECT_EQ(iot_get_gps_info(&info), 0);
    EXPECT_EQ(+info.latitude, 0.0);
    EXPECT_EQ(+info.longitude, 0.0);
    EXPECT_EQ(+info.altitude, 0.0f);
    EXPECT_EQ(+info.azimuth, 0);
    EXPECT_EQ(+info.satellites, 0);
    // Back-off, then a fresh session that plays again.
    testing::internal::CaptureStdout();
    EXPECT_EQ(passes_while(&st, 0), 602);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(eng.connections(), 2);
    ASSERT_TRUE(wait_slot(kNmeaGga));
    gps_handle_step(&st);
    EXPECT_EQ(iot_get_gps_info(&info), 1);
    EXPECT_DOUBLE_EQ(info.latitude, 31.208333);
}

TEST(Loop, InitStartsTheThreadThatTurnsTheReceiverOn) {
    TestRoot root;
    ASSERT_EQ(check_gps_gga(kGga.c_str()), 1);
    EXPECT_EQ(init_gps(), 1);
    gps_fix_vars_t v;
    gps_fix_read(&v);
    EXPECT_EQ(v.latitudeV, 0u);
    EXPECT_EQ(v.latitudeVB, 0u);
    EXPECT_EQ(v.satellites_countV, 0);
    EXPECT_TRUE(FakeEngine::wait_for([] { return get_gps_enable_flag() == 1; }));
    EXPECT_EQ(init_gps(), 1) << "a second call starts no second thread";
    EXPECT_EQ(deinit_gps(), 1);
}

// ---- concurrency ----------------------------------------------------------------

TEST(Concurrency, EngineLoopReadersAndPowerManagerTogether) {
    TestRoot root;
    FakeEngine eng;
    SessionEnd end;
    std::vector<std::string> burst;
    for (int i = 0; i < 50; ++i) {
        char body[120];
        snprintf(body, sizeof body, "GPGGA,%06d,3112.%04d,N,12130.0000,E,1,06,0.9,545.4,M,46.9,M,,", i, i);
        burst.push_back(nmea(body));
        burst.push_back(nmea("GPRMC,1,A,3112.5,N,12130.0,E,1.0,45.0,080407,,,A"));
        burst.push_back(nmea("GPGSV,2,1,05,12,40,083,35,14,17,308,28,15,10,100,40,16,1,1,40"));
        burst.push_back(nmea("GPGSV,2,2,05,17,40,083,45"));
    }
    eng.set_on_start(burst);
    ASSERT_EQ(gps_module_ctl(1), 0);
    std::atomic<bool> stop{false};
    std::thread loop([&] {
        gps_loop_state_t st;
        for (int i = 0; i < 200; ++i) gps_handle_step(&st);
    });
    std::thread reader([&] {
        iot_gps_info_t info{};
        while (!stop) {
            iot_get_gps_info(&info);
            iot_get_gps_snr_num(30);
        }
    });
    std::thread power([&] {
        for (int i = 0; i < 10; ++i) {
            gps_module_ctl(0);
            gps_module_ctl(1);
        }
    });
    for (int i = 0; i < 20; ++i) eng.send_line("nmea " + strip_crlf(kGga));
    power.join();
    loop.join();
    stop = true;
    reader.join();
    // Still a working session afterwards.
    if (get_gps_enable_flag() != 1) gps_module_ctl(1);
    EXPECT_TRUE(wait_slot(kNmeaGsv));
    EXPECT_GE(eng.connections(), 2);
}
