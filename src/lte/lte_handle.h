#pragma once
// LTE connection manager: the box's single data connection (data profile 1),
// the modem's identities and the radio queries.  Start-up brings the call up,
// the connection-state handler installs the route and resolver, and the
// supervision loop re-dials or cycles the radio while there is no data.
#include <cstddef>
#include <cstdint>

#include "lib/qs_common_api/nw/qs_nw.h"
#include "lib/qs_common_api/wwan/qs_wwan.h"

// Module serial number and the three factory status bytes (LTE calibration,
// PCBA test 1, PCBA test 2); the service itself never sets the status bytes.
struct modem_info_t {
    char sn[32];
    uint8_t lte_cal;
    uint8_t pcba_test1;
    uint8_t pcba_test2;
};
static_assert(sizeof(modem_info_t) == 35, "the factory tool reads this record as 35 bytes");
static_assert(offsetof(modem_info_t, lte_cal) == 32, "serial number, then the status bytes");

// ---- start-up ----------------------------------------------------------
// AT channel lock (first call only), counters cleared, registration handler
// registered.  The registration call's result (0 / -1).
int init_lte_common(void);
// Publishes the IMEI, picks the APN of the SIM's operator, starts the data
// call.  1 when the call was started, 0 when the IMSI could not be read.
int init_lte(void);
// Writes /iot/conf/sn_list.txt and fills the modem info record.  1 / 0.
int load_sn_info(void);
// Refreshes the cached CSQ over "AT+CSQ".  1 when a value was read, else 0.
int load_csq(void);

// Registered by the entry: tears the MQTT session down before a re-dial, and
// reads the BLE bridge's MAC (1 when known) for the serial-number list.
void set_lte_mqtt_teardown_cb(void (*teardown)(void));
void set_lte_bt_mac_cb(int (*bt_mac)(uint8_t *mac));

// ---- supervision and control -------------------------------------------
// One supervision pass (the caller sleeps the second between passes).  The
// modem work it asks for (the signal refresh every 11th pass, a re-dial, a
// radio cycle) runs on the LTE manager's own worker, in that order; the pass
// goes on at once.
int check_lte_network(void);
// 1 while work asked for by check_lte_network waits or runs.
int lte_worker_busy(void);
// Power management: flag != 0 radio on; 0 releases the call and turns the
// radio off.  The radio command's result (0 / -1).
int lte_connect_ctl(int flag);
// Takes the data call down; data status 0.  Returns 1.
int release_lte(void);
// Radio off / on over the AT channel: 0 when the modem said OK, else -1.
int network_set_airplane_on(void);
int network_set_airplane_off(void);
// "AT+RESET": 1 when the modem said OK.
int lte_restart(void);
// "AT+CPIN?": 1 when the SIM is READY.
int check_modem(void);
// "AT+PSRAT": 3 LTE/TD-SCDMA, 2 WCDMA/HSPA, 1 CDMA/EVDO/GSM/GPRS/EDGE, 0 none.
int get_standard(void);
// Starts a thread running check_sim_handle.
void wakeup_check_sim_online(void);
// Thread body: reads the ICCID, cycles the radio once when it cannot, and
// reboots the box when the SIM still does not answer.
void *check_sim_handle(void *arg);

// Modem library handlers (its data-call event thread / NAS indication thread).
void qs_wwan_connstate_cb_func(int profile, E_QS_WWAN_CALL_STATUS_T status, void *context);
void RegStateHandlerFunc(E_QS_WWAN_NET_REG_STATE_T state);

// ---- queries (0 on failure) ----------------------------------------------
int get_imei(char *dst);   // up to 20 bytes with terminator
int get_iccid(char *dst);  // up to 32 bytes with terminator
int get_imsi(char *dst);   // up to 20 bytes with terminator
int get_sn(char *dst);     // up to 33 bytes with terminator
void get_lte_csq(uint8_t *csq);
int get_lte_data_status(void);
// Serving LTE cell; 1 with all values 0 when the modem reports none.
int get_lte_cellinfo(int *mcc, int *mnc, int *cell_id, int *area_code, int *signal);
int get_lte_mccmnc(int *mcc, int *mnc);
// The serial number (dst: 33 bytes) and ICCID (dst: 32 bytes) as the modem
// last gave them, for the line dispatchers, which must never wait on the
// modem: no modem access here.  Kept by load_sn_info and every successful
// get_sn / get_iccid; one still missing is asked for again on a thread of its
// own (unless `refresh_if_missing` is false).  The text's length, 0 unknown.
int get_kept_sn(char *dst, bool refresh_if_missing = true);
int get_kept_iccid(char *dst, bool refresh_if_missing = true);
// Copies the modem info record.  1, or 0 for a missing argument.
int get_modem_info(modem_info_t *out);

// Data-connection state, set by the connection-state handler.
void lte_set_data_status(int status);
// The MQTT session reports its first successful subscription.
void set_dial_mqtt_success(void);
int get_dial_mqtt_success(void);

// Diagnostics: supervision passes without data, and the registration flag
// (0 none, 1 registered and a dial is due, 2 dialled for it, 3 connected).
int get_lte_invalid_count(void);
int get_lte_reg_flag(void);
