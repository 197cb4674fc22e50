#pragma once
// Lazy client creation shared by the NAS, UIM and WDS clients: one client per
// service, made by the first request that needs it, and again by the first
// request after the service went down and came back.
#include <atomic>
#include <cstdint>
#include <mutex>

#include "platform/qmi_services_v01.h"

struct QsQmiClient {
    std::atomic<qmi_client_type> client{nullptr};
    std::atomic<uint8_t> created{0};
    // Creation is normally reached first from the start-up thread, but after a
    // failed attempt any thread may try again: one at a time.
    std::mutex create_lock;
    qmi_client_type notifier = nullptr;  // under create_lock
};

// What differs between the services' clients: their service object, handlers
// and log texts.
struct QsQmiClientDesc {
    qmi_idl_service_object_type (*service_object)(void);
    const char *null_object_msg;     // logged when the service object is empty
    qmi_client_ind_cb ind_cb;        // may be null
    qmi_client_error_cb error_cb;
    const char *init_failed_msg;     // after the second failed init_instance
    const char *register_failed_msg;  // may be null
};

// 0 when the client exists, -1 on failure.
int qs_qmi_client_create(QsQmiClient &c, const QsQmiClientDesc &desc);
// For a service's error callback: releases the client it was told about; the
// next request to the service creates a new one.
void qs_qmi_client_release_lost(QsQmiClient &c, qmi_client_type user_handle);
