// telagent-devsim as a process: the root it prepares, its ports, its stop.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <sstream>
#include <string>

#include "box_harness.h"

namespace fs = std::filesystem;

namespace {

constexpr int kWait = 10000;
const char *const kPorts[] = {"ttyHSL1", "ttyHSL2", "ttyHSL3", "smd7"};

BoxOptions devsim_only() {
    BoxOptions o;
    o.lib = FAKE_AGENT_LIB;
    o.start_host = false;
    return o;
}

// All RX bytes of a port's log as one hex string (chunking is the kernel's choice).
std::string rx_hex(const Box &box, const std::string &port) {
    std::istringstream in(box.file("/var/devsim/" + port + ".log"));
    std::string line, out;
    while (std::getline(in, line)) {
        const std::string tag = " " + port + " RX ";
        size_t p = line.find(tag);
        if (p == std::string::npos) continue;
        if (!out.empty()) out += ' ';
        out += line.substr(p + tag.size());
    }
    return out;
}

int write_port(const Box &box, const std::string &port, const std::string &bytes) {
    int fd = open(box.path("/dev/" + port).c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return -1;
    ssize_t w = write(fd, bytes.data(), bytes.size());
    close(fd);
    return w == static_cast<ssize_t>(bytes.size()) ? 0 : -1;
}

}  // namespace

TEST(Devsim, CreatesAProvisionedRoot) {
    BoxOptions o = devsim_only();
    o.mqtt_port = 18883;
    Box box(o);
    ASSERT_TRUE(box.ok()) << box.error();
    EXPECT_EQ(box.file("/iot/conf/iot.ini"),
              "[IotCfg]\nMqttHost=127.0.0.1\nMqttPort=18883\nMqttPing=60\nMqttUserName=ebikeiot\n"
              "MqttUserPass=hQ4rusLent\nMqttTestHost=127.0.0.1\nMqttTestPort=18883\n"
              "MqttOfficialHost=127.0.0.1\nMqttOfficialPort=18883\nWorkingMode=1\nReportingInterval=10\n");
    EXPECT_EQ(box.file("/iot/conf/libiot.ini"), "/iot/lib/libTelAgent.so\n");
    EXPECT_EQ(fs::read_symlink(box.path("/iot/lib/libTelAgent.so")), fs::path(FAKE_AGENT_LIB));
    for (const char *d : {"/iot/log", "/var/devsim", "/var/sim", "/media/ram", "/tmp", "/sdcard", "/proc"})
        EXPECT_TRUE(fs::is_directory(box.path(d))) << d;
    EXPECT_EQ(box.file("/sys/bus/spmi/drivers/qcom,qpnp-power-on/on_reason"), "0\n");
    EXPECT_EQ(box.file("/sys/bus/spmi/drivers/qcom,qpnp-power-on/off_reason"), "0\n");
    EXPECT_EQ(box.file("/var/devsim/ready"), std::to_string(box.devsim_pid()) + "\n");
}

TEST(Devsim, PortsAreRawTerminalsThatSurviveReopening) {
    BoxOptions o = devsim_only();
    o.scenario = "[smd7]\nsilent = 1\n";  // the modem would echo; here only the line counts
    Box box(o);
    ASSERT_TRUE(box.ok()) << box.error();
    // NUL, LF, CR, XON, XOFF, ^C, 0xff: a line discipline that is not raw
    // would add CRs, eat flow control or turn ^C into a signal.
    const std::string first("\x00\x0a\x0d\x11\x13\x03\xff", 7);
    for (const char *port : kPorts) {
        const std::string link = box.path(std::string("/dev/") + port);
        int fd = open(link.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        ASSERT_GE(fd, 0) << port;
        EXPECT_EQ(isatty(fd), 1) << port;
        ASSERT_EQ(write(fd, first.data(), first.size()), static_cast<ssize_t>(first.size()));
        close(fd);
        ASSERT_TRUE(poll_until([&] { return rx_hex(box, port) == "00 0a 0d 11 13 03 ff"; }, kWait))
            << port << ": " << rx_hex(box, port);

        // Reopened after the agent closed it: still the same line, no hang-up.
        fd = open(link.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        ASSERT_GE(fd, 0) << port;
        char c;
        errno = 0;
        EXPECT_EQ(read(fd, &c, 1), -1) << port << ": nothing to read, but no EOF either";
        EXPECT_EQ(errno, EAGAIN) << port;
        close(fd);
        ASSERT_EQ(write_port(box, port, "AT\r"), 0);
        EXPECT_TRUE(poll_until([&] { return rx_hex(box, port) == "00 0a 0d 11 13 03 ff 41 54 0d"; }, kWait))
            << port << ": " << rx_hex(box, port);
    }
    const std::string log = box.file("/var/devsim/ttyHSL1.log");
    // "<unix ms> <port> RX <hex>": a 13-digit millisecond stamp first.
    EXPECT_EQ(log.find(' '), 13u) << log;
}

TEST(Devsim, ScenarioSetsBoxFilesAndReportsUnusedKeysOnce) {
    BoxOptions o = devsim_only();
    o.scenario =
        "# box as the test wants it\n"
        "[box]\n"
        "calibration_hold = 1\n"
        "disk_free = 12345\n"
        "refuse = reboot\n"
        "refuse = shell echo '-17'\n"
        "colour = blue\n"
        "this line is junk\n"
        "[ttyHSL1]\n"
        "speed = 9600\n"
        "speed = 19200\n"
        "[ttyHSL9]\n"
        "x = 1\n";
    Box box(o);
    ASSERT_TRUE(box.ok()) << box.error();
    EXPECT_EQ(box.file("/media/ram/iotdebug.ini"), "1");
    EXPECT_EQ(box.file("/var/sim/disk_free"), "12345\n");
    EXPECT_EQ(box.file("/var/actions.refuse"), "reboot\nshell echo '-17'\n");
    const std::string out = box.file("/var/devsim.out");
    EXPECT_EQ(count_of(out, "[box] key 'colour' not used"), 1u) << out;
    EXPECT_EQ(count_of(out, "line 8: no '='"), 1u) << out;
    EXPECT_EQ(count_of(out, "[ttyHSL1] key 'speed' not used"), 1u) << out;
    EXPECT_EQ(count_of(out, "[ttyHSL9] key 'x' not used"), 1u) << out;

    // A second run that releases the hold removes the file again.
    ASSERT_EQ(box.stop_devsim(), 0);
    o.scenario = "[box]\ncalibration_hold = 0\n";
    ASSERT_EQ(box.start_devsim(o), 0) << box.error();
    EXPECT_FALSE(fs::exists(box.path("/media/ram/iotdebug.ini")));
}

TEST(Devsim, StopRemovesReadyAndLinksAndRestartReplacesStaleOnes) {
    Box box(devsim_only());
    ASSERT_TRUE(box.ok()) << box.error();
    ASSERT_EQ(box.stop_devsim(), 0);
    EXPECT_FALSE(fs::exists(box.path("/var/devsim/ready")));
    for (const char *port : kPorts)
        EXPECT_FALSE(fs::is_symlink(box.path(std::string("/dev/") + port))) << port;

    // Leftovers of a devsim that was killed hard.
    fs::create_symlink("/nonexistent/pts/99", box.path("/dev/ttyHSL1"));
    box.put_file("/var/devsim/ready", "999999\n");
    ASSERT_EQ(box.start_devsim(devsim_only()), 0) << box.error();
    EXPECT_EQ(box.file("/var/devsim/ready"), std::to_string(box.devsim_pid()) + "\n");
    ASSERT_EQ(write_port(box, "ttyHSL1", "\x5a"), 0);
    EXPECT_TRUE(poll_until([&] { return rx_hex(box, "ttyHSL1") == "5a"; }, kWait));
}

TEST(Devsim, RefusesBadCommandLines) {
    const std::string dev = TELAGENT_DEVSIM_BIN;
    const std::string tmp = fs::temp_directory_path().string();
    struct Case {
        std::vector<std::string> args;
        int status;
    };
    const Case cases[] = {
        {{}, 2},
        {{"--root", "/"}, 2},
        {{"--root", "//"}, 2},
        {{"--root", tmp + "/telagent-devsim-never-made", "--mqtt-port", "0"}, 2},
        {{"--root", tmp + "/telagent-devsim-never-made", "--mqtt-port", "65536"}, 2},
        {{"--root", tmp + "/telagent-devsim-never-made", "--mqtt-host", "a b"}, 2},
        {{"--root", tmp + "/telagent-devsim-never-made", "--mqtt-host", "h\nMqttHost=evil"}, 2},
        {{"--root", tmp + "/telagent-devsim-never-made", "--scenario", "/nonexistent/scenario.ini"}, 2},
        {{"--root", "/nonexistent/telagent-root"}, 1},
        {{"--root"}, 2},
    };
    for (const Case &c : cases) {
        std::vector<std::string> argv = {dev};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        std::string out;
        EXPECT_EQ(run_program(argv, {}, &out, kWait), c.status) << (c.args.empty() ? "" : c.args.back()) << out;
    }
    EXPECT_FALSE(fs::exists(tmp + "/telagent-devsim-never-made"));
}
