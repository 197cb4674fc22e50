#include "cloud/sntp_handle.h"

// The time-sync thread comes with the SNTP work.
int load_sntp(void) { return 0; }
