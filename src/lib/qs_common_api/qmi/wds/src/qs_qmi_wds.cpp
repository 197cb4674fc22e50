// WDS client: creation and service loss.
#include "lib/qs_common_api/qmi/wds/src/qs_qmi_wds.h"

#include <atomic>
#include <mutex>

#include "lib/qs_common_api/platform/qs_log/src/qs_log.h"
#include "platform/plat_clock.h"
#include "platform/qmi_services_v01.h"

namespace {

constexpr uint32_t kFindServiceMs = 4;
constexpr unsigned kRetryWaitMs = 1000;

// Requests run on several threads while the loss callback runs on the
// framework's thread.
std::atomic<qmi_client_type> g_client{nullptr};
std::atomic<uint8_t> g_created{0};
// Creation is normally reached first from the start-up thread, but after a
// failed attempt any thread may try again: one at a time.
std::mutex g_create_lock;
qmi_client_type g_notifier = nullptr;  // under g_create_lock

void wds_error_cb(qmi_client_type user_handle, qmi_client_error_type error, void *err_cb_data) {
    (void)err_cb_data;
    qmi_client_release(user_handle);
    qmi_client_type mine = user_handle;
    g_client.compare_exchange_strong(mine, nullptr);
    QS_OL_LOG(QS_OL_LOG_DEBUG, "QMI wds client released with err code: %d\n", error);
}

}  // namespace

int qs_qmi_wds_client_init(void) {
    if (g_created.load() != 0) return 0;
    std::lock_guard<std::mutex> hold(g_create_lock);
    if (g_created.load() != 0) return 0;

    qmi_idl_service_object_type obj =
        wds_get_service_object_internal_v01(QMI_SERVICE_MAJOR_V01, WDS_V01_IDL_MINOR_VERS, QMI_IDL_LIB_VERSION);
    if (obj == nullptr) QS_OL_LOG(QS_OL_LOG_WARNING, "[WDS] qmi wds_qmi_client_service_object is null.");

    qmi_client_os_params os_params{};
    if (g_notifier != nullptr) {  // left from an attempt that failed later on
        qmi_client_release(g_notifier);
        g_notifier = nullptr;
    }
    if (qmi_client_notifier_init(obj, &os_params, &g_notifier) != QMI_NO_ERR) {
        QS_OL_LOG(QS_OL_LOG_ERROR, "qmi_client_notifier_init error.");
        return -1;
    }

    qmi_client_type client = nullptr;
    qmi_client_error_type rc =
        qmi_client_init_instance(obj, QMI_CLIENT_INSTANCE_ANY, nullptr, nullptr, &os_params, kFindServiceMs, &client);
    if (rc != QMI_NO_ERR) {
        // The modem may still be bringing its services up: one more try.
        plat_sleep_ms(kRetryWaitMs);
        rc = qmi_client_init_instance(obj, QMI_CLIENT_INSTANCE_ANY, nullptr, nullptr, &os_params, kFindServiceMs,
                                      &client);
        if (rc != QMI_NO_ERR) {
            plat_sleep_ms(kRetryWaitMs);
            QS_OL_LOG(QS_OL_LOG_ERROR, "qmi_client_init_instance error.");
            return -1;
        }
    }
    g_client.store(client);

    if (qmi_client_register_error_cb(client, wds_error_cb, nullptr) != QMI_NO_ERR) {
        qmi_client_release(client);
        g_client.store(nullptr);
        return -1;
    }
    g_created.store(1);
    return 0;
}

qmi_client_type get_qmi_wds_svc_client(void) { return g_client.load(); }
