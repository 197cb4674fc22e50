#pragma once
// Uplink frames: the header every frame the box sends to the cloud starts
// with, the 108-byte telemetry frame, and the upper-case hex text all cloud
// payloads travel as.  The one definition of the layout: the agent packs with
// it, the operator's cloud tool (tools/cloud) decodes with it.  Depends on
// nothing but the standard library so the tool can build this file alone.
#include <cstddef>
#include <cstdint>

// Header, 8 bytes: 01 02 02 1C and the request identifier (bytes 4-7 of the
// request being answered; FF FF FF FF in telemetry).
inline constexpr size_t kUplinkHeaderLen = 8;
inline constexpr uint8_t kUplinkMagic[4] = {0x01, 0x02, 0x02, 0x1C};
inline constexpr uint32_t kTelemetryRequestId = 0xFFFFFFFFu;

// Telemetry: header, u16 body length 98, then the body.
inline constexpr size_t kTelemetryLen = 108;
inline constexpr uint16_t kTelemetryBodyLen = 98;
inline constexpr size_t kTelemetryHexLen = 2 * kTelemetryLen;  // 216 characters

// Shared text and frame buffer sizes (1024 characters carry 512 bytes).
inline constexpr size_t kUplinkFrameBuf = 1024;
inline constexpr size_t kUplinkTextBuf = 1024;

// Status flag and alarm bits as the frame carries them.
enum : uint8_t { TLM_FLAG_BIKE_ON = 0x01, TLM_FLAG_MOTOR_LOCKED = 0x02, TLM_FLAG_LIGHT_ON = 0x08 };
enum : uint8_t { TLM_ALARM_TILT = 0x01, TLM_ALARM_MOVED_LOCKED = 0x02 };

// Every field of a telemetry frame, by value.  Index 0..2 of the battery
// arrays are batteries 1..3.  Values the bike never sent are all-ones.
struct telemetry_t {
    uint32_t request_id;     // 0xFFFFFFFF
    uint16_t body_len;       // 98
    int32_t latitude_e6;     // millionths of a degree; -1 without a fix
    int32_t longitude_e6;    // millionths of a degree; -1 without a fix
    uint16_t altitude_m;     // whole metres, low 16 bits; 0xFFFF without a fix
    uint16_t snr_sum;        // low 16 bits; 0xFFFF without a fix
    uint8_t csq;
    uint32_t odo;
    uint16_t odorange;
    uint32_t ErrorStatus;
    uint16_t MotorPowerOut;
    uint16_t HumanPower;
    uint16_t BikeSpeed;
    uint16_t Candence;
    uint8_t CurrentSupportLevel;
    uint16_t const42;        // 1
    uint16_t const44;        // 1
    int16_t box_voltage;     // iot_battery pack voltage
    uint8_t soc[3];
    uint16_t voltage[3];
    uint16_t current[3];
    uint8_t temperature[3];
    uint8_t charging[3];
    uint16_t error[3];
    uint8_t BatteryNumber;
    uint8_t flags;           // Bits_Field8
    uint8_t alarm;           // alarm_info
    int32_t mcc;             // serving cell; -1 when the frame carries a fix
    int32_t mnc;
    int32_t cell_id;
    int32_t lac;
    uint16_t report_interval;  // seconds
};

// A record with every field at its "no value" marking (all-ones, -1) and the
// constants of the layout filled in.
void telemetry_defaults(telemetry_t *t);

// Packs `t` into exactly kTelemetryLen bytes (little-endian); the header and
// the body length come from the layout, not from `t`.
void telemetry_pack(const telemetry_t &t, uint8_t out[kTelemetryLen]);

// Reads a telemetry frame.  1 when `len` is kTelemetryLen and the header and
// body length are those of telemetry, else 0 (and *t untouched).
int telemetry_unpack(const uint8_t *in, size_t len, telemetry_t *t);

// Writes the 8-byte header with `request_id` (bytes as given, so a request's
// identifier is echoed unchanged).
void uplink_put_header(uint8_t *out, const uint8_t request_id[4]);

// at_hex_to_chars: each byte as two upper-case hex digits, high nibble first,
// no terminator.  Writes at most out_size characters (whole bytes only) and
// returns the number of characters written.
int at_hex_to_chars(const uint8_t *in, int len, char *out, int out_size);

// at_chars_to_hex: the reverse, for text from the cloud side: pairs of hex
// digits (either case), high nibble first.  Returns the number of bytes
// written; 0 for an odd length, a character that is not a hex digit, or text
// that would need more than out_size bytes (nothing is written past out_size).
int at_chars_to_hex(const char *text, uint8_t *out, int text_len, int out_size);
