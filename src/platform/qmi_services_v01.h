#pragma once
// The four modem services the library uses, their service objects and the
// messages exchanged with them.  The layouts are ours: plain packed
// structures, sent as they are in simulation.  Adding a message means adding
// its identifiers and structures here, an entry in the service's message table
// (qmi_services_v01_sim.cpp) and its handler in the device simulator.
#include <cstdint>

#include "platform/qmi_client.h"

/* Versions the library was built against. */
#define QMI_IDL_LIB_VERSION 6
#define QMI_SERVICE_MAJOR_V01 1
#define DMS_V01_IDL_MINOR_VERS 57
#define NAS_V01_IDL_MINOR_VERS 158
#define UIM_V01_IDL_MINOR_VERS 54
#define WDS_V01_IDL_MINOR_VERS 110

/* Service numbers on the modem. */
#define QMI_WDS_SERVICE_ID_V01 0x01
#define QMI_DMS_SERVICE_ID_V01 0x02
#define QMI_NAS_SERVICE_ID_V01 0x03
#define QMI_UIM_SERVICE_ID_V01 0x0B

/* Result of a request as the service reports it (the transport result is the
 * return value of qmi_client_send_msg_sync). */
#define QMI_RESULT_SUCCESS_V01 0
#define QMI_RESULT_FAILURE_V01 1
#define QMI_ERR_NONE_V01 0x0000
#define QMI_ERR_INTERNAL_V01 0x0003
#define QMI_ERR_INVALID_QMI_CMD_V01 0x0047

#pragma pack(push, 1)

typedef struct {
    uint16_t result;
    uint16_t error;
} qmi_response_type_v01;

/* ---- DMS: device management ---------------------------------------------- */

#define QMI_DMS_GET_OPERATING_MODE_REQ_V01 0x002D
#define QMI_DMS_GET_OPERATING_MODE_RESP_V01 0x002D

typedef enum {
    DMS_OP_MODE_ONLINE_V01 = 0,
    DMS_OP_MODE_LOW_POWER_V01 = 1,
    DMS_OP_MODE_OFFLINE_V01 = 3,
    DMS_OP_MODE_RESETTING_V01 = 4,
} dms_operating_mode_enum_v01;

typedef struct {
    qmi_response_type_v01 resp;
    uint8_t operating_mode; /* dms_operating_mode_enum_v01 */
} dms_get_operating_mode_resp_msg_v01;

#define QMI_DMS_GET_DEVICE_SERIAL_NUMBERS_REQ_V01 0x0025
#define QMI_DMS_GET_DEVICE_SERIAL_NUMBERS_RESP_V01 0x0025
#define QMI_DMS_GET_SW_VERSION_REQ_V01 0x0051
#define QMI_DMS_GET_SW_VERSION_RESP_V01 0x0051

#define QMI_DMS_ESN_MAX_V01 32
#define QMI_DMS_IMEI_MAX_V01 32
#define QMI_DMS_MEID_MAX_V01 32
#define QMI_DMS_SW_VERSION_MAX_V01 32

typedef struct {
    qmi_response_type_v01 resp;
    uint8_t esn_valid;
    char esn[QMI_DMS_ESN_MAX_V01 + 1];
    uint8_t imei_valid;
    char imei[QMI_DMS_IMEI_MAX_V01 + 1];
    uint8_t meid_valid;
    char meid[QMI_DMS_MEID_MAX_V01 + 1];
} dms_get_device_serial_numbers_resp_msg_v01;

typedef struct {
    qmi_response_type_v01 resp;
    char sw_version[QMI_DMS_SW_VERSION_MAX_V01 + 1];
} dms_get_sw_version_resp_msg_v01;

/* ---- NAS: network access ------------------------------------------------- */

#define QMI_NAS_GET_SERVING_SYSTEM_REQ_MSG_V01 0x0024
#define QMI_NAS_GET_SERVING_SYSTEM_RESP_MSG_V01 0x0024
#define QMI_NAS_SERVING_SYSTEM_IND_MSG_V01 0x0024

typedef enum {
    NAS_NOT_REGISTERED_V01 = 0,
    NAS_REGISTERED_V01 = 1,
    NAS_NOT_REGISTERED_SEARCHING_V01 = 2,
    NAS_REGISTRATION_DENIED_V01 = 3,
    NAS_REGISTRATION_UNKNOWN_V01 = 4,
} nas_registration_state_enum_v01;

#define NAS_RADIO_IF_NO_SVC_V01 0x00
#define NAS_RADIO_IF_GSM_V01 0x04
#define NAS_RADIO_IF_UMTS_V01 0x05
#define NAS_RADIO_IF_LTE_V01 0x08
#define NAS_RADIO_IF_LIST_MAX_V01 16

#define NAS_ROAMING_IND_ON_V01 0x00
#define NAS_ROAMING_IND_OFF_V01 0x01
#define NAS_NETWORK_DESCRIPTION_MAX_V01 255

typedef struct {
    uint16_t mobile_country_code;
    uint16_t mobile_network_code;
    char network_description[NAS_NETWORK_DESCRIPTION_MAX_V01 + 1];
} nas_plmn_type_v01;

/* Roaming and the current PLMN follow the serving system. */
typedef struct {
    uint8_t roaming_indicator_valid;
    uint8_t roaming_indicator; /* NAS_ROAMING_IND_ON_V01 / _OFF_V01 */
    uint8_t current_plmn_valid;
    nas_plmn_type_v01 current_plmn;
    uint8_t mnc_includes_pcs_digit_valid;
    uint8_t mnc_includes_pcs_digit; /* 1: the MNC has three digits */
} nas_serving_system_extra_v01;

typedef struct {
    uint8_t registration_state; /* nas_registration_state_enum_v01 */
    uint8_t cs_attach_state;    /* 1 attached, 2 detached */
    uint8_t ps_attach_state;
    uint8_t selected_network;   /* 2 3GPP */
    uint8_t radio_if_len;
    uint8_t radio_if[NAS_RADIO_IF_LIST_MAX_V01];
    nas_serving_system_extra_v01 extra;
} nas_serving_system_type_v01;


typedef struct {
    qmi_response_type_v01 resp;
    nas_serving_system_type_v01 serving_system;
} nas_get_serving_system_resp_msg_v01;

typedef struct {
    nas_serving_system_type_v01 serving_system;
} nas_serving_system_ind_msg_v01;

#define QMI_NAS_GET_SIGNAL_STRENGTH_REQ_MSG_V01 0x0020
#define QMI_NAS_GET_SIGNAL_STRENGTH_RESP_MSG_V01 0x0020
#define QMI_NAS_GET_CELL_LOCATION_INFO_REQ_MSG_V01 0x0043
#define QMI_NAS_GET_CELL_LOCATION_INFO_RESP_MSG_V01 0x0043
#define QMI_NAS_GET_SYS_INFO_REQ_MSG_V01 0x004D
#define QMI_NAS_GET_SYS_INFO_RESP_MSG_V01 0x004D

/* Request mask bits of the signal strength request. */
#define QMI_NAS_REQUEST_SIG_INFO_RSSI_MASK_V01 0x01
#define QMI_NAS_REQUEST_SIG_INFO_RSRP_MASK_V01 0x80

typedef struct {
    uint8_t request_mask_valid;
    uint16_t request_mask;
} nas_get_signal_strength_req_msg_v01;

typedef struct {
    qmi_response_type_v01 resp;
    int8_t sig_strength; /* dBm */
    uint8_t radio_if;
    uint8_t error_rate_valid;
    uint16_t error_rate;
    uint8_t rsrp_valid;
    int16_t rsrp; /* dBm, LTE only */
} nas_get_signal_strength_resp_msg_v01;

/* Service status of one radio technology. */
#define NAS_SYS_SRV_STATUS_NO_SRV_V01 0
#define NAS_SYS_SRV_STATUS_LIMITED_V01 1
#define NAS_SYS_SRV_STATUS_SRV_V01 2
#define NAS_SYS_SRV_STATUS_LIMITED_REGIONAL_V01 3
#define NAS_SYS_SRV_STATUS_PWR_SAVE_V01 4

typedef struct {
    uint8_t srv_status_valid;
    uint8_t srv_status;
    uint8_t roam_status_valid;
    uint8_t roam_status; /* 0 off, 1 on */
} nas_sys_srv_info_type_v01;

typedef struct {
    qmi_response_type_v01 resp;
    nas_sys_srv_info_type_v01 cdma;
    nas_sys_srv_info_type_v01 hdr;
    nas_sys_srv_info_type_v01 gsm;
    nas_sys_srv_info_type_v01 wcdma;
    nas_sys_srv_info_type_v01 lte;
    nas_sys_srv_info_type_v01 tdscdma;
} nas_get_sys_info_resp_msg_v01;

#define NAS_LTE_NGBR_CELLS_MAX_V01 8

typedef struct {
    uint16_t pci;
    int16_t rsrq;
    int16_t rsrp;
    int16_t rssi;
    int16_t srxlev;
} nas_lte_ngbr_cell_type_v01;

/* LTE serving cell and its intra-frequency neighbours. */
typedef struct {
    uint8_t ue_in_idle;
    uint8_t plmn[3]; /* 3GPP TS 24.008 coding */
    uint16_t tac;
    uint32_t global_cell_id;
    uint16_t earfcn;
    uint16_t serving_cell_id; /* physical cell id */
    uint8_t cells_len;
    nas_lte_ngbr_cell_type_v01 cells[NAS_LTE_NGBR_CELLS_MAX_V01];
} nas_lte_intra_freq_type_v01;

typedef struct {
    qmi_response_type_v01 resp;
    uint8_t lte_intra_valid;
    nas_lte_intra_freq_type_v01 lte_intra;
} nas_get_cell_location_info_resp_msg_v01;

/* ---- UIM: SIM card ------------------------------------------------------ */

#define QMI_ERR_NO_EFFECT_V01 0x001A
#define QMI_ERR_INCORRECT_PIN_V01 0x0024
#define QMI_ERR_PIN_BLOCKED_V01 0x0023
#define QMI_ERR_PIN_PERM_BLOCKED_V01 0x0025
#define QMI_ERR_SIM_NOT_INITIALIZED_V01 0x0026
#define QMI_ERR_DEVICE_NOT_READY_V01 0x0034

#define QMI_UIM_SET_PIN_PROTECTION_REQ_V01 0x0025
#define QMI_UIM_SET_PIN_PROTECTION_RESP_V01 0x0025
#define QMI_UIM_VERIFY_PIN_REQ_V01 0x0026
#define QMI_UIM_VERIFY_PIN_RESP_V01 0x0026
#define QMI_UIM_UNBLOCK_PIN_REQ_V01 0x0027
#define QMI_UIM_UNBLOCK_PIN_RESP_V01 0x0027
#define QMI_UIM_CHANGE_PIN_REQ_V01 0x0028
#define QMI_UIM_CHANGE_PIN_RESP_V01 0x0028
#define QMI_UIM_READ_TRANSPARENT_REQ_V01 0x0020
#define QMI_UIM_READ_TRANSPARENT_RESP_V01 0x0020
#define QMI_UIM_GET_CARD_STATUS_REQ_V01 0x002F
#define QMI_UIM_GET_CARD_STATUS_RESP_V01 0x002F

typedef enum {
    UIM_SESSION_TYPE_PRIMARY_GW_V01 = 0,
    UIM_SESSION_TYPE_CARD_ON_SLOT_1_V01 = 6,
} uim_session_type_enum_v01;

#define QMI_UIM_PATH_MAX_V01 10
#define QMI_UIM_CONTENT_TRANSPARENT_MAX_V01 258
#define QMI_UIM_PIN_MAX_V01 8

typedef struct {
    uint8_t session_type; /* uim_session_type_enum_v01 */
    uint8_t aid_len;
    uint8_t aid[32];
} uim_session_information_type_v01;

/* File id and its path from the master file, two bytes per level, high byte
 * first ("3F00 7FFF" is 3F 00 7F FF). */
typedef struct {
    uint16_t file_id;
    uint8_t path_len;
    uint8_t path[QMI_UIM_PATH_MAX_V01];
} uim_file_id_type_v01;

typedef struct {
    uim_session_information_type_v01 session_information;
    uim_file_id_type_v01 file_id;
    uint16_t offset;
    uint16_t length; /* 0: the whole file */
} uim_read_transparent_req_msg_v01;

typedef struct {
    qmi_response_type_v01 resp;
    uint8_t card_result_valid;
    uint8_t sw1;
    uint8_t sw2;
    uint8_t read_result_valid;
    uint16_t content_len;
    uint8_t content[QMI_UIM_CONTENT_TRANSPARENT_MAX_V01];
} uim_read_transparent_resp_msg_v01;

typedef enum {
    UIM_CARD_STATE_ABSENT_V01 = 0,
    UIM_CARD_STATE_PRESENT_V01 = 1,
    UIM_CARD_STATE_ERROR_V01 = 2,
} uim_card_state_enum_v01;

/* Error of a card in UIM_CARD_STATE_ERROR_V01. */
#define UIM_CARD_ERROR_CODE_UNKNOWN_V01 0x00
#define UIM_CARD_ERROR_CODE_POWER_DOWN_V01 0x01
#define UIM_CARD_ERROR_CODE_SIM_BUSY_V01 0x0E

typedef enum {
    UIM_PIN_STATE_UNKNOWN_V01 = 0,
    UIM_PIN_STATE_ENABLED_NOT_VERIFIED_V01 = 1,
    UIM_PIN_STATE_ENABLED_VERIFIED_V01 = 2,
    UIM_PIN_STATE_DISABLED_V01 = 3,
    UIM_PIN_STATE_BLOCKED_V01 = 4,
    UIM_PIN_STATE_PERMANENTLY_BLOCKED_V01 = 5,
} uim_pin_state_enum_v01;

typedef struct {
    uint8_t app_type; /* 2 SIM, 4 USIM */
    uint8_t app_state;
    uint8_t pin1_state; /* uim_pin_state_enum_v01 */
    uint8_t pin1_retries;
    uint8_t puk1_retries;
} uim_app_info_type_v01;

#define QMI_UIM_APPS_MAX_V01 4

typedef struct {
    uint8_t card_state; /* uim_card_state_enum_v01 */
    uint8_t error_code;
    uint8_t app_info_len;
    uim_app_info_type_v01 app_info[QMI_UIM_APPS_MAX_V01];
} uim_card_info_type_v01;

#define QMI_UIM_CARDS_MAX_V01 2

typedef struct {
    qmi_response_type_v01 resp;
    uint8_t card_status_valid;
    uint8_t card_info_len;
    uim_card_info_type_v01 card_info[QMI_UIM_CARDS_MAX_V01];
} uim_get_card_status_resp_msg_v01;

typedef enum { UIM_PIN_ID_PIN_1_V01 = 1 } uim_pin_id_enum_v01;

typedef struct {
    uint8_t pin_id;
    uint8_t pin_value_len;
    char pin_value[QMI_UIM_PIN_MAX_V01];
} uim_pin_type_v01;

typedef struct {
    uim_session_information_type_v01 session_information;
    uim_pin_type_v01 verify_pin;
} uim_verify_pin_req_msg_v01;

typedef struct {
    uim_session_information_type_v01 session_information;
    uint8_t pin_id;
    uint8_t protection; /* 0 off, 1 on */
    uint8_t pin_value_len;
    char pin_value[QMI_UIM_PIN_MAX_V01];
} uim_set_pin_protection_req_msg_v01;

typedef struct {
    uim_session_information_type_v01 session_information;
    uint8_t pin_id;
    uint8_t puk_value_len;
    char puk_value[QMI_UIM_PIN_MAX_V01];
    uint8_t new_pin_value_len;
    char new_pin_value[QMI_UIM_PIN_MAX_V01];
} uim_unblock_pin_req_msg_v01;

typedef struct {
    uim_session_information_type_v01 session_information;
    uint8_t pin_id;
    uint8_t old_pin_value_len;
    char old_pin_value[QMI_UIM_PIN_MAX_V01];
    uint8_t new_pin_value_len;
    char new_pin_value[QMI_UIM_PIN_MAX_V01];
} uim_change_pin_req_msg_v01;

/* Answer of every PIN request: attempts left after it. */
typedef struct {
    qmi_response_type_v01 resp;
    uint8_t retries_left_valid;
    uint8_t verify_left;
    uint8_t unblock_left;
} uim_pin_resp_msg_v01;

/* ---- WDS: wireless data ------------------------------------------------- */

#define QMI_ERR_EXTENDED_INTERNAL_V01 0x0051
#define QMI_ERR_CALL_FAILED_V01 0x000E
#define QMI_ERR_NO_NETWORK_FOUND_V01 0x000D
#define QMI_ERR_OUT_OF_CALL_V01 0x000F

#define QMI_WDS_START_NETWORK_INTERFACE_REQ_V01 0x0020
#define QMI_WDS_START_NETWORK_INTERFACE_RESP_V01 0x0020
#define QMI_WDS_STOP_NETWORK_INTERFACE_REQ_V01 0x0021
#define QMI_WDS_STOP_NETWORK_INTERFACE_RESP_V01 0x0021
#define QMI_WDS_PKT_SRVC_STATUS_IND_V01 0x0022
#define QMI_WDS_QOS_STATUS_IND_V01 0x0023
#define QMI_WDS_CREATE_PROFILE_REQ_V01 0x0027
#define QMI_WDS_CREATE_PROFILE_RESP_V01 0x0027
#define QMI_WDS_MODIFY_PROFILE_SETTINGS_REQ_V01 0x0028
#define QMI_WDS_MODIFY_PROFILE_SETTINGS_RESP_V01 0x0028
#define QMI_WDS_DELETE_PROFILE_REQ_V01 0x0029
#define QMI_WDS_DELETE_PROFILE_RESP_V01 0x0029
#define QMI_WDS_GET_PROFILE_SETTINGS_REQ_V01 0x002B
#define QMI_WDS_GET_PROFILE_SETTINGS_RESP_V01 0x002B
#define QMI_WDS_GET_RUNTIME_SETTINGS_REQ_V01 0x002D
#define QMI_WDS_GET_RUNTIME_SETTINGS_RESP_V01 0x002D
#define QMI_WDS_GET_DATA_BEARER_TECHNOLOGY_REQ_V01 0x0044
#define QMI_WDS_GET_DATA_BEARER_TECHNOLOGY_RESP_V01 0x0044

/* Extended error codes of the profile requests. */
#define WDS_EEC_DS_PROFILE_REG_RESULT_FAIL_V01 0x01
#define WDS_EEC_DS_PROFILE_REG_RESULT_ERR_INVAL_PROFILE_NUM_V01 0x02
#define WDS_EEC_DS_PROFILE_REG_RESULT_ERR_OUT_OF_PROFILES_V01 0x0B

typedef enum {
    WDS_PROFILE_TYPE_3GPP_V01 = 0,
    WDS_PROFILE_TYPE_3GPP2_V01 = 1,
} wds_profile_type_enum_v01;

typedef enum {
    WDS_PDP_TYPE_PDP_IPV4_V01 = 0,
    WDS_PDP_TYPE_PDP_PPP_V01 = 1,
    WDS_PDP_TYPE_PDP_IPV6_V01 = 2,
    WDS_PDP_TYPE_PDP_IPV4V6_V01 = 3,
} wds_pdp_type_enum_v01;

#define QMI_WDS_APN_NAME_MAX_V01 150
#define QMI_WDS_USER_NAME_MAX_V01 128
#define QMI_WDS_PASSWORD_MAX_V01 128
#define QMI_WDS_IFACE_NAME_MAX_V01 15

typedef struct {
    uint8_t profile_type; /* wds_profile_type_enum_v01 */
    uint8_t profile_index;
} wds_profile_identifier_type_v01;

/* The settings of a 3GPP profile; each one with its "present" flag. */
typedef struct {
    uint8_t pdp_context_number_valid;
    uint8_t pdp_context_number;
    uint8_t pdp_type_valid;
    uint8_t pdp_type; /* wds_pdp_type_enum_v01 */
    uint8_t apn_name_valid;
    char apn_name[QMI_WDS_APN_NAME_MAX_V01 + 1];
    uint8_t username_valid;
    char username[QMI_WDS_USER_NAME_MAX_V01 + 1];
    uint8_t password_valid;
    char password[QMI_WDS_PASSWORD_MAX_V01 + 1];
    uint8_t authentication_preference_valid;
    uint8_t authentication_preference; /* bit 0 PAP, bit 1 CHAP */
} wds_profile_settings_type_v01;

typedef struct {
    wds_profile_identifier_type_v01 profile;
} wds_get_profile_settings_req_msg_v01;

typedef struct {
    qmi_response_type_v01 resp;
    wds_profile_settings_type_v01 settings;
    uint8_t extended_error_code_valid;
    uint16_t extended_error_code;
} wds_get_profile_settings_resp_msg_v01;

typedef struct {
    wds_profile_identifier_type_v01 profile;
    wds_profile_settings_type_v01 settings;
} wds_modify_profile_settings_req_msg_v01;

typedef struct {
    qmi_response_type_v01 resp;
    uint8_t extended_error_code_valid;
    uint16_t extended_error_code;
} wds_modify_profile_settings_resp_msg_v01;

/* The modem numbers a new profile: the lowest free index. */
typedef struct {
    uint8_t profile_type;
    wds_profile_settings_type_v01 settings;
} wds_create_profile_req_msg_v01;

typedef struct {
    qmi_response_type_v01 resp;
    wds_profile_identifier_type_v01 profile;
    uint8_t extended_error_code_valid;
    uint16_t extended_error_code;
} wds_create_profile_resp_msg_v01;

typedef struct {
    wds_profile_identifier_type_v01 profile;
} wds_delete_profile_req_msg_v01;

typedef struct {
    qmi_response_type_v01 resp;
    uint8_t extended_error_code_valid;
    uint16_t extended_error_code;
} wds_delete_profile_resp_msg_v01;

/* Family of a call (start request) and of its addresses. */
#define WDS_IP_FAMILY_IPV4_V01 4
#define WDS_IP_FAMILY_IPV6_V01 6
#define WDS_IP_FAMILY_IPV4V6_V01 10

typedef struct {
    uint8_t profile_index_valid;
    uint8_t profile_index; /* 3GPP profile */
    uint8_t ip_family_pref; /* WDS_IP_FAMILY_*_V01 */
    uint8_t tech_pref;
    uint8_t authentication_preference_valid;
    uint8_t authentication_preference;
    uint8_t apn_name_valid;
    char apn_name[QMI_WDS_APN_NAME_MAX_V01 + 1];
    uint8_t username_valid;
    char username[QMI_WDS_USER_NAME_MAX_V01 + 1];
    uint8_t password_valid;
    char password[QMI_WDS_PASSWORD_MAX_V01 + 1];
} wds_start_network_interface_req_msg_v01;

typedef struct {
    qmi_response_type_v01 resp;
    uint32_t pkt_data_handle;
    uint8_t call_end_reason_valid;
    uint16_t call_end_reason;
} wds_start_network_interface_resp_msg_v01;

typedef struct {
    uint32_t pkt_data_handle;
} wds_call_handle_req_msg_v01;

typedef struct {
    qmi_response_type_v01 resp;
} wds_stop_network_interface_resp_msg_v01;

typedef enum {
    WDS_CONNECTION_STATUS_DISCONNECTED_V01 = 1,
    WDS_CONNECTION_STATUS_CONNECTED_V01 = 2,
    WDS_CONNECTION_STATUS_SUSPENDED_V01 = 3,
    WDS_CONNECTION_STATUS_AUTHENTICATING_V01 = 4,
} wds_connection_status_enum_v01;

/* Call end reasons the modem reports. */
#define WDS_CALL_END_REASON_CLIENT_END_V01 2
#define WDS_CALL_END_REASON_NO_SRV_V01 3
#define WDS_CALL_END_REASON_NETWORK_END_V01 1002
#define WDS_CALL_END_REASON_REJECTED_V01 1010

typedef struct {
    uint32_t pkt_data_handle;
    uint8_t connection_status; /* wds_connection_status_enum_v01 */
    uint8_t reconfiguration_required;
    uint8_t call_end_reason_valid;
    uint16_t call_end_reason;
    uint8_t ip_family;
} wds_pkt_srvc_status_ind_msg_v01;

/* A QoS flow of a call changed (status numbering of the data services). */
typedef struct {
    uint32_t pkt_data_handle;
    uint32_t flow_id;
    uint8_t status;
} wds_qos_status_ind_msg_v01;

typedef struct {
    qmi_response_type_v01 resp;
    char iface_name[QMI_WDS_IFACE_NAME_MAX_V01 + 1];
    uint8_t ipv4_valid;
    uint8_t ipv4_address[4]; /* network order */
    uint8_t ipv4_gateway[4];
    uint8_t ipv4_subnet_mask[4];
    uint8_t ipv4_primary_dns[4];
    uint8_t ipv4_secondary_dns[4];
    uint8_t ipv6_valid;
    uint8_t ipv6_address[16];
    uint8_t ipv6_prefix_length;
    uint8_t ipv6_gateway[16];
    uint8_t ipv6_primary_dns[16];
    uint8_t ipv6_secondary_dns[16];
} wds_get_runtime_settings_resp_msg_v01;

typedef struct {
    qmi_response_type_v01 resp;
    uint8_t bearer_tech; /* the data services' bearer numbering */
} wds_get_data_bearer_technology_resp_msg_v01;

#pragma pack(pop)

// C linkage: the module's libraries are C and export these names unmangled.
extern "C" {
/* Service objects; empty when the versions do not match this library. */
qmi_idl_service_object_type dms_get_service_object_internal_v01(int32_t idl_maj_version, int32_t idl_min_version,
                                                                int32_t library_version);
qmi_idl_service_object_type nas_get_service_object_internal_v01(int32_t idl_maj_version, int32_t idl_min_version,
                                                                int32_t library_version);
qmi_idl_service_object_type uim_get_service_object_internal_v01(int32_t idl_maj_version, int32_t idl_min_version,
                                                                int32_t library_version);
qmi_idl_service_object_type wds_get_service_object_internal_v01(int32_t idl_maj_version, int32_t idl_min_version,
                                                                int32_t library_version);
}  // extern "C"
