#pragma once
// The agent's health marker for the host (TELAGENT_HEALTH_FILE): the library
// that reached its broker says so, so that the host's trial of a new library
// ends on "back online", not on "still running".
#include "telagent/iotsdk.h"

// The library path the host started us as; nothing is marked before it is set.
void set_health_lib(const char *lib_path);

// Writes the marker naming that library, atomically (temporary file, fsync,
// rename), the first time only.  1 when the marker is (now or already) written,
// 0 when there is no library name or the file cannot be written.
int mark_health(void);
