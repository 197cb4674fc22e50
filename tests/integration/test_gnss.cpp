// The agent's GNSS session (in this process) against devsim's GNSS engine on
// a temporary root: the fix record follows a played capture, and a stalled,
// fix-less or corrupting engine meets the supervision rules.  The loop is
// stepped by the test, so its 300-pass rules take milliseconds.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "support/test_data.h"
#include "box_harness.h"
#include "gps/gps_handle.h"
#include "gps/nmea_parse.h"

namespace fs = std::filesystem;

namespace {

fs::path capture(const std::string &name) { return nmea_capture_dir() / name; }

BoxOptions gnss_box(const std::string &gnss_section) {
    BoxOptions o;
    o.start_host = false;
    o.scenario = "[gnss]\n" + gnss_section;
    return o;
}

void use_root(const Box &box) {
    setenv("TELAGENT_ROOT", box.root().c_str(), 1);
    ASSERT_EQ(chdir(box.root().c_str()), 0);
}

bool control(Box &box, const std::string &line) {
    const int fd = open(box.path("/var/devsim/control").c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    const std::string l = line + "\n";
    const bool wrote = write(fd, l.data(), l.size()) == static_cast<ssize_t>(l.size());
    close(fd);
    return wrote && box.wait_file("/var/devsim/control.log", line + " -> ok\n", 5000);
}

struct Pos {
    double lat, lon;
    bool operator<(const Pos &o) const { return lat < o.lat || (lat == o.lat && lon < o.lon); }
};

// Position of a GGA with a fix, worked out here from the text (degrees,
// south and west negative); false without a fix.
bool gga_pos(const std::string &s, Pos *out) {
    std::vector<std::string> f;
    std::string cur;
    for (char c : s.substr(0, s.find('*'))) {
        if (c == ',') {
            f.push_back(cur);
            cur.clear();
        } else {
            cur.push_back(c);
        }
    }
    f.push_back(cur);
    if (f.size() < 8 || f[0] != "$GPGGA" || f[6].empty() || f[6] == "0" || f[2].size() < 4) return false;
    const double lat = std::stod(f[2].substr(0, 2)) + std::stod(f[2].substr(2)) / 60.0;
    const double lon = std::stod(f[4].substr(0, 3)) + std::stod(f[4].substr(3)) / 60.0;
    out->lat = f[3] == "S" ? -lat : lat;
    out->lon = f[5] == "W" ? -lon : lon;
    return true;
}

bool near(const Pos &a, double lat, double lon) {
    return std::fabs(a.lat - lat) <= 1.000001e-6 && std::fabs(a.lon - lon) <= 1.000001e-6;
}

// Steps the loop every `ms` until `cond` holds or `limit` passes are done.
template <class F>
int step_until(gps_loop_state_t *st, F cond, int limit, int ms = 10) {
    for (int i = 0; i < limit; ++i) {
        if (cond()) return i;
        gps_handle_step(st);
        if (ms) usleep(static_cast<useconds_t>(ms) * 1000);
    }
    return cond() ? limit : -1;
}

bool valid_fix(iot_gps_info_t *info) {
    *info = {};
    return iot_get_gps_info(info) == 1;
}

}  // namespace

TEST(Gnss, FixRecordFollowsThePlayedCapture) {
    // Southern and eastern hemisphere, no fix for the first epochs, moving.
    const fs::path cap = capture("haicom-305N.log");
    if (!fs::exists(cap)) GTEST_SKIP() << "no capture " << cap;
    Box box(gnss_box("capture = " + cap.string() + "\nspeed = 40\nloop = 0\n"));
    ASSERT_TRUE(box.ok()) << box.error();
    use_root(box);

    std::vector<Pos> fixes;
    {
        std::ifstream f(cap);
        std::string l;
        while (std::getline(f, l)) {
            Pos p;
            if (gga_pos(l, &p)) fixes.push_back(p);
        }
    }
    ASSERT_GT(fixes.size(), 20u);
    const std::set<Pos> known(fixes.begin(), fixes.end());

    ASSERT_EQ(gps_module_ctl(1), 0);
    gps_loop_state_t st;
    iot_gps_info_t info{};
    EXPECT_FALSE(valid_fix(&info)) << "the capture starts without a fix";
    std::set<Pos> seen;
    // Until the engine has played its last epoch and fallen silent.
    const std::string last_gga = [&] {
        std::ifstream f(cap);
        std::string l, last;
        while (std::getline(f, l)) {
            if (l.rfind("$GPGGA", 0) == 0) last = l;
        }
        while (!last.empty() && last.back() == '\r') last.pop_back();
        return last;
    }();
    const int passes = step_until(
        &st,
        [&] {
            if (valid_fix(&info)) {
                const Pos p{info.latitude, info.longitude};
                bool ok = false;
                for (const Pos &k : known) ok = ok || near(p, k.lat, k.lon);
                EXPECT_TRUE(ok) << "record " << p.lat << "," << p.lon << " is no position of the capture";
                seen.insert(p);
            }
            return box.file("/var/devsim/gnss.log").find("TX nmea " + last_gga) != std::string::npos;
        },
        2000);
    ASSERT_GE(passes, 0) << "the engine did not reach the end of the capture";
    usleep(100000);
    gps_handle_step(&st);
    ASSERT_TRUE(valid_fix(&info));
    EXPECT_TRUE(near({info.latitude, info.longitude}, fixes.back().lat, fixes.back().lon))
        << info.latitude << "," << info.longitude;
    EXPECT_LT(info.latitude, 0.0);
    EXPECT_GT(info.longitude, 0.0);
    EXPECT_GE(seen.size(), 10u) << "the record moved along with the capture";
    EXPECT_GT(info.snr, 0) << "signal figure from the played GSV sequences";
}

TEST(Gnss, StalledEngineIsRestartedAfter300IdenticalPositions) {
    Box box(gnss_box("speed = 20\n"));  // built-in track, moving
    ASSERT_TRUE(box.ok()) << box.error();
    use_root(box);
    ASSERT_EQ(gps_module_ctl(1), 0);
    gps_loop_state_t st;
    iot_gps_info_t info{};
    ASSERT_GE(step_until(&st, [&] { return valid_fix(&info); }, 300), 0);

    ASSERT_TRUE(control(box, "gnss stall 1"));
    usleep(200000);  // what was on its way before the stall has arrived
    testing::internal::CaptureStdout();
    const int passes = step_until(&st, [] { return get_gps_enable_flag() == 0; }, 400, 0);
    fflush(stdout);
    const std::string out = testing::internal::GetCapturedStdout();
    // 300 identical positions: the first pass may still see the last new one,
    // and the passes just before the stall may have counted a few already.
    ASSERT_GE(passes, 295) << "restarted too early";
    ASSERT_LE(passes, 302) << "not restarted";
    EXPECT_NE(out.find("gps_update_count 300...\r\n"), std::string::npos);
    EXPECT_TRUE(box.wait_file("/var/devsim/gnss.log", "RX req 23 01\n", 3000)) << "session stopped";
    EXPECT_FALSE(valid_fix(&info));
    EXPECT_EQ(info.latitude, 0.0);
    EXPECT_EQ(info.longitude, 0.0);

    // Back on after the 601-second back-off (stepped, not waited), and the
    // engine serves the new session.
    testing::internal::CaptureStdout();
    ASSERT_EQ(step_until(&st, [] { return get_gps_enable_flag() == 1; }, 700, 0), 602);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(get_gps_start_flag(), 1);
    EXPECT_GE(step_until(&st, [&] { return valid_fix(&info); }, 300), 0);
}

TEST(Gnss, CorruptChecksumsChangeNothing) {
    Box box(gnss_box("speed = 20\n"));
    ASSERT_TRUE(box.ok()) << box.error();
    use_root(box);
    ASSERT_EQ(gps_module_ctl(1), 0);
    gps_loop_state_t st;
    iot_gps_info_t info{};
    ASSERT_GE(step_until(&st, [&] { return valid_fix(&info); }, 300), 0);

    ASSERT_TRUE(control(box, "gnss corrupt 1"));
    usleep(200000);
    gps_handle_step(&st);
    ASSERT_TRUE(valid_fix(&info));
    const Pos held{info.latitude, info.longitude};
    const size_t sent = count_of(box.file("/var/devsim/gnss.log"), " TX nmea ");
    for (int i = 0; i < 30; ++i) {
        usleep(20000);
        gps_handle_step(&st);
        ASSERT_TRUE(valid_fix(&info));
        ASSERT_TRUE(near({info.latitude, info.longitude}, held.lat, held.lon)) << i;
    }
    EXPECT_GT(count_of(box.file("/var/devsim/gnss.log"), " TX nmea "), sent) << "the engine kept sending";

    ASSERT_TRUE(control(box, "gnss corrupt 0"));
    EXPECT_GE(step_until(&st,
                         [&] { return valid_fix(&info) && !near({info.latitude, info.longitude}, held.lat, held.lon); },
                         300),
              0)
        << "moving again";
}

TEST(Gnss, LostFixKeepsTheLastPositionThenRestarts) {
    Box box(gnss_box("speed = 20\n"));
    ASSERT_TRUE(box.ok()) << box.error();
    use_root(box);
    ASSERT_EQ(gps_module_ctl(1), 0);
    gps_loop_state_t st;
    iot_gps_info_t info{};
    ASSERT_GE(step_until(&st, [&] { return valid_fix(&info); }, 300), 0);

    ASSERT_TRUE(control(box, "gnss nofix 1"));
    ASSERT_GE(step_until(&st, [&] { return !valid_fix(&info); }, 300), 0);
    EXPECT_EQ(info.satellites, 0);
    EXPECT_GT(info.latitude, 31.0) << "last position still reported";
    testing::internal::CaptureStdout();
    const int passes = step_until(&st, [] { return get_gps_enable_flag() == 0; }, 400, 0);
    fflush(stdout);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_GE(passes, 298);
    EXPECT_LE(passes, 300);
    EXPECT_NE(out.find("satellites_countV_3_cnt 300...\r\n"), std::string::npos);
}

TEST(Gnss, BoxPrintsThePositionsOfTheCapture) {
    // The whole box: host, library and devsim; the agent's own GNSS thread
    // samples the engine once a second while it plays 10 epochs a second.
    const fs::path cap = capture("haicom-305N.log");
    if (!fs::exists(cap)) GTEST_SKIP() << "no capture " << cap;
    BoxOptions o;
    o.scenario = "[gnss]\ncapture = " + cap.string() + "\nspeed = 10\n";
    Box box(o);
    ASSERT_TRUE(box.ok()) << box.error();
    std::vector<Pos> fixes;
    {
        std::ifstream f(cap);
        for (std::string l; std::getline(f, l);) {
            Pos p;
            if (gga_pos(l, &p)) fixes.push_back(p);
        }
    }
    ASSERT_TRUE(box.wait_console(" --- Start GPS --- ", 20000)) << box.console();
    ASSERT_TRUE(poll_until([&] { return count_of(box.console(), "check_gps_gga:lat_pV:S/") >= 3; }, 20000))
        << box.console();
    const std::string con = box.console();
    int checked = 0;
    for (size_t p = con.find("check_gps_gga:lat_pV:"); p != std::string::npos;
         p = con.find("check_gps_gga:lat_pV:", p + 1)) {
        char ns = 0, ew = 0;
        unsigned lat = 0, lon = 0;
        if (sscanf(con.c_str() + p, "check_gps_gga:lat_pV:%c/latitudeV:%u/longi_pV:%c/longitudeV:%u", &ns, &lat,
                   &ew, &lon) != 4) {
            continue;
        }
        const double la = (ns == 'S' ? -1.0 : 1.0) * lat / 1e6, lo = (ew == 'W' ? -1.0 : 1.0) * lon / 1e6;
        bool ok = false;
        for (const Pos &k : fixes) ok = ok || near({la, lo}, k.lat, k.lon);
        EXPECT_TRUE(ok) << la << "," << lo << " is no position of the capture";
        ++checked;
    }
    EXPECT_GE(checked, 3);
    EXPECT_EQ(box.stop(), 0);
}
