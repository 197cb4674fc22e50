#include "mcu/peer_mcu.h"
#include "core/devsim_clock.h"

#include <cstdio>
#include <ctime>
#include <map>
#include <string>
#include <vector>

#include "bike/bike_state.h"
#include "core/devsim_files.h"
#include "mcu/dfu_boot.h"

namespace {

constexpr uint8_t kNodeApp = 0x04;
constexpr uint8_t kNodeMcu = 0x07;
constexpr uint16_t kIdKeyLine = 0xF403;
constexpr uint8_t kCaretMac = 0x0A;
constexpr size_t kPkgHead = 6;  // "AT>" 00 05 L
constexpr int kPkgGapMs = 2000;
constexpr unsigned kMaxFlood = 100000;

int64_t unix_ms() {
    struct timespec ts {};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

bool parse_version(const std::string &v, uint8_t out[4]) {
    unsigned parts[4] = {};
    size_t i = 0;
    for (int k = 0; k < 4; ++k) {
        size_t j = v.find('.', i);
        if ((k < 3) != (j != std::string::npos)) return false;
        if (j == std::string::npos) j = v.size();
        if (!parse_dec_number(v.substr(i, j - i), 255, &parts[k])) return false;
        i = j + 1;
    }
    for (int k = 0; k < 4; ++k) out[k] = static_cast<uint8_t>(parts[k]);
    return true;
}

struct McuSettings {
    uint16_t voltage = 0x0FA0;  // 4000 mV
    uint8_t main_battery = 1;
    uint8_t connected = 1;
    uint8_t eeprom = 0;
    uint8_t charging = 0;
    uint8_t ble_version[4] = {1, 0, 3, 0};
    uint8_t mac[6] = {0xC0, 0x11, 0x22, 0x33, 0x44, 0x55};
    bool caret_silent = false;
    bool mac_short = false;
    unsigned ble_reboots = 0;
    unsigned mac_queries = 0;
};

struct AppFrame {
    unsigned delay_ms = 0;
    Bytes frame;
};

class McuPeer final : public FramePeer {
public:
    explicit McuPeer(PeerLine &line) : FramePeer(line, ParserLimits{true, 2100, 2000}), dfu_(line) {}

    int configure(const std::string &key, const std::string &value) override {
        std::string why;
        const int d = dfu_.configure(key, value, &why);
        if (d < 0) fprintf(stderr, "devsim: ttyHSL2: %s = %s: %s\n", key.c_str(), value.c_str(), why.c_str());
        if (d != 0) return 1;
        int r = set(key, value, &why);
        if (r < 0) {
            fprintf(stderr, "devsim: %s: %s = %s: %s\n", line().port().c_str(), key.c_str(), value.c_str(),
                    why.c_str());
            return 1;
        }
        if (r == 1) return 1;
        return FramePeer::configure(key, value);
    }

    void on_bytes(const uint8_t *data, size_t len) override {
        // Boot switch: while the MCU runs its bootloader the line carries SLIP packets.
        if (dfu_.in_boot()) return dfu_.feed(data, len);
        pkg_buf_.insert(pkg_buf_.end(), data, data + len);
        pkg_last_ms_ = devsim_mono_ms();
        ble_app_scan(&pkg_buf_, [this](const char *why, const Bytes &pkg) { log_pkg(why, pkg); });
        FramePeer::on_bytes(data, len);
    }

    void on_tick(int64_t now) override {
        FramePeer::on_tick(now);
        if (!pkg_buf_.empty() && now - pkg_last_ms_ >= kPkgGapMs) {
            log_pkg("gap", pkg_buf_);
            pkg_buf_.clear();
        }
        if (!app_started_) {
            // The scripted app starts with the line, once.
            app_started_ = true;
            for (const auto &kv : app_script_) {
                SendOpts o;
                o.delay_ms = kv.second.delay_ms;
                send_frame(kv.second.frame, o);
            }
        }
        mirror();
    }

protected:
    void on_frame(const Frame &f) override {
        if (f.caret && dfu_.on_app_caret(f.cmd, f.payload)) return;
        // A read of 0xF403 (no payload) is the lock board asking for the line's
        // state: scripted, like any other read.
        if (!f.caret && f.dst == kNodeMcu && f.id == kIdKeyLine && !f.payload.empty()) {
            const bool on = f.payload[0] != 0;
            bike_key_line(on);
            if (on) printf("devsim: bike: power key pressed, bike %s\n", bike_state().on ? "on" : "off");
            return;
        }
        if (f.caret) {
            on_caret(f);
            return;
        }
        // Frames for the app (inside BLE packages) or the bike are not the MCU's.
        if (f.dst != kNodeMcu || !f.is_request()) return;
        if (responder().silent || responder().answers.count(f.id) != 0) {
            FramePeer::on_frame(f);
            return;
        }
        Bytes p;
        if (!read_answer(f.id, &p)) return;
        send_answer(encode_bus_frame(f.src, kNodeMcu, f.id, p));
    }

    int on_command(const std::string &cmd, const std::string &args, std::string *why) override {
        const std::vector<std::string> w = control_words(args);
        if (cmd == "mcu") {
            if (w.empty()) {
                *why = "mcu <key> <value>";
                return -1;
            }
            int r = set(w[0], control_rest(args, 1), why);
            if (r == 0) *why = "unknown key " + w[0];
            mirror();
            return r == 1 ? 0 : -1;
        }
        if (cmd == "app") {
            if (w.size() < 3) {
                *why = "app <dst> <id> <payload hex|-> [options]";
                return -1;
            }
            Bytes frame;
            if (!app_frame(w[0], w[1], w[2], &frame, why)) return -1;
            SendOpts o;
            if (parse_send_opts(w, 3, &o, why) != 0) return -1;
            if (send_frame(frame, o) != 0) {
                *why = "send queue full";
                return -1;
            }
            return 0;
        }
        if (cmd == "app_flood") {
            unsigned count = 0, interval = 0;
            if (w.size() != 5 || !parse_dec_number(w[0], kMaxFlood, &count) || count == 0 ||
                !parse_dec_number(w[1], 60000, &interval)) {
                *why = "app_flood <count 1..100000> <interval ms> <dst> <id> <payload hex|->";
                return -1;
            }
            Bytes frame;
            if (!app_frame(w[2], w[3], w[4], &frame, why)) return -1;
            for (unsigned i = 0; i < count; ++i) {
                SendOpts o;
                o.delay_ms = i * interval;
                if (send_frame(frame, o) != 0) {
                    *why = "send queue full after " + std::to_string(i) + " frames";
                    return -1;
                }
            }
            return 0;
        }
        if (cmd == "dfu") return dfu_.command(args, why);
        return 1;
    }

private:
    static bool app_frame(const std::string &dst_s, const std::string &id_s, const std::string &pl_s, Bytes *frame,
                          std::string *why) {
        unsigned dst = 0, id = 0;
        Bytes payload;
        if (!parse_hex_number(dst_s, 0xFF, &dst) || !parse_hex_number(id_s, 0xFFFF, &id) ||
            !parse_hex_bytes(pl_s, &payload)) {
            *why = "dst hex 0..ff, id hex 0..ffff, payload hex bytes or -";
            return false;
        }
        *frame = encode_bus_frame(static_cast<uint8_t>(dst), kNodeApp, static_cast<uint16_t>(id), payload);
        if (frame->empty()) {
            *why = "payload too long";
            return false;
        }
        return true;
    }

    // 1 applied, 0 not an MCU key, -1 bad value.
    int set(const std::string &key, const std::string &value, std::string *why) {
        unsigned n = 0;
        auto byte_key = [&](uint8_t *dst) {
            if (!parse_dec_number(value, 255, &n)) {
                *why = key + " must be 0..255";
                return -1;
            }
            *dst = static_cast<uint8_t>(n);
            return 1;
        };
        auto flag_key = [&](bool *dst) {
            if (value != "0" && value != "1") {
                *why = key + " must be 0 or 1";
                return -1;
            }
            *dst = value == "1";
            return 1;
        };
        if (key == "voltage") {
            if (!parse_dec_number(value, 65535, &n)) {
                *why = "voltage must be 0..65535";
                return -1;
            }
            s_.voltage = static_cast<uint16_t>(n);
            return 1;
        }
        if (key == "main_battery") return byte_key(&s_.main_battery);
        if (key == "connected") return byte_key(&s_.connected);
        if (key == "eeprom") return byte_key(&s_.eeprom);
        if (key == "charging") return byte_key(&s_.charging);
        if (key == "caret_silent") return flag_key(&s_.caret_silent);
        if (key == "mac_short") return flag_key(&s_.mac_short);
        if (key == "ble_version") {
            if (!parse_version(value, s_.ble_version)) {
                *why = "ble_version is a.b.c.d, each 0..255";
                return -1;
            }
            return 1;
        }
        if (key == "mac") {
            Bytes b;
            if (!parse_hex_bytes(value, &b) || b.size() != 6) {
                *why = "mac is six hex bytes";
                return -1;
            }
            for (size_t i = 0; i < 6; ++i) s_.mac[i] = b[i];
            return 1;
        }
        if (key.rfind("app.", 0) == 0) {
            const std::vector<std::string> w = control_words(value);
            unsigned delay = 0;
            AppFrame af;
            if (w.size() != 4 || !parse_dec_number(w[0], 600000, &delay) ||
                !app_frame(w[1], w[2], w[3], &af.frame, why)) {
                if (why->empty() || w.size() != 4) *why = "app.<n> = <delay ms> <dst> <id> <payload hex|->";
                return -1;
            }
            af.delay_ms = delay;
            app_script_[key] = af;
            return 1;
        }
        return 0;
    }

    bool read_answer(uint16_t id, Bytes *p) {
        switch (id) {
            case 0xF402:
                *p = {static_cast<uint8_t>(s_.voltage >> 8), static_cast<uint8_t>(s_.voltage & 0xFF), s_.charging,
                      0x00};
                return true;
            case 0xF404: *p = {s_.main_battery}; return true;
            case 0xF413: p->assign(s_.ble_version, s_.ble_version + 4); return true;
            case 0xF414: p->assign(s_.mac, s_.mac + 6); return true;
            case 0xF416: *p = {s_.connected}; return true;
            case 0xF415: *p = {s_.eeprom}; return true;
            case 0xF41A: *p = {s_.charging}; return true;
            case 0xF403: *p = {static_cast<uint8_t>(bike_state().key_line ? 1 : 0), 0x00}; return true;
            default: return false;
        }
    }

    void on_caret(const Frame &f) {
        if (f.cmd == 0xA2) s_.connected = 0;
        if (f.cmd == 0x54) ++s_.ble_reboots;
        if (f.cmd == kCaretMac) ++s_.mac_queries;
        if (responder().silent || s_.caret_silent) return;
        if (responder().caret.count(f.cmd) != 0) {
            FramePeer::on_frame(f);
            return;
        }
        if (f.cmd == kCaretMac) {
            const size_t n = s_.mac_short ? 3 : 6;
            Bytes d(1 + n, 0x00);
            for (size_t i = 0; i < n; ++i) d[1 + i] = s_.mac[i];
            send_answer(encode_caret_frame(kCaretMac, d));
        }
    }

    void log_pkg(const char *why, const Bytes &pkg) {
        std::string line = std::to_string(unix_ms());
        line += why[0] ? std::string(" PKG-BAD ") + why + " " : " PKG ";
        line += hex_of(pkg.data(), pkg.size()) + "\n";
        devsim_append_file(line_root() + "/var/devsim/ble_app.log", line);
    }

    std::string line_root() { return line().root(); }

    void mirror() {
        char text[256];
        snprintf(text, sizeof text,
                 "connected = %u\nble_reboots = %u\nmac_queries = %u\nmain_battery = %u\nvoltage = %u\n",
                 s_.connected, s_.ble_reboots, s_.mac_queries, s_.main_battery, s_.voltage);
        if (mirrored_ == text) return;
        mirrored_ = text;
        devsim_write_file(line_root() + "/var/devsim/mcu_state", text);
    }

    McuSettings s_;
    std::map<std::string, AppFrame> app_script_;
    bool app_started_ = false;
    Bytes pkg_buf_;
    int64_t pkg_last_ms_ = 0;
    std::string mirrored_;
    DfuBoot dfu_;
};

}  // namespace

void ble_app_scan(Bytes *buf, const std::function<void(const char *why, const Bytes &pkg)> &sink) {
    Bytes &b = *buf;
    size_t pos = 0;
    while (pos < b.size()) {
        if (b[pos] != 'A') {
            ++pos;
            continue;
        }
        const size_t avail = b.size() - pos;
        if (avail < kPkgHead) break;
        if (b[pos + 1] != 'T' || b[pos + 2] != '>') {
            ++pos;
            continue;
        }
        const uint8_t *p = b.data() + pos;
        if (p[3] != 0x00 || p[4] != 0x05) {
            sink("header", Bytes(p, p + kPkgHead));
            pos += 3;
            continue;
        }
        const size_t l = p[5];
        if (l < kBusOverhead) {
            sink("length", Bytes(p, p + kPkgHead));
            pos += kPkgHead;
            continue;
        }
        if (avail < kPkgHead + l + 2) break;
        const Bytes pkg(p, p + kPkgHead + l + 2);
        const uint8_t *f = p + kPkgHead;
        const char *why = "";
        const size_t declared = static_cast<size_t>(f[5] | f[6] << 8) + kBusOverhead;
        if (p[kPkgHead + l] != 0x0D || p[kPkgHead + l + 1] != 0x0A) {
            why = "trailer";
        } else if (f[0] != 0x02 || f[l - 1] != 0x03 || declared != l) {
            why = "length";
        } else if (devsim_crc_ccitt_false(f + 1, l - 4) != static_cast<uint16_t>(f[l - 3] | f[l - 2] << 8)) {
            why = "crc";
        } else if (f[1] != kNodeApp) {
            why = "dst";
        }
        sink(why, pkg);
        pos += pkg.size();
    }
    b.erase(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(pos));
}

std::unique_ptr<Peer> make_mcu_peer(PeerLine &line) { return std::make_unique<McuPeer>(line); }
