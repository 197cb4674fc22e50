#include "gps/nmea_parse.h"

#include <atomic>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "core/logging.h"

namespace {

// ---- fix variables ----------------------------------------------------------
// Written by the GNSS supervision thread only; read by anyone without a lock.

std::atomic<uint32_t> latitudeV{0};
std::atomic<char> lat_pV{0};
std::atomic<uint32_t> longitudeV{0};
std::atomic<char> longi_pV{0};
std::atomic<int32_t> altitudeV{0};
std::atomic<uint8_t> satellites_countV{0};
std::atomic<uint8_t> gps_rateV{0};
std::atomic<int32_t> azimuthV{0};
std::atomic<uint16_t> gps_snr_num{0};
std::atomic<uint32_t> latitudeVB{0};
std::atomic<uint32_t> longitudeVB{0};
std::atomic<int32_t> gps_update_count{0};

// ---- GSV sets ---------------------------------------------------------------
// Both under gps_nmea_mutex(): the collection is filled on the location
// client's thread, the published set is copied out by the evaluation.

struct GsvSet {
    int32_t count;
    char slots[kGsvMaxSentences][kNmeaSlotLen];
};
static_assert(sizeof(GsvSet) == 2416, "GSV set layout");

GsvSet g_gsv_collect{};
GsvSet g_gsv_published{};

// Normalised GSV copies are kept to this many characters.
constexpr size_t kGsvNormMax = 127;

size_t slot_len(const char *s) { return strnlen(s, kNmeaSlotLen); }

bool is_end(char c) { return c == '\r' || c == '\n' || c == '*' || c == '\0'; }

int hex_val(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Decimal integer part of a field, clamped to 32 bits (atoi on "99999999999"
// is undefined behaviour; the engine's garbage must not be).
long field_long(const char *s) {
    long v = strtol(s, nullptr, 10);
    if (v > INT32_MAX) return INT32_MAX;
    if (v < INT32_MIN) return INT32_MIN;
    return v;
}

}  // namespace

// ---- sentence primitives ----------------------------------------------------

int check_data_invalid(const char *text) {
    if (text == nullptr) return 0;
    const size_t len = slot_len(text);
    const char *dollar = static_cast<const char *>(memchr(text, '$', len));
    const char *star = static_cast<const char *>(memchr(text, '*', len));
    if (dollar == nullptr || star == nullptr || star <= dollar + 1) return 0;
    unsigned sum = 0;
    for (const char *p = dollar + 1; p < star; ++p) sum ^= static_cast<unsigned char>(*p);
    // Both digits must be there and be hex; "%02x" would take " 7" or "+7".
    const size_t at = static_cast<size_t>(star - text);
    if (at + 2 >= len) return 0;
    const int hi = hex_val(star[1]);
    const int lo = hex_val(star[2]);
    if (hi < 0 || lo < 0) return 0;
    const unsigned got = static_cast<unsigned>(hi * 16 + lo);
    if (got == sum) return 1;
    tavi_log(LOG_ERROR, "%d:%s .. crc:%02x/%02x\n", __LINE__, __func__, sum, got);
    return 0;
}

int get_offset_value_list(const char *text, int n, char *f1, char *f2, char *f3, char *f4) {
    if (text == nullptr || n < 0) return 0;
    const size_t len = slot_len(text);
    size_t i = 0;
    if (n > 0) {
        int commas = 0;
        for (; i < len; ++i) {
            if (text[i] == ',' && ++commas == n) break;
        }
        if (commas < n) return 0;
        ++i;  // first character of field n
    }
    if (i >= len || is_end(text[i])) return 0;

    char *bufs[4] = {f1, f2, f3, f4};
    size_t used[4] = {0, 0, 0, 0};
    int b = 0;
    int copied = 0;
    for (; i < len; ++i) {
        const char c = text[i];
        if (is_end(c)) break;
        if (c == ',') {
            if (++b >= 4) break;
            continue;
        }
        // An overlong field is cut: the buffer keeps its terminating zero.
        if (bufs[b] != nullptr && used[b] < kNmeaFieldLen - 1) {
            bufs[b][used[b]++] = c;
            copied = 1;
        }
    }
    return copied;
}

long name_text_2_float(const char *text, int deg_digits) {
    if (text == nullptr || deg_digits < 0) return 0;
    char deg[kNmeaFieldLen] = {};
    char min[kNmeaSlotLen] = {};
    const size_t len = slot_len(text);
    size_t split = static_cast<size_t>(deg_digits);
    if (split > len) split = len;
    if (split > sizeof deg - 1) split = sizeof deg - 1;
    memcpy(deg, text, split);
    size_t rest = len - split;
    if (rest > sizeof min - 1) rest = sizeof min - 1;
    memcpy(min, text + split, rest);
    const double v = (strtod(deg, nullptr) + strtod(min, nullptr) / 60.0) * 1000000.0;
    // Rounded through text as the field tools have always done it; 512 bytes
    // hold any finite double printed without a fraction.
    char out[512];
    const int w = snprintf(out, sizeof out, "%.0lf", v);
    if (w < 0 || static_cast<size_t>(w) >= sizeof out) return 0;
    return strtol(out, nullptr, 10);
}

// ---- sentence checks --------------------------------------------------------

int check_gps_gga(const char *slot) {
    if (check_data_invalid(slot) != 1) return 0;
    char quality[kNmeaFieldLen] = {}, sats[kNmeaFieldLen] = {}, hdop[kNmeaFieldLen] = {},
         alt[kNmeaFieldLen] = {};
    if (!get_offset_value_list(slot, 6, quality, sats, hdop, alt)) return 0;
    if (field_long(quality) == 0) {
        // No fix: the position keeps its last value, only the count says so.
        satellites_countV = 0;
        return 0;
    }
    satellites_countV = static_cast<uint8_t>(field_long(sats));
    altitudeV = static_cast<int32_t>(field_long(alt));

    char lat[kNmeaFieldLen] = {}, ns[kNmeaFieldLen] = {}, lon[kNmeaFieldLen] = {}, ew[kNmeaFieldLen] = {};
    if (!get_offset_value_list(slot, 2, lat, ns, lon, ew)) return 0;
    const uint32_t la = static_cast<uint32_t>(name_text_2_float(lat, 2));
    const uint32_t lo = static_cast<uint32_t>(name_text_2_float(lon, 3));
    latitudeV = la;
    lat_pV = ns[0];
    longitudeV = lo;
    longi_pV = ew[0];
    // A frozen engine repeats its last position; the supervision loop
    // restarts it when this counter runs up.
    if (la == latitudeVB.load() && lo == longitudeVB.load()) {
        ++gps_update_count;
    } else {
        latitudeVB = la;
        longitudeVB = lo;
        gps_update_count = 0;
        printf("%s:lat_pV:%c/latitudeV:%u/longi_pV:%c/longitudeV:%u/satellites_countV:%u/altitudeV:%d\n",
               __func__, ns[0], la, ew[0], lo, static_cast<unsigned>(satellites_countV.load()),
               altitudeV.load());
    }
    return 1;
}

int check_gps_rmc(const char *slot) {
    if (check_data_invalid(slot) != 1 || satellites_countV.load() == 0) return 0;
    char course[kNmeaFieldLen] = {};
    if (!get_offset_value_list(slot, 8, course, nullptr, nullptr, nullptr)) return 0;
    azimuthV = static_cast<int32_t>(field_long(course));
    return 1;
}

int check_gps_vtg(const char *slot) {
    if (check_data_invalid(slot) != 1 || satellites_countV.load() == 0) return 0;
    char kmh[kNmeaFieldLen] = {};
    if (!get_offset_value_list(slot, 7, kmh, nullptr, nullptr, nullptr)) return 0;
    gps_rateV = static_cast<uint8_t>(field_long(kmh));
    return 1;
}

int check_gps_gsv(const char *slot) {
    (void)slot;  // the figure comes from the last complete sequence, not one sentence
    gps_snr_list_t list;
    if (tx510_get_excellent_gpgsv_data(&list) != 1) return 1;
    uint8_t values[kGsvMaxStrong] = {};
    const int n = list.count < kGsvMaxStrong ? list.count : kGsvMaxStrong;
    for (int i = 0; i < n; ++i) values[i] = static_cast<uint8_t>(field_long(list.sats[i].snr));
    zt_quicksort(values, n);
    unsigned sum = 0;
    for (int i = 0; i < 4 && i < n; ++i) sum += values[i];
    gps_snr_num = static_cast<uint16_t>(sum);
    return 1;
}

int check_gps_nmea_data(const char *snapshot) {
    if (snapshot == nullptr) return 0;
    check_gps_gga(snapshot + kNmeaGga);
    check_gps_rmc(snapshot + kNmeaRmc);
    check_gps_vtg(snapshot + kNmeaVtg);
    check_gps_gsv(snapshot + kNmeaGsv);
    return 0;
}

// ---- GSV sequence -----------------------------------------------------------

int tx510_get_all_gpgsv_data(const char *sentence) {
    if (check_data_invalid(sentence) != 1) return 0;
    char total_t[kNmeaFieldLen] = {}, num_t[kNmeaFieldLen] = {};
    if (!get_offset_value_list(sentence, 1, total_t, num_t, nullptr, nullptr)) return 0;
    const long total = field_long(total_t);
    const long num = field_long(num_t);
    if (num == 1) g_gsv_collect = GsvSet{};
    // A sequence longer than the set loses its tail rather than anything else.
    if (g_gsv_collect.count >= 0 && g_gsv_collect.count < kGsvMaxSentences) {
        char *dst = g_gsv_collect.slots[g_gsv_collect.count];
        const size_t n = strnlen(sentence, kNmeaSlotLen - 1);
        memcpy(dst, sentence, n);
        dst[n] = '\0';
        ++g_gsv_collect.count;
    }
    if (num == total) g_gsv_published = g_gsv_collect;
    return 1;
}

int char_insert(char *text, size_t cap, size_t pos, char c) {
    if (text == nullptr || cap == 0) return 0;
    const size_t len = strnlen(text, cap);
    if (len + 1 >= cap || pos > len) return 0;
    memmove(text + pos + 1, text + pos, len - pos + 1);
    text[pos] = c;
    return 1;
}

int tx510_change_gpgsv_data(const char *in, char *out, size_t cap) {
    if (out == nullptr || cap == 0) return 0;
    out[0] = '\0';
    if (in == nullptr) return 0;
    // Never more than 127 characters, whatever room the caller has.
    const size_t room = cap < kGsvNormMax + 1 ? cap : kGsvNormMax + 1;
    size_t len = slot_len(in);
    if (len > room - 1) len = room - 1;
    memcpy(out, in, len);
    out[len] = '\0';
    for (size_t i = 0; i + 1 < len; ++i) {
        if (out[i] == ',' && out[i + 1] == ',') {
            if (char_insert(out, room, i + 1, '0') != 1) break;  // full: the rest stays empty
            ++len;
        }
    }
    return static_cast<int>(len);
}

void zt_quicksort(uint8_t *values, int n) {
    if (values == nullptr) return;
    for (int i = 0; i < n; ++i) {
        for (int j = i + 1; j < n; ++j) {
            if (values[j] > values[i]) {
                const uint8_t t = values[i];
                values[i] = values[j];
                values[j] = t;
            }
        }
    }
}

int tx510_get_excellent_gpgsv_data(gps_snr_list_t *list) {
    if (list == nullptr) return 0;
    memset(list, 0, sizeof *list);
    GsvSet set;
    {
        std::lock_guard<std::mutex> lk(gps_nmea_mutex());
        set = g_gsv_published;
    }
    int count = set.count;
    if (count < 0) count = 0;
    if (count > kGsvMaxSentences) count = kGsvMaxSentences;

    char total_t[kNmeaFieldLen] = {}, num_t[kNmeaFieldLen] = {}, inview_t[kNmeaFieldLen] = {};
    if (!get_offset_value_list(set.slots[0], 1, total_t, num_t, inview_t, nullptr)) return 0;
    const int64_t total = field_long(total_t);
    const int64_t inview = field_long(inview_t);

    for (int i = 1; i <= count; ++i) {
        char norm[kGsvNormMax + 1];
        tx510_change_gpgsv_data(set.slots[i - 1], norm, sizeof norm);
        const int64_t blocks = i < total ? 4 : inview - 4 * (total - 1);
        // A lying count ends at the first block that is not there (the text
        // has at most 127 characters), so this loop stays short.
        for (int64_t k = 0; k < blocks; ++k) {
            const int64_t field = 4 + 4 * k;
            if (field > INT_MAX) return 0;
            char sat[kNmeaFieldLen] = {}, el[kNmeaFieldLen] = {}, az[kNmeaFieldLen] = {},
                 snr[kNmeaFieldLen] = {};
            if (!get_offset_value_list(norm, static_cast<int>(field), sat, el, az, snr)) return 0;
            if (strchr(snr, ',') != nullptr) snr[0] = '\0';
            if (field_long(snr) > kGsvStrongSnr && list->count < kGsvMaxStrong) {
                gps_snr_entry_t &e = list->sats[list->count++];
                memcpy(e.sat, sat, sizeof e.sat);
                memcpy(e.snr, snr, sizeof e.snr);
            }
        }
    }
    return 1;
}

int iot_get_gps_snr_data(gps_snr_list_t *list) { return tx510_get_excellent_gpgsv_data(list); }

int iot_get_gps_snr_num(uint8_t threshold) {
    gps_snr_list_t list;
    if (iot_get_gps_snr_data(&list) != 1) return 0;
    int n = 0;
    for (int i = 0; i < list.count && i < kGsvMaxStrong; ++i) {
        if (field_long(list.sats[i].snr) > threshold) ++n;
    }
    return n;
}

// ---- fix variable access ----------------------------------------------------

void gps_fix_read(gps_fix_vars_t *out) {
    if (out == nullptr) return;
    out->latitudeV = latitudeV;
    out->lat_pV = lat_pV;
    out->longitudeV = longitudeV;
    out->longi_pV = longi_pV;
    out->altitudeV = altitudeV;
    out->satellites_countV = satellites_countV;
    out->gps_rateV = gps_rateV;
    out->azimuthV = azimuthV;
    out->gps_snr_num = gps_snr_num;
    out->latitudeVB = latitudeVB;
    out->longitudeVB = longitudeVB;
    out->gps_update_count = gps_update_count;
}

int gps_fix_satellites(void) { return satellites_countV; }

int gps_fix_update_count(void) { return gps_update_count; }

void gps_fix_clear_update_count(void) { gps_update_count = 0; }

void gps_fix_reset_all(void) {
    latitudeV = 0;
    lat_pV = 0;
    longitudeV = 0;
    longi_pV = 0;
    altitudeV = 0;
    satellites_countV = 0;
    gps_rateV = 0;
    azimuthV = 0;
    gps_snr_num = 0;
    latitudeVB = 0;
    longitudeVB = 0;
    gps_update_count = 0;
}

void gps_fix_clear_for_restart(void) {
    satellites_countV = 0;
    azimuthV = 0;
    altitudeV = 0;
    latitudeV = 0;
    longitudeV = 0;
    gps_update_count = 0;
}

std::mutex &gps_nmea_mutex(void) {
    // Never destroyed: the location client's thread may still hold it at exit.
    static std::mutex *m = new std::mutex;
    return *m;
}
