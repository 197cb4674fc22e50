#pragma once
// The platform's data services (DSI netctrl), as the modem service library
// uses them: a data-service handle per call, call parameters, start and stop,
// and events on the data services' own thread.  On the module this is the
// platform's library; the simulation build (dsi_sim.cpp) drives the simulated
// modem's wireless data service over the QMI socket.
#include <sys/socket.h>

#include <cstdint>

#define DSI_SUCCESS 0
#define DSI_ERROR (-1)

/* dsi_init modes: the caller's thread does the set-up, or the library's. */
#define DSI_MODE_GENERAL 0
#define DSI_MODE_TEST 1

typedef void *dsi_hndl_t;

typedef enum {
    DSI_EVT_INVALID = 0,
    DSI_EVT_NET_IS_CONN = 1,
    DSI_EVT_NET_NO_NET = 2,
    DSI_EVT_PHYSLINK_DOWN_STATE = 3,
    DSI_EVT_PHYSLINK_UP_STATE = 4,
    DSI_EVT_NET_RECONFIGURED = 5,
    DSI_EVT_QOS_STATUS_IND = 6,
    DSI_EVT_NET_NEWADDR = 7,
    DSI_EVT_NET_DELADDR = 8,
    DSI_EVT_NET_PARTIAL_CONN = 9,
    DSI_EVT_NET_MCAST_GROUP_ACTIVATED = 10,
    DSI_EVT_NET_MCAST_GROUP_DEACTIVATED = 11,
    DSI_EVT_NET_NEWMTU = 12,
    DSI_EVT_NET_MCAST_LIST_CHANGED = 13,
    DSI_EVT_WDS_CONNECTED = 14,
    DSI_EVT_NET_DATA_BEARER_CHANGED = 15,
    DSI_EVT_NET_IDLE = 16,
    DSI_NET_HANDOFF = 17,
    DSI_EVT_NET_KEEPALIVE = 18,
    DSI_EVT_NET_EXTENDED_IP = 19,
    DSI_EVT_MAX
} dsi_net_evt_t;

/* QoS flow status of a DSI_EVT_QOS_STATUS_IND. */
typedef enum {
    DSI_QOS_ACTIVATED_EV = 0x01,
    DSI_QOS_SUSPENDED_EV = 0x02,
    DSI_QOS_GONE_EV = 0x03,
    DSI_QOS_MODIFY_ACCEPTED_EV = 0x04,
    DSI_QOS_MODIFY_REJECTED_EV = 0x05,
    DSI_QOS_INFO_CODE_UPDATED_EV = 0x06,
    DSI_QOS_FLOW_ENABLED_EV = 0x10,
    DSI_QOS_FLOW_DISABLED_EV = 0x11,
} dsi_qos_status_event_type;

typedef uint32_t dsi_qos_id_type;

typedef struct {
    dsi_qos_id_type flow_id;
    uint32_t flow_type;
    dsi_qos_status_event_type status_evt;
    uint32_t reason;
} dsi_qos_info_type;

typedef union {
    dsi_qos_info_type qos_info;
} dsi_evt_payload_t;

/* Granted QoS of a flow. */
typedef struct {
    uint32_t ip_traffic_class;
    uint64_t max_rate_tx;
    uint64_t max_rate_rx;
    uint64_t guaranteed_rate_tx;
    uint64_t guaranteed_rate_rx;
} dsi_qos_granted_flow_type;

typedef struct {
    dsi_qos_granted_flow_type tx_flow;
    dsi_qos_granted_flow_type rx_flow;
} dsi_qos_granted_info_type;

/* Runs on the data services' event thread. */
typedef void (*dsi_net_ev_cb)(dsi_hndl_t hndl, void *user_data, dsi_net_evt_t evt, dsi_evt_payload_t *payload_ptr);

typedef enum {
    DSI_CALL_INFO_MIN = 0,
    DSI_CALL_INFO_UMTS_PROFILE_IDX = 1,
    DSI_CALL_INFO_APN_NAME = 2,
    DSI_CALL_INFO_USERNAME = 3,
    DSI_CALL_INFO_PASSWORD = 4,
    DSI_CALL_INFO_AUTH_PREF = 5,
    DSI_CALL_INFO_CDMA_PROFILE_IDX = 6,
    DSI_CALL_INFO_IP_ADDR = 7,
    DSI_CALL_INFO_DEVICE_NAME = 8,
    DSI_CALL_INFO_TECH_PREF = 9,
    DSI_CALL_INFO_CALL_TYPE = 10,
    DSI_CALL_INFO_IP_VERSION = 11,
    DSI_CALL_INFO_MAX
} dsi_call_param_identifier_t;

/* Text parameters use buf_val with num_val as its length; number parameters
 * num_val alone. */
typedef struct {
    char *buf_val;
    int num_val;
} dsi_call_param_value_t;

/* DSI_CALL_INFO_IP_VERSION values. */
#define DSI_IP_VERSION_4 4
#define DSI_IP_VERSION_6 6
#define DSI_IP_VERSION_4_6 10

/* Longest APN, user name and password the data services keep. */
#define DSI_CALL_INFO_APN_MAX_LEN 150
#define DSI_CALL_INFO_USERNAME_MAX_LEN 128
#define DSI_CALL_INFO_PASSWORD_MAX_LEN 128

typedef struct {
    char valid_addr;
    struct sockaddr_storage addr;
} dsi_addr_t;

/* One address family of a call: interface, gateway, primary and secondary DNS. */
typedef struct {
    dsi_addr_t iface_addr_s;
    unsigned int iface_mask;
    dsi_addr_t gtwy_addr_s;
    unsigned int gtwy_mask;
    dsi_addr_t dnsp_addr_s;
    dsi_addr_t dnss_addr_s;
} dsi_addr_info_t;

/* Bearer numbering of dsi_get_current_data_bearer_tech. */
typedef enum {
    DSI_DATA_BEARER_TECH_UNKNOWN = 0,
    DSI_DATA_BEARER_TECH_LTE = 14,
    DSI_DATA_BEARER_TECH_MAX = 22,
} dsi_data_bearer_tech_t;

/* Longest interface name, terminator included. */
#define DSI_CALL_INFO_DEVICE_NAME_MAX_LEN 16

// C linkage: the module's libraries are C and export these names unmangled.
extern "C" {
/* Sets the data services up; a second call is refused. */
int dsi_init(int mode);
/* A handle for one call whose events go to cb with user_data; NULL on failure. */
dsi_hndl_t dsi_get_data_srvc_hndl(dsi_net_ev_cb cb, void *user_data);
void dsi_rel_data_srvc_hndl(dsi_hndl_t hndl);
int dsi_set_data_call_param(dsi_hndl_t hndl, dsi_call_param_identifier_t identifier, dsi_call_param_value_t *info);
/* Asks for the call; DSI_EVT_NET_IS_CONN or DSI_EVT_NET_NO_NET follows. */
int dsi_start_data_call(dsi_hndl_t hndl);
/* Ends the call; DSI_EVT_NET_NO_NET follows. */
int dsi_stop_data_call(dsi_hndl_t hndl);
/* Interface name of a connected call, terminated within len. */
int dsi_get_device_name(dsi_hndl_t hndl, char *buf, int len);
/* Address sets of a connected call (one per family, IPv4 first); len is the
 * number of entries of info_ptr. */
int dsi_get_ip_addr(dsi_hndl_t hndl, dsi_addr_info_t *info_ptr, int len);
/* dsi_data_bearer_tech_t of the call's current bearer; DSI_DATA_BEARER_TECH_UNKNOWN without one. */
dsi_data_bearer_tech_t dsi_get_current_data_bearer_tech(dsi_hndl_t hndl);
}  // extern "C"
