#include <ctime>

#include "platform/plat_alarm.h"

// Counts through suspend and wakes the module when it expires.
int plat_alarm_clock_id() { return CLOCK_BOOTTIME_ALARM; }
