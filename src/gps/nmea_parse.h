#pragma once
#include <mutex>
// NMEA sentence checks and conversions that keep the fix variables current,
// the GSV sequence collector and the strong-satellite selection.
//
// Every function takes sentence text of at most kNmeaSlotLen bytes and never
// looks past that, NUL or not, so a slot of the store can be handed in as it is.
#include <cstddef>
#include <cstdint>

// One sentence slot: 200 characters and a NUL.
constexpr size_t kNmeaSlotLen = 201;
// Field extraction buffers; at most kNmeaFieldLen - 1 characters land in each.
constexpr size_t kNmeaFieldLen = 16;
// GSV sentences kept for one sequence.
constexpr int kGsvMaxSentences = 12;
// Strong satellites listed at most.
constexpr int kGsvMaxStrong = 32;
// Signal-to-noise a satellite must exceed to be listed (dB-Hz).
constexpr int kGsvStrongSnr = 20;

// Offsets of the slots in the snapshot the session hands to check_gps_nmea_data.
enum : size_t {
    kNmeaGga = 0,
    kNmeaVtg = 1 * kNmeaSlotLen,
    kNmeaRmc = 2 * kNmeaSlotLen,
    kNmeaGsa = 3 * kNmeaSlotLen,
    kNmeaGsv = 4 * kNmeaSlotLen,
    kNmeaGll = 5 * kNmeaSlotLen,
    kNmeaSnapshotLen = 6 * kNmeaSlotLen,
};

// Strong-satellite list: satellites whose signal-to-noise is above 20 dB-Hz.
struct gps_snr_entry_t {
    char sat[kNmeaFieldLen];  // satellite number text
    char snr[kNmeaFieldLen];  // signal-to-noise text
};
struct gps_snr_list_t {
    int32_t count;
    gps_snr_entry_t sats[kGsvMaxStrong];
};
static_assert(sizeof(gps_snr_list_t) == 4 + 32 * 32, "strong-satellite list layout");

// The fix variables as one copy (each is read on its own; a reader may see a
// torn update between fields, which the callers accept).
struct gps_fix_vars_t {
    uint32_t latitudeV;   // millionths of a degree, always positive
    char lat_pV;          // 'N' / 'S' as received
    uint32_t longitudeV;  // millionths of a degree, always positive
    char longi_pV;        // 'E' / 'W' as received
    int32_t altitudeV;    // metres above mean sea level, integer part
    uint8_t satellites_countV;
    uint8_t gps_rateV;    // km/h, integer part modulo 256
    int32_t azimuthV;     // course over ground, whole degrees
    uint16_t gps_snr_num; // sum of the four strongest SNR above 20
    uint32_t latitudeVB;  // previous position, for the stale counter
    uint32_t longitudeVB;
    int32_t gps_update_count;  // consecutive identical positions
};

// 1 when the checksum between '$' and '*' matches the two hex digits after
// '*', else 0 (logs both values on a mismatch).  The name reads inverted.
int check_data_invalid(const char *text);

// Copies fields n..n+3 (the tag is field 0) into up to four zeroed buffers of
// at least kNmeaFieldLen bytes; any may be null.  Overlong fields are cut.
// Nonzero when at least one character was copied.
int get_offset_value_list(const char *text, int n, char *f1, char *f2, char *f3, char *f4);

// "ddmm.mmmm" (deg_digits 2) or "dddmm.mmmm" (3) -> millionths of a degree.
long name_text_2_float(const char *text, int deg_digits);

// Sentence checks on one slot each: 1 accepted, 0 rejected.
int check_gps_gga(const char *slot);
int check_gps_rmc(const char *slot);
int check_gps_vtg(const char *slot);
int check_gps_gsv(const char *slot);

// Runs GGA, RMC, VTG and GSV on a kNmeaSnapshotLen snapshot.  Returns 0.
int check_gps_nmea_data(const char *snapshot);

// gps_nmea_mut: guards the sentence store and the GSV sets.  Created once,
// never destroyed.
std::mutex &gps_nmea_mutex(void);

// GSV sequence collector.  The caller holds gps_nmea_mutex() (the session's
// event callback does).  1 stored, 0 rejected.
int tx510_get_all_gpgsv_data(const char *sentence);

// Inserts `c` before position `pos` of the NUL-terminated `text` held in a
// buffer of `cap` bytes.  1 done, 0 when it would not fit or pos is past the end.
int char_insert(char *text, size_t cap, size_t pos, char c);
// Copies `in` to `out` (cap bytes, at most 127 characters) with every empty
// field between two commas replaced by "0".  Returns the length written.
int tx510_change_gpgsv_data(const char *in, char *out, size_t cap);
// Descending exchange sort of `n` bytes.
void zt_quicksort(uint8_t *values, int n);

// Strong-satellite evaluation over a copy of the published GSV set.
int tx510_get_excellent_gpgsv_data(gps_snr_list_t *list);
// 1 with *list filled, 0 when the published set cannot be read.
int iot_get_gps_snr_data(gps_snr_list_t *list);
// Listed satellites whose signal-to-noise is above `threshold`; 0 on failure.
int iot_get_gps_snr_num(uint8_t threshold);

// Fix variable access for the session.
void gps_fix_read(gps_fix_vars_t *out);
int gps_fix_satellites(void);
int gps_fix_update_count(void);
// Receiver stopped: the stale counter starts again.
void gps_fix_clear_update_count(void);
// Start-up: every fix variable and the previous position to zero.
void gps_fix_reset_all(void);
// Receiver restart: satellites, azimuth, altitude, position and the stale
// counter to zero (hemispheres, speed, SNR sum and previous position stay).
void gps_fix_clear_for_restart(void);
