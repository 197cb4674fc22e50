#include "cloud_request.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cloud/uplink_frame.h"
#include "telemetry_json.h"

namespace {

void put16(std::vector<uint8_t> &f, unsigned v) {
    f.push_back(static_cast<uint8_t>(v & 0xFF));
    f.push_back(static_cast<uint8_t>((v >> 8) & 0xFF));
}

bool parse_hex(const std::string &s, std::vector<uint8_t> *out) {
    if (s.size() % 2 != 0) return false;
    out->assign(s.size() / 2, 0);
    if (s.empty()) return true;
    return at_chars_to_hex(s.c_str(), out->data(), static_cast<int>(s.size()), static_cast<int>(out->size())) ==
           static_cast<int>(out->size());
}

bool parse_num(const std::string &s, long lo, long hi, long *v) {
    if (s.empty()) return false;
    char *end = nullptr;
    *v = strtol(s.c_str(), &end, 10);
    return end != nullptr && *end == '\0' && *v >= lo && *v <= hi;
}

std::vector<uint8_t> cmd_frame(const uint8_t ident[4], uint16_t id, const std::vector<uint8_t> &body) {
    std::vector<uint8_t> f(kUplinkMagic, kUplinkMagic + 4);
    f.insert(f.end(), ident, ident + 4);
    f.push_back(0x00);
    put16(f, id);
    put16(f, static_cast<unsigned>(body.size()));
    f.insert(f.end(), body.begin(), body.end());
    return f;
}

const char *cmd_name(unsigned id) {
    switch (id) {
    case 1: return "bike power";
    case 2: return "motor lock";
    case 3: return "light";
    case 4: return "speaker";
    case 1001: return "diagnosis";
    case 1002: return "report interval";
    case 1004: return "switch servers";
    default: return "command";
    }
}

const char *target_name(unsigned t) {
    switch (t) {
    case 1: return "motor";
    case 3: return "display";
    case 6: return "lib";
    case 7: return "ble";
    case 8: return "gd32";
    default: return "unknown";
    }
}

// Printable text of a fixed field, or its hex when it is not text; "" when
// the box had no value (all 0xFF).
std::string field(const uint8_t *p, size_t n, bool text) {
    bool all_ff = true;
    for (size_t i = 0; i < n; ++i) all_ff = all_ff && p[i] == 0xFF;
    if (all_ff) return "";
    if (text) {
        std::string s;
        bool ok = true;
        for (size_t i = 0; i < n && p[i] != 0 && p[i] != 0xFF; ++i) {
            if (p[i] < 0x20 || p[i] > 0x7E) ok = false;
            s.push_back(static_cast<char>(p[i]));
        }
        if (ok) return s;
    }
    return cloud_hex(std::vector<uint8_t>(p, p + n));
}

}  // namespace

std::string cloud_hex(const std::vector<uint8_t> &bytes) {
    std::string out(2 * bytes.size(), '\0');
    if (!bytes.empty()) at_hex_to_chars(bytes.data(), static_cast<int>(bytes.size()), out.data(), static_cast<int>(out.size()));
    return out;
}

int build_cloud_request(const std::vector<std::string> &a, const uint8_t ident[4], CloudRequest *out, std::string *why) {
    *out = CloudRequest();
    if (a.empty()) {
        *why = "no request kind";
        return -1;
    }
    const std::string &k = a[0];
    auto onoff = [&](uint16_t id) {
        if (a.size() != 2 || (a[1] != "on" && a[1] != "off")) {
            *why = k + " takes on or off";
            return -1;
        }
        out->kind = "cmd";
        out->cmd_id = id;
        out->frame = cmd_frame(ident, id, {static_cast<uint8_t>(a[1] == "on" ? 1 : 0), 0});
        return 0;
    };
    if (k == "lock" || k == "unlock") {
        if (a.size() != 1) {
            *why = k + " takes no argument";
            return -1;
        }
        out->kind = "cmd";
        out->cmd_id = 2;
        out->frame = cmd_frame(ident, 2, {static_cast<uint8_t>(k == "lock" ? 1 : 0), 0});
        return 0;
    }
    if (k == "light") return onoff(3);
    if (k == "power") return onoff(1);
    if (k == "speaker") {
        out->kind = "cmd";
        out->cmd_id = 4;
        out->frame = cmd_frame(ident, 4, {1, 0});
        out->expects_response = false;
        out->default_timeout_s = 3;
        return 0;
    }
    if (k == "interval") {
        long v = 0;
        if (a.size() != 2 || !parse_num(a[1], 0, 255, &v)) {
            *why = "interval takes seconds, 0..255";
            return -1;
        }
        out->kind = "cmd";
        out->cmd_id = 1002;
        out->frame = cmd_frame(ident, 1002, {static_cast<uint8_t>(v), 0});
        return 0;
    }
    if (k == "diag" || k == "cmd") {
        const size_t hexi = k == "diag" ? 1 : 2;
        long id = 1001;
        std::vector<uint8_t> body;
        if (a.size() != hexi + 1 || (k == "cmd" && !parse_num(a[1], 0, 65535, &id)) || !parse_hex(a[hexi], &body) ||
            body.size() > 1000) {
            *why = k == "diag" ? "diag takes a hex body" : "cmd takes an id (0..65535) and a hex body";
            return -1;
        }
        out->kind = "cmd";
        out->cmd_id = static_cast<uint16_t>(id);
        out->frame = cmd_frame(ident, static_cast<uint16_t>(id), body);
        return 0;
    }
    if (k == "servers") {
        if (a.size() != 2 || a[1].empty() || a[1].size() > 200) {
            *why = "servers takes host:port[,user,password]";
            return -1;
        }
        // The box reads the body back to front.
        std::vector<uint8_t> body(a[1].rbegin(), a[1].rend());
        out->kind = "cmd";
        out->cmd_id = 1004;
        out->frame = cmd_frame(ident, 1004, body);
        return 0;
    }
    if (k == "extra") {
        out->kind = "extra_data";
        out->frame.assign(kUplinkMagic, kUplinkMagic + 4);
        out->frame.insert(out->frame.end(), ident, ident + 4);
        out->default_timeout_s = 30;
        return 0;
    }
    if (k == "ota") {
        long target = 0, ctrl = 0;
        const std::string &t = a.size() > 1 ? a[1] : std::string();
        if (t == "motor") target = 1;
        else if (t == "display") target = 3;
        else if (t == "lib") target = 6;
        else if (t == "ble") target = 7;
        else if (t == "gd32") target = 8;
        else if (!parse_num(t, 0, 255, &target)) target = -1;
        if (target < 0 || a.size() < 3 || a.size() > 4 || a[2].empty() || a[2].size() > 255 ||
            (a.size() == 4 && !parse_num(a[3], 0, 255, &ctrl))) {
            *why = "ota takes motor|display|lib|ble|gd32 (or a number), a URL and, for motor, a controller id";
            return -1;
        }
        out->kind = "ota";
        out->frame.assign(kUplinkMagic, kUplinkMagic + 4);
        out->frame.insert(out->frame.end(), ident, ident + 4);
        out->frame.push_back(static_cast<uint8_t>(target));
        put16(out->frame, static_cast<unsigned>(a[2].size()));
        out->frame.insert(out->frame.end(), a[2].rbegin(), a[2].rend());
        if (target == 1) out->frame.push_back(static_cast<uint8_t>(a.size() == 4 ? ctrl : 0));
        out->expects_response = target != 7;
        out->default_timeout_s = target == 7 ? 5 : 600;
        return 0;
    }
    *why = "unknown request kind " + k;
    return -1;
}

int decode_cloud_response(const std::string &kind, const std::string &payload, const uint8_t ident[4],
                          std::string *text, std::string *json, std::string *why) {
    std::vector<uint8_t> b;
    if (!parse_hex(payload, &b)) {
        *why = "payload is not hex text";
        return 0;
    }
    if (b.size() < 8 || memcmp(b.data(), kUplinkMagic, 4) != 0) {
        *why = "not a response frame";
        return 0;
    }
    if (memcmp(b.data() + 4, ident, 4) != 0) {
        *why = "answers another request";
        return 0;
    }
    char buf[512];
    if (kind == "cmd") {
        if (b.size() < 13) {
            *why = "command response too short";
            return 0;
        }
        const unsigned id = b[9] | b[10] << 8;
        const unsigned n = b[11] | b[12] << 8;
        if (13 + n != b.size()) {
            *why = "command response length does not match";
            return 0;
        }
        const std::vector<uint8_t> data(b.begin() + 13, b.end());
        if (id == 1001) {
            snprintf(buf, sizeof buf, "%s: %u bytes echoed: %s", cmd_name(id), n, cloud_hex(data).c_str());
            *text = buf;
            *json = "{\"kind\":\"cmd\",\"cmd\":" + std::to_string(id) + ",\"data\":" + json_quote(cloud_hex(data)) + "}";
        } else {
            const unsigned result = n >= 2 ? (data[0] | data[1] << 8) : (n == 1 ? data[0] : 0);
            snprintf(buf, sizeof buf, "%s: result %u (%s)", cmd_name(id), result, result == 1 ? "done" : "not confirmed");
            *text = buf;
            *json = "{\"kind\":\"cmd\",\"cmd\":" + std::to_string(id) + ",\"result\":" + std::to_string(result) +
                    ",\"data\":" + json_quote(cloud_hex(data)) + "}";
        }
        return 1;
    }
    if (kind == "ota") {
        if (b.size() != 11) {
            *why = "OTA response is not 11 bytes";
            return 0;
        }
        snprintf(buf, sizeof buf, "ota %s: status %u (%s)", target_name(b[8]), b[9], b[9] == 1 ? "done" : b[9] == 0 ? "failed" : "routine's result");
        *text = buf;
        *json = "{\"kind\":\"ota\",\"target\":" + std::to_string(b[8]) + ",\"status\":" + std::to_string(b[9]) + "}";
        return 1;
    }
    if (kind == "extra_data") {
        if (b.size() != 170 || (b[8] | b[9] << 8) != 160) {
            *why = "extra-data response is not 170 bytes";
            return 0;
        }
        const uint8_t *f = b.data();
        std::string iccid = cloud_hex(std::vector<uint8_t>(f + 18, f + 28));
        struct F {
            const char *name;
            size_t off, n;
            bool text;
        };
        const F fields[] = {{"motor_sw", 10, 4, false},      {"motor_boot", 14, 4, false},   {"motor_sn", 28, 24, true},
                            {"product", 52, 6, true},        {"display_sw", 58, 4, false},   {"display_model", 62, 20, true},
                            {"display_branch", 82, 30, true}, {"motor_model", 112, 20, true}, {"motor_branch", 132, 30, true},
                            {"gd32_sw", 162, 4, false},      {"ble_sw", 166, 4, false}};
        std::string t = "extra: iccid " + iccid;
        std::string j = "{\"kind\":\"extra_data\",\"iccid\":" + json_quote(iccid);
        for (const F &x : fields) {
            const std::string v = field(f + x.off, x.n, x.text);
            t += std::string(" ") + x.name + " " + (v.empty() ? "-" : v);
            j += std::string(",\"") + x.name + "\":" + (v.empty() ? "null" : json_quote(v));
        }
        *text = t;
        *json = j + "}";
        return 1;
    }
    *why = "unknown kind " + kind;
    return 0;
}
