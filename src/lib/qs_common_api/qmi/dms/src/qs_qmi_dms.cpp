// DMS client: creation with retries, service loss and service notifications.
#include "lib/qs_common_api/qmi/dms/src/qs_qmi_dms.h"

#include <atomic>
#include <cstdint>
#include <mutex>

#include "lib/qs_common_api/platform/qs_log/src/qs_log.h"
#include "platform/plat_clock.h"
#include "platform/qmi_services_v01.h"

namespace {

constexpr uint32_t kFindServiceMs = 4;
constexpr unsigned kRetryWaitMs = 1000;
constexpr int kInitAttempts = 3;

std::atomic<qmi_client_type> g_client{nullptr};
std::atomic<uint8_t> g_created{0};
// After a failed attempt any thread may try again: one at a time.
std::mutex g_create_lock;
qmi_client_type g_notifier = nullptr;  // under g_create_lock

void dms_error_cb(qmi_client_type user_handle, qmi_client_error_type error, void *err_cb_data) {
    (void)err_cb_data;
    QS_OL_LOG(QS_OL_LOG_NOTICE, "DMS sys down event recvd. srv_id:%d", QMI_DMS_SERVICE_ID_V01);
    qmi_client_release(user_handle);
    qmi_client_type mine = user_handle;
    // Made again by the next request once the service is back.
    if (g_client.compare_exchange_strong(mine, nullptr)) g_created.store(0);
    QS_OL_LOG(QS_OL_LOG_NOTICE, "QMI dms client released with err code: %d", error);
}

void dms_notify_cb(qmi_client_type user_handle, qmi_idl_service_object_type service_obj,
                   qmi_client_notify_event_type service_event, void *notify_cb_data) {
    (void)user_handle;
    (void)service_obj;
    (void)notify_cb_data;
    switch (service_event) {
    case QMI_CLIENT_SERVICE_COUNT_INC:
        QS_OL_LOG(QS_OL_LOG_NOTICE, "QMI dms service is back up.");
        QS_OL_LOG(QS_OL_LOG_NOTICE, "regForPrimaryPort signalled.");
        break;
    case QMI_CLIENT_SERVICE_COUNT_DEC:
        QS_OL_LOG(QS_OL_LOG_NOTICE, "QMI dms service is down.");
        break;
    default:
        QS_OL_LOG(QS_OL_LOG_WARNING, "Recvd unsupported event from QCCI notifier.");
        break;
    }
}

}  // namespace

int qs_qmi_dms_client_init(void) {
    if (g_created.load() != 0) return 0;
    std::lock_guard<std::mutex> hold(g_create_lock);
    if (g_created.load() != 0) return 0;

    qmi_idl_service_object_type obj =
        dms_get_service_object_internal_v01(QMI_SERVICE_MAJOR_V01, DMS_V01_IDL_MINOR_VERS, QMI_IDL_LIB_VERSION);
    if (obj == nullptr) QS_OL_LOG(QS_OL_LOG_WARNING, "qmi_dms_svc_obj is null.");

    qmi_client_os_params os_params{};
    qmi_client_type client = nullptr;
    qmi_client_error_type rc = QMI_INTERNAL_ERR;
    for (int attempt = 1; attempt <= kInitAttempts; ++attempt) {
        rc = qmi_client_init_instance(obj, QMI_CLIENT_INSTANCE_ANY, nullptr, nullptr, &os_params, kFindServiceMs,
                                      &client);
        if (rc == QMI_NO_ERR) break;
        if (attempt < kInitAttempts) {
            QS_OL_LOG(QS_OL_LOG_WARNING, "[DMS]-Init_instance Again : %d", attempt);
            plat_sleep_ms(kRetryWaitMs);
        }
    }
    if (rc != QMI_NO_ERR) {
        QS_OL_LOG(QS_OL_LOG_ERROR, "Init_instance failed. client_err:%d", rc);
        return -1;
    }
    g_client.store(client);

    // A client whose loss nobody hears about would fail silently for ever.
    rc = qmi_client_register_error_cb(client, dms_error_cb, nullptr);
    if (rc != QMI_NO_ERR) {
        QS_OL_LOG(QS_OL_LOG_ERROR, "qmi_client_register_error_cb error. %d", rc);
        qmi_client_release(client);
        g_client.store(nullptr);
        return -1;
    }

    // The notifier only reports; the client works without it.
    if (g_notifier == nullptr) {
        if (qmi_client_notifier_init(obj, &os_params, &g_notifier) != QMI_NO_ERR) {
            QS_OL_LOG(QS_OL_LOG_WARNING, "qmi_client_notifier_init error.");
            g_notifier = nullptr;
        } else if (qmi_client_register_notify_cb(g_notifier, dms_notify_cb, nullptr) != QMI_NO_ERR) {
            QS_OL_LOG(QS_OL_LOG_WARNING, "qmi_client_register_notify_cb error.");
        }
    }
    g_created.store(1);
    return 0;
}

qmi_client_type get_qmi_dms_svc_client(void) { return g_client.load(); }
