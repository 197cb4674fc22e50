#pragma once
// Network queries of the modem service library over the modem's network
// access service (NAS) and "AT+PSRAT", and registration-state changes.
// 0 / -1 unless stated.

typedef enum {
    E_QS_WWAN_REG_NOT_REGISTERED = 0,
    E_QS_WWAN_REG_REGISTERED_HOME_NETWORK = 1,
    E_QS_WWAN_REG_NOT_REGISTERED_SEARCHING_NOW = 2,
    E_QS_WWAN_REG_DENIED = 3,
    E_QS_WWAN_REG_UNKNOWN = 4,
    E_QS_WWAN_REG_ROAMING = 5,
} E_QS_WWAN_NET_REG_STATE_T;

typedef enum {
    E_QS_NW_RAT_NO_SVC = 0,
    E_QS_NW_RAT_GSM = 1,
    E_QS_NW_RAT_UTRAN = 2,
    E_QS_NW_RAT_GSMW_EGPRS = 3,
    E_QS_NW_RAT_UTRANW_HSDPA = 4,
    E_QS_NW_RAT_UTRANW_HSUPA = 5,
    E_QS_NW_RAT_UTRANW_HSDPA_AND_HSUPA = 6,
    E_QS_NW_RAT_E_UTRAN = 7,
} E_QS_NW_RADIO_ACCESS_TYPE_T;

/* The platform's system modes. */
typedef enum {
    SYS_SYS_MODE_NONE = -1,
    SYS_SYS_MODE_NO_SRV = 0,
    SYS_SYS_MODE_CDMA = 2,
    SYS_SYS_MODE_GSM = 3,
    SYS_SYS_MODE_HDR = 4,
    SYS_SYS_MODE_WCDMA = 5,
    SYS_SYS_MODE_LTE = 9,
    SYS_SYS_MODE_TDS = 11,
} sys_sys_mode_e_type;

/* Index into the cell-service names ("AT+PSRAT" answers). */
typedef enum {
    CELL_SERVICE_NONE = 0,
    CELL_SERVICE_GSM = 1,
    CELL_SERVICE_GPRS = 2,
    CELL_SERVICE_EDGE = 3,
    CELL_SERVICE_WCDMA = 4,
    CELL_SERVICE_HSDPA = 5,
    CELL_SERVICE_HSUPA = 6,
    CELL_SERVICE_HSPA_PLUS = 7,
    CELL_SERVICE_TDSCDMA = 8,
    CELL_SERVICE_FDD_LTE = 9,
    CELL_SERVICE_TDD_LTE = 10,
    CELL_SERVICE_FDD_LTE_2 = 11,
    CELL_SERVICE_CDMA = 12,
    CELL_SERVICE_CDMA_EVDO = 13,
    CELL_SERVICE_EVDO = 14,
    CELL_SERVICE_EHRPD = 15,
    CELL_SERVICE_MAX = 16,
} cell_service_enum_type;

typedef struct {
    char mcc[4];
    char mnc[4];
    int cell_id;
    int lac_id;
    int csq_rssi;
} qs_cellinfo_s_type;

/* Called on the modem client's indication thread with the new registration
 * state (0..4) when it changes. */
typedef void (*qs_nw_reg_state_handler_t)(E_QS_WWAN_NET_REG_STATE_T state);

/* Access type, registration state (ROAMING when roaming), signal (RSRP in
 * LTE, else dBm) and error rate; all four outputs are required. */
int QS_NW_GetRegState(E_QS_NW_RADIO_ACCESS_TYPE_T *rat, E_QS_WWAN_NET_REG_STATE_T *state, int *rssi, int *ber);
/* Operator description, MCC and MNC (2 or 3 digits) of the serving PLMN, each
 * cut to its buffer. */
int QS_NW_GetNetworkNameMccMnc(char *name, int nameLen, char *mcc, int mccLen, char *mnc, int mncLen);
/* Fills the record from the LTE serving cell; without one returns 0 and
 * leaves the record untouched. */
int QS_NW_GetCurrCellInfo(qs_cellinfo_s_type *cell_info);
/* Neighbour cells: *count holds the room on entry and the number filled on
 * return. */
int QS_NW_GetNgbrCellInfo(qs_cellinfo_s_type *cells, int *count);
/* Queries the state once (fails without registering), then registers the
 * handler, replacing an earlier one. */
int QS_NW_AddRegStateEventHandler(qs_nw_reg_state_handler_t handler);
