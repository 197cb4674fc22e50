#include "cloud_console.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "cloud/uplink_frame.h"
#include "cloud_request.h"
#include "console_assets.h"
#include "telemetry_json.h"

namespace {

// History kept per box: enough for the plots of a few minutes at the fastest
// interval, small enough for a fleet of thousands.
constexpr size_t kTrackPoints = 120;
constexpr size_t kBatteryPoints = 120;
constexpr size_t kAlarms = 20;
constexpr size_t kResponses = 10;
constexpr size_t kEventRing = 4096;   // an SSE reader further behind gets a fresh snapshot
constexpr size_t kMaxConnections = 64;
constexpr size_t kMaxHead = 8192;
constexpr size_t kMaxBody = 4096;
constexpr int kReadTimeoutMs = 10000;

int64_t wall_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

bool send_all(int fd, const std::string &s) {
    const char *p = s.data();
    size_t n = s.size();
    while (n > 0) {
        const ssize_t w = send(fd, p, n, MSG_NOSIGNAL);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

template <class T>
void push_capped(std::deque<T> &d, T v, size_t cap) {
    d.push_back(std::move(v));
    while (d.size() > cap) d.pop_front();
}

std::string join(const std::deque<std::string> &d) {
    std::string s = "[";
    for (size_t i = 0; i < d.size(); ++i) s += (i ? "," : "") + d[i];
    return s + "]";
}

std::string e6(int32_t v) {
    char b[24];
    snprintf(b, sizeof b, "%.6f", static_cast<double>(v) / 1e6);
    return b;
}

struct BoxRec {
    int64_t seen_ms = 0;
    uint64_t reports = 0;
    std::string tlm = "null";  // last telemetry, decoded
    std::deque<std::string> track, battery, alarms, responses;
};

struct Pending {
    uint8_t ident[4] = {};
    bool done = false;
    CloudMessage msg;
};

// Everything the broker told us, and the requests waiting for an answer.
class Fleet {
public:
    explicit Fleet(size_t max_boxes) : max_boxes_(max_boxes) {}

    void telemetry(const std::string &imei, const telemetry_t &t, int64_t now) {
        std::lock_guard<std::mutex> lk(mu_);
        BoxRec *b = box(imei);
        if (b == nullptr) return;
        b->seen_ms = now;
        ++b->reports;
        b->tlm = telemetry_json(t, "", "");
        const std::string ts = std::to_string(now);
        std::string point;
        if (!(t.latitude_e6 == -1 && t.longitude_e6 == -1)) {
            point = "{\"t\":" + ts + ",\"lat\":" + e6(t.latitude_e6) + ",\"lon\":" + e6(t.longitude_e6) + "}";
        } else if (t.mcc != -1 || t.cell_id != -1) {
            point = "{\"t\":" + ts + ",\"cell\":" +
                    json_quote(std::to_string(t.mcc) + "-" + std::to_string(t.mnc) + " " +
                               std::to_string(t.cell_id) + "/" + std::to_string(t.lac)) +
                    "}";
        }
        if (!point.empty()) push_capped(b->track, point, kTrackPoints);
        const std::string bat = "{\"t\":" + ts + ",\"soc\":" + (t.soc[0] == 0xFF ? "null" : std::to_string(t.soc[0])) +
                                ",\"v\":" + (t.voltage[0] == 0xFFFF ? "null" : std::to_string(t.voltage[0])) + "}";
        push_capped(b->battery, bat, kBatteryPoints);
        std::deque<std::string> fresh;
        // Fall: the tilt bit; motion: moved while the motor was locked.
        if (t.alarm & TLM_ALARM_TILT) fresh.push_back("{\"t\":" + ts + ",\"kind\":\"fall\"}");
        if (t.alarm & TLM_ALARM_MOVED_LOCKED) fresh.push_back("{\"t\":" + ts + ",\"kind\":\"motion\"}");
        for (auto &a : fresh) push_capped(b->alarms, a, kAlarms);
        std::deque<std::string> track1, bat1;
        if (!point.empty()) track1.push_back(point);
        bat1.push_back(bat);
        event("box", render(imei, *b, track1, bat1, fresh, {}));
    }

    // A response on the broker, to anybody's request: shown on the box's card,
    // and handed to the console's own request when it is one.
    void response(const std::string &imei, const std::string &kind, const std::string &id, const CloudMessage &m) {
        // Whoever asked, the identifier is in the frame itself.
        std::vector<uint8_t> ident(4, 0);
        if (m.payload.size() < 16 || at_chars_to_hex(m.payload.data() + 8, ident.data(), 8, 4) != 4) return;
        {
            // A late answer to an earlier request on the same topic is not this one's.
            std::lock_guard<std::mutex> lk(pmu_);
            auto it = pending_.find(id);
            if (it != pending_.end() && !it->second->done && memcmp(it->second->ident, ident.data(), 4) == 0) {
                it->second->done = true;
                it->second->msg = m;
                pcv_.notify_all();
            }
        }
        std::string text, js, why;
        if (decode_cloud_response(kind, m.payload, ident.data(), &text, &js, &why) != 1) text = "undecodable: " + why;
        std::lock_guard<std::mutex> lk(mu_);
        BoxRec *b = box(imei);
        if (b == nullptr) return;
        const std::string item = "{\"t\":" + std::to_string(wall_ms()) + ",\"id\":" + json_quote(id) +
                                 ",\"kind\":" + json_quote(kind) + ",\"text\":" + json_quote(text) + "}";
        push_capped(b->responses, item, kResponses);
        event("response", "{\"imei\":" + json_quote(imei) + ",\"item\":" + item + "}");
    }

    std::string snapshot() {
        std::lock_guard<std::mutex> lk(mu_);
        return snapshot_locked();
    }

    // Next events after *seq for an SSE reader, waiting up to wait_ms; a
    // reader that fell out of the ring starts again from a snapshot.
    std::vector<std::string> events_after(uint64_t *seq, int wait_ms) {
        std::unique_lock<std::mutex> lk(mu_);
        cv_.wait_for(lk, std::chrono::milliseconds(wait_ms), [&] { return seq_ > *seq; });
        std::vector<std::string> out;
        if (seq_ == *seq) return out;
        if (ring_.empty() || ring_.front().first > *seq + 1) {
            out.push_back("event: snapshot\ndata: " + snapshot_locked() + "\n\n");
        } else {
            for (auto &e : ring_)
                if (e.first > *seq) out.push_back(e.second);
        }
        *seq = seq_;
        return out;
    }

    // The current snapshot and the sequence number it stands for.
    std::string start_events(uint64_t *seq) {
        std::lock_guard<std::mutex> lk(mu_);
        *seq = seq_;
        return "event: snapshot\ndata: " + snapshot_locked() + "\n\n";
    }

    std::shared_ptr<Pending> expect(const std::string &id, const uint8_t ident[4]) {
        auto p = std::make_shared<Pending>();
        memcpy(p->ident, ident, 4);
        std::lock_guard<std::mutex> lk(pmu_);
        pending_[id] = p;
        return p;
    }
    // Waits for the answer to `id` until deadline_us (steady clock) or *stop.
    bool wait(const std::string &id, const std::shared_ptr<Pending> &p, int64_t deadline_us,
              const std::atomic<bool> *stop) {
        std::unique_lock<std::mutex> lk(pmu_);
        while (!p->done && !stop->load()) {
            const int64_t left = deadline_us - cloud_now_us();
            if (left <= 0) break;
            pcv_.wait_for(lk, std::chrono::microseconds(left < 200000 ? left : 200000));
        }
        pending_.erase(id);
        return p->done;
    }

    void forget(const std::string &id) {
        std::lock_guard<std::mutex> lk(pmu_);
        pending_.erase(id);
    }

private:
    BoxRec *box(const std::string &imei) {
        auto it = boxes_.find(imei);
        if (it != boxes_.end()) return &it->second;
        if (boxes_.size() >= max_boxes_) return nullptr;
        return &boxes_[imei];
    }

    std::string render(const std::string &imei, const BoxRec &b, const std::deque<std::string> &track,
                       const std::deque<std::string> &bat, const std::deque<std::string> &alarms,
                       const std::deque<std::string> &responses) const {
        return "{\"imei\":" + json_quote(imei) + ",\"seen_ms\":" + std::to_string(b.seen_ms) +
               ",\"reports\":" + std::to_string(b.reports) + ",\"tlm\":" + b.tlm + ",\"track\":" + join(track) +
               ",\"battery\":" + join(bat) + ",\"alarms\":" + join(alarms) + ",\"responses\":" + join(responses) +
               "}";
    }

    std::string snapshot_locked() const {
        std::string s = "{\"now_ms\":" + std::to_string(wall_ms()) + ",\"boxes\":[";
        bool first = true;
        for (const auto &kv : boxes_) {
            s += (first ? "" : ",") + render(kv.first, kv.second, kv.second.track, kv.second.battery,
                                             kv.second.alarms, kv.second.responses);
            first = false;
        }
        return s + "]}";
    }

    void event(const char *name, const std::string &data) {
        ++seq_;
        push_capped(ring_, std::make_pair(seq_, std::string("event: ") + name + "\ndata: " + data + "\n\n"),
                    kEventRing);
        cv_.notify_all();
    }

    const size_t max_boxes_;
    std::mutex mu_;
    std::condition_variable cv_;
    std::map<std::string, BoxRec> boxes_;
    uint64_t seq_ = 0;
    std::deque<std::pair<uint64_t, std::string>> ring_;

    std::mutex pmu_;
    std::condition_variable pcv_;
    std::map<std::string, std::shared_ptr<Pending>> pending_;
};

// ---- HTTP -------------------------------------------------------------------

struct HttpRequest {
    std::string method, path;
    std::map<std::string, std::string> headers;  // names in lower case
    std::string body;
};

std::string lower(std::string s) {
    for (auto &c : s) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string trim(const std::string &s) {
    const size_t b = s.find_first_not_of(" \t");
    if (b == std::string::npos) return "";
    return s.substr(b, s.find_last_not_of(" \t") + 1 - b);
}

// 0 with *r filled; otherwise the HTTP status to refuse with.
int read_request(int fd, HttpRequest *r) {
    std::string buf;
    char chunk[2048];
    const int64_t end = cloud_now_us() + kReadTimeoutMs * 1000LL;
    size_t head_end;
    for (;;) {
        head_end = buf.find("\r\n\r\n");
        if (head_end != std::string::npos) break;
        if (buf.size() > kMaxHead) return 431;
        const int64_t left = (end - cloud_now_us()) / 1000;
        struct pollfd p = {fd, POLLIN, 0};
        if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) return 408;
        const ssize_t n = recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0) return -1;
        buf.append(chunk, static_cast<size_t>(n));
    }
    if (head_end > kMaxHead) return 431;
    size_t pos = buf.find("\r\n");
    const std::string line = buf.substr(0, pos);
    const size_t s1 = line.find(' '), s2 = line.rfind(' ');
    if (s1 == std::string::npos || s2 == s1 || line.compare(s2 + 1, 7, "HTTP/1.") != 0) return 400;
    r->method = line.substr(0, s1);
    r->path = line.substr(s1 + 1, s2 - s1 - 1);
    while (pos < head_end) {
        const size_t next = buf.find("\r\n", pos + 2);
        const std::string h = buf.substr(pos + 2, next - pos - 2);
        pos = next;
        if (h.empty()) continue;
        const size_t colon = h.find(':');
        if (colon == std::string::npos || colon == 0) return 400;
        const std::string name = lower(h.substr(0, colon));
        // A repeated Host or length is how a smuggled request hides.
        if (r->headers.count(name) && (name == "host" || name == "content-length" || name == "origin")) return 400;
        r->headers[name] = trim(h.substr(colon + 1));
    }
    if (r->headers.count("transfer-encoding")) return 411;
    size_t len = 0;
    if (r->headers.count("content-length")) {
        const std::string &v = r->headers["content-length"];
        if (v.empty() || v.size() > 6 || v.find_first_not_of("0123456789") != std::string::npos) return 400;
        len = std::stoul(v);
        if (len > kMaxBody) return 413;
    }
    r->body = buf.substr(head_end + 4);
    while (r->body.size() < len) {
        const int64_t left = (end - cloud_now_us()) / 1000;
        struct pollfd p = {fd, POLLIN, 0};
        if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) return 408;
        const ssize_t n = recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0) return -1;
        r->body.append(chunk, static_cast<size_t>(n));
    }
    if (r->body.size() > len) return 400;  // no pipelining: one request a connection
    return 0;
}

const char *status_text(int code) {
    switch (code) {
    case 200: return "OK";
    case 400: return "Bad Request";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 408: return "Request Timeout";
    case 411: return "Length Required";
    case 413: return "Payload Too Large";
    case 431: return "Request Header Fields Too Large";
    case 503: return "Service Unavailable";
    default: return "Error";
    }
}

std::string head(int code, const std::string &type, size_t len) {
    return "HTTP/1.1 " + std::to_string(code) + " " + status_text(code) + "\r\nContent-Type: " + type +
           "\r\nContent-Length: " + std::to_string(len) +
           "\r\nCache-Control: no-store\r\nX-Content-Type-Options: nosniff\r\n"
           // Nothing but this server: no outside script, style, font, image or connection.
           "Content-Security-Policy: default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; "
           "connect-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'\r\n"
           "Connection: close\r\n\r\n";
}

void reply(int fd, int code, const std::string &type, const std::string &body) {
    send_all(fd, head(code, type, body.size()) + body);
}

void refuse(int fd, int code, const std::string &why) {
    reply(fd, code, "application/json", "{\"ok\":false,\"error\":" + json_quote(why) + "}");
}

// application/x-www-form-urlencoded; false on a broken escape.
bool parse_form(const std::string &body, std::vector<std::pair<std::string, std::string>> *out) {
    auto decode = [](const std::string &s, std::string *d) {
        d->clear();
        for (size_t i = 0; i < s.size(); ++i) {
            if (s[i] == '+') {
                d->push_back(' ');
            } else if (s[i] == '%') {
                if (i + 2 >= s.size()) return false;
                uint8_t b = 0;
                if (at_chars_to_hex(s.data() + i + 1, &b, 2, 1) != 1) return false;
                d->push_back(static_cast<char>(b));
                i += 2;
            } else {
                d->push_back(s[i]);
            }
        }
        return true;
    };
    size_t i = 0;
    while (i <= body.size() && !body.empty()) {
        size_t j = body.find('&', i);
        if (j == std::string::npos) j = body.size();
        const std::string part = body.substr(i, j - i);
        if (!part.empty()) {
            const size_t eq = part.find('=');
            std::string k, v;
            if (!decode(part.substr(0, eq), &k)) return false;
            if (eq != std::string::npos && !decode(part.substr(eq + 1), &v)) return false;
            out->emplace_back(k, v);
        }
        i = j + 1;
    }
    return true;
}

bool imei_ok(const std::string &s) {
    if (s.empty() || s.size() > 32) return false;
    for (unsigned char c : s)
        if (c <= 0x20 || c >= 0x7F || c == '/' || c == '+' || c == '#') return false;
    return true;
}

class Console {
public:
    Console(const BrokerOptions &b, const ConsoleOptions &o, const std::atomic<bool> *stop)
        : broker_(b), opt_(o), stop_(stop), fleet_(o.max_boxes) {}

    int run();
    bool idle() const { return active_.load() == 0; }

private:
    void mqtt_loop();
    void serve(int fd);
    void events(int fd);
    void request(int fd, const HttpRequest &r);

    BrokerOptions broker_;
    ConsoleOptions opt_;
    const std::atomic<bool> *stop_;
    Fleet fleet_;
    CloudClient client_;
    std::mutex pub_mu_;  // one publish at a time: the client counts acknowledgements, not ids
    std::atomic<uint32_t> counter_{0};
    std::atomic<size_t> active_{0};
    int port_ = 0;
};

void Console::mqtt_loop() {
    while (!stop_->load()) {
        CloudMessage m;
        if (!client_.next(&m, 200)) continue;
        const std::string imei = imei_of_topic(m.topic);
        if (!imei_ok(imei)) continue;
        const std::string rest = m.topic.substr(17 + imei.size());  // "/<kind>/response/<id>" or "/common/data/"
        if (rest == "/common/data/") {
            telemetry_t t;
            std::string why;
            if (decode_telemetry_text(m.payload.data(), m.payload.size(), &t, &why) == 1)
                fleet_.telemetry(imei, t, wall_ms());
            continue;
        }
        const size_t r = rest.find("/response/");
        if (r == std::string::npos || r < 2) continue;
        fleet_.response(imei, rest.substr(1, r - 1), rest.substr(r + 10), m);
    }
}

void Console::events(int fd) {
    uint64_t seq = 0;
    std::string out = "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nCache-Control: no-store\r\n"
                      "X-Content-Type-Options: nosniff\r\nConnection: close\r\n\r\n" +
                      fleet_.start_events(&seq);
    if (!send_all(fd, out)) return;
    int64_t last = cloud_now_us();
    while (!stop_->load()) {
        const std::vector<std::string> ev = fleet_.events_after(&seq, 1000);
        std::string s;
        for (auto &e : ev) s += e;
        // A comment now and then finds a reader that went away.
        if (s.empty() && cloud_now_us() - last > 15000000) s = ": idle\n\n";
        if (s.empty()) continue;
        if (!send_all(fd, s)) return;
        last = cloud_now_us();
    }
}

void Console::request(int fd, const HttpRequest &r) {
    std::vector<std::pair<std::string, std::string>> form;
    if (!parse_form(r.body, &form)) return refuse(fd, 400, "form body is not url-encoded");
    std::string imei;
    std::vector<std::string> args;
    for (auto &kv : form) {
        if (kv.first == "imei") imei = kv.second;
        else if (kv.first == "arg") args.push_back(kv.second);
        else return refuse(fd, 400, "unknown field " + kv.first);
    }
    if (!imei_ok(imei)) return refuse(fd, 400, "imei missing or not a topic level");
    const uint32_t v = (static_cast<uint32_t>(getpid()) << 20) ^ (static_cast<uint32_t>(cloud_now_us()) << 8) ^
                       counter_.fetch_add(1);
    const uint8_t ident[4] = {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
    CloudRequest req;
    std::string why;
    if (build_cloud_request(args, ident, &req, &why) != 0) return refuse(fd, 400, why);
    const std::string id = "console" + cloud_hex(std::vector<uint8_t>(ident, ident + 4));
    const std::string dev = "zt/ebike/devices/" + imei + "/" + req.kind;
    const int timeout_s = opt_.request_timeout_s > 0 ? opt_.request_timeout_s : req.default_timeout_s;
    auto p = fleet_.expect(id, ident);
    const int64_t t0 = cloud_now_us();
    int rc;
    {
        std::lock_guard<std::mutex> lk(pub_mu_);
        rc = client_.publish(dev + "/request/" + id, cloud_hex(req.frame), 5000);
    }
    const std::string tag = "\"imei\":" + json_quote(imei) + ",\"kind\":" + json_quote(args[0]) + ",\"id\":" + json_quote(id);
    if (rc != 0) {
        fleet_.forget(id);
        return reply(fd, 200, "application/json", "{\"ok\":false," + tag + ",\"error\":\"the broker did not take the request\"}");
    }
    const bool got = fleet_.wait(id, p, t0 + timeout_s * 1000000LL, stop_);
    std::string text, js;
    if (got && decode_cloud_response(req.kind, p->msg.payload, ident, &text, &js, &why) == 1) {
        const long ms = static_cast<long>((p->msg.arrived_us - t0) / 1000);
        return reply(fd, 200, "application/json",
                     "{\"ok\":true," + tag + ",\"text\":" + json_quote(text) + ",\"response\":" + js +
                         ",\"ms\":" + std::to_string(ms) + "}");
    }
    if (!got && !req.expects_response)
        return reply(fd, 200, "application/json", "{\"ok\":true," + tag + ",\"text\":\"sent, no response expected\",\"response\":null}");
    const std::string err = got ? "answer not understood: " + why
                                : "no response within " + std::to_string(timeout_s) + " s";
    reply(fd, 200, "application/json", "{\"ok\":false," + tag + ",\"error\":" + json_quote(err) + "}");
}

void Console::serve(int fd) {
    HttpRequest r;
    const int bad = read_request(fd, &r);
    if (bad < 0) return;
    if (bad > 0) return refuse(fd, bad, status_text(bad));
    // Only this server's own name: a page elsewhere that re-points a host name
    // at 127.0.0.1 does not get in.
    const std::string ports = ":" + std::to_string(port_);
    const std::string host = r.headers.count("host") ? r.headers["host"] : "";
    if (host != "127.0.0.1" + ports && host != "localhost" + ports) return refuse(fd, 403, "not this console's host");
    if (r.method == "POST") {
        const std::string origin = r.headers.count("origin") ? r.headers["origin"] : "";
        if (!origin.empty() && origin != "http://127.0.0.1" + ports && origin != "http://localhost" + ports)
            return refuse(fd, 403, "request from another site");
        if (r.headers["x-telagent-console"] != "1") return refuse(fd, 403, "not from the console page");
        if (r.path != "/api/request") return refuse(fd, 404, "no such endpoint");
        return request(fd, r);
    }
    if (r.method != "GET") return refuse(fd, 405, "GET or POST");
    if (r.path == "/api/events") return events(fd);
    if (r.path == "/api/boxes") return reply(fd, 200, "application/json", fleet_.snapshot());
    const std::string name = r.path == "/" ? "/index.html" : r.path;
    for (const ConsoleAsset *a = console_assets; a->name != nullptr; ++a) {
        if (name == a->name) return reply(fd, 200, a->type, std::string(reinterpret_cast<const char *>(a->data), a->size));
    }
    refuse(fd, 404, "no such page");
}

int Console::run() {
    const std::string dev = "zt/ebike/devices/+";
    if (client_.connect(broker_, {dev + "/common/data/", dev + "/+/response/+"}, 10000) != 0) {
        fprintf(stderr, "telagent-cloud: console: %s\n", client_.error().c_str());
        return 1;
    }
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) return 1;
    const int one = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    struct sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(opt_.http_port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t al = sizeof a;
    if (bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(s, 64) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr *>(&a), &al) != 0) {
        fprintf(stderr, "telagent-cloud: console: cannot listen on 127.0.0.1:%d: %s\n", opt_.http_port,
                strerror(errno));
        close(s);
        return 1;
    }
    port_ = ntohs(a.sin_port);
    std::thread mqtt([this] { mqtt_loop(); });
    printf("console on http://127.0.0.1:%d/\n", port_);
    fflush(stdout);
    while (!stop_->load()) {
        struct pollfd p = {s, POLLIN, 0};
        if (poll(&p, 1, 200) <= 0) continue;
        const int c = accept4(s, nullptr, nullptr, SOCK_CLOEXEC);
        if (c < 0) continue;
        // Events and answers leave at once, not after the page's next packet.
        setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        if (active_.load() >= kMaxConnections) {
            refuse(c, 503, "too many connections");
            close(c);
            continue;
        }
        ++active_;
        std::thread([this, c] {
            serve(c);
            shutdown(c, SHUT_WR);
            close(c);
            --active_;
        }).detach();
    }
    close(s);
    mqtt.join();
    // Connection threads see the stop within a second; the client goes with us.
    for (int i = 0; i < 50 && active_.load() > 0; ++i) usleep(50 * 1000);
    return 0;
}

}  // namespace

int cloud_console(const BrokerOptions &broker, const ConsoleOptions &opt, const std::atomic<bool> *stop) {
    auto *c = new Console(broker, opt, stop);
    const int rc = c->run();
    // A connection thread that is still running keeps the console (and its
    // broker session) until the process ends.
    if (c->idle()) delete c;
    return rc;
}
