// NMEA sentence checks, field extraction, coordinate conversion, the GSV
// collector and the strong-satellite evaluation on arbitrary engine output.
// Each input is split into lines; every line goes through every check, also
// as a 201-byte slot without a terminating NUL (the heap copy is exactly one
// slot, so ASan sees any read past it).  Besides "no crash" it checks the
// bounds the callers rely on.  Seeds: heads of the GPSD captures in
// tests/data/nmea (see the provenance files there) and hand-made hostile lines.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>

#include "core/logging.h"
#include "gps/gps_handle.h"
#include "gps/nmea_parse.h"

namespace {

void check_fields(const char *text, int n) {
    char f[4][kNmeaFieldLen];
    memset(f, 0, sizeof f);
    get_offset_value_list(text, n, f[0], f[1], f[2], f[3]);
    for (auto &b : f) {
        if (strnlen(b, kNmeaFieldLen) >= kNmeaFieldLen) abort();  // lost its terminator
    }
    name_text_2_float(f[0], 2);
    name_text_2_float(f[2], 3);
}

void one_sentence(const char *text, int n) {
    check_data_invalid(text);
    check_fields(text, n);
    check_gps_gga(text);
    check_gps_rmc(text);
    check_gps_vtg(text);
    {
        std::lock_guard<std::mutex> lk(gps_nmea_mutex());
        tx510_get_all_gpgsv_data(text);
    }
    char norm[256];
    if (tx510_change_gpgsv_data(text, norm, sizeof norm) > 127 || strlen(norm) > 127) abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // Checksum mismatches log at error level and the GGA check prints every
    // new position: keep libFuzzer's own output readable.
    iot_log_init(0, LOG_TYPE_OFF);
    if (std::freopen("/dev/null", "w", stdout) == nullptr) abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 64 * 1024) return 0;
    const int n = size > 0 ? data[0] % 24 : 0;
    size_t start = 0;
    while (start < size) {
        size_t end = start;
        while (end < size && data[end] != '\n') ++end;
        const size_t len = end - start;

        // As a C string of any length...
        std::unique_ptr<char[]> line(new char[len + 1]);
        memcpy(line.get(), data + start, len);
        line[len] = '\0';
        one_sentence(line.get(), n);

        // ...and as a full slot with no NUL at all.
        std::unique_ptr<char[]> slot(new char[kNmeaSlotLen]);
        memset(slot.get(), ',', kNmeaSlotLen);
        memcpy(slot.get(), data + start, len < kNmeaSlotLen ? len : kNmeaSlotLen);
        one_sentence(slot.get(), n);

        start = end + 1;
    }

    gps_snr_list_t list;
    if (iot_get_gps_snr_data(&list) == 1 && (list.count < 0 || list.count > kGsvMaxStrong)) abort();
    check_gps_gsv(nullptr);
    iot_get_gps_snr_num(static_cast<uint8_t>(n * 10));

    // The snapshot as the session hands it over: six slots end to end.
    std::unique_ptr<char[]> snap(new char[kNmeaSnapshotLen]);
    memset(snap.get(), 0, kNmeaSnapshotLen);
    memcpy(snap.get(), data, size < kNmeaSnapshotLen ? size : kNmeaSnapshotLen);
    check_gps_nmea_data(snap.get());
    return 0;
}
