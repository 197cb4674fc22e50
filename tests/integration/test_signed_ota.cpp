// Signed images on a whole box: with the operator's Ed25519 key provisioned,
// OTA files served by the cloud tool without a signature, with a flipped byte,
// signed by another key or with a cut signature are each answered 0 and leave
// nothing behind; a signed HEX image flashes devsim's GD32 and a signed library
// is installed and started.  Keys are made with openssl at run time.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "box_harness.h"

namespace fs = std::filesystem;

namespace {

struct Tool {
    int rc = -1;
    std::string out;
};

Tool tool(int port, std::vector<std::string> args, int timeout_ms = 120000) {
    std::vector<std::string> argv = {TELAGENT_CLOUD_BIN, "--port", std::to_string(port)};
    argv.insert(argv.end(), args.begin(), args.end());
    Tool t;
    t.rc = run_program(argv, {}, &t.out, timeout_ms);
    return t;
}

std::string sh(const std::string &cmd) {
    std::string out;
    run_program({"/bin/sh", "-c", cmd}, {}, &out, 30000);
    return out;
}

// Intel HEX of `n` bytes at `base` (extended linear address records).
std::string intel_hex(uint32_t base, size_t n) {
    std::string out;
    char line[64];
    auto record = [&](uint8_t type, uint16_t addr, const std::vector<uint8_t> &data) {
        unsigned sum = static_cast<unsigned>(data.size()) + (addr >> 8) + (addr & 0xFF) + type;
        snprintf(line, sizeof line, ":%02X%04X%02X", static_cast<unsigned>(data.size()), addr, type);
        out += line;
        for (uint8_t b : data) {
            snprintf(line, sizeof line, "%02X", b);
            out += line;
            sum += b;
        }
        snprintf(line, sizeof line, "%02X\r\n", (0x100 - (sum & 0xFF)) & 0xFF);
        out += line;
    };
    record(4, 0, {static_cast<uint8_t>(base >> 24), static_cast<uint8_t>(base >> 16)});
    for (size_t off = 0; off < n; off += 16) {
        std::vector<uint8_t> d;
        for (size_t i = 0; i < 16; ++i) d.push_back(static_cast<uint8_t>((off + i) * 7 + 3));
        record(0, static_cast<uint16_t>((base & 0xFFFF) + off), d);
    }
    record(1, 0, {});
    return out;
}

TEST(SignedOta, OnlyWhatTheOperatorSignedIsFlashedOrInstalled) {
    Broker broker;
    ASSERT_TRUE(broker.ok()) << broker.error();
    BoxOptions o;
    o.scenario = "[smd7]\necho = 0\n[bike]\nattached = 1\non = 1\n";
    o.mqtt_port = broker.port();
    Box box(o);
    ASSERT_TRUE(box.ok()) << box.error();
    ASSERT_TRUE(box.wait_console("imei --------- [", 30000));
    const std::string c0 = box.console();
    const size_t p = c0.find("imei --------- [") + 16;
    const std::string imei = c0.substr(p, c0.find(']', p) - p);

    // The operator's key pair and somebody else's.
    const std::string www = box.path("/var/www");
    const std::string keys = box.path("/var/keys");
    fs::create_directories(www);
    fs::create_directories(keys);
    sh("openssl genpkey -algorithm ed25519 -out " + keys + "/op.pem && openssl pkey -in " + keys +
       "/op.pem -pubout -out " + keys + "/op.pub && openssl genpkey -algorithm ed25519 -out " + keys + "/other.pem");
    ASSERT_TRUE(fs::exists(keys + "/op.pub"));
    box.put_file("/iot/conf/ota_pubkey.pem", read_text(keys + "/op.pub"));

    auto sign = [&](const std::string &name, const std::string &key) {
        Tool t;
        t.rc = run_program({TELAGENT_CLOUD_BIN, "sign", "--key", keys + "/" + key, www + "/" + name}, {}, &t.out, 10000);
        return t.rc == 0 && fs::file_size(www + "/" + name + ".sig") == 64;
    };
    for (const char *n : {"unsigned.so", "flipped.so", "other.so", "short.so", "good.so"}) {
        fs::copy_file(TELAGENT_LIB_FILE, www + "/" + n);
    }
    ASSERT_TRUE(sign("flipped.so", "op.pem"));
    {
        std::fstream f(www + "/flipped.so", std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(20000);
        f.put('\x5A');
    }
    ASSERT_TRUE(sign("other.so", "other.pem"));
    ASSERT_TRUE(sign("short.so", "op.pem"));
    fs::resize_file(www + "/short.so.sig", 63);
    ASSERT_TRUE(sign("good.so", "op.pem"));
    std::ofstream(www + "/GD32.hex", std::ios::binary) << intel_hex(0x08004000u, 8192);
    ASSERT_TRUE(sign("GD32.hex", "op.pem"));

    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const pid_t srv = fork();
    if (srv == 0) {
        setpgid(0, 0);
        dup2(fds[1], 1);
        execl(TELAGENT_CLOUD_BIN, TELAGENT_CLOUD_BIN, "serve", www.c_str(), "--port", "0", static_cast<char *>(nullptr));
        _exit(127);
    }
    close(fds[1]);
    char line[256] = {};
    ASSERT_GT(read(fds[0], line, sizeof line - 1), 0);
    const std::string l(line);
    const size_t colon = l.rfind(':');
    const std::string url = "http://127.0.0.1:" + l.substr(colon + 1, l.find('/', colon) - colon - 1) + "/";

    ASSERT_TRUE(poll_until([&] { return tool(broker.port(), {"request", imei, "diag", "00", "--timeout", "3"}).rc == 0; },
                           90000))
        << box.console().substr(0, 3000);
    const std::string ini = box.file("/iot/conf/libiot.ini");
    struct Bad {
        const char *file;
        std::string reason;
    };
    const Bad bad[] = {
        {"unsigned.so", "no signature at " + url + "unsigned.so.sig"},
        {"flipped.so", "signature does not match"},
        {"other.so", "signature does not match"},
        {"short.so", "signature is 63 bytes, not 64"},
    };
    for (const Bad &b : bad) {
        SCOPED_TRACE(b.file);
        Tool t = tool(broker.port(), {"request", imei, "ota", "lib", url + b.file, "--json"});
        EXPECT_NE(t.out.find("\"target\":6,\"status\":0"), std::string::npos) << t.out;
        EXPECT_NE(box.console().find("/iot/lib/libTelAgentEx.so.part refused: " + b.reason), std::string::npos)
            << box.console().substr(box.console().size() > 3000 ? box.console().size() - 3000 : 0);
        EXPECT_FALSE(fs::exists(box.path("/iot/lib/libTelAgentEx.so")));
        EXPECT_FALSE(fs::exists(box.path("/iot/lib/libTelAgentEx.so.part")));
        EXPECT_FALSE(fs::exists(box.path("/iot/lib/libTelAgentEx.so.part.sig")));
        EXPECT_EQ(box.file("/iot/conf/libiot.ini"), ini);
    }
    EXPECT_EQ(box.actions().find(" reboot"), std::string::npos);

    Tool t = tool(broker.port(), {"request", imei, "ota", "gd32", url + "GD32.hex", "--json"}, 240000);
    EXPECT_NE(t.out.find("\"target\":8,\"status\":1"), std::string::npos) << t.out;
    EXPECT_NE(box.console().find("/iot/conf/GD32.hex.part: signature good"), std::string::npos);

    t = tool(broker.port(), {"request", imei, "ota", "lib", url + "good.so", "--json"});
    EXPECT_NE(t.out.find("\"target\":6,\"status\":1"), std::string::npos) << t.out;
    EXPECT_TRUE(box.wait_console("[host] starting /iot/lib/libTelAgentEx.so\n", 30000));
    EXPECT_EQ(fs::file_size(box.path("/iot/lib/libTelAgentEx.so")), fs::file_size(TELAGENT_LIB_FILE));
    kill(-srv, SIGTERM);
    waitpid(srv, nullptr, 0);
    close(fds[0]);
}

}  // namespace
