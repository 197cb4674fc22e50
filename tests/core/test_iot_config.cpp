#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "core/iot_config.h"
#include "core/tavi_common.h"
#include "core/tel_agent_main.h"
#include "sensor/sensor_handle.h"
#include "support/test_root.h"

namespace {

const std::string kIni = "/iot/conf/iot.ini";

const std::string kProvisioned =
    "[IotCfg]\n"
    "MqttHost=broker.example\n"
    "MqttPort=8883\n"
    "MqttPing=120\n"
    "MqttUserName=bike01\n"
    "MqttUserPass=secret\n";

class IotConfig : public ::testing::Test {
protected:
    void TearDown() override { iniFileFree(); }
    // Writes the settings file and loads it the way start-up does.
    void load(const std::string &text) {
        root.write(kIni, text);
        ASSERT_EQ(init_iotconfig(), 1);
    }
    std::string disk() const { return root.read(kIni); }
    std::string get(const char *section, const char *key, const char *def = "<def>") {
        char buf[80];
        iniGetString(section, key, buf, sizeof buf, def);
        return buf;
    }
    TestRoot root;
};

// --- reading files a person wrote by hand -----------------------------------

TEST_F(IotConfig, ReadsHandWrittenDialect) {
    load("; broker profile\r\n"
         "  [ iotcfg ]   # lower case, blanks inside the brackets\r\n"
         "mqtthost  =  10.1.2.3   ; trailing comment\r"
         "MQTTPORT=1884\r"
         "\tMqttPing = 60\n"
         "MqttUserName = \"bike 01\"\n"
         "MqttUserPass = 'pa#ss;\"x'  # single quotes keep # ; and \"\n"
         "Quoted = \"it's\" ; other kind of quote is plain text\n");
    mqtt_conf_t c{};
    ASSERT_EQ(get_mqttinfo(&c), 1);
    EXPECT_STREQ(c.hostip, "10.1.2.3");
    EXPECT_EQ(static_cast<int>(c.port), 1884);
    EXPECT_EQ(static_cast<int>(c.keepalive), 60);
    EXPECT_STREQ(c.username, "bike 01");
    EXPECT_STREQ(c.password, "pa#ss;\"x");
    EXPECT_EQ(get("IotCfg", "quoted"), "it's");
}

TEST_F(IotConfig, LineLimitIsSixtyThreeCharacters) {
    const std::string v61(61, 'a'), v62(62, 'b');
    // "K=" + 61 = 63 characters; the comment does not count.
    load("[S]\nK=" + v61 + "   # a long comment pushes the raw line far past the limit\n"
         "L=" + v62 + "\n");
    EXPECT_EQ(get("S", "K"), v61);
    EXPECT_EQ(get("S", "L"), "<def>");
}

TEST_F(IotConfig, SectionRulesAndEmptyValues) {
    load("Loose=1\n"
         "[IotCfg]\nWorkingMode=3\nGPSInterval=\nSensorLevel=''\n"
         "[Other]\nLowPowerThreshold=7\n"
         "[IOTCFG]\nWorkingMode=4\nSleepInterval=99\n");
    EXPECT_EQ(get_workingMode(), 3);            // first matching section wins
    EXPECT_EQ(get_sleep_interval(), 180);       // second IotCfg never searched
    EXPECT_EQ(get_lowpower_threshold(), 20);    // search stops at [Other]
    EXPECT_EQ(get_gps_interval(), 10);          // empty value is absent
    EXPECT_EQ(get_sensor_level(), 1);           // '' is empty too
    EXPECT_EQ(get("", "Loose"), "<def>");       // keys above any header belong nowhere
    char buf[8];
    EXPECT_EQ(iniGetString("IotCfg", "GPSInterval", buf, sizeof buf, nullptr), 0);
    EXPECT_STREQ(buf, "");
}

TEST_F(IotConfig, GetStringBoundsAndNumbers) {
    load("[N]\nHex=0x1F\nOct=017\nDec=-42\nBad=abc\nReal=2.5e1\nLong=abcdefghij\n");
    char buf[5];
    std::memset(buf, 'X', sizeof buf);
    EXPECT_EQ(iniGetString("N", "Long", buf, sizeof buf, "d"), 1);
    EXPECT_STREQ(buf, "abcd");
    std::memset(buf, 'X', sizeof buf);
    EXPECT_EQ(iniGetString("N", "Long", buf, 0, "d"), 0);
    EXPECT_EQ(buf[0], 'X');
    EXPECT_EQ(iniGetInt("N", "Hex", 0), 31);
    EXPECT_EQ(iniGetInt("N", "Oct", 0), 15);
    EXPECT_EQ(iniGetInt("N", "Dec", 0), -42);
    EXPECT_EQ(iniGetInt("N", "Bad", 9), 9);
    EXPECT_EQ(iniGetInt("N", "None", 9), 9);
    EXPECT_DOUBLE_EQ(iniGetDouble("N", "Real", 0), 25.0);
    EXPECT_DOUBLE_EQ(iniGetDouble("N", "None", 1.5), 1.5);
}

TEST_F(IotConfig, HostileFileIsSurvived) {
    std::string junk("Key=1\n[IotCfg\nWorkingMode=\"7\n\x01\xff\0\0=\0[\n", 38);
    junk += std::string(300, 'x') + "=y\n'unbalanced # quote\nGPSInterval = 33";  // no final LF
    load(junk);
    EXPECT_EQ(get_workingMode(), 10);   // "[IotCfg" is no header
    EXPECT_EQ(get_gps_interval(), 10);
    mqtt_conf_t c{};
    EXPECT_EQ(get_mqttinfo(&c), 0);
    // A setter still works and the result reads back.
    ASSERT_EQ(set_gps_interval(45), 1);
    EXPECT_EQ(get_gps_interval(), 45);
    EXPECT_EQ(disk(), junk + "\n[IotCfg]\nGPSInterval = 45\n");
}

// --- writing: exact bytes on disk -------------------------------------------

TEST_F(IotConfig, ReplaceRewritesOnlyThatLineAndKeepsComment) {
    load("[IotCfg]\r\n  workingmode = 10   # dealer state\r\nGPSInterval=10\r\n");
    ASSERT_EQ(set_workingMode(1), 1);
    EXPECT_EQ(disk(), "[IotCfg]\r\nWorkingMode=1# dealer state\r\nGPSInterval=10\r\n");
    EXPECT_EQ(get_workingMode(), 1);  // copy reloaded
}

TEST_F(IotConfig, InsertGoesAfterLastKeyLineOfSection) {
    load("[IotCfg]\nA=1\n; note\n\n[Other]\nB=2\n");
    ASSERT_EQ(set_gps_interval(30), 1);
    EXPECT_EQ(disk(), "[IotCfg]\nA=1\nGPSInterval=30\n; note\n\n[Other]\nB=2\n");
}

TEST_F(IotConfig, InsertAfterUnterminatedLastLine) {
    load("[IotCfg]\nA=1");
    ASSERT_EQ(set_gps_interval(30), 1);
    EXPECT_EQ(disk(), "[IotCfg]\nA=1\nGPSInterval=30\n");
    load("[IotCfg]");
    ASSERT_EQ(set_gps_interval(31), 1);
    EXPECT_EQ(disk(), "[IotCfg]\nGPSInterval=31\n");
}

TEST_F(IotConfig, MissingSectionIsAppended) {
    load("[Other]\nB=2");
    ASSERT_EQ(set_lte_reboot_timeout(600), 1);
    EXPECT_EQ(disk(), "[Other]\nB=2\n[IotCfg]\nLteTimeout = 600\n");
    EXPECT_EQ(get_lte_reboot_timeout(), 600);
}

TEST_F(IotConfig, NullValueDeletesLine) {
    load("[S]\nA=1 ; c\r\nB=2\n");
    ASSERT_EQ(iniSetString("S", "a", nullptr), 1);
    EXPECT_EQ(disk(), "[S]\nB=2\n");
    EXPECT_EQ(iniSetString("S", "Gone", nullptr), 1);  // nothing to delete
    EXPECT_EQ(disk(), "[S]\nB=2\n");
}

TEST_F(IotConfig, SetIntBases) {
    load("[S]\n");
    ASSERT_EQ(iniSetInt("S", "O", 8, 8), 1);
    ASSERT_EQ(iniSetInt("S", "H", 31, 16), 1);
    ASSERT_EQ(iniSetInt("S", "D", -5, 10), 1);
    EXPECT_EQ(disk(), "[S]\nO=010\nH=0x1f\nD=-5\n");
    EXPECT_EQ(iniGetInt("S", "O", 0), 8);
    EXPECT_EQ(iniGetInt("S", "H", 0), 31);
}

TEST_F(IotConfig, ValuesThatWouldBreakTheLineAreQuotedOrRefused) {
    load(kProvisioned);
    ASSERT_EQ(set_user_pass("a#b;c"), 1);
    ASSERT_EQ(set_user_name("it's \"x\""), 0);  // both quote kinds: not expressible
    ASSERT_EQ(set_user_name(" pad"), 1);
    EXPECT_NE(disk().find("MqttUserPass=\"a#b;c\"\n"), std::string::npos);
    mqtt_conf_t c{};
    ASSERT_EQ(get_mqttinfo(&c), 1);
    EXPECT_STREQ(c.password, "a#b;c");
    EXPECT_STREQ(c.username, " pad");
    // A line break would forge a second key; a line over 63 would be ignored on read.
    const std::string before = disk();
    testing::internal::CaptureStdout();
    EXPECT_EQ(set_domain_name("evil\nWorkingMode=1"), 0);
    EXPECT_EQ(set_domain_name(std::string(60, 'h').c_str()), 0);
    EXPECT_NE(testing::internal::GetCapturedStdout().find("set_MqttHost_failed  \r"), std::string::npos);
    EXPECT_EQ(disk(), before);
    EXPECT_EQ(iniSetString("S", "bad=key", "1"), 0);
}

// --- typed accessors ---------------------------------------------------------

TEST_F(IotConfig, TypedClampsAndFlags) {
    load("[IotCfg]\nchecknv=2\nBleAuth=10\n");
    EXPECT_EQ(get_enable_check_nv(), 0);
    EXPECT_EQ(get_systerm_backup(), 10);
    EXPECT_EQ(get_bt_auth(), 1);  // above 1 reads as 1
    ASSERT_EQ(set_enable_check_nv(), 1);
    EXPECT_EQ(get_enable_check_nv(), 1);
    const std::string after = disk();
    EXPECT_EQ(set_enable_check_nv(), 0);  // already 1: nothing written
    EXPECT_EQ(disk(), after);

    set_lte_reboot_timeout(100);
    EXPECT_EQ(get_lte_reboot_timeout(), 300);
    set_lte_reboot_timeout(301);
    EXPECT_EQ(get_lte_reboot_timeout(), 301);
    for (auto [in, out] : {std::pair{16, 5}, {1, 5}, {2, 2}, {15, 15}}) {
        set_bt_auth_timeout(in);
        EXPECT_EQ(get_bt_auth_timeout(), out) << in;
    }
    set_bt_auth(7);
    EXPECT_EQ(get_systerm_backup(), 1);

    // The sensor hears of a new level through the entry's wiring.
    register_layer_callbacks();
    int level = -1, p1 = 0, p2 = 0;
    ASSERT_EQ(set_sensor_level(4), 1);
    iot_get_measure_gsensor(&level, &p1, &p2);
    EXPECT_EQ(level, 4);
    EXPECT_EQ(p1, 10);
    EXPECT_EQ(p2, 60);
    ASSERT_EQ(set_sensor_level(12), 1);  // stored, but not for the sensor
    iot_get_measure_gsensor(&level, &p1, &p2);
    EXPECT_EQ(level, 4);
    EXPECT_EQ(get_sensor_level(), 12);

    EXPECT_EQ(get_mqtt_report_interval(), 0);
    ASSERT_EQ(set_mqtt_report_interval(30), 1);
    EXPECT_EQ(get_mqtt_report_interval(), 30);

    EXPECT_EQ(get_TestMode(), 0);
    set_TestMode(1);
    EXPECT_EQ(get_TestMode(), 1);
}

TEST_F(IotConfig, BrokerProfiles) {
    load(kProvisioned + "MqttTestHost=test.example\nMqttTestPort=1\nMqttOfficialPort=65535\n");
    mqtt_conf_t c{};
    EXPECT_EQ(get_mqttinfo(nullptr), 0);
    ASSERT_EQ(get_test_mqttinfo(&c), 1);
    EXPECT_STREQ(c.hostip, "test.example");
    EXPECT_EQ(static_cast<int>(c.port), 1);
    // An absent host key fails: defaults never reach the connection.
    testing::internal::CaptureStdout();
    EXPECT_EQ(get_official_mqttinfo(&c), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "read_MqttOfficialHost_failed");
    ASSERT_EQ(set_official_domain_name("prod.example"), 1);
    ASSERT_EQ(get_official_mqttinfo(&c), 1);
    EXPECT_STREQ(c.hostip, "prod.example");
    EXPECT_EQ(static_cast<int>(c.port), 65535);
    ASSERT_EQ(set_port_number(1999), 1);
    ASSERT_EQ(get_mqttinfo(&c), 1);
    EXPECT_EQ(static_cast<int>(c.port), 1999);
}

// A port that does not fit 16 bits must not wrap into another port.
TEST_F(IotConfig, PortOutsideSixteenBitsIsRefused) {
    struct Case { const char *text; bool ok; int port; };
    const Case cases[] = {{"65535", true, 65535}, {"1", true, 1},       {"65536", false, 0},
                          {"70000", false, 0},   {"4294967297", false, 0}, {"-1", false, 0},
                          {"0", false, 0},       {"88x", false, 0},     {"99999999999999999999", false, 0}};
    for (const Case &k : cases) {
        std::string text = kProvisioned;
        text.replace(text.find("MqttPort=8883"), std::strlen("MqttPort=8883"), std::string("MqttPort=") + k.text);
        load(text + "MqttTestHost=t.example\nMqttTestPort=" + k.text + "\n");
        mqtt_conf_t c{};
        c.port = 7;
        testing::internal::CaptureStdout();
        EXPECT_EQ(get_mqttinfo(&c), k.ok ? 1 : 0) << k.text;
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(static_cast<int>(c.port), k.ok ? k.port : 7) << k.text;
        if (!k.ok) {
            EXPECT_NE(out.find(std::string("MqttPort out of range (1..65535): ") + k.text), std::string::npos) << out;
        }
        mqtt_conf_t t{};
        testing::internal::CaptureStdout();
        EXPECT_EQ(get_test_mqttinfo(&t), k.ok ? 1 : 0) << k.text;
        out = testing::internal::GetCapturedStdout();
        if (!k.ok) {
            EXPECT_NE(out.find("MqttTestPort out of range"), std::string::npos) << out;
        }
    }
    // The setters refuse such a port instead of storing it.
    load(kProvisioned);
    testing::internal::CaptureStdout();
    EXPECT_EQ(set_port_number(65536), 0);
    EXPECT_EQ(set_official_port_number(-5), 0);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("set_MqttPort_failed  \r"), std::string::npos);
    EXPECT_NE(out.find("set_MqttOfficialPort_failed  \r"), std::string::npos);
    EXPECT_EQ(disk(), kProvisioned);
}

TEST_F(IotConfig, MissingPingFailsTheLiveProfile) {
    std::string text = kProvisioned;
    text.erase(text.find("MqttPing"), std::strlen("MqttPing=120\n"));
    load(text);
    mqtt_conf_t c{};
    testing::internal::CaptureStdout();
    EXPECT_EQ(get_mqttinfo(&c), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "read_MqttPing_failed");
}

// --- missing or unwritable file -----------------------------------------------

TEST_F(IotConfig, NoFileGivesDefaultsAndSettersCreateNothing) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(init_iotconfig(), 0);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find(" no_ini_file "), std::string::npos);
    EXPECT_NE(out.find("/init_iotconfig iniFileLoad failed.\n"), std::string::npos);
    EXPECT_EQ(get_sensor_level(), 1);
    EXPECT_EQ(get_workingMode(), 10);
    EXPECT_EQ(get_lte_reboot_timeout(), 10800);
    EXPECT_EQ(get_enable_check_nv(), 1);
    mqtt_conf_t c{};
    EXPECT_EQ(get_mqttinfo(&c), 0);
    EXPECT_EQ(set_workingMode(1), 0);  // nothing stored, so no success claimed
    EXPECT_EQ(set_domain_name("x.example"), 0);
    EXPECT_FALSE(root.exists(kIni));
    // A directory where the file should be is no file either.
    root.mkdirs(kIni);
    EXPECT_EQ(iniFileLoad(IOT_INI_PATH), 0);
}

TEST_F(IotConfig, FailedWriteKeepsFileAndCopy) {
    load("[IotCfg]\nWorkingMode=2\n");
    root.mkdirs(kIni + ".tmp");  // the temp file cannot be created, even as root
    EXPECT_EQ(set_workingMode(1), 0);
    EXPECT_EQ(disk(), "[IotCfg]\nWorkingMode=2\n");
    EXPECT_EQ(get_workingMode(), 2);
    EXPECT_TRUE(root.exists(kIni + ".tmp"));  // not ours to remove
    // A hand edit is seen only after the next setter reloads, and that setter
    // keeps it instead of writing back the stale start-up copy.
    ASSERT_EQ(rmdir(root.at(kIni + ".tmp").c_str()), 0);
    root.write(kIni, "[IotCfg]\nWorkingMode=5\nGPSInterval=9\n");
    EXPECT_EQ(get_gps_interval(), 10);
    ASSERT_EQ(set_sleep_interval(60), 1);
    EXPECT_EQ(disk(), "[IotCfg]\nWorkingMode=5\nGPSInterval=9\nSleepInterval=60\n");
    EXPECT_EQ(get_gps_interval(), 9);
    // Removed behind our back: the setter does not create it again.
    ASSERT_EQ(unlink(root.at(kIni).c_str()), 0);
    EXPECT_EQ(set_sleep_interval(70), 0);
    EXPECT_FALSE(root.exists(kIni));
    EXPECT_EQ(get_sleep_interval(), 60);
}

// --- concurrency ---------------------------------------------------------------

TEST_F(IotConfig, ReadersNeverSeeAHalfReplacedCopy) {
    load(kProvisioned + "WorkingMode=1\n");
    std::atomic<bool> stop{false};
    std::atomic<int> bad{0}, reads{0};
    std::vector<std::thread> readers;
    for (int t = 0; t < 3; ++t) {
        readers.emplace_back([&] {
            while (!stop.load()) {
                int m = get_workingMode();
                if (m != 1 && m != 2) ++bad;
                mqtt_conf_t c{};
                if (get_mqttinfo(&c) != 1 || static_cast<int>(c.port) != 8883 ||
                    std::strcmp(c.username, "bike01") != 0)
                    ++bad;
                ++reads;
            }
        });
    }
    int failed_writes = 0;
    for (int i = 0; i < 200 || reads.load() < 50; ++i)
        if (set_workingMode(i % 2 + 1) != 1) ++failed_writes;
    stop = true;
    for (auto &t : readers) t.join();
    EXPECT_EQ(bad.load(), 0);
    EXPECT_EQ(failed_writes, 0);
    EXPECT_EQ(disk(), kProvisioned + "WorkingMode=" + std::to_string(get_workingMode()) + "\n");
}

TEST_F(IotConfig, ReadersGoOnWhileASetterIsStuckWriting) {
    load(kProvisioned + "WorkingMode=1\nGPSInterval=10\n");
    // A FIFO where the setter's temp file goes: its open blocks until someone
    // reads, like a write stuck on slow flash.
    ASSERT_EQ(mkfifo(root.at(kIni + ".tmp").c_str(), 0644), 0);
    std::atomic<int> set_result{-1};
    std::thread setter([&] { set_result = set_gps_interval(30); });
    // Give the setter time to reach the blocked open (it must be in there for
    // the check below to mean anything).
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    ASSERT_EQ(set_result.load(), -1);
    std::atomic<bool> read_done{false};
    std::atomic<int> gps{0}, mode{0}, port{0};
    std::thread reader([&] {
        gps = get_gps_interval();
        mode = get_workingMode();
        mqtt_conf_t c{};
        if (get_mqttinfo(&c) == 1) port = c.port;
        read_done = true;
    });
    // Readers finish while the setter is still stuck, with the old values.
    for (int i = 0; i < 500 && !read_done.load(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_TRUE(read_done.load()) << "a reader waited for the stuck setter";
    EXPECT_EQ(set_result.load(), -1);
    // Unblock the setter: it writes into the FIFO, fails to fsync it and
    // leaves the old file and copy alone.
    const int rfd = open(root.at(kIni + ".tmp").c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(rfd, 0);
    setter.join();
    reader.join();
    char drain[512];
    while (read(rfd, drain, sizeof drain) > 0) {}
    close(rfd);
    EXPECT_EQ(gps.load(), 10);
    EXPECT_EQ(mode.load(), 1);
    EXPECT_EQ(port.load(), 8883);
    EXPECT_EQ(set_result.load(), 0);
    EXPECT_EQ(get_gps_interval(), 10);
    // With the path free again, the next setter replaces the file and every
    // reader sees the new copy.
    unlink(root.at(kIni + ".tmp").c_str());
    ASSERT_EQ(set_gps_interval(30), 1);
    EXPECT_EQ(get_gps_interval(), 30);
    EXPECT_EQ(disk(), kProvisioned + "WorkingMode=1\nGPSInterval=30\n");
}

// --- small files ---------------------------------------------------------------

TEST_F(IotConfig, SmallFiles) {
    char name[80];
    EXPECT_EQ(get_so_libiot(name, sizeof name), 0);
    root.mkdirs("/iot/conf");
    ASSERT_EQ(set_so_libiot("libTelAgentEx.so\r\nrest"), 1);
    ASSERT_EQ(get_so_libiot(name, sizeof name), 1);
    EXPECT_STREQ(name, "libTelAgentEx.so");
    root.write("/iot/conf/libiot.ini", "lib.s\n");  // under 6 characters
    EXPECT_EQ(get_so_libiot(name, sizeof name), 0);

    unsigned char data[200], back[200];
    for (int i = 0; i < 200; ++i) data[i] = static_cast<unsigned char>(i);
    EXPECT_EQ(load_auth_data(back, sizeof back), 0);
    ASSERT_EQ(save_auth_data(data, 200), 1);
    EXPECT_EQ(load_auth_data(back, sizeof back), 128);
    EXPECT_EQ(std::memcmp(back, data, 128), 0);
    EXPECT_EQ(load_auth_data_from_file(), 128);

    EXPECT_EQ(get_foc_status(), 0);
    ASSERT_EQ(set_foc_status(5), 1);
    EXPECT_EQ(root.read("/iot/conf/foc.tag"), "1");
    ASSERT_EQ(set_led_status(0), 1);
    EXPECT_EQ(root.read("/iot/conf/led.tag"), "0");
    root.write("/iot/conf/btnled.tag", "12345678999");  // only 8 bytes are read
    EXPECT_EQ(get_bottom_led_status(), 12345678);
    EXPECT_EQ(set_bottom_led_status(1), 1);
    EXPECT_EQ(get_bottom_led_status(), 1);
    EXPECT_EQ(write_buf2file("/no/such/dir/f", "x", 1), 0);
}

}  // namespace
