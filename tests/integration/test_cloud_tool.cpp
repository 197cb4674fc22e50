// The operator's cloud tool: its decoder on good, odd and hostile text, and
// the built telagent-cloud against a real mosquitto that delivers frames of
// other boxes, broken payloads, responses, and goes away in the middle.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <pty.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "cloud/mqtt_test_env.h"
#include "cloud/uplink_frame.h"
#include "telemetry_json.h"

namespace {

std::string frame_hex(const telemetry_t &t, bool lower = false) {
    uint8_t f[kTelemetryLen];
    telemetry_pack(t, f);
    char text[kTelemetryHexLen];
    at_hex_to_chars(f, kTelemetryLen, text, sizeof text);
    std::string s(text, sizeof text);
    if (lower)
        for (auto &c : s) c = static_cast<char>(tolower(c));
    return s;
}

telemetry_t moving_bike() {
    telemetry_t t;
    telemetry_defaults(&t);
    t.latitude_e6 = -33868819;
    t.longitude_e6 = 151209300;
    t.altitude_m = 0xFFFB;  // -5 m
    t.snr_sum = 134;
    t.csq = 23;
    t.BikeSpeed = 25;
    t.odo = 123456;
    t.current[1] = 0xFF9C;  // -100
    t.soc[0] = 80;
    t.temperature[0] = 25;
    t.BatteryNumber = 1;
    t.flags = TLM_FLAG_BIKE_ON | TLM_FLAG_LIGHT_ON;
    t.alarm = TLM_ALARM_TILT;
    t.report_interval = 10;
    return t;
}

bool has(const std::string &hay, const std::string &needle) { return hay.find(needle) != std::string::npos; }

}  // namespace

TEST(CloudToolDecode, TelemetryBecomesJsonWithUnitsNullsAndSpelledOutFlags) {
    const telemetry_t t = moving_bike();
    telemetry_t r;
    std::string why;
    const std::string text = "  " + frame_hex(t, true) + "\r\n";  // any case, blanks around
    ASSERT_EQ(decode_telemetry_text(text.data(), text.size(), &r, &why), 1) << why;
    const std::string j = telemetry_json(r, "866123045678901", "");
    EXPECT_TRUE(has(j, "\"imei\":\"866123045678901\"")) << j;
    EXPECT_TRUE(has(j, "\"fix\":true,\"latitude_deg\":-33.868819,\"longitude_deg\":151.209300,\"altitude_m\":-5"))
        << j;
    EXPECT_TRUE(has(j, "\"cell\":null"));
    EXPECT_TRUE(has(j, "\"speed_kmh\":25"));
    EXPECT_TRUE(has(j, "\"cadence\":null"));  // never sent
    EXPECT_TRUE(has(j, "{\"soc_pct\":80,\"voltage\":null,\"current\":null,\"temperature_c\":25")) << j;
    EXPECT_TRUE(has(j, "\"current\":-100"));
    EXPECT_TRUE(has(j, "\"flags\":{\"bike_on\":true,\"motor_locked\":false,\"light_on\":true}"));
    EXPECT_TRUE(has(j, "\"alarms\":{\"tilt\":true,\"moved_while_locked\":false}"));
    EXPECT_TRUE(has(j, "\"report_interval_s\":10}"));
    EXPECT_EQ(j.find('\n'), std::string::npos);

    // Without a fix the position is null and the cell is spelled out.
    telemetry_t n = moving_bike();
    n.latitude_e6 = n.longitude_e6 = -1;
    n.altitude_m = n.snr_sum = 0xFFFF;
    n.mcc = 460;
    n.mnc = 1;
    n.cell_id = 12345;
    n.lac = 0x1A2B;
    const std::string nt = frame_hex(n);
    ASSERT_EQ(decode_telemetry_text(nt.data(), nt.size(), &r, &why), 1);
    const std::string nj = telemetry_json(r, "", "");
    EXPECT_TRUE(has(nj, "\"fix\":false,\"latitude_deg\":null")) << nj;
    EXPECT_TRUE(has(nj, "\"cell\":{\"mcc\":460,\"mnc\":1,\"cell_id\":12345,\"lac\":6699}")) << nj;
    EXPECT_TRUE(has(table_row(r, "866123045678901", "10:00:00"), "cell 460-1 12345"));
}

TEST(CloudToolDecode, BrokenOrForeignTextIsRefusedWithAReason) {
    const std::string good = frame_hex(moving_bike());
    telemetry_t r;
    std::string why;
    struct Case {
        std::string text;
        const char *reason;
    } cases[] = {
        {"", "empty"},
        {"   ", "empty"},
        {good.substr(1), "not hex"},                          // odd length
        {good.substr(0, 100) + "G" + good.substr(101), "not hex"},
        {good.substr(0, 214), "107 bytes"},                   // one byte short
        {good + "00", "109 bytes"},
        {"0102021D" + good.substr(8), "header"},             // a response's header
        {good.substr(0, 16) + "6100" + good.substr(20), "header"},  // length field 97
        {std::string(5000, 'A'), "too long"},
        {std::string("01\0" "2", 4), "not hex"},
    };
    for (const auto &c : cases) {
        why.clear();
        EXPECT_EQ(decode_telemetry_text(c.text.data(), c.text.size(), &r, &why), 0) << c.text;
        EXPECT_TRUE(has(why, c.reason)) << why << " for " << c.text.substr(0, 40);
    }
    // Payload bytes that are not text are quoted, never passed through raw.
    const std::string j = other_json("zt/ebike/devices/1/x", std::string("a\"\\\n\x01\xff", 6), "", "");
    EXPECT_TRUE(has(j, "\"payload\":\"a\\\"\\\\\\u000a\\u0001\\u00ff\"")) << j;
    EXPECT_EQ(imei_of_topic("zt/ebike/devices/866/common/data/"), "866");
    EXPECT_EQ(imei_of_topic("other/866"), "");
}

// ---- the program ----------------------------------------------------------

namespace {

using mqtt_test::Broker;

struct ToolRun {
    int rc;
    std::string out;
};

ToolRun run_tool(const std::vector<std::string> &args, int timeout_ms = 10000) {
    std::vector<std::string> argv = {TELAGENT_CLOUD_BIN};
    argv.insert(argv.end(), args.begin(), args.end());
    ToolRun r;
    r.rc = mqtt_test::run_program(argv, &r.out, timeout_ms);
    return r;
}

// The tool running in the background, its output in a file.
struct Watch {
    explicit Watch(const std::vector<std::string> &args) {
        dir = mqtt_test::temp_dir("telagent-cloudtool");
        std::vector<std::string> argv = {TELAGENT_CLOUD_BIN};
        argv.insert(argv.end(), args.begin(), args.end());
        pid = mqtt_test::spawn(argv, dir + "/out");
    }
    ~Watch() {
        mqtt_test::stop_process(pid);
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
    std::string out() const { return mqtt_test::read_file(dir + "/out"); }
    std::string dir;
    pid_t pid = -1;
};

std::vector<std::string> broker_args(const Broker &b) {
    return {"--port", std::to_string(b.port()), "--user", mqtt_test::kUser, "--pass", mqtt_test::kPass};
}

}  // namespace

TEST(CloudToolProgram, DecodeCommandPrintsOneLineAndRefusesGarbageAndUnknownCommands) {
    const std::string hex = frame_hex(moving_bike());
    ToolRun r = run_tool({"decode", hex});
    EXPECT_EQ(r.rc, 0) << r.out;
    EXPECT_TRUE(has(r.out, "\"type\":\"telemetry\"")) << r.out;
    EXPECT_EQ(mqtt_test::count_of(r.out, "\n"), 1u);

    r = run_tool({"decode", "0102"});
    EXPECT_EQ(r.rc, 1);
    EXPECT_TRUE(has(r.out, "not a telemetry frame (2 bytes")) << r.out;
    EXPECT_EQ(run_tool({"decode"}).rc, 2);
    EXPECT_EQ(run_tool({"frobnicate"}).rc, 2);
    EXPECT_EQ(run_tool({"--port", "99999", "watch"}).rc, 2);
    r = run_tool({"request", "866123045678901", "lock"});
    EXPECT_EQ(r.rc, 2);
    r = run_tool({"--help"});
    EXPECT_EQ(r.rc, 0);
    EXPECT_TRUE(has(r.out, "request <imei>") && has(r.out, "serve <directory>")) << r.out;
}

TEST(CloudToolProgram, WatchFollowsOneBoxThroughForeignFramesGarbageAndABrokerRestart) {
    Broker broker;
    ASSERT_TRUE(broker.ok()) << broker.error();
    const std::string me = "866123045678901";
    const std::string data = "zt/ebike/devices/" + me + "/common/data/";

    // A wrong password is reported, not waited on forever.
    ToolRun bad = run_tool({"--port", std::to_string(broker.port()), "--user", "x", "--pass", "y", "watch"}, 20000);
    EXPECT_EQ(bad.rc, 1);
    EXPECT_TRUE(has(bad.out, "refused")) << bad.out;

    std::vector<std::string> args = broker_args(broker);
    for (const char *a : {"watch", "--imei", "866123045678901", "--all", "--count", "2", "--timeout", "40"}) args.push_back(a);
    Watch w(args);
    // Subscribed once the broker logged the tool's subscription.
    ASSERT_TRUE(mqtt_test::poll_until([&] { return has(broker.log(), data); }, 10000)) << broker.log();

    telemetry_t t = moving_bike();
    ASSERT_EQ(mqtt_test::Subscriber::publish(broker.port(), "zt/ebike/devices/999/common/data/", frame_hex(t), false), 0);
    ASSERT_EQ(mqtt_test::Subscriber::publish(broker.port(), data, "0102021CFFFF", false), 0);
    ASSERT_EQ(mqtt_test::Subscriber::publish(broker.port(), "zt/ebike/devices/" + me + "/cmd/response/7", "0102021C01000000", false), 0);
    ASSERT_EQ(mqtt_test::Subscriber::publish(broker.port(), data, frame_hex(t), false), 0);
    ASSERT_TRUE(mqtt_test::poll_until([&] { return mqtt_test::count_of(w.out(), "\"type\":\"telemetry\"") == 1; }, 10000))
        << w.out();

    // The broker goes away and comes back: the watch goes on by itself.
    ASSERT_EQ(broker.restart(), 0);
    ASSERT_TRUE(mqtt_test::poll_until(
        [&] { return mqtt_test::count_of(broker.log(), "\t" + data) >= 2; }, 20000)) << broker.log();
    t.BikeSpeed = 7;
    ASSERT_EQ(mqtt_test::Subscriber::publish(broker.port(), data, frame_hex(t), false), 0);
    EXPECT_EQ(mqtt_test::wait_exit(w.pid, 20000), 0) << w.out();
    w.pid = -1;

    const std::string out = w.out();
    EXPECT_EQ(mqtt_test::count_of(out, "\"type\":\"telemetry\""), 2u) << out;
    EXPECT_FALSE(has(out, "\"imei\":\"999\"")) << out;  // another box: not asked for
    EXPECT_TRUE(has(out, "\"error\":\"not a telemetry frame (6 bytes")) << out;
    EXPECT_TRUE(has(out, "\"topic\":\"zt/ebike/devices/" + me + "/cmd/response/7\"")) << out;
    EXPECT_TRUE(has(out, "\"speed_kmh\":25") && has(out, "\"speed_kmh\":7")) << out;
}

TEST(CloudToolProgram, TableViewPrintsAHeaderAndOneRowPerFrameWhenNotOnATerminal) {
    Broker broker;
    ASSERT_TRUE(broker.ok()) << broker.error();
    std::vector<std::string> args = broker_args(broker);
    for (const char *a : {"watch", "--table", "--count", "2", "--timeout", "30"}) args.push_back(a);
    Watch w(args);
    ASSERT_TRUE(mqtt_test::poll_until([&] { return has(broker.log(), "/common/data/"); }, 10000)) << broker.log();
    telemetry_t t = moving_bike();
    ASSERT_EQ(mqtt_test::Subscriber::publish(broker.port(), "zt/ebike/devices/111/common/data/", frame_hex(t), false), 0);
    t.flags = TLM_FLAG_MOTOR_LOCKED;
    ASSERT_EQ(mqtt_test::Subscriber::publish(broker.port(), "zt/ebike/devices/222/common/data/", frame_hex(t), false), 0);
    EXPECT_EQ(mqtt_test::wait_exit(w.pid, 20000), 0) << w.out();
    w.pid = -1;
    const std::string out = w.out();
    EXPECT_EQ(out.rfind("IMEI", 0), 0u) << out;
    EXPECT_TRUE(has(out, "111 ") && has(out, "222 ")) << out;
    EXPECT_TRUE(has(out, "locked")) << out;
    EXPECT_TRUE(has(out, "tilt")) << out;
    EXPECT_FALSE(has(out, "\x1b[")) << out;  // no cursor control into a file
}

TEST(CloudToolProgram, DecodeFromStandardInputAnswersEveryLineAndWildcardImeisAreRefused) {
    const std::string dir = mqtt_test::temp_dir("telagent-cloudtool-in");
    telemetry_t t = moving_bike();
    const std::string first = frame_hex(t);
    t.BikeSpeed = 31;
    std::ofstream(dir + "/in") << first << "\n\n   \nZZ\n" << frame_hex(t) << "\r\n";
    std::string out;
    const int rc = mqtt_test::run_program(
        {"/bin/sh", "-c", std::string("exec '") + TELAGENT_CLOUD_BIN + "' decode - < '" + dir + "/in'"}, &out, 10000);
    EXPECT_EQ(rc, 1) << out;  // one bad line
    EXPECT_EQ(mqtt_test::count_of(out, "\"type\":\"telemetry\""), 2u) << out;
    EXPECT_TRUE(has(out, "\"speed_kmh\":25") && has(out, "\"speed_kmh\":31")) << out;
    EXPECT_TRUE(has(out, "decode: not hex text")) << out;
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);

    for (const char *bad : {"+", "866/#", ""}) EXPECT_EQ(run_tool({"watch", "--imei", bad}).rc, 2) << bad;
    EXPECT_EQ(run_tool({"watch", "--count", "-1"}).rc, 2);
    EXPECT_EQ(run_tool({"watch", "--frobnicate"}).rc, 2);
}

TEST(CloudToolProgram, TableOnATerminalIsRedrawnInPlaceWithOneRowPerBox) {
    Broker broker;
    ASSERT_TRUE(broker.ok()) << broker.error();
    int master = -1;
    const std::string port = std::to_string(broker.port());
    const pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        execl(TELAGENT_CLOUD_BIN, TELAGENT_CLOUD_BIN, "--port", port.c_str(), "--user", mqtt_test::kUser, "--pass",
              mqtt_test::kPass, "watch", "--table", "--count", "3", "--timeout", "30", static_cast<char *>(nullptr));
        _exit(127);
    }
    std::string screen;
    std::thread reader([&] {
        char buf[4096];
        ssize_t n;
        while ((n = read(master, buf, sizeof buf)) > 0) screen.append(buf, static_cast<size_t>(n));
    });
    ASSERT_TRUE(mqtt_test::poll_until([&] { return has(broker.log(), "/common/data/"); }, 10000)) << broker.log();
    telemetry_t t = moving_bike();
    for (const char *box : {"111", "222", "111"}) {
        ASSERT_EQ(mqtt_test::Subscriber::publish(broker.port(), std::string("zt/ebike/devices/") + box + "/common/data/",
                                                 frame_hex(t), false),
                  0);
        t.BikeSpeed = static_cast<uint16_t>(t.BikeSpeed + 1);
    }
    EXPECT_EQ(mqtt_test::wait_exit(pid, 20000), 0);
    reader.join();
    close(master);
    // The last redraw: header and exactly one row per box, 111 with its newest speed.
    const size_t last = screen.rfind("\x1b[H\x1b[2J");
    ASSERT_NE(last, std::string::npos) << screen;
    const std::string page = screen.substr(last);
    EXPECT_EQ(mqtt_test::count_of(page, "111 "), 1u) << page;
    EXPECT_EQ(mqtt_test::count_of(page, "222 "), 1u) << page;
    EXPECT_TRUE(has(page, "   27 ")) << page;  // 111's second frame: 25 + 2
    EXPECT_EQ(mqtt_test::count_of(screen, "\x1b[H\x1b[2J"), 3u);
}
