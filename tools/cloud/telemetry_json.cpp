#include "telemetry_json.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr size_t kMaxText = 2 * kUplinkFrameBuf;  // nothing a box sends is longer

std::string num(long long v) { return std::to_string(v); }
std::string u8v(uint8_t v) { return v == 0xFF ? "null" : num(v); }
std::string u16v(uint16_t v) { return v == 0xFFFF ? "null" : num(v); }
std::string u32v(uint32_t v) { return v == 0xFFFFFFFFu ? "null" : num(v); }
std::string i16v(uint16_t raw) { return raw == 0xFFFF ? "null" : num(static_cast<int16_t>(raw)); }
std::string i32v(int32_t v) { return v == -1 ? "null" : num(v); }
std::string boolv(bool b) { return b ? "true" : "false"; }

std::string degrees(int32_t e6) {
    char b[32];
    // Exact: the frame carries whole millionths.
    const long long v = e6;
    const long long a = v < 0 ? -v : v;
    snprintf(b, sizeof b, "%s%lld.%06lld", v < 0 ? "-" : "", a / 1000000, a % 1000000);
    return b;
}

bool has_fix(const telemetry_t &t) { return !(t.latitude_e6 == -1 && t.longitude_e6 == -1); }

std::string cell(const telemetry_t &t) {
    if (t.mcc == -1 && t.mnc == -1 && t.cell_id == -1 && t.lac == -1) return "null";
    return "{\"mcc\":" + i32v(t.mcc) + ",\"mnc\":" + i32v(t.mnc) + ",\"cell_id\":" + i32v(t.cell_id) +
           ",\"lac\":" + i32v(t.lac) + "}";
}

std::string battery(const telemetry_t &t, int i) {
    return "{\"soc_pct\":" + u8v(t.soc[i]) + ",\"voltage\":" + u16v(t.voltage[i]) +
           ",\"current\":" + i16v(t.current[i]) + ",\"temperature_c\":" + u8v(t.temperature[i]) +
           ",\"charging\":" + u8v(t.charging[i]) + ",\"error\":" + u16v(t.error[i]) + "}";
}

std::string trim(const char *text, size_t len) {
    size_t b = 0, e = len;
    while (b < e && (text[b] == ' ' || text[b] == '\t' || text[b] == '\r' || text[b] == '\n')) ++b;
    while (e > b && (text[e - 1] == ' ' || text[e - 1] == '\t' || text[e - 1] == '\r' || text[e - 1] == '\n')) --e;
    return std::string(text + b, e - b);
}

}  // namespace

std::string json_quote(const std::string &s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c >= 0x7F) {
            char b[8];
            snprintf(b, sizeof b, "\\u%04x", c);
            out += b;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

int decode_telemetry_text(const char *text, size_t len, telemetry_t *t, std::string *why) {
    std::string s = trim(text ? text : "", text ? len : 0);
    if (s.empty()) {
        *why = "empty payload";
        return 0;
    }
    if (s.size() > kMaxText) {
        *why = "payload too long (" + std::to_string(s.size()) + " characters)";
        return 0;
    }
    uint8_t bytes[kUplinkFrameBuf];
    const int n = at_chars_to_hex(s.data(), bytes, static_cast<int>(s.size()), static_cast<int>(sizeof bytes));
    if (n <= 0) {
        *why = "not hex text";
        return 0;
    }
    if (static_cast<size_t>(n) != kTelemetryLen) {
        *why = "not a telemetry frame (" + std::to_string(n) + " bytes, telemetry has 108)";
        return 0;
    }
    if (telemetry_unpack(bytes, static_cast<size_t>(n), t) != 1) {
        *why = "not a telemetry frame (header or length field)";
        return 0;
    }
    return 1;
}

std::string imei_of_topic(const std::string &topic) {
    static const std::string kPrefix = "zt/ebike/devices/";
    if (topic.rfind(kPrefix, 0) != 0) return "";
    const size_t end = topic.find('/', kPrefix.size());
    return topic.substr(kPrefix.size(), end == std::string::npos ? std::string::npos : end - kPrefix.size());
}

std::string telemetry_json(const telemetry_t &t, const std::string &imei, const std::string &time) {
    std::string j = "{";
    if (!time.empty()) j += "\"time\":" + json_quote(time) + ",";
    if (!imei.empty()) j += "\"imei\":" + json_quote(imei) + ",";
    j += "\"type\":\"telemetry\"";
    const bool fix = has_fix(t);
    j += ",\"fix\":" + boolv(fix);
    if (fix) {
        j += ",\"latitude_deg\":" + degrees(t.latitude_e6) + ",\"longitude_deg\":" + degrees(t.longitude_e6) +
             ",\"altitude_m\":" + (t.altitude_m == 0xFFFF ? std::string("null") : num(static_cast<int16_t>(t.altitude_m))) +
             ",\"snr_sum_dbhz\":" + u16v(t.snr_sum);
    } else {
        j += ",\"latitude_deg\":null,\"longitude_deg\":null,\"altitude_m\":null,\"snr_sum_dbhz\":null";
    }
    j += ",\"cell\":" + cell(t);
    j += ",\"csq\":" + num(t.csq);
    j += ",\"speed_kmh\":" + u16v(t.BikeSpeed);
    j += ",\"cadence\":" + u16v(t.Candence);
    j += ",\"odometer\":" + u32v(t.odo);
    j += ",\"range\":" + u16v(t.odorange);
    j += ",\"assist_level\":" + u8v(t.CurrentSupportLevel);
    j += ",\"motor_power\":" + u16v(t.MotorPowerOut);
    j += ",\"rider_power\":" + u16v(t.HumanPower);
    j += ",\"motor_error\":" + u32v(t.ErrorStatus);
    j += ",\"box_voltage\":" + i16v(static_cast<uint16_t>(t.box_voltage));
    j += ",\"battery_count\":" + u8v(t.BatteryNumber);
    j += ",\"batteries\":[" + battery(t, 0) + "," + battery(t, 1) + "," + battery(t, 2) + "]";
    j += ",\"flags\":{\"bike_on\":" + boolv(t.flags & TLM_FLAG_BIKE_ON) +
         ",\"motor_locked\":" + boolv(t.flags & TLM_FLAG_MOTOR_LOCKED) +
         ",\"light_on\":" + boolv(t.flags & TLM_FLAG_LIGHT_ON) + "}";
    j += ",\"alarms\":{\"tilt\":" + boolv(t.alarm & TLM_ALARM_TILT) +
         ",\"moved_while_locked\":" + boolv(t.alarm & TLM_ALARM_MOVED_LOCKED) + "}";
    j += ",\"report_interval_s\":" + num(t.report_interval);
    return j + "}";
}

std::string other_json(const std::string &topic, const std::string &payload, const std::string &why,
                       const std::string &time) {
    std::string j = "{";
    if (!time.empty()) j += "\"time\":" + json_quote(time) + ",";
    const std::string imei = imei_of_topic(topic);
    if (!imei.empty()) j += "\"imei\":" + json_quote(imei) + ",";
    j += "\"type\":\"other\",\"topic\":" + json_quote(topic);
    if (!why.empty()) j += ",\"error\":" + json_quote(why);
    // Long payloads are cut: this is a look, not a transcript.
    j += ",\"payload\":" + json_quote(payload.size() > 2048 ? payload.substr(0, 2048) : payload);
    return j + "}";
}

std::string table_header(void) {
    char b[256];
    snprintf(b, sizeof b, "%-15s %-8s %-22s %5s %4s %6s %-6s %-6s %-5s %4s %4s %-10s %s", "IMEI", "TIME",
             "POSITION", "KM/H", "CSQ", "ODO", "BIKE", "LOCK", "LIGHT", "BATS", "SOC1", "ALARMS", "EVERY");
    return b;
}

std::string table_row(const telemetry_t &t, const std::string &imei, const std::string &time) {
    std::string pos;
    if (has_fix(t)) {
        pos = degrees(t.latitude_e6) + "," + degrees(t.longitude_e6);
    } else if (t.mcc != -1 || t.cell_id != -1) {
        pos = "cell " + std::to_string(t.mcc) + "-" + std::to_string(t.mnc) + " " + std::to_string(t.cell_id);
    } else {
        pos = "-";
    }
    std::string alarms;
    if (t.alarm & TLM_ALARM_TILT) alarms += "tilt ";
    if (t.alarm & TLM_ALARM_MOVED_LOCKED) alarms += "moved ";
    if (alarms.empty()) alarms = "-";
    auto dash = [](const std::string &v) { return v == "null" ? std::string("-") : v; };
    char b[320];
    snprintf(b, sizeof b, "%-15.15s %-8.8s %-22.22s %5s %4u %6s %-6s %-6s %-5s %4s %4s %-10.10s %us",
             imei.c_str(), time.c_str(), pos.c_str(), dash(u16v(t.BikeSpeed)).c_str(), t.csq,
             dash(u32v(t.odo)).c_str(), (t.flags & TLM_FLAG_BIKE_ON) ? "on" : "off",
             (t.flags & TLM_FLAG_MOTOR_LOCKED) ? "locked" : "free", (t.flags & TLM_FLAG_LIGHT_ON) ? "on" : "off",
             dash(u8v(t.BatteryNumber)).c_str(), dash(u8v(t.soc[0])).c_str(), alarms.c_str(),
             static_cast<unsigned>(t.report_interval));
    return b;
}
