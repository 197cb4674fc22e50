#pragma once
// Time sync over SNTP.

// Starts the time-sync thread.
int load_sntp(void);
