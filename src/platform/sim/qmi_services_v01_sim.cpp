// Service objects and message tables of the simulation build.
#include "platform/sim/qmi_idl_sim.h"
#include "platform/qmi_services_v01.h"

namespace {

const qmi_msg_desc_sim kDmsMsgs[] = {
    {QMI_IDL_REQUEST, QMI_DMS_GET_OPERATING_MODE_REQ_V01, 0},
    {QMI_IDL_RESPONSE, QMI_DMS_GET_OPERATING_MODE_RESP_V01, sizeof(dms_get_operating_mode_resp_msg_v01)},
    {QMI_IDL_REQUEST, QMI_DMS_GET_DEVICE_SERIAL_NUMBERS_REQ_V01, 0},
    {QMI_IDL_RESPONSE, QMI_DMS_GET_DEVICE_SERIAL_NUMBERS_RESP_V01, sizeof(dms_get_device_serial_numbers_resp_msg_v01)},
    {QMI_IDL_REQUEST, QMI_DMS_GET_SW_VERSION_REQ_V01, 0},
    {QMI_IDL_RESPONSE, QMI_DMS_GET_SW_VERSION_RESP_V01, sizeof(dms_get_sw_version_resp_msg_v01)},
};

const qmi_msg_desc_sim kNasMsgs[] = {
    {QMI_IDL_REQUEST, QMI_NAS_GET_SERVING_SYSTEM_REQ_MSG_V01, 0},
    {QMI_IDL_RESPONSE, QMI_NAS_GET_SERVING_SYSTEM_RESP_MSG_V01, sizeof(nas_get_serving_system_resp_msg_v01)},
    {QMI_IDL_INDICATION, QMI_NAS_SERVING_SYSTEM_IND_MSG_V01, sizeof(nas_serving_system_ind_msg_v01)},
    {QMI_IDL_REQUEST, QMI_NAS_GET_SIGNAL_STRENGTH_REQ_MSG_V01, sizeof(nas_get_signal_strength_req_msg_v01)},
    {QMI_IDL_RESPONSE, QMI_NAS_GET_SIGNAL_STRENGTH_RESP_MSG_V01, sizeof(nas_get_signal_strength_resp_msg_v01)},
    {QMI_IDL_REQUEST, QMI_NAS_GET_CELL_LOCATION_INFO_REQ_MSG_V01, 0},
    {QMI_IDL_RESPONSE, QMI_NAS_GET_CELL_LOCATION_INFO_RESP_MSG_V01, sizeof(nas_get_cell_location_info_resp_msg_v01)},
    {QMI_IDL_REQUEST, QMI_NAS_GET_SYS_INFO_REQ_MSG_V01, 0},
    {QMI_IDL_RESPONSE, QMI_NAS_GET_SYS_INFO_RESP_MSG_V01, sizeof(nas_get_sys_info_resp_msg_v01)},
};

const qmi_msg_desc_sim kUimMsgs[] = {
    {QMI_IDL_REQUEST, QMI_UIM_READ_TRANSPARENT_REQ_V01, sizeof(uim_read_transparent_req_msg_v01)},
    {QMI_IDL_RESPONSE, QMI_UIM_READ_TRANSPARENT_RESP_V01, sizeof(uim_read_transparent_resp_msg_v01)},
    {QMI_IDL_REQUEST, QMI_UIM_GET_CARD_STATUS_REQ_V01, 0},
    {QMI_IDL_RESPONSE, QMI_UIM_GET_CARD_STATUS_RESP_V01, sizeof(uim_get_card_status_resp_msg_v01)},
    {QMI_IDL_REQUEST, QMI_UIM_VERIFY_PIN_REQ_V01, sizeof(uim_verify_pin_req_msg_v01)},
    {QMI_IDL_RESPONSE, QMI_UIM_VERIFY_PIN_RESP_V01, sizeof(uim_pin_resp_msg_v01)},
    {QMI_IDL_REQUEST, QMI_UIM_SET_PIN_PROTECTION_REQ_V01, sizeof(uim_set_pin_protection_req_msg_v01)},
    {QMI_IDL_RESPONSE, QMI_UIM_SET_PIN_PROTECTION_RESP_V01, sizeof(uim_pin_resp_msg_v01)},
    {QMI_IDL_REQUEST, QMI_UIM_UNBLOCK_PIN_REQ_V01, sizeof(uim_unblock_pin_req_msg_v01)},
    {QMI_IDL_RESPONSE, QMI_UIM_UNBLOCK_PIN_RESP_V01, sizeof(uim_pin_resp_msg_v01)},
    {QMI_IDL_REQUEST, QMI_UIM_CHANGE_PIN_REQ_V01, sizeof(uim_change_pin_req_msg_v01)},
    {QMI_IDL_RESPONSE, QMI_UIM_CHANGE_PIN_RESP_V01, sizeof(uim_pin_resp_msg_v01)},
};

const qmi_msg_desc_sim kWdsMsgs[] = {
    {QMI_IDL_REQUEST, QMI_WDS_START_NETWORK_INTERFACE_REQ_V01, sizeof(wds_start_network_interface_req_msg_v01)},
    {QMI_IDL_RESPONSE, QMI_WDS_START_NETWORK_INTERFACE_RESP_V01, sizeof(wds_start_network_interface_resp_msg_v01)},
    {QMI_IDL_REQUEST, QMI_WDS_STOP_NETWORK_INTERFACE_REQ_V01, sizeof(wds_call_handle_req_msg_v01)},
    {QMI_IDL_RESPONSE, QMI_WDS_STOP_NETWORK_INTERFACE_RESP_V01, sizeof(wds_stop_network_interface_resp_msg_v01)},
    {QMI_IDL_INDICATION, QMI_WDS_PKT_SRVC_STATUS_IND_V01, sizeof(wds_pkt_srvc_status_ind_msg_v01)},
    {QMI_IDL_INDICATION, QMI_WDS_QOS_STATUS_IND_V01, sizeof(wds_qos_status_ind_msg_v01)},
    {QMI_IDL_REQUEST, QMI_WDS_CREATE_PROFILE_REQ_V01, sizeof(wds_create_profile_req_msg_v01)},
    {QMI_IDL_RESPONSE, QMI_WDS_CREATE_PROFILE_RESP_V01, sizeof(wds_create_profile_resp_msg_v01)},
    {QMI_IDL_REQUEST, QMI_WDS_MODIFY_PROFILE_SETTINGS_REQ_V01, sizeof(wds_modify_profile_settings_req_msg_v01)},
    {QMI_IDL_RESPONSE, QMI_WDS_MODIFY_PROFILE_SETTINGS_RESP_V01, sizeof(wds_modify_profile_settings_resp_msg_v01)},
    {QMI_IDL_REQUEST, QMI_WDS_DELETE_PROFILE_REQ_V01, sizeof(wds_delete_profile_req_msg_v01)},
    {QMI_IDL_RESPONSE, QMI_WDS_DELETE_PROFILE_RESP_V01, sizeof(wds_delete_profile_resp_msg_v01)},
    {QMI_IDL_REQUEST, QMI_WDS_GET_PROFILE_SETTINGS_REQ_V01, sizeof(wds_get_profile_settings_req_msg_v01)},
    {QMI_IDL_RESPONSE, QMI_WDS_GET_PROFILE_SETTINGS_RESP_V01, sizeof(wds_get_profile_settings_resp_msg_v01)},
    {QMI_IDL_REQUEST, QMI_WDS_GET_RUNTIME_SETTINGS_REQ_V01, sizeof(wds_call_handle_req_msg_v01)},
    {QMI_IDL_RESPONSE, QMI_WDS_GET_RUNTIME_SETTINGS_RESP_V01, sizeof(wds_get_runtime_settings_resp_msg_v01)},
    {QMI_IDL_REQUEST, QMI_WDS_GET_DATA_BEARER_TECHNOLOGY_REQ_V01, sizeof(wds_call_handle_req_msg_v01)},
    {QMI_IDL_RESPONSE, QMI_WDS_GET_DATA_BEARER_TECHNOLOGY_RESP_V01,
     sizeof(wds_get_data_bearer_technology_resp_msg_v01)},
};

const qmi_idl_service_object kDms{QMI_DMS_SERVICE_ID_V01, "dms", DMS_V01_IDL_MINOR_VERS, kDmsMsgs,
                                  sizeof kDmsMsgs / sizeof kDmsMsgs[0]};
const qmi_idl_service_object kNas{QMI_NAS_SERVICE_ID_V01, "nas", NAS_V01_IDL_MINOR_VERS, kNasMsgs,
                                  sizeof kNasMsgs / sizeof kNasMsgs[0]};
const qmi_idl_service_object kUim{QMI_UIM_SERVICE_ID_V01, "uim", UIM_V01_IDL_MINOR_VERS, kUimMsgs,
                                  sizeof kUimMsgs / sizeof kUimMsgs[0]};
const qmi_idl_service_object kWds{QMI_WDS_SERVICE_ID_V01, "wds", WDS_V01_IDL_MINOR_VERS, kWdsMsgs,
                                  sizeof kWdsMsgs / sizeof kWdsMsgs[0]};

// A client built against another major version or library generation cannot
// read our messages; one built against an older minor version can.
qmi_idl_service_object_type checked(const qmi_idl_service_object &obj, int32_t maj, int32_t min, int32_t lib) {
    if (maj != QMI_SERVICE_MAJOR_V01 || lib != QMI_IDL_LIB_VERSION) return nullptr;
    if (min < 0 || min > obj.max_minor) return nullptr;
    return &obj;
}

}  // namespace

const qmi_msg_desc_sim *qmi_sim_find_msg(qmi_idl_service_object_type obj, qmi_idl_type_of_message_type type,
                                         unsigned int msg_id) {
    if (obj == nullptr) return nullptr;
    for (size_t i = 0; i < obj->msg_count; ++i) {
        if (obj->msgs[i].type == type && obj->msgs[i].msg_id == msg_id) return &obj->msgs[i];
    }
    return nullptr;
}

qmi_idl_service_object_type dms_get_service_object_internal_v01(int32_t maj, int32_t min, int32_t lib) {
    return checked(kDms, maj, min, lib);
}
qmi_idl_service_object_type nas_get_service_object_internal_v01(int32_t maj, int32_t min, int32_t lib) {
    return checked(kNas, maj, min, lib);
}
qmi_idl_service_object_type uim_get_service_object_internal_v01(int32_t maj, int32_t min, int32_t lib) {
    return checked(kUim, maj, min, lib);
}
qmi_idl_service_object_type wds_get_service_object_internal_v01(int32_t maj, int32_t min, int32_t lib) {
    return checked(kWds, maj, min, lib);
}
