// The operator's console (telagent-cloud console) against a real mosquitto:
// boxes scripted on the broker that answer late, wrongly or not at all, and
// hostile HTTP; then a whole simulated box in headless Chromium, whose lock
// button really locks devsim's bike.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "box_harness.h"
#include "cloud/uplink_frame.h"
#include "cloud_mqtt.h"
#include "cloud_request.h"

namespace {

bool has(const std::string &hay, const std::string &needle) { return hay.find(needle) != std::string::npos; }

// telagent-cloud console in a process group of its own, on a port it picks.
class ConsoleProc {
public:
    ConsoleProc(int broker_port, const std::vector<std::string> &extra) {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) return;
        std::vector<std::string> argv = {TELAGENT_CLOUD_BIN, "--port", std::to_string(broker_port), "console",
                                         "--http-port", "0"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        pid_ = fork();
        if (pid_ == 0) {
            setpgid(0, 0);
            dup2(fds[1], 1);
            std::vector<char *> a;
            for (auto &s : argv) a.push_back(const_cast<char *>(s.c_str()));
            a.push_back(nullptr);
            execv(a[0], a.data());
            _exit(127);
        }
        close(fds[1]);
        std::string line;
        char c;
        while (line.find('\n') == std::string::npos && read(fds[0], &c, 1) == 1) line += c;
        close(fds[0]);
        const size_t p = line.find("http://127.0.0.1:");
        if (p != std::string::npos) {
            url_ = line.substr(p, line.find('/', p + 17) + 1 - p);
            port_ = atoi(line.c_str() + p + 17);
        }
    }
    ~ConsoleProc() {
        if (pid_ <= 0) return;
        kill(-pid_, SIGTERM);
        int st = 0;
        for (int i = 0; i < 50 && waitpid(pid_, &st, WNOHANG) == 0; ++i) usleep(100000);
        kill(-pid_, SIGKILL);
        waitpid(pid_, &st, WNOHANG);
    }
    int port() const { return port_; }
    const std::string &url() const { return url_; }

private:
    pid_t pid_ = -1;
    int port_ = 0;
    std::string url_;
};

// One HTTP exchange as bytes: what the console answers to `request`.
std::string http(int port, const std::string &request, int timeout_ms = 10000) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    struct timeval tv = {timeout_ms / 1000, (timeout_ms % 1000) * 1000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    std::string out;
    if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
        send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
        char buf[4096];
        ssize_t n;
        while ((n = recv(fd, buf, sizeof buf, 0)) > 0) out.append(buf, static_cast<size_t>(n));
    }
    close(fd);
    return out;
}

std::string post(int port, const std::string &body, const std::string &extra = "X-Telagent-Console: 1\r\n") {
    return http(port, "POST /api/request HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n" + extra +
                          "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
                          std::to_string(body.size()) + "\r\n\r\n" + body);
}

std::string get(int port, const std::string &path, const std::string &host = "") {
    return http(port, "GET " + path + " HTTP/1.1\r\nHost: " + (host.empty() ? "127.0.0.1:" + std::to_string(port) : host) +
                          "\r\n\r\n");
}

std::string telemetry_text(uint8_t soc, uint32_t odo, bool fix) {
    telemetry_t t;
    telemetry_defaults(&t);
    if (fix) {
        t.latitude_e6 = 52520000;
        t.longitude_e6 = 13400000 + static_cast<int32_t>(odo);
    } else {
        t.mcc = 460, t.mnc = 1, t.cell_id = 321, t.lac = 6699;
    }
    t.soc[0] = soc;
    t.odo = odo;
    t.flags = TLM_FLAG_BIKE_ON;
    t.alarm = TLM_ALARM_MOVED_LOCKED;
    t.report_interval = 10;
    uint8_t f[kTelemetryLen];
    telemetry_pack(t, f);
    return cloud_hex(std::vector<uint8_t>(f, f + kTelemetryLen));
}

}  // namespace

TEST(ConsoleHttp, FollowsTheFleetAnswersFromTheRightResponseAndRefusesForeignOrBrokenRequests) {
    Broker broker;
    ASSERT_TRUE(broker.ok()) << broker.error();
    ConsoleProc console(broker.port(), {"--timeout", "2"});
    ASSERT_GT(console.port(), 0);
    const int p = console.port();

    // A scripted box 864...01: its first answer carries another request's
    // identifier, the right one follows 300 ms later.  Box ...02 never answers.
    BrokerOptions bo;
    bo.port = broker.port();
    bo.client_id = "scripted-box";
    CloudClient box;
    ASSERT_EQ(box.connect(bo, {"zt/ebike/devices/864000000000001/cmd/request/+"}, 10000), 0) << box.error();
    std::atomic<bool> stop{false};
    std::thread answer([&] {
        while (!stop.load()) {
            CloudMessage m;
            if (!box.next(&m, 100)) continue;
            const std::string id = m.topic.substr(m.topic.rfind('/') + 1);
            const std::string resp = "zt/ebike/devices/864000000000001/cmd/response/" + id;
            std::vector<uint8_t> req(m.payload.size() / 2);
            at_chars_to_hex(m.payload.data(), req.data(), static_cast<int>(m.payload.size()), static_cast<int>(req.size()));
            std::vector<uint8_t> r(req.begin(), req.begin() + 13);
            r.push_back(1), r.push_back(0);
            std::vector<uint8_t> wrong = r;
            wrong[4] ^= 0xFF;
            box.publish(resp, cloud_hex(wrong), 5000);
            usleep(300 * 1000);
            box.publish(resp, cloud_hex(r), 5000);
        }
    });
    ASSERT_EQ(box.publish("zt/ebike/devices/864000000000001/common/data/", telemetry_text(61, 100, true), 5000), 0);
    ASSERT_EQ(box.publish("zt/ebike/devices/864000000000002/common/data/", telemetry_text(62, 200, false), 5000), 0);
    // Not telemetry, and not one of the fleet's topics: neither makes a card.
    box.publish("zt/ebike/devices/864000000000003/common/data/", "0102021CFFFF", 5000);
    box.publish("zt/ebike/devices/864000000000004/common/data/", "not hex at all", 5000);

    std::string boxes;
    ASSERT_TRUE(poll_until([&] { return has(boxes = get(p, "/api/boxes"), "864000000000002"); }, 10000)) << boxes;
    EXPECT_TRUE(has(boxes, "\"imei\":\"864000000000001\"")) << boxes;
    EXPECT_TRUE(has(boxes, "\"track\":[{\"t\":")) << boxes;
    EXPECT_TRUE(has(boxes, "\"lat\":52.520000,\"lon\":13.400100}")) << boxes;
    EXPECT_TRUE(has(boxes, "\"cell\":\"460-1 321/6699\"")) << boxes;
    EXPECT_TRUE(has(boxes, "\"soc\":62,")) << boxes;
    EXPECT_TRUE(has(boxes, "\"kind\":\"motion\"")) << boxes;
    EXPECT_FALSE(has(boxes, "864000000000003") || has(boxes, "864000000000004")) << boxes;

    // The event stream: a snapshot first, then each report as it arrives.
    std::string events;
    std::thread reader([&] {
        events = http(p, "GET /api/events HTTP/1.1\r\nHost: localhost:" + std::to_string(p) + "\r\n\r\n", 3000);
    });
    usleep(500 * 1000);
    box.publish("zt/ebike/devices/864000000000002/common/data/", telemetry_text(58, 201, false), 5000);
    reader.join();
    EXPECT_TRUE(has(events, "Content-Type: text/event-stream")) << events;
    EXPECT_TRUE(has(events, "event: snapshot\ndata: {\"now_ms\":")) << events;
    EXPECT_TRUE(has(events, "event: box\ndata: {\"imei\":\"864000000000002\",")) << events;
    EXPECT_TRUE(has(events, "\"battery\":[{\"t\":")) << events;

    // A request: the wrong identifier is passed over, the right answer decoded
    // and timed; the silent box runs out of time with the reason.
    std::string r = post(p, "imei=864000000000001&arg=lock");
    EXPECT_TRUE(has(r, "\"ok\":true")) << r;
    EXPECT_TRUE(has(r, "\"text\":\"motor lock: result 1 (done)\"")) << r;
    EXPECT_TRUE(has(r, "\"response\":{\"kind\":\"cmd\",\"cmd\":2,\"result\":1")) << r;
    const size_t ms_at = r.find("\"ms\":");
    ASSERT_NE(ms_at, std::string::npos) << r;
    EXPECT_GE(atoi(r.c_str() + ms_at + 5), 300) << r;  // the right answer came 300 ms after the wrong one
    r = post(p, "imei=864000000000002&arg=interval&arg=60");
    EXPECT_TRUE(has(r, "\"ok\":false") && has(r, "\"error\":\"no response within 2 s\"")) << r;
    // Answers show on the box's card, whoever asked.
    boxes = get(p, "/api/boxes");
    EXPECT_TRUE(has(boxes, "\"text\":\"motor lock: result 1 (done)\"")) << boxes;

    // Hostile or broken requests.
    EXPECT_TRUE(has(post(p, "imei=864000000000001&arg=lock", ""), "403 Forbidden"));  // no console header: a form on another site
    EXPECT_TRUE(has(post(p, "imei=864000000000001&arg=lock", "X-Telagent-Console: 1\r\nOrigin: http://attacker.example\r\n"),
                    "request from another site"));
    EXPECT_TRUE(has(get(p, "/", "attacker.example:" + std::to_string(p)), "not this console's host"));  // rebinding
    EXPECT_TRUE(has(get(p, "/api/boxes", "127.0.0.1:1"), "403 Forbidden"));
    EXPECT_TRUE(has(post(p, "imei=864000000000001&arg=lock%G1"), "400 Bad Request"));
    EXPECT_TRUE(has(post(p, "imei=864000000000001&arg=lock%4"), "400 Bad Request"));
    EXPECT_TRUE(has(post(p, "imei=86400%2F0001&arg=lock"), "imei missing or not a topic level"));  // "/" in the topic
    EXPECT_TRUE(has(post(p, "imei=864000000000001&arg=interval&arg=256"), "interval takes seconds"));
    EXPECT_TRUE(has(post(p, "imei=864000000000001&who=me"), "unknown field who"));
    EXPECT_TRUE(has(post(p, std::string(5000, 'a')), "413 Payload Too Large"));
    EXPECT_TRUE(has(http(p, "GET / HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(p) + "\r\nX: " + std::string(9000, 'x') + "\r\n\r\n"),
                    "431 "));
    EXPECT_TRUE(has(http(p, "GET / HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(p) + "\r\nHost: a\r\n\r\n"), "400 Bad Request"));
    EXPECT_TRUE(has(http(p, "POST /api/request HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(p) +
                                "\r\nX-Telagent-Console: 1\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n"),
                    "411 "));
    EXPECT_TRUE(has(http(p, "garbage\r\n\r\n"), "400 Bad Request"));
    EXPECT_TRUE(has(get(p, "/../../etc/passwd"), "404 Not Found"));
    // The page itself: our own script and style only.
    const std::string page = get(p, "/");
    EXPECT_TRUE(has(page, "Content-Security-Policy: default-src 'none'; script-src 'self'")) << page.substr(0, 600);
    EXPECT_TRUE(has(page, "<script src=\"/console.js\"></script>"));
    EXPECT_FALSE(has(page.substr(page.find("\r\n\r\n")), "://")) << "an outside address in the page";
    EXPECT_TRUE(has(get(p, "/console.js"), "new EventSource('/api/events')"));
    stop.store(true);
    answer.join();
}

TEST(ConsoleBrowser, ShowsTheBoxLiveAndItsLockButtonLocksTheBike) {
    std::string chromium;
    for (const char *c : {"/usr/bin/chromium", "/usr/bin/chromium-browser"})
        if (access(c, X_OK) == 0) chromium = c;
    if (chromium.empty()) GTEST_SKIP() << "chromium is not installed (make deps installs it): browser test skipped";
    Broker broker;
    ASSERT_TRUE(broker.ok()) << broker.error();
    BoxOptions o;
    o.scenario = "[smd7]\necho = 0\n[bike]\nattached = 1\non = 1\nlocked = 0\nspeed = 18\n"
                 "battery1.present = 1\nbattery1.soc = 77\nbattery1.temp = 240\n";
    o.mqtt_port = broker.port();
    Box box(o);
    ASSERT_TRUE(box.ok()) << box.error();
    ConsoleProc console(broker.port(), {});
    ASSERT_FALSE(console.url().empty());
    ASSERT_TRUE(box.wait_console("imei --------- [", 30000)) << box.console();
    const std::string c = box.console();
    const size_t at = c.find("imei --------- [") + 16;
    const std::string imei = c.substr(at, c.find(']', at) - at);
    ASSERT_TRUE(box.wait_file("/var/devsim/bike_state", "locked = 0\n", 5000));

    const std::string out_dir = std::string(CONSOLE_TEST_OUT_DIR) + "/browser";
    std::filesystem::create_directories(out_dir);
    std::filesystem::remove(out_dir + "/console.png");
    std::string out;
    // The first report comes 15 s + one interval after start; then the press,
    // its answer, and the next report that shows the bike locked.
    const int rc = run_program({"/usr/bin/env", "python3", CONSOLE_BROWSER_PY, "--chromium", chromium, "--url", console.url(), "--imei",
                                imei, "--out", out_dir, "--soc", "77 %", "--press", "lock", "--expect-flag", "locked",
                                "--timeout", "60"},
                               {}, &out, 150000);
    ASSERT_EQ(rc, 0) << out;
    EXPECT_TRUE(has(out, "card {\"imei\": \"" + imei + "\"")) << out;
    EXPECT_TRUE(has(out, "\"soc\": \"77 %\"")) << out;
    EXPECT_TRUE(has(out, "\"temp\": \"24 \\u00b0C\"")) << out;
    EXPECT_TRUE(has(out, "\"speed\": \"18 km/h\"")) << out;
    EXPECT_TRUE(has(out, "result [\"ok\", \"Lock: motor lock: result 1 (done) \\u00b7 round trip ")) << out;
    EXPECT_TRUE(has(out, "flag true")) << out;
    EXPECT_TRUE(box.wait_file("/var/devsim/bike_state", "locked = 1\n", 5000)) << box.file("/var/devsim/bike_state");
    EXPECT_TRUE(has(box.console(), " ## MOTOR_LOCK \r"));
    // Every address the page asked for was the console's own.
    const size_t rq = out.find("requests [");
    ASSERT_NE(rq, std::string::npos) << out;
    const std::string urls = out.substr(rq + 10, out.find(']', rq) - rq - 10);
    EXPECT_TRUE(has(urls, "/api/events") && has(urls, "/api/request")) << urls;
    EXPECT_EQ(count_of(urls, "\""), 2 * count_of(urls, "\"" + console.url())) << urls;
    const std::string png = read_text(out_dir + "/console.png");
    EXPECT_EQ(png.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
}
