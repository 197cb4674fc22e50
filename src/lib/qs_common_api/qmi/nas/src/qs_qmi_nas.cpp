// NAS client: creation, service loss and the serving-system indication.
#include "lib/qs_common_api/qmi/nas/src/qs_qmi_nas.h"

#include <atomic>

#include "lib/qs_common_api/platform/qs_log/src/qs_log.h"
#include "lib/qs_common_api/qmi/common/qs_qmi_client.h"

namespace {

QsQmiClient g_nas;
std::atomic<qs_nas_serving_system_handler> g_handler{nullptr};
std::atomic<int> g_reg_state{NAS_REGISTRATION_UNKNOWN_V01};

void nas_ind_cb(qmi_client_type user_handle, unsigned int msg_id, void *ind_buf, unsigned int ind_buf_len,
                void *ind_cb_data) {
    (void)ind_cb_data;
    if (msg_id != QMI_NAS_SERVING_SYSTEM_IND_MSG_V01) return;
    nas_serving_system_ind_msg_v01 ind{};
    const qmi_client_error_type rc = qmi_client_message_decode(user_handle, QMI_IDL_INDICATION, msg_id, ind_buf,
                                                               ind_buf_len, &ind, sizeof ind);
    if (rc != QMI_NO_ERR) {
        QS_OL_LOG(QS_OL_LOG_WARNING, "Decode of Indication message returned error: %d\n", rc);
        return;
    }
    g_reg_state.store(ind.serving_system.registration_state);
    const qs_nas_serving_system_handler handler = g_handler.load();
    if (handler != nullptr) handler(&ind.serving_system);
}

qmi_idl_service_object_type nas_object(void) {
    return nas_get_service_object_internal_v01(QMI_SERVICE_MAJOR_V01, NAS_V01_IDL_MINOR_VERS, QMI_IDL_LIB_VERSION);
}

void nas_error_cb(qmi_client_type user_handle, qmi_client_error_type error, void *err_cb_data) {
    (void)err_cb_data;
    qs_qmi_client_release_lost(g_nas, user_handle);
    QS_OL_LOG(QS_OL_LOG_DEBUG, "QMI nas client released with err code: %d\n", error);
}

}  // namespace

int qs_qmi_nas_client_init(void) {
    static const QsQmiClientDesc desc = {nas_object, "[NAS] qmi nas_qmi_client_service_object is null.", nas_ind_cb,
                                         nas_error_cb, "qmi_client_init_instance error.",
                                         "qmi_client_register_error_cb error."};
    return qs_qmi_client_create(g_nas, desc);
}

qmi_client_type get_qmi_nas_svc_client(void) { return g_nas.client.load(); }

void qs_qmi_nas_set_serving_system_handler(qs_nas_serving_system_handler handler) { g_handler.store(handler); }

int qs_qmi_nas_last_registration_state(void) { return g_reg_state.load(); }
