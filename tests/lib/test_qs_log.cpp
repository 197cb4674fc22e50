// Library log: cumulative level masks, exact line shape, the 1024-byte bound.
#include "lib/qs_common_api/platform/qs_log/src/qs_log.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace {

std::vector<std::pair<int, std::string>> g_lines;

void collect(QS_OL_LOG_LEVEL level, const char *text) { g_lines.emplace_back(level, text); }

}  // namespace

TEST(QsLog, SilentUntilAHostSetsLevelAndCallback) {
    g_lines.clear();
    qs_ol_log(QS_OL_LOG_EMERGENCY, "a.c", "f", 1, "x");
    QS_OL_Liblog_Level_Set(QS_OL_LOG_DEBUG, nullptr);
    qs_ol_log(QS_OL_LOG_EMERGENCY, "a.c", "f", 1, "x");
    EXPECT_TRUE(g_lines.empty());
}

TEST(QsLog, ConfiguredLevelPassesItselfAndEveryMoreSevereLevelOnly) {
    g_lines.clear();
    QS_OL_Liblog_Level_Set(QS_OL_LOG_WARNING, collect);
    const QS_OL_LOG_LEVEL all[] = {QS_OL_LOG_EMERGENCY, QS_OL_LOG_ALERT, QS_OL_LOG_CRITICAL, QS_OL_LOG_ERROR,
                                   QS_OL_LOG_WARNING,   QS_OL_LOG_NOTICE, QS_OL_LOG_INFO,   QS_OL_LOG_DEBUG};
    for (QS_OL_LOG_LEVEL l : all) qs_ol_log(l, "x.c", "f", 1, "%d", static_cast<int>(l));
    ASSERT_EQ(g_lines.size(), 5u);
    EXPECT_EQ(g_lines[3].first, QS_OL_LOG_ERROR);
    EXPECT_EQ(g_lines[3].second, "[x.c]f|001::15\n");
    EXPECT_EQ(g_lines[4].first, QS_OL_LOG_WARNING);

    // A level that is no mask of ours passes only when all its bits are allowed.
    g_lines.clear();
    qs_ol_log(static_cast<QS_OL_LOG_LEVEL>(32), "x.c", "f", 1, "odd");
    qs_ol_log(QS_OL_LOG_NONE, "x.c", "f", 1, "none");
    EXPECT_TRUE(g_lines.empty());

    QS_OL_Liblog_Level_Set(QS_OL_LOG_NONE, collect);
    qs_ol_log(QS_OL_LOG_EMERGENCY, "x.c", "f", 1, "e");
    EXPECT_TRUE(g_lines.empty());
}

TEST(QsLog, LineCarriesShortFileNameFunctionAndPaddedLine) {
    g_lines.clear();
    QS_OL_Liblog_Level_Set(QS_OL_LOG_DEBUG, collect);
    qs_ol_log(QS_OL_LOG_DEBUG, "/build/src/qmi/nas/qs_qmi_nas.c", "nas_ind_cb", 7, "state %d", 1);
    qs_ol_log(QS_OL_LOG_DEBUG, "C:\\work\\dms.c", "g", 1234, "x");
    qs_ol_log(QS_OL_LOG_DEBUG, "plain.c", "h", 0, "y");
    qs_ol_log(QS_OL_LOG_DEBUG, "dir/", "h", 5, "z");
    QS_OL_LOG(QS_OL_LOG_NOTICE, "macro");
    ASSERT_EQ(g_lines.size(), 5u);
    EXPECT_EQ(g_lines[0].second, "[qs_qmi_nas.c]nas_ind_cb|007::state 1\n");
    EXPECT_EQ(g_lines[1].second, "[dms.c]g|1234::x\n");
    EXPECT_EQ(g_lines[2].second, "[plain.c]h|000::y\n");
    EXPECT_EQ(g_lines[3].second, "[]h|005::z\n");
    EXPECT_EQ(g_lines[4].first, QS_OL_LOG_NOTICE);
    EXPECT_EQ(g_lines[4].second.rfind("[test_qs_log.cpp]", 0), 0u) << g_lines[4].second;
}

TEST(QsLog, LongMessageIsCutWithinTheLineBoundAndStillEndsWithALineFeed) {
    g_lines.clear();
    QS_OL_Liblog_Level_Set(QS_OL_LOG_DEBUG, collect);
    const std::string big(5000, 'm');
    qs_ol_log(QS_OL_LOG_ERROR, "f.c", "fn", 1, "%s", big.c_str());
    const std::string func(2000, 'F');  // even a prefix beyond the bound
    qs_ol_log(QS_OL_LOG_ERROR, "f.c", func.c_str(), 1, "tail");
    ASSERT_EQ(g_lines.size(), 2u);
    for (const auto &l : g_lines) {
        EXPECT_EQ(l.second.size(), static_cast<size_t>(QS_OL_LOG_LINE_MAX - 1));
        EXPECT_EQ(l.second.back(), '\n');
    }
    EXPECT_EQ(g_lines[0].second.rfind("[f.c]fn|001::mmm", 0), 0u);
}
