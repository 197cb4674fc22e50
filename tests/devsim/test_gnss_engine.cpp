// devsim's GNSS engine on its own: capture splitting, sentence rewriting, the
// settings, and the wire protocol seen from a raw socket client.
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/test_data.h"
#include "gnss/gnss_engine.h"

namespace fs = std::filesystem;

namespace {

unsigned xor_of(const std::string &s) {
    unsigned x = 0;
    for (size_t i = 1; i < s.size() && s[i] != '*'; ++i) x ^= static_cast<unsigned char>(s[i]);
    return x;
}

bool checksum_ok(const std::string &s) {
    const size_t star = s.find('*');
    if (star == std::string::npos || star + 3 != s.size()) return false;
    return std::stoul(s.substr(star + 1), nullptr, 16) == xor_of(s);
}

fs::path capture_dir() { return nmea_capture_dir(); }

class TempRoot {
public:
    TempRoot() {
        std::string t = (fs::temp_directory_path() / "gnss-engine-XXXXXX").string();
        if (mkdtemp(t.data()) == nullptr) abort();
        path = t;
    }
    ~TempRoot() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
    std::string path;
};

// The client side of the engine's socket, line by line.
class Raw {
public:
    explicit Raw(const std::string &root) {
        fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        struct sockaddr_un sa {};
        sa.sun_family = AF_UNIX;
        const std::string p = root + "/var/devsim/gnss.sock";
        memcpy(sa.sun_path, p.c_str(), p.size() + 1);
        ok_ = connect(fd_, reinterpret_cast<struct sockaddr *>(&sa), sizeof sa) == 0;
    }
    ~Raw() { close(fd_); }
    bool ok() const { return ok_; }
    void send_line(const std::string &l) {
        const std::string s = l + "\n";
        ASSERT_EQ(write(fd_, s.data(), s.size()), static_cast<ssize_t>(s.size()));
    }
    // Next line within timeout_ms, "" when none.
    std::string line(int timeout_ms = 2000) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        for (;;) {
            const size_t nl = buf_.find('\n');
            if (nl != std::string::npos) {
                std::string l = buf_.substr(0, nl);
                buf_.erase(0, nl + 1);
                return l;
            }
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count();
            if (left <= 0) return "";
            struct pollfd p = {fd_, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left)) <= 0) return "";
            char b[4096];
            const ssize_t r = read(fd_, b, sizeof b);
            if (r <= 0) return "";
            buf_.append(b, static_cast<size_t>(r));
        }
    }
    // Next "nmea" sentence (skipping other lines).
    std::string sentence(int timeout_ms = 2000) {
        for (;;) {
            std::string l = line(timeout_ms);
            if (l.empty()) return "";
            if (l.rfind("nmea ", 0) == 0) return l.substr(5);
        }
    }

private:
    int fd_ = -1;
    bool ok_ = false;
    std::string buf_;
};

std::string start_req(uint8_t session = 1) {
    std::string hex = "req 22 ";
    char b[3];
    for (int i = 0; i < 108; ++i) {
        snprintf(b, sizeof b, "%02x", i == 0 ? session : 0);
        hex += b;
    }
    return hex;
}

}  // namespace

TEST(GnssSentences, ChecksumRewriteAndLostFix) {
    const std::string vtg = "$GPVTG,0.00,T,,,0.00,N,0.00,K,A";
    EXPECT_EQ(gnss_with_checksum(vtg), vtg + "*70");
    EXPECT_EQ(gnss_with_checksum(vtg + "*00"), vtg + "*70");
    const std::string bad = gnss_corrupted(vtg + "*70");
    EXPECT_EQ(bad.size(), vtg.size() + 3);
    EXPECT_FALSE(checksum_ok(bad));

    const std::string gga = "$GPGGA,095305.802,2712.6517,S,15303.1380,E,1,05,1.9,3.0,M,42.2,M,,*7E";
    const std::string nofix = gnss_without_fix(gga);
    EXPECT_EQ(nofix.substr(0, nofix.find('*')), "$GPGGA,095305.802,2712.6517,S,15303.1380,E,0,00,1.9,3.0,M,42.2,M,,");
    EXPECT_TRUE(checksum_ok(nofix));
    const std::string rmc = gnss_without_fix("$GPRMC,095305.802,A,2712.6517,S,15303.1380,E,0.61,275.04,080407,,,A*7C");
    EXPECT_EQ(rmc.substr(0, 20), "$GPRMC,095305.802,V,");
    EXPECT_TRUE(checksum_ok(rmc));
    EXPECT_EQ(gnss_without_fix(vtg + "*70"), vtg + "*70");
    EXPECT_EQ(gnss_without_fix("$GPGGA,1*00"), "$GPGGA,1*00") << "too short to rewrite";
}

TEST(GnssSentences, EpochsFromTimesAndRepeats) {
    // No time before the first fix: a second GGA starts the next epoch anyway.
    const std::string text =
        "# comment\r\n$GPGGA,,,,,,0,00,99.99,,,,,,*48\r\n$GPGSA,A,1,,,,,,,,,,,,,99.99,99.99,99.99*30\r\n"
        "$GPGGA,,,,,,0,00,99.99,,,,,,*48\r\n\n"
        "$GPRMC,152505.00,A,5547.82113,N,02334.14130,E,0.0,,091209,,,A*76\r\n"
        "$GPGGA,152505.00,5547.82113,N,02334.14130,E,1,04,2.72,37.0,M,26.9,M,,*6B\r\n"
        "$GPGSV,1,1,01,26,34,052,32*4B\r\n"
        "$GPGLL,5547.82119,N,02334.14124,E,152505.50,A,A*6D\r\n";
    const std::vector<GnssEpoch> e = gnss_split_epochs(text);
    ASSERT_EQ(e.size(), 4u);
    EXPECT_EQ(e[0].size(), 2u);
    EXPECT_EQ(e[1].size(), 1u);
    EXPECT_EQ(e[2].size(), 3u);  // RMC, GGA and GSV of 15:25:05.00
    EXPECT_EQ(e[3][0].rfind("$GPGLL", 0), 0u);
    EXPECT_EQ(e[2][0].back(), '6') << "line ends removed";
}

TEST(GnssSentences, EveryCaptureSplitsIntoWholeEpochs) {
    if (!fs::is_directory(capture_dir())) GTEST_SKIP() << "no captures at " << capture_dir();
    int files = 0;
    for (const auto &ent : fs::directory_iterator(capture_dir())) {
        if (ent.path().extension() != ".log") continue;
        ++files;
        std::ifstream f(ent.path(), std::ios::binary);
        std::stringstream ss;
        ss << f.rdbuf();
        size_t lines = 0, ggas = 0;
        std::istringstream in(ss.str());
        for (std::string l; std::getline(in, l);) {
            if (!l.empty() && l.back() == '\r') l.pop_back();
            if (l.empty()) continue;
            ++lines;
            if (l.rfind("$GPGGA", 0) == 0) ++ggas;
        }
        const std::vector<GnssEpoch> e = gnss_split_epochs(ss.str());
        size_t total = 0;
        for (const GnssEpoch &ep : e) {
            total += ep.size();
            int g = 0, r = 0;
            for (const std::string &s : ep) {
                g += s.compare(3, 3, "GGA") == 0;
                r += s.compare(3, 3, "RMC") == 0;
            }
            EXPECT_LE(g, 1) << ent.path();
            EXPECT_LE(r, 1) << ent.path();
        }
        EXPECT_EQ(total, lines) << ent.path() << ": no sentence lost";
        EXPECT_GE(e.size(), ggas) << ent.path();
    }
    EXPECT_EQ(files, 9);
}

TEST(GnssSentences, BuiltinTrackMovesWithValidSentences) {
    const std::vector<GnssEpoch> t = gnss_builtin_track();
    ASSERT_EQ(t.size(), 120u);
    for (const GnssEpoch &e : t) {
        for (const std::string &s : e) EXPECT_TRUE(checksum_ok(s)) << s;
    }
    EXPECT_NE(t[0][0], t[1][0]);
    EXPECT_NE(t[0][0].find(",3112.5000,N,12130.0000,E,1,08,"), std::string::npos) << t[0][0];
}

TEST(GnssSettings, KeysAndValues) {
    GnssSettings s;
    EXPECT_EQ(gnss_apply_setting(&s, "speed", "50"), 1);
    EXPECT_EQ(s.speed, 50);
    EXPECT_EQ(gnss_apply_setting(&s, "speed", "0"), 0);
    EXPECT_EQ(gnss_apply_setting(&s, "speed", "1001"), 0);
    EXPECT_EQ(gnss_apply_setting(&s, "speed", "5x"), 0);
    EXPECT_EQ(s.speed, 50);
    EXPECT_EQ(gnss_apply_setting(&s, "stall", "on"), 1);
    EXPECT_TRUE(s.stall);
    EXPECT_EQ(gnss_apply_setting(&s, "nofix", "maybe"), 0);
    EXPECT_EQ(gnss_apply_setting(&s, "corrupt", "3"), 1);
    EXPECT_EQ(s.corrupt, 3);
    EXPECT_EQ(gnss_apply_setting(&s, "corrupt", "off"), 1);
    EXPECT_EQ(s.corrupt, 0);
    EXPECT_EQ(gnss_apply_setting(&s, "capture", ""), 0);
    EXPECT_EQ(gnss_apply_setting(&s, "colour", "1"), 0);
}

TEST(GnssWire, StartPlaysStopSilences) {
    TempRoot root;
    GnssEngine eng;
    ASSERT_EQ(eng.configure("speed", "50"), 1);
    ASSERT_EQ(eng.start(root.path), 0);
    Raw c(root.path);
    ASSERT_TRUE(c.ok());
    EXPECT_EQ(c.sentence(300), "") << "nothing before a session starts";

    c.send_line(start_req(2));
    EXPECT_EQ(c.line(), "ack 22 2") << "session id other than 1";
    c.send_line("req 22 01");
    EXPECT_EQ(c.line(), "ack 22 2") << "short record";
    c.send_line(std::string(3000, 'z'));  // overlong: dropped whole
    c.send_line("req 77 00");
    EXPECT_EQ(c.line(), "ack 77 1") << "unknown request";

    c.send_line(start_req());
    EXPECT_EQ(c.line(), "ack 22 0");
    EXPECT_EQ(c.line(), "ind 22 0");
    const std::string first = c.sentence();
    EXPECT_EQ(first.rfind("$GPGGA,080000.00,3112.5000,N", 0), 0u) << first;
    EXPECT_TRUE(checksum_ok(first));

    c.send_line("req 23 01");
    for (std::string l = c.line(); l != "ack 23 0"; l = c.line()) ASSERT_FALSE(l.empty());
    EXPECT_EQ(c.line(), "ind 23 0");
    EXPECT_EQ(c.sentence(300), "") << "silent after stop";
    eng.stop();
    const std::string log = [&] {
        std::ifstream f(root.path + "/var/devsim/gnss.log");
        std::stringstream s;
        s << f.rdbuf();
        return s.str();
    }();
    EXPECT_NE(log.find(" RX req 23 01\n"), std::string::npos);
    EXPECT_NE(log.find(" TX nmea $GPGGA,080000.00,"), std::string::npos);
}

TEST(GnssWire, RefusedStartPlaysNothing) {
    // Stall, lost fix and corruption are checked from the agent's side in
    // test_gnss.cpp; here what the agent cannot see: refusal and bad commands.
    TempRoot root;
    GnssEngine eng;
    ASSERT_EQ(eng.configure("speed", "100"), 1);
    ASSERT_EQ(eng.configure("refuse", "1"), 1);
    ASSERT_EQ(eng.start(root.path), 0);
    Raw c(root.path);
    ASSERT_TRUE(c.ok());
    c.send_line(start_req());
    EXPECT_EQ(c.line(), "ack 22 6");
    EXPECT_EQ(c.sentence(300), "") << "no indication, no sentences";

    std::string why;
    EXPECT_EQ(eng.command("speed", "fast", &why), -1);
    EXPECT_FALSE(why.empty());
    EXPECT_EQ(eng.command("capture", "/nonexistent/file.log", &why), -1);
    EXPECT_EQ(eng.command("refuse", "0", &why), 0);
    c.send_line(start_req());
    EXPECT_EQ(c.line(), "ack 22 0");
    EXPECT_EQ(c.sentence().rfind("$GPGGA,080000.00,", 0), 0u) << "the built-in track, from its start";
}

TEST(GnssWire, CaptureFromTheRootWithoutLoopFallsSilent) {
    TempRoot root;
    {
        std::ofstream f(root.path + "/track.log");
        f << "$GPGGA,000001.00,1000.0000,S,02000.0000,W,1,05,1.0,1.0,M,,M,,*76\r\n"
             "$GPGGA,000002.00,1000.0010,S,02000.0000,W,1,05,1.0,1.0,M,,M,,*74\r\n";
    }
    GnssEngine eng;
    ASSERT_EQ(eng.configure("capture", "track.log"), 1);
    ASSERT_EQ(eng.configure("loop", "0"), 1);
    ASSERT_EQ(eng.configure("speed", "100"), 1);
    ASSERT_EQ(eng.start(root.path), 0);
    Raw c(root.path);
    ASSERT_TRUE(c.ok());
    c.send_line(start_req());
    EXPECT_EQ(c.sentence().substr(0, 17), "$GPGGA,000001.00,");
    EXPECT_EQ(c.sentence().substr(0, 17), "$GPGGA,000002.00,");
    EXPECT_EQ(c.sentence(400), "") << "the capture ended";
    std::string why;
    EXPECT_EQ(eng.command("rewind", "", &why), 0);
    EXPECT_EQ(c.sentence().substr(0, 17), "$GPGGA,000001.00,");
}
