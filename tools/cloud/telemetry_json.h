#pragma once
// Decoding of what boxes publish, for people: telemetry frames as one JSON
// object a line, or as a row of the live table.  The layout itself is the
// agent's (src/cloud/uplink_frame.h); nothing here knows an offset.
#include <cstddef>
#include <string>

#include "cloud/uplink_frame.h"

// Hex text (either case, surrounding blanks ignored) to a telemetry record.
// 1 on success; 0 with *why set (bad hex, wrong length, not telemetry).
int decode_telemetry_text(const char *text, size_t len, telemetry_t *t, std::string *why);

// The box's IMEI from a topic "zt/ebike/devices/<IMEI>/...", or "" when the
// topic is not one of the fleet's.
std::string imei_of_topic(const std::string &topic);

// One JSON object, no newline.  Field names carry their unit where the bike
// defines one (_deg, _m, _kmh, _pct, _c, _s); a value the bike never sent
// (all-ones) is null; flags and alarms are spelled out.  `imei` and `time`
// are left out when empty.
std::string telemetry_json(const telemetry_t &t, const std::string &imei, const std::string &time);

// A JSON line for a payload that is not a telemetry frame (or a broken one).
std::string other_json(const std::string &topic, const std::string &payload, const std::string &why,
                       const std::string &time);

// The live table: header line, and one fixed-width row per box.
std::string table_header(void);
std::string table_row(const telemetry_t &t, const std::string &imei, const std::string &time);

// JSON string literal of arbitrary bytes (quotes included).
std::string json_quote(const std::string &s);
