// Provisioning checks against a scripted modem on a pseudo-terminal: replies
// that are wrong, short, cut or hostile, the write / read-back rhythm on the
// fake clock, and the context-list parser on its own.
#include "lte/nv_handle.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "lte/lte_handle.h"
#include "platform/plat_clock.h"
#include "support/pty_modem.h"
#include "support/test_root.h"

namespace {

class NvHandleTest : public ::testing::Test {
protected:
    void SetUp() override {
        plat_clock_fake(1765000000);
        init_lte_common();
    }
    std::string smd7() const { return root.at("/dev/smd7"); }
    size_t sent(const PtyModem &m, const std::string &cmd) const {
        size_t n = 0;
        for (const std::string &c : m.commands()) n += c == cmd;
        return n;
    }
    TestRoot root;
};

ModemScript replies(std::vector<std::pair<std::string, std::string>> table) {
    return [table](const std::string &cmd) {
        for (const auto &kv : table) {
            if (cmd == kv.first) return std::vector<ModemChunk>{{0, kv.second}};
        }
        return std::vector<ModemChunk>{{0, "\r\nOK\r\n"}};
    };
}

}  // namespace

TEST(CgdcontParse, DuplicatesAnywhereInTheList) {
    const auto line = [](int id) { return "+CGDCONT: " + std::to_string(id) + ",\"IP\",\"apn\",\"0.0.0.0\",0,0\r\n"; };
    EXPECT_EQ(cgdcont_duplicate((line(1) + line(2) + "OK").c_str()), 0);
    EXPECT_EQ(cgdcont_duplicate((line(1) + line(2) + line(2)).c_str()), 2);
    EXPECT_EQ(cgdcont_duplicate((line(2) + line(5) + line(5)).c_str()), 5);  // a gap before the duplicate
    EXPECT_EQ(cgdcont_duplicate((line(3) + line(1) + line(3)).c_str()), 3);  // out of order
    EXPECT_EQ(cgdcont_duplicate((line(99) + line(99)).c_str()), 99);
    EXPECT_EQ(cgdcont_duplicate(""), 0);
    EXPECT_EQ(cgdcont_duplicate(nullptr), 0);
    // Not context ids: no digits, no comma, zero, out of range, overlong digit runs.
    EXPECT_EQ(cgdcont_duplicate("+CGDCONT: ,+CGDCONT: ,"), 0);
    EXPECT_EQ(cgdcont_duplicate("+CGDCONT: 1\r\n+CGDCONT: 1\r\n"), 0);
    EXPECT_EQ(cgdcont_duplicate("+CGDCONT: 0,+CGDCONT: 0,"), 0);
    EXPECT_EQ(cgdcont_duplicate("+CGDCONT: 100,+CGDCONT: 100,"), 0);
    EXPECT_EQ(cgdcont_duplicate("+CGDCONT: 99999999999999999999,+CGDCONT: 99999999999999999999,"), 0);
    EXPECT_EQ(cgdcont_duplicate("+CGDCONT: -1,+CGDCONT: -1,"), 0);
    EXPECT_EQ(cgdcont_duplicate("+CGDCONT: 02,+CGDCONT: 2,"), 0);  // found by the fuzzer: "02" is no id
    // A list ending in the middle of a tag.
    EXPECT_EQ(cgdcont_duplicate("+CGDCONT: 1,+CGDCONT: "), 0);
    EXPECT_EQ(cgdcont_duplicate("+CGDCONT: 1,+CGDCONT: 1"), 0);
}

TEST_F(NvHandleTest, WrongValueIsWrittenThreeTimesWithItsPausesAndStillCountsAsAChange) {
    // Reads always show "0002", writes are answered OK and forgotten.
    PtyModem m(smd7(), replies({{"at+nvrw=0,850", "\r\n+NVRW:\"0002\"\r\n\r\nOK\r\n"}}), false);
    ASSERT_TRUE(m.ok());
    const int64_t t0 = plat_mono_ms();
    EXPECT_EQ(check_ps(), 1);
    EXPECT_EQ(plat_mono_ms() - t0, 3 * 3000);  // 3 s settling after each write, nothing else
    EXPECT_EQ(sent(m, "at+nvrw=1,850,\"0001\""), 3u);
    EXPECT_EQ(sent(m, "at+nvrw=0,850"), 4u);
}

TEST_F(NvHandleTest, ShortOrErrorRepliesAreUnreadAndNeverWritten) {
    PtyModem m(smd7(), replies({{"at+nvrw=0,850", "\r\nERROR\r\n"},
                                {"at+nvrw=0,5596", "\r\n+NVRW:\"0\"\r\n"},
                                {"at+efsrw=0,0,\"/nv/item_files/ims/IMS_enable\"", "\r\n0\r\n"},
                                {"at+nvburs=2", "\r\nOK"},
                                {"at+cgdcont?", "\r\nERROR\r\n"}}),
               false);
    ASSERT_TRUE(m.ok());
    EXPECT_EQ(check_ps(), 0);       // 9 characters: below the 16 an NV reply needs
    EXPECT_EQ(check_gps_ldm(), 0);  // 13
    EXPECT_EQ(disable_ims(), 0);    // 5: below the 6 of an EFS reply
    EXPECT_EQ(check_nvburs(), 0);   // 4
    EXPECT_EQ(check_cgdcont(), 0);  // a list that is not "OK" is no clean list
    for (const std::string &c : m.commands()) {
        EXPECT_EQ(c.find("=1,"), std::string::npos) << c;
        EXPECT_NE(c, "at+nvburs=0");
    }
    EXPECT_EQ(m.commands().size(), 5u);
}

TEST_F(NvHandleTest, BurstModeIsSwitchedOffWithoutReadBackAndACutListStaysBounded) {
    std::string list;
    for (int i = 1; i <= 20; ++i) list += "+CGDCONT: " + std::to_string(i) + ",\"IP\",\"internet\",\"0.0.0.0\",0,0\r\n";
    list += "+CGDCONT: 20,\"IP\"\r\nOK\r\n";  // the duplicate lies beyond the 688 bytes read
    ASSERT_GT(list.size(), 688u);
    PtyModem m(smd7(), replies({{"at+nvburs=2", "\r\n+nvburs: 1\r\n\r\nOK\r\n"}, {"at+cgdcont?", list}}), false);
    ASSERT_TRUE(m.ok());
    EXPECT_EQ(check_nvburs(), 1);
    EXPECT_EQ(m.commands(), (std::vector<std::string>{"at+nvburs=2", "at+nvburs=0"}));
    EXPECT_EQ(check_cgdcont(), 0);  // cut before its "OK": not judged, nothing undone
    EXPECT_EQ(sent(m, "at+cgdcont=20"), 0u);
}
