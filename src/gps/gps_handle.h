#pragma once
// GNSS session.

// Starts the location session and the GNSS supervision thread.
int init_gps(void);
