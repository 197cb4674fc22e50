// UIM client: creation and service loss.
#include "lib/qs_common_api/qmi/uim/src/qs_qmi_uim.h"

#include "lib/qs_common_api/platform/qs_log/src/qs_log.h"
#include "lib/qs_common_api/qmi/common/qs_qmi_client.h"
#include "platform/qmi_services_v01.h"

namespace {

QsQmiClient g_uim;

qmi_idl_service_object_type uim_object(void) {
    return uim_get_service_object_internal_v01(QMI_SERVICE_MAJOR_V01, UIM_V01_IDL_MINOR_VERS, QMI_IDL_LIB_VERSION);
}

void uim_error_cb(qmi_client_type user_handle, qmi_client_error_type error, void *) {
    qs_qmi_client_release_lost(g_uim, user_handle);
    QS_OL_LOG(QS_OL_LOG_DEBUG, "QMI uim client released with err code: %d\n", error);
}

}  // namespace

int qs_qmi_uim_client_init(void) {
    static const QsQmiClientDesc desc = {uim_object, "[UIM] qmi uim_qmi_client_service_object is null.", nullptr, uim_error_cb,
                                         "qmi_client_init_instance error\n", nullptr};
    return qs_qmi_client_create(g_uim, desc);
}

qmi_client_type get_qmi_uim_svc_client(void) { return g_uim.client.load(); }
