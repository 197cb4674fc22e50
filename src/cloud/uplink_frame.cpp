#include "cloud/uplink_frame.h"

#include <cstring>

namespace {

// Offsets of the telemetry frame; the body length at 8 counts what follows it.
enum : size_t {
    kOffReqId = 4,
    kOffBodyLen = 8,
    kOffLat = 10,
    kOffLon = 14,
    kOffAlt = 18,
    kOffSnr = 20,
    kOffCsq = 22,
    kOffOdo = 23,
    kOffOdoRange = 27,
    kOffError = 29,
    kOffMotorPower = 33,
    kOffHumanPower = 35,
    kOffSpeed = 37,
    kOffCadence = 39,
    kOffAssist = 41,
    kOff42 = 42,
    kOff44 = 44,
    kOffBoxVoltage = 46,
    kOffSoc1 = 48,
    kOffVolt1 = 49,
    kOffCur1 = 51,
    kOffTemp1 = 53,
    kOffPad54 = 54,
    kOffPad56 = 56,
    kOffFlags = 58,
    kOffAlarm = 59,
    kOffMcc = 60,
    kOffMnc = 64,
    kOffCell = 68,
    kOffLac = 72,
    kOffChg1 = 76,
    kOffBatNum = 77,
    kOffSoc2 = 78,
    kOffVolt2 = 79,
    kOffCur2 = 81,
    kOffPad83 = 83,
    kOffChg2 = 87,
    kOffTemp2 = 88,
    kOffSoc3 = 89,
    kOffVolt3 = 90,
    kOffCur3 = 92,
    kOffPad94 = 94,
    kOffPad96 = 96,
    kOffChg3 = 98,
    kOffTemp3 = 99,
    kOffErr1 = 100,
    kOffErr2 = 102,
    kOffErr3 = 104,
    kOffInterval = 106,
};
static_assert(kOffInterval + 2 == kTelemetryLen, "telemetry layout ends at 108");
static_assert(kTelemetryLen - kOffBodyLen - 2 == kTelemetryBodyLen, "body length counts what follows it");

void put16(uint8_t *p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
void put32(uint8_t *p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
uint16_t get16(const uint8_t *p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t get32(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

}  // namespace

void telemetry_defaults(telemetry_t *t) {
    memset(t, 0xFF, sizeof *t);
    t->request_id = kTelemetryRequestId;
    t->body_len = kTelemetryBodyLen;
    t->const42 = 1;
    t->const44 = 1;
}

void uplink_put_header(uint8_t *out, const uint8_t request_id[4]) {
    memcpy(out, kUplinkMagic, 4);
    memcpy(out + kOffReqId, request_id, 4);
}

void telemetry_pack(const telemetry_t &t, uint8_t out[kTelemetryLen]) {
    memset(out, 0, kTelemetryLen);
    const uint8_t id[4] = {0xFF, 0xFF, 0xFF, 0xFF};
    uplink_put_header(out, id);
    put16(out + kOffBodyLen, kTelemetryBodyLen);
    put32(out + kOffLat, static_cast<uint32_t>(t.latitude_e6));
    put32(out + kOffLon, static_cast<uint32_t>(t.longitude_e6));
    put16(out + kOffAlt, t.altitude_m);
    put16(out + kOffSnr, t.snr_sum);
    out[kOffCsq] = t.csq;
    put32(out + kOffOdo, t.odo);
    put16(out + kOffOdoRange, t.odorange);
    put32(out + kOffError, t.ErrorStatus);
    put16(out + kOffMotorPower, t.MotorPowerOut);
    put16(out + kOffHumanPower, t.HumanPower);
    put16(out + kOffSpeed, t.BikeSpeed);
    put16(out + kOffCadence, t.Candence);
    out[kOffAssist] = t.CurrentSupportLevel;
    put16(out + kOff42, 1);
    put16(out + kOff44, 1);
    put16(out + kOffBoxVoltage, static_cast<uint16_t>(t.box_voltage));
    out[kOffSoc1] = t.soc[0];
    put16(out + kOffVolt1, t.voltage[0]);
    put16(out + kOffCur1, t.current[0]);
    out[kOffTemp1] = t.temperature[0];
    put16(out + kOffPad54, 0xFFFF);
    put16(out + kOffPad56, 0xFFFF);
    out[kOffFlags] = t.flags;
    out[kOffAlarm] = t.alarm;
    put32(out + kOffMcc, static_cast<uint32_t>(t.mcc));
    put32(out + kOffMnc, static_cast<uint32_t>(t.mnc));
    put32(out + kOffCell, static_cast<uint32_t>(t.cell_id));
    put32(out + kOffLac, static_cast<uint32_t>(t.lac));
    out[kOffChg1] = t.charging[0];
    out[kOffBatNum] = t.BatteryNumber;
    out[kOffSoc2] = t.soc[1];
    put16(out + kOffVolt2, t.voltage[1]);
    put16(out + kOffCur2, t.current[1]);
    put32(out + kOffPad83, 0xFFFFFFFFu);
    out[kOffChg2] = t.charging[1];
    out[kOffTemp2] = t.temperature[1];
    out[kOffSoc3] = t.soc[2];
    put16(out + kOffVolt3, t.voltage[2]);
    put16(out + kOffCur3, t.current[2]);
    put16(out + kOffPad94, 0xFFFF);
    put16(out + kOffPad96, 0xFFFF);
    out[kOffChg3] = t.charging[2];
    out[kOffTemp3] = t.temperature[2];
    put16(out + kOffErr1, t.error[0]);
    put16(out + kOffErr2, t.error[1]);
    put16(out + kOffErr3, t.error[2]);
    put16(out + kOffInterval, t.report_interval);
}

int telemetry_unpack(const uint8_t *in, size_t len, telemetry_t *t) {
    if (in == nullptr || t == nullptr || len != kTelemetryLen) return 0;
    if (memcmp(in, kUplinkMagic, 4) != 0 || get16(in + kOffBodyLen) != kTelemetryBodyLen) return 0;
    telemetry_t r;
    telemetry_defaults(&r);
    r.request_id = get32(in + kOffReqId);
    r.body_len = get16(in + kOffBodyLen);
    r.latitude_e6 = static_cast<int32_t>(get32(in + kOffLat));
    r.longitude_e6 = static_cast<int32_t>(get32(in + kOffLon));
    r.altitude_m = get16(in + kOffAlt);
    r.snr_sum = get16(in + kOffSnr);
    r.csq = in[kOffCsq];
    r.odo = get32(in + kOffOdo);
    r.odorange = get16(in + kOffOdoRange);
    r.ErrorStatus = get32(in + kOffError);
    r.MotorPowerOut = get16(in + kOffMotorPower);
    r.HumanPower = get16(in + kOffHumanPower);
    r.BikeSpeed = get16(in + kOffSpeed);
    r.Candence = get16(in + kOffCadence);
    r.CurrentSupportLevel = in[kOffAssist];
    r.const42 = get16(in + kOff42);
    r.const44 = get16(in + kOff44);
    r.box_voltage = static_cast<int16_t>(get16(in + kOffBoxVoltage));
    r.soc[0] = in[kOffSoc1];
    r.soc[1] = in[kOffSoc2];
    r.soc[2] = in[kOffSoc3];
    r.voltage[0] = get16(in + kOffVolt1);
    r.voltage[1] = get16(in + kOffVolt2);
    r.voltage[2] = get16(in + kOffVolt3);
    r.current[0] = get16(in + kOffCur1);
    r.current[1] = get16(in + kOffCur2);
    r.current[2] = get16(in + kOffCur3);
    r.temperature[0] = in[kOffTemp1];
    r.temperature[1] = in[kOffTemp2];
    r.temperature[2] = in[kOffTemp3];
    r.charging[0] = in[kOffChg1];
    r.charging[1] = in[kOffChg2];
    r.charging[2] = in[kOffChg3];
    r.error[0] = get16(in + kOffErr1);
    r.error[1] = get16(in + kOffErr2);
    r.error[2] = get16(in + kOffErr3);
    r.BatteryNumber = in[kOffBatNum];
    r.flags = in[kOffFlags];
    r.alarm = in[kOffAlarm];
    r.mcc = static_cast<int32_t>(get32(in + kOffMcc));
    r.mnc = static_cast<int32_t>(get32(in + kOffMnc));
    r.cell_id = static_cast<int32_t>(get32(in + kOffCell));
    r.lac = static_cast<int32_t>(get32(in + kOffLac));
    r.report_interval = get16(in + kOffInterval);
    *t = r;
    return 1;
}

int at_hex_to_chars(const uint8_t *in, int len, char *out, int out_size) {
    static const char kDigits[] = "0123456789ABCDEF";
    if (in == nullptr || out == nullptr || len <= 0 || out_size < 2) return 0;
    // Whole bytes only: a frame cut in the middle of a byte would decode wrong.
    const int fit = out_size / 2 < len ? out_size / 2 : len;
    for (int i = 0; i < fit; ++i) {
        out[2 * i] = kDigits[in[i] >> 4];
        out[2 * i + 1] = kDigits[in[i] & 0x0F];
    }
    return 2 * fit;
}

int at_chars_to_hex(const char *text, uint8_t *out, int text_len, int out_size) {
    if (text == nullptr || out == nullptr || text_len <= 0 || (text_len & 1) != 0) return 0;
    if (text_len / 2 > out_size) return 0;
    // Check everything before writing: a bad digit leaves `out` untouched.
    for (int i = 0; i < text_len; ++i) {
        if (hex_value(text[i]) < 0) return 0;
    }
    for (int i = 0; i < text_len / 2; ++i) {
        out[i] = static_cast<uint8_t>((hex_value(text[2 * i]) << 4) | hex_value(text[2 * i + 1]));
    }
    return text_len / 2;
}
