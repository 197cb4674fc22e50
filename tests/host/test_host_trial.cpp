// The host's trial of a new library, as decisions over a clock given by hand:
// the fourth end within the window goes back, the third does not, a load
// failure goes back at once, and a library that outlived its window is kept.
#include <gtest/gtest.h>

#include <string>

#include "host_fallback.h"

namespace {

const std::string kOld = "/iot/lib/libTelAgent.so";
const std::string kNew = "/iot/lib/libTelAgentEx.so";
constexpr int64_t kWin = kHostTrialWindowMs;

TEST(HostTrial, FirstLibraryBecomesTheGoodOne) {
    HostTrial t;
    bool persist = false;
    EXPECT_FALSE(host_trial_begin(&t, kOld, 0, &persist));
    EXPECT_TRUE(persist);
    EXPECT_EQ(t.good, kOld);
    // Ends of a library not on trial never send it anywhere.
    for (int i = 0; i < 10; ++i) EXPECT_EQ(host_trial_end(&t, 139, i, kWin, nullptr), HostVerdict::kRestart);
}

TEST(HostTrial, FourthEndWithinTheWindowGoesBack) {
    HostTrial t;
    t.good = kOld;
    bool persist = false;
    int64_t now = 1000;
    for (int i = 0; i < kHostTrialEnds; ++i) {
        EXPECT_TRUE(host_trial_begin(&t, kNew, now, &persist));
        EXPECT_FALSE(persist);
        now += 60 * 1000;
        EXPECT_EQ(host_trial_end(&t, 139, now, kWin, nullptr), HostVerdict::kRestart) << i;
    }
    EXPECT_TRUE(host_trial_begin(&t, kNew, now, &persist));
    std::string why;
    EXPECT_EQ(host_trial_end(&t, 0, kWin - 1 + 1000, kWin, &why), HostVerdict::kFallBack);
    EXPECT_NE(why.find("ended 4 times"), std::string::npos) << why;
    EXPECT_EQ(t.good, kOld);
    EXPECT_TRUE(t.trial.empty());
}

TEST(HostTrial, LoadFailureGoesBackAtOnce) {
    HostTrial t;
    t.good = kOld;
    bool persist = false;
    ASSERT_TRUE(host_trial_begin(&t, kNew, 0, &persist));
    std::string why;
    EXPECT_EQ(host_trial_end(&t, kHostLoadFailed, 10, kWin, &why), HostVerdict::kFallBack);
    EXPECT_NE(why.find("cannot be loaded"), std::string::npos);
}

TEST(HostTrial, EndsAfterTheWindowDoNotCountAndKeepTheNewOne) {
    HostTrial t;
    t.good = kOld;
    bool persist = false;
    ASSERT_TRUE(host_trial_begin(&t, kNew, 0, &persist));
    for (int i = 0; i < kHostTrialEnds; ++i) EXPECT_EQ(host_trial_end(&t, 1, 10 + i, kWin, nullptr), HostVerdict::kRestart);
    ASSERT_TRUE(host_trial_begin(&t, kNew, 100, &persist));
    // The fourth end comes just after the window closed: kept, now good.
    EXPECT_EQ(host_trial_end(&t, 1, kWin, kWin, nullptr), HostVerdict::kRestart);
    EXPECT_EQ(t.good, kNew);
    EXPECT_FALSE(host_trial_begin(&t, kNew, kWin + 1, &persist));
}

TEST(HostTrial, RunningThroughTheWindowPasses) {
    HostTrial t;
    t.good = kOld;
    bool persist = false;
    ASSERT_TRUE(host_trial_begin(&t, kNew, 500, &persist));
    EXPECT_FALSE(host_trial_passed(&t, 500 + kWin - 1, kWin));
    EXPECT_TRUE(host_trial_passed(&t, 500 + kWin, kWin));
    EXPECT_EQ(t.good, kNew);
}

TEST(HostTrial, UpdateDuringATrialFallsBackToTheLibraryThatFetchedIt) {
    HostTrial t;
    bool persist = false;
    EXPECT_FALSE(host_trial_begin(&t, kOld, 0, &persist));
    EXPECT_TRUE(host_trial_begin(&t, kNew, 10, &persist));
    EXPECT_EQ(t.good, kOld);
    // The new library, still on trial, writes a newer one over the old file.
    EXPECT_TRUE(host_trial_begin(&t, kOld, 20, &persist));
    EXPECT_TRUE(persist);
    EXPECT_EQ(t.good, kNew);
    EXPECT_EQ(t.trial, kOld);
    std::string why;
    EXPECT_EQ(host_trial_end(&t, kHostLoadFailed, 30, kWin, &why), HostVerdict::kFallBack);
    EXPECT_EQ(t.good, kNew);
    // Starting the good one after going back is no new switch.
    EXPECT_FALSE(host_trial_begin(&t, kNew, 40, &persist));
    EXPECT_FALSE(persist);
    EXPECT_EQ(t.good, kNew);
}

TEST(HostTrial, GoodFileFollowsTheIniRules) {
    char tmpl[] = "/tmp/hosttrialXXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string root = tmpl;
    EXPECT_EQ(host_read_good_lib(root), "");
    ASSERT_EQ(system(("mkdir -p " + root + "/iot/conf").c_str()), 0);
    ASSERT_EQ(host_write_lib_file(root, "/iot/conf/libiot.good", kNew), 0);
    EXPECT_EQ(host_read_good_lib(root), kNew);
    ASSERT_EQ(host_write_lib_file(root, "/iot/conf/libiot.good", "/iot/../etc/x.so"), 0);
    EXPECT_EQ(host_read_good_lib(root), "");  // a rejected name is no name
    ASSERT_EQ(system(("rm -rf " + root).c_str()), 0);
}

TEST(HostTrial, WithAHealthWindowOnlyTheTrialLibrarysMarkerKeepsIt) {
    constexpr int64_t kHealth = kHostHealthWindowMs;
    HostTrial t;
    t.good = kOld;
    bool persist = false;
    ASSERT_TRUE(host_trial_begin(&t, kNew, 0, &persist));
    // The old library's marker, or none, says nothing about the new one.
    EXPECT_FALSE(host_trial_healthy(&t, kOld));
    EXPECT_FALSE(host_trial_healthy(&t, ""));
    // Outliving the crash-loop window keeps nothing any more.
    EXPECT_EQ(host_trial_end(&t, 1, kWin, kWin, nullptr, kHealth), HostVerdict::kRestart);
    EXPECT_EQ(t.trial, kNew);
    EXPECT_FALSE(host_trial_unhealthy(&t, kHealth - 1, kHealth, nullptr));
    std::string why;
    EXPECT_EQ(host_trial_end(&t, 0, kHealth, kWin, &why, kHealth), HostVerdict::kFallBack);
    EXPECT_NE(why.find(kNew + " did not reach its broker within 600 s"), std::string::npos) << why;
    EXPECT_EQ(t.good, kOld);

    ASSERT_TRUE(host_trial_begin(&t, kNew, kHealth + 10, &persist));
    EXPECT_TRUE(host_trial_healthy(&t, kNew));
    EXPECT_EQ(t.good, kNew);
    EXPECT_FALSE(host_trial_unhealthy(&t, 10 * kHealth, kHealth, nullptr));
}

}  // namespace
