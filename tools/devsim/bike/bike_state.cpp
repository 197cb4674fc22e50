#include "bike/bike_state.h"

#include <cstdio>
#include <cstring>
#include <mutex>

namespace {

constexpr unsigned kMaxDelayMs = 600000;  // as the frame layer's scripted answers
constexpr size_t kModelMax = 20;
constexpr size_t kBranchMax = 30;
constexpr size_t kSerialMax = 24;

std::mutex g_mu;
BikeState g_state = bike_default_state();

// Decimal, no sign, at most `max`.
bool parse_u(const std::string &v, uint64_t max, uint64_t *out) {
    if (v.empty() || v.size() > 10) return false;
    uint64_t n = 0;
    for (char c : v) {
        if (c < '0' || c > '9') return false;
        n = n * 10 + static_cast<uint64_t>(c - '0');
    }
    if (n > max) return false;
    *out = n;
    return true;
}

bool parse_flag(const std::string &v, bool *out) {
    if (v != "0" && v != "1") return false;
    *out = v == "1";
    return true;
}

// "a.b.c.d", each 0..255.
bool parse_version(const std::string &v, uint8_t out[4]) {
    uint8_t tmp[4];
    size_t i = 0;
    for (int part = 0; part < 4; ++part) {
        size_t j = v.find('.', i);
        if (part == 3) {
            if (j != std::string::npos) return false;
            j = v.size();
        } else if (j == std::string::npos) {
            return false;
        }
        uint64_t n = 0;
        if (j - i > 3 || !parse_u(v.substr(i, j - i), 255, &n)) return false;
        tmp[part] = static_cast<uint8_t>(n);
        i = j + 1;
    }
    memcpy(out, tmp, 4);
    return true;
}

// Printable ASCII only: these go into the agent's fixed text fields.
bool parse_text(const std::string &v, size_t max, std::string *out) {
    if (v.empty() || v.size() > max) return false;
    for (char c : v)
        if (c < 0x20 || c > 0x7E) return false;
    *out = v;
    return true;
}

std::string version_text(const uint8_t v[4]) {
    return std::to_string(v[0]) + "." + std::to_string(v[1]) + "." + std::to_string(v[2]) + "." +
           std::to_string(v[3]);
}

int set_battery(BikeBattery &b, const std::string &field, const std::string &value, std::string *why) {
    uint64_t n = 0;
    if (field == "present") {
        if (!parse_flag(value, &b.present)) {
            *why = "present must be 0 or 1";
            return -1;
        }
        return 1;
    }
    if (field == "current") {
        // Discharge shows as a negative current; the wire carries its 16 bits.
        const bool neg = !value.empty() && value[0] == '-';
        if (!parse_u(neg ? value.substr(1) : value, neg ? 32768 : 65535, &n)) {
            *why = "current must be -32768..65535";
            return -1;
        }
        b.current = static_cast<uint16_t>(neg ? 65536 - n : n);
        return 1;
    }
    struct Field {
        const char *name;
        uint64_t max;
    };
    static const Field kFields[] = {{"soc", 255},      {"voltage", 65535}, {"temp", 65535},
                                    {"capacity", 65535}, {"charging", 255},  {"error", 65535}};
    for (const Field &f : kFields) {
        if (field != f.name) continue;
        if (!parse_u(value, f.max, &n)) {
            *why = field + " must be 0.." + std::to_string(f.max);
            return -1;
        }
        if (field == "soc") b.soc = static_cast<uint8_t>(n);
        if (field == "voltage") b.voltage = static_cast<uint16_t>(n);
        if (field == "temp") b.temp = static_cast<uint16_t>(n);
        if (field == "capacity") b.capacity = static_cast<uint16_t>(n);
        if (field == "charging") b.charging = static_cast<uint8_t>(n);
        if (field == "error") b.error = static_cast<uint16_t>(n);
        return 1;
    }
    return 0;
}

// Applies one key to `s`.  1 / 0 / -1 as bike_state_set.
int apply(BikeState &s, const std::string &key, const std::string &value, std::string *why) {
    uint64_t n = 0;
    bool flag = false;
    if (key.size() > 9 && key.compare(0, 7, "battery") == 0 && key[8] == '.') {
        const char d = key[7];
        if (d < '1' || d > '3') return 0;
        return set_battery(s.battery[d - '1'], key.substr(9), value, why);
    }
    struct Flag {
        const char *name;
        bool BikeState::*field;
    };
    static const Flag kFlags[] = {{"attached", &BikeState::attached},
                                  {"on", &BikeState::on},
                                  {"locked", &BikeState::locked},
                                  {"light", &BikeState::light},
                                  {"display_broadcast", &BikeState::display_broadcast},
                                  {"wrong_lock_byte", &BikeState::wrong_lock_byte}};
    for (const Flag &f : kFlags) {
        if (key != f.name) continue;
        if (!parse_flag(value, &flag)) {
            *why = key + " must be 0 or 1";
            return -1;
        }
        s.*f.field = flag;
        return 1;
    }
    struct Num {
        const char *name;
        uint64_t max;
    };
    static const Num kNums[] = {{"odo", 0xFFFFFFFFu},   {"range", 0xFFFFFFFFu},     {"error", 0xFFFF},
                                {"motor_power", 0xFFFF}, {"human_power", 0xFFFF},     {"assist", 255},
                                {"speed", 1023},         {"cadence", 255},            {"silent_battery", 3},
                                {"answer_delay_ms", kMaxDelayMs}};
    for (const Num &f : kNums) {
        if (key != f.name) continue;
        if (!parse_u(value, f.max, &n)) {
            *why = key + " must be 0.." + std::to_string(f.max);
            return -1;
        }
        if (key == "odo") s.odo = static_cast<uint32_t>(n);
        if (key == "range") s.range = static_cast<uint32_t>(n);
        if (key == "error") s.error = static_cast<uint16_t>(n);
        if (key == "motor_power") s.motor_power = static_cast<uint16_t>(n);
        if (key == "human_power") s.human_power = static_cast<uint16_t>(n);
        if (key == "assist") s.assist = static_cast<uint8_t>(n);
        if (key == "speed") s.speed = static_cast<uint16_t>(n);
        if (key == "cadence") s.cadence = static_cast<uint8_t>(n);
        if (key == "silent_battery") s.silent_battery = static_cast<int>(n);
        if (key == "answer_delay_ms") s.answer_delay_ms = static_cast<unsigned>(n);
        return 1;
    }
    struct Version {
        const char *name;
        uint8_t (BikeState::*field)[4];
    };
    static const Version kVersions[] = {{"motor_version", &BikeState::motor_version},
                                        {"motor_boot_version", &BikeState::motor_boot_version},
                                        {"display_version", &BikeState::display_version},
                                        {"gd_version", &BikeState::gd_version},
                                        {"gd_boot_version", &BikeState::gd_boot_version}};
    for (const Version &f : kVersions) {
        if (key != f.name) continue;
        if (!parse_version(value, s.*f.field)) {
            *why = key + " must be a.b.c.d, each 0..255";
            return -1;
        }
        return 1;
    }
    struct Text {
        const char *name;
        std::string BikeState::*field;
        size_t max;
    };
    static const Text kTexts[] = {{"motor_model", &BikeState::motor_model, kModelMax},
                                  {"display_model", &BikeState::display_model, kModelMax},
                                  {"motor_branch", &BikeState::motor_branch, kBranchMax},
                                  {"display_branch", &BikeState::display_branch, kBranchMax},
                                  {"serial", &BikeState::serial, kSerialMax}};
    for (const Text &f : kTexts) {
        if (key != f.name) continue;
        if (!parse_text(value, f.max, &(s.*f.field))) {
            *why = key + " must be 1.." + std::to_string(f.max) + " printable characters";
            return -1;
        }
        return 1;
    }
    return 0;
}

}  // namespace

BikeState bike_default_state() {
    BikeState s;
    s.odo = 123456;
    s.range = 650000;
    s.motor_power = 250;
    s.human_power = 120;
    s.assist = 2;
    s.speed = 25;
    s.cadence = 70;
    s.battery[0] = BikeBattery{true, 80, 3650, 120, 253, 10500, 0, 0};
    s.battery[1] = BikeBattery{true, 65, 3610, 80, 248, 8400, 0, 0};
    s.battery[2] = BikeBattery{false, 0, 0, 0, 0, 0, 0, 0};
    const uint8_t mv[4] = {1, 2, 3, 4}, mb[4] = {1, 0, 0, 3}, dv[4] = {2, 0, 1, 0}, gv[4] = {3, 1, 0, 2},
                  gb[4] = {1, 0, 0, 1};
    memcpy(s.motor_version, mv, 4);
    memcpy(s.motor_boot_version, mb, 4);
    memcpy(s.display_version, dv, 4);
    memcpy(s.gd_version, gv, 4);
    memcpy(s.gd_boot_version, gb, 4);
    s.motor_model = "MC-250";
    s.display_model = "DP-C10";
    s.motor_branch = "main";
    s.display_branch = "main";
    s.serial = "MC250A000000000000012345";
    return s;
}

BikeState bike_state() {
    std::lock_guard<std::mutex> g(g_mu);
    return g_state;
}

void bike_state_reset() {
    std::lock_guard<std::mutex> g(g_mu);
    const uint64_t rev = g_state.revision;
    const unsigned presses = g_state.presses;
    g_state = bike_default_state();
    g_state.revision = rev + 1;
    g_state.presses = presses;
}

int bike_state_set(const std::string &key, const std::string &value, std::string *why) {
    std::lock_guard<std::mutex> g(g_mu);
    BikeState next = g_state;
    const int r = apply(next, key, value, why);
    if (r != 1) return r;
    // Setting anything about the bike means the test wants one on the bus.
    if (key != "attached") next.attached = true;
    next.revision = g_state.revision + 1;
    g_state = next;
    return 1;
}

int bike_state_configure(const std::string &key, const std::string &value) {
    std::string why;
    const int r = bike_state_set(key, value, &why);
    if (r < 0) {
        fprintf(stderr, "devsim: bike: %s = %s: %s\n", key.c_str(), value.c_str(), why.c_str());
        return 1;
    }
    return r;
}

void bike_key_line(bool on) {
    std::lock_guard<std::mutex> g(g_mu);
    if (on) {
        g_state.on = !g_state.on;
        ++g_state.presses;
    }
    g_state.key_line = on;
    ++g_state.revision;
}

void bike_set_locked(bool locked) {
    std::lock_guard<std::mutex> g(g_mu);
    g_state.locked = locked;
    ++g_state.revision;
}

void bike_set_light(bool on) {
    std::lock_guard<std::mutex> g(g_mu);
    g_state.light = on;
    ++g_state.revision;
}

std::string bike_state_text(const BikeState &s) {
    std::string t;
    auto put = [&t](const std::string &k, const std::string &v) { t += k + " = " + v + "\n"; };
    auto num = [&put](const std::string &k, uint64_t v) { put(k, std::to_string(v)); };
    num("attached", s.attached);
    num("on", s.on);
    num("locked", s.locked);
    num("light", s.light);
    num("key_line", s.key_line);
    num("presses", s.presses);
    num("odo", s.odo);
    num("range", s.range);
    num("error", s.error);
    num("motor_power", s.motor_power);
    num("human_power", s.human_power);
    num("assist", s.assist);
    num("speed", s.speed);
    num("cadence", s.cadence);
    for (int i = 0; i < 3; ++i) {
        const BikeBattery &b = s.battery[i];
        const std::string p = "battery" + std::to_string(i + 1) + ".";
        num(p + "present", b.present);
        num(p + "soc", b.soc);
        num(p + "voltage", b.voltage);
        num(p + "current", b.current);
        num(p + "temp", b.temp);
        num(p + "capacity", b.capacity);
        num(p + "charging", b.charging);
        num(p + "error", b.error);
    }
    num("silent_battery", static_cast<uint64_t>(s.silent_battery));
    num("display_broadcast", s.display_broadcast);
    num("wrong_lock_byte", s.wrong_lock_byte);
    num("answer_delay_ms", s.answer_delay_ms);
    put("motor_version", version_text(s.motor_version));
    put("motor_boot_version", version_text(s.motor_boot_version));
    put("display_version", version_text(s.display_version));
    put("gd_version", version_text(s.gd_version));
    put("gd_boot_version", version_text(s.gd_boot_version));
    put("motor_model", s.motor_model);
    put("display_model", s.display_model);
    put("motor_branch", s.motor_branch);
    put("display_branch", s.display_branch);
    put("serial", s.serial);
    return t;
}
