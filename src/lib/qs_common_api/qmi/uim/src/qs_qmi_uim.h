#pragma once
// UIM (SIM card) client of the modem service library: created by the first
// request that needs it, kept for the process's life.
#include "platform/qmi_client.h"

// 0 when the client exists (at once if it was made before), -1 on failure.
int qs_qmi_uim_client_init(void);
// The client handle; empty before creation and after the service went down.
qmi_client_type get_qmi_uim_svc_client(void);
