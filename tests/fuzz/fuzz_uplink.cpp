// Arbitrary text through the cloud tool's telemetry decoder and the hex text
// codec: nothing written past an end, every accepted frame packs back to the
// same bytes, and every JSON line the tool would print is one line of
// printable text.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cloud/uplink_frame.h"
#include "telemetry_json.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const char *text = reinterpret_cast<const char *>(data);

    telemetry_t t;
    std::string why;
    if (decode_telemetry_text(text, size, &t, &why) == 1) {
        uint8_t packed[kTelemetryLen];
        telemetry_pack(t, packed);
        telemetry_t again;
        if (telemetry_unpack(packed, sizeof packed, &again) != 1) abort();
        uint8_t repacked[kTelemetryLen];
        telemetry_pack(again, repacked);
        if (memcmp(packed, repacked, sizeof packed) != 0) abort();
        for (const std::string &line : {telemetry_json(t, "866", "00:00:00"), table_row(t, "866", "00:00:00")}) {
            for (unsigned char c : line)
                if (c < 0x20 || c >= 0x7F) abort();
        }
    } else if (why.empty()) {
        abort();
    }
    for (unsigned char c : other_json(std::string(text, size > 64 ? 64 : size), std::string(text, size), why, ""))
        if (c < 0x20 || c >= 0x7F) abort();

    // The codec on a small output with guards after it.
    constexpr int kOut = 40, kGuard = 16;
    std::vector<uint8_t> out(kOut + kGuard, 0xA5);
    const int n = at_chars_to_hex(text, out.data(), static_cast<int>(size > 4096 ? 4096 : size), kOut);
    if (n < 0 || n > kOut) abort();
    for (int i = kOut; i < kOut + kGuard; ++i)
        if (out[i] != 0xA5) abort();
    if (n > 0) {
        std::vector<char> back(2 * static_cast<size_t>(n) + kGuard, '#');
        if (at_hex_to_chars(out.data(), n, back.data(), 2 * n) != 2 * n) abort();
        for (int i = 0; i < 2 * n; ++i)
            if (toupper(static_cast<unsigned char>(text[i])) != back[i]) abort();
        if (back[2 * n] != '#') abort();
    }
    return 0;
}
