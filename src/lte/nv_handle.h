#pragma once
// Modem NV provisioning checks.

// Starts the NV check thread when the checks are enabled.
int check_default_nv(void);
