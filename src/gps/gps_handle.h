#pragma once
// GNSS session: the location client session, the store of the latest NMEA
// sentences, the once-a-second supervision thread and the fix record.
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "platform/loc_client.h"

// Fix record handed to every subsystem that needs the position.  Callers zero
// it first; the 32 bytes in the middle are theirs.
struct __attribute__((packed)) iot_gps_info_t {
    int32_t azimuth;     // course over ground, degrees
    int32_t snr;         // sum of the four strongest SNR above 20 dB-Hz
    int32_t reserved0;   // 0
    float speed;         // km/h
    float altitude;      // metres above mean sea level
    double longitude;    // degrees, west negative
    double latitude;     // degrees, south negative
    uint8_t caller[32];  // not written
    int32_t reserved1;   // 0
    int32_t reserved2;   // 0
    int32_t satellites;  // satellites in use as get_gps_list reports them
};
static_assert(sizeof(iot_gps_info_t) == 80, "fix record is 80 bytes");
static_assert(offsetof(iot_gps_info_t, speed) == 12 && offsetof(iot_gps_info_t, longitude) == 20 &&
                  offsetof(iot_gps_info_t, latitude) == 28 && offsetof(iot_gps_info_t, caller) == 36 &&
                  offsetof(iot_gps_info_t, satellites) == 76,
              "fix record field offsets");

// Starts the supervision thread (once).  Returns 1.
int init_gps(void);
// Returns 1.
int deinit_gps(void);

// 1: receiver on (start the session unless already meant to run); anything
// else: receiver off.  Also used by the power manager.
int gps_module_ctl(int on);
// Location-client session.  0 done, -1 failed.
int tx510_loc_start_navigation(void);
int tx510_loc_stop_navigation(void);
// Copies the six stored sentence slots (6 x 201 bytes, NUL-padded) into `buf`,
// which must hold kNmeaSnapshotLen bytes.  0 done, -1 without a session.
int tx510_loc_get_nmea_info(char *buf);

// Fix variables out.  Satellites in use, or 0 when the receiver is off or
// fewer than 3 satellites are used.
int get_gps_list(char *longi_p, uint32_t *longitude, char *lat_p, uint32_t *latitude, uint8_t *speed,
                 uint16_t *snr_sum, int32_t *altitude, int32_t *azimuth);
// Fills *info from get_gps_list.  1 with a valid fix (3 satellites or more),
// else 0; the last known values are filled in either case.
int iot_get_gps_info(iot_gps_info_t *info);


// Location client callbacks (run on the client's thread).
void tx510_loc_api_event_ind_callback(locClientHandleType handle, uint32_t eventIndId, const void *payload,
                                      void *cookie);
void tx510_loc_api_resp_ind_callback(locClientHandleType handle, uint32_t respIndId, const void *payload,
                                     uint32_t payload_size, void *cookie);

// Receiver state for tests and status pages.
int get_gps_enable_flag(void);
int get_gps_start_flag(void);

// Supervision loop state; one pass of the loop is gps_handle_step.
struct gps_loop_state_t {
    int stop_cnt = 0;             // seconds spent stopped
    int restart_threshold = 300;  // stop_cnt that brings the receiver back
    int low_sat_cnt = 0;          // consecutive seconds with 2 satellites or fewer
};
// One supervision pass without its one-second sleep.
void gps_handle_step(gps_loop_state_t *st);
// Registered by the entry: the bike's system status (non-zero while in use),
// which keeps the receiver running.
void set_gps_system_status_cb(int (*status)(void));
// Thread body: receiver on, then a pass every second, forever.
void gps_handle_loop(void);
