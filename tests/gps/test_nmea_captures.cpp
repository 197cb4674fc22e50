// Real receiver captures (tests/data/nmea, from the GPSD regression logs) fed
// through the sentence checks, each fix compared with the decoder output that
// came with the capture (.chk).
//
// What is compared, and why the rest is not:
// - Every GGA with a fix (quality above 0) against the first TPV report with a
//   position that follows it in the .chk, before the next GGA.  Latitude and
//   longitude agree to 1e-6 degree (our millionths are rounded, the reference
//   prints nine decimals); the altitude is our integer part of altMSL.
// - GGA with quality 0: we report no fix and keep the last position.  The
//   reference sometimes still reports a position there (mtk-3301 at 081434.590
//   gives a 2D TPV from a quality-0 GGA; bt451 has a 2D TPV from GLL, which we
//   do not read), so those are compared only for "no satellites".
// - After the last GSV of a sequence, the number of satellites above 20 dB-Hz
//   against the SKY report that follows it (when one does).
// - Speeds and courses are not compared: the reference converts speed to m/s
//   and derives values (magtrack, climb, errors) a plain parser does not have.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "support/test_data.h"
#include "gps/gps_handle.h"
#include "gps/nmea_parse.h"

namespace fs = std::filesystem;

namespace {

fs::path capture_dir() { return nmea_capture_dir(); }

std::vector<std::string> lines_of(const fs::path &p) {
    std::ifstream f(p, std::ios::binary);
    std::vector<std::string> out;
    std::string l;
    while (std::getline(f, l)) {
        if (!l.empty() && l.back() == '\r') l.pop_back();
        out.push_back(l);
    }
    return out;
}

bool json_num(const std::string &line, const char *key, double *out) {
    const std::string k = std::string("\"") + key + "\":";
    const size_t p = line.find(k);
    if (p == std::string::npos) return false;
    *out = strtod(line.c_str() + p + k.size(), nullptr);
    return true;
}

std::vector<std::string> fields(const std::string &s) {
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
    return f;
}

struct RefFix {
    double lat = 0, lon = 0, alt = 0;
    bool has_alt = false;
};

struct Refs {
    std::map<std::string, RefFix> gga;        // GGA text -> reference fix
    std::map<std::string, int> strong_count;  // whole GSV sequence -> satellites above 20
};

Refs load_refs(const fs::path &chk) {
    Refs r;
    const std::vector<std::string> l = lines_of(chk);
    std::string seq;
    for (size_t i = 0; i < l.size(); ++i) {
        if (l[i].rfind("$GPGGA", 0) == 0 && !r.gga.count(l[i])) {
            for (size_t j = i + 1; j < l.size() && l[j].rfind("$GPGGA", 0) != 0; ++j) {
                RefFix f;
                if (l[j].rfind("{\"class\":\"TPV\"", 0) == 0 && json_num(l[j], "lat", &f.lat) &&
                    json_num(l[j], "lon", &f.lon)) {
                    f.has_alt = json_num(l[j], "altMSL", &f.alt);
                    r.gga[l[i]] = f;
                    break;
                }
            }
        }
        if (l[i].rfind("$GPGSV", 0) == 0) {
            const std::vector<std::string> f = fields(l[i]);
            if (f.size() > 2 && f[2] == "1") seq.clear();
            seq += l[i] + "\n";
            if (f.size() > 2 && f[1] == f[2] && i + 1 < l.size() && l[i + 1].rfind("{\"class\":\"SKY\"", 0) == 0) {
                int n = 0;
                for (size_t p = l[i + 1].find("\"ss\":"); p != std::string::npos; p = l[i + 1].find("\"ss\":", p + 1)) {
                    if (strtod(l[i + 1].c_str() + p + 5, nullptr) > 20.0) ++n;
                }
                r.strong_count[seq] = std::min(n, kGsvMaxStrong);
            }
        }
    }
    return r;
}

struct Result {
    int fixes = 0;        // GGA with a fix compared with a reference
    int no_fix = 0;       // quality-0 GGA seen
    int sky = 0;          // GSV sequences compared
    std::vector<std::string> unreferenced;  // fix GGA without a reference (time field)
};

Result play(const std::string &name) {
    Result res;
    const fs::path dir = capture_dir();
    const Refs refs = load_refs(dir / (name + ".chk"));
    std::string seq;
    bool seq_whole = false;  // the sequence was seen from its first sentence
    for (const std::string &s : lines_of(dir / name)) {
        if (s.rfind("$GPGGA", 0) == 0) {
            const std::vector<std::string> f = fields(s);
            const bool fix = f.size() > 9 && !f[6].empty() && f[6] != "0";
            const int accepted = check_gps_gga(s.c_str());
            gps_fix_vars_t v;
            gps_fix_read(&v);
            if (!fix) {
                ++res.no_fix;
                EXPECT_EQ(accepted, 0) << name << ": " << s;
                EXPECT_EQ(v.satellites_countV, 0) << name << ": " << s;
                continue;
            }
            EXPECT_EQ(accepted, 1) << name << ": " << s;
            EXPECT_EQ(v.satellites_countV, atoi(f[7].c_str())) << name << ": " << s;
            auto it = refs.gga.find(s);
            if (it == refs.gga.end()) {
                res.unreferenced.push_back(f[1]);
                continue;
            }
            ++res.fixes;
            const double lat = (v.lat_pV == 'S' ? -1.0 : 1.0) * v.latitudeV / 1e6;
            const double lon = (v.longi_pV == 'W' ? -1.0 : 1.0) * v.longitudeV / 1e6;
            EXPECT_NEAR(lat, it->second.lat, 1e-6) << name << ": " << s;
            EXPECT_NEAR(lon, it->second.lon, 1e-6) << name << ": " << s;
            if (it->second.has_alt) {
                EXPECT_EQ(v.altitudeV, static_cast<int>(std::trunc(it->second.alt))) << name << ": " << s;
            }
        } else if (s.rfind("$GPRMC", 0) == 0) {
            check_gps_rmc(s.c_str());
        } else if (s.rfind("$GPVTG", 0) == 0) {
            check_gps_vtg(s.c_str());
        } else if (s.rfind("$GPGSV", 0) == 0) {
            {
                std::lock_guard<std::mutex> lk(gps_nmea_mutex());
                EXPECT_EQ(tx510_get_all_gpgsv_data(s.c_str()), 1) << name << ": " << s;
            }
            EXPECT_EQ(check_gps_gsv(s.c_str()), 1);
            const std::vector<std::string> f = fields(s);
            if (f.size() > 2 && f[2] == "1") {
                seq.clear();
                seq_whole = true;
            }
            seq += s + "\n";
            auto it = refs.strong_count.find(seq);
            if (f.size() > 2 && f[1] == f[2] && it != refs.strong_count.end()) {
                // haicom-305N and gr601-w start in the middle of a sequence.
                // The collector publishes such a partial set as it is and the
                // evaluation reads it by position, so it either fails (gr601-w:
                // sentence 3 where 2 belongs, we report 0, the reference 3) or
                // happens to agree (haicom-305N): not compared.
                if (seq_whole) {
                    ++res.sky;
                    EXPECT_EQ(iot_get_gps_snr_num(20), it->second) << name << ": " << s;
                }
            }
        }
    }
    return res;
}

class Captures : public ::testing::TestWithParam<const char *> {
protected:
    void SetUp() override {
        if (!fs::is_directory(capture_dir())) {
            GTEST_SKIP() << "no captures at " << capture_dir() << " (set TELAGENT_NMEA_DIR)";
        }
    }
};

}  // namespace

TEST_P(Captures, FixesMatchTheReference) {
    const std::string name = GetParam();
    const Result r = play(name);
    EXPECT_GT(r.fixes, 0) << name;
    EXPECT_GT(r.sky, 0) << name << ": no GSV sequence compared";
    // GGA fixes with no reference position, each for a reason of the capture:
    std::set<std::string> explained;
    // haicom-305N: the first quality-1 GGA (095304.802) made the decoder print
    // a TPV with mode 1 and no position; its reference is the next cycle.
    if (name == "haicom-305N.log") explained = {"095304.802"};
    // bt451: the capture is cut after 15:25:08.50 (a comment marked the jump
    // to 14:33); no report closed that cycle.
    if (name == "bt451.log") explained = {"152508.50"};
    EXPECT_EQ(std::set<std::string>(r.unreferenced.begin(), r.unreferenced.end()), explained) << name;
    EXPECT_EQ(r.unreferenced.size(), explained.size()) << name;
}

INSTANTIATE_TEST_SUITE_P(Gpsd, Captures,
                         ::testing::Values("bt451.log", "bu353-glonass.log", "gr601-w.log", "haicom-305N.log",
                                           "mtk-3301.log", "navika-100-fix.log", "nd-1005.log", "skytraq-fix.log",
                                           "ublox-lea-4h.log"),
                         [](const ::testing::TestParamInfo<const char *> &i) {
                             std::string n = i.param;
                             n = n.substr(0, n.find('.'));
                             for (char &c : n) {
                                 if (!isalnum(static_cast<unsigned char>(c))) c = '_';
                             }
                             return n;
                         });

TEST(CapturesSummary, LostFixKeepsTheLastPosition) {
    if (!fs::is_directory(capture_dir())) GTEST_SKIP() << "no captures at " << capture_dir();
    // bu353-glonass ends with ten GGA without a fix: no satellites, but the
    // last position (Moscow) stays for the record.
    const Result b = play("bu353-glonass.log");
    EXPECT_EQ(b.no_fix, 10);
    gps_fix_vars_t v;
    gps_fix_read(&v);
    EXPECT_EQ(v.satellites_countV, 0);
    EXPECT_NEAR(v.latitudeV / 1e6, 55.6866, 1e-3);
    EXPECT_NEAR(v.longitudeV / 1e6, 37.6215, 1e-3);
}
