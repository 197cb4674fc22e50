// The cloud tool's request side: frames built from plain arguments (checked
// against the box's own parsers), responses decoded or refused, and the
// loopback file server answering, refusing paths out of its directory.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "cloud_request.h"
#include "cloud_serve.h"

namespace {

const uint8_t kIdent[4] = {0xDE, 0xAD, 0xBE, 0xEF};

CloudRequest build(const std::vector<std::string> &a) {
    CloudRequest r;
    std::string why;
    EXPECT_EQ(build_cloud_request(a, kIdent, &r, &why), 0) << why;
    return r;
}

TEST(CloudRequest, FramesFromPlainArguments) {
    EXPECT_EQ(cloud_hex(build({"lock"}).frame), "0102021CDEADBEEF0002000200" "0100");
    EXPECT_EQ(cloud_hex(build({"unlock"}).frame), "0102021CDEADBEEF0002000200" "0000");
    EXPECT_EQ(cloud_hex(build({"light", "on"}).frame), "0102021CDEADBEEF0003000200" "0100");
    EXPECT_EQ(cloud_hex(build({"power", "off"}).frame), "0102021CDEADBEEF0001000200" "0000");
    EXPECT_EQ(cloud_hex(build({"interval", "60"}).frame), "0102021CDEADBEEF00EA030200" "3C00");
    EXPECT_EQ(cloud_hex(build({"diag", "0a0B"}).frame), "0102021CDEADBEEF00E9030200" "0A0B");
    // The box reads the body back to front.
    EXPECT_EQ(cloud_hex(build({"servers", "h:1"}).frame), "0102021CDEADBEEF00EC030300" "313A68");
    const CloudRequest ota = build({"ota", "gd32", "http://a:1/b"});
    EXPECT_EQ(ota.kind, "ota");
    EXPECT_EQ(cloud_hex(ota.frame), "0102021CDEADBEEF080C00" + cloud_hex({'b', '/', '1', ':', 'a', '/', '/', ':', 'p', 't', 't', 'h'}));
    const CloudRequest motor = build({"ota", "motor", "http://a:1/b", "1"});
    EXPECT_EQ(motor.frame.back(), 1);
    EXPECT_EQ(motor.frame.size(), 11u + 12u + 1u);
    EXPECT_EQ(build({"extra"}).kind, "extra_data");
    EXPECT_FALSE(build({"speaker"}).expects_response);
    EXPECT_FALSE(build({"ota", "ble", "http://a:1/b"}).expects_response);
}

TEST(CloudRequest, BadArgumentsAreRefused) {
    const std::vector<std::vector<std::string>> bad = {
        {}, {"fly"}, {"lock", "now"}, {"light", "dim"}, {"interval", "256"}, {"interval", "-1"}, {"interval", "6x"},
        {"diag", "abc"}, {"diag", "zz"}, {"cmd", "70000", "00"}, {"servers"}, {"ota", "gd32"}, {"ota", "toaster", "http://a:1/b"},
        {"ota", "motor", "http://a:1/b", "300"}, {"ota", "lib", std::string(256, 'u')}};
    for (const auto &a : bad) {
        CloudRequest r;
        std::string why;
        EXPECT_EQ(build_cloud_request(a, kIdent, &r, &why), -1) << (a.empty() ? "" : a[0]);
        EXPECT_FALSE(why.empty());
    }
}

TEST(CloudRequest, ResponsesDecodedOnlyWhenTheyAnswerThisRequest) {
    std::string text, json, why;
    ASSERT_EQ(decode_cloud_response("cmd", "0102021CDEADBEEF0002000200" "0100", kIdent, &text, &json, &why), 1) << why;
    EXPECT_EQ(text, "motor lock: result 1 (done)");
    EXPECT_EQ(json, "{\"kind\":\"cmd\",\"cmd\":2,\"result\":1,\"data\":\"0100\"}");
    EXPECT_EQ(decode_cloud_response("cmd", "0102021C11ADBEEF0002000200" "0100", kIdent, &text, &json, &why), 0);
    EXPECT_EQ(why, "answers another request");
    EXPECT_EQ(decode_cloud_response("cmd", "0102021CDEADBEEF0002000300" "0100", kIdent, &text, &json, &why), 0);
    EXPECT_EQ(decode_cloud_response("cmd", "0102021CDEADBEEF00020002", kIdent, &text, &json, &why), 0);
    EXPECT_EQ(decode_cloud_response("cmd", "0102021CDEADBEEF0002000200010", kIdent, &text, &json, &why), 0);
    ASSERT_EQ(decode_cloud_response("ota", "0102021CDEADBEEF080000", kIdent, &text, &json, &why), 1);
    EXPECT_EQ(json, "{\"kind\":\"ota\",\"target\":8,\"status\":0}");
    std::string extra = "0102021CDEADBEEFA000" + std::string(320, 'F');
    extra.replace(2 * 18, 20, "89860012345678901230");
    extra.replace(2 * 52, 12, "4B426F783430");  // KBox40
    ASSERT_EQ(decode_cloud_response("extra_data", extra, kIdent, &text, &json, &why), 1) << why;
    EXPECT_NE(json.find("\"iccid\":\"89860012345678901230\""), std::string::npos) << json;
    EXPECT_NE(json.find("\"product\":\"KBox40\""), std::string::npos) << json;
    EXPECT_NE(json.find("\"motor_sw\":null"), std::string::npos) << json;
    EXPECT_EQ(decode_cloud_response("extra_data", extra.substr(2), kIdent, &text, &json, &why), 0);
}

std::string http_get_local(int port, const std::string &path) {
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        close(s);
        return "";
    }
    const std::string req = "GET " + path + " HTTP/1.1\nHost: 127.0.0.1\n\n";
    if (write(s, req.data(), req.size()) < 0) return "";
    std::string out;
    char buf[4096];
    ssize_t n;
    while ((n = read(s, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
    close(s);
    return out;
}

TEST(CloudServe, ServesFilesAndNothingOutsideItsDirectory) {
    EXPECT_EQ(cloud_serve_map("/d", "/a/b.hex"), "/d/a/b.hex");
    EXPECT_EQ(cloud_serve_map("/d", "/../etc/passwd"), "");
    EXPECT_EQ(cloud_serve_map("/d", "/a/../../x"), "");
    EXPECT_EQ(cloud_serve_map("/d", "/a?x=1"), "");
    EXPECT_EQ(cloud_serve_map("/d", "/%2e%2e/x"), "");
    EXPECT_EQ(cloud_serve_map("/d", "a"), "");

    char tmpl[] = "/tmp/cloudserveXXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string dir = tmpl;
    std::ofstream(dir + "/GD32.hex") << std::string(20000, 'x');
    // A free port: bind, read, release.
    const int probe = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t al = sizeof a;
    ASSERT_EQ(bind(probe, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    getsockname(probe, reinterpret_cast<sockaddr *>(&a), &al);
    const int port = ntohs(a.sin_port);
    close(probe);
    std::atomic<bool> stop{false};
    std::thread t([&] { cloud_serve(dir, port, &stop); });
    std::string got;
    for (int i = 0; i < 100 && got.empty(); ++i) {
        usleep(20000);
        got = http_get_local(port, "/GD32.hex");
    }
    EXPECT_EQ(got.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << got.substr(0, 100);
    EXPECT_NE(got.find("Content-Length: 20000\r\n"), std::string::npos);
    EXPECT_EQ(got.substr(got.find("\r\n\r\n") + 4), std::string(20000, 'x'));
    EXPECT_EQ(http_get_local(port, "/../GD32.hex").rfind("HTTP/1.1 404", 0), 0u);
    EXPECT_EQ(http_get_local(port, "/missing.hex").rfind("HTTP/1.1 404", 0), 0u);
    stop.store(true);
    t.join();
    std::filesystem::remove_all(dir);
}

}  // namespace
