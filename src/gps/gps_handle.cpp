#include "gps/gps_handle.h"

#include <atomic>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>
#include <thread>

#include "core/logging.h"
#include "gps/nmea_parse.h"
#include "platform/plat_clock.h"
#include "platform/plat_thread.h"
#include "sensor/sensor_handle.h"

namespace {

// Passes in a row that stop the receiver, and the back-off step.
constexpr int kRestartPasses = 300;
constexpr int kBackoffStep = 300;

enum Slot { kGga, kVtg, kRmc, kGsa, kGsv, kGll, kSlots };
// Classification order of incoming sentences: the first tag found wins.
constexpr std::string_view kTags[kSlots] = {"$GPGGA", "$GPVTG", "$GPRMC", "$GPGSA", "$GPGSV", "$GPGLL"};

struct NmeaStore {
    locClientHandleType handle;
    char slots[kSlots][kNmeaSlotLen];
};
static_assert(offsetof(NmeaStore, slots) == 4, "handle, then the six slots");
static_assert(sizeof(NmeaStore::slots) == kNmeaSnapshotLen, "snapshot is the slots end to end");

std::atomic<int> gps_enable_flag{0};
std::atomic<uint8_t> gps_start_flag{0};

// Exists only between a successful start and the stop.  The pointer changes
// with both g_session_mu and gps_nmea_mutex() held; the callback and the
// snapshot read it under gps_nmea_mutex(), the session under g_session_mu.
// The holder itself is never destroyed: the client's thread may run past exit.
std::unique_ptr<NmeaStore> &g_store = *new std::unique_ptr<NmeaStore>;

// Start and stop come from the supervision thread and the power manager.
std::mutex g_session_mu;
std::mutex g_ctl_mu;

std::atomic<bool> g_thread_started{false};

void put_u32(uint8_t *p, uint32_t v) { memcpy(p, &v, sizeof v); }

int classify(const char *s, size_t len) {
    const std::string_view text(s, len);
    for (int i = 0; i < kSlots; ++i) {
        if (text.find(kTags[i]) != std::string_view::npos) return i;
    }
    return -1;
}

// Response indications that carry no payload by design.
bool payload_free(uint32_t id) {
    return id == 0x4A || (id >= 0x4C && id <= 0x4F) || (id >= 0x56 && id <= 0x5B) || id == 0x68 || id == 0x6F;
}

}  // namespace


int get_gps_enable_flag(void) { return gps_enable_flag; }

int get_gps_start_flag(void) { return gps_start_flag; }

// ---- location client session ------------------------------------------------

void tx510_loc_api_event_ind_callback(locClientHandleType handle, uint32_t eventIndId, const void *payload,
                                      void *cookie) {
    (void)handle;
    (void)cookie;
    std::lock_guard<std::mutex> lk(gps_nmea_mutex());
    if (eventIndId == LOC_EVENT_POSITION_REPORT_IND) {
        if (payload == nullptr) {
            tavi_log(LOG_ERROR, "%d/%s PositionReportEvent is NULL when it shouldn't be.\n", __LINE__, __func__);
        }
        return;
    }
    if (eventIndId != LOC_EVENT_NMEA_IND || payload == nullptr || !g_store) return;
    const char *text = static_cast<const locEventNmeaIndT *>(payload)->nmea;
    const size_t len = strnlen(text, kNmeaSlotLen - 1);
    const int slot = classify(text, len);
    if (slot < 0) return;
    char *dst = g_store->slots[slot];
    memset(dst, 0, kNmeaSlotLen);
    memcpy(dst, text, len);
    if (slot == kGsv) tx510_get_all_gpgsv_data(dst);
}

void tx510_loc_api_resp_ind_callback(locClientHandleType handle, uint32_t respIndId, const void *payload,
                                     uint32_t payload_size, void *cookie) {
    (void)cookie;
    loc_sync_process_ind(handle, respIndId, payload);
    uint32_t first = 0;
    if (payload != nullptr && payload_size >= sizeof first) memcpy(&first, payload, sizeof first);
    if ((payload == nullptr || first == 0) && !payload_free(respIndId)) {
        printf("%d/%s Error - invalid msg type in cb: %u.\n", __LINE__, __func__, respIndId);
    }
}

int tx510_loc_start_navigation(void) {
    std::lock_guard<std::mutex> sl(g_session_mu);
    if (gps_start_flag == 1) {
        tavi_log(LOG_ERROR, "%d/%s gps has been started.\n", __LINE__, __func__);
        return -1;
    }
    // gps_nmea_mut is a static std::mutex here: there is no first-call set-up
    // that could fail.
    std::unique_ptr<NmeaStore> fresh(new (std::nothrow) NmeaStore{});
    if (!fresh) {
        tavi_log(LOG_ERROR, "%d/%s malloc error.\n", __LINE__, __func__);
        return -1;
    }
    {
        std::lock_guard<std::mutex> lk(gps_nmea_mutex());
        g_store = std::move(fresh);
    }
    NmeaStore *store = g_store.get();

    const locClientCallbacksType cbs{sizeof(locClientCallbacksType), tx510_loc_api_event_ind_callback,
                                     tx510_loc_api_resp_ind_callback, nullptr};
    if (locClientOpen(~0ull, &cbs, &store->handle, nullptr) != eLOC_CLIENT_SUCCESS) {
        store->handle = 0;
        tavi_log(LOG_ERROR, "%d/%s Could not initialize Loc Api Client.\n", __LINE__, __func__);
        tavi_log(LOG_ERROR, "%d/%s tx510_gps_open failed.\n", __LINE__, __func__);
        return -1;
    }
    if (!locClientRegisterEventMask(store->handle, ~0ull)) {
        tavi_log(LOG_ERROR, "%d/%s locClientRegisterEventMask failed.\n", __LINE__, __func__);
    }

    uint8_t req[LOC_START_REQ_LEN] = {};
    req[LOC_START_SESSION_ID] = 1;
    req[1] = 1;
    put_u32(req + LOC_START_FIX_RECURRENCE, 1);  // periodic fixes
    put_u32(req + 12, 3);
    req[16] = 1;
    put_u32(req + 20, 1);
    req[24] = 1;
    req[101] = 1;
    put_u32(req + 104, 1);
    if (locClientSendReq(store->handle, LOC_MSG_START_REQ, req, sizeof req) != eLOC_CLIENT_SUCCESS) {
        tavi_log(LOG_ERROR, "%d/%s locClientSendReq error.\n", __LINE__, __func__);
        // Without a started session the stop never closes this client, and
        // every retry would leave one more behind.
        locClientClose(&store->handle);
        return -1;
    }
    gps_start_flag = 1;
    tavi_log(LOG_DEBUG, "%d/%s success.\n", __LINE__, __func__);
    return 0;
}

int tx510_loc_stop_navigation(void) {
    std::lock_guard<std::mutex> sl(g_session_mu);
    if (gps_start_flag == 0 || !g_store) {
        tavi_log(LOG_ERROR, "%d/%s gps not start.\n", __LINE__, __func__);
        return -1;
    }
    const uint8_t session_id = 1;
    if (locClientSendReq(g_store->handle, LOC_MSG_STOP_REQ, &session_id, LOC_STOP_REQ_LEN) != eLOC_CLIENT_SUCCESS) {
        tavi_log(LOG_ERROR, "%d/%s locClientSendReq error.\n", __LINE__, __func__);
    }
    // After the close no callback runs any more, so the store can go.
    if (locClientClose(&g_store->handle) != eLOC_CLIENT_SUCCESS) {
        tavi_log(LOG_ERROR, "%d/%s locClientClose error.\n", __LINE__, __func__);
    }
    {
        std::lock_guard<std::mutex> lk(gps_nmea_mutex());
        g_store.reset();
    }
    gps_start_flag = 0;
    tavi_log(LOG_DEBUG, "%d/%s success.\n", __LINE__, __func__);
    return 0;
}

int tx510_loc_get_nmea_info(char *buf) {
    if (buf == nullptr || gps_start_flag != 1) return -1;
    memset(buf, 0, kNmeaSnapshotLen);
    std::lock_guard<std::mutex> lk(gps_nmea_mutex());
    if (!g_store) return -1;  // stopped between the check and the lock
    memcpy(buf, g_store->slots, kNmeaSnapshotLen);
    return 0;
}

int gps_module_ctl(int on) {
    std::lock_guard<std::mutex> lk(g_ctl_mu);
    if (on == 1) {
        if (gps_enable_flag == 1) return 0;
        printf(" --- Start GPS --- \n");
        // Set before the attempt: a failed start counts as running until the
        // supervision loop gives up on it.
        gps_enable_flag = 1;
        return tx510_loc_start_navigation();
    }
    if (gps_enable_flag != 1) return gps_enable_flag;
    printf(" --- Stop GPS --- \n");
    gps_enable_flag = 0;
    return tx510_loc_stop_navigation();
}

// ---- fix record -------------------------------------------------------------

int get_gps_list(char *longi_p, uint32_t *longitude, char *lat_p, uint32_t *latitude, uint8_t *speed,
                 uint16_t *snr_sum, int32_t *altitude, int32_t *azimuth) {
    gps_fix_vars_t v;
    gps_fix_read(&v);
    if (longi_p) *longi_p = v.longi_pV;
    if (longitude) *longitude = v.longitudeV;
    if (lat_p) *lat_p = v.lat_pV;
    if (latitude) *latitude = v.latitudeV;
    if (speed) *speed = v.gps_rateV;
    if (snr_sum) *snr_sum = v.gps_snr_num;
    if (altitude) *altitude = v.altitudeV;
    if (azimuth) *azimuth = v.azimuthV;
    if (gps_enable_flag != 1 || v.satellites_countV < 3) return 0;
    return v.satellites_countV;
}

int iot_get_gps_info(iot_gps_info_t *info) {
    if (info == nullptr) return 0;
    char lon_p = 0, lat_p = 0;
    uint32_t lon = 0, lat = 0;
    uint8_t speed = 0;
    uint16_t snr = 0;
    int32_t alt = 0, az = 0;
    const int sats = get_gps_list(&lon_p, &lon, &lat_p, &lat, &speed, &snr, &alt, &az);
    info->azimuth = az;
    info->snr = snr;
    info->reserved0 = 0;
    info->speed = static_cast<float>(speed);
    info->altitude = static_cast<float>(alt);
    const double lon_deg = lon / 1000000.0;
    const double lat_deg = lat / 1000000.0;
    info->longitude = lon_p == 'W' ? -lon_deg : lon_deg;
    info->latitude = lat_p == 'S' ? -lat_deg : lat_deg;
    info->reserved1 = 0;
    info->reserved2 = 0;
    info->satellites = sats;
    return sats > 2 ? 1 : 0;
}

// ---- supervision ------------------------------------------------------------

namespace {
// The bike's system status lives in the vehicle link, above this module.
std::atomic<int (*)(void)> g_system_status{nullptr};
}  // namespace

void set_gps_system_status_cb(int (*status)(void)) { g_system_status.store(status, std::memory_order_release); }


void gps_handle_step(gps_loop_state_t *st) {
    if (st == nullptr) return;
    auto status = g_system_status.load(std::memory_order_acquire);
    if ((status != nullptr && status() != 0) || get_ebike_move_status() == 1) {
        // The bike is in use: run now and forget any back-off.
        set_ebike_move_status(0);
        gps_module_ctl(1);
        st->stop_cnt = 0;
        st->restart_threshold = kRestartPasses;
    } else if (st->stop_cnt > st->restart_threshold) {
        gps_module_ctl(1);
        st->stop_cnt = 0;
    }

    if (gps_enable_flag != 1) {
        ++st->stop_cnt;
        gps_fix_clear_update_count();
        st->low_sat_cnt = 0;
        printf("gps_stop_interval_cnt %d...\r\n", st->stop_cnt);
        return;
    }

    char snapshot[kNmeaSnapshotLen] = {};
    tx510_loc_get_nmea_info(snapshot);
    check_gps_nmea_data(snapshot);

    if (gps_fix_satellites() > 2) {
        st->low_sat_cnt = 0;
    } else {
        ++st->low_sat_cnt;
    }

    const int same = gps_fix_update_count();
    if (st->low_sat_cnt >= kRestartPasses || same >= kRestartPasses) {
        printf("satellites_countV_3_cnt %d...\r\n", st->low_sat_cnt);
        printf("gps_update_count %d...\r\n", same);
        st->restart_threshold += kBackoffStep;
        gps_module_ctl(0);
        st->low_sat_cnt = 0;
        gps_fix_clear_for_restart();
        printf(" --- Stop GPS ,Preparing to reload GPS \n");
    }
}

void gps_handle_loop(void) {
    gps_loop_state_t st;
    gps_module_ctl(1);
    for (;;) {
        plat_sleep_s(1);
        gps_handle_step(&st);
    }
}

int init_gps(void) {
    gps_fix_reset_all();
    if (!g_thread_started.exchange(true)) plat_thread("gnss", gps_handle_loop).detach();
    return 1;
}

int deinit_gps(void) { return 1; }
