#include "core/sys_utils.h"

// The backup of the application file system comes with the recovery work.
void *px510_recovery_handle_loop(void *) { return nullptr; }
