#pragma once
// Data calls of the modem service library: eight numbered data profiles
// (1..8) on top of the platform's data services (dsi) and the modem's
// wireless data service (WDS).  Every operation returns 0 / -1 and logs its
// failure through the library log.
#include <sys/socket.h>

#include <cstdint>

// A fixed underlying type: a status the data services report that is not
// listed here still reaches the handlers as a value they can log.
typedef enum : int {
    E_QS_WWAN_CALL_STATUS_IDLE = 0,
    E_QS_WWAN_CALL_STATUS_CONNECTING = 1,
    E_QS_WWAN_CALL_STATUS_CONNECTED = 2,
    E_QS_WWAN_CALL_STATUS_DISCONNECTING = 3,
} E_QS_WWAN_CALL_STATUS_T;

typedef enum {
    E_QS_IP_VERSION_4 = 4,
    E_QS_VERSION_6 = 6,
    E_QS_IP_VERSION_4_6 = 10,
} E_QS_WWAN_IP_VERSION_T;

typedef enum {
    E_QS_AUTH_PREF_PAP_CHAP_NOT_ALLOWED = 0,
    E_QS_AUTH_PREF_PAP_ONLY_ALLOWED = 1,
    E_QS_AUTH_PREF_CHAP_ONLY_ALLOWED = 2,
    E_QS_AUTH_PREF_PAP_CHAP_BOTH_ALLOWED = 3,
} E_QS_WWAN_AUTH_PREF_T;

/* The platform's data-bearer numbering, unchanged. */
typedef enum {
    E_QS_DATA_BEARER_TECH_UNKNOWN = 0,
    E_QS_DATA_BEARER_TECH_CDMA_1X = 1,
    E_QS_DATA_BEARER_TECH_EVDO_REV0 = 2,
    E_QS_DATA_BEARER_TECH_EVDO_REVA = 3,
    E_QS_DATA_BEARER_TECH_EVDO_REVB = 4,
    E_QS_DATA_BEARER_TECH_EHRPD = 5,
    E_QS_DATA_BEARER_TECH_FMC = 6,
    E_QS_DATA_BEARER_TECH_HRPD = 7,
    E_QS_DATA_BEARER_TECH_3GPP2_WLAN = 8,
    E_QS_DATA_BEARER_TECH_WCDMA = 9,
    E_QS_DATA_BEARER_TECH_GPRS = 10,
    E_QS_DATA_BEARER_TECH_HSDPA = 11,
    E_QS_DATA_BEARER_TECH_HSUPA = 12,
    E_QS_DATA_BEARER_TECH_EDGE = 13,
    E_QS_DATA_BEARER_TECH_LTE = 14,
    E_QS_DATA_BEARER_TECH_HSDPA_PLUS = 15,
    E_QS_DATA_BEARER_TECH_DC_HSDPA_PLUS = 16,
    E_QS_DATA_BEARER_TECH_HSPA = 17,
    E_QS_DATA_BEARER_TECH_64_QAM = 18,
    E_QS_DATA_BEARER_TECH_TDSCDMA = 19,
    E_QS_DATA_BEARER_TECH_GSM = 20,
    E_QS_DATA_BEARER_TECH_3GPP_WLAN = 21,
    E_QS_DATA_BEARER_TECH_MAX = 22,
} E_QS_DATA_BEARER_TECH_T;

/* Told of the connected (2) and no-network (0) transitions, on the platform's
 * event thread. */
typedef void (*qs_call_status_cb_fn)(int profileId, E_QS_WWAN_CALL_STATUS_T status, void *contextPtr);
typedef struct {
    qs_call_status_cb_fn callback;
    void *contextPtr;
} qs_call_status_cb_t;

/* Each storage as the platform reports it: family in the first two bytes,
 * address bytes from byte 8 on (for IPv4 too). */
typedef struct {
    struct sockaddr_storage iface_addr_s;
    struct sockaddr_storage gtwy_addr_s;
    struct sockaddr_storage dnsp_addr_s;
    struct sockaddr_storage dnss_addr_s;
} QS_wwan_ip_info_t;

typedef struct {
    uint16_t v4_valid;
    QS_wwan_ip_info_t v4;
    uint16_t v6_valid;
    QS_wwan_ip_info_t v6;
} QS_wwan_ip_addr_t;

/* Data profiles the service manages. */
#define QS_WWAN_PROFILE_MIN 1
#define QS_WWAN_PROFILE_MAX 8

int QS_WWAN_Initialize(void);
/* One handler; a new one replaces the old.  Always 0. */
int QS_WWAN_AddConnStateEventHandler(qs_call_status_cb_fn callback, void *contextPtr);

/* APN, user name and password stored in the modem's profile, each cut to its
 * buffer; a value that fills its buffer is not terminated. */
int QS_WWAN_GetAPN(int profileId, char *apn, int apnLen, char *userName, int userLen, char *password, int pwdLen);
/* userName and password may be NULL (neither is stored in the modem without a
 * user name); a user name needs its password. */
int QS_WWAN_SetAPN(int profileId, const char *apn, const char *userName, const char *password);
int QS_WWAN_SetIPVersion(int profileId, E_QS_WWAN_IP_VERSION_T ip_version);
int QS_WWAN_SetAuthPref(int profileId, E_QS_WWAN_AUTH_PREF_T auth);

int QS_WWAN_StartDataCall(int profileId);
int QS_WWAN_StopDataCall(int profileId);
int QS_WWAN_GetDataState(int profileId, E_QS_WWAN_CALL_STATUS_T *status);

/* Interface name of a connected call (e.g. "rmnet_data0"). */
int QS_WWAN_GetDeviceName(int profileId, char *buf, int len);
int QS_WWAN_GetIPAddr(int profileId, QS_wwan_ip_addr_t *info_ptr);
/* E_QS_DATA_BEARER_TECH_T, or -1. */
int QS_WWAN_GetCurrentData_BearerTech(int profileId);
