// WDS client: creation and service loss.
#include "lib/qs_common_api/qmi/wds/src/qs_qmi_wds.h"

#include "lib/qs_common_api/platform/qs_log/src/qs_log.h"
#include "lib/qs_common_api/qmi/common/qs_qmi_client.h"
#include "platform/qmi_services_v01.h"

namespace {

QsQmiClient g_wds;

qmi_idl_service_object_type wds_object(void) {
    return wds_get_service_object_internal_v01(QMI_SERVICE_MAJOR_V01, WDS_V01_IDL_MINOR_VERS, QMI_IDL_LIB_VERSION);
}

void wds_error_cb(qmi_client_type user_handle, qmi_client_error_type error, void *) {
    qs_qmi_client_release_lost(g_wds, user_handle);
    QS_OL_LOG(QS_OL_LOG_DEBUG, "QMI wds client released with err code: %d\n", error);
}

}  // namespace

int qs_qmi_wds_client_init(void) {
    static const QsQmiClientDesc desc = {wds_object, "[WDS] qmi wds_qmi_client_service_object is null.", nullptr, wds_error_cb,
                                         "qmi_client_init_instance error.", nullptr};
    return qs_qmi_client_create(g_wds, desc);
}

qmi_client_type get_qmi_wds_svc_client(void) { return g_wds.client.load(); }
