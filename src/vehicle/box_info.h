#pragma once
// What the vehicle links answer about the box itself but do not keep: modem
// identities and cell, GNSS position, the firmware image store.  Those live in
// subsystems above the links, so the entry registers one record of callbacks
// at start-up and the links read through the wrappers below.  Every wrapper
// returns the "nothing known" value when no callback is registered.
#include <cstddef>
#include <cstdint>

struct box_position_t {
    double longitude;    // degrees, as the fix record orders them
    double latitude;
    int32_t snr;         // GNSS signal value
    int32_t satellites;  // satellites in use
};

struct box_info_ops_t {
    // Module serial number and SIM ICCID as the box keeps them (dst holds 64
    // bytes): the line dispatchers call these and must not wait on the modem.
    int (*get_sn)(char *dst);
    int (*get_iccid)(char *dst);
    int (*get_lte_data_status)(void);
    void (*get_lte_csq)(uint8_t *csq);
    // 1 with a valid fix; the record is filled either way.
    int (*get_position)(box_position_t *out);
    int (*get_gps_snr_num)(uint8_t threshold);
    // Serving cell: id, area code and the cell's signal value; 1 when read.
    int (*get_cellinfo)(int *cell_id, int *area_code, int *signal);
    // The 35-byte modem info record (serial text, then three factory status bytes).
    int (*get_modem_info)(uint8_t *out35);
    // Forgets the controller images built for an update (must not wait for
    // one that is running).
    void (*clear_image_store)(void);
};

// Stores a copy of the record (null: forget it).
void box_info_register(const box_info_ops_t *ops);

// Text answers: length of the NUL-terminated text in dst (cap bytes), 0 when unknown.
size_t box_get_sn(char *dst, size_t cap);
size_t box_get_iccid(char *dst, size_t cap);
int box_get_lte_data_status(void);
uint8_t box_get_lte_csq(void);
int box_get_position(box_position_t *out);
int box_get_gps_snr_num(uint8_t threshold);
int box_get_cellinfo(int *cell_id, int *area_code, int *signal);
int box_get_modem_info(uint8_t *out35);
void box_clear_image_store(void);
