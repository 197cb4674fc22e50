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

typedef struct {
    uint8_t registration_state; /* nas_registration_state_enum_v01 */
    uint8_t cs_attach_state;    /* 1 attached, 2 detached */
    uint8_t ps_attach_state;
    uint8_t selected_network;   /* 2 3GPP */
    uint8_t radio_if_len;
    uint8_t radio_if[NAS_RADIO_IF_LIST_MAX_V01];
} nas_serving_system_type_v01;

typedef struct {
    qmi_response_type_v01 resp;
    nas_serving_system_type_v01 serving_system;
} nas_get_serving_system_resp_msg_v01;

typedef struct {
    nas_serving_system_type_v01 serving_system;
} nas_serving_system_ind_msg_v01;

/* ---- UIM (SIM card) and WDS (wireless data): messages come with their users. */

#pragma pack(pop)

/* Service objects; empty when the versions do not match this library. */
qmi_idl_service_object_type dms_get_service_object_internal_v01(int32_t idl_maj_version, int32_t idl_min_version,
                                                                int32_t library_version);
qmi_idl_service_object_type nas_get_service_object_internal_v01(int32_t idl_maj_version, int32_t idl_min_version,
                                                                int32_t library_version);
qmi_idl_service_object_type uim_get_service_object_internal_v01(int32_t idl_maj_version, int32_t idl_min_version,
                                                                int32_t library_version);
qmi_idl_service_object_type wds_get_service_object_internal_v01(int32_t idl_maj_version, int32_t idl_min_version,
                                                                int32_t library_version);
