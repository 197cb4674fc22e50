// A whole box reporting: host, agent, devsim's bike, modem and GNSS engine,
// mosquitto on loopback, and the operator's tool decoding what arrives.  The
// frames follow the simulated bike, arrive every ReportingInterval seconds,
// and carry the serving cell once the GNSS engine loses its fix.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "box_harness.h"

namespace {

constexpr const char *kScenario =
    "[smd7]\necho = 0\n"
    "[modem]\nplmn = 460-01\npci = 321\ntac = 6699\n"
    "[bike]\nattached = 1\non = 1\nspeed = 23\nlocked = 0\nlight = 1\n"
    "battery1.present = 1\nbattery1.soc = 77\nbattery1.temp = 250\n";

bool control(Box &box, const std::string &line) {
    const int fd = open(box.path("/var/devsim/control").c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    const std::string l = line + "\n";
    const bool wrote = write(fd, l.data(), l.size()) == static_cast<ssize_t>(l.size());
    close(fd);
    return wrote && box.wait_file("/var/devsim/control.log", line + " -> ok\n", 5000);
}

// telagent-cloud watch in the background; each output line with its arrival.
class ToolWatch {
public:
    ToolWatch(int port, const std::string &imei) {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) return;
        const std::string p = std::to_string(port);
        pid_ = fork();
        if (pid_ == 0) {
            setpgid(0, 0);
            dup2(fds[1], 1);
            execl(TELAGENT_CLOUD_BIN, TELAGENT_CLOUD_BIN, "--port", p.c_str(), "watch", "--imei", imei.c_str(),
                  static_cast<char *>(nullptr));
            _exit(127);
        }
        close(fds[1]);
        fd_ = fds[0];
        reader_ = std::thread([this] {
            std::string pending;
            char buf[4096];
            ssize_t n;
            while ((n = read(fd_, buf, sizeof buf)) > 0) {
                pending.append(buf, static_cast<size_t>(n));
                size_t nl;
                while ((nl = pending.find('\n')) != std::string::npos) {
                    std::lock_guard<std::mutex> lk(mu_);
                    lines_.push_back(pending.substr(0, nl));
                    at_.push_back(harness_mono_ms());
                    pending.erase(0, nl + 1);
                }
            }
        });
    }
    ~ToolWatch() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
        if (reader_.joinable()) reader_.join();
        if (fd_ >= 0) close(fd_);
    }
    size_t count() const {
        std::lock_guard<std::mutex> lk(mu_);
        return lines_.size();
    }
    std::string line(size_t i) const {
        std::lock_guard<std::mutex> lk(mu_);
        return lines_.at(i);
    }
    int64_t at(size_t i) const {
        std::lock_guard<std::mutex> lk(mu_);
        return at_.at(i);
    }
    std::string all() const {
        std::lock_guard<std::mutex> lk(mu_);
        std::string s;
        for (auto &l : lines_) s += l + "\n";
        return s;
    }

private:
    pid_t pid_ = -1;
    int fd_ = -1;
    std::thread reader_;
    mutable std::mutex mu_;
    std::vector<std::string> lines_;
    std::vector<int64_t> at_;
};

// The raw token after "name": in a JSON line.
std::string field(const std::string &json, const std::string &name) {
    const std::string key = "\"" + name + "\":";
    const size_t p = json.find(key);
    if (p == std::string::npos) return "";
    const size_t b = p + key.size();
    if (json[b] == '{') return json.substr(b, json.find('}', b) + 1 - b);
    return json.substr(b, json.find_first_of(",}", b) - b);
}

}  // namespace

TEST(ReportBox, DecodedTelemetryFollowsTheBikeEveryIntervalAndFallsBackToTheCell) {
    Broker broker;
    ASSERT_TRUE(broker.ok()) << broker.error();
    BoxOptions o;
    o.scenario = kScenario;
    o.mqtt_port = broker.port();
    const int64_t t_start = harness_mono_ms();
    Box box(o);
    ASSERT_TRUE(box.ok()) << box.error();
    ASSERT_TRUE(box.wait_console("imei --------- [", 20000)) << box.console();
    // The IMEI the modem gives (the topic's device part).
    const std::string c = box.console();
    const size_t p = c.find("imei --------- [") + 16;
    const std::string imei = c.substr(p, c.find(']', p) - p);
    ASSERT_EQ(imei.size(), 15u) << imei;
    ToolWatch tool(broker.port(), imei);

    // 15 s start delay, then every ReportingInterval (10 s as provisioned).
    ASSERT_TRUE(poll_until([&] { return tool.count() >= 2; }, 60000)) << box.console().substr(0, 4000) << tool.all();
    const std::string f0 = tool.line(0);
    EXPECT_EQ(field(f0, "type"), "\"telemetry\"") << f0;
    EXPECT_EQ(field(f0, "speed_kmh"), "23") << f0;
    EXPECT_EQ(field(f0, "report_interval_s"), "10");
    EXPECT_EQ(field(f0, "flags"), "{\"bike_on\":true,\"motor_locked\":false,\"light_on\":true}") << f0;
    EXPECT_NE(f0.find("{\"soc_pct\":77,"), std::string::npos) << f0;
    EXPECT_NE(f0.find("\"temperature_c\":25,"), std::string::npos) << f0;
    EXPECT_EQ(field(f0, "fix"), "true") << f0;
    EXPECT_EQ(field(f0, "cell"), "null");
    // Never before the start delay and the tenth tick (15 s + 9 one-second sleeps).
    EXPECT_GE(tool.at(0) - t_start, 24000);
    const int64_t gap = tool.at(1) - tool.at(0);
    EXPECT_GE(gap, 9000) << gap;
    EXPECT_LE(gap, 11000) << gap;
    EXPECT_EQ(box.file("/sys/bus/platform/drivers/ledctrl/net_led"), "1");

    // The rider stops and locks; the GNSS engine loses its fix.
    ASSERT_TRUE(control(box, "bike speed 0"));
    ASSERT_TRUE(control(box, "bike locked 1"));
    ASSERT_TRUE(control(box, "gnss nofix 1"));
    const size_t n = tool.count();
    ASSERT_TRUE(poll_until(
        [&] {
            for (size_t i = n; i < tool.count(); ++i) {
                const std::string f = tool.line(i);
                if (field(f, "fix") == "false" && field(f, "speed_kmh") == "0" &&
                    f.find("\"motor_locked\":true") != std::string::npos)
                    return true;
            }
            return false;
        },
        60000))
        << tool.all();
    const std::string last = tool.line(tool.count() - 1);
    EXPECT_EQ(field(last, "latitude_deg"), "null") << last;
    EXPECT_EQ(field(last, "cell"), "{\"mcc\":460,\"mnc\":1,\"cell_id\":321,\"lac\":6699}") << last;
    EXPECT_NE(last.find("\"motor_locked\":true"), std::string::npos) << last;
    EXPECT_NE(box.console().find("gps_info failed \r"), std::string::npos);
}
