#include "sensor/imu_peer.h"
#include "core/devsim_clock.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <vector>

#include "core/devsim_files.h"

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kMaxPitch = 89.0;  // a ramp stops short of upright: beyond it x/z turns over
constexpr const char *kInputDir = "/sys/devices/virtual/input/input";

// Values may separate their numbers with commas (scenario) or blanks (control).
std::vector<std::string> words_of(const std::string &v) {
    std::string t = v;
    std::replace(t.begin(), t.end(), ',', ' ');
    std::istringstream in(t);
    std::vector<std::string> w;
    for (std::string s; in >> s;) w.push_back(s);
    return w;
}

bool num(const std::string &s, double lo, double hi, double *out) {
    if (s.empty()) return false;
    char *end = nullptr;
    errno = 0;
    double v = strtod(s.c_str(), &end);
    if (errno != 0 || *end != '\0' || !std::isfinite(v) || v < lo || v > hi) return false;
    *out = v;
    return true;
}

bool inum(const std::string &s, long lo, long hi, long *out) {
    if (s.empty()) return false;
    char *end = nullptr;
    errno = 0;
    long v = strtol(s.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v < lo || v > hi) return false;
    *out = v;
    return true;
}

bool flag(const std::string &s, bool *out) {
    if (s == "1" || s == "on" || s == "yes") {
        *out = true;
        return true;
    }
    if (s == "0" || s == "off" || s == "no") {
        *out = false;
        return true;
    }
    return false;
}

int clamp16(double v) {
    const double r = std::lround(v);
    return static_cast<int>(std::max(-32768.0, std::min(32767.0, r)));
}

std::string counts_text(const int c[3]) {
    return std::to_string(c[0]) + " " + std::to_string(c[1]) + " " + std::to_string(c[2]) + "\n";
}

std::string trimmed(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ')) s.pop_back();
    return s;
}

}  // namespace

// ---- motion model -----------------------------------------------------------------

double imu_motion_advance(ImuMotion *m, int dt_ms) {
    if (dt_ms <= 0) return 0;
    const double before = m->pitch;
    const double dt = dt_ms / 1000.0;
    switch (m->kind) {
        case ImuMotion::still:
        case ImuMotion::raw:
            break;
        case ImuMotion::ramp: {
            double p = m->pitch + m->rate * dt;
            if (p > kMaxPitch || p < -kMaxPitch) {
                p = p > 0 ? kMaxPitch : -kMaxPitch;
                m->kind = ImuMotion::still;
            }
            m->pitch = p;
            break;
        }
        case ImuMotion::tilt: {
            const double step = std::fabs(m->rate) * dt;
            if (std::fabs(m->target - m->pitch) <= step) {
                m->pitch = m->target;
                m->kind = ImuMotion::still;
            } else {
                m->pitch += m->target > m->pitch ? step : -step;
            }
            break;
        }
        case ImuMotion::square: {
            m->t_ms = (m->t_ms + dt_ms) % std::max(1, m->period_ms);
            m->pitch = m->t_ms < m->period_ms / 2 ? m->base : m->base + m->amp;
            break;
        }
    }
    return (m->pitch - before) / dt;
}

void imu_accel_counts(double pitch_deg, double roll_deg, int range, int out[3]) {
    const double g = 16384.0 / static_cast<double>(1 << std::clamp(range, 0, 3));
    double v[3];
    if (std::fabs(std::fabs(pitch_deg) - 90.0) < 1e-9) {
        // On its side: gravity along x only.
        v[0] = pitch_deg > 0 ? 1.0 : -1.0;
        v[1] = 0;
        v[2] = 0;
    } else {
        const double tx = std::tan(pitch_deg * kPi / 180.0);
        const double ty = -std::tan(roll_deg * kPi / 180.0);
        const double n = std::sqrt(1.0 + tx * tx + ty * ty);
        v[0] = tx / n;
        v[1] = ty / n;
        v[2] = 1.0 / n;
    }
    for (int i = 0; i < 3; ++i) out[i] = clamp16(v[i] * g);
}

void imu_gyro_counts(double rate_x, double rate_y, double rate_z, int range, int out[3]) {
    const double per = 16.384 * static_cast<double>(1 << std::clamp(range, 0, 4));
    out[0] = clamp16(rate_x * per);
    out[1] = clamp16(rate_y * per);
    out[2] = clamp16(rate_z * per);
}

int imu_apply_setting(ImuSettings *s, const std::string &key, const std::string &value) {
    const std::vector<std::string> w = words_of(value);
    double d = 0, d2 = 0;
    long n = 0;
    ImuMotion &m = s->motion;
    if (key == "family") {
        if (value != "icm42607" && value != "mi220") return 0;
        s->family = value;
    } else if (key == "accel_input" || key == "gyro_input") {
        // Up to 9: a device beyond input3 exists but is never looked at.
        if (!inum(value, 0, 9, &n)) return 0;
        (key == "accel_input" ? s->accel_input : s->gyro_input) = static_cast<int>(n);
    } else if (key == "accel_name") {
        if (value.size() > 200) return 0;
        s->accel_name = value;
        s->accel_name_set = true;
    } else if (key == "gyro_name") {
        if (value.size() > 200) return 0;
        s->gyro_name = value;
        s->gyro_name_set = true;
    } else if (key == "missing") {
        if (value != "none" && value != "accel" && value != "gyro" && value != "both") return 0;
        s->accel_missing = value == "accel" || value == "both";
        s->gyro_missing = value == "gyro" || value == "both";
    } else if (key == "acc_range") {
        if (!inum(value, 0, 3, &n)) return 0;
        s->acc_range = static_cast<int>(n);
    } else if (key == "gyro_range") {
        if (!inum(value, 0, 4, &n)) return 0;
        s->gyro_range = static_cast<int>(n);
    } else if (key == "pitch" || key == "roll") {
        if (w.size() != 1 || !num(w[0], -90, 90, &d)) return 0;
        if (key == "pitch") {
            m.kind = ImuMotion::still;
            m.pitch = d;
        } else {
            m.roll = d;
        }
    } else if (key == "ramp") {
        if (w.size() != 1 || !num(w[0], -1000, 1000, &d)) return 0;
        m.kind = d == 0 ? ImuMotion::still : ImuMotion::ramp;
        m.rate = d;
    } else if (key == "tilt") {
        d2 = 90;
        if (w.empty() || w.size() > 2 || !num(w[0], -90, 90, &d) || (w.size() == 2 && !num(w[1], 0.1, 100000, &d2))) {
            return 0;
        }
        m.kind = ImuMotion::tilt;
        m.target = d;
        m.rate = d2;
    } else if (key == "square") {
        long period = 0;
        if (w.size() != 2 || !num(w[0], -90, 90, &d) || !inum(w[1], 2, 600000, &period)) return 0;
        if (std::fabs(m.pitch + d) > 90) return 0;
        m.kind = ImuMotion::square;
        m.base = m.pitch;
        m.amp = d;
        m.period_ms = static_cast<int>(period);
        m.t_ms = 0;
    } else if (key == "raw") {
        long c[3];
        if (w.size() != 3) return 0;
        for (int i = 0; i < 3; ++i) {
            if (!inum(w[static_cast<size_t>(i)], INT_MIN, INT_MAX, &c[i])) return 0;
        }
        m.kind = ImuMotion::raw;
        for (int i = 0; i < 3; ++i) m.counts[i] = static_cast<int>(c[i]);
    } else if (key == "still") {
        m.kind = ImuMotion::still;
    } else if (key == "noise") {
        if (!num(value, 0, 45, &d)) return 0;
        s->noise = d;
    } else if (key == "seed") {
        if (!inum(value, 1, UINT32_MAX > LONG_MAX ? LONG_MAX : static_cast<long>(UINT32_MAX), &n)) return 0;
        s->seed = static_cast<uint32_t>(n);
    } else if (key == "spike") {
        if (!inum(value, 0, 1000000, &n)) return 0;
        s->spike = static_cast<int>(n);
    } else if (key == "text") {
        if (value.size() > 200) return 0;
        s->text = value.empty() ? std::string("\n") : value;
    } else if (key == "frozen") {
        bool f = false;
        if (!flag(value, &f)) return 0;
        s->frozen = f;
    } else if (key == "period_ms") {
        if (!inum(value, 10, 60000, &n)) return 0;
        s->period_ms = static_cast<int>(n);
    } else if (key == "temperature") {
        if (value.size() > 32) return 0;
        s->temperature = value;
    } else {
        return 0;
    }
    return 1;
}

// ---- peer ----------------------------------------------------------------------------

ImuPeer::~ImuPeer() { stop(); }

std::string ImuPeer::dev_dir(int n) const { return root_ + kInputDir + std::to_string(n); }

int ImuPeer::configure(const std::string &key, const std::string &value) {
    std::lock_guard<std::mutex> lk(mu_);
    return imu_apply_setting(&set_, key, value);
}

void ImuPeer::log(const std::string &line) {
    if (log_fd_ < 0) return;
    const std::string l = std::to_string(devsim_wall_ms()) + " " + line + "\n";
    if (write(log_fd_, l.data(), l.size()) != static_cast<ssize_t>(l.size())) {
        // a full disk loses log lines, never the simulation
    }
}

int ImuPeer::create_devices_locked() {
    int bad = 0;
    // Something else registered first, as on the box: the agent has to look at names.
    if (set_.accel_input != 0 && set_.gyro_input != 0) {
        bad |= devsim_mkdirs(dev_dir(0));
        bad |= devsim_write_file(dev_dir(0) + "/name", "touch_panel\n");
    }
    if (!set_.accel_missing) {
        const std::string d = dev_dir(set_.accel_input);
        bad |= devsim_mkdirs(d);
        bad |= devsim_write_file(d + "/name", (set_.accel_name_set ? set_.accel_name : set_.family + "_accel") + "\n");
        bad |= devsim_write_file(d + "/enable", "0\n");
        bad |= devsim_write_file(d + "/acc_range", std::to_string(set_.acc_range) + "\n");
        bad |= devsim_write_file(d + "/acc_odr", "8\n");
        bad |= devsim_write_file(d + "/anymot_threshold", "20\n");
        bad |= devsim_write_file(d + "/anymot_duration", "1\n");
        bad |= devsim_write_file(d + "/temperature", set_.temperature + "\n");
        int c[3];
        imu_accel_counts(set_.motion.pitch, set_.motion.roll, set_.acc_range, c);
        bad |= devsim_write_file(d + "/acc_value", counts_text(c));
    }
    if (!set_.gyro_missing) {
        const std::string d = dev_dir(set_.gyro_input);
        bad |= devsim_mkdirs(d);
        bad |= devsim_write_file(d + "/name", (set_.gyro_name_set ? set_.gyro_name : set_.family + "_gyro") + "\n");
        bad |= devsim_write_file(d + "/gyro_enable", "0\n");
        bad |= devsim_write_file(d + "/gyro_range", std::to_string(set_.gyro_range) + "\n");
        bad |= devsim_write_file(d + "/gyro_odr", "8\n");
        bad |= devsim_write_file(d + "/gyro_value", "0 0 0\n");
    }
    present_ = true;
    last_acc_.clear();
    last_gyro_.clear();
    watch_locked();
    return bad != 0 ? -1 : 0;
}

void ImuPeer::remove_devices_locked() {
    std::error_code ec;
    for (int n : {0, set_.accel_input, set_.gyro_input}) std::filesystem::remove_all(dev_dir(n), ec);
    present_ = false;
    bump_nodes();
}

void ImuPeer::watch_locked() {
    if (inotify_fd_ < 0) return;
    for (int i = 0; i < 2; ++i) {
        if (watch_[i] >= 0) inotify_rm_watch(inotify_fd_, watch_[i]);
        watch_[i] = -1;
    }
    if (!set_.accel_missing) watch_[0] = inotify_add_watch(inotify_fd_, dev_dir(set_.accel_input).c_str(), IN_CLOSE_WRITE);
    if (!set_.gyro_missing) watch_[1] = inotify_add_watch(inotify_fd_, dev_dir(set_.gyro_input).c_str(), IN_CLOSE_WRITE);
}

// Every file devsim writes goes through a temporary name, so a close after
// writing under a node's own name is the agent's.
void ImuPeer::drain_writes() {
    alignas(struct inotify_event) char buf[4096];
    for (;;) {
        ssize_t r = read(inotify_fd_, buf, sizeof buf);
        if (r <= 0) return;
        for (ssize_t off = 0; off + static_cast<ssize_t>(sizeof(struct inotify_event)) <= r;) {
            const auto *ev = reinterpret_cast<const struct inotify_event *>(buf + off);
            off += static_cast<ssize_t>(sizeof(struct inotify_event) + ev->len);
            if (ev->len == 0 || (ev->mask & IN_CLOSE_WRITE) == 0) continue;
            const std::string name(ev->name, strnlen(ev->name, ev->len));
            if (name.find(".tmp.") != std::string::npos) continue;
            std::lock_guard<std::mutex> lk(mu_);
            const int dev = ev->wd == watch_[0] ? set_.accel_input : ev->wd == watch_[1] ? set_.gyro_input : -1;
            if (dev < 0) continue;
            std::string text;
            devsim_read_file(dev_dir(dev) + "/" + name, 256, &text);
            log("W input" + std::to_string(dev) + "/" + name + " " + trimmed(text));
        }
    }
}

// A reading node is rewritten only when its text changes: like a sysfs
// attribute, it stays the same file while the chip reads the same, so a reader
// that keeps the node open sees the same file as on the box.
void ImuPeer::write_value(const std::string &path, const std::string &text, std::string *last) {
    if (text == *last) return;
    if (devsim_write_file(path, text) == 0) *last = text;
    bump_nodes();
}

// After the rename: a reader that sees the new count finds the old file gone.
void ImuPeer::bump_nodes() {
    if (node_gen_ != nullptr) node_gen_->fetch_add(1, std::memory_order_release);
}

void ImuPeer::write_readings_locked(int dt_ms, int64_t) {
    const double rate = imu_motion_advance(&set_.motion, dt_ms);
    if (!present_ || set_.frozen) return;
    auto node_int = [](const std::string &path, int def) {
        std::string t;
        if (devsim_read_file(path, 64, &t) != 0) return def;
        long n = 0;
        return inum(trimmed(t), 0, 7, &n) ? static_cast<int>(n) : def;
    };
    if (!set_.accel_missing) {
        const std::string d = dev_dir(set_.accel_input);
        // The chip samples only while the driver has it enabled.
        if (node_int(d + "/enable", 0) == 1) {
            ++readings_;
            std::string text;
            if (!set_.text.empty()) {
                text = set_.text;
                set_.text.clear();
            } else if (set_.spike > 0 && readings_ % static_cast<uint64_t>(set_.spike) == 0) {
                text = "0 0 0\n";
            } else if (set_.motion.kind == ImuMotion::raw) {
                text = counts_text(set_.motion.counts);
            } else {
                double p = set_.motion.pitch;
                if (set_.noise > 0) {
                    rng_ ^= rng_ << 13;
                    rng_ ^= rng_ >> 17;
                    rng_ ^= rng_ << 5;
                    p += set_.noise * (static_cast<double>(rng_) / UINT32_MAX * 2.0 - 1.0);
                    p = std::clamp(p, -90.0, 90.0);
                }
                int c[3];
                imu_accel_counts(p, set_.motion.roll, node_int(d + "/acc_range", set_.acc_range), c);
                text = counts_text(c);
            }
            write_value(d + "/acc_value", text, &last_acc_);
        }
    }
    if (!set_.gyro_missing) {
        const std::string d = dev_dir(set_.gyro_input);
        if (node_int(d + "/gyro_enable", 0) == 1) {
            int c[3];
            imu_gyro_counts(rate, 0, 0, node_int(d + "/gyro_range", set_.gyro_range), c);
            write_value(d + "/gyro_value", counts_text(c), &last_gyro_);
        }
    }
}

int ImuPeer::start(const std::string &root) {
    root_ = root;
    const std::string vdir = root + "/var/devsim";
    if (devsim_mkdirs(vdir) != 0) return -1;
    log_fd_ = open((vdir + "/imu.log").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    {
        // Kept across devsim restarts (no truncation): an agent still running
        // holds the same word mapped.
        const int fd = open((vdir + "/nodes.gen").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        struct stat st {};
        void *p = MAP_FAILED;
        if (fd >= 0 && fstat(fd, &st) == 0 &&
            (st.st_size >= static_cast<off_t>(sizeof(uint32_t)) || ftruncate(fd, sizeof(uint32_t)) == 0))
            p = mmap(nullptr, sizeof(uint32_t), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (fd >= 0) close(fd);
        if (p != MAP_FAILED) node_gen_ = static_cast<std::atomic<uint32_t> *>(p);
    }
    inotify_fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    event_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (inotify_fd_ < 0 || event_fd_ < 0) {
        fprintf(stderr, "devsim: imu: %s\n", strerror(errno));
        stop();
        return -1;
    }
    // The board's other nodes the agent writes at start-up.
    for (const char *d : {"/sys/bus/i2c/drivers/bmi160", "/sys/class/gpio/gpio4", "/sys/class/gpio/gpio7",
                          "/sys/bus/platform/drivers/mdm9607-asoc-tomtom", "/sys/bus/platform/drivers/ledctrl"}) {
        devsim_mkdirs(root + d);
    }
    {
        std::lock_guard<std::mutex> lk(mu_);
        rng_ = set_.seed;
        remove_devices_locked();  // whatever a previous run left
        if (create_devices_locked() != 0) fprintf(stderr, "devsim: imu: could not create every node\n");
    }
    control_ = std::make_unique<ControlRegistration>(
        "imu", [this](const std::string &cmd, const std::string &args, std::string *why) {
            return command(cmd, args, why);
        });
    stopping_ = false;
    thread_ = std::thread([this] { run(); });
    return 0;
}

void ImuPeer::stop() {
    control_.reset();
    if (thread_.joinable()) {
        stopping_ = true;
        const uint64_t one = 1;
        if (write(event_fd_, &one, sizeof one) != sizeof one) {
            // already signalled
        }
        thread_.join();
    }
    for (int *fd : {&inotify_fd_, &event_fd_, &log_fd_}) {
        if (*fd >= 0) close(*fd);
        *fd = -1;
    }
    watch_[0] = watch_[1] = -1;
    if (node_gen_ != nullptr) munmap(static_cast<void *>(node_gen_), sizeof(uint32_t));
    node_gen_ = nullptr;
}

int ImuPeer::command(const std::string &cmd, const std::string &args, std::string *why) {
    std::lock_guard<std::mutex> lk(mu_);
    if (cmd == "remove") {
        remove_devices_locked();
    } else if (cmd == "restore") {
        if (create_devices_locked() != 0) {
            *why = "could not create the device nodes";
            return -1;
        }
    } else if (imu_apply_setting(&set_, cmd, args) != 1) {
        *why = "bad command or value";
        return -1;
    }
    if (cmd == "seed") rng_ = set_.seed;
    log("C " + cmd + (args.empty() ? "" : " " + args));
    return 0;
}

void ImuPeer::run() {
    int64_t last = devsim_mono_ms();
    int64_t next = last;
    while (!stopping_) {
        int period = 100;
        {
            std::lock_guard<std::mutex> lk(mu_);
            period = set_.period_ms;
        }
        const int64_t now = devsim_mono_ms();
        if (now >= next) {
            std::lock_guard<std::mutex> lk(mu_);
            write_readings_locked(static_cast<int>(now - last), now);
            last = now;
            next = now + period;
        }
        struct pollfd p[2] = {{inotify_fd_, POLLIN, 0}, {event_fd_, POLLIN, 0}};
        const int64_t wait = std::max<int64_t>(0, next - devsim_mono_ms());
        int n = poll(p, 2, static_cast<int>(std::min<int64_t>(wait, 1000)));
        if (n <= 0) continue;
        if (p[0].revents & POLLIN) drain_writes();
    }
}
