// Device and SDK logs: filtering, exact line bytes, day/hour placement, hex
// dumps, cleaning of /iot/log by date and by free space, zip of a directory,
// concurrent writers and an unusable log directory.
#include "core/logging.h"

#include <gtest/gtest.h>
#include <unistd.h>
#include <zip.h>

#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/plat_clock.h"
#include "support/test_root.h"

namespace fs = std::filesystem;

namespace {

constexpr time_t kT = 1710498030;          // 2024-03-15 10:20:30 UTC
constexpr time_t kNoon = 1710504000;       // 2024-03-15 12:00:00 UTC
constexpr time_t kBeforeMidnight = 1710547199;  // 2024-03-15 23:59:59 UTC
constexpr const char *kHour10 = "/iot/log/20240315/10.log";

std::string secs(time_t t) { return std::to_string(static_cast<long long>(t)); }

std::vector<std::string> lines_of(const std::string &s) {
    std::vector<std::string> out;
    size_t i = 0;
    while (i < s.size()) {
        size_t j = s.find('\n', i);
        if (j == std::string::npos) j = s.size();
        out.push_back(s.substr(i, j - i));
        i = j + 1;
    }
    return out;
}

class LogTest : public ::testing::Test {
protected:
    void SetUp() override {
        plat_clock_fake(kT);
        mLogInit(2, LOG_TYPE_FILE);
        iot_log_init(2, LOG_TYPE_FILE);
    }
    TestRoot root;
};

// ---- filtering and prefixes -------------------------------------------------

TEST_F(LogTest, DeviceLogFiltersByLevelAndWritesExactLines) {
    EXPECT_EQ(mlog(3, "plain %d\n", 1), 0);  // above level 2
    EXPECT_FALSE(root.exists("/iot/log"));
    EXPECT_EQ(mlog(-1, "bogus\n"), 0);       // no negative level sneaks through as "huge"
    EXPECT_EQ(mlog(LOG_ERROR, "e %s\n", "x"), 1);
    EXPECT_EQ(mlog(LOG_DEBUG, "d\n"), 1);
    EXPECT_EQ(mlog(LOG_TRACE, "t\n"), 1);
    mLogInit(7, LOG_TYPE_FILE);
    EXPECT_EQ(mlog(3, "i\n"), 1);
    EXPECT_EQ(mlog(7, "seven\n"), 1);
    const std::string s = secs(kT);
    EXPECT_EQ(root.read(kHour10), "IOT-ERROR-" + s + "-  e x\n" + "IOT-DEBUG-" + s + "-  d\n" + "IOT-TRACE-" + s +
                                      "-  t\n" + "IOT-" + s + "-  i\n" + "IOT-" + s + "-  seven\n");

    // Level 0 is written at level 0 and dropped only when the log is off.
    mLogInit(0, LOG_TYPE_FILE);
    EXPECT_EQ(mlog(LOG_DEBUG, "no\n"), 0);
    EXPECT_EQ(mlog(LOG_ERROR, "yes\n"), 1);
    mLogInit(100, LOG_TYPE_OFF);
    EXPECT_EQ(mlog(LOG_ERROR, "off\n"), 0);
    const std::string body = root.read(kHour10);
    EXPECT_NE(body.find("yes\n"), std::string::npos);
    EXPECT_EQ(body.find("no\n"), std::string::npos);
    EXPECT_EQ(body.find("off\n"), std::string::npos);
}

TEST_F(LogTest, SdkLogSameRulesAlwaysReturnsZero) {
    EXPECT_EQ(tavi_log(3, "dropped\n"), 0);
    EXPECT_FALSE(root.exists("/iot/log"));
    EXPECT_EQ(tavi_log(LOG_ERROR, "e\n"), 0);
    EXPECT_EQ(tavi_log(LOG_TRACE, "t %d\n", 2), 0);
    iot_log_init(3, LOG_TYPE_FILE);
    EXPECT_EQ(tavi_log(3, "i\n"), 0);
    iot_log_init(2, LOG_TYPE_OFF);
    EXPECT_EQ(tavi_log(LOG_ERROR, "off\n"), 0);
    const std::string s = secs(kT);
    EXPECT_EQ(root.read(kHour10), "SDK-ERROR-" + s + "-  e\n" + "SDK-TRACE-" + s + "-  t 2\n" + "SDK-" + s + "-  i\n");
    // Settings of the two logs are independent.
    EXPECT_EQ(mlog_level(), 2u);
    EXPECT_EQ(mlog_type(), LOG_TYPE_FILE);
    EXPECT_EQ(tavi_log_level(), 2u);
    EXPECT_EQ(tavi_log_type(), LOG_TYPE_OFF);
}

TEST_F(LogTest, ConsoleTypesPrintWithoutTheExtraBlankAndNoFiles) {
    mLogInit(2, LOG_TYPE_CONSOLE);
    iot_log_init(2, 9);  // any value but 0 and 2 is the console
    testing::internal::CaptureStdout();
    EXPECT_EQ(mlog(LOG_DEBUG, "hello %d\n", 5), 1);
    EXPECT_EQ(mlog(3, "filtered\n"), 0);
    tavi_log(LOG_ERROR, "sdk\n");
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "IOT-DEBUG-" + secs(kT) + "- hello 5\n" + "SDK-ERROR-" + secs(kT) + "- sdk\n");
    EXPECT_FALSE(root.exists("/iot/log"));
}

TEST_F(LogTest, OverlongMessageIsCutAndStillEndsItsLine) {
    const std::string big(5000, 'a');
    EXPECT_EQ(mlog(LOG_ERROR, "%s\n", big.c_str()), 1);
    EXPECT_EQ(mlog(LOG_ERROR, "next\n"), 1);
    const auto ls = lines_of(root.read(kHour10));
    ASSERT_EQ(ls.size(), 2u);
    EXPECT_EQ(ls[0].size(), 2046u);  // 2047 bytes with the line end
    EXPECT_EQ(ls[0].rfind("IOT-ERROR-" + secs(kT) + "-  aaa", 0), 0u);
    EXPECT_EQ(ls[1], "IOT-ERROR-" + secs(kT) + "-  next");
}

TEST_F(LogTest, MidnightSplitsDayDirectoryAndHourFile) {
    plat_clock_fake(kBeforeMidnight);
    EXPECT_EQ(mlog(LOG_ERROR, "late\n"), 1);
    plat_clock_advance_ms(1000);
    EXPECT_EQ(tavi_log(LOG_ERROR, "early\n"), 0);
    EXPECT_EQ(root.read("/iot/log/20240315/23.log"), "IOT-ERROR-" + secs(kBeforeMidnight) + "-  late\n");
    EXPECT_EQ(root.read("/iot/log/20240316/00.log"), "SDK-ERROR-" + secs(kBeforeMidnight + 1) + "-  early\n");
}

// ---- hex dumps --------------------------------------------------------------

TEST_F(LogTest, HexDumpFileLayoutExactBytes) {
    unsigned char b[17];
    for (int i = 0; i < 17; ++i) b[i] = static_cast<unsigned char>(0xf0 + i);  // wraps past 0xff
    const std::string frame = "-------------------------------\r\n";
    const std::string row8 = "f0 f1 f2 f3 f4 f5 f6 f7   ";
    const std::string row16 = row8 + "f8 f9 fa fb fc fd fe ff \r\n";
    struct Case {
        int n;
        std::string want;
    } cases[] = {
        {0, frame + frame},
        {8, frame + row8 + "\r\n" + frame},
        {16, frame + row16 + frame},
        {17, frame + row16 + "00 \r\n" + frame},
    };
    for (const Case &c : cases) {
        fs::remove(root.at(kHour10));
        mlogHex(LOG_ERROR, b, c.n);
        EXPECT_EQ(root.read(kHour10), c.want) << c.n << " bytes";
    }
    fs::remove(root.at(kHour10));
    mlogHex(3, b, 17);                 // filtered
    tavi_logHex(LOG_TRACE, nullptr, 5);  // no bytes: just the frame
    EXPECT_EQ(root.read(kHour10), frame + frame);
}

TEST_F(LogTest, HexDumpConsoleLayoutAndHelpers) {
    const unsigned char b[9] = {0, 1, 2, 3, 4, 5, 6, 7, 0xab};
    mLogInit(2, LOG_TYPE_CONSOLE);
    plat_clock_fake(kT);
    plat_clock_advance_ms(45);
    testing::internal::CaptureStdout();
    mlogHex(LOG_TRACE, b, 9);
    dmsg("x %d\n", 5);
    dhex("RX", b, 2);
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string frame = "-------------------------------\n";
    EXPECT_EQ(out, frame + "00 01 02 03 04 05 06 07    ab \n" + frame + "03/15 10:20:30.45- x 5\n" + "\r\n-[" +
                       secs(kT) + "l[----------RX------------------------\r\n" + frame + "00 01 \n" + frame);
    EXPECT_FALSE(root.exists("/iot/log"));
}

// ---- cleaning by date -------------------------------------------------------

class CleanTest : public LogTest {
protected:
    void SetUp() override {
        LogTest::SetUp();
        plat_clock_fake(kNoon);
        for (const char *d : {"20240315", "20240314", "20240313", "20240312", "20240311", "20240310",
                              "20240313_old", "20240301bak", "2024"}) {
            root.write(std::string("/iot/log/") + d + "/09.log", "x\n");
        }
        root.write("/iot/log/iot_seg.txt", "crash\n");
    }
};

TEST_F(CleanTest, KeepsTodayAndThreeDaysBeforeDeletesTheRest) {
    // A link inside an old day directory must be unlinked, not walked into.
    root.write("/outside/keep.txt", "keep");
    fs::create_directory_symlink(root.at("/outside"), root.at("/iot/log/20240310/link"));
    testing::internal::CaptureStdout();
    clean_dir_log();
    const std::string out = testing::internal::GetCapturedStdout();
    for (const char *d : {"20240315", "20240314", "20240313", "20240312", "20240313_old"})
        EXPECT_TRUE(root.exists(std::string("/iot/log/") + d)) << d;
    for (const char *d : {"20240311", "20240310", "20240301bak", "2024"})
        EXPECT_FALSE(root.exists(std::string("/iot/log/") + d)) << d;
    EXPECT_EQ(root.read("/iot/log/iot_seg.txt"), "crash\n");
    EXPECT_EQ(root.read("/outside/keep.txt"), "keep");
    EXPECT_NE(out.find("*** remove:/iot/log/20240310/link\n"), std::string::npos);
    EXPECT_NE(out.find("### remove:/iot/log/20240311\n"), std::string::npos);
    const std::string log = root.read("/iot/log/20240315/12.log");
    EXPECT_NE(log.find(" delete file: /iot/log/20240310\r\n"), std::string::npos);
    EXPECT_NE(log.find(" delete file: /iot/log/20240301bak\r\n"), std::string::npos);
}

TEST_F(CleanTest, UnsetClockDeletesNothing) {
    for (time_t t : {time_t{0}, time_t{1616223268}}) {
        plat_clock_fake(t);
        testing::internal::CaptureStdout();
        clean_dir_log();
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "clean_dir_log Date error return\n");
    }
    EXPECT_TRUE(root.exists("/iot/log/20240310"));
    EXPECT_TRUE(root.exists("/iot/log/2024"));
    plat_clock_fake(1616223269);  // first trusted second: everything from 2024 is "future", goes
    testing::internal::CaptureStdout();
    clean_dir_log();
    testing::internal::GetCapturedStdout();
    EXPECT_FALSE(root.exists("/iot/log/20240315"));
    EXPECT_TRUE(root.exists("/iot/log/20210320"));  // written by the cleaning's own log
}

TEST_F(CleanTest, FailedDeletionIsLoggedAndCleaningGoesOn) {
    // A nested directory is not emptied (one level only), so its parent stays.
    root.write("/iot/log/20240310/deep/f", "x");
    testing::internal::CaptureStdout();
    clean_dir_log();
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(root.exists("/iot/log/20240310/deep/f"));
    EXPECT_FALSE(root.exists("/iot/log/20240311"));
    EXPECT_NE(out.find("remove file:"), std::string::npos);
    const std::string log = root.read("/iot/log/20240315/12.log");
    EXPECT_NE(log.find("--remove file failed: /iot/log/20240310\n"), std::string::npos);
}

TEST_F(LogTest, CleaningWithoutLogDirectoryOnlyLogs) {
    plat_clock_fake(kNoon);
    mLogInit(1, LOG_TYPE_CONSOLE);
    testing::internal::CaptureStdout();
    clean_dir_log();
    force_clean_log();
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.rfind("IOT-DEBUG-" + secs(kNoon) + "- clean_dir_log/", 0), 0u) << out;
    EXPECT_NE(out.find("--no dir /iot/log\nforce_clean_log entry ...\nforce_clean_log/"), std::string::npos) << out;
    EXPECT_FALSE(root.exists("/iot/log"));
}

// ---- cleaning by free space ---------------------------------------------------

TEST_F(LogTest, DiskLowDeletesSmallestDayOnEverySixtyFirstCall) {
    for (const char *d : {"20240315", "20240313", "20240314"}) root.mkdirs(std::string("/iot/log/") + d);
    root.write("/iot/log/1", "a file named like a tiny date is no candidate");
    root.write("/var/sim/disk_free", "5242879");
    testing::internal::CaptureStdout();
    for (int i = 0; i < 60; ++i) check_disk_statfs();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_TRUE(root.exists("/iot/log/20240313"));
    testing::internal::CaptureStdout();
    check_disk_statfs();
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_FALSE(root.exists("/iot/log/20240313"));
    EXPECT_TRUE(root.exists("/iot/log/20240314"));
    EXPECT_TRUE(root.exists("/iot/log/1"));
    EXPECT_EQ(out, "force_clean_log entry ...\n### remove:/iot/log/20240313\n"
                   "force_clean_log remove_id:/iot/log/20240313\n+++ check_disk_statfs: 5242879 / 5242880\n");

    // Exactly 5 MiB free is enough: the next check deletes nothing.
    root.write("/var/sim/disk_free", "5242880");
    testing::internal::CaptureStdout();
    for (int i = 0; i < 61; ++i) check_disk_statfs();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "+++ check_disk_statfs: 5242880 / 5242880\n");
    EXPECT_TRUE(root.exists("/iot/log/20240314"));
}

TEST_F(LogTest, ForceCleanPicksSmallestNumberOneDirectoryPerCall) {
    for (const char *d : {"20240101", "abc", "20231231"}) root.mkdirs(std::string("/iot/log/") + d);
    testing::internal::CaptureStdout();
    force_clean_log();  // "abc" reads as 0, counted as 1: smallest
    EXPECT_FALSE(root.exists("/iot/log/abc"));
    EXPECT_TRUE(root.exists("/iot/log/20231231"));
    force_clean_log();
    EXPECT_FALSE(root.exists("/iot/log/20231231"));
    EXPECT_TRUE(root.exists("/iot/log/20240101"));
    force_clean_log();
    EXPECT_FALSE(root.exists("/iot/log/20240101"));
    force_clean_log();  // nothing left: nothing happens
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("force_clean_log remove_id:/iot/log/1\n"), std::string::npos);
    EXPECT_TRUE(root.exists("/iot/log"));
}

// ---- zip ----------------------------------------------------------------------

long long zip_entries(const std::string &machine_path) {
    int err = 0;
    zip_t *z = zip_open(machine_path.c_str(), ZIP_RDONLY, &err);
    if (z == nullptr) return -1;
    long long n = zip_get_num_entries(z, 0);
    zip_discard(z);
    return n;
}

TEST_F(LogTest, ZipRoundTripOfRegularFilesOnly) {
    const std::string bin("\x00\x01\xff\r\n binary\x00", 13);
    root.write("/data/day/00.log", "first hour\n");
    root.write("/data/day/01.log", bin);
    root.write("/data/day/sub/inner.log", "not packed");
    root.write("/secret.txt", "not packed either");
    fs::create_symlink(root.at("/secret.txt"), root.at("/data/day/link.log"));
    ASSERT_EQ(iot_dir_compresse("/data/day", "/data/day.zip"), 1);
    EXPECT_EQ(zip_entries(root.at("/data/day.zip")), 2);
    std::string got;
    ASSERT_EQ(iot_zip_read_entry("/data/day.zip", "00.log", &got), 1);
    EXPECT_EQ(got, "first hour\n");
    ASSERT_EQ(iot_zip_read_entry("/data/day.zip", "01.log", &got), 1);
    EXPECT_EQ(got, bin);
    EXPECT_EQ(iot_zip_read_entry("/data/day.zip", "link.log", &got), 0);

    testing::internal::CaptureStdout();
    EXPECT_EQ(iot_zip_file_decompresse("/data/day.zip", "01.log"), 1);
    EXPECT_EQ(iot_zip_file_decompresse("/data/day.zip", "missing"), 0);
    EXPECT_EQ(iot_zip_file_decompresse("/data/none.zip", "00.log"), 0);
    EXPECT_EQ(iot_zip_file_decompresse("/secret.txt", "00.log"), 0);  // not a zip
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "read file success!\nERROR : Cannot read file!\nERROR : Cannot open ZIP package file!\n"
              "ERROR : Cannot open ZIP package file!\n");

    // Zipping again into the same directory does not pack the old archive.
    ASSERT_EQ(iot_dir_compresse("/data/day", "/data/day/day.zip"), 1);
    ASSERT_EQ(iot_dir_compresse("/data/day", "/data/day/day.zip"), 1);
    EXPECT_EQ(zip_entries(root.at("/data/day/day.zip")), 2);
}

TEST_F(LogTest, ZipNothingToPackReturnsZero) {
    root.mkdirs("/data/empty/sub");
    EXPECT_EQ(iot_dir_compresse("/data/empty", "/data/e.zip"), 0);
    EXPECT_EQ(iot_dir_compresse("/data/missing", "/data/m.zip"), 0);
    EXPECT_FALSE(root.exists("/data/e.zip"));
    EXPECT_FALSE(root.exists("/data/m.zip"));
    EXPECT_NE(root.read(kHour10).find("/data/empty no files compressed"), std::string::npos);
}

TEST_F(LogTest, ZipTakesAtMost64FilesAndBoundedPaths) {
    for (int i = 0; i < 70; ++i) {
        char name[32];
        snprintf(name, sizeof name, "/d/f%02d", i);
        root.write(name, name);
    }
    ASSERT_EQ(iot_dir_compresse("/d", "/d.zip"), 1);
    EXPECT_EQ(zip_entries(root.at("/d.zip")), 64);
    std::string got;
    EXPECT_EQ(iot_zip_read_entry("/d.zip", "f63", &got), 1);
    EXPECT_EQ(got, "/d/f63");
    EXPECT_EQ(iot_zip_read_entry("/d.zip", "f64", &got), 0);
    EXPECT_NE(root.read(kHour10).find("not compressed: f69\n"), std::string::npos);

    // "/p/" + name: 127 characters fit, 128 do not.
    root.write("/p/" + std::string(124, 'a'), "fits");
    root.write("/p/" + std::string(125, 'b'), "too long");
    ASSERT_EQ(iot_dir_compresse("/p", "/p.zip"), 1);
    EXPECT_EQ(zip_entries(root.at("/p.zip")), 1);
    EXPECT_EQ(iot_zip_read_entry("/p.zip", std::string(124, 'a').c_str(), &got), 1);
}

TEST_F(LogTest, HostileArchiveIsReadIntoMemoryOnlyAndCapped) {
    const std::string path = root.at("/evil.zip");
    int err = 0;
    zip_t *z = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &err);
    ASSERT_NE(z, nullptr);
    static const std::string bomb(kZipEntryMax + 1, '\0');  // deflates to a few KiB
    static const std::string cap(kZipEntryMax, 'z');
    zip_file_add(z, "../../escape.txt", zip_source_buffer(z, "out", 3, 0), 0);
    zip_file_add(z, "bomb", zip_source_buffer(z, bomb.data(), bomb.size(), 0), 0);
    zip_file_add(z, "cap", zip_source_buffer(z, cap.data(), cap.size(), 0), 0);
    ASSERT_EQ(zip_close(z), 0);

    std::string got;
    EXPECT_EQ(iot_zip_read_entry("/evil.zip", "../../escape.txt", &got), 1);
    EXPECT_EQ(got, "out");
    EXPECT_FALSE(fs::exists(fs::path(root.path()).parent_path() / "escape.txt"));
    EXPECT_FALSE(root.exists("/escape.txt"));
    EXPECT_EQ(iot_zip_read_entry("/evil.zip", "bomb", &got), 0);
    ASSERT_EQ(iot_zip_read_entry("/evil.zip", "cap", &got), 1);
    EXPECT_EQ(got.size(), kZipEntryMax);
}

// ---- concurrency and failure --------------------------------------------------

TEST_F(LogTest, ConcurrentWritersNeverMixInsideALine) {
    constexpr int kThreads = 4, kMsgs = 400;
    const std::string pad(150, 'p');
    std::vector<std::thread> ts;
    for (int t = 0; t < kThreads; ++t) {
        ts.emplace_back([t, &pad] {
            for (int m = 0; m < kMsgs; ++m) {
                if (t % 2 == 0) {
                    mlog(LOG_TRACE, "t%d m%d %s\n", t, m, pad.c_str());
                } else {
                    tavi_log(LOG_TRACE, "t%d m%d %s\n", t, m, pad.c_str());
                }
            }
        });
    }
    for (auto &th : ts) th.join();
    const auto ls = lines_of(root.read(kHour10));
    ASSERT_EQ(ls.size(), static_cast<size_t>(kThreads * kMsgs));
    std::set<std::pair<int, int>> seen;
    for (const std::string &l : ls) {
        int t = -1, m = -1;
        char tag[4] = {};
        ASSERT_EQ(sscanf(l.c_str(), "%3s-TRACE-%*d-  t%d m%d", tag, &t, &m), 3) << l;
        const std::string want = std::string(t % 2 == 0 ? "IOT" : "SDK") + "-TRACE-" + secs(kT) + "-  t" +
                                 std::to_string(t) + " m" + std::to_string(m) + " " + pad;
        EXPECT_EQ(l, want);
        seen.insert({t, m});
    }
    EXPECT_EQ(seen.size(), static_cast<size_t>(kThreads * kMsgs));
}

TEST_F(LogTest, UnusableLogDirectoryLosesMessagesOnly) {
    root.write("/iot/log", "a regular file where the directory should be");
    EXPECT_EQ(mlog(LOG_ERROR, "lost\n"), 0);
    EXPECT_EQ(tavi_log(LOG_ERROR, "lost\n"), 0);
    mlogHex(LOG_ERROR, "ab", 2);
    testing::internal::CaptureStdout();
    clean_dir_log();
    force_clean_log();
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(root.read("/iot/log"), "a regular file where the directory should be");

    // An hour file that cannot be opened: a directory in its place.
    fs::remove(root.at("/iot/log"));
    root.mkdirs(kHour10);
    EXPECT_EQ(mlog(LOG_ERROR, "lost\n"), 0);
}

#ifdef TELAGENT_SIM
TEST(LogNoRoot, MissingRootNeverWritesOutsideIt) {
    unsetenv("TELAGENT_ROOT");
    plat_clock_fake(kT);
    mLogInit(2, LOG_TYPE_FILE);
    EXPECT_EQ(mlog(LOG_ERROR, "nowhere\n"), 0);
}
#endif

}  // namespace
