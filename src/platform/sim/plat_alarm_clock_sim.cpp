#include <ctime>

#include "platform/plat_alarm.h"

// The alarm clock needs CAP_WAKE_ALARM; the boot-time clock counts the same way.
int plat_alarm_clock_id() { return CLOCK_BOOTTIME; }
