#pragma once
// The modem's AT command port (/dev/smd7).  Every exchange opens the port,
// writes one command line, collects the reply until the modem falls silent and
// closes the port again; there is no persistent session and no handling of
// unsolicited result codes.
#include "telagent/export.h"

TELAGENT_EXTERN_C_BEGIN

/* One exchange under the AT channel lock with a 2-second silence timeout.
 * `reply` is zeroed by the caller and `capacity` is a few bytes below its real
 * size so the text stays terminated.  Returns the byte count of the last read
 * (0 or negative when that read failed), the result of the write when no reply
 * byte came at all, and 0 for a missing argument or an unopenable port. */
TELAGENT_API int exec_at(const char *cmd, char *reply, int capacity);

/* The same exchange without the lock and with the caller's silence timeout
 * in seconds. */
TELAGENT_API int exec_at_timeout(const char *cmd, char *reply, int capacity, int timeout_s);

TELAGENT_EXTERN_C_END

// Makes the AT channel lock ready; start-up calls it (init_lte_common) before
// the first exchange.  Safe to call more than once.
void at_channel_init(void);
// True once at_channel_init has run.
bool at_channel_ready(void);
