#pragma once
// NAS (network access) client of the modem service library: created by the
// first request that needs it, kept for the process's life.
#include <cstdint>

#include "platform/qmi_client.h"
#include "platform/qmi_services_v01.h"

// 0 when the client exists (at once if it was made before), -1 on failure.
int qs_qmi_nas_client_init(void);
// The client handle; empty before creation and after the service went down.
qmi_client_type get_qmi_nas_svc_client(void);

// Receives the serving system of every serving-system indication, on the
// framework's thread.  nullptr stops the hand-over.
typedef void (*qs_nas_serving_system_handler)(const nas_serving_system_type_v01 *ss);
void qs_qmi_nas_set_serving_system_handler(qs_nas_serving_system_handler handler);
// Registration state of the latest indication (NAS_REGISTRATION_UNKNOWN_V01 before any).
int qs_qmi_nas_last_registration_state(void);
