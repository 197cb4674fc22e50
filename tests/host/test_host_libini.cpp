// The host's choice of root and library.
#include <gtest/gtest.h>
#include <string>

#include "host_libini.h"

namespace {

std::string parse(const std::string &s) { return host_parse_lib_line(s.data(), s.size()); }

}  // namespace

TEST(HostRootEnv, AcceptsOnlyAbsoluteRootsOtherThanSlash) {
    std::string root = "unchanged";
    for (const char *bad : {"", "relative", "./x", "/", "//", "////"}) {
        EXPECT_EQ(host_root_from_env(bad, &root), -1) << bad;
    }
    EXPECT_EQ(host_root_from_env(nullptr, &root), -1);
    EXPECT_EQ(root, "unchanged");
    ASSERT_EQ(host_root_from_env("/tmp/box//", &root), 0);
    EXPECT_EQ(root, "/tmp/box");
    ASSERT_EQ(host_root_from_env("/b", &root), 0);
    EXPECT_EQ(root, "/b");
}

TEST(HostLibLine, CutsAtLineEndAndChecksLengthAndForm) {
    const std::string def = kHostDefaultLib;
    EXPECT_EQ(parse("/iot/lib/libTelAgentEx.so\n"), "/iot/lib/libTelAgentEx.so");
    EXPECT_EQ(parse("/iot/lib/libTelAgentEx.so\r\n"), "/iot/lib/libTelAgentEx.so");
    EXPECT_EQ(parse(std::string("/iot/x.so\0/other", 16)), "/iot/x.so");
    EXPECT_EQ(parse("/iot/a.so\r/b.so\n"), "/iot/a.so");
    // Length boundary: 6 characters count, 5 do not.
    EXPECT_EQ(parse("/ab.so"), "/ab.so");
    EXPECT_EQ(parse("/a.so\n"), def);
    EXPECT_EQ(parse("/a.so\nlonger-second-line"), def);
    EXPECT_EQ(parse(""), def);
    EXPECT_EQ(parse("\n/iot/lib/libTelAgentEx.so"), def);
    EXPECT_EQ(host_parse_lib_line(nullptr, 10), def);
    // Absolute only, and never out of the root.
    EXPECT_EQ(parse("iot/lib/libTelAgentEx.so"), def);
    EXPECT_EQ(parse(" /iot/lib/libTelAgentEx.so"), def);
    EXPECT_EQ(parse("/../../usr/lib/x.so"), def);
    EXPECT_EQ(parse("/iot/lib/.."), def);
    EXPECT_EQ(parse("/iot/lib..so/a...b.so"), "/iot/lib..so/a...b.so");
}

TEST(HostLibLine, OnlyTheFirst64BytesCount) {
    std::string p64 = "/iot/lib/";
    p64 += std::string(64 - p64.size(), 'y');
    ASSERT_EQ(p64.size(), 64u);
    EXPECT_EQ(parse(p64 + "zzzz\n"), p64);
    EXPECT_EQ(parse(p64), p64);
    // 64 bytes of something that only becomes a path after byte 64.
    EXPECT_EQ(parse(std::string(64, ' ') + "/iot/lib/libTelAgentEx.so"), kHostDefaultLib);
}
