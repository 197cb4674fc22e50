#include "lib/qs_common_api/qmi/common/qs_qmi_client.h"

#include "lib/qs_common_api/platform/qs_log/src/qs_log.h"
#include "platform/plat_clock.h"

namespace {
constexpr uint32_t kFindServiceMs = 4;
constexpr unsigned kRetryWaitMs = 1000;
}  // namespace

int qs_qmi_client_create(QsQmiClient &c, const QsQmiClientDesc &desc) {
    if (c.created.load() != 0) return 0;
    std::lock_guard<std::mutex> hold(c.create_lock);
    if (c.created.load() != 0) return 0;

    qmi_idl_service_object_type obj = desc.service_object();
    if (obj == nullptr) QS_OL_LOG(QS_OL_LOG_WARNING, "%s", desc.null_object_msg);

    qmi_client_os_params os_params{};
    if (c.notifier != nullptr) {  // left from an attempt that failed later on
        qmi_client_release(c.notifier);
        c.notifier = nullptr;
    }
    if (qmi_client_notifier_init(obj, &os_params, &c.notifier) != QMI_NO_ERR) {
        QS_OL_LOG(QS_OL_LOG_ERROR, "qmi_client_notifier_init error.");
        return -1;
    }

    qmi_client_type client = nullptr;
    qmi_client_error_type rc =
        qmi_client_init_instance(obj, QMI_CLIENT_INSTANCE_ANY, desc.ind_cb, nullptr, &os_params, kFindServiceMs, &client);
    if (rc != QMI_NO_ERR) {
        // The modem may still be bringing its services up: one more try.
        plat_sleep_ms(kRetryWaitMs);
        rc = qmi_client_init_instance(obj, QMI_CLIENT_INSTANCE_ANY, desc.ind_cb, nullptr, &os_params, kFindServiceMs,
                                      &client);
        if (rc != QMI_NO_ERR) {
            plat_sleep_ms(kRetryWaitMs);
            QS_OL_LOG(QS_OL_LOG_ERROR, "%s", desc.init_failed_msg);
            return -1;
        }
    }
    c.client.store(client);

    if (qmi_client_register_error_cb(client, desc.error_cb, nullptr) != QMI_NO_ERR) {
        if (desc.register_failed_msg != nullptr) QS_OL_LOG(QS_OL_LOG_ERROR, "%s", desc.register_failed_msg);
        qmi_client_release(client);
        c.client.store(nullptr);
        return -1;
    }
    c.created.store(1);
    return 0;
}

void qs_qmi_client_release_lost(QsQmiClient &c, qmi_client_type user_handle) {
    qmi_client_release(user_handle);
    qmi_client_type mine = user_handle;
    // The next request makes a new client (and so registers the indication
    // callback again) once the service is back; without this the service
    // would stay unusable until the process restarts.
    if (c.client.compare_exchange_strong(mine, nullptr)) c.created.store(0);
}
