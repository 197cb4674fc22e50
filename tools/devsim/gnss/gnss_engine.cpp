#include "gnss/gnss_engine.h"
#include "core/devsim_clock.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/devsim_files.h"

namespace {

constexpr size_t kMaxConns = 4;
// A client that does not read loses sentences beyond this, as a real
// engine's indication queue overflows.
constexpr size_t kOutMax = 256 * 1024;
constexpr size_t kLineMax = 1024;
constexpr size_t kCaptureMax = 16u << 20;
constexpr size_t kStartReqLen = 108;

std::vector<std::string> split_fields(const std::string &s) {
    std::vector<std::string> f;
    const size_t end = s.find('*');
    std::string cur;
    for (size_t i = 0; i < s.size() && i < end; ++i) {
        if (s[i] == ',') {
            f.push_back(cur);
            cur.clear();
        } else {
            cur.push_back(s[i]);
        }
    }
    f.push_back(cur);
    return f;
}

std::string join_fields(const std::vector<std::string> &f) {
    std::string s;
    for (size_t i = 0; i < f.size(); ++i) {
        if (i) s += ',';
        s += f[i];
    }
    return s;
}

// "GGA" for "$GPGGA,...", "" for what is not a talker sentence.
std::string sentence_type(const std::string &s) {
    if (s.size() < 6 || s[0] != '$' || s[1] == 'P') return "";
    return s.substr(3, 3);
}

std::string utc_of(const std::string &s) {
    const std::string t = sentence_type(s);
    const std::vector<std::string> f = split_fields(s);
    size_t idx = 0;
    if (t == "GGA" || t == "RMC" || t == "ZDA") idx = 1;
    if (t == "GLL") idx = 5;
    return idx != 0 && idx < f.size() ? f[idx] : "";
}

bool parse_int(const std::string &v, long lo, long hi, long *out) {
    if (v.empty()) return false;
    char *end = nullptr;
    errno = 0;
    long n = strtol(v.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || n < lo || n > hi) return false;
    *out = n;
    return true;
}

bool parse_bool(const std::string &v, bool *out) {
    if (v == "1" || v == "on" || v == "yes" || v == "true") {
        *out = true;
        return true;
    }
    if (v == "0" || v == "off" || v == "no" || v == "false") {
        *out = false;
        return true;
    }
    return false;
}

int hexval(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

// ---- sentences and captures -----------------------------------------------------

std::string gnss_with_checksum(const std::string &sentence) {
    const size_t star = sentence.find('*');
    const std::string body = sentence.substr(0, star);
    unsigned x = 0;
    for (size_t i = body.empty() || body[0] != '$' ? 0 : 1; i < body.size(); ++i) {
        x ^= static_cast<unsigned char>(body[i]);
    }
    char tail[4];
    snprintf(tail, sizeof tail, "*%02X", x);
    return body + tail;
}

std::string gnss_corrupted(const std::string &sentence) {
    const std::string good = gnss_with_checksum(sentence);
    const size_t star = good.rfind('*');
    const unsigned sum = static_cast<unsigned>(hexval(good[star + 1]) * 16 + hexval(good[star + 2]));
    char tail[4];
    snprintf(tail, sizeof tail, "*%02X", sum ^ 0x5Au);
    return good.substr(0, star) + tail;
}

std::string gnss_without_fix(const std::string &sentence) {
    const std::string t = sentence_type(sentence);
    if (t != "GGA" && t != "RMC") return sentence;
    std::vector<std::string> f = split_fields(sentence);
    if (t == "GGA" && f.size() > 7) {
        f[6] = "0";
        f[7] = "00";
    } else if (t == "RMC" && f.size() > 2) {
        f[2] = "V";
    } else {
        return sentence;
    }
    return gnss_with_checksum(join_fields(f));
}

std::vector<GnssEpoch> gnss_split_epochs(const std::string &text) {
    std::vector<GnssEpoch> out;
    GnssEpoch cur;
    std::string cur_time;
    bool has_gga = false, has_rmc = false;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t nl = text.find('\n', pos);
        if (nl == std::string::npos) nl = text.size();
        std::string line = text.substr(pos, nl - pos);
        pos = nl + 1;
        while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        const std::string t = sentence_type(line);
        const std::string utc = utc_of(line);
        // A new time, or a second position sentence of the same kind (engines
        // without a fix often send no time at all), starts the next epoch; so
        // does the first time after time-less position sentences.
        const bool new_time = !utc.empty() && utc != cur_time && (!cur_time.empty() || has_gga || has_rmc);
        const bool repeat = (t == "GGA" && has_gga) || (t == "RMC" && has_rmc);
        if (!cur.empty() && (new_time || repeat)) {
            out.push_back(std::move(cur));
            cur.clear();
            has_gga = has_rmc = false;
            cur_time.clear();
        }
        if (!utc.empty()) cur_time = utc;
        if (t == "GGA") has_gga = true;
        if (t == "RMC") has_rmc = true;
        cur.push_back(line);
    }
    if (!cur.empty()) out.push_back(std::move(cur));
    return out;
}

std::vector<GnssEpoch> gnss_builtin_track() {
    std::vector<GnssEpoch> out;
    for (int i = 0; i < 120; ++i) {
        const int sec = i % 60, min = i / 60;
        char t[16], lat[16], lon[16], b[160];
        snprintf(t, sizeof t, "0800%02d.00", sec);
        if (min) snprintf(t, sizeof t, "08%02d%02d.00", min, sec);
        snprintf(lat, sizeof lat, "3112.%04d", 5000 + 10 * i);
        snprintf(lon, sizeof lon, "12130.%04d", 10 * i);
        GnssEpoch e;
        snprintf(b, sizeof b, "$GPGGA,%s,%s,N,%s,E,1,08,0.9,12.3,M,8.1,M,,", t, lat, lon);
        e.push_back(gnss_with_checksum(b));
        snprintf(b, sizeof b, "$GPRMC,%s,A,%s,N,%s,E,5.4,45.0,081123,,,A", t, lat, lon);
        e.push_back(gnss_with_checksum(b));
        e.push_back(gnss_with_checksum("$GPVTG,45.0,T,,M,5.4,N,10.0,K,A"));
        e.push_back(gnss_with_checksum("$GPGSA,A,3,01,03,05,08,09,11,14,17,,,,,1.6,0.9,1.3"));
        e.push_back(gnss_with_checksum("$GPGSV,3,1,10,01,40,083,35,02,17,308,,03,07,344,22,04,22,228,19"));
        e.push_back(gnss_with_checksum("$GPGSV,3,2,10,05,11,100,41,06,30,200,18,07,45,050,,08,60,120,33"));
        e.push_back(gnss_with_checksum("$GPGSV,3,3,10,09,10,010,25,10,20,020,"));
        out.push_back(std::move(e));
    }
    return out;
}

int gnss_apply_setting(GnssSettings *s, const std::string &key, const std::string &value) {
    long n = 0;
    bool b = false;
    if (key == "capture") {
        if (value.empty()) return 0;
        s->capture = value;
    } else if (key == "speed") {
        if (!parse_int(value, 1, 1000, &n)) return 0;
        s->speed = static_cast<int>(n);
    } else if (key == "corrupt") {
        if (parse_bool(value, &b)) {
            s->corrupt = b ? 1 : 0;
        } else if (parse_int(value, 0, 1000000, &n)) {
            s->corrupt = static_cast<int>(n);
        } else {
            return 0;
        }
    } else if (key == "loop" || key == "stall" || key == "nofix" || key == "refuse") {
        if (!parse_bool(value, &b)) return 0;
        bool *dst = key == "loop" ? &s->loop : key == "stall" ? &s->stall : key == "nofix" ? &s->nofix : &s->refuse;
        *dst = b;
    } else {
        return 0;
    }
    return 1;
}

// ---- the engine -------------------------------------------------------------------

GnssEngine::~GnssEngine() { stop(); }

int GnssEngine::configure(const std::string &key, const std::string &value) {
    std::lock_guard<std::mutex> lk(mu_);
    return gnss_apply_setting(&set_, key, value);
}

int GnssEngine::load_capture_locked(const std::string &capture) {
    if (capture == "builtin") {
        epochs_ = gnss_builtin_track();
    } else {
        const std::string path = capture[0] == '/' ? capture : root_ + "/" + capture;
        std::string text;
        if (devsim_read_file(path, kCaptureMax, &text) != 0) {
            fprintf(stderr, "devsim: gnss: cannot read capture %s\n", path.c_str());
            return -1;
        }
        std::vector<GnssEpoch> e = gnss_split_epochs(text);
        if (e.empty()) {
            fprintf(stderr, "devsim: gnss: no sentences in %s\n", path.c_str());
            return -1;
        }
        epochs_ = std::move(e);
    }
    next_ = 0;
    stalled_at_ = 0;
    return 0;
}

int GnssEngine::start(const std::string &root) {
    root_ = root;
    {
        std::lock_guard<std::mutex> lk(mu_);
        if (load_capture_locked(set_.capture) != 0) {
            fprintf(stderr, "devsim: gnss: playing the built-in track instead\n");
            load_capture_locked("builtin");
        }
    }
    const std::string dir = root + "/var/devsim";
    const std::string path = dir + "/gnss.sock";
    struct sockaddr_un sa {};
    sa.sun_family = AF_UNIX;
    if (devsim_mkdirs(dir) != 0 || path.size() >= sizeof sa.sun_path) {
        fprintf(stderr, "devsim: gnss: socket path %s unusable\n", path.c_str());
        return -1;
    }
    memcpy(sa.sun_path, path.c_str(), path.size() + 1);
    unlink(path.c_str());
    listen_fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (listen_fd_ < 0 || bind(listen_fd_, reinterpret_cast<struct sockaddr *>(&sa), sizeof sa) != 0 ||
        listen(listen_fd_, 4) != 0) {
        fprintf(stderr, "devsim: gnss: %s: %s\n", path.c_str(), strerror(errno));
        stop();
        return -1;
    }
    event_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (event_fd_ < 0) {
        stop();
        return -1;
    }
    log_fd_ = open((dir + "/gnss.log").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    control_ = std::make_unique<ControlRegistration>(
        "gnss", [this](const std::string &cmd, const std::string &args, std::string *why) {
            return command(cmd, args, why);
        });
    stopping_ = false;
    thread_ = std::thread([this] { run(); });
    return 0;
}

void GnssEngine::stop() {
    control_.reset();
    if (thread_.joinable()) {
        stopping_ = true;
        wake();
        thread_.join();
    }
    for (Conn &c : conns_) close(c.fd);
    conns_.clear();
    if (listen_fd_ >= 0) {
        close(listen_fd_);
        unlink((root_ + "/var/devsim/gnss.sock").c_str());
    }
    if (event_fd_ >= 0) close(event_fd_);
    if (log_fd_ >= 0) close(log_fd_);
    listen_fd_ = event_fd_ = log_fd_ = -1;
}

void GnssEngine::wake() {
    const uint64_t one = 1;
    if (event_fd_ >= 0 && write(event_fd_, &one, sizeof one) != sizeof one) {
        // already signalled: the counter is not empty
    }
}

int GnssEngine::command(const std::string &cmd, const std::string &args, std::string *why) {
    std::lock_guard<std::mutex> lk(mu_);
    if (cmd == "rewind") {
        next_ = 0;
        stalled_at_ = 0;
        return 0;
    }
    GnssSettings s = set_;
    if (gnss_apply_setting(&s, cmd, args) != 1) {
        if (why) *why = "unknown setting or bad value: " + cmd + " " + args;
        return -1;
    }
    if (cmd == "capture" && load_capture_locked(s.capture) != 0) {
        if (why) *why = "cannot load capture " + s.capture;
        return -1;
    }
    // Stalling repeats what was played last.
    if (s.stall && !set_.stall && next_ > 0) stalled_at_ = next_ - 1;
    set_ = s;
    wake();
    return 0;
}

void GnssEngine::log(const char *dir, const std::string &line) {
    if (log_fd_ < 0) return;
    char head[48];
    snprintf(head, sizeof head, "%lld %s ", static_cast<long long>(devsim_wall_ms()), dir);
    const std::string rec = head + line + "\n";
    if (write(log_fd_, rec.data(), rec.size()) < 0) {
        // the log is for people; the engine goes on without it
    }
}

void GnssEngine::queue(Conn &c, const std::string &line) {
    if (c.out.size() + line.size() + 1 > kOutMax) return;
    c.out += line;
    c.out += '\n';
    log("TX", line);
}

void GnssEngine::handle_line(Conn &c, const std::string &line) {
    log("RX", line);
    if (line.rfind("req ", 0) != 0) return;
    char *end = nullptr;
    const unsigned long id = strtoul(line.c_str() + 4, &end, 16);
    std::string payload;
    const char *p = end;
    while (*p == ' ') ++p;
    for (; p[0] && p[1]; p += 2) {
        const int hi = hexval(p[0]), lo = hexval(p[1]);
        if (hi < 0 || lo < 0) break;
        payload.push_back(static_cast<char>(hi * 16 + lo));
    }
    char ack[64];
    int status = 0;
    if (id == 0x22) {
        bool refuse;
        {
            std::lock_guard<std::mutex> lk(mu_);
            refuse = set_.refuse;
        }
        if (payload.size() != kStartReqLen || payload[0] != 1) {
            status = 2;  // not a start request the engine understands
        } else if (refuse) {
            status = 6;  // engine busy
        }
        if (status == 0) c.started = true;
    } else if (id == 0x23) {
        c.started = false;
    } else {
        status = 1;
    }
    snprintf(ack, sizeof ack, "ack %lx %d", id, status);
    queue(c, ack);
    // The indication follows only what the engine carries out.
    if ((id == 0x22 || id == 0x23) && status == 0) {
        snprintf(ack, sizeof ack, "ind %lx %d", id, status);
        queue(c, ack);
    }
}

void GnssEngine::play_epoch(int64_t now_ms) {
    (void)now_ms;
    std::vector<std::string> lines;
    {
        std::lock_guard<std::mutex> lk(mu_);
        if (epochs_.empty()) return;
        size_t idx;
        if (set_.stall) {
            idx = stalled_at_ < epochs_.size() ? stalled_at_ : 0;
        } else {
            if (next_ >= epochs_.size()) {
                if (!set_.loop) return;  // the capture ended: the engine falls silent
                next_ = 0;
            }
            idx = next_++;
            stalled_at_ = idx;
        }
        for (std::string s : epochs_[idx]) {
            if (set_.nofix) s = gnss_without_fix(s);
            ++sent_;
            if (set_.corrupt > 0 && sent_ % static_cast<uint64_t>(set_.corrupt) == 0) s = gnss_corrupted(s);
            lines.push_back("nmea " + s);
        }
    }
    for (Conn &c : conns_) {
        if (!c.started) continue;
        for (const std::string &l : lines) queue(c, l);
    }
}

void GnssEngine::run() {
    int64_t next_due = -1;  // -1: no session started
    std::vector<struct pollfd> pfds;
    while (!stopping_) {
        bool any_started = false;
        for (const Conn &c : conns_) any_started = any_started || c.started;
        int period;
        {
            std::lock_guard<std::mutex> lk(mu_);
            period = 1000 / (set_.speed > 0 ? set_.speed : 1);
        }
        const int64_t now = devsim_mono_ms();
        if (!any_started) {
            next_due = -1;
        } else if (next_due < 0) {
            next_due = now;  // a fix goes out as soon as a session starts
        }
        if (next_due >= 0 && now >= next_due) {
            play_epoch(now);
            next_due += period;
            if (next_due <= now) next_due = now + period;  // fell behind: no burst
        }
        int wait = 1000;
        if (next_due >= 0) wait = static_cast<int>(std::min<int64_t>(1000, std::max<int64_t>(0, next_due - devsim_mono_ms())));

        pfds.clear();
        pfds.push_back({event_fd_, POLLIN, 0});
        pfds.push_back({listen_fd_, POLLIN, 0});
        for (const Conn &c : conns_) {
            pfds.push_back({c.fd, static_cast<short>(POLLIN | (c.out.empty() ? 0 : POLLOUT)), 0});
        }
        if (poll(pfds.data(), pfds.size(), wait) < 0 && errno != EINTR) break;
        if (pfds[0].revents & POLLIN) {
            uint64_t v;
            if (read(event_fd_, &v, sizeof v) < 0) {
                // nothing to clear
            }
        }
        if (pfds[1].revents & POLLIN) {
            const int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
            if (fd >= 0 && conns_.size() >= kMaxConns) {
                close(fd);
            } else if (fd >= 0) {
                Conn c;
                c.fd = fd;
                conns_.push_back(std::move(c));
                log("--", "client connected");
            }
        }
        for (size_t i = 0; i + 2 < pfds.size() && i < conns_.size(); ++i) {
            Conn &c = conns_[i];
            const short re = pfds[i + 2].revents;
            bool gone = (re & (POLLERR | POLLNVAL)) != 0;
            if (re & (POLLIN | POLLHUP)) {
                char buf[4096];
                const ssize_t r = read(c.fd, buf, sizeof buf);
                if (r == 0 || (r < 0 && errno != EAGAIN && errno != EINTR)) gone = true;
                for (ssize_t k = 0; k < r; ++k) {
                    if (buf[k] == '\n') {
                        if (!c.skipping) handle_line(c, c.in);
                        c.in.clear();
                        c.skipping = false;
                    } else if (!c.skipping) {
                        if (c.in.size() >= kLineMax) {
                            c.in.clear();
                            c.skipping = true;
                        } else {
                            c.in.push_back(buf[k]);
                        }
                    }
                }
            }
            while (!gone && !c.out.empty()) {
                const ssize_t w = send(c.fd, c.out.data(), c.out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
                if (w > 0) {
                    c.out.erase(0, static_cast<size_t>(w));
                    continue;
                }
                if (w < 0 && (errno == EAGAIN || errno == EINTR)) break;
                gone = true;
            }
            if (gone) {
                close(c.fd);
                c.fd = -1;
                log("--", "client gone");
            }
        }
        for (size_t i = 0; i < conns_.size();) {
            if (conns_[i].fd < 0) {
                conns_.erase(conns_.begin() + static_cast<long>(i));
            } else {
                ++i;
            }
        }
    }
}
